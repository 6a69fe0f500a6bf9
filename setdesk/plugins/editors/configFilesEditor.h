#pragma once

#include "backupIndex.h"
#include "config_plugin_base.h"
#include "dirListing.h"
#include "messageBar.h"
#include "serverLockFile.h"

#include <QHash>
#include <QSet>
#include <QTimer>

class QLabel;
class QListWidget;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class codeEditor;
class configHighlighter;

// The configuration files of the system: the files under "config" with who
// holds each, one file checked out, edited and stored again, or looked at
// read-only, and the backups the server kept of it, any of which can be
// brought back as an unsaved change.
class configFilesEditor : public config_plugin_base
{
    Q_OBJECT

public:
    configFilesEditor(const QString &workingFolder, bool mayEdit, QWidget *parent = nullptr);

    // Larger files are neither shown nor edited.
    static constexpr qint64 maxEditableSize = 4 * 1024 * 1024;

    bool isModified() override;
    void setActive(bool active) override;
    void commsEvent(response &result) override;
    void save() override;
    QString about() override;

private:
    enum class mode { None, ReadOnly, Held };
    enum class afterUnlock { Nothing, CheckIn, Release };

    // Requests.
    void refreshSoon();
    void refresh();
    void open(const QString &path, bool checkOut, const QString &note = QString(),
              messageBar::Kind kind = messageBar::Info);
    void openItem(QTreeWidgetItem *item);
    void checkIn();
    void release();
    void restore();
    void unlock(afterUnlock then);

    // Replies.
    void downloaded(const response &result);
    void uploaded(const response &result);
    void unlocked(const response &result);
    void lockAnswered(const response &result);
    void listed(const response &result);
    void noticed(const response &result);
    void readLockFile(bool fetched);
    void readIndexFile(const QString &path, bool fetched);
    void showFile(const QString &path, mode how);
    void restoreArrived(const response &result);
    void locksHeld(const QString &lines);

    // What is shown.
    void rebuildTree(const QList<dirListing::entry> &entries);
    void showLocks();
    void showBackups();
    void showState();
    void updateButtons();

    QString localFile(const QString &path) const;
    QString documentText() const;
    QString heldHere(const QString &path) const;
    QString heldElsewhere(const QString &path) const;
    QString targetPath() const;
    bool textEditable() const;

    QString m_workingFolder;
    bool m_mayEdit;

    QTreeWidget *m_tree;
    QLabel *m_pathLabel;
    QLabel *m_stateLabel;
    codeEditor *m_text;
    configHighlighter *m_highlighter;
    QListWidget *m_backups;
    QPushButton *m_view;
    QPushButton *m_checkout;
    QPushButton *m_save;
    QPushButton *m_checkin;
    QPushButton *m_release;
    QPushButton *m_restore;
    messageBar *m_message;
    QTimer m_refreshTimer;

    // What the server said last.
    serverLockFile m_serverLocks;
    QHash<QString, QString> m_heldHere; // path -> key of the editor of this program that holds it
    QSet<QString> m_backupCopies;       // "backup/<copy>" on the server
    QHash<QString, QString> m_indexVersions; // index file -> date and size fetched
    QSet<QString> m_indexFetching;
    backupIndex m_index;

    // The open file.
    QString m_path;
    mode m_mode = mode::None;
    bool m_shown = false;     // its text is in the editor (not binary, not too large)
    bool m_crlf = false;      // lines end in CR LF on the server: kept so when stored
    bool m_deleted = false;   // deleted on the server while open
    QString m_refusedBy;      // the owner named by the last lock refusal for it

    // Requests under way.
    QString m_opening;
    bool m_openingLocked = false; // the lock of the file being checked out was granted
    QString m_openNote;
    messageBar::Kind m_openNoteKind = messageBar::Info;
    QString m_restoring;
    QString m_restoreFor;
    QString m_uploading;
    QString m_uploadedText;
    afterUnlock m_afterUnlock = afterUnlock::Nothing;
    bool m_checkInAfterSave = false;
};
