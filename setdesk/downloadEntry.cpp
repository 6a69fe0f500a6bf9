#include "downloadEntry.h"

#include <QStringList>

std::optional<downloadEntry> downloadEntry::fromLine(QStringView line)
{
    QString text = line.toString();
    text.remove(QLatin1Char('\n'));
    text.remove(QLatin1Char('\r'));
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2 || parts.at(0).isEmpty() || parts.at(1).isEmpty())
        return std::nullopt;
    return downloadEntry{parts.at(0), parts.at(1)};
}

QString downloadEntry::toLine() const
{
    return path + QLatin1Char(',') + key + QLatin1String("\r\n");
}

bool downloadEntry::fitsLine(QStringView text)
{
    return !text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n'));
}
