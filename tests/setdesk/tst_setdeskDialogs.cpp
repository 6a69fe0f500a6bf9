#include "doWaitDialog.h"
#include "login.h"
#include "selectsystem.h"

#include <QApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

// Runs the dialog modally and answers it from the event loop, as a person
// would. A dialog the answer leaves open is rejected after a few seconds so
// that a failing test cannot hang.
int runAnswered(QDialog &dialog, const std::function<void()> &answer)
{
    QTimer::singleShot(0, &dialog, answer);
    QTimer::singleShot(5000, &dialog, &QDialog::reject);
    return dialog.exec();
}

QSettings editorSettings()
{
    return QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"));
}

QString setting(const QString &key)
{
    return editorSettings().value(key).toString();
}

QByteArray debugLine(const char *what, int count, const QString &text)
{
    return QStringLiteral("%1 - count is now %2 msg: %3").arg(QLatin1String(what)).arg(count).arg(text).toUtf8();
}

} // namespace

class tst_setdeskDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_settings.isValid());
        // The user's own settings stay untouched.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
        QLoggingCategory::setFilterRules(QStringLiteral("tavex.setdesk.debug=true"));
    }

    void init()
    {
        editorSettings().clear();
    }

    void loginStartsEmpty()
    {
        login dialog;
        QCOMPARE(dialog.userName(), QString());
        QCOMPARE(dialog.password(), QString());
        QVERIFY(!dialog.isSizeGripEnabled());
        QCOMPARE(dialog.editPassword->echoMode(), QLineEdit::Password);
        QCOMPARE(dialog.metaObject()->className(), "login");
        // No slot of its own: accept() stays the dialog's.
        QCOMPARE(dialog.metaObject()->methodCount(), QDialog::staticMetaObject.methodCount());
    }

    void loginRemembers_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::newRow("accepted") << true << "operator2" << "pa ss,word";
        QTest::newRow("cancelled") << false << "old" << "oldpw";
    }

    void loginRemembers()
    {
        QFETCH(bool, accept);
        editorSettings().setValue("QX_ConfigEdit/LastUser", "old");
        editorSettings().setValue("QX_ConfigEdit/LastPassword", "oldpw");

        login dialog;
        QCOMPARE(dialog.userName(), QStringLiteral("old"));
        QCOMPARE(dialog.password(), QStringLiteral("oldpw"));
        const int result = runAnswered(dialog, [&] {
            dialog.editUser->setText("operator2");
            dialog.editPassword->setText("pa ss,word");
            QTest::mouseClick(accept ? dialog.buttonOk : dialog.buttonCancel, Qt::LeftButton);
        });
        QCOMPARE(result, accept ? QDialog::Accepted : QDialog::Rejected);
        // The texts typed are there for the caller either way.
        QCOMPARE(dialog.userName(), QStringLiteral("operator2"));
        QCOMPARE(dialog.password(), QStringLiteral("pa ss,word"));

        QTEST(setting("QX_ConfigEdit/LastUser"), "user");
        QTEST(setting("QX_ConfigEdit/LastPassword"), "password");
        login next;
        QTEST(next.userName(), "user");
        QTEST(next.password(), "password");
    }

    void storedPasswordIsPrivate()
    {
        QFile::remove(editorSettings().fileName());
        login dialog;
        dialog.editPassword->setText("secret");
        dialog.accept();
        QCOMPARE(setting("QX_ConfigEdit/LastPassword"), QStringLiteral("secret"));
        // Later writes of other settings keep the file private.
        editorSettings().setValue("QX_ConfigEdit/LastSystem", "Plant");
        const QString file = editorSettings().fileName();
        QVERIFY(QFile::exists(file));
        const QFile::Permissions others = QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther;
        QCOMPARE(QFile::permissions(file) & others, QFile::Permissions());
    }

    void systemDialogAtStart()
    {
        selectsystem dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("TAVEX Configuration Editor: Select a system..."));
        QCOMPARE(dialog.list->objectName(), QStringLiteral("list"));
        QCOMPARE(dialog.list->viewMode(), QListView::IconMode);
        QCOMPARE(dialog.buttonOk->text(), QStringLiteral("&OK"));
        QCOMPARE(dialog.buttonCancel->text(), QStringLiteral("&Cancel"));
        QVERIFY(dialog.buttonOk->isDefault());
        QVERIFY(!dialog.buttonOk->isEnabled());
        QCOMPARE(dialog.chosenSystem(), QString());
    }

    void systemPreselection_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<QStringList>("systems");
        QTest::addColumn<QString>("chosen");
        QTest::newRow("remembered system listed")
            << "Plant B" << QStringList{"Plant A", "Plant B", "Plant C"} << "Plant B";
        QTest::newRow("remembered system listed first") << "Plant A" << QStringList{"Plant A", "Plant B"} << "Plant A";
        QTest::newRow("remembered system gone") << "Old" << QStringList{"Plant A", "Plant B"} << QString();
        QTest::newRow("case differs") << "plant a" << QStringList{"Plant A"} << QString();
        QTest::newRow("nothing remembered, unnamed system") << QString() << QStringList{"", "Plant A"} << QString();
    }

    void systemPreselection()
    {
        QFETCH(QString, last);
        QFETCH(QStringList, systems);
        QFETCH(QString, chosen);
        if (!last.isNull())
            editorSettings().setValue("QX_ConfigEdit/LastSystem", last);
        selectsystem dialog;
        QCOMPARE(dialog.lastSystem(), last);
        for (const QString &name : systems)
            dialog.addSystem(name);
        QCOMPARE(dialog.list->count(), systems.size());
        QCOMPARE(dialog.chosenSystem(), chosen);
        QCOMPARE(dialog.buttonOk->isEnabled(), !chosen.isEmpty());
        QCOMPARE(dialog.list->selectedItems().size(), chosen.isEmpty() ? 0 : 1);
    }

    void choosingEnablesOk()
    {
        editorSettings().setValue("QX_ConfigEdit/LastSystem", "Old");
        selectsystem dialog;
        dialog.addSystem("");
        dialog.addSystem("Plant A");
        dialog.list->setCurrentRow(0);
        QVERIFY(!dialog.buttonOk->isEnabled());
        dialog.list->setCurrentRow(1);
        QVERIFY(dialog.buttonOk->isEnabled());
        QCOMPARE(dialog.chosenSystem(), QStringLiteral("Plant A"));
    }

    void systemAnswers_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("remembered");
        QTest::newRow("double click") << "double click" << int(QDialog::Accepted) << "Plant B";
        QTest::newRow("Return") << "Return" << int(QDialog::Accepted) << "Plant B";
        QTest::newRow("OK") << "OK" << int(QDialog::Accepted) << "Plant B";
        QTest::newRow("Cancel") << "Cancel" << int(QDialog::Rejected) << "Plant A";
    }

    void systemAnswers()
    {
        QFETCH(QString, how);
        editorSettings().setValue("QX_ConfigEdit/LastSystem", "Plant A");
        selectsystem dialog;
        dialog.addSystem("Plant A");
        dialog.addSystem("Plant B");
        const int result = runAnswered(dialog, [&] {
            QListWidgetItem *item = dialog.list->item(1);
            const QPoint at = dialog.list->visualItemRect(item).center();
            QTest::mouseClick(dialog.list->viewport(), Qt::LeftButton, {}, at);
            if (how == "double click") {
                QTest::mouseDClick(dialog.list->viewport(), Qt::LeftButton, {}, at);
            } else if (how == "Return") {
                dialog.list->setFocus();
                QTest::keyClick(dialog.list, Qt::Key_Return);
            } else {
                QTest::mouseClick(how == "OK" ? dialog.buttonOk : dialog.buttonCancel, Qt::LeftButton);
            }
        });
        QTEST(result, "result");
        QCOMPARE(dialog.chosenSystem(), QStringLiteral("Plant B"));
        QTEST(setting("QX_ConfigEdit/LastSystem"), "remembered");
    }

    void emptySystemListAccepted()
    {
        editorSettings().setValue("QX_ConfigEdit/LastSystem", "Plant A");
        selectsystem dialog;
        const int result = runAnswered(dialog, [&] { dialog.accept(); });
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(dialog.chosenSystem(), QString());
        QCOMPARE(setting("QX_ConfigEdit/LastSystem"), QStringLiteral("Plant A"));
    }

    void waitCounts_data()
    {
        QTest::addColumn<QString>("steps"); // b: beginWait, e: endWait, n: note
        QTest::addColumn<QList<int>>("counts");
        QTest::addColumn<QString>("shownAfter"); // 1 where the dialog is visible after the step
        QTest::newRow("one wait") << "be" << QList<int>{1, 0} << "10";
        QTest::newRow("nested waits") << "bbee" << QList<int>{1, 2, 1, 0} << "1110";
        QTest::newRow("end without begin") << "eb" << QList<int>{0, 1} << "01";
        QTest::newRow("more ends than begins") << "beeb" << QList<int>{1, 0, 0, 1} << "1001";
        QTest::newRow("notes change nothing") << "nbne" << QList<int>{0, 1, 1, 0} << "0110";
    }

    void waitCounts()
    {
        QFETCH(QString, steps);
        QFETCH(QList<int>, counts);
        QFETCH(QString, shownAfter);
        doWaitDialog wait;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const QString text = QStringLiteral("step %1").arg(i);
            switch (steps.at(i).toLatin1()) {
            case 'b':
                QTest::ignoreMessage(QtDebugMsg, debugLine("show", counts.at(i), text));
                wait.beginWait(text);
                break;
            case 'e':
                QTest::ignoreMessage(QtDebugMsg, debugLine("hide", counts.at(i), text));
                wait.endWait(text);
                break;
            default:
                wait.note(text);
                // Noted lines reach the log by themselves, shortly after.
                QTRY_VERIFY(wait.progressLog->toPlainText().endsWith(text));
                break;
            }
            QCOMPARE(wait.count(), counts.at(i));
            QCOMPARE(wait.isVisible(), shownAfter.at(i) == QLatin1Char('1'));
            // The log is cleared whenever the last wait ends.
            if (wait.count() == 0 && steps.at(i) == QLatin1Char('e'))
                QCOMPARE(wait.progressLog->toPlainText(), QString());
            else
                QVERIFY(wait.progressLog->toPlainText().endsWith(text));
            QCOMPARE(QApplication::activeModalWidget(), nullptr);
        }
    }

    void waitDialogLooks()
    {
        doWaitDialog wait;
        QCOMPARE(wait.windowTitle(), QStringLiteral("Please wait..."));
        QCOMPARE(wait.whatsThis(), QStringLiteral("This dialog shows teh progress of file transfers"));
        QCOMPARE(wait.objectName(), QStringLiteral("Wait Dialog"));
        QVERIFY(wait.isWindow());
        QVERIFY(!wait.isModal());
        QVERIFY(wait.progressLog->isReadOnly());
        const QPoint screenCentre = wait.screen()->availableGeometry().center();
        QVERIFY((wait.geometry().center() - screenCentre).manhattanLength() <= 2);
    }

    void waitLogKeepsTheLastLines()
    {
        doWaitDialog wait;
        wait.resize(300, 120);
        QTest::ignoreMessage(QtDebugMsg, "show - count is now 1 msg: line 0");
        wait.beginWait("line 0");
        for (int i = 1; i < 80; ++i)
            wait.note(QStringLiteral("line %1").arg(i));
        // Many notes in a row are laid out together, not one by one.
        QCOMPARE(wait.progressLog->toPlainText(), QStringLiteral("line 0"));
        wait.flushNotes();
        QCOMPARE(wait.progressLog->blockCount(), 50);
        QVERIFY(wait.progressLog->toPlainText().startsWith("line 30\n"));
        QVERIFY(wait.progressLog->toPlainText().endsWith("line 79"));
        QScrollBar *bar = wait.progressLog->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
    }

private:
    QTemporaryDir m_settings;
};

QTEST_MAIN(tst_setdeskDialogs)
#include "tst_setdeskDialogs.moc"
