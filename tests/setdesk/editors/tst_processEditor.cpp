#include "config_plugin_base.h"
#include "editorFixture.h"
#include "server_comms.h"
#include "setdeskMainWindow.h"

#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableView>
#include <QTest>

namespace {

const QString pumps = QStringLiteral("config/alarms/Pumps/proc_def.cfg");
const QString lockList = QStringLiteral("server_lock_list.txt");

QByteArray demoProcesses()
{
    QFile file(QFINDTESTDATA("../../../demo/root/North/config/alarms/Pumps/proc_def.cfg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The alarm process editor of a logged-in editor, found by its widgets' names.
class processView
{
public:
    explicit processView(config_plugin_base *editor)
        : editor(editor)
    {
    }

    template <class T> T *get(const char *name) const { return editor->findChild<T *>(QLatin1String(name)); }
    QPushButton *button(const char *name) const { return get<QPushButton>(name); }
    QLineEdit *field(const char *name) const { return get<QLineEdit>(name); }
    QTableView *table() const { return get<QTableView>("processTable"); }
    int rows() const { return table()->model()->rowCount(); }
    QString message() const { return get<QLabel>("messageBar")->text(); }
    bool editable() const { return get<QGroupBox>("processForm")->isEnabled(); }

    bool select(const QString &process) const
    {
        QAbstractItemModel *model = table()->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            if (model->index(row, 0).data().toString() == process) {
                table()->setCurrentIndex(model->index(row, 0));
                return field("nameEdit")->text() == process;
            }
        }
        return false;
    }

    config_plugin_base *editor;
};

} // namespace

// The alarm process editor against a real server: the alarm systems it
// offers, check-out, edits through the form, the rule library's check before
// saving, renames that follow the readers, and files held by others.
class tst_processEditor : public QObject
{
    Q_OBJECT

private:
    // Logged in with North's Pumps alarm system on the server, the editor
    // open on it read-only.
    static config_plugin_base *openPumps(editorFixture &fx, const QString &user = QStringLiteral("ops"),
                                         const QString &password = QStringLiteral("secret"))
    {
        fx.makeFile(pumps, demoProcesses());
        if (!fx.logIn(user, password))
            return nullptr;
        config_plugin_base *editor = fx.open(QStringLiteral("Alarms/Processes"));
        if (!editor)
            return nullptr;
        processView view(editor);
        return QTest::qWaitFor([&] { return view.rows() == 14; }, 10000) ? editor : nullptr;
    }

    static bool checkOut(editorFixture &fx, const processView &view)
    {
        view.button("checkoutButton")->click();
        return QTest::qWaitFor([&] { return view.editable(); }, 10000)
               && fx.storedContent(lockList).contains(pumps.toUtf8() + "=ops,");
    }

private slots:
    void offersTheFoldersHoldingProcesses()
    {
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/alarms/Tanks/proc_def.cfg"), "[t]\nType=Input\nBlock=1\nIndex=1\n");
        fx.makeFile(QStringLiteral("config/alarms/Empty/readme.txt"), "none");
        fx.makeFile(QStringLiteral("config/alarms/Pumps/inputs/proc_def.cfg"), "[deep]\n");
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        auto *systems = view.get<QComboBox>("alarmSystemBox");
        QStringList offered;
        for (int i = 0; i < systems->count(); ++i)
            offered << systems->itemText(i);
        QCOMPARE(offered, (QStringList{"Pumps", "Tanks"}));
        QCOMPARE(systems->currentText(), QStringLiteral("Pumps"));
        QCOMPARE(view.table()->model()->index(0, 0).data().toString(), QStringLiteral("Pump1 pressure high"));
        QCOMPARE(view.table()->model()->index(0, 2).data().toString(), QString());
        QCOMPARE(view.table()->model()->index(12, 2).data().toString(),
                 QStringLiteral("Pump1 fault, Tank level low for 5 s, Valve position mismatch"));
        QVERIFY(view.message().contains(QLatin1String("read-only")));
        QVERIFY(!view.editable());
        QVERIFY(!view.button("saveButton")->isEnabled());

        // Read-only, another alarm system opens at once.
        systems->setCurrentIndex(1);
        emit systems->activated(1);
        QTRY_COMPARE(view.rows(), 1);
        QCOMPARE(view.table()->model()->index(0, 0).data().toString(), QStringLiteral("t"));
    }

    void savesAnEditWithABackupAndChecksIn()
    {
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/alarms/Tanks/proc_def.cfg"), "[t]\n");
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        QVERIFY(checkOut(fx, view));
        QVERIFY(view.message().contains(QLatin1String("checked out to you")));

        QVERIFY(view.select(QStringLiteral("Valve open")));
        QCOMPARE(view.field("forceTimeoutEdit")->text(), QStringLiteral("600"));
        QVERIFY(!view.editor->isModified());
        view.field("forceTimeoutEdit")->setText(QStringLiteral("900"));
        view.field("maskEdit")->setText(QStringLiteral("Maintenance"));
        view.button("applyButton")->click();
        QVERIFY(view.editor->isModified());
        QVERIFY(fx.window().action(QStringLiteral("Save"))->isEnabled());
        QCOMPARE(view.table()->model()->index(5, 5).data().toString(), QStringLiteral("900"));

        // Another alarm system cannot push the edits away.
        auto *systems = view.get<QComboBox>("alarmSystemBox");
        QTRY_COMPARE(systems->count(), 2);
        systems->setCurrentIndex(1);
        emit systems->activated(1);
        QCOMPARE(systems->currentText(), QStringLiteral("Pumps"));
        QVERIFY(view.message().contains(QLatin1String("before opening another alarm system")));
        QVERIFY(view.editor->isModified());

        QByteArray expected = demoProcesses();
        expected.replace("ForceTimeout=600", "ForceTimeout=900\nMask=Maintenance");
        view.button("saveButton")->click();
        QTRY_COMPARE(fx.storedContent(pumps), expected);
        QTRY_VERIFY(view.message().startsWith(QLatin1String("Saved")));
        QVERIFY(!view.editor->isModified());
        QVERIFY(!fx.window().action(QStringLiteral("Save"))->isEnabled());
        QCOMPARE(fx.backups().filter(QRegularExpression(QStringLiteral("^proc_def\\.cfg\\.\\d+$"))).size(), 1);
        QVERIFY(view.editable());

        view.button("checkinButton")->click();
        QTRY_VERIFY(!fx.storedContent(lockList).contains(pumps.toUtf8()));
        QTRY_VERIFY(!view.editable());
        QVERIFY(view.message().startsWith(QLatin1String("Checked in")));
        QCOMPARE(fx.storedContent(pumps), expected);
    }

    void refusesWhatTheRuleLibraryWouldNotLoad()
    {
        editorFixture fx;
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        QVERIFY(checkOut(fx, view));
        const QByteArray before = fx.storedContent(pumps);

        QVERIFY(view.select(QStringLiteral("Pump1 fault")));
        view.field("inputsEdit")->clear();
        view.button("applyButton")->click();
        view.button("saveButton")->click();
        QCOMPARE(view.message(), QStringLiteral("Not saved: Process Pump1 fault (line 44): AND needs Inputs"));
        QCOMPARE(view.get<QListWidget>("problemList")->count(), 1);
        QVERIFY(view.editor->isModified());

        // A second problem is listed too; the edits stay and can be mended.
        QVERIFY(view.select(QStringLiteral("Any plant alarm")));
        view.field("maskEdit")->setText(QStringLiteral("Nobody"));
        view.button("saveButton")->click();
        QVERIFY(view.message().startsWith(QLatin1String("Not saved: Process Pump1 fault (line 44): AND needs Inputs (and 1 more")));
        QCOMPARE(view.get<QListWidget>("problemList")->item(1)->text(),
                 QStringLiteral("Process Any plant alarm (line 72): its mask Nobody is no process"));
        QCOMPARE(fx.storedContent(pumps), before);
        QVERIFY(fx.backups().isEmpty());

        QVERIFY(view.select(QStringLiteral("Pump1 fault")));
        QVERIFY(view.field("inputsEdit")->text().isEmpty());
        view.field("inputsEdit")->setText(QStringLiteral("Pump1 running"));
        QVERIFY(view.select(QStringLiteral("Any plant alarm")));
        QCOMPARE(view.field("maskEdit")->text(), QStringLiteral("Nobody"));
        view.field("maskEdit")->setText(QStringLiteral("Maintenance"));
        view.button("saveButton")->click();
        QTRY_VERIFY(fx.storedContent(pumps).contains("[Pump1 fault]\nType=AND\nInputs=Pump1 running\n"));
        QCOMPARE(view.get<QListWidget>("problemList")->count(), 0);
    }

    void renamesFollowTheProcessesThatRead()
    {
        editorFixture fx;
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        QVERIFY(checkOut(fx, view));

        QVERIFY(view.select(QStringLiteral("Pump1 running")));
        view.field("nameEdit")->setText(QStringLiteral("Maintenance"));
        view.button("renameButton")->click();
        QVERIFY(view.message().contains(QLatin1String("there is already a process Maintenance")));
        QCOMPARE(view.table()->model()->index(1, 0).data().toString(), QStringLiteral("Pump1 running"));

        view.field("nameEdit")->setText(QStringLiteral("Pump1 motor on"));
        view.button("renameButton")->click();
        QVERIFY(view.message().contains(QLatin1String("Pump1 fault, Pump1 stopped, Pump1 start pulse")));
        QCOMPARE(view.table()->model()->index(6, 2).data().toString(), QStringLiteral("Pump1 pressure high, Pump1 motor on"));
        view.button("saveButton")->click();
        QByteArray expected = demoProcesses();
        expected.replace("Pump1 running", "Pump1 motor on");
        QTRY_COMPARE(fx.storedContent(pumps), expected);
    }

    void addsAndRemovesProcesses()
    {
        editorFixture fx;
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        QVERIFY(checkOut(fx, view));

        view.button("addButton")->click();
        QCOMPARE(view.rows(), 15);
        QCOMPARE(view.field("nameEdit")->text(), QStringLiteral("New process 1"));
        view.button("saveButton")->click();
        QVERIFY(view.message().contains(QLatin1String("New process 1 (line 86): Input needs Block and Index")));
        view.field("blockEdit")->setText(QStringLiteral("1"));
        view.field("indexEdit")->setText(QStringLiteral("7"));
        view.field("nameEdit")->setText(QStringLiteral("Spare input"));
        view.button("applyButton")->click();

        QVERIFY(view.select(QStringLiteral("Night shift")));
        view.button("removeButton")->click();
        QCOMPARE(view.rows(), 14);
        QVERIFY(view.select(QStringLiteral("Maintenance")));
        view.button("removeButton")->click();
        QVERIFY(view.message().contains(QLatin1String("Any plant alarm still read")));

        view.button("saveButton")->click();
        QVERIFY(view.message().contains(QLatin1String("its mask Maintenance is no process")));
        view.button("revertButton")->click();
        QTRY_COMPARE(view.rows(), 14);
        QVERIFY(!view.editor->isModified());
        QVERIFY(view.select(QStringLiteral("Night shift")));
        QVERIFY(view.editable());

        view.button("addButton")->click();
        view.field("blockEdit")->setText(QStringLiteral("1"));
        view.field("indexEdit")->setText(QStringLiteral("7"));
        view.button("saveButton")->click();
        QTRY_COMPARE(fx.storedContent(pumps), demoProcesses() + "\n[New process 1]\nType=Input\nBlock=1\nIndex=7\n");
    }

    void keepsTheEditsWhenTheServerRefuses()
    {
        editorFixture fx;
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        QVERIFY(checkOut(fx, view));
        QVERIFY(view.select(QStringLiteral("Tank level low")));
        view.field("alarmEdit")->setText(QStringLiteral("<= 15"));
        view.button("applyButton")->click();

        // The lock goes behind the editor's back, and another user takes it.
        fx.comms()->releaseLock(pumps, QStringLiteral("Home"));
        QTRY_VERIFY(!fx.storedContent(lockList).contains(pumps.toUtf8()));
        QVERIFY(fx.lockAsOtherUser(pumps));
        view.button("saveButton")->click();
        QTRY_VERIFY(view.message().startsWith(QLatin1String("The server did not store")));
        QVERIFY(view.message().contains(QLatin1String("is checked out to 'Admin,")));
        QCOMPARE(fx.storedContent(pumps), demoProcesses());
        QVERIFY(view.editor->isModified());
        QVERIFY(!view.editable());

        view.button("checkoutButton")->click();
        QTRY_VERIFY(view.message().contains(QLatin1String("your changes are kept")));
        QVERIFY(view.editor->isModified());
        QVERIFY(view.select(QStringLiteral("Tank level low")));
        QCOMPARE(view.field("alarmEdit")->text(), QStringLiteral("<= 15"));
    }

    void fileHeldByAnotherOpensReadOnly()
    {
        editorFixture fx;
        fx.makeFile(pumps, demoProcesses());
        QVERIFY(fx.lockAsOtherUser(pumps));
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        view.button("checkoutButton")->click();
        QTRY_VERIFY(view.message().contains(QLatin1String("checked out to Admin,")));
        QVERIFY(view.message().contains(QLatin1String("read-only")));
        QCOMPARE(view.rows(), 14);
        QVERIFY(!view.editable());
        for (const char *name : {"saveButton", "checkinButton", "addButton", "removeButton"})
            QVERIFY2(!view.button(name)->isEnabled(), name);
        QVERIFY(view.button("checkoutButton")->isEnabled());
    }

    void userWhoMayNotEditOnlyLooks()
    {
        editorFixture fx;
        processView view(openPumps(fx, QStringLiteral("nolevel"), QStringLiteral("pw")));
        QVERIFY(view.editor);
        QVERIFY(view.message().contains(QLatin1String("does not allow editing")));
        QVERIFY(!view.editable());
        for (const char *name : {"checkoutButton", "saveButton", "checkinButton", "addButton"})
            QVERIFY2(!view.button(name)->isEnabled(), name);
    }

    void followsChangesOnTheServer()
    {
        editorFixture fx;
        processView view(openPumps(fx));
        QVERIFY(view.editor);
        fx.makeFile(pumps, demoProcesses() + "\n[Extra]\nType=NOT\nInput=Maintenance\n");
        response updated(response::Done, QStringLiteral("updated"), pumps, QStringLiteral("proc_def.cfg.1"));
        view.editor->commsEvent(updated);
        QTRY_COMPARE(view.rows(), 15);
        QVERIFY(view.message().contains(QLatin1String("changed on the server")));

        response deleted(response::Done, QStringLiteral("deleted"), pumps, QString());
        view.editor->commsEvent(deleted);
        QVERIFY(view.message().contains(QLatin1String("was deleted on the server")));
    }
};

QTEST_MAIN(tst_processEditor)
#include "tst_processEditor.moc"
