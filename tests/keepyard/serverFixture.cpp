#include "serverFixture.h"

#include "logLine.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <utime.h>

serverFixture::serverFixture(const sessionLimits &limits)
{
    setLogSink([this](const QString &line) { log << line; });
    makeFile(QStringLiteral("North/config/keepyard_password.ini"),
             "[Users]\r\nops=secret\r\nAdmin=adminpw\r\nempty=\r\nnolevel=pw\r\n"
             "[Level]\r\nops=2\r\nadmin=9\r\n");
    makeFolder(QStringLiteral("South/config"));
    makeFolder(QStringLiteral("alpha/config"));
    makeFolder(QStringLiteral("plain/data"));
    makeFolder(QStringLiteral(".hidden/config"));
    makeFile(QStringLiteral("config.txt"), "a file at the top is no system");
    m_server = std::make_unique<keepyard>(nullptr, 0, root(), limits);
}

serverFixture::~serverFixture()
{
    m_server.reset();
    setLogSink({});
}

void serverFixture::setDate(const QString &path, const QDateTime &when)
{
    struct utimbuf times;
    times.actime = times.modtime = static_cast<time_t>(when.toSecsSinceEpoch());
    ::utime(QFile::encodeName(path).constData(), &times);
}

void serverFixture::makeFile(const QString &relative, const QByteArray &content, const QDateTime &when)
{
    const QString path = root() + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
    f.close();
    setDate(path, when);
}

void serverFixture::makeFolder(const QString &relative, const QDateTime &when)
{
    const QString path = root() + QLatin1Char('/') + relative;
    QDir().mkpath(path);
    setDate(path, when);
}

testPeer::testPeer(quint16 port, const QHostAddress &from)
{
    if (!from.isNull())
        socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, port);
}

void testPeer::send(const QByteArray &bytes)
{
    socket.write(bytes);
    socket.flush();
}

QByteArray testPeer::receive(qsizetype size, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (pending.size() < size && !deadline.hasExpired()) {
        QTest::qWait(2);
        pending += socket.readAll();
    }
    const QByteArray taken = pending.left(size);
    pending.remove(0, taken.size());
    return taken;
}

QByteArray testPeer::expect(const QByteArray &expected, int timeoutMs)
{
    return receive(expected.size(), timeoutMs);
}

QByteArray testPeer::drain(int ms)
{
    QTest::qWait(ms);
    pending += socket.readAll();
    const QByteArray all = pending;
    pending.clear();
    return all;
}

bool testPeer::waitClosed(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
        QTest::qWait(2);
        pending += socket.readAll();
    }
    return socket.state() == QAbstractSocket::UnconnectedState;
}

QByteArray testPeer::readLine(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pending.contains("\r\n") && !deadline.hasExpired()) {
        QTest::qWait(2);
        pending += socket.readAll();
    }
    const qsizetype end = pending.indexOf("\r\n");
    if (end < 0)
        return QByteArray();
    const QByteArray line = pending.left(end + 2);
    pending.remove(0, end + 2);
    return line;
}

bool testPeer::logIn(const QString &user, const QString &password, const QString &system)
{
    if (expect("<xml>\r\n") != "<xml>\r\n")
        return false;
    send(QStringLiteral("<xml><login type=\"request\" id=\"%1\" password=\"%2\" system=\"%3\" />")
             .arg(user, password, system)
             .toUtf8());
    return readLine().startsWith("<login type=\"reply\"");
}
