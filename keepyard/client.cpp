#include "client.h"

#include "broadcastEvent.h"
#include "checkin_handler.h"
#include "checkout_handler.h"
#include "dir_handler.h"
#include "keepyard_log.h"
#include "lock_handler.h"
#include "locklist_handler.h"
#include "compressedFileCache.h"
#include "logLine.h"
#include "login_handler.h"
#include "requestedFile.h"
#include "synclist_handler.h"
#include "systems_handler.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>

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

// Waiting files read side by side for a reply: at most this many (and no
// more once their sizes reach sessionLimits::readAheadBytes).
constexpr int filesPerPoolThread = 4;

int batchFilesLimit()
{
    return filesPerPoolThread * qMax(1, QThreadPool::globalInstance()->maxThreadCount());
}

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
    // What the peer has taken makes room for the waiting reply, and may let a
    // paused session go on reading.
    connect(this, &QIODevice::bytesWritten, this, [this] {
        if (m_closeTimer->isActive())
            m_closeTimer->start(m_limits.closeWaitMs); // the peer still takes replies
        resume();
    });
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
    if (m_closing || text.isEmpty())
        return;
    if (m_waiting.empty()) {
        writeNow(text);
        return;
    }
    m_waitingTextBytes += text.size();
    m_waiting.push_back({text, nullptr});
}

void client::sendFile(requestedFile file)
{
    if (m_closing)
        return;
    m_waiting.push_back({QByteArray(), std::make_unique<requestedFile>(std::move(file))});
    ++m_waitingFiles;
    // Requests are parsed a piece at a time and files are read side by side:
    // the parse goes on to the next files first (socketRead sends after each
    // piece).
    if (m_waitingFiles >= batchFilesLimit())
        sendWaiting();
}

void client::writeNow(const QByteArray &text)
{
    write(text);
    // A long reply (a download of a whole folder) is written piece by piece;
    // hand what is ready to the kernel now, so that the peer reads the first
    // files while the later ones are still being compressed.
    if (bytesToWrite() >= flushBytes)
        flush();
    if (bytesToWrite() > m_limits.maxUnsentBytes)
        closeWithError(QStringLiteral("unsent replies above %1 bytes").arg(m_limits.maxUnsentBytes), true);
}

void client::sendWaiting()
{
    if (m_sendingWaiting)
        return;
    m_sendingWaiting = true;
    const auto done = qScopeGuard([this] { m_sendingWaiting = false; });
    compressedFileCache &files = m_files;
    while (!m_waiting.empty() && state() == ConnectedState && bytesToWrite() < m_limits.pauseUnsentBytes) {
        if (!m_waiting.front().file) {
            const QByteArray text = std::move(m_waiting.front().text);
            m_waiting.pop_front();
            m_waitingTextBytes -= text.size();
            writeNow(text);
            continue;
        }
        // The files at the front are read and compressed side by side.
        QList<requestedFile *> batch;
        qint64 batchBytes = 0;
        for (auto it = m_waiting.begin(); it != m_waiting.end() && it->file && batch.size() < batchFilesLimit()
                                          && (batch.isEmpty() || batchBytes < m_limits.readAheadBytes);
             ++it) {
            batch.append(it->file.get());
            batchBytes += it->file->expectedBytes();
        }
        QtConcurrent::blockingMap(batch, [&files](requestedFile *file) { file->prepare(files); });
        for (qsizetype i = 0; i < batch.size() && !m_waiting.empty(); ++i) {
            const std::unique_ptr<requestedFile> file = std::move(m_waiting.front().file);
            m_waiting.pop_front();
            --m_waitingFiles;
            if (state() != ConnectedState)
                continue; // aborted on the way: nothing more goes out
            for (const QByteArray &piece : file->replyPieces())
                writeNow(piece);
            const QString line = file->sentLogText(m_userName, peerText());
            if (!line.isEmpty())
                logLine(line);
        }
    }
    if (m_waiting.empty() && m_disconnectWhenSent) {
        m_disconnectWhenSent = false;
        finishClose();
    }
}

void client::dropWaiting()
{
    m_waiting.clear();
    m_waitingFiles = 0;
    m_waitingTextBytes = 0;
}

void client::resume()
{
    sendWaiting();
    socketRead();
}

void client::prepareWaiting(const QString &path)
{
    for (waitingPart &part : m_waiting) {
        if (part.file && part.file->serverPath() == path)
            part.file->prepare(m_files);
    }
}

void client::fileChanging(const QString &path)
{
    // Every session's reply reads the file as it was when asked for.
    if (parent()) {
        for (client *session : parent()->findChildren<client *>(Qt::FindDirectChildrenOnly))
            session->prepareWaiting(path);
    } else {
        prepareWaiting(path);
    }
    m_files.drop(path);
}

qint64 client::heldReplyBytes() const
{
    return bytesToWrite() + m_waitingTextBytes;
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
        return; // the running loop, or its end below, takes what is left
    m_reading = true;
    const auto done = qScopeGuard([this] {
        // Replies go to the kernel now: a peer that half-closes after its
        // requests makes the socket close at once, dropping what is still
        // queued here.
        if (!m_closing && bytesToWrite() > 0)
            flush();
        m_reading = false;
        // Input left unread, or reply parts left waiting, go on once the peer
        // has taken enough: bytesWritten says so. But it is not reported
        // while it is being reported (this may run inside it), and a call
        // that came meanwhile found the loop busy: unless enough is still
        // queued for bytesWritten to come again, go on from the event loop.
        const bool left = bytesAvailable() > 0 || !m_waiting.empty();
        const bool willBeWritten = bytesToWrite() >= m_limits.pauseUnsentBytes;
        if (left && !willBeWritten && state() == ConnectedState && (!m_closing || !m_waiting.empty()))
            QMetaObject::invokeMethod(this, &client::resume, Qt::QueuedConnection);
    });
    while (bytesAvailable() > 0) {
        if (heldReplyBytes() >= m_limits.pauseUnsentBytes || m_waitingFiles >= m_limits.maxWaitingFiles)
            return; // resumed by bytesWritten once the peer has read enough
        // The last piece is taken with readAll(): only a read that asks the
        // socket for more than its buffer holds lets a full read buffer
        // fill again.
        const QByteArray chunk = bytesAvailable() > readChunk ? read(readChunk) : readAll();
        const xml_reader::Status status = m_reader.feed(chunk);
        sendWaiting();
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
        dropWaiting();
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
    // Replies already asked for still go out; disconnected() follows. A
    // peer that stops taking them is not waited for long.
    m_closeTimer->start(m_limits.closeWaitMs);
    if (!m_waiting.empty() && state() == ConnectedState) {
        m_disconnectWhenSent = true;
        return;
    }
    disconnectFromHost();
    if (state() == UnconnectedState)
        reportClosed();
}

void client::reportClosed()
{
    m_closing = true;
    if (!m_sendingWaiting)
        dropWaiting();
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
    logDisconnected();
    closeSession();
    return true;
}

void client::endSession()
{
    if (m_closing)
        return;
    logDisconnected();
    closeSession();
}

void client::logDisconnected() const
{
    const QString where = QStringLiteral("%1/%2").arg(peerText()).arg(m_peerPort);
    if (!m_userName.isEmpty())
        logLine(QStringLiteral("User '%1' at '%2' disconnected").arg(m_userName, where));
    else
        logLine(QStringLiteral("'%1' disconnected").arg(where));
}
