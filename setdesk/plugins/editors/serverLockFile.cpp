#include "serverLockFile.h"

serverLockFile serverLockFile::parse(const QByteArray &text)
{
    serverLockFile file;
    for (const QByteArray &raw : text.split('\n')) {
        QString line = QString::fromUtf8(raw);
        line.remove(QLatin1Char('\r'));
        // As the server does: every "=" splits, empty pieces vanish, and only
        // lines of exactly two pieces count.
        const QStringList pieces = line.split(QLatin1Char('='), Qt::SkipEmptyParts);
        if (pieces.size() == 2)
            file.m_entries.append(entry{pieces.at(0), pieces.at(1).simplified()});
    }
    return file;
}

std::optional<serverLockFile::entry> serverLockFile::governing(const QString &path) const
{
    for (const entry &e : m_entries) {
        if (e.path == path)
            return e;
    }
    QString prefix;
    for (const QString &component : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        prefix += (prefix.isEmpty() ? QString() : QStringLiteral("/")) + component;
        for (const entry &e : m_entries) {
            if (e.path == prefix)
                return e;
        }
    }
    return std::nullopt;
}

QString serverLockFile::describe(const QString &owner)
{
    // The address never holds a comma; a user name might.
    const qsizetype comma = owner.lastIndexOf(QLatin1Char(','));
    if (comma < 0)
        return owner;
    return QStringLiteral("%1 at %2").arg(owner.left(comma), owner.mid(comma + 1));
}
