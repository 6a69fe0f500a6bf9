#pragma once

#include <QHostAddress>
#include <QTcpServer>
#include <QUdpSocket>

// Loopback ports free at the moment, for programs a test starts.
inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}
