#include "serverSettings.h"

#include "profileFile.h"

#include <QHostInfo>

namespace {

const QString section = QStringLiteral("Server");

// The Windows names first; Linux has neither by default.
QString computerName()
{
    const QString name = qEnvironmentVariable("COMPUTERNAME");
    return name.isEmpty() ? QHostInfo::localHostName() : name;
}

QString userName()
{
    const QString name = qEnvironmentVariable("USERNAME");
    return name.isEmpty() ? qEnvironmentVariable("USER") : name;
}

} // namespace

QString serverSettings::filePath(const QString &root)
{
    QString path = root;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path + QStringLiteral("Keepyard.ini");
}

serverSettings serverSettings::load(const QString &root)
{
    profileFile ini(filePath(root));
    serverSettings settings;
    settings.port = ini.readInt(section, QStringLiteral("Port"), defaultPort);
    if (settings.port == defaultPort)
        ini.writeString(section, QStringLiteral("Port"), QString::number(defaultPort));
    settings.broadcastPort = ini.readInt(section, QStringLiteral("BroadcastPort"), defaultPort);
    if (settings.broadcastPort == defaultPort)
        ini.writeString(section, QStringLiteral("BroadcastPort"), QString::number(defaultPort));
    settings.description = ini.readString(section, QStringLiteral("Description"));
    if (settings.description.isEmpty()) {
        settings.description = computerName() + QStringLiteral(" - ") + userName();
        ini.writeString(section, QStringLiteral("Description"), settings.description);
    }
    return settings;
}

bool serverSettings::save(const QString &root, const QString &port, const QString &broadcastPort,
                          const QString &description)
{
    profileFile ini(filePath(root));
    return ini.writeString(section, QStringLiteral("Port"), port)
           && ini.writeString(section, QStringLiteral("BroadcastPort"), broadcastPort)
           && ini.writeString(section, QStringLiteral("Description"), description);
}
