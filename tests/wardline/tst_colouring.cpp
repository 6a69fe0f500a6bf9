#include "CRuleKernel.h"
#include "UDP_socket.h"
#include "WardlineMainWindow.h"
#include "alarmEngine.h"
#include "colouringControl.h"
#include "colouringSettings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The engine's debug lines, as echoed to the debug output.
QStringList echoed;

void captureEcho(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "tavex.wardline.echo")
        echoed << message.section(QLatin1Char(':'), 2);
}

int echoCount(const QString &start)
{
    int n = 0;
    for (const QString &line : std::as_const(echoed))
        n += line.startsWith(start) ? 1 : 0;
    return n;
}

const QByteArray defaultsFile = "[Colouring]\nEnableSetInitialState=false\n\n"
                                "[Greening]\nSetInitialStateOK=false\nSetInitialStateOKTimeout=300\n"
                                "AutomaticGreeningTimeout=30\n\n"
                                "[Redding]\nSetInitialStateFail=false\nSetInitialStateFailTimeout=300\n"
                                "AutomaticReddingTimeout=30\n";

// Colouring on, with runs and renewals as short as the tests need.
QByteArray greeningIni(const QByteArray &ok, int okRun, const QByteArray &fail, int failRun)
{
    return "[Colouring]\nEnableSetInitialState=TRUE\n[Greening]\nSetInitialStateOK=" + ok
           + "\nSetInitialStateOKTimeout=" + QByteArray::number(okRun) + "\nAutomaticGreeningTimeout=1\n"
           + "[Redding]\nSetInitialStateFail=" + fail + "\nSetInitialStateFailTimeout=" + QByteArray::number(failRun)
           + "\nAutomaticReddingTimeout=1\n";
}

const QColor green(0, 255, 0);
const QColor red(255, 0, 0);

} // namespace

