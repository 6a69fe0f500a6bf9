#include "freePorts.h"
#include "moduleFakes.h"
#include "mqttTestPeers.h"

#include <mosquitto.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <mutex>

#include <unistd.h>

namespace {

QString writeMqttConfig(const QString &path, quint16 port, const QByteArray &more)
{
    writeBytes(path, "[System]\nModule=mqttout\nName=Test broker\n\n[Mqtt]\nHost=127.0.0.1\nPort="
                         + QByteArray::number(port) + "\nTopicPrefix=plant/out\n" + more);
    return path;
}

// The child program of the last-will test: a module that publishes until it is killed.
int moduleHost(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    fakeDebug debug;
    fakeLog log;
    DebugIdManager ids;
    const auto create = resolveEntryPoint<createNewOutputFunction>(MQTTOUT_LIBRARY, "createNewOutput");
    std::unique_ptr<alarms_output_base> module(create(&debug, &log, 2, &ids));
    if (!module->initialise(QString::fromLocal8Bit(argv[2]), "plant", ".", ".", {"a", "b"}, nullptr))
        return 2;
    if (qstrcmp(argv[3], "1") == 0)
        module->setTxRx();
    bool told = false;
    QTimer cycle;
    QObject::connect(&cycle, &QTimer::timeout, [&] {
        const int states[] = {1, 0};
        module->dataReady(states, 2);
        if (!told && module->getStatusOk() && module->getTxCount() >= (module->getTxMode() ? 3 : 0)) {
            told = true;
            std::fputs("healthy\n", stdout);
            std::fflush(stdout);
        }
    });
    cycle.start(20);
    return app.exec();
}

} // namespace

class tst_mqttOutModule : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    fakeDebug m_debug;
    fakeLog m_log;
    DebugIdManager m_ids;
    createNewOutputFunction m_create = nullptr;
    quint16 m_port = 0;
    std::unique_ptr<testBroker> m_broker;
    const QStringList m_names{"Zeta pump", "alpha", "Mid.level"};

    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<alarms_output_base> start(const QByteArray &more = QByteArray(),
                                              const QStringList &names = QStringList())
    {
        const QString config = writeMqttConfig(path("alarms/outputs/al_out_0001.cfg"), m_port, more);
        std::unique_ptr<alarms_output_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        if (!module->initialise(config, "plant", m_dir->path(), m_dir->path(), names.isEmpty() ? m_names : names,
                                nullptr))
            return nullptr;
        return module;
    }

    static int send(alarms_output_base *module, std::initializer_list<int> states)
    {
        const std::vector<int> array(states);
        return module->dataReady(array.data(), int(array.size()));
    }

    std::unique_ptr<testSubscriber> subscribe()
    {
        auto subscriber = std::make_unique<testSubscriber>(m_port, "plant/out");
        const QDeadlineTimer deadline(5000);
        while (!subscriber->subscribed() && !deadline.hasExpired())
            QTest::qWait(10);
        return subscriber->subscribed() ? std::move(subscriber) : nullptr;
    }

    int traces(const QString &part) const
    {
        int n = 0;
        for (const QString &line : m_debug.lines)
            n += line.contains(part) ? 1 : 0;
        return n;
    }

