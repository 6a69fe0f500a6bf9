#include "CRuleKernel.h"
#include "alarmEngine.h"

#include <QDir>
#include <QFile>
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

} // namespace

// The engine without modules: its cycle, messages and timers.
class tst_alarmEngine : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;

    std::unique_ptr<alarmEngine> engineFor(const QByteArray &processes, const QStringList &extra = {})
    {
        const QString alarms = root.filePath("North/config/alarms/Plant");
        QDir(alarms).removeRecursively();
        QDir().mkpath(alarms + "/inputs");
        QDir().mkpath(alarms + "/outputs");
        writeFile(alarms + "/proc_def.cfg", processes);
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

    // An override that ends soon starts the next-process timer; in
    // event-driven mode one event runs exactly two cycles.
    void eventDrivenCycles()
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
        // Processing has not started yet: events wait for it.
        engine->moduleEvent();
        QTest::qWait(20);
        QVERIFY(!engine->processTimerRunning());
        QTRY_VERIFY_WITH_TIMEOUT(engine->messages().contains("STARTING PROCESSING"), 7000);
        QVERIFY(!engine->processTimerRunning());
        const quint64 before = engine->cycles();
        engine->moduleEvent();
        QTRY_VERIFY(engine->processTimerRunning());
        QTRY_VERIFY(!engine->processTimerRunning());
        QCOMPARE(engine->cycles() - before, 2u);
    }
};

QTEST_GUILESS_MAIN(tst_alarmEngine)
#include "tst_alarmEngine.moc"
