#include "CRuleKernel.h"
#include "engineSettings.h"
#include "processEngine.h"
#include "stateFile.h"

#include <QDateTime>
#include <QDir>
#include <QScopeGuard>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

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
            QVERIFY2(messages.count(message) == 1, qPrintable(messages.join('\n')));
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

    // Network delay x processes: a product beyond an int is refused for the default.
    void networkActivityDelay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("processes");
        QTest::addColumn<int>("delay");
        QTest::addColumn<QString>("message");
        QTest::newRow("default") << QStringList{} << 3 << 180 << "";
        QTest::newRow("no processes") << QStringList{"/NETDELAY=100"} << 0 << 0 << "";
        QTest::newRow("largest that fits") << QStringList{"/NETDELAY=2147483647"} << 1 << 2147483647 << "";
        QTest::newRow("product overflows")
            << QStringList{"/NETDELAY=1000000"} << 3000 << 180000
            << "NetDelay == 1000000 is out of range for 3000 processes. Using 60.";
        QTest::newRow("product just beyond an int")
            << QStringList{"/NETDELAY=1073741824"} << 2 << 120
            << "NetDelay == 1073741824 is out of range for 2 processes. Using 60.";
        QTest::newRow("negative") << QStringList{"/NETDELAY=-5"} << 3 << 180
                                  << "NetDelay == -5 is out of range for 3 processes. Using 60.";
    }

    void networkActivityDelay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, processes);
        QFETCH(int, delay);
        QFETCH(QString, message);
        const engineSettings s = engineSettings::fromCommandLine(arguments, "env", "sys");
        QStringList messages;
        QCOMPARE(s.networkActivityMs(processes, &messages), delay);
        QCOMPARE(messages, message.isEmpty() ? QStringList() : QStringList{message});
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
        processEngine engine(processEngine::output{[&](const QString &l) { debug << l; }, {}, {}, {}});
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
        }, QDateTime::currentSecsSinceEpoch(), result);
        engine.calculate(result);
        QCOMPARE(lookups, 2);
        QCOMPARE(result.extraPasses, processEngine::maxPasses); // x never has a value
        QVERIFY(!result.allCalculated);
        QCOMPARE(engine.displayedStates(), std::vector<int>({1, 1, 0, -1}));
    }

    // The next-process timer wakes for the earliest end still ahead; an end
    // already past (kept by a process that cannot be calculated) is passed over.
    void nextEndTime_data()
    {
        QTest::addColumn<QList<qint64>>("ends"); // seconds from now for t0, t1, ...; 0: none
        QTest::addColumn<qint64>("next");       // seconds from now; 0: none
        QTest::addColumn<int>("lines");
        QTest::newRow("earliest of two ahead") << QList<qint64>{100, 10} << qint64(10) << 2;
        QTest::newRow("an end past before one ahead") << QList<qint64>{-50, 100} << qint64(100) << 2;
        QTest::newRow("an end past after one ahead") << QList<qint64>{100, -50} << qint64(100) << 2;
        QTest::newRow("only ends past") << QList<qint64>{-50, -1} << qint64(0) << 2;
        QTest::newRow("none") << QList<qint64>{} << qint64(0) << 0;
    }

    void nextEndTime()
    {
        QFETCH(QList<qint64>, ends);
        QFETCH(qint64, next);
        QFETCH(int, lines);
        QTemporaryDir dir;
        writeFile(dir.filePath("proc_def.cfg"), sections(3));
        const int64_t now = QDateTime::currentSecsSinceEpoch();
        QHash<QString, int> forced;
        QHash<QString, int64_t> endTimes;
        for (qsizetype i = 0; i < ends.size(); ++i) {
            forced.insert("t" + QString::number(i), 3);
            endTimes.insert("t" + QString::number(i), now + ends.at(i));
        }
        QStringList debug;
        processEngine engine(processEngine::output{[&](const QString &l) { debug << l; }, {}, {}, {}});
        QVERIFY(engine.load(dir.path(), forced, endTimes));
        processEngine::cycleResult result;
        engine.resetArrays();
        engine.setUpProcesses([](int, int) { return -1; }, now, result);
        QCOMPARE(result.nextEndTime, next ? now + next : 0);
        QCOMPARE(debug.filter("override end time").size(), lines);
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

    // Names are UTF-8 both ways, so that names beyond ASCII keep their states
    // and forces across a restart.
    void stateFileKeepsNamesBeyondAscii()
    {
        QTemporaryDir dir;
        stateFile file(dir.filePath("data/North"), QString());
        const int64_t end = stateFile::endTimeSeconds("2026-12-07T10:15:00");
        const QStringList names{"Pumpe_Tür", "Ölstand ≥ 80 %", "警報 1", "🔥 Brand"};
        std::vector<stateFile::entry> entries;
        for (qsizetype i = 0; i < names.size(); ++i)
            entries.push_back({names.at(i), int(i) + 1, end});
        QVERIFY(file.save(entries));
        QVERIFY(readAll(file.path()).startsWith("Pumpe_T\xc3\xbcr=1,o=2026-12-07T10:15:00\n"));
        QHash<QString, int> states;
        QHash<QString, int64_t> ends;
        file.load(states, ends);
        QCOMPARE(states.size(), names.size());
        for (qsizetype i = 0; i < names.size(); ++i) {
            QCOMPARE(states.value(names.at(i), -1), int(i) + 1);
            QCOMPARE(ends.value(names.at(i)), end);
        }
    }

    // A name that is not UTF-8 is reported and its line dropped: read with
    // replacement characters, names apart only in such a byte would become one.
    void stateFileNamesNotUtf8_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("read"); // "name=state", sorted
        QTest::addColumn<QList<int>>("refused"); // line numbers
        QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbf" "A=5\n") << QStringList{"A=5"} << QList<int>{};
        QTest::newRow("apart only in a byte that is not UTF-8")
            << QByteArray("Pumpe_T\xfcr=1,o=2026-12-07T10:15:00\nPumpe_T\xfdr=2\nok=3\n") << QStringList{"ok=3"}
            << QList<int>{1, 2};
        QTest::newRow("sequence cut short") << QByteArray("A\xc3=1\nB=2\n") << QStringList{"B=2"} << QList<int>{1};
        QTest::newRow("encoded surrogate") << QByteArray("A\xed\xa0\x80=1\nB=2\n") << QStringList{"B=2"} << QList<int>{1};
    }

    void stateFileNamesNotUtf8()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, read);
        QFETCH(QList<int>, refused);
        QTemporaryDir dir;
        QStringList debug;
        stateFile file(dir.path(), QString(), [&](const QString &l) { debug << l; });
        writeFile(file.path(), content);
        QHash<QString, int> states;
        QHash<QString, int64_t> ends;
        file.load(states, ends);
        QStringList actual;
        for (auto it = states.cbegin(); it != states.cend(); ++it)
            actual << it.key() + "=" + QString::number(it.value());
        actual.sort();
        QCOMPARE(actual, read);
        QVERIFY(ends.isEmpty());
        QStringList expected;
        for (int line : std::as_const(refused))
            expected << QStringLiteral("LoadData line %1: the process name is not UTF-8 text. Line ignored.").arg(line);
        QCOMPARE(debug.filter("not UTF-8"), expected);
    }

    // End times are UTC: the hours that local time skips or repeats read like
    // any other, whatever the zone of the machine.
    void endTimesAreUtc_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QDateTime>("end"); // invalid: none
        const QByteArray berlin("Europe/Berlin");
        QTest::newRow("hour skipped in spring")
            << berlin << "2026-03-29T02:30:00" << QDateTime(QDate(2026, 3, 29), QTime(2, 30), Qt::UTC);
        QTest::newRow("hour repeated in autumn")
            << berlin << "2026-10-25T02:30:00" << QDateTime(QDate(2026, 10, 25), QTime(2, 30), Qt::UTC);
        QTest::newRow("winter") << berlin << "2026-12-07T10:15:00" << QDateTime(QDate(2026, 12, 7), QTime(10, 15), Qt::UTC);
        QTest::newRow("hour skipped in spring, New York")
            << QByteArray("America/New_York") << "2026-03-08T02:30:00" << QDateTime(QDate(2026, 3, 8), QTime(2, 30), Qt::UTC);
        QTest::newRow("the start of 1970 is no end") << berlin << "1970-01-01T00:00:00" << QDateTime();
        QTest::newRow("not a time") << berlin << "2026-13-01T00:00:00" << QDateTime();
    }

    void endTimesAreUtc()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, text);
        QFETCH(QDateTime, end);
        const QByteArray previous = qgetenv("TZ");
        const bool hadZone = qEnvironmentVariableIsSet("TZ");
        qputenv("TZ", zone);
        tzset();
        const auto restore = qScopeGuard([&] {
            if (hadZone)
                qputenv("TZ", previous);
            else
                qunsetenv("TZ");
            tzset();
        });
        const int64_t seconds = end.isValid() ? end.toSecsSinceEpoch() : 0;
        QCOMPARE(stateFile::endTimeSeconds(text), seconds);
        // As a restart reads it.
        QTemporaryDir dir;
        stateFile file(dir.path(), QString());
        writeFile(file.path(), "A=3,o=" + text.toUtf8() + "\n");
        QHash<QString, int> states;
        QHash<QString, int64_t> ends;
        file.load(states, ends);
        QCOMPARE(ends.value("A"), seconds);
        if (seconds)
            QCOMPARE(stateFile::endTimeText(seconds), text);
    }

    // proc_def.cfg is read as UTF-8 too. Processes whose names are not UTF-8
    // are reported; they take no saved state or force, which could be another's.
    void processNamesInUtf8()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath("proc_def.cfg"), "\xef\xbb\xbf[Pumpe_T\xc3\xbcr]\nType=Time\nWindow=00:00-24:00\n"
                                                "[Pumpe_T\xfcr]\nType=Time\nWindow=00:00-24:00\n"
                                                "[Pumpe_T\xfdr]\nType=Time\nWindow=00:00-24:00\n");
        const QString replaced = QStringLiteral("Pumpe_T\uFFFDr");
        const int64_t end = QDateTime::currentSecsSinceEpoch() + 100;
        QStringList shown;
        processEngine engine(processEngine::output{{}, {}, {}, [&](const QString &l) { shown << l; }});
        QVERIFY(engine.load(dir.path(), {{"Pumpe_Tür", 3}, {replaced, 2}}, {{"Pumpe_Tür", end}, {replaced, end}}));
        QCOMPARE(engine.count(), 3);
        QCOMPARE(engine.names().at(0), QStringLiteral("Pumpe_Tür"));
        QCOMPARE(engine.savedStates(), std::vector<int>({3, -1, -1}));
        QCOMPARE(engine.overrideEndTime(0), end);
        QCOMPARE(engine.overrideEndTime(1), 0);
        QCOMPARE(engine.overrideEndTime(2), 0);
        QCOMPARE(shown, (QStringList{"ERROR - proc_def.cfg line 4: the process name is not UTF-8 text. Its state is not kept.",
                                     "ERROR - proc_def.cfg line 7: the process name is not UTF-8 text. Its state is not kept."}));
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
