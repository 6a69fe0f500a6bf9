#pragma once

#include <QString>
#include <QStringList>

// Wardline's settings: defaults, the command-line qualifiers that change them,
// and the folders derived from them.
struct engineSettings
{
    static constexpr int defaultNetworkDelayMs = 60;

    QString alarmSystem;
    int periodMs = 20;
    int logFlags = 0;
    bool acquisitionFailureFatal = false; // "/ASFU"
    int networkDelayMs = defaultNetworkDelayMs;
    bool udpEnabled = true;
    bool localConfig = false;
    bool eventDriven = false;
    QString libraryRoot;
    QString librarySystem;
    QString configRoot;
    QString configSystem;
    QString alarmsConfigFolderOverride;
    QString configFolderOverride;
    bool databaseModules = false; // "/DBLIB"

    // Derived once the qualifiers are read.
    QString systemFolder;
    QString configFolder;
    QString alarmFolder;
    QString libraryFolder;

    // Reads the qualifiers (arguments after the program name) over the
    // defaults taken from QX_ROOT and QX_SYSTEM, then derives the folders.
    // The lines the engine logs about them are appended to `messages`.
    static engineSettings fromCommandLine(const QStringList &arguments, const QString &qxRoot, const QString &qxSystem,
                                          QStringList *messages = nullptr);

    void deriveFolders();

    // The network activity delay: network delay x number of processes. A
    // product out of range is refused, reported in `messages`, and the
    // default delay used instead.
    int networkActivityMs(int processes, QStringList *messages = nullptr) const;
};
