#pragma once

#include "hexBuffer.h"
#include "xml_handler.h"
#include "xml_reader.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <memory>

class listingCache;
class request_handler;

// Bounds that keep one peer from exhausting the server.
struct sessionLimits
{
    // XML of one request element (or of anything between requests) that the
    // reader must hold at once.
    qint64 maxRequestBytes = 16 * 1024 * 1024;
    // Reply bytes not yet taken by the peer; beyond it the session is closed.
    qint64 maxUnsentBytes = qint64(1024) * 1024 * 1024;
    // While this much is waiting to be sent, no further request is read: a
    // peer that does not read its replies stops being served.
    qint64 pauseUnsentBytes = 4 * 1024 * 1024;
    // Hex text of one delivered file; beyond it the file is refused and the
    // session goes on.
    qint64 maxFileHexBytes = hexBuffer::defaultLimit();
};

// One accepted connection: reads the peer's endless XML document, hands each
// top-level request element to a handler made for its name, and holds the
// connection's identity (peer, user, login state).
class client : public QTcpSocket, public xml_handler
{
    Q_OBJECT

public:
    // `listings` is shared by the sessions of one server and outlives them.
    client(QObject *server, const QString &rootFolder, listingCache &listings,
           const sessionLimits &limits = sessionLimits());
    ~client() override;

    bool setSocketDescriptor(qintptr descriptor, SocketState state = ConnectedState,
                             OpenMode mode = ReadWrite) override;

    QHostAddress peer() const { return m_peerAddress; }
    QString peerText() const { return m_peerAddress.toString(); }
    quint16 peerPortNumber() const { return m_peerPort; }
    QString userName() const { return m_userName; }
    bool isLoggedIn() const { return m_loggedIn; }
    QString rootFolder() const { return m_rootFolder; }
    const sessionLimits &limits() const { return m_limits; }
    listingCache &listings() const { return m_listings; }
    // User name, ",", peer address: the holder of this session's locks.
    QString ownerKey() const { return m_userName + QLatin1Char(',') + peerText(); }

    // Login results (login handler).
    void setLoggedIn(bool loggedIn) { m_loggedIn = loggedIn; }
    void setUserName(const QString &name);

    // Writes reply bytes; nothing else frames a reply.
    void send(const QByteArray &text);
    // Posts a message for every session; it goes out after the current reply.
    void postBroadcast(const QByteArray &text);

    // Ends the session: the socket is closed once pending replies are sent.
    void closeSession();
    // Ends the session after bad input or a broken bound, with the log line.
    void closeWithError(const QString &reason = QString());

    // A system is a folder directly below the root: names that would reach
    // anything else are refused before they touch the file system.
    static bool isSystemName(const QString &system);

signals:
    void userInfoChanged();
    void connectionClosed();

public slots:
    void socketRead();

protected:
    // The peer's document, as parse events.
    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;
    bool endDocument() override;

private:
    std::unique_ptr<request_handler> createHandler(QStringView name) const;
    void reportClosed();
    bool checkBounds();

    sessionLimits m_limits;
    listingCache &m_listings;
    quint16 m_peerPort = 0;
    QHostAddress m_peerAddress;
    bool m_loggedIn = false;
    QString m_userName;
    QString m_rootFolder;
    xml_reader m_reader;
    std::unique_ptr<request_handler> m_handler;
    int m_depth = 0;
    qint64 m_idleMark = 0; // bytes parsed when the session was last between requests
    bool m_closing = false;
    bool m_closedReported = false;
};
