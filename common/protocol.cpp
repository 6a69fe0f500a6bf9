#include "protocol.h"

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

QDateTime parseIsoDate(QStringView text)
{
    const QString trimmed = text.trimmed().toString();
    if (trimmed.isEmpty())
        return QDateTime();
    QDateTime when = QDateTime::fromString(trimmed, QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    if (!when.isValid())
        when = QDateTime::fromString(trimmed, Qt::ISODate);
    return when;
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

} // namespace protocol
