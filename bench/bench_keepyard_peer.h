#pragma once

// The client side of the configuration server's protocol for the benchmarks:
// request texts, the file content encoding, an incremental reader of the
// server's endless document, and one connection that sends a request at a
// time and hands back the whole reply.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QXmlStreamReader>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTcpSocket;

// One element of a message from the server.
struct replyElement
{
    QString name;
    QHash<QString, QString> attributes;
    QString text;
    std::vector<replyElement> children;

    QString attribute(const QString &key) const { return attributes.value(key); }
    // The text of the first "message" child, if any.
    QString message() const;
};

// Request texts. Names and values are written as given: the benchmarks use
// plain names that need no escaping.
namespace peerRequest {
QByteArray systems();
QByteArray login(const QString &user, const QString &password, const QString &system);
QByteArray lock(const QString &system, const QString &path, bool folder = false);
QByteArray unlock(const QString &system, const QString &path);
QByteArray locklist(const QString &system);
// `hex` as made by encodeContent; `size` the uncompressed length.
QByteArray upload(const QString &system, const QString &path, const QByteArray &hex, qint64 size, const QString &date);
// A file element without content: the client no longer has the file.
QByteArray uploadWithoutContent(const QString &system, const QString &path);
QByteArray remove(const QString &system, const QString &path);
QByteArray download(const QString &system, const QString &path);
QByteArray synclist(const QString &system, const QString &path);
} // namespace peerRequest

// File content as it travels: zlib-compressed, written as upper-case hex.
QByteArray encodeContent(const QByteArray &content);
// Back from hex text; nothing when it does not give exactly `size` bytes.
std::optional<QByteArray> decodeContent(const QString &hex, qint64 size);
// What tells versions of a content apart in the checks.
QByteArray hashOf(const QByteArray &content);
// The holder of a user's locks: every benchmark session comes from loopback.
QString ownerKeyOf(const QString &user);

// Reads the server's document as its bytes arrive and yields every top-level
// message once its end tag has been read.
class replyReader
{
public:
    // Appends the messages the bytes complete to `complete`; false when the
    // input is not well-formed (see error()).
    bool feed(const QByteArray &bytes, std::vector<replyElement> &complete);
    bool opened() const { return m_opened; } // the root start tag has been read
    QString error() const { return m_error; }

private:
    QXmlStreamReader m_xml;
    std::vector<replyElement> m_open; // the message being read, outermost first
    bool m_opened = false;
    QString m_error;
};

// One connection to the server on 127.0.0.1. Once the greeting has been read
// it opens its own document and reports itself ready; then each request waits
// for its reply. Update notices may arrive at any time and are passed on
// separately, also those found inside a reply (the server may write a notice
// while another reply is open); any other message that nobody waits for is a
// failure.
class serverPeer
{
public:
    using replyHandler = std::function<void(const replyElement &)>;

    serverPeer();
    ~serverPeer();
    serverPeer(const serverPeer &) = delete;
    serverPeer &operator=(const serverPeer &) = delete;

    std::function<void()> onReady;
    // `insideReply`: the name of the reply the notice was found in, else empty.
    std::function<void(const replyElement &notice, const QString &insideReply)> onNotice;
    // Closed connection, malformed input or an unexpected message; called once.
    std::function<void(const QString &)> onFailure;

    void connectTo(quint16 port);
    // Sends `text`; `done` gets the next message named `replyName`.
    void request(const QByteArray &text, const QString &replyName, replyHandler done);
    bool waiting() const { return bool(m_done); }
    // Ends the own document; the server then closes the connection.
    void close();
    bool closed() const { return m_closed; }
    bool failed() const { return m_failed; }

private:
    void readAvailable();
    void fail(const QString &text);

    std::unique_ptr<QTcpSocket> m_socket;
    replyReader m_reader;
    QString m_replyName;
    replyHandler m_done;
    bool m_ready = false;
    bool m_closing = false;
    bool m_closed = false;
    bool m_failed = false;
};

// Connects, sends the requests one after the other, each after the previous
// reply (named as given), and returns the replies; `error` tells what went
// wrong, including a timeout. Runs an event loop of its own.
struct exchangeResult
{
    std::vector<replyElement> replies;
    QString error;
};
exchangeResult exchange(quint16 port, const std::vector<std::pair<QByteArray, QString>> &requests,
                        int timeoutMs = 10000);
