#include "server_lock_list.h"

#include "keepyard_log.h"
#include "protocol.h"
#include "xfer.h"

#include <QFile>

server_lock_list::server_lock_list(const QString &root, const QString &system)
    : m_path(protocol::wirePath(root) + QLatin1Char('/') + protocol::wirePath(system)
             + QStringLiteral("/server_lock_list.txt"))
{
    QFile in(m_path);
    if (!in.open(QIODevice::ReadOnly))
        return; // no file: no locks
    while (!in.atEnd()) {
        const QString line = QString::fromUtf8(in.readLine()).remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
        const QStringList pieces = line.split(QLatin1Char('='), Qt::SkipEmptyParts);
        // A key holding "=" cannot be told apart from its owner: such lines are dropped.
        if (pieces.size() != 2)
            continue;
        m_entries.append(entry{pieces.at(0), pieces.at(1).simplified()});
    }
}

server_lock_list::~server_lock_list()
{
    save();
}

bool server_lock_list::save()
{
    if (!m_changed)
        return true;
    QByteArray content;
    for (const entry &e : std::as_const(m_entries))
        content += (e.key + QLatin1Char('=') + e.owner).toUtf8() + "\r\n";
    if (xfer::replaceFile(m_path, content)) {
        qCDebug(lcKeepyard).noquote() << QStringLiteral("cannot write ") + m_path;
        return false;
    }
    m_changed = false;
    return true;
}

QStringList server_lock_list::prefixes(const QString &path)
{
    QStringList result;
    QString prefix;
    for (const QString &component : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        prefix = prefix.isEmpty() ? component : prefix + QLatin1Char('/') + component;
        result << prefix;
    }
    return result;
}

qsizetype server_lock_list::governing(const QString &rawPath) const
{
    const QString path = protocol::wirePath(rawPath);
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        if (m_entries.at(i).key == path)
            return i;
    }
    for (const QString &prefix : prefixes(path)) {
        for (qsizetype i = 0; i < m_entries.size(); ++i) {
            if (m_entries.at(i).key == prefix)
                return i;
        }
    }
    return -1;
}

bool server_lock_list::holdsLock(const QString &path, const QString &owner, QString *lockedPath,
                                 QString *lockedOwner) const
{
    const qsizetype i = governing(path);
    if (i < 0)
        return false;
    if (m_entries.at(i).owner == owner)
        return true;
    if (lockedPath)
        *lockedPath = m_entries.at(i).key;
    if (lockedOwner)
        *lockedOwner = m_entries.at(i).owner;
    return false;
}

bool server_lock_list::isLocked(const QString &path, QString *lockedPath, QString *lockedOwner) const
{
    const qsizetype i = governing(path);
    if (i < 0)
        return false;
    if (lockedPath)
        *lockedPath = m_entries.at(i).key;
    if (lockedOwner)
        *lockedOwner = m_entries.at(i).owner;
    return true;
}

bool server_lock_list::canLock(const QString &rawPath, QString *lockedPath, QString *lockedOwner) const
{
    if (isLocked(rawPath, lockedPath, lockedOwner))
        return false;
    const QString path = protocol::wirePath(rawPath);
    for (const entry &e : m_entries) {
        if (prefixes(e.key).contains(path)) {
            if (lockedPath)
                *lockedPath = e.key;
            if (lockedOwner)
                *lockedOwner = e.owner;
            return false;
        }
    }
    return true;
}

void server_lock_list::add(const QString &rawPath, const QString &owner)
{
    const QString path = protocol::wirePath(rawPath);
    if (path.isEmpty()) {
        qCDebug(lcKeepyard) << "server_lock_list::add - can't lock root path";
        return;
    }
    if (owner.isEmpty()) {
        qCDebug(lcKeepyard) << "server_lock_list::add - can't have zero length user name";
        return;
    }
    m_entries.append(entry{path, owner});
    m_changed = true;
}

bool server_lock_list::lockPath(const QString &path, const QString &owner, QString *lockedPath, QString *lockedOwner)
{
    if (!canLock(path, lockedPath, lockedOwner))
        return false;
    add(path, owner);
    return true;
}

QString server_lock_list::ownerOf(const QString &rawPath) const
{
    const QString path = protocol::wirePath(rawPath);
    for (const entry &e : m_entries) {
        if (e.key == path)
            return e.owner;
    }
    return QString();
}

void server_lock_list::removeEntry(const QString &rawPath, const QString &owner)
{
    const QString path = protocol::wirePath(rawPath);
    for (qsizetype i = m_entries.size() - 1; i >= 0; --i) {
        if (m_entries.at(i).key == path && m_entries.at(i).owner == owner) {
            qCDebug(lcKeepyard).noquote() << QStringLiteral("removing entry ") + path + QLatin1Char(' ') + owner;
            m_entries.removeAt(i);
        }
    }
    m_changed = true;
}

bool server_lock_list::unlockPath(const QString &path, const QString &owner, QString *currentOwner)
{
    const QString holder = ownerOf(path);
    if (holder == owner && !owner.isEmpty()) {
        removeEntry(path, owner);
        return true;
    }
    if (currentOwner)
        *currentOwner = holder;
    return false;
}

QStringList server_lock_list::locksOf(const QString &owner) const
{
    QStringList keys;
    for (const entry &e : m_entries) {
        if (e.owner == owner)
            keys << e.key;
    }
    return keys;
}
