#include "UDP_socket.h"
#include "interface/IDebug.h"
#include "profileFile.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdarg>
#include <memory>

namespace {

const QHostAddress loopbackBroadcast(QStringLiteral("127.255.255.255"));

// Collects the trace lines with their category masks.
class traceLog : public IDebug
{
public:
    void debug(int mask, const QString &prefix, const QString &text) override
    {
        lines << text;
        masks << mask;
        QCOMPARE(prefix, QStringLiteral("UDP:"));
    }
    void debugf(int mask, const char *prefix, const char *format, ...) override
    {
        va_list args;
        va_start(args, format);
        debug(mask, QString::fromLatin1(prefix), QString::vasprintf(format, args));
        va_end(args);
    }
    bool has(const QString &line) const { return lines.contains(line); }

    QStringList lines;
    QList<int> masks;
};

quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::AnyIPv4, 0);
    return probe.localPort();
}

UDP_socket::settings fast(quint16 port)
{
    UDP_socket::settings s;
    s.broadcastAddress = loopbackBroadcast;
    s.port = port;
    s.transmitMs = 40;
    s.receiveMs = 200;
    return s;
}

// A peer written by hand: sends crafted messages and hears everything on the port.
struct listener
{
    explicit listener(quint16 port)
        : port(port)
    {
        socket.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    }
    void send(const QByteArray &message)
    {
        socket.writeDatagram(message, loopbackBroadcast, port);
        own << QString::fromLatin1(message);
    }
    // What others sent (the listener hears its own broadcasts too).
    QStringList heard(int ms)
    {
        QStringList messages;
        QTest::qWait(ms);
        while (socket.hasPendingDatagrams()) {
            const QString message = QString::fromLatin1(socket.receiveDatagram().data());
            if (!own.removeOne(message))
                messages << message;
        }
        return messages;
    }
    QStringList own;
    quint16 port;
    QUdpSocket socket;
};

struct engine
{
    engine(quint16 port, int workstation, bool healthy, const QString &qx = "QXS", const QString &alarm = "North")
        : udp(std::make_unique<UDP_socket>(qx, alarm, workstation, 1, &trace, fast(port)))
    {
        udp->setStatus(healthy);
    }
    traceLog trace;
    std::unique_ptr<UDP_socket> udp;
};

} // namespace

class tst_UDP_socket : public QObject
{
    Q_OBJECT

private slots:
    void setUpAndMessageFormat()
    {
        const quint16 port = freePort();
        listener ear(port);
        engine e(port, 7, true);
        QVERIFY(e.udp->isSetUp());
        QVERIFY(!e.udp->isMaster());
        QVERIFY(e.trace.has("Changing mastership. Starting as slave."));
        QVERIFY(e.trace.has("Receive Timer started"));
        e.udp->sendMessage("NA");
        QCOMPARE(ear.heard(100), QStringList({"NA:QXS:North:7:1:OK"}));
        QVERIFY(e.trace.has("**Broadcasting WS:7 Master:0 'NA:QXS:North:7:1:OK'"));
        // Category masks: "Changing mastership." and "Received NA" lines are Mastership.
        QCOMPARE(e.trace.masks.at(e.trace.lines.indexOf("Changing mastership. Starting as slave.")), 8);
        QCOMPARE(e.trace.masks.at(e.trace.lines.indexOf("Receive Timer started")), 4);
    }

    void withoutPeerItBecomesMasterAndAnnounces()
    {
        const quint16 port = freePort();
        listener ear(port);
        engine e(port, 1, false);
        QTRY_VERIFY_WITH_TIMEOUT(e.udp->isMaster(), 2000);
        QVERIFY(e.trace.has("Changing mastership. Going to master from mode 0. Ws 0 is master. Timeout"));
        QCOMPARE(ear.heard(20), QStringList({"NU:QXS:North:1:1:Fail"})); // the take-over, nothing periodic yet
        e.udp->startTransmitTimer();
        e.udp->setStatus(true);
        const QStringList periodic = ear.heard(300);
        QVERIFY(periodic.size() >= 4);
        QVERIFY(periodic.count("NA:QXS:North:1:1:OK") == periodic.size());
    }

