#include "freePorts.h"
#include "moduleFakes.h"

#include <QCoreApplication>
#include <QModbusTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using values = QList<int>;

namespace {

constexpr int kWait = 10000; // generous: the machine may be busy

// What the device holds at an address: bits alternate in threes, registers
// run through the whole 16-bit range.
bool bitAt(int address)
{
    return address % 3 == 0;
}

quint16 registerAt(int address)
{
    return quint16(address * 257);
}

// A Modbus TCP device on the loopback interface that records the requests it
// gets and can be told to refuse part of the range. It ignores requests for
// another unit than its own.
class testDevice : public QModbusTcpServer
{
public:
    struct request
    {
        int function;
        int address;
        int count;
    };

    explicit testDevice(quint16 port)
    {
        QModbusDataUnitMap map;
        // The input registers sit at 1..65535 to reach the top of the address space.
        map.insert(QModbusDataUnit::Coils, {QModbusDataUnit::Coils, 0, 65535});
        map.insert(QModbusDataUnit::DiscreteInputs, {QModbusDataUnit::DiscreteInputs, 0, 65535});
        map.insert(QModbusDataUnit::HoldingRegisters, {QModbusDataUnit::HoldingRegisters, 0, 65535});
        map.insert(QModbusDataUnit::InputRegisters, {QModbusDataUnit::InputRegisters, 1, 65535});
        setMap(map);
        for (int a = 0; a < 65535; ++a) {
            setData(QModbusDataUnit::Coils, quint16(a), bitAt(a));
            setData(QModbusDataUnit::DiscreteInputs, quint16(a), bitAt(a));
            setData(QModbusDataUnit::HoldingRegisters, quint16(a), registerAt(a));
            setData(QModbusDataUnit::InputRegisters, quint16(a + 1), registerAt(a + 1));
        }
        setServerAddress(1);
        setConnectionParameter(QModbusDevice::NetworkAddressParameter, QStringLiteral("127.0.0.1"));
        setConnectionParameter(QModbusDevice::NetworkPortParameter, port);
    }

    QList<request> requests;
    int refuseFrom = -1; // requests reaching this address get an exception

protected:
    QModbusResponse processRequest(const QModbusPdu &pdu) override
    {
        quint16 address = 0;
        quint16 count = 0;
        pdu.decodeData(&address, &count);
        requests.append({int(pdu.functionCode()), address, count});
        if (refuseFrom >= 0 && address + count > refuseFrom)
            return QModbusExceptionResponse(pdu.functionCode(), QModbusExceptionResponse::IllegalDataAddress);
        return QModbusTcpServer::processRequest(pdu);
    }
};

} // namespace

class tst_modbusInModule : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    fakeDebug m_debug;
    fakeLog m_log;
    fakeAcqSink m_sink;
    DebugIdManager m_ids;
    createNewInputFunction m_create = nullptr;
    quint16 m_port = 0;

    std::unique_ptr<testDevice> startDevice()
    {
        auto device = std::make_unique<testDevice>(m_port);
        if (!device->connectDevice())
            qWarning("test device: %s", qPrintable(device->errorString()));
        return device;
    }

    // A module on the test device; polls come from the test unless `keys`
    // set PollMs.
    std::unique_ptr<alarms_input_base> start(const QByteArray &keys, int colouring = 0)
    {
        const QString config = m_dir->filePath(QStringLiteral("alarms/inputs/al_acq_0001.cfg"));
        // The first of two equal keys counts: `keys` go first.
        writeBytes(config, "[System]\nModule=modbusin\nName=Test device\n\n[Modbus]\n" + keys
                               + "Host=127.0.0.1\nPort=" + QByteArray::number(m_port)
                               + "\nPollMs=60000\nTimeoutMs=2000\n");
        std::unique_ptr<alarms_input_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        if (!module->initialise(config, m_dir->path(), colouring, &m_sink))
            return nullptr;
        return module;
    }

    static values read(alarms_input_base *module)
    {
        int *data = nullptr;
        int length = -1;
        if (!module->getData(&data, &length))
            return {values{-999}};
        return values(data, data + length);
    }

    static std::pair<int, int> progress(alarms_input_base *module)
    {
        int total = -1, remaining = -1;
        module->getProgress(&total, &remaining);
        return {total, remaining};
    }

