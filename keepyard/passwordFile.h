#pragma once

#include "profileFile.h"

#include <QString>

// The password file of one system: section "Users" maps user names to plain
// text passwords, section "Level" to the level sent back on login. Read when
// the object is made (once per login); keys match without regard to case.
class passwordFile
{
public:
    passwordFile(const QString &root, const QString &system);

    QString path() const { return m_path; }

    // True when the stored password is not empty and equals `password` exactly.
    bool checkPassword(const QString &user, const QString &password) const;
    QString userLevel(const QString &user) const;

private:
    QString m_system;
    QString m_path;
    profileFile m_file;
};