    void receivedMessages_data()
    {
        QTest::addColumn<bool>("master");
        QTest::addColumn<bool>("healthy");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("masterAfter");
        QTest::addColumn<int>("masterWsAfter");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("line");
        QTest::newRow("NA to a healthy master from a higher number")
            << true << true << QByteArray("NA:QXS:North:9:1:OK") << true << 0 << "NO:QXS:North:5:1:OK"
            << "Received NA and we're OK. We are master - tell other to go slave. Send NO.";
        QTest::newRow("NA to a healthy master from a lower number")
            << true << true << QByteArray("NA:QXS:North:2:1:OK") << false << 2 << ""
            << " NA. Both masters and OK; ws 2 is the lower number and stays master.";
        QTest::newRow("NA+OK to an unhealthy master") << true << false << QByteArray("NA:QXS:North:9:1:OK") << false << 9 << ""
                                                      << "Received NA+OK and we're not OK. Changing mastership. Going to "
                                                         "slave from mode 1. ws 9 is master";
        QTest::newRow("NA+Fail to an unhealthy master") << true << false << QByteArray("NA:QXS:North:9:1:Fail") << true << 0
                                                        << "NO:QXS:North:5:1:Fail"
                                                        << "Received NA and we're not OK. They are not Ok too so stay as "
                                                           "master. Send NO.";
        QTest::newRow("NA to a slave") << false << true << QByteArray("NA:QXS:North:9:1:OK") << false << 9 << ""
                                       << " NA. We are slave. ws 9 is master";
        QTest::newRow("NU to a healthy slave") << false << true << QByteArray("NU:QXS:North:9:1:Fail") << true << 0 << ""
                                               << "Changing mastership. Going to master from mode 0. ws 0 is master. NU";
        QTest::newRow("NU to an unhealthy master") << true << false << QByteArray("NU:QXS:North:9:1:Fail") << false << 0 << ""
                                                   << " NU. We were master. Go to slave.";
        QTest::newRow("NU to an unhealthy slave") << false << false << QByteArray("NU:QXS:North:9:1:Fail") << false << 9 << ""
                                                  << " NU. Someone else is master and not happy. We're not happy either, "
                                                     "nor master. Do nothing.";
        QTest::newRow("NO to a master") << true << false << QByteArray("NO:QXS:North:9:1:OK") << false << 9 << ""
                                        << "Changing mastership. Going to slave from mode 1. ws 0 is master. NO";
        QTest::newRow("NO from a higher number to a healthy master")
            << true << true << QByteArray("NO:QXS:North:9:1:OK") << true << 0 << ""
            << " NO. Both masters and OK; we are the lower number so stay master.";
        QTest::newRow("NC to a slave") << false << false << QByteArray("NC:QXS:North:9:1:OK") << true << 0 << ""
                                       << "Changing mastership. Going to master from mode 0. ws 0 is master. NC";
        QTest::newRow("letter case of the names") << false << true << QByteArray("NA:qxs:NORTH:9:1:OK") << false << 9 << ""
                                                  << " NA. We are slave. ws 9 is master";
        QTest::newRow("workstation not a number is 0") << false << true << QByteArray("NA:QXS:North:x:1:OK") << false << 0
                                                       << "" << " NA. We are slave. ws 0 is master";
        QTest::newRow("unknown code") << false << true << QByteArray("NZ:QXS:North:9:1:OK") << false << 0 << ""
                                      << " UNKNOWN MESSAGE CODE RECEIVED 'NZ'";
    }

