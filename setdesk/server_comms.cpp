#include "server_comms.h"

#include "clientFolder.h"
#include "doWaitDialog.h"
#include "download_list.h"
#include "lock_list.h"
#include "protocol.h"
#include "replies/checkin_handler.h"
#include "replies/checkout_handler.h"
#include "replies/dir_handler.h"
#include "replies/lock_handler.h"
#include "replies/locklist_handler.h"
#include "replies/login_handler.h"
#include "replies/notice_handler.h"
#include "replies/synclist_handler.h"
#include "replies/system_handler.h"
#include "setdesk_log.h"
#include "xfer.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimerEvent>

commsUi::~commsUi() = default;

void commsUi::critical(const QString &title, const QString &text)
{
    QMessageBox::critical(nullptr, title, text);
}

void commsUi::quit()
{
    QCoreApplication::quit();
}

server_comms::server_comms(QObject *parent, const QString &serverName, const QString &host, quint16 port,
                           std::unique_ptr<commsUi> ui)
    : QTcpSocket(parent), m_ui(ui ? std::move(ui) : std::make_unique<commsUi>()), m_reader(this),
      m_clientDir(clientFolder::path()), m_serverName(serverName)
{
    connect(this, &QIODevice::readyRead, this, &server_comms::socketRead);
    connect(this, &QAbstractSocket::errorOccurred, this, &server_comms::socketError);
    connect(this, &QAbstractSocket::disconnected, this, &server_comms::socketClosed);
    connect(this, &QAbstractSocket::connected, this, &server_comms::socketConnected);
    m_waitDialog = std::make_unique<doWaitDialog>();
    m_waitDialog->setObjectName(QStringLiteral("Wait Dialog"));
    m_waitDialog->beginWait(QStringLiteral("Connecting to server..."));
    // The port of the chosen server entry: a server need not listen on 23.
    connectToHost(host, port);
    m_correctiveTimer = startTimer(1000);
}

server_comms::~server_comms()
{
    // The socket's own destructor still reports the disconnection; nothing of
    // this object may run then.
    disconnect(this, nullptr, nullptr, nullptr);
}

QString server_comms::escaped(const QString &value)
{
    // Names holding &, <, > or quotes would otherwise break the request.
    return protocol::escape(value);
}

QByteArray server_comms::uploadElement(const QString &name, const QString &local, QString *reason)
{
    QByteArray hex;
    xfer::readStamp read;
    if (xfer::compressFile(local, hex, &read)) {
        const QFileInfo info(local);
        *reason = info.isFile() && info.size() > xfer::maxUncompressedSize
                      ? QStringLiteral("File size %1 is outside the transfer limit of %2 bytes")
                            .arg(info.size())
                            .arg(xfer::maxUncompressedSize)
                      : QStringLiteral("The local file '%1' cannot be read").arg(local);
        return QByteArray();
    }
    return QStringLiteral("\t<file name=\"%1\" size=\"%2\" date=\"%3\">")
               .arg(escaped(name), QString::number(read.size), QString::fromLatin1(protocol::localIsoDate(read.modified)))
               .toUtf8()
           + hex + "</file>\r\n";
}

void server_comms::send(const QByteArray &text)
{
    write(text);
}

void server_comms::report(int status, const QString &operation, const QString &path, const QString &message,
                          const QString &uid)
{
    response result(status, operation, path, message);
    QString target = uid;
    emit event(result, target);
}

void server_comms::loggedIn(const QString &id, const QString &level)
{
    m_userId = id;
    m_userLevel = level;
    emit setServer(m_serverName, m_system, m_userId, m_userLevel);
}

QString server_comms::systemFolder(const QString &system) const
{
    if (system.isEmpty() || system == u"." || system.contains(QLatin1String("..")) || system.contains(QLatin1Char('/'))
        || system.contains(QLatin1Char('\\')))
        return QString();
    return m_clientDir + QLatin1Char('/') + system;
}

QString server_comms::localPath(const QString &system, const QString &path) const
{
    const QString folder = systemFolder(system);
    const QString relative = protocol::wirePath(path);
    if (folder.isEmpty() || !protocol::staysBelow(relative))
        return QString();
    return protocol::joinPath(folder, relative);
}

