#include "WardlineMainWindow.h"
#include "alarmEngine.h"
#include "diagnostics.h"
#include "processFilterModel.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
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

const QString longName = QStringLiteral("Tank overflow alarm with a very long descriptive name");
const QString longMask = QStringLiteral("Maintenance window for the whole tank farm area");

// Positions: 0 "A1 level" OFF, 1 "A2 level" ON, 2 "Pump/B" OFF, 3 "Pump fault"
// ON, 4 "Combined" (reads "Ghost", which is no process), 5 "Broken" (no
// valid rule), 6 the long name, OFF and masked by 7, a time window always ON.
const QByteArray plantProcesses = "[A1 level]\nType=Input\nBlock=1\nIndex=1\nAlarm=1\n"
                                  "[A2 level]\nType=Input\nBlock=1\nIndex=2\nAlarm=1\n"
                                  "[Pump/B]\nType=Input\nBlock=1\nIndex=3\nAlarm=1\n"
                                  "[Pump fault]\nType=OR\nInputs=A1 level, A2 level\n"
                                  "[Combined]\nType=AND\nInputs=A1 level, Ghost\n"
                                  "[Broken]\nType=Bogus\n"
                                  "[" + longName.toUtf8() + "]\nType=NOT\nInput=A2 level\nMask=" + longMask.toUtf8()
                                  + "\n[" + longMask.toUtf8() + "]\nType=Time\nWindow=00:00-24:00\n";

const QStringList allNames{"A1 level", "A2 level", "Pump/B", "Pump fault", "Combined", "Broken", longName, longMask};

} // namespace

// The diagnostics window on a running engine: the alarm system Plant with a
// file input module and seven processes, opened through the "Show" item.
class tst_diagnostics : public QObject
{
    Q_OBJECT

private:
    QString alarmFolder() const { return m_root.path() + "/sys/config/alarms/Plant"; }

    void startPlant()
    {
        m_plant = std::make_unique<WardlineMainWindow>(QStringList{"/ALARMSYSTEM=Plant", "/UDP=NO"});
        m_plant->show();
        QVERIFY(m_plant->Start());
        m_plant->engine()->startProcessing();
        QTRY_VERIFY(m_plant->engine()->cycles() > 2);
    }

    // Opens the window anew, so that its rows are as made.
    diagnostics *openFresh()
    {
        if (m_plant->diagnosticsWindow())
            delete m_plant->diagnosticsWindow();
        m_plant->diagnosticsOn();
        diagnostics *window = m_plant->diagnosticsWindow();
        if (window)
            window->resize(1000, 600);
        return window;
    }

    static QStringList visibleNames(const diagnostics *window)
    {
        QStringList names;
        const processFilterModel *filter = window->filterModel();
        for (int row = 0; row < filter->rowCount(); ++row)
            names << filter->index(row, processListModel::Name).data().toString();
        return names;
    }

    static QStringList invalidNames(const diagnostics *window)
    {
        QStringList names;
        for (int i = 0; i < window->listViewInvalidProcesses->topLevelItemCount(); ++i)
            names << window->listViewInvalidProcesses->topLevelItem(i)->text(0);
        return names;
    }

