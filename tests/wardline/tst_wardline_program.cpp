#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

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

} // namespace

// The built program, headless, on a temporary installation with the two
// file modules: an input change reaches the output file, and states survive
// a restart.
class tst_wardline_program : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QString alarms;

    bool start(QProcess &program, const QString &alarmSystem = QStringLiteral("Plant"))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QX_ROOT", root.path());
        env.insert("QX_SYSTEM", "North");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(WARDLINE_PROGRAM), {"/ALARMSYSTEM=" + alarmSystem, "/UDP=NO"});
        return program.waitForStarted();
    }

    // Waits until the output file (by default the Plant's) holds every line given.
    bool outputsShow(const QList<QByteArray> &lines, int timeoutMs = 20000, QString file = QString())
    {
        if (file.isEmpty())
            file = alarms + "/outputs/states.txt";
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            const QList<QByteArray> written = readAll(file).split('\n');
            if (std::all_of(lines.begin(), lines.end(), [&](const QByteArray &l) { return written.contains(l); }))
                return true;
            QTest::qWait(100);
        }
        qWarning() << "states:" << readAll(file);
        return false;
    }

    static void stop(QProcess &program)
    {
        ::kill(program.processId(), SIGTERM);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        alarms = root.filePath("North/config/alarms/Plant");
        writeFile(alarms + "/proc_def.cfg", "[pressure high]\nType=Input\nBlock=1\nIndex=1\nAlarm=>= 80\nLatching=yes\n"
                                            "[running]\nType=Input\nBlock=1\nIndex=2\nAlarm=1\n"
                                            "[any]\nType=OR\nInputs=pressure high, running\n");
        writeFile(alarms + "/inputs/al_acq_0001.cfg", "[System]\nModule=filein\nName=values\n[File]\nPath=values.txt\nPollMs=50\n");
        writeFile(alarms + "/inputs/values.txt", "40 0\n");
        writeFile(alarms + "/outputs/al_out_0001.cfg", "[System]\nModule=fileout\nName=states\n[File]\nPath=states.txt\n");
        const QString modules = root.filePath("North/windows/lib/alarms");
        QDir().mkpath(modules);
        QVERIFY(QFile::copy(QStringLiteral(FILEIN_MODULE), modules + "/libfilein.so"));
        QVERIFY(QFile::copy(QStringLiteral(FILEOUT_MODULE), modules + "/libfileout.so"));
    }

    void inputChangesReachTheOutputs()
    {
        QProcess program;
        QVERIFY(start(program));
        QVERIFY(outputsShow({"pressure high=0", "running=0", "any=0"}));
        writeFile(alarms + "/inputs/values.txt", "90 0\n");
        QVERIFY(outputsShow({"pressure high=1", "any=1"}));
        writeFile(alarms + "/inputs/values.txt", "10 0\n");
        QVERIFY(outputsShow({"pressure high=6", "any=0"})); // latched until acknowledged

        // Closed like an operator closes it: the states are saved.
        ::kill(program.processId(), SIGTERM);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        const QByteArray saved = readAll(root.filePath("North/data/Plant/Wardline.dat"));
        QCOMPARE(saved, QByteArray("pressure high=6\nrunning=0\nany=0\n"));
        QVERIFY(!readAll(root.filePath("North/logs/alarms/Plant/" + QDate::currentDate().toString("yyyy_MM_dd") + ".log"))
                     .isEmpty());
    }

    void statesSurviveARestart()
    {
        QFile::remove(alarms + "/outputs/states.txt");
        QProcess program;
        QVERIFY(start(program));
        // The latch is still there, though the input is normal.
        QVERIFY(outputsShow({"pressure high=6", "running=0", "any=0"}));
        ::kill(program.processId(), SIGTERM);
        QVERIFY(program.waitForFinished(10000));
    }

    // The demo's alarm system, coloured by automatic runs at start (the
    // buttons cannot be pressed from here): redding puts its alarms ON in the
    // output file and greening puts them OFF, each for the run's 9 s, of
    // which the first 5 s are the start-up delay before any calculation.
    void colouringRunsReachTheOutputs()
    {
        const QString demo = QFINDTESTDATA("../../demo/root/North/config/alarms/Pumps");
        QVERIFY(!demo.isEmpty());
        const QString pumps = root.filePath("North/config/alarms/Pumps");
        for (const char *file :
             {"proc_def.cfg", "inputs/al_acq_0001.cfg", "inputs/values.txt", "outputs/al_out_0001.cfg"}) {
            QDir().mkpath(QFileInfo(pumps + "/" + file).absolutePath());
            QVERIFY(QFile::copy(demo + "/" + file, pumps + "/" + file));
        }
        const QString states = pumps + "/outputs/states.txt";
        const QList<QByteArray> inputs{"Pump1 pressure high", "Pump1 running", "Tank level low", "Maintenance",
                                       "Valve open command", "Valve open"};
        const auto lines = [&](const QByteArray &values) {
            QList<QByteArray> expected;
            for (int i = 0; i < inputs.size(); ++i)
                expected << inputs.at(i) + "=" + values.at(i);
            return expected;
        };

        // The plant is normal; redding makes every input 1 (the pressure
        // alarms only from 80, so it stays OFF).
        writeFile(pumps + "/greening.ini", "[Colouring]\nEnableSetInitialState=TRUE\n[Redding]\n"
                                           "SetInitialStateFail=TRUE\nSetInitialStateFailTimeout=9\n");
        writeFile(pumps + "/inputs/values.txt", "40, 1, 50, 0, 0, 0\n");
        {
            QProcess program;
            QVERIFY(start(program, "Pumps"));
            QVERIFY(outputsShow(lines("011111"), 20000, states));
            QVERIFY(outputsShow(lines("010000"), 20000, states));
            stop(program);
        }
        // The missing keys were written back.
        QVERIFY(readAll(pumps + "/greening.ini").contains("AutomaticReddingTimeout=30"));

        // The plant is in alarm; greening makes every input read 50, good for all of them.
        QFile::remove(states);
        writeFile(pumps + "/greening.ini", "[Colouring]\nEnableSetInitialState=TRUE\n[Greening]\n"
                                           "SetInitialStateOK=TRUE\nSetInitialStateOKTimeout=9\n");
        writeFile(pumps + "/inputs/values.txt", "90, 1, 5, 0, 1, 0\n");
        {
            QProcess program;
            QVERIFY(start(program, "Pumps"));
            QVERIFY(outputsShow(lines("000000"), 20000, states));
            QVERIFY(outputsShow(lines("111010"), 20000, states));
            stop(program);
        }
    }
};

QTEST_GUILESS_MAIN(tst_wardline_program)
#include "tst_wardline_program.moc"