void server_comms::socketConnected()
{
    m_waitDialog->endWait(QStringLiteral("socket connected"));
}

void server_comms::socketRead()
{
    if (m_failed)
        return;
    // Called again from inside a handler's dialog, the reader keeps the bytes
    // and parses them once that handler has returned.
    if (m_reader.feed(readAll()) != xml_reader::Failed || m_failed)
        return;
    if (m_reader.boundExceeded())
        failBound(m_reader.errorString());
    else
        endConnection(m_reader.errorString(), false);
}

void server_comms::failBound(const QString &reason)
{
    endConnection(reason, true);
}

void server_comms::endConnection(const QString &reason, bool tellUser)
{
    if (m_failed)
        return;
    m_failed = true;
    qCWarning(lcSetdesk).noquote() << QStringLiteral("ConfigClient: connection errored for \"%1\" on \"%2\" - closing")
                                          .arg(m_serverName, peerAddress().toString());
    qCDebug(lcSetdesk).noquote() << reason;
    // Malformed input ends the connection quietly; a broken bound says so, once.
    if (tellUser) {
        m_waitDialog->endWait(QStringLiteral("reply too large"));
        if (!m_ended) {
            m_ended = true;
            m_ui->critical(QStringLiteral("Error"), QStringLiteral("Server reply too large"));
            m_ui->quit();
        }
    }
    deleteLater();
}

void server_comms::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_correctiveTimer)
        return;
    if (bytesAvailable() > 0) {
        qCDebug(lcSetdesk) << "++++++++++++++++ doing corrective socket read";
        socketRead();
    }
}

void server_comms::socketError(QAbstractSocket::SocketError error)
{
    m_waitDialog->endWait(QStringLiteral("socket error"));
    QString text;
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: text = QStringLiteral("Connection refused"); break;
    case QAbstractSocket::HostNotFoundError: text = QStringLiteral("Host not found"); break;
    case QAbstractSocket::NetworkError:
    case QAbstractSocket::SocketTimeoutError:
    case QAbstractSocket::SocketResourceError: text = QStringLiteral("Socket Read"); break;
    default: return; // a closing server is reported by socketClosed()
    }
    // One box for one failure: the close that follows a read error says nothing more.
    if (m_ended)
        return;
    m_ended = true;
    m_ui->critical(QStringLiteral("Error"), text);
    m_ui->quit();
}

void server_comms::socketClosed()
{
    if (m_ended)
        return;
    m_ended = true;
    if (m_documentOpen)
        m_ui->critical(QStringLiteral("Error"), QStringLiteral("Server Closed"));
    m_ui->quit();
}

void server_comms::closeDocument()
{
    m_documentOpen = false;
    send(QByteArray("</xml>"));
    flush();
}

std::unique_ptr<setdesk::reply_handler> server_comms::createHandler(QStringView name)
{
    using namespace setdesk;
    if (name == u"login")
        return std::make_unique<login_handler>(this);
    if (name == u"systems")
        return std::make_unique<system_handler>(this);
    if (name == u"download")
        return std::make_unique<checkout_handler>(this);
    if (name == u"upload")
        return std::make_unique<checkin_handler>(this);
    if (name == u"dir")
        return std::make_unique<dir_handler>(this);
    if (name == u"lock" || name == u"unlock")
        return std::make_unique<lock_handler>(this);
    if (name == u"synclist")
        return std::make_unique<synclist_handler>(this);
    if (name == u"locklist")
        return std::make_unique<locklist_handler>(this);
    if (name == u"update")
        return std::make_unique<notice_handler>(this);
    return nullptr; // parsed and ignored
}

bool server_comms::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (m_failed)
        return false; // a handler broke a bound: nothing more is read
    if (m_handler) {
        m_handler->startElement(name, attributes);
    } else if (name == u"xml") {
        // The server's document begins: open ours and ask for the systems.
        m_depth = 0;
        send(QByteArray("<xml><systems type=\"request\" />\r\n"));
        return true;
    } else {
        m_depth = 0;
        m_handler = createHandler(name);
        if (m_handler)
            m_handler->startElement(name, attributes);
    }
    ++m_depth;
    return true;
}

