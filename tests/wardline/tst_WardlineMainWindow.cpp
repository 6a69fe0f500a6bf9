#include "Logger.h"
#include "ModuleListViewItem.h"
#include "WardlineMainWindow.h"
#include "alarmEngine.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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

const QStringList northArguments{"/ALARMSYSTEM=North", "/UDP=NO"};

} // namespace

// One installation below a temporary QX_ROOT: the alarm system North with two
// file input modules, a file output module and three processes, and the
// module libraries where the engine looks for them.
class tst_WardlineMainWindow : public QObject
{
    Q_OBJECT

private:
    QString systemFolder() const { return m_root.path() + "/sys"; }
    QString alarmFolder(const QString &system = "North") const
    {
        return systemFolder() + "/config/alarms/" + system;
    }
    QString pumpValues() const { return alarmFolder() + "/inputs/pumphouse.txt"; }

    // The colour painted in the middle of the left edge of a row's "Status" cell.
    QColor statusColour(const QString &fileName)
    {
        ModuleListViewItem *row = m_north->findRow(fileName);
        const QRect cell = m_north->lvModules->visualItemRect(row)
                               .intersected(QRect(m_north->lvModules->header()->sectionViewportPosition(
                                                      ModuleListViewItem::Status),
                                                  0, m_north->lvModules->header()->sectionSize(ModuleListViewItem::Status),
                                                  100000));
        const QImage image = m_north->lvModules->viewport()->grab().toImage();
        return image.pixelColor(cell.left() + 2, cell.center().y());
    }

    QTemporaryDir m_root;
    std::unique_ptr<WardlineMainWindow> m_north;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        qputenv("QX_ROOT", QFile::encodeName(m_root.path()));
        qputenv("QX_SYSTEM", "sys");
        qunsetenv("QX_WORKSTATION");

        const QString inputs = alarmFolder() + "/inputs/";
        writeFile(inputs + "al_acq_0001.cfg",
                  "[System]\nModule=filein\nName=Pump house simulator\n[File]\nPath=pumphouse.txt\nPollMs=50\n");
        writeFile(pumpValues(), "0, 1, 0\n");
        // Read once, then only when asked.
        writeFile(inputs + "al_acq_0002.cfg",
                  "[System]\nModule=filein\nName=Tank farm\n[File]\nPath=tanks.txt\nPollMs=600000\n");
        writeFile(inputs + "tanks.txt", "5\n");
        writeFile(alarmFolder() + "/outputs/al_out_0001.cfg",
                  "[System]\nModule=fileout\nName=State recorder\n[File]\nPath=states.txt\n");
        writeFile(alarmFolder() + "/proc_def.cfg",
                  "[Pump1 pressure high]\nType=Input\nBlock=1\nIndex=1\nAlarm=1\n"
                  "[Pump1 running]\nType=Input\nBlock=1\nIndex=2\n"
                  "[Pump1 fault]\nType=AND\nInputs=Pump1 pressure high, Pump1 running\n");
        QDir().mkpath(alarmFolder("Empty") + "/inputs");
        QDir().mkpath(alarmFolder("Empty") + "/outputs");

        const QString modules = systemFolder() + "/windows/lib/alarms/";
        QVERIFY(QDir().mkpath(modules));
        QVERIFY(QFile::copy(FILEIN_LIBRARY, modules + "libfilein.so"));
        QVERIFY(QFile::copy(FILEOUT_LIBRARY, modules + "libfileout.so"));

