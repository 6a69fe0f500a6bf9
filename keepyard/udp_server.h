#pragma once

#include <QObject>
#include <QUdpSocket>

// Answers discovery datagrams (first byte "A") with "host,port,description",
// sent back to the address and port the query came from.
class udp_server : public QObject
{
    Q_OBJECT

public:
    // Bytes of a query read; only the first one counts.
    static constexpr qint64 maxQueryBytes = 256;

    // A broadcast port that is no port number is logged like a failed bind.
    udp_server(QObject *parent, int broadcastPort, int tcpPort, const QString &description);

    bool isBound() const { return m_socket.state() == QAbstractSocket::BoundState; }
    quint16 localPort() const { return m_socket.localPort(); }
    // The host name put into answers; the machine's own by default.
    void setHostName(const QString &name) { m_hostName = name; }
    QByteArray answer() const;
    // Later answers carry `description` (the settings were re-read).
    void setDescription(const QString &description) { m_description = description; }

public slots:
    // Reads and answers every datagram waiting.
    void rxdata();

private:
    QUdpSocket m_socket;
    int m_tcpPort;
    QString m_description;
    QString m_hostName;
};