bool server_comms::endElement(QStringView name)
{
    if (m_failed)
        return false;
    if (m_depth > 0)
        --m_depth;
    if (m_depth == 0) {
        if (!m_handler && name == u"xml") {
            deleteLater(); // the server ended its document
        } else if (m_handler) {
            // Released first: the handler may run dialogs that read more replies.
            std::unique_ptr<setdesk::reply_handler> handler = std::move(m_handler);
            handler->endElement(name);
        }
    } else if (m_handler) {
        m_handler->endElement(name);
    }
    return true;
}

bool server_comms::characters(QStringView text)
{
    if (m_failed)
        return false;
    if (m_handler)
        m_handler->characters(text);
    return true;
}

bool server_comms::endDocument()
{
    deleteLater();
    return true;
}

void server_comms::sendLockRequest(const QString &element, const QString &child, const QString &path,
                                   const QString &uid)
{
    send(QStringLiteral("<%1 uid=\"%2\" type=\"request\" system=\"%3\" >\t<%4 name=\"%5\" /></%1>")
             .arg(element, escaped(uid), escaped(m_system), child, escaped(path))
             .toUtf8());
}

void server_comms::sendSynclist(const QString &mode, const QString &path, const QString &uid)
{
    send(QStringLiteral("<synclist uid=\"%1\" type=\"request\" system=\"%2\" path=\"%3\" />\r\n")
             .arg(escaped(mode + uid), escaped(m_system), escaped(path))
             .toUtf8());
}

void server_comms::downloadFile(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    download_list downloads(m_system);
    lock_list locks(m_system);
    if (locks.isLocked(path)) {
        downloads.add(path, uid);
        report(response::DoneReadOnly, QStringLiteral("download"), path, QString(), uid);
        report(response::BatchEnd, QStringLiteral("download"), QString(), QString(), uid);
        m_waitDialog->endWait(QStringLiteral("done download."));
        return;
    }
    send(QStringLiteral("<download uid=\"%1\" type=\"request\" system=\"%2\" >\t<file name=\"%3\" /></download>\r\n")
             .arg(escaped(uid), escaped(m_system), escaped(path))
             .toUtf8());
    m_waitDialog->beginWait(QStringLiteral("Downloading files.....(%1/%2)").arg(uid, path));
}

void server_comms::lock(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    lock_list locks(m_system);
    if (locks.isLocked(path)) {
        locks.add(uid, path);
        report(response::Done, QStringLiteral("lock"), path, QString(), uid);
        return;
    }
    sendLockRequest(QStringLiteral("lock"), QStringLiteral("file"), path, uid);
}

void server_comms::lockDir(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    lock_list locks(m_system);
    if (locks.isLocked(path)) {
        locks.add(uid, path);
        report(response::Done, QStringLiteral("lockDir"), path, QString(), uid);
        return;
    }
    sendLockRequest(QStringLiteral("lock"), QStringLiteral("dir"), path, uid);
}

void server_comms::checkoutFile(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    download_list downloads(m_system);
    lock_list locks(m_system);
    if (locks.isLocked(path)) {
        locks.add(uid, path);
        downloads.add(path, uid);
        report(response::Done, QStringLiteral("lock"), path, QString(), uid);
        report(response::Done, QStringLiteral("download"), path, QString(), uid);
        report(response::BatchEnd, QStringLiteral("download"), path, QString(), uid);
        m_waitDialog->endWait(QStringLiteral("done download"));
        return;
    }
    // Lock and download in one write: the file arrives already held.
    send(QStringLiteral("<lock uid=\"%1\" type=\"request\" system=\"%2\" >\t<file name=\"%3\" /></lock>"
                        "<download uid=\"%4\" type=\"request\" system=\"%2\" >\t<file name=\"%3\" /></download>\r\n")
             .arg(escaped(uid), escaped(m_system), escaped(path), escaped(path + QLatin1Char(':') + uid))
             .toUtf8());
    m_waitDialog->beginWait(QStringLiteral("Downloading files.....(%1/%2)").arg(uid, path));
}

