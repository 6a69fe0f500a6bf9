#pragma once

#include "hexBuffer.h"
#include "xml_handler.h"
#include "xml_reader.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <deque>
#include <memory>

class compressedFileCache;
class requestedFile;
class listingCache;
class request_handler;

// Bounds that keep one peer from exhausting the server, whatever it sends.
struct sessionLimits
{
    // Element nesting of the peer's document, its root included.
    int maxDepth = xml_reader::defaultMaxDepth;
    // Markup the parser must hold at once (a start tag, or a run of text
    // with entities); file contents and the markup between elements pass
    // through and are not counted, so uploads of any number of files fit.
    qint64 maxHeldBytes = 1024 * 1024;
    // Bytes taken from the kernel ahead of the parser: beyond it TCP itself
    // pushes the peer back.
    qint64 readBufferBytes = 256 * 1024;
    // Reply bytes not yet taken by the peer; beyond it the session is closed.
    qint64 maxUnsentBytes = qint64(1024) * 1024 * 1024;
    // While this much is waiting to be sent, no further request is read: a
    // peer that does not read its replies stops being served.
    qint64 pauseUnsentBytes = 4 * 1024 * 1024;
    // Hex text of one delivered file; beyond it the file is refused and the
    // session goes on.
    qint64 maxFileHexBytes = hexBuffer::defaultLimit();
    // What a handler keeps from the elements of one request (the entries of
    // a client's synchronisation list).
    qint64 maxKeptBytes = 64 * 1024 * 1024;
    // How long a closing session waits for its queued replies to move on:
    // it is closed once the peer has taken nothing for this long.
    int closeWaitMs = 5000;
    // Sizes of the requested files read side by side for a reply (at least
    // one file is read at a time).
    qint64 readAheadBytes = 32 * 1024 * 1024;
    // Requested files waiting to be read for a reply; beyond it no further
    // request is read until the peer has taken some of the reply.
    int maxWaitingFiles = 4096;
    // Sessions of the server at once; a connection beyond it is closed
    // before its greeting (a peer opening connections without end must not
    // use up the server's file handles).
    int maxSessions = 256;
};

// One accepted connection: reads the peer's endless XML document, hands each
// top-level request element to a handler made for its name, and holds the
// connection's identity (peer, user, login state).
class client : public QTcpSocket, public xml_handler
{
    Q_OBJECT

public:
    // `listings` and `files` are shared by the sessions of one server and outlive them.
    client(QObject *server, const QString &rootFolder, listingCache &listings, compressedFileCache &files,
           const sessionLimits &limits = sessionLimits());
    ~client() override;

    bool setSocketDescriptor(qintptr descriptor, SocketState state = ConnectedState,
                             OpenMode mode = ReadWrite) override;

    QHostAddress peer() const { return m_peerAddress; }
    QString peerText() const { return m_peerAddress.toString(); }
    quint16 peerPortNumber() const { return m_peerPort; }
    QString userName() const { return m_userName; }
    bool isLoggedIn() const { return m_loggedIn; }
    // The session is ending: nothing more is read or written.
    bool isClosing() const { return m_closing; }
    QString rootFolder() const { return m_rootFolder; }
    const sessionLimits &limits() const { return m_limits; }
    listingCache &listings() const { return m_listings; }
    // User name, ",", peer address: the holder of this session's locks.
    QString ownerKey() const { return m_userName + QLatin1Char(',') + peerText(); }

    // Login results (login handler).
    void setLoggedIn(bool loggedIn) { m_loggedIn = loggedIn; }
    void setUserName(const QString &name);

    // Writes reply bytes; nothing else frames a reply. Bytes sent after a
    // file still waiting in the reply follow it.
    void send(const QByteArray &text);
    // Answers a requested file in its place in the reply. Files are read and
    // compressed (several side by side) only once the peer has taken most of
    // what went before, so a session holds a bounded part of its reply
    // however much it asks for.
    void sendFile(requestedFile file);
    // The file at `path` is about to be replaced, moved or deleted: the
    // replies of every session of the server that still have to read it
    // read it now, and the server's compressed copy is forgotten.
    void fileChanging(const QString &path);
    // Reply bytes held for the peer: queued in the socket and waiting in
    // the reply (files not yet read count nothing).
    qint64 heldReplyBytes() const;
    int waitingFiles() const { return m_waitingFiles; }
    // Posts a message for every session; it goes out after the current reply.
    void postBroadcast(const QByteArray &text);
    // Writes a notice meant for every session. While a request of this
    // session is open its reply is still being written: the notice waits
    // for the reply's end, so that it never lands inside it.
    void sendNotice(const QByteArray &text);

    // Ends the session: the socket is closed once pending replies are sent.
    void closeSession();
    // The server ends the session (it is stopping): logged as the peer's
    // own end would be, then closed as closeSession() does.
    void endSession();
    // Ends the session after bad input or a broken bound, with the log line.
    // Replies already queued still go out (within closeWaitMs) unless
    // `dropQueued`, for a peer that is not taking them anyway.
    void closeWithError(const QString &reason = QString(), bool dropQueued = false);

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
    void logDisconnected() const;
    // Hands reply bytes to the socket at once.
    void writeNow(const QByteArray &text);
    // Moves waiting reply parts to the socket while the peer keeps up.
    void sendWaiting();
    // Goes on with the waiting reply and the unread input.
    void resume();
    // Forgets the waiting reply (the session is ending).
    void dropWaiting();
    // Reads the waiting files of this session at `path` now.
    void prepareWaiting(const QString &path);
    void finishClose();
    void reportClosed();

    sessionLimits m_limits;
    listingCache &m_listings;
    compressedFileCache &m_files;
    quint16 m_peerPort = 0;
    QHostAddress m_peerAddress;
    bool m_loggedIn = false;
    QString m_userName;
    QString m_rootFolder;
    xml_reader m_reader;
    std::unique_ptr<request_handler> m_handler;
    int m_depth = 0;
    QByteArrayList m_heldNotices;
    qint64 m_heldNoticeBytes = 0;
    // Parts of the reply not yet given to the socket, in order: text, or a
    // requested file.
    struct waitingPart
    {
        QByteArray text;
        std::unique_ptr<requestedFile> file;
    };
    std::deque<waitingPart> m_waiting;
    qint64 m_waitingTextBytes = 0;
    int m_waitingFiles = 0;
    bool m_sendingWaiting = false; // inside sendWaiting()
    bool m_disconnectWhenSent = false;
    QTimer *m_closeTimer = nullptr;
    bool m_reading = false; // inside socketRead()
    bool m_closing = false;
    bool m_closedReported = false;
};
