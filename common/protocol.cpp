#include "protocol.h"

#include <cstdio>
#include <ctime>

namespace protocol {

namespace {

const char *entityFor(char16_t c)
{
    switch (c) {
    case u'&': return "&amp;";
    case u'<': return "&lt;";
    case u'>': return "&gt;";
    case u'"': return "&quot;";
    case u'\'': return "&apos;";
    default: return nullptr;
    }
}

} // namespace

// One pass replacing each character by its entity gives the same text as the
// five replacements done in order (& first), since no entity holds < > " '.
QString escape(QStringView text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (QChar c : text) {
        if (const char *entity = entityFor(c.unicode()))
            out += QLatin1StringView(entity);
        else
            out += c;
    }
    return out;
}

QByteArray escape(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (const char *entity = entityFor(char16_t(uchar(c))))
            out += entity;
        else
            out += c;
    }
    return out;
}

QString isoDate(const QDateTime &when)
{
    if (!when.isValid())
        return QString();
    const QDateTime local = when.toLocalTime();
    const QDate d = local.date();
    const QTime t = local.time();
    // Hand-formatted: this runs once per entry of listings with many thousand files.
    char buf[20];
    const auto two = [](char *p, int v) { p[0] = char('0' + v / 10); p[1] = char('0' + v % 10); };
    const int y = d.year();
    if (y < 0 || y > 9999)
        return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    buf[0] = char('0' + y / 1000);
    buf[1] = char('0' + y / 100 % 10);
    buf[2] = char('0' + y / 10 % 10);
    buf[3] = char('0' + y % 10);
    buf[4] = '-';
    two(buf + 5, d.month());
    buf[7] = '-';
    two(buf + 8, d.day());
    buf[10] = 'T';
    two(buf + 11, t.hour());
    buf[13] = ':';
    two(buf + 14, t.minute());
    buf[16] = ':';
    two(buf + 17, t.second());
    return QString::fromLatin1(buf, 19);
}

QByteArray localIsoDate(std::time_t secondsSinceEpoch)
{
    struct tm local;
    if (!localtime_r(&secondsSinceEpoch, &local))
        return QByteArray();
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return QByteArray(buf, n);
}

QDateTime parseIsoDate(QStringView text)
{
    const QStringView trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return QDateTime();
    // The exact wire form is read by hand: the general parser costs more than
    // everything else done per entry of a large synchronisation list.
    if (trimmed.size() == 19) {
        const auto number = [&](qsizetype at, qsizetype digits) {
            int value = 0;
            for (qsizetype i = at; i < at + digits; ++i) {
                const char16_t c = trimmed[i].unicode();
                if (c < '0' || c > '9')
                    return -1;
                value = value * 10 + (c - '0');
            }
            return value;
        };
        if (trimmed[4] == u'-' && trimmed[7] == u'-' && trimmed[10] == u'T' && trimmed[13] == u':'
            && trimmed[16] == u':') {
            const QDate date(number(0, 4), number(5, 2), number(8, 2));
            const QTime time(number(11, 2), number(14, 2), number(17, 2));
            if (date.isValid() && time.isValid())
                return QDateTime(date, time);
            return QDateTime();
        }
    }
    return QDateTime::fromString(trimmed.toString(), Qt::ISODate);
}

QString wirePath(QString path)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return path;
}

bool staysBelow(QStringView relative)
{
    const QString path = wirePath(relative.toString());
    if (path.startsWith(QLatin1Char('/')))
        return false;
    if (path.size() >= 2 && path.at(1) == QLatin1Char(':'))
        return false; // drive letter
    for (QStringView part : QStringView(path).split(QLatin1Char('/'))) {
        if (part == u"..")
            return false;
    }
    return !path.contains(QChar(u'\0'));
}

QString joinPath(const QString &folder, const QString &relative)
{
    if (relative.isEmpty())
        return folder;
    if (folder.endsWith(QLatin1Char('/')))
        return relative.startsWith(QLatin1Char('/')) ? folder + relative.mid(1) : folder + relative;
    return relative.startsWith(QLatin1Char('/')) ? folder + relative : folder + QLatin1Char('/') + relative;
}

void prepareLocalTime()
{
    if (qEnvironmentVariableIsEmpty("TZ")) {
        qputenv("TZ", ":/etc/localtime");
        tzset();
    }
}

} // namespace protocol