    static void select(diagnostics *window, const QStringList &names)
    {
        QItemSelectionModel *selection = window->lvProcesses->selectionModel();
        selection->clearSelection();
        const processFilterModel *filter = window->filterModel();
        for (const QString &name : names) {
            const int row = window->processModel()->rowOf(name);
            const QModelIndex index = filter->mapFromSource(window->processModel()->index(row, 0));
            QVERIFY2(index.isValid(), qPrintable(name));
            selection->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    static int stateOf(const diagnostics *window, const QString &name)
    {
        return window->processModel()->at(window->processModel()->rowOf(name)).state;
    }

    QTemporaryDir m_root;
    std::unique_ptr<WardlineMainWindow> m_plant;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        qputenv("QX_ROOT", QFile::encodeName(m_root.path()));
        qputenv("QX_SYSTEM", "sys");
        qunsetenv("QX_WORKSTATION");
        writeFile(alarmFolder() + "/inputs/al_acq_0001.cfg",
                  "[System]\nModule=filein\nName=Plant simulator\n[File]\nPath=plant.txt\nPollMs=50\n");
        writeFile(alarmFolder() + "/inputs/plant.txt", "0 1 0\n");
        QDir().mkpath(alarmFolder() + "/outputs");
        writeFile(alarmFolder() + "/proc_def.cfg", plantProcesses);
        const QString modules = m_root.path() + "/sys/windows/lib/alarms/";
        QVERIFY(QDir().mkpath(modules));
        QVERIFY(QFile::copy(FILEIN_LIBRARY, modules + "libfilein.so"));
        startPlant();
    }

    void cleanupTestCase() { m_plant.reset(); }

    // "Show" makes the window, its close box hides it, "Show" brings the
    // same window back, and "Show" on a shown window deletes it.
    void showItem()
    {
        QAction *show = m_plant->showAction();
        QVERIFY(!m_plant->diagnosticsWindow());
        show->trigger();
        QPointer<diagnostics> window = m_plant->diagnosticsWindow();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QVERIFY(show->isChecked());
        QCOMPARE(window->windowTitle(), QStringLiteral("Diagnostics"));
        QCOMPARE(window->processModel()->rowCount(), int(allNames.size()));
        QVERIFY(!window->pushFilterBack->isEnabled());
        QVERIFY(window->listViewInvalidProcesses->isHidden());

        window->close();
        QVERIFY(window);
        QVERIFY(!show->isChecked());
        show->trigger();
        QCOMPARE(m_plant->diagnosticsWindow(), window.data());
        QVERIFY(window->isVisible());
        QVERIFY(show->isChecked());

        show->trigger();
        QVERIFY(!window);
        QVERIFY(!show->isChecked());
    }

    void rows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("rule");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("mask");
        QTest::newRow("input off") << "A1 level" << "0" << "Input" << 0 << "";
        QTest::newRow("input on") << "A2 level" << "1" << "Input" << 1 << "";
        QTest::newRow("or") << "Pump fault" << "3" << "OR" << 1 << "";
        QTest::newRow("and, uncalculated") << "Combined" << "4" << "AND" << -1 << "";
        QTest::newRow("invalid rule") << "Broken" << "5" << "INVALID" << -1 << "";
        QTest::newRow("not, masked") << longName << "6" << "NOT" << 0 << longMask;
        QTest::newRow("time window") << longMask << "7" << "Time" << 1 << "";
    }

    void rows()
    {
        QFETCH(QString, name);
        QFETCH(QString, number);
        QFETCH(QString, rule);
        QFETCH(int, state);
        QFETCH(QString, mask);
        diagnostics *window = openFresh();
        QVERIFY(window);
        const processListModel *model = window->processModel();
        const int row = model->rowOf(name);
        QVERIFY(row >= 0);
        QCOMPARE(model->index(row, processListModel::Number).data().toString(), number);
        QCOMPARE(model->index(row, processListModel::Rule).data().toString(), rule);
        QCOMPARE(model->index(row, processListModel::State).data().toString(), QString::number(state));
        QCOMPARE(model->index(row, processListModel::Mask).data().toString(), mask);
    }

    // The state name of 0 reads "OFF" as the row is made and "Off" once a
    // refresh has rewritten it; other names do not change.
    void offBeforeAndAfterRefresh()
    {
        diagnostics *window = openFresh();
        const processListModel *model = window->processModel();
        const QModelIndex off = model->index(model->rowOf("A1 level"), processListModel::StateName);
        const QModelIndex on = model->index(model->rowOf("A2 level"), processListModel::StateName);
        const QModelIndex unknown = model->index(model->rowOf("Combined"), processListModel::StateName);
        QCOMPARE(off.data().toString(), QStringLiteral("OFF"));
        QCOMPARE(on.data().toString(), QStringLiteral("ON"));
        QCOMPARE(unknown.data().toString(), QStringLiteral("Unknown"));
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
        m_plant->UpdateDiagnosticsScreen();
        QCOMPARE(off.data().toString(), QStringLiteral("Off"));
        QCOMPARE(on.data().toString(), QStringLiteral("ON"));
        QVERIFY(!changed.isEmpty());
        // Nothing changed since: a second refresh announces nothing.
        changed.clear();
        m_plant->UpdateDiagnosticsScreen();
        QCOMPARE(changed.count(), 0);
    }

