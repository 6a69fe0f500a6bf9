#include "keepyard.h"

#include "broadcastEvent.h"
#include "logLine.h"
#include "protocol.h"

#include <QListWidget>
#include <QTcpSocket>

#include <unistd.h>

keepyard::keepyard(QObject *parent, int port, const QString &rootFolder, const sessionLimits &limits)
    : QTcpServer(parent), m_rootFolder(rootFolder), m_limits(limits)
{
    setListenBacklogSize(listenBacklog);
    if (port < 0 || port > 65535 || !listen(QHostAddress::Any, quint16(port)))
        logLine(QStringLiteral("Error - failed to bind TCP server to port %1").arg(port));
}

keepyard::~keepyard() = default;

void keepyard::incomingConnection(qintptr descriptor)
{
    if (m_clients.size() >= m_limits.maxSessions) {
        QTcpSocket refused;
        if (refused.setSocketDescriptor(descriptor)) {
            QHostAddress peer = refused.peerAddress();
            bool v4 = false;
            if (const quint32 address = peer.toIPv4Address(&v4); v4)
                peer = QHostAddress(address);
            logLine(QStringLiteral("Refused client on '%1/%2': %3 sessions already open")
                        .arg(peer.toString())
                        .arg(refused.peerPort())
                        .arg(m_clients.size()));
            refused.abort();
        } else {
            ::close(int(descriptor));
        }
        return;
    }
    auto *session = new client(this, m_rootFolder, m_listings, m_files, m_limits);
    connect(session, &client::connectionClosed, this, &keepyard::discardClient);
    connect(session, &client::userInfoChanged, this, &keepyard::userListChanged);
    if (!session->setSocketDescriptor(descriptor)) {
        delete session;
        return;
    }
    session->send(QByteArray(protocol::greeting));
    logLine(QStringLiteral("New client on '%1/%2'").arg(session->peerText()).arg(session->peerPortNumber()));
    m_clients.append(session);
    emit userListChanged();
}

void keepyard::discardClient()
{
    auto *session = qobject_cast<client *>(sender());
    if (!session || !m_clients.contains(session))
        return;
    const QString where = QStringLiteral("%1/%2").arg(session->peerText()).arg(session->peerPortNumber());
    if (!session->userName().isEmpty())
        logLine(QStringLiteral("Deleting user '%1' on '%2'").arg(session->userName(), where));
    else
        logLine(QStringLiteral("Deleting client on '%1'").arg(where));
    m_clients.removeOne(session);
    session->deleteLater();
    emit userListChanged();
}

void keepyard::endAllSessions()
{
    close();
    const QList<client *> sessions = m_clients;
    for (client *session : sessions)
        session->endSession();
}

void keepyard::customEvent(QEvent *event)
{
    if (event->type() == broadcastEvent::eventType)
        sendToAll(static_cast<broadcastEvent *>(event)->text());
}

void keepyard::sendToAll(const QByteArray &text)
{
    // A session that breaks its bound on this write leaves the list at once.
    const QList<client *> sessions = m_clients;
    for (client *session : sessions)
        session->sendNotice(text);
}

QStringList keepyard::userList() const
{
    QStringList lines;
    for (const client *session : m_clients)
        lines << session->userName() + QStringLiteral(" - ") + session->peerText();
    return lines;
}

void keepyard::fillUserList(QListWidget *users) const
{
    users->clear();
    users->addItems(userList());
}
