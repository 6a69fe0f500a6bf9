#pragma once

#include "config_plugin_base.h"

#include <QHash>

class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class messageBar;
class processTableModel;

// The alarm processes of one alarm system of the current system, its
// config/alarms/<alarm system>/proc_def.cfg: a table of the processes, a form
// for the selected one, and adding, removing and renaming processes. The file
// is checked out and in through the server like any file; nothing the rule
// library would refuse to load is saved.
class processEditor : public config_plugin_base
{
    Q_OBJECT

public:
    processEditor(const QString &workingFolder, bool mayEdit, QWidget *parent = nullptr);

    void setActive(bool active) override;
    // `location`: an alarm system, optionally followed by "/" and a process.
    void navigate(const QString &key, const QString &location) override;
    void commsEvent(response &result) override;
    bool isModified() override;
    void save() override;
    QString about() override;

private:
    // The request under way for the open file; one at a time.
    enum class request { none, download, checkout, upload, unlock };

    void buildForm(QGroupBox *box);
    QLineEdit *addField(const QString &key, const QString &label, const QString &hint);

    void listAlarmSystems();
    void showAlarmSystems(const QString &listing);
    void alarmSystemChosen(int index);
    void open(const QString &alarmSystem);
    void fetch(request kind);
    void checkOut();
    void checkIn();
    void revert();
    void unlock();
    void askLocks();
    void downloadAnswer(const response &result);
    void uploadAnswer(const response &result);
    void unlockAnswer(const response &result);
    void notice(const response &result);
    bool loadLocal();
    void sayOpened();

    int selectedRow() const;
    void selectRow(int row);
    void currentRowChanged();
    void showProcess(int row);
    void showFieldsFor(const QString &type);
    bool applyForm();
    bool renameProcess();
    void addProcess();
    void removeProcess();
    int checkDocument();
    void formEdited();
    void setModified(bool modified);
    void reportModified();
    void updateEnabled();

    QString localFile() const;

    QString m_workingFolder;
    bool m_mayEdit;

    QString m_alarmSystem; // the open one
    QString m_path;        // its proc_def.cfg on the server; empty while none is open
    bool m_loaded = false;
    bool m_held = false;
    bool m_modified = false;
    bool m_formDirty = false;
    bool m_reportedModified = false;
    request m_request = request::none;
    bool m_answered = false; // the request under way had its result for m_path
    bool m_checkInAfterUpload = false;
    QString m_lockRefusal;
    QString m_reloadNote;
    int m_ownNotices = 0; // update notices still to come for this editor's own uploads
    int m_shownRow = -1;
    bool m_applying = false;
    QString m_pendingSystem;
    QString m_pendingProcess;

    QComboBox *m_systems;
    QPushButton *m_checkout;
    QPushButton *m_checkin;
    QPushButton *m_save;
    QPushButton *m_revert;
    QLineEdit *m_filter;
    QTableView *m_table;
    processTableModel *m_model;
    QSortFilterProxyModel *m_proxy;
    QPushButton *m_add;
    QPushButton *m_remove;
    QPushButton *m_check;
    QGroupBox *m_form;
    QFormLayout *m_formLayout;
    QLineEdit *m_name;
    QComboBox *m_type;
    QComboBox *m_latching;
    QHash<QString, QLineEdit *> m_fields; // by key, lower case; "inputs" for Inputs or Input
    QLabel *m_otherKeys;
    QPushButton *m_apply;
    QPushButton *m_rename;
    QListWidget *m_problems;
    messageBar *m_message;
};
