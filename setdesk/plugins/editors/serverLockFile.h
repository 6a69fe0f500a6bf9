#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The server's lock file of a system (server_lock_list.txt, lines
// "path=user,address"), read the way the server reads it, and the entry that
// decides who may store a path.
class serverLockFile
{
public:
    struct entry
    {
        QString path;  // relative to the system folder, "/" separators
        QString owner; // "user,address"
    };

    static serverLockFile parse(const QByteArray &text);

    const QList<entry> &entries() const { return m_entries; }
    // The entry equal to the path, else the first entry equal to one of its
    // folder prefixes, shortest first; none when nothing governs the path.
    std::optional<entry> governing(const QString &path) const;

    // The owner key in words: "user at address".
    static QString describe(const QString &owner);

private:
    QList<entry> m_entries;
};
