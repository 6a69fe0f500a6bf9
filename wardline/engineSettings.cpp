#include "engineSettings.h"

#include "logFlags.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <vector>

namespace {

// Folders are joined with "/" whatever the values hold.
QString join(const QString &a, const QString &b)
{
    return a + QLatin1Char('/') + b;
}

} // namespace

engineSettings engineSettings::fromCommandLine(const QStringList &arguments, const QString &qxRoot,
                                               const QString &qxSystem, QStringList *messages)
{
    engineSettings s;
    s.libraryRoot = s.configRoot = qxRoot;
    s.librarySystem = s.configSystem = qxSystem;
    const auto say = [&](const QString &line) {
        if (messages)
            *messages << line;
    };

    using action = std::function<void(const QString &value)>;
    // Taken only when the value is a decimal integer; logged either way.
    const auto number = [&](int &target, const char *message) {
        return [&, message](const QString &value) {
            bool ok = false;
            const int n = value.toInt(&ok, 10);
            if (ok)
                target = n;
            say(QString::fromLatin1(message).arg(value));
        };
    };
    // In this order: the first qualifier the upper-cased argument starts with wins.
    const std::vector<std::pair<QString, action>> qualifiers = {
        {"/ALARMSYSTEM=", [&](const QString &v) { s.alarmSystem = v; say(QStringLiteral("ALARM SYSTEM == %1").arg(v)); }},
        {"/PERIOD=", number(s.periodMs, "Period == %1")},
        {"/LOG=", [&](const QString &v) {
             // The parser's lines end with "Log value = ..." when the value is stored.
             const logFlags::ParseResult parsed = logFlags::parse(v);
             for (const QString &line : parsed.messages)
                 say(line);
             if (parsed.store)
                 s.logFlags = parsed.value;
         }},
        {"/ASFU", [&](const QString &) { s.acquisitionFailureFatal = true; }},
        {"/NETDELAY=", number(s.networkDelayMs, "NetDelay == %1")},
        {"/UDP", [&](const QString &v) {
             s.udpEnabled = v.toUpper() == u"YES";
             say(QStringLiteral("Udp flag == %1").arg(v));
         }},
        {"/LOCALCONFIG", [&](const QString &) { s.localConfig = true; }},
        {"/EVENTDRIVEN", [&](const QString &) { s.eventDriven = true; }},
        {"/QX_ROOT_LIBRARY", [&](const QString &v) { s.libraryRoot = v; say(QStringLiteral("QX_ROOT override flag for libraries = '%1'").arg(v)); }},
        {"/QX_SYSTEM_LIBRARY", [&](const QString &v) { s.librarySystem = v; say(QStringLiteral("QX_SYSTEM override flag for libraries = '%1'").arg(v)); }},
        {"/QX_ROOT", [&](const QString &v) { s.configRoot = v; say(QStringLiteral("QX_ROOT override flag for config = '%1'").arg(v)); }},
        {"/QX_SYSTEM", [&](const QString &v) { s.configSystem = v; say(QStringLiteral("QX_SYSTEM override flag for config = '%1'").arg(v)); }},
        {"/ALARMSCONFIGFOLDER", [&](const QString &v) { s.alarmsConfigFolderOverride = v; say(QStringLiteral("Alarms system override folder = '%1'").arg(v)); }},
        {"/CONFIGFOLDER", [&](const QString &v) { s.configFolderOverride = v; say(QStringLiteral("Config override folder = '%1'").arg(v)); }},
        {"/DBLIB", [&](const QString &) { s.databaseModules = true; }},
    };

    for (const QString &argument : arguments) {
        const QString upper = argument.toUpper();
        bool matched = false;
        for (const auto &[prefix, apply] : qualifiers) {
            if (upper.startsWith(prefix)) {
                const qsizetype eq = argument.indexOf(QLatin1Char('='));
                apply(eq < 0 ? QString() : argument.mid(eq + 1));
                matched = true;
                break;
            }
        }
        if (!matched && !argument.startsWith(QLatin1Char('!')))
            say(QStringLiteral("Got an unrecognized qualifier: %1").arg(argument));
    }
    s.deriveFolders();
    return s;
}

void engineSettings::deriveFolders()
{
    systemFolder = join(configRoot, configSystem);
    if (!configFolderOverride.isEmpty())
        configFolder = configFolderOverride;
    else if (localConfig)
        configFolder = systemFolder + QStringLiteral("/config/alarms/") + alarmSystem + QStringLiteral("/local_config");
    else
        configFolder = systemFolder + QStringLiteral("/config");
    alarmFolder = !alarmsConfigFolderOverride.isEmpty() ? join(alarmsConfigFolderOverride, alarmSystem)
                                                        : configFolder + QStringLiteral("/alarms/") + alarmSystem;
    libraryFolder = join(libraryRoot, librarySystem);
}

int engineSettings::networkActivityMs(int processes, QStringList *messages) const
{
    constexpr qint64 longest = std::numeric_limits<int>::max();
    const qint64 delay = qint64(networkDelayMs) * processes;
    if (delay >= 0 && delay <= longest)
        return int(delay);
    if (messages)
        *messages << QStringLiteral("NetDelay == %1 is out of range for %2 processes. Using %3.")
                         .arg(networkDelayMs)
                         .arg(processes)
                         .arg(defaultNetworkDelayMs);
    return int(std::clamp<qint64>(qint64(defaultNetworkDelayMs) * processes, 0, longest));
}
