#include "xfer.h"

#include "freePorts.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// The built program, headless, on a temporary installation root with a
// system North (user ops/secret).
struct runningProgram
{
    enum class display { offscreen, none };

    explicit runningProgram(const QStringList &arguments = {}, display screen = display::offscreen)
    {
        port = freeTcpPort();
        udpPort = freeUdpPort();
        writeFile(root.filePath("Keepyard.ini"),
                  QStringLiteral("[Server]\r\nPort=%1\r\nBroadcastPort=%2\r\nDescription=test server\r\n")
                      .arg(port)
                      .arg(udpPort)
                      .toUtf8());
        writeFile(root.filePath("North/config/keepyard_password.ini"), "[Users]\r\nops=secret\r\n[Level]\r\nops=2\r\n");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QX_ROOT", root.path());
        if (screen == display::offscreen) {
            env.insert("QT_QPA_PLATFORM", "offscreen");
        } else {
            for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
                env.remove(name);
        }
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(KEEPYARD_PROGRAM), arguments);
    }
    ~runningProgram()
    {
        program.terminate();
        program.waitForFinished(5000);
    }

    // Connects (retrying while the program starts up) and reads the greeting.
    bool connectPeer(QTcpSocket &peer)
    {
        QDeadlineTimer deadline(10000);
        do {
            peer.abort();
            peer.connectToHost(QHostAddress::LocalHost, port);
        } while (!peer.waitForConnected(200) && !deadline.hasExpired());
        return peer.state() == QAbstractSocket::ConnectedState && receive(peer, "<xml>\r\n") == "<xml>\r\n";
    }

    // Reads until `end` has arrived; returns everything read.
    static QByteArray receive(QTcpSocket &peer, const QByteArray &end)
    {
        QByteArray got;
        while (!got.endsWith(end) && peer.waitForReadyRead(5000))
            got += peer.readAll();
        return got;
    }

    QTemporaryDir root;
    quint16 port = 0;
    quint16 udpPort = 0;
    QProcess program;
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A memory figure of a process from /proc, in KiB.
qint64 memoryKiB(qint64 pid, const QByteArray &key)
{
    for (const QByteArray &line : readAll(QStringLiteral("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Writes `head` and then `unit` over and over (up to `total` bytes) without
// reading anything, for at most `ms`. Gives the bytes the kernel took and
// whether the server closed the connection.
struct flood
{
    qint64 sent = 0;
    bool closed = false;
};

flood floodServer(quint16 port, const QByteArray &head, const QByteArray &unit, qint64 total, int ms)
{
    flood result;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    QByteArray chunk = head + unit.repeated(qMax<qsizetype>(1, 1024 * 1024 / unit.size()));
    QDeadlineTimer deadline(ms);
    qsizetype at = 0;
    while (result.sent < total && !deadline.hasExpired()) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = ::send(fd, chunk.constData() + at, size_t(chunk.size() - at), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == EINPROGRESS))
            continue;
        if (n < 0) {
            result.closed = true;
            break;
        }
        result.sent += n;
        at += n;
        if (at == chunk.size()) {
            chunk = unit.repeated(qMax<qsizetype>(1, 1024 * 1024 / unit.size()));
            at = 0;
        }
    }
    ::close(fd);
    return result;
}

} // namespace

// The built program, started headless on a temporary installation root.
class tst_keepyard_program : public QObject
{
    Q_OBJECT

private slots:
    void servesALogin()
    {
        runningProgram server;
        QVERIFY(server.program.waitForStarted());
        QTcpSocket peer;
        QVERIFY(server.connectPeer(peer));
        peer.write("<xml><login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\" />");
        QCOMPARE(runningProgram::receive(peer, "\r\n"), QByteArray("<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n"));

        // Discovery answers too.
        QUdpSocket editor;
        QVERIFY(editor.bind(QHostAddress::LocalHost, 0));
        editor.writeDatagram("A", QHostAddress::LocalHost, server.udpPort);
        QVERIFY(editor.waitForReadyRead(5000));
        QVERIFY(editor.receiveDatagram().data().endsWith(QStringLiteral(",%1,test server").arg(server.port).toUtf8()));

        peer.write("</xml>");
        QVERIFY(peer.waitForDisconnected(5000));
    }

    // A whole round: check a file out, change it, check it in, synchronise.
    void checkOutChangeCheckInSynchronise()
    {
        runningProgram server;
        writeFile(server.root.filePath("North/config/areas/pump1.xml"), "<pump id=\"P1\"/>\n");
        QVERIFY(server.program.waitForStarted());
        QTcpSocket peer;
        QVERIFY(server.connectPeer(peer));
        peer.write("<xml><login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\" />");
        QVERIFY(runningProgram::receive(peer, "\r\n").startsWith("<login type=\"reply\""));

        // Check out: lock and download in one write.
        peer.write("<lock uid=\"p1\" type=\"request\" system=\"North\" >\t<file name=\"config/areas/pump1.xml\" /></lock>"
                   "<download uid=\"config/areas/pump1.xml:p1\" type=\"request\" system=\"North\" >"
                   "\t<file name=\"config/areas/pump1.xml\" /></download>\r\n");
        const QByteArray checkout = runningProgram::receive(peer, "</download>\r\n");
        QVERIFY(checkout.contains("\t<file name=\"config/areas/pump1.xml\" type=\"reply\" />\r\n</lock>\r\n"));
        const qsizetype hexStart = checkout.indexOf("\" >", checkout.indexOf("compressedsize")) + 3;
        const QByteArray hex = checkout.mid(hexStart, checkout.indexOf("</file>", hexStart) - hexStart);
        QTemporaryDir local;
        QVERIFY(!xfer::saveCompressedFile(QByteArrayView(hex), 17, local.path(), "pump1.xml"));
        QCOMPARE(readAll(local.filePath("pump1.xml")), QByteArray("<pump id=\"P1\"/>\n"));

        // Change and check in.
        const QByteArray changed = "<pump id=\"P1\" name=\"Inlet\"/>\n";
        writeFile(local.filePath("pump1.xml"), changed);
        QByteArray newHex;
        QVERIFY(!xfer::compressFile(local.filePath("pump1.xml"), newHex));
        peer.write("<upload type=\"request\" uid=\"p1\" system=\"North\" >\r\n\t<file name=\"config/areas/pump1.xml\" size=\""
                   + QByteArray::number(changed.size()) + "\" date=\"2016-01-02T03:04:05\">" + newHex + "</file>\r\n</upload>\r\n");
        const QByteArray checkin = runningProgram::receive(peer, "\"/>\r\n");
        QVERIFY(checkin.startsWith("<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n"
                                   "\t<file type=\"reply\" name=\"config/areas/pump1.xml\" />\r\n</upload>\r\n"
                                   "<update type=\"update\" system=\"North\" name=\"config/areas/pump1.xml\" undoname=\"pump1.xml."));
        QCOMPARE(readAll(server.root.filePath("North/config/areas/pump1.xml")), changed);
        QCOMPARE(QDir(server.root.filePath("North/backup")).entryList({"pump1.xml.*"}).size(), 1);

        // Synchronise: the server lists the new version; a newer client copy is asked for.
        peer.write("<synclist uid=\"download:p1\" type=\"request\" system=\"North\" path=\"config/areas\" />\r\n");
        const QByteArray list = runningProgram::receive(peer, "</synclist>\r\n");
        QVERIFY(list.contains("\t<data name=\"pump1.xml\" date=\"2016-01-02T03:04:05\" size=\""
                              + QByteArray::number(changed.size()) + "\"/>\r\n"));
        peer.write("<synclist uid=\"upload:p1\" type=\"reply\" system=\"North\" path=\"config/areas\" >"
                   "<data name=\"pump1.xml\" date=\"2017-01-01T00:00:00\" size=\"40\"/></synclist>");
        QCOMPARE(runningProgram::receive(peer, "</download>\r\n"),
                 QByteArray("<download uid=\"upload:p1\" type=\"request\" system=\"North\" >\r\n"
                            "\t<file name=\"config/areas/pump1.xml\" />\r\n</download>\r\n"));
        peer.write("</xml>");
        QVERIFY(peer.waitForDisconnected(5000));
    }

    // No peer can make the server hold more than its bounds, whatever it
    // sends before logging in; other sessions go on.
    void hostilePeersLeaveMemoryBounded_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("unit");
        QTest::addColumn<bool>("closes");
        QTest::newRow("endless nesting") << QByteArray("<xml>") << QByteArray("<abcdefgh>") << true;
        QTest::newRow("endless attribute") << QByteArray("<xml><login id=\"") << QByteArray("x") << true;
        QTest::newRow("endless text with entities") << QByteArray("<xml><systems>") << QByteArray("&amp;") << true;
        QTest::newRow("requests never read") << QByteArray("<xml>") << QByteArray("<systems type=\"request\" />") << false;
        // Large replies that cost little: the server stops reading at once.
        QTest::newRow("listings never read")
            << QByteArray("<xml><login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\" />")
            << QByteArray("<dir type=\"request\" uid=\"u\" system=\"North\" path=\"config\" filter=\"\" recursive=\"true\"/>")
            << false;
    }

    void hostilePeersLeaveMemoryBounded()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, unit);
        QFETCH(bool, closes);
        runningProgram server;
        for (int i = 0; i < 300; ++i)
            writeFile(server.root.filePath(QStringLiteral("North/config/many/file%1.xml").arg(i)), "x");
        QVERIFY(server.program.waitForStarted());
        QTcpSocket other;
        QVERIFY(server.connectPeer(other));
        const qint64 pid = server.program.processId();
        const qint64 before = memoryKiB(pid, "VmRSS");

        const qint64 total = qint64(200) * 1024 * 1024;
        const flood result = floodServer(server.port, head, unit, total, 4000);
        const qint64 grown = memoryKiB(pid, "VmHWM") - before;
        qInfo("sent %lld bytes, server grew by %lld KiB", result.sent, grown);
        QVERIFY2(grown < 24 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(grown)));
        QCOMPARE(result.closed, closes);
        // Pushed back by TCP: far less than offered ever got through.
        QVERIFY2(result.sent < total / 4, qPrintable(QString::number(result.sent)));

        other.write("<xml><systems type=\"request\" />");
        QVERIFY(runningProgram::receive(other, "</systems>\r\n").endsWith("</systems>\r\n"));
    }

    // SIGTERM and SIGINT stop the server in order, with a window or without:
    // every session is ended with its line, replies already asked for still
    // go out whole, and the program ends by itself. Headless, the log goes to
    // standard output with time stamps.
    void signalsStopInOrder_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("screen");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<bool>("headless");
        const int offscreen = int(runningProgram::display::offscreen);
        const int none = int(runningProgram::display::none);
        QTest::newRow("window, SIGTERM") << QStringList() << offscreen << SIGTERM << false;
        QTest::newRow("window, SIGINT") << QStringList() << offscreen << SIGINT << false;
        QTest::newRow("--headless, SIGTERM") << QStringList{"--headless"} << offscreen << SIGTERM << true;
        QTest::newRow("no display, SIGINT") << QStringList() << none << SIGINT << true;
    }

    void signalsStopInOrder()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, screen);
        QFETCH(int, signalNumber);
        QFETCH(bool, headless);
        runningProgram server(arguments, runningProgram::display(screen));
        QByteArray big(12 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator letters(7);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = char('a' + letters.bounded(26)); // compresses, but not to nothing
        writeFile(server.root.filePath("North/config/big.txt"), big);
        QVERIFY(server.program.waitForStarted());

        QTcpSocket anonymous;
        QVERIFY(server.connectPeer(anonymous));
        QTcpSocket ops;
        QVERIFY(server.connectPeer(ops));
        ops.write("<xml><login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\" />");
        QVERIFY(runningProgram::receive(ops, "\r\n").startsWith("<login type=\"reply\""));
        // A large download under way: its reply is still to be sent when the
        // signal comes.
        ops.write("<download uid=\"d\" type=\"request\" system=\"North\" ><file name=\"config/big.txt\" /></download>");
        QVERIFY(ops.waitForReadyRead(5000));
        QByteArray reply = ops.read(100);
        ops.setReadBufferSize(64 * 1024);

        ::kill(pid_t(server.program.processId()), signalNumber);
        ops.setReadBufferSize(0);
        while (ops.state() == QAbstractSocket::ConnectedState && ops.waitForReadyRead(5000))
            reply += ops.readAll();
        reply += ops.readAll();
        QVERIFY2(reply.endsWith("</file>\r\n</download>\r\n"), reply.right(200).constData());
        QVERIFY(anonymous.state() == QAbstractSocket::UnconnectedState || anonymous.waitForDisconnected(5000));

        QVERIFY(server.program.waitForFinished(10000));
        QCOMPARE(server.program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.program.exitCode(), 0);
        const QString out = QString::fromUtf8(server.program.readAllStandardOutput());
        if (headless) {
            const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            const QRegularExpression stamped(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "));
            QVERIFY(!lines.isEmpty());
            for (const QString &line : lines)
                QVERIFY2(stamped.match(line).hasMatch(), qPrintable(line));
            QVERIFY2(out.contains(QStringLiteral("Serving '%1' on TCP port %2").arg(server.root.path()).arg(server.port)),
                     qPrintable(out));
            QVERIFY(out.contains("User 'ops' at '127.0.0.1/"));
            QVERIFY(out.contains(QRegularExpression(QStringLiteral("'127\\.0\\.0\\.1/\\d+' disconnected"))));
            QVERIFY(out.contains("Stopped"));
        } else {
            QVERIFY2(out.isEmpty(), qPrintable(out)); // the window's log is its own
        }
    }

    // SIGHUP re-reads Keepyard.ini: a new description is answered at once;
    // new ports are only announced for the next start.
    void hangUpRereadsTheSettings()
    {
        runningProgram server({QStringLiteral("--headless")});
        QVERIFY(server.program.waitForStarted());
        QTcpSocket peer;
        QVERIFY(server.connectPeer(peer));
        writeFile(server.root.filePath("Keepyard.ini"),
                  QStringLiteral("[Server]\r\nPort=%1\r\nBroadcastPort=%2\r\nDescription=renamed server\r\n")
                      .arg(server.port + 1)
                      .arg(server.udpPort)
                      .toUtf8());
        ::kill(pid_t(server.program.processId()), SIGHUP);

        QUdpSocket editor;
        QVERIFY(editor.bind(QHostAddress::LocalHost, 0));
        QByteArray answer;
        QDeadlineTimer deadline(5000);
        while (!answer.endsWith(",renamed server") && !deadline.hasExpired()) {
            editor.writeDatagram("A", QHostAddress::LocalHost, server.udpPort);
            if (editor.waitForReadyRead(200))
                answer = editor.receiveDatagram().data();
        }
        // Still on the old port, and the session went on.
        QVERIFY2(answer.endsWith(QStringLiteral(",%1,renamed server").arg(server.port).toUtf8()), answer.constData());
        peer.write("<xml><systems type=\"request\" />");
        QVERIFY(runningProgram::receive(peer, "</systems>\r\n").endsWith("</systems>\r\n"));
        QTRY_VERIFY(server.program.bytesAvailable() > 0
                    && server.program.peek(1 << 20).contains(
                        QStringLiteral("Ports %1/%2 take effect at the next start").arg(server.port + 1).arg(server.udpPort).toUtf8()));
    }

    void withoutRootItEnds()
    {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QX_ROOT");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(KEEPYARD_PROGRAM), {});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(program.readAllStandardError().contains("QX_ROOT has not been set"));
    }
};

QTEST_GUILESS_MAIN(tst_keepyard_program)
#include "tst_keepyard_program.moc"
