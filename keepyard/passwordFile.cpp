#include "passwordFile.h"

#include "keepyard_log.h"

passwordFile::passwordFile(const QString &root, const QString &system)
    : m_system(system),
      m_path(root + QLatin1Char('/') + system + QStringLiteral("/config/keepyard_password.ini")),
      m_file(m_path)
{
}

bool passwordFile::checkPassword(const QString &user, const QString &password) const
{
    qCDebug(lcKeepyard).noquote() << QStringLiteral("file name is ") + m_path;
    const QString stored = m_file.readString(QStringLiteral("Users"), user);
    return !stored.isEmpty() && stored == password;
}

QString passwordFile::userLevel(const QString &user) const
{
    return m_file.readString(QStringLiteral("Level"), user);
}
