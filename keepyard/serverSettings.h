#pragma once

#include <QString>

// The server's settings, section "Server" of Keepyard.ini in the installation
// root: TCP port, discovery port and description.
class serverSettings
{
public:
    static constexpr int defaultPort = 23;

    // Reads the file and writes back the defaults where the installation
    // relies on them: a port that reads 23 is written as "23", and an empty
    // description becomes "<computer> - <user>".
    static serverSettings load(const QString &root);
    // Writes the three texts exactly as given (the settings dialog).
    static bool save(const QString &root, const QString &port, const QString &broadcastPort,
                     const QString &description);

    static QString filePath(const QString &root);

    int port = defaultPort;
    int broadcastPort = defaultPort;
    QString description;
};
