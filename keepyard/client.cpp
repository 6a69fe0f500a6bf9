#include "client.h"

#include "broadcastEvent.h"
#include "checkin_handler.h"
#include "checkout_handler.h"
#include "dir_handler.h"
#include "keepyard_log.h"
#include "lock_handler.h"
#include "locklist_handler.h"
#include "logLine.h"
#include "login_handler.h"
#include "synclist_handler.h"
#include "systems_handler.h"

#include <QCoreApplication>
#include <QScopeGuard>

namespace {

template <typename Handler>
std::unique_ptr<request_handler> make(client *session)
{
    return std::make_unique<Handler>(session);
}

// Every request the server knows, and whether it is served before login.
struct requestKind
{
    QStringView name;
    bool beforeLogin;
    std::unique_ptr<request_handler> (*create)(client *);
};

const requestKind requestKinds[] = {
    {u"login", true, make<login_handler>},
    {u"systems", true, make<systems_handler>},
    {u"dir", false, make<dir_handler>},
    {u"download", false, make<checkout_handler>},
    {u"upload", false, make<checkin_handler>},
    {u"synclist", false, make<synclist_handler>},
    {u"lock", false, make<lock_handler>},
    {u"unlock", false, make<lock_handler>},
    {u"locklist", false, make<locklist_handler>},
};

// Bytes taken from the socket per parse step. Small, so that a peer that
// stops reading its replies is noticed after a few requests, even where each
// asks for a large reply.
constexpr qint64 readChunk = 8 * 1024;
// Queued reply bytes beyond which send() passes them on at once.
constexpr qint64 flushBytes = 256 * 1024;

} // namespace

client::client(QObject *server, const QString &rootFolder, listingCache &listings, compressedFileCache &files,
               const sessionLimits &limits)
    : QTcpSocket(server), m_limits(limits), m_listings(listings), m_files(files), m_rootFolder(rootFolder),
      m_reader(this)
{
    m_reader.setLimits(m_limits.maxDepth, m_limits.maxHeldBytes);
    setReadBufferSize(m_limits.readBufferBytes);
    m_closeTimer = new QTimer(this);
    m_closeTimer->setSingleShot(true);
    connect(m_closeTimer, &QTimer::timeout, this, [this] {
        abort(); // the peer did not take its last replies in time
        reportClosed();
    });
    connect(this, &QIODevice::readyRead, this, &client::socketRead);
    // Replies drained by the peer may let a paused session go on reading.
    connect(this, &QIODevice::bytesWritten, this, &client::socketRead);
    connect(this, &QAbstractSocket::disconnected, this, &client::reportClosed);
    connect(this, &QAbstractSocket::errorOccurred, this, [this] {
        if (state() == UnconnectedState)
            reportClosed();
    });
}

client::~client()
{
    // The socket's own destructor still reports the disconnection; nothing of
    // this object may run then.
    disconnect(this, nullptr, nullptr, nullptr);
}

bool client::setSocketDescriptor(qintptr descriptor, SocketState state, OpenMode mode)
{
    const bool ok = QTcpSocket::setSocketDescriptor(descriptor, state, mode);
    m_peerPort = peerPort();
    m_peerAddress = peerAddress();
    // A dual-stack listener reports IPv4 peers as ::ffff:a.b.c.d; owner keys
    // and log lines use the dotted form.
    bool isV4 = false;
    const quint32 v4 = m_peerAddress.toIPv4Address(&isV4);
    if (isV4)
        m_peerAddress = QHostAddress(v4);
    return ok;
}

void client::setUserName(const QString &name)
{
    m_userName = name;
}

bool client::isSystemName(const QString &system)
{
    return !system.isEmpty() && system != QLatin1String(".") && !system.contains(QLatin1String(".."))
           && !system.contains(QLatin1Char('/')) && !system.contains(QLatin1Char('\\'))
           && !system.contains(QChar(u'\0'));
}

void client::send(const QByteArray &text)
{
    if (m_closing)
        return;
    write(text);
    // A long reply (a download of a whole folder) is built in one go; hand
    // what is ready to the kernel now, so that the peer reads the first files
    // while the later ones are still being compressed.
    if (bytesToWrite() >= flushBytes)
        flush();
    if (bytesToWrite() > m_limits.maxUnsentBytes)
        closeWithError(QStringLiteral("unsent replies above %1 bytes").arg(m_limits.maxUnsentBytes), true);
}

void client::sendNotice(const QByteArray &text)
{
    if (!m_handler) {
        send(text);
        return;
    }
    m_heldNoticeBytes += text.size();
    if (m_heldNoticeBytes > m_limits.maxKeptBytes) {
        closeWithError(QStringLiteral("notices held above %1 bytes").arg(m_limits.maxKeptBytes), true);
        return;
    }
    m_heldNotices.append(text);
}