private slots:
    void initTestCase()
    {
        m_create = resolveEntryPoint<createNewInputFunction>(MODBUSIN_LIBRARY, "createNewInput");
        QVERIFY(m_create);
    }

    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_debug = fakeDebug();
        m_log = fakeLog();
        m_sink = fakeAcqSink();
        m_port = freeTcpPort();
    }

    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void tables_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<int>("function");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("bits");
        QTest::addColumn<bool>("isSigned");
        QTest::addColumn<int>("requests");
        QTest::newRow("coils") << QByteArray("Table=coils\nStart=5\nCount=10\n") << 1 << 5 << 10 << true << false << 1;
        QTest::newRow("discrete") << QByteArray("Table=Discrete\nStart=0\nCount=2000\n") << 2 << 0 << 2000 << true
                                  << false << 1;
        QTest::newRow("holding") << QByteArray("Table=holding\nStart=120\nCount=20\n") << 3 << 120 << 20 << false
                                 << false << 1;
        QTest::newRow("input") << QByteArray("Table=input\nStart=250\nCount=125\n") << 4 << 250 << 125 << false
                               << false << 1;
        QTest::newRow("holding signed") << QByteArray("Table=holding\nStart=120\nCount=20\nSigned=true\n") << 3
                                        << 120 << 20 << false << true << 1;
        QTest::newRow("coils, three requests") << QByteArray("Table=coils\nStart=7\nCount=4500\n") << 1 << 7 << 4500
                                               << true << false << 3;
        QTest::newRow("holding, three requests") << QByteArray("Table=holding\nCount=300\n") << 3 << 0 << 300
                                                 << false << false << 3;
        QTest::newRow("input, top of the address space")
            << QByteArray("Table=input\nStart=65286\nCount=250\n") << 4 << 65286 << 250 << false << false << 2;
    }

    void tables()
    {
        QFETCH(QByteArray, keys);
        QFETCH(int, function);
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(bool, bits);
        QFETCH(bool, isSigned);
        QFETCH(int, requests);
        auto device = startDevice();
        auto module = start(keys);
        QVERIFY(module);
        QCOMPARE(progress(module.get()), std::make_pair(requests, requests));
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);

        values expected;
        for (int a = first; a < first + count; ++a)
            expected << (bits ? int(bitAt(a)) : isSigned ? int(qint16(registerAt(a))) : int(registerAt(a)));
        QCOMPARE(read(module.get()), expected);
        QCOMPARE(progress(module.get()), std::make_pair(requests, 0));
        QCOMPARE(module->getRxCount(), 1);
        QCOMPARE(module->getTxCount(), requests);

        // Consecutive requests of at most the protocol's size cover the range.
        QCOMPARE(device->requests.size(), requests);
        int next = first;
        for (const testDevice::request &r : std::as_const(device->requests)) {
            QCOMPARE(r.function, function);
            QCOMPARE(r.address, next);
            QVERIFY(r.count <= (bits ? 2000 : 125));
            next += r.count;
        }
        QCOMPARE(next, first + count);
    }

    void badConfiguration_data()
    {
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QString>("logged");
        QTest::newRow("no Host") << QByteArray("Table=coils\nCount=1\n") << "no Host";
        QTest::newRow("no Table") << QByteArray("Host=h\nCount=1\n") << "no Table";
        QTest::newRow("unknown Table") << QByteArray("Host=h\nTable=registers\nCount=1\n") << "Table 'registers'";
        QTest::newRow("no Count") << QByteArray("Host=h\nTable=coils\n") << "no Count";
        QTest::newRow("Count 0") << QByteArray("Host=h\nTable=coils\nCount=0\n") << "Count 0 is not between 1 and 65536";
        QTest::newRow("past the address space")
            << QByteArray("Host=h\nTable=holding\nStart=65530\nCount=7\n") << "Count 7 is not between 1 and 6";
        QTest::newRow("Start beyond") << QByteArray("Host=h\nTable=holding\nStart=65536\nCount=1\n") << "Start 65536";
        QTest::newRow("Count not a number") << QByteArray("Host=h\nTable=holding\nCount=ten\n") << "Count 'ten'";
        QTest::newRow("Port 0") << QByteArray("Host=h\nPort=0\nTable=coils\nCount=1\n") << "Port 0";
        QTest::newRow("Port too large") << QByteArray("Host=h\nPort=70000\nTable=coils\nCount=1\n") << "Port 70000";
        QTest::newRow("UnitId") << QByteArray("Host=h\nUnitId=256\nTable=coils\nCount=1\n") << "UnitId 256";
        QTest::newRow("Signed") << QByteArray("Host=h\nTable=holding\nCount=1\nSigned=maybe\n") << "Signed 'maybe'";
    }

    void badConfiguration()
    {
        QFETCH(QByteArray, section);
        QFETCH(QString, logged);
        const QString config = m_dir->filePath(QStringLiteral("al_acq_0002.cfg"));
        QVERIFY(writeBytes(config, "[System]\nModule=modbusin\n\n[Modbus]\n" + section));
        std::unique_ptr<alarms_input_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        QVERIFY(!module->initialise(config, m_dir->path(), 0, &m_sink));
        QVERIFY(!module->getStatusOk());
        QCOMPARE(m_log.count(logged), 1);
        QCOMPARE(read(module.get()), values{-999});
        module->restartPoll(); // the operator's commands do nothing harmful
        module->pollNow();
        QVERIFY(!module->getStatusOk());
    }

    void adjustedTimings()
    {
        auto device = startDevice();
        auto module = start("Table=coils\nCount=1\nReconnectMs=1\nMaxReconnectMs=5\nPollMs=0\n");
        QVERIFY(module);
        QCOMPARE(m_log.count("PollMs 0 raised to 10"), 1);
        QCOMPARE(m_log.count("ReconnectMs 1 raised to 10"), 1);
        QCOMPARE(m_log.count("MaxReconnectMs 5 raised to 10"), 1);
        QTRY_VERIFY_WITH_TIMEOUT(module->getRxCount() > 3, kWait); // polls on its timer
    }

    // Down, unreachable, silent and back: unhealthy meanwhile, each
    // condition logged once, and recovery without help.
    void deviceStopsAnswering()
    {
        auto device = startDevice();
        auto module = start("Table=holding\nCount=3\nPollMs=30\nTimeoutMs=500\nReconnectMs=20\nMaxReconnectMs=80\n");
        QVERIFY(module);
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);
        QCOMPARE(read(module.get()), (values{0, 257, 514}));
        QCOMPARE(m_log.count("Connected to 127.0.0.1"), 1);

        device.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!module->getStatusOk(), kWait);
        QCOMPARE(read(module.get()), values{-999});
        // The wait between attempts doubles up to MaxReconnectMs.
        const auto attempts = [this] { return m_debug.lines.filter(QStringLiteral("next connection attempt in")); };
        QTRY_VERIFY_WITH_TIMEOUT(attempts().size() >= 5, kWait);
        QCOMPARE(m_log.count("lost"), 1);
        QCOMPARE(m_log.count("Cannot connect"), 1);
        const QStringList waits = attempts();
        QVERIFY(waits[0].endsWith(" 20 ms"));
        QVERIFY(waits[1].endsWith(" 40 ms"));
        QVERIFY(waits[2].endsWith(" 80 ms"));
        QVERIFY(waits.last().endsWith(" 80 ms"));

        device = startDevice();
        device->setData(QModbusDataUnit::HoldingRegisters, 1, 9);
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);
        QCOMPARE(read(module.get()), (values{0, 9, 514}));
        QCOMPARE(m_log.count("Connected to 127.0.0.1"), 2);

        device->setServerAddress(2); // deaf to unit 1
        QTRY_VERIFY_WITH_TIMEOUT(!module->getStatusOk(), kWait);
        QCOMPARE(m_log.count("No answer from 127.0.0.1:" + QString::number(m_port) + " within 500 ms"), 1);
        const int asked = module->getTxCount();
        QTRY_VERIFY_WITH_TIMEOUT(module->getTxCount() > asked + 2, kWait); // it keeps trying
        QCOMPARE(m_log.count("No answer"), 1);
        QCOMPARE(m_log.count("Connected to 127.0.0.1"), 2);

        device->setServerAddress(1);
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);
        QCOMPARE(m_log.count("answering again"), 1);
        QCOMPARE(read(module.get()), (values{0, 9, 514}));
    }

    // A poll in several requests whose last one is refused delivers nothing:
    // the engine's array keeps the previous poll whole.
    void refusedPollKeepsValues()
    {
        auto device = startDevice();
        auto module = start("Table=holding\nStart=10\nCount=260\nPollMs=20\n");
        QVERIFY(module);
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);
        int *held = nullptr;
        int length = 0;
        QVERIFY(module->getData(&held, &length));
        QCOMPARE(length, 260);
        QTRY_VERIFY_WITH_TIMEOUT(module->getRxCount() >= 3, kWait);
        QCOMPARE(m_sink.values, values{260}); // unchanged polls raise no event

        for (int a = 10; a < 270; ++a)
            device->setData(QModbusDataUnit::HoldingRegisters, quint16(a), 1);
        device->refuseFrom = 265;
        const qsizetype asked = device->requests.size();
        QTRY_VERIFY_WITH_TIMEOUT(device->requests.size() >= asked + 9, kWait); // three polls or more
        QVERIFY(!module->getStatusOk());
        QCOMPARE(progress(module.get()).first, 3);
        QCOMPARE(m_log.count("refused the request: exception 2 (illegal data address)"), 1);
        QCOMPARE(values(held, held + 3), (values{registerAt(10), registerAt(11), registerAt(12)}));
        QCOMPARE(held[259], int(registerAt(269)));
        QCOMPARE(m_log.count("Connected"), 1); // the connection stays

        device->refuseFrom = -1;
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);
        QCOMPARE(values(held, held + length), values(260, 1)); // same array, updated whole
        QCOMPARE(m_log.count("answering again"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_sink.values, (values{260, 260}), kWait);
    }

    void colouring_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<values>("coloured");
        QTest::newRow("greening") << 1 << values{0, 0, 0};
        QTest::newRow("redding") << 2 << values{7, 7, 7};
    }

    void colouring()
    {
        QFETCH(int, mode);
        QFETCH(values, coloured);
        auto device = startDevice();
        auto module = start("Table=coils\nCount=3\nAlarmValue=7\n");
        QVERIFY(module);
        QTRY_COMPARE_WITH_TIMEOUT(m_sink.values.size(), 1, kWait);
        QCOMPARE(read(module.get()), (values{1, 0, 0}));

        module->setColouring(mode, true);
        QCOMPARE(read(module.get()), coloured);
        QTRY_COMPARE_WITH_TIMEOUT(m_sink.values.size(), 2, kWait);
        module->setColouring(3 - mode, false); // the other mode is not on
        QCOMPARE(read(module.get()), coloured);

        device->setData(QModbusDataUnit::Coils, 1, 1);
        module->pollNow();
        QTRY_COMPARE_WITH_TIMEOUT(module->getRxCount(), 2, kWait);
        QCOMPARE(read(module.get()), coloured); // held while colouring

        module->setColouring(mode, false);
        QCOMPARE(read(module.get()), (values{1, 1, 0}));

        // A mode in force at start applies from the first values.
        m_sink = fakeAcqSink();
        auto other = start("Table=coils\nCount=3\nAlarmValue=7\n", mode);
        QVERIFY(other);
        QTRY_VERIFY_WITH_TIMEOUT(other->getStatusOk(), kWait);
        QCOMPARE(read(other.get()), coloured);
    }

    // "Restart Poll" is the retry: it reconnects at once, whatever the back-off.
    void operatorCommands()
    {
        auto module = start("Table=holding\nCount=2\nReconnectMs=600000\n");
        QVERIFY(module);
        QTRY_COMPARE_WITH_TIMEOUT(m_log.count("Cannot connect"), 1, kWait);
        QVERIFY(!module->getStatusOk());
        module->pollNow(); // not connected: nothing to do
        auto device = startDevice();
        module->restartPoll();
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);
        QCOMPARE(read(module.get()), (values{0, 257}));

        device->setData(QModbusDataUnit::HoldingRegisters, 0, 65535);
        module->pollNow();
        QTRY_COMPARE_WITH_TIMEOUT(read(module.get()), (values{65535, 257}), kWait);
        QCOMPARE(module->getRxCount(), 2);

        module->restartPoll(); // also while connected: a fresh connection and poll
        QVERIFY(!module->getStatusOk());
        QTRY_VERIFY_WITH_TIMEOUT(module->getStatusOk(), kWait);
        QCOMPARE(module->getRxCount(), 3);

        QCOMPARE(module->getClassName(), QStringLiteral("modbusInModule"));
        QVERIFY(!module->initialise(m_dir->filePath(QStringLiteral("alarms/inputs/al_acq_0001.cfg")), m_dir->path(),
                                    0, &m_sink));

        module->aboutToClose();
        QVERIFY(!module->getStatusOk());
        module->pollNow();
        module->restartPoll();
        QTest::qWait(100);
        QCOMPARE(module->getRxCount(), 3);
    }
};

QTEST_GUILESS_MAIN(tst_modbusInModule)
#include "tst_modbusInModule.moc"
