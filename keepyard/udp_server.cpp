#include "udp_server.h"

#include "logLine.h"

#include <QHostInfo>
#include <QNetworkDatagram>

udp_server::udp_server(QObject *parent, int broadcastPort, int tcpPort, const QString &description)
    : QObject(parent), m_socket(this), m_tcpPort(tcpPort), m_description(description)
{
    // Shared, so that several programs on one machine can listen on the port.
    if (broadcastPort < 0 || broadcastPort > 65535
        || !m_socket.bind(QHostAddress::AnyIPv4, quint16(broadcastPort),
                          QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint))
        logLine(QStringLiteral("Error - failed to bind UDP server to port %1").arg(broadcastPort));
    connect(&m_socket, &QUdpSocket::readyRead, this, &udp_server::rxdata);
}

QByteArray udp_server::answer() const
{
    const QString host = m_hostName.isEmpty() ? QHostInfo::localHostName() : m_hostName;
    return (host + QStringLiteral(",%1,%2").arg(m_tcpPort).arg(m_description)).toUtf8();
}

void udp_server::rxdata()
{
    while (m_socket.hasPendingDatagrams()) {
        // Only the first byte counts; longer datagrams are cut.
        const QNetworkDatagram query = m_socket.receiveDatagram(maxQueryBytes);
        if (!query.isValid())
            break;
        if (query.data().startsWith('A'))
            m_socket.writeDatagram(answer(), query.senderAddress(), quint16(query.senderPort()));
    }
}