// Greening and redding on a temporary installation: the alarm system North
// reads one values file ("50") through two filein modules, block 1
// configured with GoodValue=20 and AlarmValue=90, block 2 with the defaults
// (0 and 1). One input process per block and value shows which value the
// engine reads.
class tst_colouring : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    quint16 m_port = 0;
    QtMessageHandler m_previousHandler = nullptr;

    QString systemFolder() const { return m_root.path() + "/sys"; }
    QString alarmFolder() const { return systemFolder() + "/config/alarms/North"; }
    QString iniPath() const { return alarmFolder() + "/greening.ini"; }

    std::unique_ptr<WardlineMainWindow> startWindow(const QByteArray &ini, bool udp = false)
    {
        if (ini.isNull())
            QFile::remove(iniPath());
        else
            writeFile(iniPath(), ini);
        QDir(systemFolder() + "/data").removeRecursively();
        auto window = std::make_unique<WardlineMainWindow>(
            udp ? QStringList{"/ALARMSYSTEM=North", "/UDP=YES"} : QStringList{"/ALARMSYSTEM=North", "/UDP=NO"});
        window->show();
        if (!window->Start())
            return nullptr;
        return window;
    }

    // One cycle; the value the engine reads from the block (-2: none of the known ones).
    static int valueRead(alarmEngine *engine, int block)
    {
        engine->cycle();
        for (int value : {0, 1, 20, 50, 90}) {
            const int position = engine->processes().find(QStringLiteral("b%1 is %2").arg(block).arg(value));
            if (position >= 0 && engine->processes().states().at(size_t(position)) == 1)
                return value;
        }
        return -2;
    }

    static QPushButton *button(WardlineMainWindow *window, int mode)
    {
        return mode == 1 ? window->pushGreening : window->pushRedding;
    }

    static QColor buttonColour(QPushButton *button) { return button->palette().color(QPalette::Button); }

    // Twin messages from workstation 7 to the engine's mastership port.
    void sendTwin(const QByteArray &code)
    {
        QUdpSocket socket;
        const QByteArray message = code + ":sys:North:7:0:OK";
        QCOMPARE(socket.writeDatagram(message, QHostAddress::LocalHost, m_port), qint64(message.size()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        qputenv("QX_ROOT", QFile::encodeName(m_root.path()));
        qputenv("QX_SYSTEM", "sys");
        qunsetenv("QX_WORKSTATION");

        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::AnyIPv4, 0));
        m_port = probe.localPort();
        probe.close();
        writeFile(systemFolder() + "/config/system/tavex_system.ini",
                  "[Network]\nBroadcastAddress=127.255.255.255\nMastershipPort=" + QByteArray::number(m_port) + "\n");

        const QString inputs = alarmFolder() + "/inputs/";
        writeFile(inputs + "al_acq_0001.cfg", "[System]\nModule=filein\nName=configured\n[File]\nPath=values.txt\n"
                                              "PollMs=600000\nGoodValue=20\nAlarmValue=90\n");
        writeFile(inputs + "al_acq_0002.cfg",
                  "[System]\nModule=filein\nName=defaults\n[File]\nPath=values.txt\nPollMs=600000\n");
        writeFile(inputs + "values.txt", "50\n");
        writeFile(alarmFolder() + "/outputs/al_out_0001.cfg",
                  "[System]\nModule=fileout\nName=states\n[File]\nPath=states.txt\n");
        QByteArray processes;
        for (int block : {1, 2}) {
            for (int value : {0, 1, 20, 50, 90})
                processes += QStringLiteral("[b%1 is %2]\nType=Input\nBlock=%1\nIndex=1\nAlarm=%2\n")
                                 .arg(block)
                                 .arg(value)
                                 .toUtf8();
        }
        writeFile(alarmFolder() + "/proc_def.cfg", processes);

        const QString modules = systemFolder() + "/windows/lib/alarms/";
        QVERIFY(QDir().mkpath(modules));
        QVERIFY(QFile::copy(FILEIN_LIBRARY, modules + "libfilein.so"));
        QVERIFY(QFile::copy(FILEOUT_LIBRARY, modules + "libfileout.so"));
        m_previousHandler = qInstallMessageHandler(captureEcho);
    }

    void cleanupTestCase() { qInstallMessageHandler(m_previousHandler); }

    void init()
    {
        echoed.clear();
        CRuleKernel::SetGreeningRequired(false);
    }

    // What the settings file yields and the lines it holds afterwards
    // (the missing and the empty file: exactly the defaults).
    void settingsFile_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("runLength");
        QTest::addColumn<int>("greeningLoop");
        QTest::addColumn<QByteArrayList>("after");
        const QByteArrayList defaults = defaultsFile.split('\n');
        QTest::newRow("missing file") << QByteArray() << false << 0 << 0 << 30 << defaults;
        QTest::newRow("empty file") << QByteArray("") << false << 0 << 0 << 30 << defaults;
        QTest::newRow("greening asked, switch missing")
            << QByteArray("[Greening]\nSetInitialStateOK=true\n") << true << 1 << 300 << 30
            << QByteArrayList{"EnableSetInitialState=true", "SetInitialStateFail=false", "AutomaticReddingTimeout=30"};
        // Only a greening request stands for the missing switch.
        QTest::newRow("redding asked, switch missing")
            << QByteArray("[Redding]\nSetInitialStateFail=TRUE\nSetInitialStateFailTimeout=12\n") << false << 0 << 12
            << 30
            << QByteArrayList{"EnableSetInitialState=false", "SetInitialStateFail=TRUE", "SetInitialStateOK=false"};
        QTest::newRow("both asked: redding wins")
            << QByteArray("[Colouring]\nEnableSetInitialState=TRUE\n[Greening]\nSetInitialStateOK=TRUE\n"
                          "SetInitialStateOKTimeout=40\nAutomaticGreeningTimeout=5\n[Redding]\n"
                          "SetInitialStateFail=TRUE\nSetInitialStateFailTimeout=20\nAutomaticReddingTimeout=7\n")
            << true << 2 << 20 << 5 << QByteArrayList{"SetInitialStateOKTimeout=40", "AutomaticReddingTimeout=7"};
        QTest::newRow("switched off")
            << QByteArray("[Colouring]\nEnableSetInitialState=no\n[Greening]\nSetInitialStateOK=TRUE\n"
                          "[Redding]\nSetInitialStateFail=\n")
            << false << 0 << 300 << 30
            << QByteArrayList{"EnableSetInitialState=no", "SetInitialStateOK=TRUE", "SetInitialStateFail=false"};
        QTest::newRow("any case; -1 is missing, 0 a value")
            << QByteArray("[colouring]\r\nenablesetinitialstate=tRuE\r\n[GREENING]\r\nSetInitialStateOK=True\r\n"
                          "SetInitialStateOKTimeout=-1\r\nAutomaticGreeningTimeout=0\r\n")
            << true << 1 << 300 << 0
            << QByteArrayList{"enablesetinitialstate=tRuE\r", "SetInitialStateOKTimeout=300\r",
                              "AutomaticGreeningTimeout=0\r"};
    }

    void settingsFile()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, enabled);
        QFETCH(int, mode);
        QFETCH(int, runLength);
        QFETCH(int, greeningLoop);
        QFETCH(QByteArrayList, after);
        QTemporaryDir folder;
        const QString path = folder.filePath("greening.ini");
        if (!before.isNull())
            writeFile(path, before);
        QStringList lines;
        const colouringSettings settings =
            loadColouringSettings(folder.path(), [&lines](const QString &line) { lines << line; });
        QCOMPARE(settings.enabled, enabled);
        QCOMPARE(settings.initialMode, mode);
        QCOMPARE(settings.runLength, runLength);
        QCOMPARE(settings.greeningLoop, greeningLoop);
        const QByteArrayList written = readAll(path).split('\n');
        if (before.isEmpty())
            QCOMPARE(written, after);
        for (const QByteArray &line : std::as_const(after))
            QVERIFY2(written.contains(line), line.constData());
        QCOMPARE(lines.last(), QStringLiteral("loadColouringSettings() Initial State = %1, "
                                              "SetInitialStateOK/FailTimeout=%2, AutomaticGreeningTimeout=%3, "
                                              "AutomaticReddingTimeout=%4")
                                   .arg(mode)
                                   .arg(runLength)
                                   .arg(greeningLoop)
                                   .arg(settings.reddingLoop));
    }

    // A file that cannot be written: the defaults, and a line that says so.
    void unwritableSettingsFile()
    {
        QTemporaryDir folder;
        writeFile(folder.filePath("plain"), "not a folder");
        const QString alarms = folder.filePath("plain/North");
        QStringList lines;
        const colouringSettings settings =
            loadColouringSettings(alarms, [&lines](const QString &line) { lines << line; });
        QVERIFY(!settings.enabled);
        QCOMPARE(settings.greeningLoop, 30);
        QCOMPARE(lines.mid(0, 3), (QStringList{"Greening ini file=" + alarms + "/greening.ini",
                                               "Greening ini file contains EnableSetInitialState='', "
                                               "SetInitialStateOK='', SetInitialStateFail=''",
                                               "Greening ini file " + alarms + "/greening.ini cannot be written"}));
    }

    // Enabled or not, and the automatic run at start: the buttons, what the
    // modules report, and the end of the run.
    void startUp_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("block1");
        QTest::addColumn<int>("block2");
        QTest::newRow("not enabled") << QByteArray() << false << 0 << 50 << 50;
        QTest::newRow("enabled, no run") << greeningIni("false", 1, "false", 1) << true << 0 << 50 << 50;
        QTest::newRow("greening at start") << greeningIni("TRUE", 1, "false", 300) << true << 1 << 20 << 0;
        QTest::newRow("redding at start") << greeningIni("false", 300, "TRUE", 1) << true << 2 << 90 << 1;
    }

    void startUp()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, shown);
        QFETCH(int, mode);
        QFETCH(int, block1);
        QFETCH(int, block2);
        auto window = startWindow(ini);
        QVERIFY(window);
        alarmEngine *engine = window->engine();
        colouringControl &colouring = engine->colouring();
        QCOMPARE(colouring.enabled(), shown);
        QCOMPARE(colouring.mode(), mode);
        QCOMPARE(window->pushGreening->isVisible(), shown);
        QCOMPARE(window->pushRedding->isVisible(), shown);
        QCOMPARE(window->pushGreening->text(), mode == 1 ? "Stop Greening" : "Start Greening");
        QCOMPARE(window->pushRedding->text(), mode == 2 ? "Stop Redding" : "Start Redding");
        QCOMPARE(window->pushGreening->isEnabled(), mode == 1);
        QCOMPARE(window->pushRedding->isEnabled(), mode == 2);
        if (mode != 0)
            QCOMPARE(buttonColour(button(window.get(), mode)), mode == 1 ? green : red);
        QCOMPARE(colouring.runTimerActive(), mode != 0);
        QCOMPARE(CRuleKernel::greeningRequired(), mode != 0);
        QCOMPARE(echoCount("WardlineMainWindow::Start() - starting colouring timer"), mode != 0 ? 1 : 0);
        // The modules were coloured from their initialisation on.
        QCOMPARE(valueRead(engine, 1), block1);
        QCOMPARE(valueRead(engine, 2), block2);

        // The master offers the buttons that fit the mode.
        window->UpdateTxRx();
        QCOMPARE(window->pushGreening->isEnabled(), shown && mode != 2);
        QCOMPARE(window->pushRedding->isEnabled(), shown && mode != 1);
        if (mode == 0)
            return;

        // The run ends by itself, as if its "Stop" button were pressed.
        QTRY_COMPARE(colouring.mode(), 0);
        QCOMPARE(echoCount(QStringLiteral("WardlineMainWindow::timerEvent - Colouring Timer ")), 1);
        QVERIFY(!colouring.loopTimerActive());
        QVERIFY(!CRuleKernel::greeningRequired());
        QCOMPARE(button(window.get(), mode)->text(), mode == 1 ? "Start Greening" : "Start Redding");
        QVERIFY(window->pushGreening->isEnabled() && window->pushRedding->isEnabled());
        QCOMPARE(valueRead(engine, 1), 50);
    }

    // An operator's run goes on, renewed by the loop timer, until the
    // operator stops it; the button stops an automatic run too.
    void operatorRun_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("automatic");
        QTest::addColumn<int>("block1");
        QTest::addColumn<int>("block2");
        QTest::newRow("greening") << 1 << false << 20 << 0;
        QTest::newRow("redding") << 2 << false << 90 << 1;
        QTest::newRow("automatic greening stopped") << 1 << true << 20 << 0;
        QTest::newRow("automatic redding stopped") << 2 << true << 90 << 1;
    }

    void operatorRun()
    {
        QFETCH(int, mode);
        QFETCH(bool, automatic);
        QFETCH(int, block1);
        QFETCH(int, block2);
        const QString name = mode == 1 ? "Greening" : "Redding";
        const QByteArray ask = automatic ? "TRUE" : "false";
        auto window = startWindow(greeningIni(mode == 1 ? ask : "false", 300, mode == 2 ? ask : "false", 300));
        QVERIFY(window);
        alarmEngine *engine = window->engine();
        colouringControl &colouring = engine->colouring();
        QPushButton *own = button(window.get(), mode);
        QPushButton *other = button(window.get(), 3 - mode);
        window->UpdateTxRx();
        if (!automatic) {
            QVERIFY(own->isEnabled() && other->isEnabled());
            own->click();
        }
        QCOMPARE(colouring.mode(), mode);
        QCOMPARE(own->text(), "Stop " + name);
        QCOMPARE(buttonColour(own), mode == 1 ? green : red);
        QVERIFY(!other->isEnabled());
        QCOMPARE(colouring.loopTimerActive(), !automatic);
        QCOMPARE(colouring.runTimerActive(), automatic);
        QVERIFY(CRuleKernel::greeningRequired());
        QCOMPARE(valueRead(engine, 1), block1);
        QCOMPARE(valueRead(engine, 2), block2);
        other->click(); // locked
        QCOMPARE(colouring.mode(), mode);
        if (!automatic) {
            // Renewed every second (the loop interval of the test's file).
            QTRY_VERIFY(echoCount("WardlineMainWindow::timerEvent - starting the next loop of Colouring Loop") >= 2);
            QVERIFY(echoCount("WardlineMainWindow::start" + name + "() event") >= 3);
            QCOMPARE(colouring.mode(), mode);
        }

        own->click();
        QCOMPARE(colouring.mode(), 0);
        QVERIFY(echoed.contains("stop" + name + "() - killing the " + (automatic ? "initial " + name.toLower()
                                                                                  : name.toLower() + " loop")
                                + " timer"));
        QVERIFY(!colouring.loopTimerActive());
        QVERIFY(!colouring.runTimerActive());
        QVERIFY(!CRuleKernel::greeningRequired());
        QCOMPARE(own->text(), "Start " + name);
        QCOMPARE(buttonColour(own), window->palette().color(QPalette::Button));
        QVERIFY(other->isEnabled());
        QCOMPARE(valueRead(engine, 1), 50);
        QCOMPARE(valueRead(engine, 2), 50);
    }

    // Only the master offers the buttons; a slave's are locked during a run
    // and left alone otherwise.
    void buttonsUnderMastership()
    {
        auto window = startWindow(greeningIni("false", 1, "false", 1), true);
        QVERIFY(window);
        alarmEngine *engine = window->engine();
        QVERIFY(engine->mastership());
        const auto becomeMaster = [&](bool master) {
            sendTwin(master ? "NC" : "NO");
            QTRY_COMPARE(engine->mastership()->isMaster(), master);
            engine->updateTxRx();
            window->UpdateTxRx();
            QCOMPARE(engine->isMaster(), master);
        };
        const auto enabled = [&] {
            return QPair<bool, bool>(window->pushGreening->isEnabled(), window->pushRedding->isEnabled());
        };

        becomeMaster(false);
        QCOMPARE(enabled(), qMakePair(false, false));
        becomeMaster(true);
        QCOMPARE(enabled(), qMakePair(true, true));
        window->pushGreening->click();
        QCOMPARE(engine->colouring().mode(), 1);
        becomeMaster(false);
        QCOMPARE(enabled(), qMakePair(false, false));
        becomeMaster(true);
        QCOMPARE(enabled(), qMakePair(true, false));
        window->pushGreening->click();
        QCOMPARE(engine->colouring().mode(), 0);
        becomeMaster(false);
        QCOMPARE(enabled(), qMakePair(true, true));
    }

    // Without a window the engine runs the automatic run to its end.
    void headlessEngine()
    {
        writeFile(iniPath(), greeningIni("false", 1, "TRUE", 1));
        alarmEngine engine(QStringList{"/ALARMSYSTEM=North", "/UDP=NO"});
        QVERIFY(engine.Start());
        QCOMPARE(engine.colouring().mode(), 2);
        QCOMPARE(valueRead(&engine, 1), 90);
        QTRY_COMPARE(engine.colouring().mode(), 0);
        QCOMPARE(valueRead(&engine, 1), 50);
    }

    // Closing during a run: the timers go, and the evaluators are no longer
    // told to colour.
    void closingDuringARun()
    {
        auto window = startWindow(greeningIni("TRUE", 300, "false", 300));
        QVERIFY(window);
        QVERIFY(CRuleKernel::greeningRequired());
        window.reset();
        QVERIFY(!CRuleKernel::greeningRequired());
    }
};

QTEST_MAIN(tst_colouring)
#include "tst_colouring.moc"
