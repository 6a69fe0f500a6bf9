#include "clientFolder.h"

#include "protocol.h"

#include <QStandardPaths>

namespace {

QString &overridePath()
{
    static QString folder;
    return folder;
}

} // namespace

namespace clientFolder {

QString path()
{
    if (!overridePath().isEmpty())
        return overridePath();
    static const QString below = QStringLiteral("Tarnwell/ConfigurationClient");
    // An empty TEMP would put the folder at the root of the file system.
    if (!qEnvironmentVariableIsEmpty("TEMP"))
        return protocol::joinPath(protocol::wirePath(qEnvironmentVariable("TEMP")), below);
    // Never a folder shared between users (such as /tmp): others could read
    // or plant list files there.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return cache.isEmpty() ? QString() : protocol::joinPath(cache, below);
}

void setOverride(const QString &folder)
{
    overridePath() = folder;
}

} // namespace clientFolder
