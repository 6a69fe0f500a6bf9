#pragma once

#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include <span>

class Logger;

// Debug echo of logged lines; unlike tavex.wardline its debug lines are on by default.
Q_DECLARE_LOGGING_CATEGORY(lcWardlineEcho)

// The log categories: a bit mask set by "/LOG=" and the Diagnostics menu, and
// the filters that decide which debug lines reach the log file.
namespace logFlags {

enum Bit : int {
    Wardline = 1, // the main window's own debug output
    PlugIns = 2,
    UdpSystem = 4,
    Mastership = 8,
    PerSession = 16, // read once at start, like the two file bits
    Verbose = 32,
    TimeFilters = 64,
    Drivers = 128,
    FilePerHour = 256,
    FilePerMinute = 512,
};

struct Category
{
    int bit;
    const char *name;
    bool settableFromMenu;
};

// Every category, lowest bit first, in menu order.
std::span<const Category> categories();
QString menuText(const Category &category);

struct ParseResult
{
    int value = 0;
    bool store = true; // false: a number did not convert and the flags stay as they were
    QStringList messages; // for the main window's debug output, in order
};

ParseResult parse(const QString &text);
QString msgLogValue(int value);

bool reachesFile(int flags, int mask);

void mainWindowDebug(Logger &logger, const QString &alarmSystem, int flags, bool debugEcho, const QString &line);
void interfaceDebug(Logger &logger, const QString &alarmSystem, int flags, bool debugEcho, int mask,
                    const QString &prefix, const QString &text);

} // namespace logFlags