    void receivedMessages()
    {
        QFETCH(bool, master);
        QFETCH(bool, healthy);
        QFETCH(QByteArray, message);
        QFETCH(bool, masterAfter);
        QFETCH(int, masterWsAfter);
        QFETCH(QString, sent);
        QFETCH(QString, line);
        const quint16 port = freePort();
        listener ear(port);
        UDP_socket::settings slow = fast(port);
        slow.receiveMs = 60000;
        traceLog trace;
        UDP_socket udp("QXS", "North", 5, 1, &trace, slow);
        udp.setStatus(healthy);
        if (master) {
            // Made master the way a peer's closing does.
            ear.send("NC:QXS:North:3:1:OK");
            QTRY_VERIFY(udp.isMaster());
            ear.heard(20);
        }
        ear.send(message);
        QTRY_VERIFY2(trace.has(line), qPrintable(trace.lines.join('\n')));
        QCOMPARE(udp.isMaster(), masterAfter);
        QCOMPARE(udp.masterWorkstation(), masterWsAfter);
        const QStringList heard = ear.heard(50);
        QCOMPARE(heard.join(';'), sent);
    }

    void droppedMessages_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("why");
        QTest::newRow("six colons") << QByteArray("NA:QXS:North:9:1:OK:x") << "Not current format so ignore.";
        QTest::newRow("other QX system") << QByteArray("NA:QXT:North:9:1:OK") << "Not our QX system so ignore.";
        QTest::newRow("other alarm system") << QByteArray("NA:QXS:South:9:1:OK") << "Not our alarm system so ignore.";
        QTest::newRow("own number") << QByteArray("NC:QXS:North:5:1:OK") << "It's from me so ignore.";
        QTest::newRow("other channel") << QByteArray("NC:QXS:North:9:2:OK") << "Not my channel so ignore.";
    }

    void droppedMessages()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, why);
        const quint16 port = freePort();
        listener ear(port);
        traceLog trace;
        UDP_socket udp("QXS", "North", 5, 1, &trace, fast(port));
        ear.send(message);
        QTRY_VERIFY(std::any_of(trace.lines.begin(), trace.lines.end(), [&](const QString &l) {
            return l.startsWith("Received Data is '" + QString::fromLatin1(message) + "'. " + why + " 127.");
        }));
        QVERIFY(!udp.isMaster());

        ear.send(QByteArray(300, 'N'));
        QTRY_VERIFY(std::any_of(trace.lines.begin(), trace.lines.end(),
                                [](const QString &l) { return l.startsWith("Received datagram of 300 bytes"); }));
    }

    // A peer cannot forge log lines: control characters of what it sent are
    // logged escaped, whichever line logs the text.
    void controlCharactersLoggedEscaped_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("line");
        QTest::newRow("dropped")
            << QByteArray("NA:QXS:South:9:1:OK\n12:00:00.000 - forged")
            << R"(Received Data is 'NA:QXS:South:9:1:OK\x0a12:00:00.000 - forged'. Not current format so ignore.)";
        QTest::newRow("taken") << QByteArray("NA:QXS:North:9:1:OK\r\x1b[2J") << R"(Received Data is 'NA:QXS:North:9:1:OK\x0d\x1b[2J'. Address)";
        QTest::newRow("unknown code") << QByteArray("N\x7f\x85:QXS:North:9:1:OK") << R"( UNKNOWN MESSAGE CODE RECEIVED 'N\x7f\x85')";
    }

    void controlCharactersLoggedEscaped()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, line);
        const quint16 port = freePort();
        listener ear(port);
        traceLog trace;
        UDP_socket udp("QXS", "North", 5, 1, &trace, fast(port));
        ear.send(message);
        QTRY_VERIFY2(std::any_of(trace.lines.begin(), trace.lines.end(), [&](const QString &l) { return l.startsWith(line); }),
                     qPrintable(trace.lines.join('\n')));
        for (const QString &logged : std::as_const(trace.lines)) {
            QVERIFY2(std::none_of(logged.begin(), logged.end(),
                                  [](QChar c) { return c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0); }),
                     qPrintable(logged));
        }
    }

    // The port of tavex_system.ini is taken only from 1 to 65535.
    void mastershipPort_data()
    {
        QTest::addColumn<QByteArray>("value"); // empty: no key
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("message");
        const QString refused = QStringLiteral("MastershipPort == %1 is out of range 1..65535. Using 9208.");
        QTest::newRow("no key") << QByteArray() << 9208 << "";
        QTest::newRow("lowest") << QByteArray("1") << 1 << "";
        QTest::newRow("highest") << QByteArray("65535") << 65535 << "";
        QTest::newRow("0") << QByteArray("0") << 9208 << refused.arg("0");
        QTest::newRow("65536") << QByteArray("65536") << 9208 << refused.arg("65536");
        QTest::newRow("70000 would wrap to 4464") << QByteArray("70000") << 9208 << refused.arg("70000");
        QTest::newRow("negative") << QByteArray("-1") << 9208 << refused.arg("-1");
        QTest::newRow("not a number") << QByteArray("abc") << 9208 << refused.arg("abc");
    }

    void mastershipPort()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, port);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QFile file(dir.filePath("tavex_system.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Network]\nChannel=2\nBroadcastAddress=127.255.255.255\n");
        if (!value.isEmpty())
            file.write("MastershipPort=" + value + "\n");
        file.close();
        QStringList messages;
        const mastershipSettings options = mastershipSettings::fromProfile(profileFile(file.fileName()), &messages);
        QCOMPARE(int(options.port), port);
        QCOMPARE(options.broadcastAddress, loopbackBroadcast);
        QCOMPARE(messages, message.isEmpty() ? QStringList() : QStringList{message});
    }

    void twoHealthyMastersSettle()
    {
        const quint16 port = freePort();
        engine a(port, 1, true);
        engine b(port, 2, true);
        a.udp->startTransmitTimer();
        b.udp->startTransmitTimer();
        // Both take over at the same moment, as after a common restart of the
        // network: with their timers in step they must still end with one master.
        listener ear(port);
        ear.send("NC:QXS:North:3:1:OK");
        QTRY_VERIFY(a.udp->isMaster() && b.udp->isMaster());
        for (int i = 0; i < 20; ++i) {
            QTest::qWait(50);
            if (i >= 4)
                QVERIFY2(a.udp->isMaster() != b.udp->isMaster(), qPrintable(QString::number(i)));
        }
        QVERIFY(a.udp->isMaster());
    }

    // A twin that answers every "NA" with "NO" and obeys every "NO" (as the
    // messages alone would have it). Two such twins whose timers run in step
    // answer each other's take-over with "NO", both go slave, both time out
    // together and take over again, without end. Ours settles with either.
    void olderTwinSettles_data()
    {
        QTest::addColumn<int>("ours");
        QTest::addColumn<int>("theirs");
        QTest::newRow("ours lower") << 1 << 2;
        QTest::newRow("ours higher") << 2 << 1;
    }

    void olderTwinSettles()
    {
        QFETCH(int, ours);
        QFETCH(int, theirs);
        const quint16 port = freePort();
        engine mine(port, ours, true);
        mine.udp->startTransmitTimer();
        listener twin(port);
        // Both are masters when they first hear each other.
        twin.send("NC:QXS:North:3:1:OK");
        QTRY_VERIFY(mine.udp->isMaster());
        twin.heard(20);
        bool twinMaster = true;
        const QByteArray name = "QXS:North:" + QByteArray::number(theirs) + ":1:OK";
        twin.send("NA:" + name);
        for (int tick = 0; tick < 30; ++tick) {
            for (const QString &message : twin.heard(20)) {
                if (message.startsWith("NA:") && twinMaster)
                    twin.send("NO:" + name);
                else if (message.startsWith("NO:"))
                    twinMaster = false;
                else if (message.startsWith("NC:") || message.startsWith("NU:"))
                    twinMaster = true;
            }
            if (twinMaster && tick % 2 == 0)
                twin.send("NA:" + name);
        }
        QVERIFY(mine.udp->isMaster() != twinMaster);
    }

    void unhealthyMasterHandsOver()
    {
        const quint16 port = freePort();
        engine a(port, 1, false);
        engine b(port, 2, true);
        a.udp->startTransmitTimer();
        b.udp->startTransmitTimer();
        listener ear(port);
        ear.send("NC:QXS:North:3:1:OK");
        QTRY_VERIFY(a.udp->isMaster() || b.udp->isMaster());
        QTRY_VERIFY_WITH_TIMEOUT(b.udp->isMaster() && !a.udp->isMaster(), 2000);
        // And back when the healthy one fails in turn and the other recovers.
        a.udp->setStatus(true);
        b.udp->setStatus(false);
        QTRY_VERIFY_WITH_TIMEOUT(a.udp->isMaster() && !b.udp->isMaster(), 2000);
    }

    void closingHandsOverAtOnce()
    {
        const quint16 port = freePort();
        engine slave(port, 2, true);
        auto master = std::make_unique<engine>(port, 1, true);
        listener ear(port);
        ear.send("NC:QXS:North:3:1:OK");
        QTRY_VERIFY(master->udp->isMaster());
        master->udp->startTransmitTimer();
        slave.udp->startTransmitTimer();
        QTRY_VERIFY(master->udp->isMaster() && !slave.udp->isMaster());
        master.reset();
        QTRY_VERIFY_WITH_TIMEOUT(slave.udp->isMaster(), 150); // well before a receive tick
    }

    void forceRxOnly()
    {
        const quint16 port = freePort();
        listener ear(port);
        engine e(port, 4, true);
        ear.send("NC:QXS:North:3:1:OK");
        QTRY_VERIFY(e.udp->isMaster());
        ear.heard(20);
        e.udp->forceRxOnly();
        QVERIFY(!e.udp->isMaster());
        QVERIFY(e.trace.has("Forcing Rx Only, from 1. Send NU."));
        QCOMPARE(ear.heard(50), QStringList({"NU:QXS:North:4:1:OK"}));
    }

    void badBroadcastAddressFailsSetUp()
    {
        traceLog trace;
        UDP_socket::settings s = fast(freePort());
        s.broadcastAddress = QHostAddress(QStringLiteral("::1"));
        UDP_socket udp("QXS", "North", 1, 1, &trace, s);
        QVERIFY(!udp.isSetUp());
        QVERIFY(trace.has("Can't set socket address"));
    }

    // Two engines in two processes on one port.
    void twoProcesses()
    {
        const quint16 port = freePort();
        QProcess other;
        other.setProgram(QCoreApplication::applicationFilePath());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TAVEX_UDP_PEER_PORT", QString::number(port));
        other.setProcessEnvironment(env);
        other.start();
        QVERIFY(other.waitForStarted());
        QVERIFY(other.waitForReadyRead(5000)); // "ready": its engine runs
        other.readAll();
        engine mine(port, 1, true);
        mine.udp->startTransmitTimer();
        // The other engine (workstation 2) reports its mastership every 50 ms;
        // once both have heard each other, exactly one of them is master.
        QTest::qWait(600);
        QByteArray reports = other.readAll();
        for (int i = 0; i < 20; ++i) {
            QTest::qWait(50);
            reports += other.readAll();
            const QList<QByteArray> lines = reports.trimmed().split('\n');
            const bool otherMaster = lines.last() == "master";
            QVERIFY2(mine.udp->isMaster() != otherMaster, reports.right(40).constData());
        }
        other.kill();
        other.waitForFinished();
    }
};

// Run as the other process of twoProcesses(): one healthy engine, workstation 2.
static int runPeer(quint16 port, int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    traceLog trace;
    UDP_socket udp("QXS", "North", 2, 1, &trace, fast(port));
    udp.setStatus(true);
    udp.startTransmitTimer();
    QTimer report;
    QObject::connect(&report, &QTimer::timeout, [&] {
        std::printf("%s\n", udp.isMaster() ? "master" : "slave");
        std::fflush(stdout);
    });
    std::printf("ready\n");
    std::fflush(stdout);
    report.start(50);
    QTimer::singleShot(20000, &app, &QCoreApplication::quit);
    return app.exec();
}

int main(int argc, char **argv)
{
    const QByteArray peerPort = qgetenv("TAVEX_UDP_PEER_PORT");
    if (!peerPort.isEmpty())
        return runPeer(quint16(peerPort.toUInt()), argc, argv);
    QCoreApplication app(argc, argv);
    tst_UDP_socket test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_UDP_socket.moc"
