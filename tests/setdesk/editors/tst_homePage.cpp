#include "HelpWindow.h"
#include "editorFixture.h"
#include "lock_list.h"
#include "server_comms.h"
#include "setdeskMainWindow.h"
#include "tavex_widgetstack.h"

#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QTest>
#include <QTreeWidget>

// The start page against a real server: the connection it shows, the
// editors it links to, and the locks it gives back.
class tst_homePage : public QObject
{
    Q_OBJECT

private slots:
    void showsTheConnectionAndLinksEveryEditor()
    {
        editorFixture fx;
        QVERIFY(fx.logIn());
        QWidget *home = fx.open(QStringLiteral("Home"));
        QVERIFY(home);
        const QString session = home->findChild<QLabel *>(QStringLiteral("session"))->text();
        for (const char *part : {"Kestrel", "North", "ops", ">2<"})
            QVERIFY2(session.contains(QLatin1String(part)), qPrintable(session));

        auto *links = home->findChild<QLabel *>(QStringLiteral("editorLinks"));
        QVERIFY(links->text().contains(QLatin1String("href=\"Files/Configuration\"")));
        QVERIFY(links->text().contains(QLatin1String("href=\"Alarms/Processes\"")));
        QVERIFY(!links->text().contains(QLatin1String("href=\"Home\"")));
        emit links->linkActivated(QStringLiteral("Alarms/Processes"));
        QWidget *processes = fx.window().host().editor(QStringLiteral("Alarms/Processes"));
        QVERIFY(processes);
        QCOMPARE(fx.window().editorStack()->first(), processes);
    }

    // The help pages come with the plugin: Contents shows the index, Context
    // the page of the visible editor.
    void helpPagesOpenForEveryEditor()
    {
        editorFixture fx;
        QVERIFY(fx.logIn());
        fx.window().doHelpContents();
        auto *help = fx.window().findChild<HelpWindow *>();
        QVERIFY(help);
        QCOMPARE(help->currentPage(), QStringLiteral("index.html"));
        for (const QString &key : {QStringLiteral("Home"), QStringLiteral("Files/Configuration"), QStringLiteral("Alarms/Processes")}) {
            QVERIFY(fx.open(key));
            fx.window().doHelpContext();
            QCOMPARE(help->currentPage(), key + QStringLiteral("/index.html"));
            QVERIFY(QFile::exists(help->helpFolder() + QLatin1Char('/') + help->currentPage()));
            QVERIFY2(!help->browser()->documentTitle().isEmpty(), qPrintable(key));
        }
    }

    void releasesALockWhicheverEditorHoldsIt()
    {
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/plant.xml"), "<plant/>");
        QVERIFY(fx.logIn());
        fx.comms()->lock(QStringLiteral("config/plant.xml"), QStringLiteral("Files/Configuration"));
        QTRY_VERIFY(fx.storedContent(QStringLiteral("server_lock_list.txt")).contains("config/plant.xml=ops,"));

        QWidget *home = fx.open(QStringLiteral("Home"));
        home->findChild<QPushButton *>(QStringLiteral("refreshButton"))->click();
        auto *table = home->findChild<QTreeWidget *>(QStringLiteral("lockTable"));
        QTRY_COMPARE(table->topLevelItemCount(), 1);
        QCOMPARE(table->topLevelItem(0)->text(0), QStringLiteral("config/plant.xml"));
        QCOMPARE(table->topLevelItem(0)->text(1), QStringLiteral("Files/Configuration"));

        auto *release = home->findChild<QPushButton *>(QStringLiteral("releaseButton"));
        QVERIFY(!release->isEnabled());
        table->topLevelItem(0)->setSelected(true);
        QVERIFY(release->isEnabled());
        release->click();
        auto *message = home->findChild<QLabel *>(QStringLiteral("messageBar"));
        QTRY_COMPARE(message->text(), QStringLiteral("The lock on config/plant.xml was given back."));
        QVERIFY(!fx.storedContent(QStringLiteral("server_lock_list.txt")).contains("plant.xml"));
        QVERIFY(lock_list(QStringLiteral("North")).isEmpty());
        QTRY_COMPARE(table->topLevelItemCount(), 0);
    }
};

QTEST_MAIN(tst_homePage)
#include "tst_homePage.moc"
