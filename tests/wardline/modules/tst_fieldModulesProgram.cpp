#include "freePorts.h"
#include "moduleFakes.h"
#include "mqttTestPeers.h"

#include <QModbusTcpServer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The built engine with the field modules against real peers: a Modbus TCP
// device served by this test, and a mosquitto broker. What the device says
// reaches the broker as alarm states; a device that stops answering makes
// the engine keep its last states; the end is published as the last word.
class tst_fieldModulesProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QFileInfo::exists(QString::fromLatin1(brokerProgram)))
            QSKIP("no MQTT broker program installed");
        mosquitto_lib_init();
    }

    void cleanupTestCase() { mosquitto_lib_cleanup(); }

    void deviceValuesReachTheBroker()
    {
        QTemporaryDir root;
        const quint16 devicePort = freeTcpPort();
        const quint16 brokerPort = freeTcpPort();
        const QString alarms = root.filePath("North/config/alarms/Plant");
        QVERIFY(writeBytes(alarms + "/proc_def.cfg", "[pump on]\nType=Input\nBlock=1\nIndex=1\nAlarm=1\n"
                                                     "[level low]\nType=Input\nBlock=1\nIndex=2\nAlarm=<= 10\n"
                                                     "[any]\nType=OR\nInputs=pump on, level low\n"));
        QVERIFY(writeBytes(alarms + "/inputs/al_acq_0001.cfg",
                           "[System]\nModule=modbusin\nName=PLC\n[Modbus]\nHost=127.0.0.1\nPort="
                               + QByteArray::number(devicePort)
                               + "\nTable=holding\nStart=10\nCount=2\nPollMs=50\nReconnectMs=100\n"));
        QVERIFY(writeBytes(alarms + "/outputs/al_out_0001.cfg",
                           "[System]\nModule=mqttout\nName=Broker\n[Mqtt]\nHost=127.0.0.1\nPort="
                               + QByteArray::number(brokerPort) + "\nTopicPrefix=plant\nReconnectMs=100\n"));
        const QString modules = root.filePath("North/windows/lib/alarms");
        QVERIFY(QDir().mkpath(modules));
        QVERIFY(QFile::copy(QStringLiteral(MODBUSIN_LIBRARY), modules + "/libmodbusin.so"));
        QVERIFY(QFile::copy(QStringLiteral(MQTTOUT_LIBRARY), modules + "/libmqttout.so"));

        QModbusTcpServer device;
        QModbusDataUnitMap map;
        map.insert(QModbusDataUnit::HoldingRegisters, QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, 20));
        device.setMap(map);
        device.setServerAddress(1);
        device.setConnectionParameter(QModbusDevice::NetworkAddressParameter, QStringLiteral("127.0.0.1"));
        device.setConnectionParameter(QModbusDevice::NetworkPortParameter, devicePort);
        QVERIFY(device.connectDevice());
        device.setData(QModbusDataUnit::HoldingRegisters, 10, 1);  // pump on
        device.setData(QModbusDataUnit::HoldingRegisters, 11, 50); // level fine

        testBroker broker(root.path(), brokerPort);
        QVERIFY(broker.start());
        testSubscriber subscriber(brokerPort, "plant");
        QTRY_VERIFY(subscriber.subscribed());

        QProcess engine;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QX_ROOT", root.path());
        env.insert("QX_SYSTEM", "North");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        engine.setProcessEnvironment(env);
        engine.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        engine.start(QStringLiteral(WARDLINE_PROGRAM), {"/ALARMSYSTEM=Plant", "/UDP=NO"});
        QVERIFY(engine.waitForStarted());
        const auto stopEngine = qScopeGuard([&engine] {
            engine.kill();
            engine.waitForFinished(5000);
        });

        // Master after the start-up delay: the states as the device says.
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.last("plant/pump on"), QByteArray("1"), 30000);
        QTRY_COMPARE(subscriber.last("plant/level low"), QByteArray("0"));
        QTRY_COMPARE(subscriber.last("plant/any"), QByteArray("1"));
        QTRY_COMPARE(subscriber.last("plant/_status"), QByteArray("online"));

        device.setData(QModbusDataUnit::HoldingRegisters, 10, 0);
        device.setData(QModbusDataUnit::HoldingRegisters, 11, 5);
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.last("plant/pump on"), QByteArray("0"), 10000);
        QTRY_COMPARE(subscriber.last("plant/level low"), QByteArray("1"));
        QCOMPARE(subscriber.last("plant/any"), QByteArray("1"));

        // The device goes away: no new states; back, and they follow it again.
        device.disconnectDevice();
        QTest::qWait(500);
        subscriber.clear();
        QTest::qWait(500);
        QVERIFY(subscriber.payloads("plant/level low").isEmpty());
        QVERIFY(device.connectDevice());
        device.setData(QModbusDataUnit::HoldingRegisters, 11, 60);
        QTRY_COMPARE_WITH_TIMEOUT(subscriber.last("plant/level low"), QByteArray("0"), 15000);
        QTRY_COMPARE(subscriber.last("plant/any"), QByteArray("0"));

        // An orderly end says so on the status topic.
        ::kill(pid_t(engine.processId()), SIGTERM);
        QVERIFY(engine.waitForFinished(15000));
        QCOMPARE(engine.exitCode(), 0);
        QTRY_COMPARE(subscriber.last("plant/_status"), QByteArray("offline"));
    }
};

QTEST_GUILESS_MAIN(tst_fieldModulesProgram)
#include "tst_fieldModulesProgram.moc"
