#include "CRuleKernel.h"
#include "Logger.h"
#include "alarmEngine.h"
#include "faultHandler.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList echoed;

void captureEcho(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "tavex.wardline.echo")
        echoed << message;
}

const QByteArray alwaysOn = "[a]\nType=Time\nWindow=00:00-24:00\n";

} // namespace

// The engine, without modules or with the test module: its cycle, messages
// and timers.
class tst_alarmEngine : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;

    QString alarmFolder() const { return root.filePath("North/config/alarms/Plant"); }

    // eventsInGetData < 0: no modules; otherwise one test input module (whose
    // first getData calls send that many events) and one test output module.
    std::unique_ptr<alarmEngine> engineFor(const QByteArray &processes, const QStringList &extra = {},
                                           int eventsInGetData = -1)
    {
        const QString alarms = alarmFolder();
        QDir(alarms).removeRecursively();
        QDir().mkpath(alarms + "/inputs");
        QDir().mkpath(alarms + "/outputs");
        writeFile(alarms + "/proc_def.cfg", processes);
        if (eventsInGetData >= 0) {
            const QString library = root.filePath("North/windows/lib/alarms/libtestboth.so");
            QDir().mkpath(QFileInfo(library).absolutePath());
            if (!QFile::exists(library))
                QFile::copy(QStringLiteral(TEST_MODULE_BOTH), library);
            writeFile(alarms + "/inputs/al_acq_0001.cfg",
                      "[System]\nModule=testboth\nName=in\nEventsInGetData=" + QByteArray::number(eventsInGetData) + "\n");
            writeFile(alarms + "/outputs/al_out_0001.cfg", "[System]\nModule=testboth\nName=out\n");
        }
        qputenv("QX_ROOT", root.path().toUtf8());
        qputenv("QX_SYSTEM", "North");
        return std::make_unique<alarmEngine>(QStringList{"/ALARMSYSTEM=Plant", "/UDP=NO"} + extra);
    }

