#include "lock_handler.h"

#include "client.h"
#include "keepyard_log.h"
#include "logLine.h"
#include "protocol.h"
#include "server_lock_list.h"


bool lock_handler::isLockableName(const QString &path)
{
    return !path.isEmpty() && !path.contains(QLatin1Char('=')) && !path.contains(QLatin1Char('\r'))
           && !path.contains(QLatin1Char('\n')) && protocol::staysBelow(path);
}

bool lock_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    // A nested "lock" or "unlock" is no request of its own.
    if (m_depth++ == 0) {
        m_element = name.toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
        send(QStringLiteral("<%1 uid=\"%2\" system=\"%3\" type=\"reply\" >\r\n")
                 .arg(m_element, protocol::escape(m_uid), protocol::escape(m_system)));
    } else if (name == u"file" || name == u"dir") {
        m_name = attributes.value(QLatin1String("name")).toString();
    }
    return true;
}

bool lock_handler::endElement(QStringView name)
{
    if (--m_depth == 0) {
        send(QStringLiteral("</%1>\r\n").arg(m_element));
    } else if (name == u"file" || name == u"dir") {
        if (m_element == u"lock")
            lockChild(name.toString());
        else
            unlockChild(name.toString());
    }
    return true;
}

void lock_handler::lockChild(const QString &child)
{
    const QString path = protocol::wirePath(m_name);
    QString lockedPath = path;
    QString lockedOwner;
    bool locked = false;
    // Names that cannot be stored, or would leave the system, are refused
    // before the lock list is touched.
    if (client::isSystemName(m_system) && isLockableName(path)) {
        lockedPath.clear();
        server_lock_list locks(m_session->rootFolder(), m_system);
        locked = locks.lockPath(path, m_session->ownerKey(), &lockedPath, &lockedOwner);
    }
    if (locked) {
        send(QStringLiteral("\t<file name=\"%1\" type=\"reply\" />\r\n").arg(protocol::escape(path)));
        logLine(QStringLiteral("File '%1' LOCKED from '%2' at '%3'")
                    .arg(protocol::wirePath(m_session->rootFolder() + QLatin1Char('/') + m_system) + QLatin1Char('/')
                             + path,
                         m_session->userName(), m_session->peerText()));
    } else {
        send(QStringLiteral("\t<%1 name=\"%2\" type=\"error\" >\r\n\t\t<message>The Path '%3' is already checked out to "
                            "'%4'</message>\r\n\t</%1>\r\n")
                 .arg(child, protocol::escape(path), protocol::escape(lockedPath), protocol::escape(lockedOwner)));
    }
}

void lock_handler::unlockChild(const QString &child)
{
    const QString path = protocol::wirePath(m_name);
    QString currentOwner;
    bool unlocked = false;
    if (client::isSystemName(m_system)) {
        server_lock_list locks(m_session->rootFolder(), m_system);
        unlocked = locks.unlockPath(path, m_session->ownerKey(), &currentOwner);
    }
    if (unlocked) {
        send(QStringLiteral("\t<file name=\"%1\" type=\"reply\"/>\r\n").arg(protocol::escape(path)));
        logLine(QStringLiteral("File '%1' UNLOCKED from '%2' at '%3'")
                    .arg(protocol::wirePath(m_session->rootFolder() + QLatin1Char('/') + m_system) + QLatin1Char('/')
                             + path,
                         m_session->userName(), m_session->peerText()));
    } else {
        qCDebug(lcKeepyard) << "sending unlock error";
        send(QStringLiteral("\t<%1 name=\"%2\" type=\"error\" >\r\n\t\t<message>Path was not checked out to this user "
                            "'%3'</message>\r\n\t</%1>\r\n")
                 .arg(child, protocol::escape(path), protocol::escape(currentOwner)));
    }
}
