#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The locks of one system, kept in server_lock_list.txt in the system folder
// as "path=owner" lines. Loaded afresh by every request that needs it and
// written back (whole, through a temporary file) when it changed.
//
// A path is governed by the first entry whose key equals it, else by the
// entry of its shortest listed ancestor. Comparisons are exact.
class server_lock_list
{
public:
    server_lock_list(const QString &root, const QString &system);
    ~server_lock_list();

    // True when the governing entry belongs to `owner`; otherwise the entry
    // that blocks (if any) is given back.
    bool holdsLock(const QString &path, const QString &owner, QString *lockedPath = nullptr,
                   QString *lockedOwner = nullptr) const;
    bool isLocked(const QString &path, QString *lockedPath = nullptr, QString *lockedOwner = nullptr) const;
    // Refused when the path is governed by an entry, or is a listed path or a
    // folder above one; owners are not looked at.
    bool canLock(const QString &path, QString *lockedPath = nullptr, QString *lockedOwner = nullptr) const;
    void add(const QString &path, const QString &owner);
    bool lockPath(const QString &path, const QString &owner, QString *lockedPath = nullptr,
                  QString *lockedOwner = nullptr);
    QString ownerOf(const QString &path) const;
    void removeEntry(const QString &path, const QString &owner);
    bool unlockPath(const QString &path, const QString &owner, QString *currentOwner = nullptr);
    QStringList locksOf(const QString &owner) const;

    // Writes the list if it changed; false when the file cannot be written.
    bool save();

    QString filePath() const { return m_path; }
    qsizetype size() const { return m_entries.size(); }

private:
    struct entry
    {
        QString key;
        QString owner;
    };

    // Index of the governing entry, or -1.
    qsizetype governing(const QString &path) const;
    static QStringList prefixes(const QString &path);

    QString m_path;
    QList<entry> m_entries;
    bool m_changed = false;
};
