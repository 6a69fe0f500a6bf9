#pragma once

#include <QString>

// Keeps the current version of a system's file in the system's "backup"
// folder as "<file name>.<tick count>" and appends a line to the day's backup
// index: "<now>,<path>,<owner key>,backup/<copy name>". The line is written
// whether or not there was a file to keep (a new file names a copy that does
// not exist).
class fileBackup
{
public:
    enum Mode {
        Move,  // the file leaves its place (checked in as deleted)
        Copy   // the file stays until its new version replaces it
    };

    fileBackup(const QString &root, const QString &system, const QString &path, const QString &owner, Mode mode);

    QString copyName() const { return m_copyName; }
    QString backupPath() const { return m_backupPath; }
    QString indexPath() const { return m_indexPath; }

    // Milliseconds since the machine started, as 32 bits.
    static quint32 tickCount();

private:
    QString m_copyName;
    QString m_backupPath;
    QString m_indexPath;
};
