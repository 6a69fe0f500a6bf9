#include "editorFixture.h"
#include "lock_list.h"
#include "server_comms.h"
#include "setdeskMainWindow.h"
#include "tavex_widgetstack.h"

#include <QLabel>
#include <QPushButton>
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
