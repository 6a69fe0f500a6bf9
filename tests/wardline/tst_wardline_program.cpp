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

    bool start(QProcess &program)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QX_ROOT", root.path());
        env.insert("QX_SYSTEM", "North");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(WARDLINE_PROGRAM), {"/ALARMSYSTEM=Plant", "/UDP=NO"});
        return program.waitForStarted();
    }

    // Waits until the output file holds every line given.
    bool outputsShow(const QList<QByteArray> &lines, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            const QList<QByteArray> written = readAll(alarms + "/outputs/states.txt").split('\n');
            if (std::all_of(lines.begin(), lines.end(), [&](const QByteArray &l) { return written.contains(l); }))
                return true;
            QTest::qWait(100);
        }
        qWarning() << "states:" << readAll(alarms + "/outputs/states.txt");
        return false;
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
};

QTEST_GUILESS_MAIN(tst_wardline_program)
#include "tst_wardline_program.moc"
