#include "logFlags.h"

#include "Logger.h"

#include <QRegularExpression>

#include <array>

Q_LOGGING_CATEGORY(lcWardlineEcho, "tavex.wardline.echo")

namespace logFlags {

namespace {

constexpr std::array<Category, 10> allCategories{{
    {Wardline, "Wardline", true},
    {PlugIns, "Plug-ins", true},
    {UdpSystem, "UDP System", true},
    {Mastership, "Mastership", true},
    {PerSession, "Per-session Logging", true},
    {Verbose, "Verbose", true},
    {TimeFilters, "Time Filters", true},
    {Drivers, "Drivers - command-line only", false},
    {FilePerHour, "Log-file per hour", false},
    {FilePerMinute, "Log-file per minute", false},
}};

void echo(const QString &alarmSystem, const QString &line)
{
    qCDebug(lcWardlineEcho).noquote() << QStringLiteral("TAVEX-WL:") + alarmSystem + QLatin1Char(':') + line;
}

} // namespace

std::span<const Category> categories()
{
    return allCategories;
}

// "Log 1 (Wardline)"
QString menuText(const Category &category)
{
    return QStringLiteral("Log %1 (%2)").arg(category.bit).arg(QLatin1String(category.name));
}

// Reads the value of "/LOG=": decimal numbers that set bits ("4", "+4") or
// clear them ("-2"), applied left to right, commas between them allowed.
// Text that is not a number ends the value, which is still stored; a number
// that does not fit an int leaves the flags unchanged.
ParseResult parse(const QString &text)
{
    static const QRegularExpression element(QStringLiteral("([+-]?\\d+)(.*)"),
                                            QRegularExpression::DotMatchesEverythingOption);
    ParseResult result;
    QString remainder = text;
    while (!remainder.isEmpty()) {
        const QRegularExpressionMatch match =
            element.match(remainder, 0, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
        if (!match.hasMatch()) {
            result.messages << QStringLiteral("Unable to parse log setting element. Remainder '%1'.").arg(remainder);
            break;
        }
        QString number = match.captured(1);
        remainder = match.captured(2);
        const bool clear = number.startsWith(QLatin1Char('-'));
        if (clear)
            number.remove(0, 1);
        bool ok = false;
        const int bits = number.toInt(&ok, 10);
        if (!ok) {
            result.messages << QStringLiteral("Unable to parse log setting element. This '%1'. Remainder '%2'.")
                                   .arg(number, remainder);
            result.store = false;
            return result;
        }
        if (clear)
            result.value &= ~bits;
        else
            result.value |= bits;
        qsizetype commas = 0;
        while (commas < remainder.size() && remainder.at(commas) == QLatin1Char(','))
            ++commas;
        remainder.remove(0, commas);
    }
    result.messages << msgLogValue(result.value);
    return result;
}

// "Log value = 12, flags = 4,8,": the value of every set bit, lowest first.
QString msgLogValue(int value)
{
    QString bits;
    for (int i = 0; i < 32; ++i) {
        const quint32 bit = 1u << i;
        if (static_cast<quint32>(value) & bit)
            bits += QString::number(static_cast<qint32>(bit)) + QLatin1Char(',');
    }
    return QStringLiteral("Log value = %1, flags = %2").arg(value).arg(bits);
}

// Every bit of the mask must be set; a mask of 0 always passes.
bool reachesFile(int flags, int mask)
{
    return (flags & mask) == mask;
}

// The main window's debug output: echoed while the "&Debug" item is checked,
// written to the log file while the Wardline bit is set.
void mainWindowDebug(Logger &logger, const QString &alarmSystem, int flags, bool debugEcho, const QString &line)
{
    if (debugEcho)
        echo(alarmSystem, line);
    if (reachesFile(flags, Wardline))
        logger.writeLine(line);
}

// Lines of modules and the mastership object, filtered by their category mask.
void interfaceDebug(Logger &logger, const QString &alarmSystem, int flags, bool debugEcho, int mask,
                    const QString &prefix, const QString &text)
{
    const QString line = prefix + text;
    if (debugEcho)
        echo(alarmSystem, line);
    if (reachesFile(flags, mask))
        logger.writeLine(line);
}

} // namespace logFlags
