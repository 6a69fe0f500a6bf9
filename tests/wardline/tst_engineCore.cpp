#include "CRuleKernel.h"
#include "engineSettings.h"
#include "processEngine.h"
#include "stateFile.h"

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

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray sections(int count)
{
    QByteArray config;
    for (int i = 0; i < count; ++i)
        config += "[t" + QByteArray::number(i) + "]\nType=Time\nWindow=00:00-24:00\n";
    return config;
}

} // namespace

class tst_engineCore : public QObject
{
    Q_OBJECT

private slots:
    void qualifiers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("/udp=yes") << QStringList{"/udp=yes"} << "udp" << "1" << "Udp flag == yes";
        QTest::newRow("/UDP=NO") << QStringList{"/UDP=NO"} << "udp" << "0" << "Udp flag == NO";
        QTest::newRow("/UDP") << QStringList{"/UDP"} << "udp" << "0" << "Udp flag == ";
        QTest::newRow("/UDPX") << QStringList{"/UDPX"} << "udp" << "0" << "Udp flag == ";
        QTest::newRow("no /UDP") << QStringList{} << "udp" << "1" << "";
        QTest::newRow("/PERIOD=abc") << QStringList{"/PERIOD=abc"} << "period" << "20" << "Period == abc";
        QTest::newRow("/period=50") << QStringList{"/period=50"} << "period" << "50" << "Period == 50";
        QTest::newRow("alarm system keeps its case") << QStringList{"/alarmsystem=North"} << "alarm" << "North"
                                                     << "ALARM SYSTEM == North";
        QTest::newRow("/QX_ROOT_LIBRARY changes only the library root")
            << QStringList{"/QX_ROOT_LIBRARY=D:\\lib"} << "roots" << "env|D:\\lib" << "QX_ROOT override flag for libraries = 'D:\\lib'";
        QTest::newRow("/QX_ROOT changes only the configuration root")
            << QStringList{"/QX_ROOT=/cfg"} << "roots" << "/cfg|env" << "QX_ROOT override flag for config = '/cfg'";
        QTest::newRow("/CONFIGFOLDER beats /LOCALCONFIG") << QStringList{"/LOCALCONFIG", "/CONFIGFOLDER=/x"} << "config"
                                                          << "/x" << "Config override folder = '/x'";
        QTest::newRow("/LOCALCONFIG") << QStringList{"/LOCALCONFIG", "/ALARMSYSTEM=N"} << "config"
                                      << "env/sys/config/alarms/N/local_config" << "";
        QTest::newRow("flag with trailing letters") << QStringList{"/EVENTDRIVENX", "/ASFUU"} << "flags" << "1|1" << "";
        QTest::newRow("! is ignored silently") << QStringList{"!anything"} << "unrecognized" << "0" << "";
        QTest::newRow("/FOO is logged") << QStringList{"/FOO"} << "unrecognized" << "1" << "Got an unrecognized qualifier: /FOO";
        QTest::newRow("/LOG") << QStringList{"/LOG=4,,8"} << "log" << "12" << "Log value = 12, flags = 4,8,";
    }

    void qualifiers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, message);
        QStringList messages;
        const engineSettings s = engineSettings::fromCommandLine(arguments, "env", "sys", &messages);
        QString actual;
        if (field == u"udp")
            actual = QString::number(s.udpEnabled);
        else if (field == u"period")
            actual = QString::number(s.periodMs);
        else if (field == u"alarm")
            actual = s.alarmSystem;
        else if (field == u"roots")
            actual = s.configRoot + "|" + s.libraryRoot;
        else if (field == u"config")
            actual = s.configFolder;
        else if (field == u"flags")
            actual = QString::number(s.eventDriven) + "|" + QString::number(s.acquisitionFailureFatal);
        else if (field == u"unrecognized")
            actual = QString::number(messages.filter("unrecognized").size());
        else if (field == u"log")
            actual = QString::number(s.logFlags);
        QCOMPARE(actual, value);
        if (!message.isEmpty())
            QVERIFY2(messages.contains(message), qPrintable(messages.join('\n')));
    }

    void derivedFolders()
    {
        engineSettings s = engineSettings::fromCommandLine({"/ALARMSYSTEM=North", "/QX_SYSTEM_LIBRARY=lib"}, "/r", "S");
        QCOMPARE(s.systemFolder, QStringLiteral("/r/S"));
        QCOMPARE(s.configFolder, QStringLiteral("/r/S/config"));
        QCOMPARE(s.alarmFolder, QStringLiteral("/r/S/config/alarms/North"));
        QCOMPARE(s.libraryFolder, QStringLiteral("/r/lib"));
        s = engineSettings::fromCommandLine({"/ALARMSYSTEM=North", "/ALARMSCONFIGFOLDER=/a"}, "/r", "S");
        QCOMPARE(s.alarmFolder, QStringLiteral("/a/North"));
    }

    void startupDelay_data()
    {
        QTest::addColumn<int>("processes");
        QTest::addColumn<int>("delay");
        QTest::newRow("3") << 3 << 5000;
        QTest::newRow("2000") << 2000 << 8000;
        QTest::newRow("20000") << 20000 << 45000;
    }

    void startupDelay()
    {
        QFETCH(int, processes);
        QFETCH(int, delay);
        QTemporaryDir dir;
        writeFile(dir.filePath("proc_def.cfg"), sections(processes));
        processEngine engine;
        QVERIFY(engine.load(dir.path(), {}, {}));
        QCOMPARE(engine.count(), processes);
        QCOMPARE(engine.process(processes - 1)->GetProcessNumber(), processes - 1);
        QCOMPARE(engine.startupDelayMs(), delay);
    }

    // Bodies stay with their own headers, whatever the layout around them.
    void bodiesPairedBySection()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("proc_def.cfg"), "Type=Time\nstray line\n"
                                                "[empty]\n"
                                                "[  in  ]\n  Type=Input  \nBlock=1\nIndex=2\n\n"
                                                "[not]\nType=NOT\nInput=in\n");
        QStringList debug;
        processEngine engine(processEngine::output{[&](const QString &l) { debug << l; }, {}, {}});
        QVERIFY(engine.load(dir.path(), {{"in", 1}}, {{"not", 99}}));
        QCOMPARE(engine.names(), QStringList({"empty", "  in  ", "not"}));
        QCOMPARE(engine.process(0)->ProcessType(), -1);
        QCOMPARE(engine.process(2)->ProcessType(), 4);
        QVERIFY(debug.contains("2 lines before the first process of proc_def.cfg are ignored"));
        QVERIFY(debug.contains("Failed to load settings for \n"));
        QVERIFY(!debug.contains("!!!!HELP"));
        QVERIFY(!engine.load(dir.path() + "/missing", {}, {}));
    }

    void cycleWithMissingBlockAndChains()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("proc_def.cfg"), "[c]\nType=OR\nInputs=b\n[b]\nType=NOT\nInput=a\n"
                                                "[a]\nType=Input\nBlock=2\nIndex=1\n"
                                                "[x]\nType=Input\nBlock=9\nIndex=1\n");
        processEngine engine;
        QVERIFY(engine.load(dir.path(), {}, {}));
        int lookups = 0;
        processEngine::cycleResult result;
        engine.resetArrays();
        engine.setUpProcesses([&](int block, int index) {
            ++lookups;
            return block == 2 && index == 1 ? 0 : -1;
        }, result);
        engine.calculate(result);
        QCOMPARE(lookups, 2);
        QCOMPARE(result.extraPasses, processEngine::maxPasses); // x never has a value
        QVERIFY(!result.allCalculated);
        QCOMPARE(engine.displayedStates(), std::vector<int>({1, 1, 0, -1}));
    }

    void nextEndTimeIsTheEarliest()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("proc_def.cfg"), sections(3));
        const int64_t now = QDateTime::currentSecsSinceEpoch();
        QStringList debug;
        processEngine engine(processEngine::output{[&](const QString &l) { debug << l; }, {}, {}});
        QVERIFY(engine.load(dir.path(), {{"t0", 2}, {"t1", 3}}, {{"t0", now + 100}, {"t1", now + 10}}));
        processEngine::cycleResult result;
        engine.resetArrays();
        engine.setUpProcesses([](int, int) { return -1; }, result);
        QCOMPARE(result.nextEndTime, now + 10);
        QCOMPARE(debug.filter("override end time").size(), 2);
    }

    void stateFileLines()
    {
        QTemporaryDir dir;
        stateFile file(dir.filePath("data/North"), QString());
        QVERIFY(file.save({{"A", 5, 0}, {"ALM_DOOR_1", 2, stateFile::endTimeSeconds("2026-12-07T10:15:00")}, {"B", -1, 100000}}));
        QCOMPARE(readAll(file.path()), QByteArray("A=5\nALM_DOOR_1=2,o=2026-12-07T10:15:00\nB=-1,o=1970-01-02T03:46:40\n"));

        writeFile(file.path(), "A=5\nB=5,o=1970-01-01T00:00:00\nC=x\nA=7\nD=3,o=1970-01-02T03:46:40,z=1\r\nE=1,o=garbage\nF=4");
        QHash<QString, int> states;
        QHash<QString, int64_t> ends;
        file.load(states, ends);
        QCOMPARE(states.value("A"), 5); // the first line of a name counts
        QCOMPARE(states.value("B"), 5);
        QCOMPARE(states.value("C"), 0);
        QCOMPARE(states.value("D"), 3);
        QVERIFY(!states.contains("F")); // no line feed after it
        QCOMPARE(ends, (QHash<QString, int64_t>{{"D", 100000}}));
    }

    void stateFileMovesFromTheOldPlace()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("old/Wardline.dat"), "A=4\n");
        QStringList debug;
        stateFile file(dir.filePath("new/deep/North"), dir.filePath("old"), [&](const QString &l) { debug << l; });
        QHash<QString, int> states;
        QHash<QString, int64_t> ends;
        file.load(states, ends);
        QCOMPARE(states.value("A"), 4);
        QVERIFY(!QFile::exists(dir.filePath("old/Wardline.dat")));
        QVERIFY(debug.contains("Process file exists at old location.  Will be written to new location."));
        debug.clear();
        states.clear();
        file.load(states, ends); // once only
        QVERIFY(debug.filter("old location").isEmpty());
        QCOMPARE(states.value("A"), 4);
    }
};

QTEST_GUILESS_MAIN(tst_engineCore)
#include "tst_engineCore.moc"
