#include "bench_keepyard_peer.h"

#include "xfer.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <zlib.h>

namespace {

const QByteArray uid("bench");

QByteArray text(const QString &value)
{
    return value.toUtf8();
}

} // namespace

QString replyElement::message() const
{
    for (const replyElement &child : children) {
        if (child.name == u"message")
            return child.text;
    }
    return QString();
}

// --------------------------------------------------------------------------
// Requests

QByteArray peerRequest::systems()
{
    return "<systems type=\"request\" />";
}

QByteArray peerRequest::login(const QString &user, const QString &password, const QString &system)
{
    return "<login type=\"request\" id=\"" + text(user) + "\" password=\"" + text(password) + "\" system=\""
           + text(system) + "\" />";
}

QByteArray peerRequest::lock(const QString &system, const QString &path, bool folder)
{
    const QByteArray child = folder ? "dir" : "file";
    return "<lock uid=\"" + uid + "\" type=\"request\" system=\"" + text(system) + "\" >\t<" + child + " name=\""
           + text(path) + "\" /></lock>";
}

QByteArray peerRequest::unlock(const QString &system, const QString &path)
{
    return "<unlock type=\"request\" uid=\"" + uid + "\" system=\"" + text(system) + "\" >\r\n\t<file name=\""
           + text(path) + "\"/>\r\n</unlock>\r\n";
}

QByteArray peerRequest::locklist(const QString &system)
{
    return "<locklist uid=\"" + uid + "\" type=\"request\" system=\"" + text(system) + "\" />\r\n";
}

QByteArray peerRequest::upload(const QString &system, const QString &path, const QByteArray &hex, qint64 size,
                               const QString &date)
{
    return "<upload type=\"request\" uid=\"" + uid + "\" system=\"" + text(system) + "\" >\r\n\t<file name=\""
           + text(path) + "\" size=\"" + QByteArray::number(size) + "\" date=\"" + text(date) + "\">" + hex
           + "</file>\r\n</upload>\r\n";
}

QByteArray peerRequest::uploadWithoutContent(const QString &system, const QString &path)
{
    return "<upload type=\"request\" uid=\"" + uid + "\" system=\"" + text(system) + "\" >\r\n\t<file name=\""
           + text(path) + "\" ></file>\r\n</upload>\r\n";
}

QByteArray peerRequest::remove(const QString &system, const QString &path)
{
    return "<upload type=\"request\" uid=\"" + uid + "\" system=\"" + text(system) + "\" >\r\n<delete name=\""
           + text(path) + "\" /></upload>\r\n";
}

QByteArray peerRequest::download(const QString &system, const QString &path)
{
    return "<download uid=\"" + uid + "\" type=\"request\" system=\"" + text(system) + "\" >\t<file name=\""
           + text(path) + "\" /></download>\r\n";
}

QByteArray peerRequest::synclist(const QString &system, const QString &path)
{
    return "<synclist uid=\"" + uid + "\" type=\"request\" system=\"" + text(system) + "\" path=\"" + text(path)
           + "\" />\r\n";
}

// --------------------------------------------------------------------------
// Content

QByteArray hashOf(const QByteArray &content)
{
    return QCryptographicHash::hash(content, QCryptographicHash::Sha1);
}

QString ownerKeyOf(const QString &user)
{
    return user + QStringLiteral(",127.0.0.1");
}

QByteArray encodeContent(const QByteArray &content)
{
    uLongf length = compressBound(uLong(content.size()));
    QByteArray compressed(qsizetype(length), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef *>(compressed.data()), &length,
             reinterpret_cast<const Bytef *>(content.constData()), uLong(content.size()));
    compressed.truncate(qsizetype(length));
    return xfer::toHex(compressed);
}

std::optional<QByteArray> decodeContent(const QString &hex, qint64 size)
{
    if (size < 0 || size > xfer::maxUncompressedSize)
        return std::nullopt;
    QByteArray compressed;
    xfer::appendFromHex(QStringView(hex), compressed);
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    Bytef empty = 0;
    uLongf length = uLongf(size);
    const int rc = uncompress(size > 0 ? reinterpret_cast<Bytef *>(out.data()) : &empty, &length,
                              reinterpret_cast<const Bytef *>(compressed.constData()), uLong(compressed.size()));
    if (rc != Z_OK || qint64(length) != size)
        return std::nullopt;
    return out;
}

// --------------------------------------------------------------------------
// Reader