private slots:
    void messagesShownOnce()
    {
        auto engine = engineFor("[a]\nType=Input\nBlock=9\nIndex=1\n[b]\nType=OR\nInputs=a\n");
        QVERIFY(engine->Start());
        for (int i = 0; i < 3; ++i)
            engine->cycle();
        const QStringList messages = engine->messages();
        QCOMPARE(messages.count("CALCULATION ERROR - Cannot find Acq block 9- check configuration"), 0); // no stores at all
        QCOMPARE(messages.count("ERROR - calculations failed - CHECK CONFIGURATION"), 1);
        QCOMPARE(engine->extraPasses(), 200);
        QCOMPARE(engine->cycles(), 3u);
    }

    void withoutProcDefTheEngineStaysIdle()
    {
        auto engine = engineFor("");
        QFile::remove(root.filePath("North/config/alarms/Plant/proc_def.cfg"));
        QVERIFY(engine->Start());
        QVERIFY(engine->messages().contains("ERROR - No valid Proc.def configuration file to load!!"));
        QVERIFY(!engine->processTimerRunning());
    }

    void startupDelay()
    {
        auto engine = engineFor("[a]\nType=Time\nWindow=00:00-24:00\n");
        QVERIFY(engine->Start());
        QCOMPARE(engine->startupDelayMs(), 5000);
        QVERIFY(engine->messages().contains("Starting network activity timer - delay is 60 ms"));
    }

    // An override that ends soon starts the next-process timer, also before
    // processing starts.
    void nextProcessTimerForAForce()
    {
        auto engine = engineFor("[a]\nType=Time\nWindow=00:00-24:00\nForceTimeout=30\n", {"/EVENTDRIVEN"});
        QVERIFY(engine->Start());
        {
            QSemaphore &lock = engine->processLock();
            lock.acquire();
            engine->processes().process(0)->Override(3, 0);
            lock.release();
        }
        engine->cycle();
        QVERIFY(engine->nextProcessTimerRunning());
        QVERIFY(!engine->processTimerRunning());
    }

    // In event-driven mode every event gives two cycles after it: events
    // during the start-up delay give theirs when processing starts.
    void eventDrivenCycles()
    {
        auto engine = engineFor(alwaysOn, {"/EVENTDRIVEN", "/PERIOD=5"});
        QVERIFY(engine->Start());
        engine->moduleEvent();
        QTest::qWait(20);
        QVERIFY(!engine->processTimerRunning());
        QCOMPARE(engine->cycles(), 0u);
        engine->startProcessing();
        QTRY_COMPARE_WITH_TIMEOUT(engine->cycles(), 2u, 2000);
        QTest::qWait(30);
        QCOMPARE(engine->cycles(), 2u);
        QVERIFY(!engine->processTimerRunning());

        engine->moduleEvent();
        QTRY_COMPARE_WITH_TIMEOUT(engine->cycles(), 4u, 2000);
        QTest::qWait(30);
        QCOMPARE(engine->cycles(), 4u);
        QVERIFY(!engine->processTimerRunning());
    }

    // An event that comes while a cycle runs (here from inside the input
    // module's getData) still gives two whole cycles after that one.
    void eventDuringACycle()
    {
        auto engine = engineFor(alwaysOn, {"/EVENTDRIVEN", "/PERIOD=5"}, 1);
        QVERIFY(engine->Start()); // the module's first event comes from its initialise
        engine->startProcessing();
        QTRY_COMPARE_WITH_TIMEOUT(engine->cycles(), 3u, 2000);
        QTest::qWait(30);
        QCOMPARE(engine->cycles(), 3u);
        QVERIFY(!engine->processTimerRunning());
    }

    // The fault handler appends to the file the logger writes now, also once
    // the logger has moved on to the next day, hour or minute.
    void faultLinesFollowTheLogFile_data()
    {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<int>("seconds");
        QTest::newRow("next day") << QStringList{} << 86400;
        QTest::newRow("next hour") << QStringList{"/LOG=256"} << 3600;
        QTest::newRow("next minute") << QStringList{"/LOG=512"} << 60;
    }

    void faultLinesFollowTheLogFile()
    {
        QFETCH(QStringList, extra);
        QFETCH(int, seconds);
        Logger &logger = Logger::instance();
        QDateTime now = QDateTime::currentDateTime();
        logger.setFrequency(0);
        logger.setClock([&now] { return now; });
        const auto restore = qScopeGuard([&logger] {
            logger.setClock([] { return QDateTime::currentDateTime(); });
            logger.setFrequency(0);
        });
        auto engine = engineFor(alwaysOn, extra);
        QCOMPARE(faultHandler::logFile(), logger.fileName(now));
        now = now.addSecs(seconds);
        engine->debug(0, QString(), QStringLiteral("a line"));
        QCOMPARE(faultHandler::logFile(), logger.fileName(now));
    }

    // Output modules may use the process list they were handed until they
    // are destroyed: the processes go after them.
    void outputsGoBeforeTheProcesses()
    {
        auto engine = engineFor(alwaysOn + "[b]\nType=NOT\nInput=a\n", {}, 0);
        QVERIFY(engine->Start());
        echoed.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureEcho);
        engine.reset();
        qInstallMessageHandler(previous);
        QVERIFY2(echoed.contains("TAVEX-WL:Plant:test:output closing with 2 processes"), qPrintable(echoed.join('\n')));
    }

    // Processes whose names are not UTF-8 are reported and left out of the
    // state file; the others keep theirs.
    void namesNotUtf8AreReported()
    {
        auto engine = engineFor("[Pumpe_T\xc3\xbcr]\nType=Time\nWindow=00:00-24:00\n"
                                "[Pumpe_T\xfcr]\nType=Time\nWindow=00:00-24:00\n"
                                "[Pumpe_T\xfdr]\nType=Time\nWindow=00:00-24:00\n");
        QVERIFY(engine->Start());
        QCOMPARE(engine->messages().filter("is not UTF-8 text").size(), 2);
        engine->cycle();
        engine->saveData();
        engine->finishSaving();
        QCOMPARE(readAll(root.filePath("North/data/Plant/Wardline.dat")), QByteArray("Pumpe_T\xc3\xbcr=1\n"));
    }

    // A network delay whose product is out of range is refused with a
    // message; the default stands.
    void refusedNetworkDelayIsShown()
    {
        auto engine = engineFor(alwaysOn + "[b]\nType=NOT\nInput=a\n", {"/NETDELAY=2147483647"});
        QVERIFY(engine->Start());
        QVERIFY(engine->messages().contains("NetDelay == 2147483647 is out of range for 2 processes. Using 60."));
        QVERIFY(engine->messages().contains("Starting network activity timer - delay is 120 ms"));
    }
};

QTEST_GUILESS_MAIN(tst_alarmEngine)
#include "tst_alarmEngine.moc"