private slots:
    void initTestCase()
    {
        if (!QFileInfo::exists(QString::fromLatin1(brokerProgram)))
            QSKIP("no MQTT broker program installed");
        mosquitto_lib_init();
        m_create = resolveEntryPoint<createNewOutputFunction>(MQTTOUT_LIBRARY, "createNewOutput");
        QVERIFY(m_create);
    }

    void cleanupTestCase() { mosquitto_lib_cleanup(); }

    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_debug = fakeDebug();
        m_log = fakeLog();
        m_port = freeTcpPort();
        m_broker = std::make_unique<testBroker>(m_dir->path(), m_port);
        QVERIFY(m_broker->start());
    }

    void cleanup()
    {
        m_broker.reset();
        delete m_dir;
        m_dir = nullptr;
    }

    void publishesStatesAndTable_data()
    {
        QTest::addColumn<int>("qos");
        QTest::addColumn<bool>("retain");
        QTest::newRow("QoS 0, retained") << 0 << true;
        QTest::newRow("QoS 1, retained") << 1 << true;
        QTest::newRow("QoS 2, not retained") << 2 << false;
    }

    void publishesStatesAndTable()
    {
        QFETCH(int, qos);
        QFETCH(bool, retain);
        auto live = subscribe();
        QVERIFY(live);
        auto module = start("Qos=" + QByteArray::number(qos) + "\nRetain=" + (retain ? "true" : "false")
                            + "\nTableIntervalMs=200\n");
        QVERIFY(module);
        QCOMPARE(module->setTxRx(), 1);
        send(module.get(), {1, 0, -1});
        QTRY_VERIFY(module->getStatusOk());
        QTRY_COMPARE(live->last("plant/out/Mid.level"), QByteArray("-1"));
        QCOMPARE(live->last("plant/out/Zeta pump"), QByteArray("1"));
        QCOMPARE(live->last("plant/out/alpha"), QByteArray("0"));
        QCOMPARE(live->last("plant/out/_status"), QByteArray("online"));

        QTRY_VERIFY(live->payloads("plant/out/_states").size() >= 1);
        const QJsonObject table = QJsonDocument::fromJson(live->last("plant/out/_states")).object();
        QCOMPARE(table.value("system").toString(), QStringLiteral("plant"));
        const QDateTime time = QDateTime::fromString(table.value("time").toString(), Qt::ISODateWithMs);
        QVERIFY(time.isValid());
        QCOMPARE(time.timeSpec(), Qt::UTC);
        QCOMPARE(table.value("states").toObject(),
                 (QJsonObject{{"Zeta pump", 1}, {"alpha", 0}, {"Mid.level", -1}}));

        // Only what changed is published again; the table follows.
        QCOMPARE(send(module.get(), {1, 2, -1}), 1);
        QCOMPARE(send(module.get(), {1, 2, -1}), 0);
        QTRY_COMPARE(live->last("plant/out/alpha"), QByteArray("2"));
        QTRY_COMPARE(QJsonDocument::fromJson(live->last("plant/out/_states")).object().value("states").toObject(),
                     (QJsonObject{{"Zeta pump", 1}, {"alpha", 2}, {"Mid.level", -1}}));
        QCOMPARE(live->payloads("plant/out/Zeta pump").size(), 1);
        QCOMPARE(live->payloads("plant/out/alpha").size(), 2);
        QVERIFY(module->getTxCount() >= 6); // online, 4 states, a table

        // A subscriber that comes later gets the states only when retained;
        // the status always is.
        auto late = subscribe();
        QVERIFY(late);
        QTRY_COMPARE(late->last("plant/out/_status"), QByteArray("online"));
        QTest::qWait(100);
        QCOMPARE(late->last("plant/out/alpha"), retain ? QByteArray("2") : QByteArray("<none>"));
        for (const testSubscriber::message &m : late->messages()) {
            if (m.topic != "plant/out/_states")
                QVERIFY(m.retained);
        }
    }

    void receiveOnlyPublishesNothing()
    {
        auto live = subscribe();
        QVERIFY(live);
        auto module = start("TableIntervalMs=100\n");
        QVERIFY(module);
        QVERIFY(!module->getTxMode());
        send(module.get(), {1, 1, 1});
        QTRY_VERIFY(module->getStatusOk()); // connected, but silent
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(send(module.get(), {i, 1, 1}), 0);
            QTest::qWait(20);
        }
        QCOMPARE(live->messages().size(), 0);
        QCOMPARE(module->getTxCount(), 0);

        // Taking over publishes everything known, unchanged or not.
        QCOMPARE(module->forceTxRx(), 1);
        QTRY_COMPARE(live->last("plant/out/Zeta pump"), QByteArray("9"));
        QTRY_COMPARE(live->last("plant/out/Mid.level"), QByteArray("1"));
        QCOMPARE(live->last("plant/out/_status"), QByteArray("online"));
        QTRY_VERIFY(live->payloads("plant/out/_states").size() >= 1);

        // Stepping down: nothing more, and no "offline" for the twin that takes over.
        QCOMPARE(module->setRxOnly(), 0);
        live->clear();
        for (int i = 0; i < 10; ++i) {
            send(module.get(), {i, 7, 7});
            QTest::qWait(20);
        }
        QTRY_VERIFY(module->getStatusOk());
        QTest::qWait(200);
        QCOMPARE(live->messages().size(), 0);
        QCOMPARE(m_log.count("Receive only"), 1);
    }

    void statusAtTheEnd_data()
    {
        QTest::addColumn<bool>("crash");
        QTest::addColumn<bool>("transmitting");
        QTest::addColumn<QByteArray>("status"); // what _status says after the end
        QTest::newRow("killed while transmitting: last will") << true << true << QByteArray("offline");
        QTest::newRow("closed while transmitting") << false << true << QByteArray("offline");
        QTest::newRow("killed while receive only: no will") << true << false << QByteArray("<none>");
        QTest::newRow("closed while receive only") << false << false << QByteArray("<none>");
    }

    void statusAtTheEnd()
    {
        QFETCH(bool, crash);
        QFETCH(bool, transmitting);
        QFETCH(QByteArray, status);
        auto live = subscribe();
        QVERIFY(live);
        const QString config = writeMqttConfig(path("alarms/outputs/al_out_0002.cfg"), m_port, "ClientId=host\n");
        if (crash) {
            QProcess host;
            host.start(QCoreApplication::applicationFilePath(),
                       {QStringLiteral("--module-host"), config, transmitting ? "1" : "0"});
            QVERIFY(host.waitForStarted());
            QByteArray said;
            const QDeadlineTimer deadline(10000);
            while (!said.contains("healthy") && !deadline.hasExpired() && host.state() == QProcess::Running) {
                host.waitForReadyRead(100);
                said += host.readAllStandardOutput();
            }
            QVERIFY(said.contains("healthy"));
            host.kill();
            QVERIFY(host.waitForFinished());
        } else {
            std::unique_ptr<alarms_output_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
            QVERIFY(module->initialise(config, "plant", ".", ".", m_names, nullptr));
            if (transmitting)
                module->setTxRx();
            send(module.get(), {1, 0, 1});
            QTRY_VERIFY(module->getStatusOk());
            if (transmitting)
                QTRY_VERIFY(module->getTxCount() >= 4);
            module->aboutToClose();
            QVERIFY(!module->getStatusOk());
            module.reset(); // says nothing more
        }
        if (transmitting) {
            QTRY_COMPARE(live->last("plant/out/_status"), status);
        } else {
            QTest::qWait(300);
            QCOMPARE(live->last("plant/out/_status"), status);
        }
        QCOMPARE(live->payloads("plant/out/_status").size(), transmitting ? 2 : 0);
        auto late = subscribe();
        QVERIFY(late);
        if (transmitting)
            QTRY_COMPARE(late->last("plant/out/_status"), status); // retained
    }

    void reconnectsAndRepublishes_data()
    {
        QTest::addColumn<bool>("operatorRetry");
        QTest::newRow("by itself") << false;
        QTest::newRow("operator's retry") << true;
    }

    void reconnectsAndRepublishes()
    {
        QFETCH(bool, operatorRetry);
        // With a minute between attempts only the operator's retry reconnects in time.
        auto module = start(operatorRetry ? "ReconnectMs=60000\n" : "ReconnectMs=100\n");
        QVERIFY(module);
        module->setTxRx();
        send(module.get(), {1, 1, 1});
        {
            auto live = subscribe();
            QVERIFY(live);
            QTRY_COMPARE(live->last("plant/out/Mid.level"), QByteArray("1"));
        }
        const int sentBefore = module->getTxCount();

        m_broker->stop();
        QTRY_VERIFY(!module->getStatusOk());
        QCOMPARE(send(module.get(), {2, 1, 2}), -1);
        QCOMPARE(send(module.get(), {3, 1, 3}), -1); // alpha comes back only with everything
        QVERIFY(m_broker->start()); // no persistence: nothing retained survives
        if (operatorRetry) {
            QTest::qWait(300);
            QVERIFY(!module->getStatusOk());
            module->retryConnnection();
        }
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), 15000);

        auto live = subscribe();
        QVERIFY(live);
        QTRY_COMPARE(live->last("plant/out/Zeta pump"), QByteArray("3"));
        QTRY_COMPARE(live->last("plant/out/alpha"), QByteArray("1"));
        QTRY_COMPARE(live->last("plant/out/Mid.level"), QByteArray("3"));
        QCOMPARE(live->last("plant/out/_status"), QByteArray("online"));
        QVERIFY(module->getTxCount() >= sentBefore + 4);
        QCOMPARE(m_log.count("lost"), 1);
        QVERIFY(m_log.count("Cannot connect") <= 1);
        QCOMPARE(m_log.count("Connected to"), 2);
    }

    void brokerDownAtStart()
    {
        m_broker->stop();
        auto module = start("ReconnectMs=100\n");
        QVERIFY(module);
        module->setTxRx();
        // Every cycle returns at once, whatever the broker does.
        for (int i = 0; i < 30; ++i) {
            QVERIFY(send(module.get(), {i, 1, 1}) != 1);
            QVERIFY(!module->getStatusOk());
            QTest::qWait(20);
        }
        QTRY_VERIFY(!module->getStatusOk() && traces("connection failed") >= 2);
        QCOMPARE(m_log.count("Cannot connect"), 1); // once, not at every attempt

        QVERIFY(m_broker->start());
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), 15000);
        auto live = subscribe();
        QVERIFY(live);
        QTRY_COMPARE(live->last("plant/out/Zeta pump"), QByteArray("29"));
        QCOMPARE(m_log.count("Connected to"), 1);
    }

    void refusedConnection()
    {
        m_broker->stop();
        QVERIFY(m_broker->start(false)); // nobody may connect
        auto module = start("Username=plant\nPassword=wrong\nReconnectMs=100\n");
        QVERIFY(module);
        module->setTxRx();
        // getStatusOk() takes in the module's log lines.
        QTRY_VERIFY(!module->getStatusOk() && traces("connection failed") >= 2);
        QCOMPARE(m_log.count("Cannot connect"), 1);
        QCOMPARE(m_log.count("refused"), 1);
        QCOMPARE(m_log.count("Connected"), 0);
    }

    // With a small window the broker cannot take every state: states in
    // between are skipped, each process's latest arrives, and a process
    // never goes back to an older state.
    void latestStateWinsWhenBehind()
    {
        auto live = subscribe();
        QVERIFY(live);
        constexpr int processes = 300;
        constexpr int rounds = 40;
        QStringList names;
        for (int i = 0; i < processes; ++i)
            names << QStringLiteral("p%1").arg(i);
        auto module = start("MaxInFlight=4\nTableIntervalMs=0\n", names);
        QVERIFY(module);
        module->setTxRx();
        QTRY_VERIFY(module->getStatusOk());
        std::vector<int> states(processes);
        for (int round = 1; round <= rounds; ++round) {
            for (int i = 0; i < processes; ++i)
                states[size_t(i)] = round;
            module->dataReady(states.data(), processes);
        }
        QTRY_COMPARE_WITH_TIMEOUT(live->last("plant/out/p299"), QByteArray::number(rounds), 10000);
        QHash<QByteArray, int> seen;
        for (const testSubscriber::message &m : live->messages()) {
            if (m.topic == "plant/out/_status")
                continue;
            const int state = m.payload.toInt();
            QVERIFY2(state > seen.value(m.topic, 0), m.topic.constData());
            seen[m.topic] = state;
        }
        QCOMPARE(seen.size(), processes);
        for (int i = 0; i < processes; ++i)
            QCOMPARE(seen.value("plant/out/p" + QByteArray::number(i)), rounds);
        QVERIFY(module->getTxCount() < processes * rounds);
        module.reset();
        // The closing summary: states were skipped, and no more than the
        // window (and the status) were ever awaiting the broker.
        const QStringList summary = m_debug.lines.filter("closed: published");
        QCOMPARE(summary.size(), 1);
        const QRegularExpressionMatch match =
            QRegularExpression("skipped (\\d+), .*peak in flight (\\d+)").match(summary.first());
        QVERIFY2(match.hasMatch(), qPrintable(summary.first()));
        QVERIFY(match.captured(1).toInt() > 0);
        QVERIFY2(match.captured(2).toInt() <= 5, qPrintable(summary.first()));
    }

    void topicNames()
    {
        auto live = subscribe();
        QVERIFY(live);
        const QStringList names{"a+b", "c#", "", "_status", "x/y", "plain"};
        auto module = start("TableIntervalMs=100\n", names);
        QVERIFY(module);
        module->setTxRx();
        send(module.get(), {1, 2, 3, 4, 5, 6});
        QTRY_COMPARE(live->last("plant/out/plain"), QByteArray("6"));
        QTRY_VERIFY(live->payloads("plant/out/_states").size() >= 1);
        QCOMPARE(live->topics(), (QStringList{"plant/out/_states", "plant/out/_status", "plant/out/a_b",
                                              "plant/out/c_", "plant/out/plain", "plant/out/x/y"}));
        QCOMPARE(live->last("plant/out/a_b"), QByteArray("1"));
        QCOMPARE(live->payloads("plant/out/_status"), QList<QByteArray>{"online"});
        // The table keeps the names as they are.
        QCOMPARE(QJsonDocument::fromJson(live->last("plant/out/_states")).object().value("states").toObject(),
                 (QJsonObject{{"a+b", 1}, {"c#", 2}, {"_status", 4}, {"x/y", 5}, {"plain", 6}}));
        QCOMPARE(m_log.count("\"a+b\", \"c#\""), 1);
        QCOMPARE(m_log.count("\"_status\""), 1);
        QCOMPARE(m_log.count("without a name"), 1);
    }

    void configuration_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("logged");
        QTest::newRow("no host") << QByteArray("Host=\n") << false << "No Host";
        QTest::newRow("port 0") << QByteArray("Port=0\n") << false << "Port 0 is not between 1 and 65535";
        QTest::newRow("port not a number") << QByteArray("Port=mqtt\n") << false << "Port \"mqtt\" is not a number";
        QTest::newRow("QoS 3") << QByteArray("Qos=3\n") << false << "Qos 3 is not between 0 and 2";
        QTest::newRow("retain unclear") << QByteArray("Retain=maybe\n") << false << "Retain \"maybe\"";
        QTest::newRow("wildcard prefix") << QByteArray("TopicPrefix=plant/#\n") << false << "TopicPrefix";
        QTest::newRow("missing CA file") << QByteArray("CaFile=certs/none.pem\n") << false << "CaFile";
        QTest::newRow("timings clamped") << QByteArray("TableIntervalMs=5\nReconnectMs=1\nMaxInFlight=0\n") << true
                                         << "TableIntervalMs 5 changed to 100";
        QTest::newRow("keep-alive not a number") << QByteArray("KeepAliveS=soon\n") << true << "30 used";
        QTest::newRow("password alone") << QByteArray("Password=secret\n") << true << "Password without Username";
    }

    void configuration()
    {
        QFETCH(QByteArray, section);
        QFETCH(bool, accepted);
        QFETCH(QString, logged);
        // Later keys do not replace earlier ones: the row's keys go first.
        const QString config = path("alarms/outputs/al_out_0003.cfg");
        writeBytes(config, "[Mqtt]\n" + section + "Host=127.0.0.1\nPort=" + QByteArray::number(m_port)
                               + "\nTopicPrefix=plant/out\n");
        std::unique_ptr<alarms_output_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        QCOMPARE(module->initialise(config, "plant", ".", ".", m_names, nullptr), accepted);
        QCOMPARE(m_log.count(logged), 1);
        module->setTxRx();
        if (accepted) {
            QTRY_VERIFY(module->getStatusOk());
            return;
        }
        QVERIFY(!module->getStatusOk());
        QCOMPARE(send(module.get(), {1, 1, 1}), 0);
        module->retryConnnection();
        QCOMPARE(module->getTxCount(), 0);
        module->aboutToClose();
    }

    void missingConfiguration()
    {
        std::unique_ptr<alarms_output_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        QVERIFY(!module->initialise(path("none.cfg"), "plant", ".", ".", m_names, nullptr));
        QCOMPARE(m_log.count("not found"), 1);
        QVERIFY(!module->getStatusOk());
        QCOMPARE(module->getClassName(), QStringLiteral("mqttOutModule"));
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--module-host") == 0)
        return moduleHost(argc, argv);
    QCoreApplication app(argc, argv);
    tst_mqttOutModule test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mqttOutModule.moc"