bool replyReader::feed(const QByteArray &bytes, std::vector<replyElement> &complete)
{
    if (!m_error.isEmpty())
        return false;
    m_xml.addData(bytes);
    // readNext() resumes after running out of data; Invalid means out of data or an error.
    for (QXmlStreamReader::TokenType token = m_xml.readNext(); token != QXmlStreamReader::Invalid;
         token = m_xml.readNext()) {
        switch (token) {
        case QXmlStreamReader::StartElement:
            if (!m_opened) {
                if (m_xml.name() != u"xml") {
                    m_error = QStringLiteral("the document starts with <%1>").arg(m_xml.name());
                    return false;
                }
                m_opened = true;
                break;
            }
            m_open.emplace_back();
            m_open.back().name = m_xml.name().toString();
            for (const QXmlStreamAttribute &a : m_xml.attributes())
                m_open.back().attributes.insert(a.name().toString(), a.value().toString());
            break;
        case QXmlStreamReader::EndElement: {
            if (m_open.empty()) {
                m_error = QStringLiteral("the server ended its document");
                return false;
            }
            replyElement done = std::move(m_open.back());
            m_open.pop_back();
            if (m_open.empty())
                complete.push_back(std::move(done));
            else
                m_open.back().children.push_back(std::move(done));
            break;
        }
        case QXmlStreamReader::Characters:
            if (!m_open.empty())
                m_open.back().text += m_xml.text();
            break;
        default: break;
        }
    }
    if (m_xml.error() == QXmlStreamReader::NoError || m_xml.error() == QXmlStreamReader::PrematureEndOfDocumentError)
        return true;
    m_error = QStringLiteral("malformed reply at byte %1: %2").arg(m_xml.characterOffset()).arg(m_xml.errorString());
    return false;
}

// --------------------------------------------------------------------------
// Connection

serverPeer::serverPeer() : m_socket(std::make_unique<QTcpSocket>())
{
    QTcpSocket *socket = m_socket.get();
    QObject::connect(socket, &QIODevice::readyRead, socket, [this] { readAvailable(); });
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this] {
        m_closed = true;
        if (!m_closing)
            fail(QStringLiteral("connection closed by the server"));
    });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [this](QAbstractSocket::SocketError error) {
        // The server closing after our "</xml>" is the expected end.
        if (!(m_closing && error == QAbstractSocket::RemoteHostClosedError))
            fail(m_socket->errorString());
    });
}

serverPeer::~serverPeer()
{
    QObject::disconnect(m_socket.get(), nullptr, nullptr, nullptr);
    m_socket->abort();
}

void serverPeer::connectTo(quint16 port)
{
    m_socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
}

void serverPeer::request(const QByteArray &text, const QString &replyName, replyHandler done)
{
    m_replyName = replyName;
    m_done = std::move(done);
    m_socket->write(text);
}

void serverPeer::close()
{
    if (m_closing || m_failed)
        return;
    m_closing = true;
    m_socket->write("</xml>");
}

void serverPeer::fail(const QString &text)
{
    if (m_failed)
        return;
    m_failed = true;
    m_done = nullptr;
    if (onFailure)
        onFailure(text);
}

void serverPeer::readAvailable()
{
    std::vector<replyElement> messages;
    while (!m_failed && m_socket->bytesAvailable() > 0) {
        if (!m_reader.feed(m_socket->readAll(), messages)) {
            fail(m_reader.error());
            return;
        }
    }
    if (!m_ready && m_reader.opened() && !m_failed) {
        m_ready = true;
        m_socket->write("<xml>");
        if (onReady)
            onReady();
    }
    for (replyElement &message : messages) {
        if (m_failed)
            return;
        if (message.name == u"update") {
            if (onNotice)
                onNotice(message, QString());
            continue;
        }
        std::vector<replyElement> &children = message.children;
        const auto notices = std::stable_partition(children.begin(), children.end(),
                                                   [](const replyElement &e) { return e.name != u"update"; });
        for (auto it = notices; it != children.end(); ++it) {
            if (onNotice)
                onNotice(*it, message.name);
        }
        children.erase(notices, children.end());
        if (m_done && message.name == m_replyName) {
            // The handler may send the next request at once.
            replyHandler done = std::move(m_done);
            m_done = nullptr;
            done(message);
        } else {
            fail(QStringLiteral("unexpected <%1 type=\"%2\"> %3")
                     .arg(message.name, message.attribute(QStringLiteral("type")), message.message()));
        }
    }
}

exchangeResult exchange(quint16 port, const std::vector<std::pair<QByteArray, QString>> &requests, int timeoutMs)
{
    exchangeResult result;
    QEventLoop loop;
    serverPeer peer;
    size_t next = 0;
    std::function<void()> sendNext = [&] {
        if (next == requests.size()) {
            loop.quit();
            return;
        }
        const auto &[text, replyName] = requests[next++];
        peer.request(text, replyName, [&](const replyElement &reply) {
            result.replies.push_back(reply);
            sendNext();
        });
    };
    peer.onReady = sendNext;
    peer.onFailure = [&](const QString &text) {
        result.error = text;
        loop.quit();
    };
    QTimer::singleShot(timeoutMs, &loop, [&] {
        result.error = QStringLiteral("no complete reply within %1 ms").arg(timeoutMs);
        loop.quit();
    });
    peer.connectTo(port);
    loop.exec();
    return result;
}