void client::postBroadcast(const QByteArray &text)
{
    qCDebug(lcKeepyard) << "doing send broadcast";
    QCoreApplication::postEvent(parent(), new broadcastEvent(text));
}

void client::socketRead()
{
    if (m_closing) {
        // What still arrives is dropped; left unread it would turn the close
        // into a reset that can destroy replies the peer has not read yet.
        if (state() == ConnectedState || state() == ClosingState)
            readAll();
        return;
    }
    // A reply flushed from inside the parse reports bytesWritten at once;
    // the running loop goes on reading, so that input is never parsed ahead
    // of the bound on unsent replies.
    if (m_reading)
        return;
    m_reading = true;
    const auto done = qScopeGuard([this] {
        // Replies go to the kernel now: a peer that half-closes after its
        // requests makes the socket close at once, dropping what is still
        // queued here.
        if (!m_closing && bytesToWrite() > 0)
            flush();
        m_reading = false;
    });
    while (bytesAvailable() > 0) {
        if (bytesToWrite() >= m_limits.pauseUnsentBytes)
            return; // resumed by bytesWritten once the peer has read enough
        // The last piece is taken with readAll(): only a read that asks the
        // socket for more than its buffer holds lets a full read buffer
        // fill again.
        const QByteArray chunk = bytesAvailable() > readChunk ? read(readChunk) : readAll();
        const xml_reader::Status status = m_reader.feed(chunk);
        if (status == xml_reader::Failed) {
            closeWithError(m_reader.errorString());
            return;
        }
        if (status == xml_reader::Finished || m_closing)
            return;
    }
}

void client::closeWithError(const QString &reason, bool dropQueued)
{
    if (m_closing)
        return;
    logLine(QStringLiteral("connection errored for \"%1\" on \"%2\" - closing").arg(m_userName, peerText()));
    if (!reason.isEmpty())
        qCDebug(lcKeepyard).noquote() << reason;
    m_closing = true;
    if (dropQueued) {
        abort();
        reportClosed();
        return;
    }
    finishClose();
}

void client::closeSession()
{
    if (m_closing)
        return;
    m_closing = true;
    finishClose();
}

void client::finishClose()
{
    // Replies already written still go out; disconnected() follows. A peer
    // that does not take them is not waited for long.
    disconnectFromHost();
    if (state() == UnconnectedState)
        reportClosed();
    else
        m_closeTimer->start(m_limits.closeWaitMs);
}

void client::reportClosed()
{
    m_closing = true;
    m_closeTimer->stop();
    if (m_closedReported)
        return;
    m_closedReported = true;
    emit connectionClosed();
}

std::unique_ptr<request_handler> client::createHandler(QStringView name) const
{
    for (const requestKind &kind : requestKinds) {
        if (kind.name == name) {
            if (kind.create && (kind.beforeLogin || m_loggedIn))
                return kind.create(const_cast<client *>(this));
            return nullptr; // not served before login: no answer at all
        }
    }
    return nullptr; // unknown names are ignored, children included
}

bool client::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (m_closing)
        return true;
    if (!m_handler) {
        if (name == u"xml") {
            m_depth = 0; // the peer's document element
            return true;
        }
        m_handler = createHandler(name);
        if (!m_handler)
            return true;
        m_depth = 0;
    }
    m_handler->startElement(name, attributes);
    ++m_depth;
    return true;
}

bool client::endElement(QStringView name)
{
    if (m_closing)
        return true;
    if (m_depth > 0)
        --m_depth;
    if (m_depth == 0) {
        if (!m_handler && name == u"xml") {
            closeSession(); // the peer has ended its document
        } else if (m_handler) {
            // The request is carried out at its end tag.
            m_handler->endElement(name);
            m_handler.reset();
            for (const QByteArray &notice : std::exchange(m_heldNotices, {}))
                send(notice);
            m_heldNoticeBytes = 0;
        }
    } else if (m_handler) {
        m_handler->endElement(name);
    }
    return true;
}

bool client::characters(QStringView text)
{
    if (m_handler && !m_closing)
        m_handler->characters(text);
    return true;
}

bool client::endDocument()
{
    const QString where = QStringLiteral("%1/%2").arg(peerText()).arg(m_peerPort);
    if (!m_userName.isEmpty())
        logLine(QStringLiteral("User '%1' at '%2' disconnected").arg(m_userName, where));
    else
        logLine(QStringLiteral("'%1' disconnected").arg(where));
    closeSession();
    return true;
}
