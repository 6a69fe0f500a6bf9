#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

// The server's daily backup index files (backup/yyyyMMdd.backup_index, lines
// "date,path,user,address,backup/copy"): which copies were kept of a file,
// when and for whom.
class backupIndex
{
public:
    struct entry
    {
        QDateTime date;
        QString path; // the file backed up, relative to the system folder
        QString user;
        QString address;
        QString copy; // relative to the system folder: "backup/" and the copy's name
    };

    static QList<entry> parse(const QByteArray &text);

    // Replaces what is known from one index file by its (new) content.
    void setFile(const QString &name, const QByteArray &text);
    // A copy known from elsewhere (an update notice); an index line of the
    // same copy is preferred to it.
    void add(const entry &e);
    // The copies of a path, newest first, each copy once.
    QList<entry> backupsOf(const QString &path) const;

private:
    QHash<QString, QList<entry>> m_files;
    QList<entry> m_added;
};