void server_comms::checkoutDir(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    bool held = false;
    {
        lock_list locks(m_system);
        held = locks.isLocked(path);
        if (held)
            locks.add(uid, path);
    }
    if (held) {
        report(response::Done, QStringLiteral("lock"), path, QString(), uid);
        walkLocalCopy(path, uid);
        report(response::BatchEnd, QStringLiteral("download"), path, QString(), uid);
        m_waitDialog->endWait(QStringLiteral("done download.."));
        return;
    }
    sendLockRequest(QStringLiteral("lock"), QStringLiteral("dir"), path, uid);
    syncDirDownload(path, uid);
}

void server_comms::walkLocalCopy(const QString &path, const QString &uid)
{
    const QString folder = localPath(m_system, path);
    if (folder.isEmpty())
        return;
    download_list downloads(m_system);
    lock_list locks(m_system);
    QDirIterator files(folder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        files.next();
        const QString p = path + QLatin1Char('/') + QDir(folder).relativeFilePath(files.filePath());
        report(locks.isLockedBy(uid, p) ? response::Done : response::DoneReadOnly, QStringLiteral("download"), p,
               QString(), uid);
        downloads.add(p, uid);
    }
}

void server_comms::syncDirDownload(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    qCDebug(lcSetdesk) << "not found dir - requesting dir";
    sendSynclist(QStringLiteral("download:"), path, uid);
}

void server_comms::syncDirUpload(const QString &path, const QString &uid)
{
    sendSynclist(QStringLiteral("upload:"), path, uid);
}

void server_comms::dir(const QString &path, const QString &uid)
{
    sendSynclist(QStringLiteral("dir:"), path, uid);
}

void server_comms::unlock(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    lock_list locks(m_system);
    locks.remove(uid, path);
    if (locks.isLocked(path)) {
        // Another plugin of this editor still holds it: the server's lock stays.
        report(response::Done, QStringLiteral("unlock"), path, QString(), uid);
        return;
    }
    send(QStringLiteral("<unlock type=\"request\" uid=\"%1\" system=\"%2\" >\r\n\t<file name=\"%3\"/>\r\n</unlock>\r\n")
             .arg(escaped(uid), escaped(m_system), escaped(path))
             .toUtf8());
}

void server_comms::unlockDir(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    lock_list locks(m_system);
    locks.remove(uid, path);
    if (!locks.isLocked(path))
        send(QStringLiteral("<unlock type=\"request\" uid=\"%1\" system=\"%2\" >\r\n\t<dir name=\"%3\"/>\r\n</unlock>\r\n")
                 .arg(escaped(uid), escaped(m_system), escaped(path))
                 .toUtf8());
}

void server_comms::releaseLock(const QString &path, const QString &uid)
{
    if (path.isEmpty())
        return;
    lock_list(m_system).removePath(path);
    send(QStringLiteral("<unlock type=\"request\" uid=\"%1\" system=\"%2\" >\r\n\t<file name=\"%3\"/>\r\n</unlock>\r\n")
             .arg(escaped(uid), escaped(m_system), escaped(path))
             .toUtf8());
}

void server_comms::uploadFile(const QString &path, const QString &uid, const QString &folder)
{
    if (path.isEmpty())
        return;
    const QString local = folder + QLatin1Char('/') + path;
    QByteArray request = QStringLiteral("<upload type=\"request\" uid=\"%1\" system=\"%2\" >\r\n")
                             .arg(escaped(uid), escaped(m_system))
                             .toUtf8();
    QString reason;
    if (!protocol::staysBelow(path)) {
        reason = QStringLiteral("The path leaves the local copy of the system");
    } else if (const QFileInfo info(local); info.exists() || info.isSymLink()) { // a link to nothing is no missing file
        const QByteArray element = uploadElement(path, local, &reason);
        request += element;
    } else {
        // The editor no longer has the file: the server keeps its copy in the backups.
        request += QStringLiteral("\t<file name=\"%1\" >").arg(escaped(path)).toUtf8() + "</file>\r\n";
    }
    if (!reason.isEmpty()) {
        // Nothing is sent for a file that exists but cannot be read: empty
        // content would retire the server's copy.
        report(response::Failed, QStringLiteral("upload"), path, reason, uid);
        report(response::BatchEnd, QStringLiteral("upload"), QString(), QString(), uid);
        return;
    }
    request += "</upload>\r\n";
    m_waitDialog->beginWait(QStringLiteral("Uploading files...."));
    send(request);
}
