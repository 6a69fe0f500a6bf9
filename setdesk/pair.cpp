#include "pair.h"

#include <QList>

std::optional<pair> pair::fromLine(QStringView line)
{
    const QList<QStringView> parts = line.split(QLatin1Char(','));
    if (parts.size() != 2)
        return std::nullopt;
    pair lock{parts.at(0).toString(), parts.at(1).toString().simplified()};
    // An empty key or path names no lock; accepting one would make isLocked()
    // claim a lock that nobody holds.
    if (lock.key.isEmpty() || lock.path.isEmpty())
        return std::nullopt;
    return lock;
}

QString pair::toLine() const
{
    return key + QLatin1Char(',') + path + QLatin1String("\r\n");
}

bool pair::fitsLine(QStringView text)
{
    return !text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('\r')) && !text.contains(QLatin1Char('\n'));
}