    void uncalculated()
    {
        diagnostics *window = openFresh();
        const uncalculatedListModel *errors = window->errorModel();
        QCOMPARE(errors->headerData(uncalculatedListModel::Cause, Qt::Horizontal).toString(),
                 QStringLiteral("Error Cause"));
        const auto rows = [errors] {
            QStringList rows;
            for (int row = 0; row < errors->rowCount(); ++row)
                rows << errors->index(row, 0).data().toString() + ": " + errors->index(row, 1).data().toString();
            return rows;
        };
        const QStringList expected{"Combined: Input invalid or uncalculated", "Broken: Invalid process rule"};
        QCOMPARE(rows(), expected);
        m_plant->UpdateDiagnosticsScreen();
        QCOMPARE(rows(), expected);
    }

    void nameFilter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("empty") << "" << allNames;
        QTest::newRow("A*, contains, case-sensitive") << "A*" << QStringList{"A1 level", "A2 level"};
        QTest::newRow("a*") << "a*" << QStringList{"Pump fault", longName, longMask};
        QTest::newRow("* crosses /") << "Pump*B" << QStringList{"Pump/B"};
        QTest::newRow("? in the middle") << "P?mp" << QStringList{"Pump/B", "Pump fault"};
        QTest::newRow("set") << "[AB]" << QStringList{"A1 level", "A2 level", "Pump/B", "Broken"};
        QTest::newRow("no match") << "Zebra" << QStringList{};
        QTest::newRow("unclosed set") << "[A" << QStringList{};
    }

    // Rows whose names contain a match stay; the first of them is selected
    // (an unchanged, empty text changes nothing).
    void nameFilter()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, shown);
        diagnostics *window = openFresh();
        window->lineEditFilter->setText(filter);
        QCOMPARE(visibleNames(window), shown);
        QCOMPARE(window->selectedNames(), filter.isEmpty() ? QStringList() : shown.mid(0, 1));
    }

    // A selection the filter hides is not forced.
    void hiddenRowsAreNotSelected()
    {
        diagnostics *window = openFresh();
        select(window, {"A2 level", "Pump/B"});
        window->lineEditFilter->setText("Pump");
        QCOMPARE(window->selectedNames(), QStringList{"Pump/B"});
        window->lineEditFilter->setText("A2");
        QCOMPARE(window->selectedNames(), QStringList{"A2 level"});
    }

    void inputFilter()
    {
        diagnostics *window = openFresh();
        window->lineEditFilter->setText("P*");
        window->lineEditProcessInputFilter->setText("Combined");
        QCOMPARE(visibleNames(window), QStringList{"A1 level"});
        QVERIFY(!window->listViewInvalidProcesses->isHidden());
        QCOMPARE(invalidNames(window), QStringList{"Ghost"});
        QCOMPARE(window->listViewInvalidProcesses->headerItem()->text(0),
                 QStringLiteral("Warning - Invalid processes!"));
        QVERIFY(!window->lineEditFilter->isEnabled());
        QVERIFY(window->pushFilterBack->isEnabled());
        QCOMPARE(window->filterStackSize(), 1);

        // A process whose inputs all exist.
        window->lineEditProcessInputFilter->setText("Pump fault");
        QCOMPARE(visibleNames(window), (QStringList{"A1 level", "A2 level"}));
        QVERIFY(window->listViewInvalidProcesses->isHidden());
        QCOMPARE(window->filterStackSize(), 2);

        // A name that is no process shows nothing and stacks nothing.
        window->lineEditProcessInputFilter->setText("Nothing");
        QCOMPARE(visibleNames(window), QStringList{});
        QCOMPARE(window->filterStackSize(), 2);

        // Emptied by hand: the input filter in force goes on the stack.
        window->lineEditProcessInputFilter->setText("");
        QVERIFY(window->lineEditFilter->isEnabled());
        QCOMPARE(visibleNames(window), (QStringList{"Pump/B", "Pump fault"}));
        QCOMPARE(window->filterStackSize(), 3);

        window->pushFilterBack->click();
        QCOMPARE(window->lineEditProcessInputFilter->text(), QStringLiteral("Pump fault"));
        QCOMPARE(visibleNames(window), (QStringList{"A1 level", "A2 level"}));
        // Going on from a filter that "<<" brought back comes back to it.
        window->lineEditProcessInputFilter->setText("Combined");
        QCOMPARE(window->filterStackSize(), 3);
        window->pushFilterBack->click();
        QCOMPARE(window->lineEditProcessInputFilter->text(), QStringLiteral("Pump fault"));
        QCOMPARE(window->filterStackSize(), 2);
        window->pushFilterBack->click();
        QCOMPARE(window->lineEditProcessInputFilter->text(), QStringLiteral("Combined"));
        QCOMPARE(visibleNames(window), QStringList{"A1 level"});
        QCOMPARE(invalidNames(window), QStringList{"Ghost"});
        QVERIFY(window->pushFilterBack->isEnabled());
        window->pushFilterBack->click();
        QCOMPARE(window->lineEditProcessInputFilter->text(), QString());
        QCOMPARE(window->lineEditFilter->text(), QStringLiteral("P*"));
        QCOMPARE(visibleNames(window), (QStringList{"Pump/B", "Pump fault"}));
        QVERIFY(window->listViewInvalidProcesses->isHidden());
        QVERIFY(!window->pushFilterBack->isEnabled());
        QCOMPARE(window->filterStackSize(), 0);
    }

    // A double click and the context menu copy the row's name into a filter.
    void copyNames()
    {
        diagnostics *window = openFresh();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QModelIndex fault = window->filterModel()->index(window->processModel()->rowOf("Pump fault"), 0);
        window->diagProcessDoubleClicked(fault);
        QCOMPARE(window->lineEditProcessInputFilter->text(), QStringLiteral("Pump fault"));
        QCOMPARE(visibleNames(window), (QStringList{"A1 level", "A2 level"}));

        const QModelIndex a2 = window->filterModel()->index(1, 0);
        window->contextMenuRequested(window->lvProcesses->visualRect(a2).center());
        QMenu *menu = window->contextMenu();
        QVERIFY(menu);
        const QList<QAction *> actions = menu->actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("Copy to Filter"));
        QCOMPARE(actions.at(1)->text(), QStringLiteral("Copy to Process Input Filter"));
        actions.at(0)->trigger();
        QCOMPARE(window->lineEditFilter->text(), QStringLiteral("A2 level"));
        actions.at(1)->trigger();
        QCOMPARE(window->lineEditProcessInputFilter->text(), QStringLiteral("A2 level"));
        menu->close();
    }

    void selectedPanel_data()
    {
        QTest::addColumn<QStringList>("selection");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<int>("enabled"); // of the nine buttons, in order, as bits
        const QString none = "no process selected";
        QTest::newRow("none") << QStringList{} << none << none << none << 0;
        QTest::newRow("one input") << QStringList{"A1 level"} << "A1 level" << "OFF" << "" << 0x1ff;
        QTest::newRow("one non-input") << QStringList{"Pump fault"} << "Pump fault" << "ON" << "" << 0x1f;
        QTest::newRow("long name and mask")
            << QStringList{longName} << longName.left(35) + "<br>" + longName.mid(35) << "OFF"
            << longMask.left(35) + "<br>" + longMask.mid(35) << 0x1f;
        QTest::newRow("non-inputs only") << QStringList{"Pump fault", "Combined"} << "2 processes selected" << ""
                                         << "" << 0x1f;
        QTest::newRow("same state") << QStringList{"A2 level", "Pump fault"} << "2 processes selected" << "ON" << ""
                                    << 0x1ff;
    }

    void selectedPanel()
    {
        QFETCH(QStringList, selection);
        QFETCH(QString, name);
        QFETCH(QString, state);
        QFETCH(QString, mask);
        QFETCH(int, enabled);
        diagnostics *window = openFresh();
        select(window, selection);
        QCOMPARE(window->labelProcName->text(), name);
        QCOMPARE(window->labelProcState->text(), state);
        QCOMPARE(window->labelMask->text(), mask);
        const auto &buttons = window->forceButtons();
        for (size_t i = 0; i < buttons.size(); ++i)
            QVERIFY2(buttons[i].button->isEnabled() == bool(enabled & (1 << (8 - i))), qPrintable(buttons[i].text));
    }

    // One press arms the button for a second; the same button again forces,
    // another button takes over the waiting and forces nothing.
    void twoPresses()
    {
        diagnostics *window = openFresh();
        select(window, {"A1 level"});
        QSignalSpy forced(window, qOverload<int, const QStringList &>(&diagnostics::diagForceState));
        const QColor normal = window->pushForceOn->palette().color(QPalette::Button);

        window->pushForceOn->click();
        QCOMPARE(window->waitingButton(), window->pushForceOn);
        QCOMPARE(window->pushForceOn->text(), QStringLiteral("Press again!"));
        QCOMPARE(window->pushForceOn->palette().color(QPalette::Button), QColor(255, 0, 0));
        QCOMPARE(forced.count(), 0);
        QTRY_COMPARE(window->pushForceOn->text(), QStringLiteral("Force On"));
        QVERIFY(!window->waitingButton());
        QCOMPARE(window->pushForceOn->palette().color(QPalette::Button), normal);
        QCOMPARE(forced.count(), 0);

        window->pushForceOn->click();
        window->pushForceOff->click();
        QCOMPARE(window->waitingButton(), window->pushForceOff);
        QCOMPARE(window->pushForceOn->text(), QStringLiteral("Force On"));
        QCOMPARE(window->pushForceOff->text(), QStringLiteral("Press again!"));
        QCOMPARE(forced.count(), 0);

        QTest::ignoreMessage(QtDebugMsg, "TAVEX-WL:Plant:WLd:1 items selected.");
        window->pushForceOff->click();
        QVERIFY(!window->waitingButton());
        QCOMPARE(window->pushForceOff->text(), QStringLiteral("Force Off"));
        QCOMPARE(forced.count(), 1);
        QCOMPARE(forced.at(0).at(0).toInt(), 2);
        QCOMPARE(forced.at(0).at(1).toStringList(), QStringList{"A1 level"});
        // The refresh of every second shows the forced state.
        QTRY_COMPARE(stateOf(window, "A1 level"), 2);
        QCOMPARE(window->labelProcState->text(), QStringLiteral("Force OFF"));
    }

    // Forces go through the rule library and show in the list once a cycle
    // has run; Normal ends them.
    void forceStates_data()
    {
        QTest::addColumn<QStringList>("selection");
        QTest::addColumn<int>("button"); // 1 to 9
        QTest::addColumn<QStringList>("changed");
        QTest::addColumn<int>("state");
        QTest::newRow("force on") << QStringList{"A1 level"} << 2 << QStringList{"A1 level"} << 3;
        QTest::newRow("force off") << QStringList{"A1 level"} << 1 << QStringList{"A1 level"} << 2;
        QTest::newRow("normal") << QStringList{"A1 level"} << 5 << QStringList{"A1 level"} << 0;
        QTest::newRow("ignore two") << QStringList{"A1 level", "Pump/B"} << 4 << QStringList{"A1 level", "Pump/B"}
                                    << 5;
        QTest::newRow("normal two") << QStringList{"A1 level", "Pump/B"} << 5 << QStringList{"A1 level", "Pump/B"}
                                    << 0;
        QTest::newRow("ack contributors") << QStringList{"Pump fault"} << 8 << QStringList{"Pump fault", "A2 level"}
                                          << 4;
    }

    void forceStates()
    {
        QFETCH(QStringList, selection);
        QFETCH(int, button);
        QFETCH(QStringList, changed);
        QFETCH(int, state);
        diagnostics *window = openFresh();
        select(window, selection);
        QPushButton *push = window->forceButtons()[size_t(button - 1)].button;
        push->click();
        push->click();
        for (const QString &name : changed)
            QTRY_COMPARE(stateOf(window, name), state);
    }

    // A force outlives the engine: the state file keeps it.
    void forceSurvivesRestart()
    {
        diagnostics *window = openFresh();
        select(window, {"Pump/B"});
        window->pushForceOn->click();
        window->pushForceOn->click();
        QTRY_COMPARE(stateOf(window, "Pump/B"), 3);
        m_plant.reset();
        startPlant();
        window = openFresh();
        QCOMPARE(stateOf(window, "Pump/B"), 3);
        QCOMPARE(window->processModel()->stateNameAt(window->processModel()->rowOf("Pump/B")),
                 QStringLiteral("Force ON"));
        select(window, {"Pump/B"});
        window->pushNormal->click();
        window->pushNormal->click();
        QTRY_COMPARE(stateOf(window, "Pump/B"), 0);
    }

    void mergeUncalculated_data()
    {
        QTest::addColumn<QList<int>>("before");
        QTest::addColumn<QList<int>>("after");
        QTest::newRow("fill") << QList<int>{} << QList<int>{1, 2, 3};
        QTest::newRow("empty") << QList<int>{1, 2, 3} << QList<int>{};
        QTest::newRow("same rows, new causes") << QList<int>{1, 2, 3} << QList<int>{1, 2, 3};
        QTest::newRow("drop ends") << QList<int>{1, 2, 3} << QList<int>{2};
        QTest::newRow("fill gap") << QList<int>{1, 5} << QList<int>{1, 2, 3, 5};
        QTest::newRow("disjoint") << QList<int>{1, 2} << QList<int>{3, 4};
        QTest::newRow("interleaved") << QList<int>{1, 3, 5, 7} << QList<int>{0, 2, 3, 6, 7, 8};
        QList<int> odd;
        QList<int> even;
        for (int i = 0; i < 400; i += 2) {
            even << i;
            odd << i + 1;
        }
        QTest::newRow("many runs") << even << odd;
    }

    // The uncalculated list takes a new list row by row; the model tester
    // checks every step against what the model announced.
    void mergeUncalculated()
    {
        QFETCH(QList<int>, before);
        QFETCH(QList<int>, after);
        const auto entries = [](const QList<int> &positions, int error) {
            QList<uncalculatedListModel::entry> list;
            for (int position : positions)
                list.append({position, QStringLiteral("p%1").arg(position), error});
            return list;
        };
        uncalculatedListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setEntries(entries(before, 2));
        model.setEntries(entries(after, 3));
        QCOMPARE(model.rowCount(), int(after.size()));
        for (int row = 0; row < after.size(); ++row) {
            QCOMPARE(model.at(row).position, after.at(row));
            QCOMPARE(model.index(row, uncalculatedListModel::Cause).data().toString(),
                     QStringLiteral("Mask invalid or uncalculated"));
        }
    }

    // Only rows whose shown state changes are announced, in runs.
    void refreshAnnouncesChangedRows()
    {
        processListModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QList<processListModel::process> processes;
        for (int i = 0; i < 10; ++i)
            processes.append({i, QStringLiteral("p%1").arg(i), 1, 1, QString()});
        processes[4].state = 0;
        model.setProcesses(processes);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        const QList<int> next{1, 1, 3, 3, 0, 1, 1, 5, 1, 1};
        for (int row = 0; row < 10; ++row)
            model.setState(row, next.at(row));
        model.endRefresh();
        QCOMPARE(changed.count(), 2); // rows 2 to 4 (4: "OFF" becomes "Off"), row 7
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 2);
        QCOMPARE(changed.at(0).at(1).toModelIndex().row(), 4);
        QCOMPARE(changed.at(1).at(0).toModelIndex().row(), 7);
        QCOMPARE(changed.at(1).at(1).toModelIndex().row(), 7);
        QCOMPARE(model.index(4, processListModel::StateName).data().toString(), QStringLiteral("Off"));
    }

    // A selected row keeps the colours of its state.
    void rowColours()
    {
        diagnostics *window = openFresh();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // The time window is ON all day.
        const QModelIndex on = window->filterModel()->index(window->processModel()->rowOf(longMask),
                                                            processListModel::Rule);
        const auto pixel = [&] {
            const QRect cell = window->lvProcesses->visualRect(on);
            return window->lvProcesses->viewport()->grab().toImage().pixelColor(cell.center().x(), cell.top() + 2);
        };
        select(window, {"A1 level"});
        QCOMPARE(pixel(), QColor(162, 0, 0));
        select(window, {longMask});
        QCOMPARE(pixel(), QColor(162, 128, 128));
    }
};

QTEST_MAIN(tst_diagnostics)
#include "tst_diagnostics.moc"