        m_north = std::make_unique<WardlineMainWindow>(northArguments);
        m_north->resize(1100, 600);
        m_north->show();
        QVERIFY(m_north->Start());
    }

    void cleanupTestCase() { m_north.reset(); }

    // Every way of not getting to the calculation leaves the window with
    // its message and no display timers.
    void startWithoutCalculation_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("run");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("system");
        QTest::newRow("no alarm system") << QStringList{"/UDP=NO"} << true
                                         << "ERROR :You must Supply a Command Line '/AlarmSystem=yoursystem'"
                                         << "TAVEX - TAVEX Alarm System" << "None";
        QTest::newRow("no alarm folder") << QStringList{"/ALARMSYSTEM=Nowhere", "/UDP=NO"} << false
                                         << "ERROR: Cannot find config directory or files '%1/config/alarms/Nowhere'"
                                         << "TAVEX Alarm System  -  Nowhere" << "%1 - Nowhere";
        QTest::newRow("no proc_def.cfg") << QStringList{"/ALARMSYSTEM=Empty", "/UDP=NO"} << true
                                         << "ERROR - No valid Proc.def configuration file to load!!"
                                         << "TAVEX Alarm System  -  Empty" << "%1 - Empty";
    }

    void startWithoutCalculation()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, run);
        QFETCH(QString, message);
        QFETCH(QString, caption);
        QFETCH(QString, system);
        WardlineMainWindow window(arguments);
        QSignalSpy fast(window.engine(), &alarmEngine::displayFast);
        QCOMPARE(window.Start(), run);
        message.replace("%1", systemFolder());
        QVERIFY2(window.textEditLogs->toPlainText().split('\n').contains(message),
                 qPrintable(window.textEditLogs->toPlainText()));
        QCOMPARE(window.windowTitle(), caption);
        QCOMPARE(window.textSystem->text(), system.replace("%1", systemFolder()));
        QCOMPARE(window.textTxRxMode->text(), QStringLiteral("Rx Only"));
        QCOMPARE(window.lvModules->topLevelItemCount(), 0);
        QTest::qWait(500);
        QCOMPARE(fast.count(), 0);
        QVERIFY(!window.engine()->processTimerRunning());
    }

    void moduleRows_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("instance");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("progress");
        QTest::newRow("input 1") << "al_acq_0001.cfg" << "Acquisition" << "filein" << "0001" << "Pump house simulator"
                                 << "100%";
        QTest::newRow("input 2") << "al_acq_0002.cfg" << "Acquisition" << "filein" << "0002" << "Tank farm" << "100%";
        QTest::newRow("output") << "al_out_0001.cfg" << "Output" << "fileout" << "0001" << "State recorder" << "";
    }

    void moduleRows()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, type);
        QFETCH(QString, module);
        QFETCH(QString, instance);
        QFETCH(QString, name);
        QFETCH(QString, progress);
        QCOMPARE(m_north->lvModules->topLevelItemCount(), 3);
        ModuleListViewItem *row = m_north->findRow(fileName);
        QVERIFY(row);
        const QStringList expected{type, module, instance, name, fileName};
        for (int column = 0; column < expected.size(); ++column)
            QCOMPARE(row->text(column), expected.at(column));
        QCOMPARE(row->text(ModuleListViewItem::LastEvent), QStringLiteral("Running"));
        QTRY_COMPARE(row->text(ModuleListViewItem::Status), QStringLiteral("OK"));
        QTRY_COMPARE(row->text(ModuleListViewItem::Progress), progress);
        QCOMPARE(row->text(ModuleListViewItem::TxCount).size(), 8);
        QCOMPARE(statusColour(fileName), QColor(Qt::darkGreen));
    }

    void labels()
    {
        QCOMPARE(m_north->windowTitle(), QStringLiteral("TAVEX Alarm System  -  North"));
        QCOMPARE(m_north->textSystem->text(), systemFolder() + " - North");
        QCOMPARE(m_north->textProcessCount->text(), QStringLiteral("00003"));
        QTRY_COMPARE(m_north->m_pqLabelProgress->text(), QStringLiteral("100% (0/2)"));
        QTRY_COMPARE(m_north->textTxRxMode->text(), QStringLiteral("Tx Rx"));
        // Processing starts after the 5 s start-up delay.
        QTRY_VERIFY_WITH_TIMEOUT(m_north->textProcessCycles->text() != "00000000", 15000);
        QCOMPARE(m_north->textProcessCycles->text().size(), 8);
        QCOMPARE(m_north->textLoopcount->text(), QStringLiteral("000"));
        // The output module writes once it transmits.
        QTRY_COMPARE(readAll(alarmFolder() + "/outputs/states.txt"),
                     QByteArray("Pump1 pressure high=0\nPump1 running=1\nPump1 fault=0\n"));
        QTRY_VERIFY(m_north->findRow("al_out_0001.cfg")->text(ModuleListViewItem::TxCount) != "00000000");
    }

    // Every process with its 1-based position and the state of the last cycle.
    void printData()
    {
        QTest::ignoreMessage(QtDebugMsg, "TAVEX-WL:North::Print data 3 processes");
        QTest::ignoreMessage(QtDebugMsg, "TAVEX-WL:North:process 1,Pump1 pressure high is in state 0");
        QTest::ignoreMessage(QtDebugMsg, "TAVEX-WL:North:process 2,Pump1 running is in state 1");
        QTest::ignoreMessage(QtDebugMsg, "TAVEX-WL:North:process 3,Pump1 fault is in state 0");
        m_north->printData();
    }

    // The pane keeps as many lines as a module's message log holds, the newest.
    void paneHoldsAWholeModuleLog()
    {
        WardlineMainWindow window(QStringList{});
        const int lines = WardlineMainWindow::maxLogLines + 5;
        for (int i = 1; i <= lines; ++i)
            window.showMessage(QStringLiteral("line %1").arg(i));
        const QStringList shown = window.textEditLogs->toPlainText().split('\n');
        QCOMPARE(shown.size(), 1000);
        QCOMPARE(shown.first(), QStringLiteral("line 6"));
        QCOMPARE(shown.last(), QStringLiteral("line %1").arg(lines));
    }

    // A module that reports no poll (total 0) leaves its "Progress" cell and
    // the progress label as they were; failing, it makes the engine unhealthy.
    void noProgressWithoutTotal()
    {
        writeFile(alarmFolder("Idle") + "/inputs/al_acq_0001.cfg", "[System]\nModule=filein\nName=No file\n");
        QDir().mkpath(alarmFolder("Idle") + "/outputs");
        writeFile(alarmFolder("Idle") + "/proc_def.cfg", "[a]\nType=Input\nBlock=1\nIndex=1\n");
        WardlineMainWindow window(QStringList{"/ALARMSYSTEM=Idle", "/UDP=NO"});
        QSignalSpy fast(window.engine(), &alarmEngine::displayFast);
        QVERIFY(window.Start());
        ModuleListViewItem *row = window.findRow("al_acq_0001.cfg");
        QVERIFY(row);
        QCOMPARE(row->text(ModuleListViewItem::LastEvent), QStringLiteral("DLL Init Failed"));
        QTRY_VERIFY(fast.count() > 1);
        QCOMPARE(row->text(ModuleListViewItem::Status), QStringLiteral("Fail"));
        QVERIFY(!window.engine()->healthy());
        QCOMPARE(row->text(ModuleListViewItem::Progress), QString());
        QCOMPARE(window.m_pqLabelProgress->text(), QStringLiteral("None"));
    }

    void selectedRowShowsItsLog()
    {
        ModuleListViewItem *row = m_north->findRow("al_acq_0001.cfg");
        m_north->lvModules->setCurrentItem(row);
        QCOMPARE(m_north->textLabelModule->text(), QStringLiteral("Acquisition"));
        QCOMPARE(m_north->textConfigName->text(), QStringLiteral("Pump house simulator"));
        QVERIFY(m_north->textEditLogs->toPlainText().endsWith("Values file " + pumpValues() + " read: 3 values"));

        // The module turns bad: the row fails, the engine is unhealthy and
        // the log shows why while the row stays selected.
        QVERIFY(QFile::remove(pumpValues()));
        QTRY_COMPARE(row->text(ModuleListViewItem::Status), QStringLiteral("Fail"));
        QVERIFY(!m_north->engine()->healthy());
        QTRY_VERIFY(m_north->textEditLogs->toPlainText().endsWith("Values file " + pumpValues() + " missing"));
        QCOMPARE(statusColour("al_acq_0001.cfg"), QColor(0xc0, 0, 0));

        m_north->lvModules->clearSelection();
        QCOMPARE(m_north->textConfigName->text(), QString());
        QVERIFY(m_north->textEditLogs->toPlainText().split('\n').contains("Acquisition Startup Ok."));
        QCOMPARE(statusColour("al_acq_0001.cfg"), QColor(Qt::red));

        writeFile(pumpValues(), "0, 1, 0\n");
        QTRY_COMPARE(row->text(ModuleListViewItem::Status), QStringLiteral("OK"));
        QTRY_VERIFY(m_north->engine()->healthy());
    }

    void contextMenu_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<bool>("input");
        QTest::newRow("input") << "al_acq_0002.cfg" << true;
        QTest::newRow("output") << "al_out_0001.cfg" << false;
    }

    void contextMenu()
    {
        QFETCH(QString, fileName);
        QFETCH(bool, input);
        ModuleListViewItem *row = m_north->findRow(fileName);
        m_north->contextMenuRequested(row, m_north->mapToGlobal(QPoint(20, 20)));
        QMenu *menu = m_north->contextMenu();
        QVERIFY(menu);
        const QList<QAction *> actions = menu->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("Restart Poll"));
        QVERIFY(actions.at(0)->isEnabled());
        QCOMPARE(actions.at(1)->text(), QStringLiteral("Next Poll Now"));
        QCOMPARE(actions.at(1)->isEnabled(), input);
        QCOMPARE(actions.at(2)->text(), QStringLiteral("Retry Connection"));
        QCOMPARE(actions.at(2)->isEnabled(), !input);
        if (input) {
            // The tank farm is read once at start; asking reads it again.
            QTRY_COMPARE(row->text(ModuleListViewItem::RxCount), QStringLiteral("00000001"));
            actions.at(1)->trigger();
            QTRY_COMPARE(row->text(ModuleListViewItem::RxCount), QStringLiteral("00000002"));
        }
        menu->close();
    }

    void logMenu_data()
    {
        QTest::addColumn<QString>("log");
        QTest::addColumn<int>("bit");
        QTest::addColumn<int>("flags");
        QTest::addColumn<QString>("line");
        QTest::newRow("set") << "" << 1 << 1 << "Log control changed 0 to 1.";
        QTest::newRow("clear") << "/LOG=3" << 2 << 1 << "Log control changed 3 to 1.";
        QTest::newRow("per-session is a menu item") << "/LOG=1" << 16 << 17 << "Log control changed 1 to 17.";
        QTest::newRow("command-line only") << "/LOG=129" << 128 << 129 << "";
        QTest::newRow("file per hour") << "/LOG=256" << 256 << 256 << "";
    }

    void logMenu()
    {
        QFETCH(QString, log);
        QFETCH(int, bit);
        QFETCH(int, flags);
        QFETCH(QString, line);
        WardlineMainWindow window(log.isEmpty() ? QStringList() : QStringList{log});
        const int initial = window.engine()->logFlags();
        for (int b = 1; b <= 512; b <<= 1) {
            QVERIFY(window.logAction(b));
            QCOMPARE(window.logAction(b)->isChecked(), (initial & b) != 0);
            QCOMPARE(window.logAction(b)->isEnabled(), b < 128);
        }
        QVERIFY(window.logAction(bit)->text().startsWith(QStringLiteral("Log %1 (").arg(bit)));
        const QString logFile = Logger::instance().fileName(QDateTime::currentDateTime());
        const qsizetype before = readAll(logFile).size();
        window.logAction(bit)->trigger();
        QCOMPARE(window.engine()->logFlags(), flags);
        const QByteArray written = readAll(logFile).mid(before);
        if (line.isEmpty())
            QVERIFY(!written.contains("Log control changed"));
        else
            QVERIFY2(written.contains(" - " + line.toUtf8() + "\n"), written.constData());
    }

    // Both lines are echoed: "off" before the echo stops, "on" after it restarts.
    void switchDebug()
    {
        WardlineMainWindow window(QStringList{});
        QVERIFY(window.debugAction()->isChecked());
        QVERIFY(window.engine()->debugEcho());
        QTest::ignoreMessage(QtDebugMsg, "TAVEX-WL::Switch Debug off");
        window.debugAction()->trigger();
        QVERIFY(!window.engine()->debugEcho());
        QTest::ignoreMessage(QtDebugMsg, "TAVEX-WL::Switch Debug on");
        window.debugAction()->trigger();
        QVERIFY(window.engine()->debugEcho());
    }

    void progressDialog()
    {
        WardlineMainWindow window(QStringList{});
        window.show();
        emit window.engine()->progress("Loading Input Modules - Please Wait", 1, 3);
        QProgressDialog *dialog = window.progressDialog();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QVERIFY(!dialog->isModal());
        QCOMPARE(dialog->labelText(), QStringLiteral("Loading Input Modules - Please Wait"));
        QCOMPARE(dialog->value(), 1);
        emit window.engine()->progress("Loading Input Modules - Please Wait", 3, 3);
        QVERIFY(!dialog->isVisible());
        // A finished dialog does not come back by itself.
        QTest::qWait(100);
        QVERIFY(!dialog->isVisible());
    }

    // Without modules the process configuration is the last thing loaded:
    // its progress dialog closes all the same.
    void progressClosesWithoutModules()
    {
        writeFile(alarmFolder("Bare") + "/proc_def.cfg", "[a]\nType=Time\nWindow=00:00-24:00\n");
        QDir().mkpath(alarmFolder("Bare") + "/inputs");
        QDir().mkpath(alarmFolder("Bare") + "/outputs");
        WardlineMainWindow window(QStringList{"/ALARMSYSTEM=Bare", "/UDP=NO"});
        window.show();
        QVERIFY(window.Start());
        QProgressDialog *dialog = window.progressDialog();
        QVERIFY(dialog);
        QCOMPARE(dialog->labelText(), QStringLiteral("Loading Config - Please Wait"));
        QTest::qWait(100);
        QVERIFY(!dialog->isVisible());
    }
};

QTEST_MAIN(tst_WardlineMainWindow)
#include "tst_WardlineMainWindow.moc"
