#include "serverlist.h"
#include "serverlist_edit.h"
#include "udp_server.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
#include <QMetaMethod>
#include <QNetworkDatagram>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <functional>
#include <memory>

namespace {

QSettings editorSettings()
{
    return QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"));
}

// A discovery responder on 127.0.0.1: records every query and answers each
// with all of `answers`, in order, sent to the query's sender.
class fakeServer : public QObject
{
public:
    fakeServer()
    {
        socket.bind(QHostAddress::LocalHost, 0);
        connect(&socket, &QUdpSocket::readyRead, this, [this] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram query = socket.receiveDatagram();
                queries << query.data();
                for (const QByteArray &answer : std::as_const(answers))
                    socket.writeDatagram(answer, query.senderAddress(), quint16(query.senderPort()));
            }
        });
    }

    QUdpSocket socket;
    QByteArrayList answers;
    QByteArrayList queries;
};

// Sent last, so that every answer before it has been read once it is listed.
const QByteArray marker = "end,1,zz-end";
const QString markerLabel = QStringLiteral("zz-end (127.0.0.1)");

// The entries but the marker, as "label port kind".
QStringList contents(const serverlist &dialog)
{
    QStringList lines;
    for (const serverlist::entry *e : dialog.entries()) {
        if (e->text() != markerLabel)
            lines << QStringLiteral("%1 %2 %3").arg(e->text()).arg(e->port()).arg(e->isAutomatic() ? "auto" : "manual");
    }
    return lines;
}

bool markerListed(const serverlist &dialog)
{
    return QTest::qWaitFor([&] { return !dialog.list->findItems(markerLabel, Qt::MatchExactly).isEmpty(); }, 5000);
}

void storeServers(const QStringList &values)
{
    for (int i = 0; i < values.size(); ++i)
        editorSettings().setValue(QStringLiteral("QX_ConfigEdit/Servers/Server%1").arg(i + 1), values[i]);
}

// Server1, Server2, ... as stored; empty when the numbers have a gap.
QStringList storedServers()
{
    QSettings settings = editorSettings();
    settings.beginGroup(QStringLiteral("QX_ConfigEdit/Servers"));
    QStringList values;
    for (int i = 1; i <= settings.childKeys().size(); ++i)
        values << settings.value(QStringLiteral("Server%1").arg(i)).toString();
    return values.contains(QString()) ? QStringList() : values;
}

QStringList actionTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts << action->text();
    return texts;
}

// Answers modal dialogs from the event loop in order; each step waits until
// a modal widget of its class is the active one.
class modalAnswerer : public QObject
{
public:
    using action = std::function<void(QWidget *)>;

    modalAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, &modalAnswerer::tick);
        m_timer.start(5);
    }
    void expect(const QByteArray &className, action act) { m_steps.append({className, std::move(act)}); }
    bool done() const { return m_steps.isEmpty(); }

private:
    void tick()
    {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog || m_busy || m_steps.isEmpty() || m_steps.first().first != dialog->metaObject()->className())
            return;
        m_busy = true; // an action may wait in a nested event loop
        m_steps.takeFirst().second(dialog);
        m_busy = false;
    }

    QTimer m_timer;
    QList<std::pair<QByteArray, action>> m_steps;
    bool m_busy = false;
};

} // namespace

class tst_serverlist : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_settings.isValid());
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
        QLoggingCategory::setFilterRules(QStringLiteral("tavex.setdesk.debug=true"));
        QCOMPARE(m_server.socket.state(), QAbstractSocket::BoundState);
    }

    void init()
    {
        editorSettings().clear();
        // Discovery stays on this machine.
        editorSettings().setValue("QX_ConfigEdit/DiscoveryAddress", "127.0.0.1");
        editorSettings().setValue("QX_ConfigEdit/DiscoveryPort", m_server.socket.localPort());
        // Queries of earlier tests' dialogs are not this test's.
        while (m_server.socket.hasPendingDatagrams())
            m_server.socket.receiveDatagram();
        m_server.answers.clear();
        m_server.queries.clear();
    }

    void forms()
    {
        serverlist dialog;
        const QMetaObject *meta = dialog.metaObject();
        QCOMPARE(meta->className(), "serverlist");
        QByteArrayList slotNames;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            slotNames << meta->method(i).methodSignature();
        QCOMPARE(slotNames, (QByteArrayList{"listSelectionChanged(QListWidgetItem*)", "listReturnPressed(QListWidgetItem*)",
                                            "rxdata()", "broadcast()", "doContextMenuRequested(QListWidgetItem*)",
                                            "doNewEntry()", "doDeleteEntry()", "doEditEntry(QString,int,QString)"}));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("TAVEX Configuration Editor: Select a server..."));
        QCOMPARE(dialog.list->viewMode(), QListView::IconMode);
        QVERIFY(!dialog.buttonOk->isEnabled());

        serverlist_edit edit;
        QCOMPARE(edit.windowTitle(), QStringLiteral("Edit Server Details"));
        QCOMPARE(edit.metaObject()->methodCount(), QDialog::staticMetaObject.methodCount());
    }

    void answers_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QByteArrayList>("answers");
        QTest::addColumn<QStringList>("expected");

        const QByteArray longest = "cfg1,2323," + QByteArray(245, 'x');
        // The address is the sender's, never the host name in the answer.
        QTest::newRow("two answers of one server")
            << QStringList() << QByteArrayList{"elsewhere.example,2323,Main", "cfg1,2323,Main"}
            << QStringList{"Main (127.0.0.1) 2323 auto"};
        QTest::newRow("label matched without case")
            << QStringList() << QByteArrayList{"cfg1,2323,Main", "cfg1,2400,MAIN"}
            << QStringList{"MAIN (127.0.0.1) 2400 auto"};
        QTest::newRow("manual entry of the same label replaced")
            << QStringList{"127.0.0.1,23,main", "10.0.0.5,23,Other"} << QByteArrayList{"cfg1,2323,Main"}
            << QStringList{"Other (10.0.0.5) 23 manual", "Main (127.0.0.1) 2323 auto"};
        QTest::newRow("not three fields")
            << QStringList() << QByteArrayList{"", "cfg1,2323", "cfg1,2323,Plant, north", "A"} << QStringList();
        QTest::newRow("255 bytes") << QStringList() << QByteArrayList{longest}
                                   << QStringList{QString(245, 'x') + " (127.0.0.1) 2323 auto"};
        QTest::newRow("256 bytes") << QStringList() << QByteArrayList{longest + 'x'} << QStringList();
        QTest::newRow("port no number") << QStringList() << QByteArrayList{"cfg1,,Main"}
                                        << QStringList{"Main (127.0.0.1) 23 auto"};
    }

    void answers()
    {
        QFETCH(QStringList, stored);
        QFETCH(QByteArrayList, answers);
        storeServers(stored);
        m_server.answers = answers << marker;

        serverlist dialog;
        QVERIFY(markerListed(dialog));
        QCOMPARE(m_server.queries, QByteArrayList{"A"});
        QTEST(contents(dialog), "expected");
    }

    void lastServer_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("userChoice");
        QTest::addColumn<QString>("selected");

        // Main answers after the user's choice, in each row.
        const QStringList other{"10.0.0.5,23,Other"};
        QTest::newRow("stored entry, case differs") << other << "OTHER (10.0.0.5)" << "" << "Other (10.0.0.5)";
        QTest::newRow("entry of a later answer") << other << "Main (127.0.0.1)" << "" << "Main (127.0.0.1)";
        QTest::newRow("not listed") << other << "Gone (10.0.0.9)" << "" << "";
        QTest::newRow("user's choice kept") << other << "Main (127.0.0.1)" << "Other (10.0.0.5)" << "Other (10.0.0.5)";
        QTest::newRow("chosen entry replaced by its answer")
            << QStringList{"127.0.0.1,23,Main"} << "" << "Main (127.0.0.1)" << "Main (127.0.0.1)";
    }

    void lastServer()
    {
        QFETCH(QStringList, stored);
        QFETCH(QString, last);
        QFETCH(QString, userChoice);
        storeServers(stored);
        editorSettings().setValue("QX_ConfigEdit/LastServer", last);

        serverlist dialog;
        QTRY_COMPARE(m_server.queries.size(), 1);
        if (!userChoice.isEmpty())
            dialog.list->setCurrentItem(dialog.list->findItems(userChoice, Qt::MatchExactly).value(0));
        m_server.answers = {"cfg1,2323,Main", marker};
        dialog.refresh->click();
        QVERIFY(markerListed(dialog));
        QCOMPARE(m_server.queries.size(), 2);

        const serverlist::entry *chosen = dialog.currentEntry();
        QTEST(chosen ? chosen->text() : QString(), "selected");
        QCOMPARE(dialog.buttonOk->isEnabled(), chosen != nullptr);
    }

    void storage_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QStringList>("skipped");
        QTest::addColumn<QStringList>("loaded");
        QTest::addColumn<QStringList>("written");

        QTest::newRow("numbers give the order")
            << QVariantMap{{"Server2", "b,2,B"}, {"Server10", "c,3,C"}, {"Server1", "a,1,A"}} << QStringList()
            << QStringList{"A (a) 1 manual", "B (b) 2 manual", "C (c) 3 manual"}
            << QStringList{"a,1,A", "b,2,B", "c,3,C"};
        QTest::newRow("not three parts")
            << QVariantMap{{"Server1", "a,23"}, {"Server2", "b,23,B"}, {"Server3", "c,23,Plant, north"}}
            << QStringList{"a,23", "c,23,Plant, north"} << QStringList{"B (b) 23 manual"} << QStringList{"b,23,B"};
        // What a value written by hand without quotes reads as.
        QTest::newRow("value read as a list") << QVariantMap{{"Server1", QStringList{"a", "23", "A"}}} << QStringList()
                                              << QStringList{"A (a) 23 manual"} << QStringList{"a,23,A"};
        QTest::newRow("port no number") << QVariantMap{{"Server1", "a,x,A"}} << QStringList()
                                        << QStringList{"A (a) 23 manual"} << QStringList{"a,23,A"};
    }

    void storage()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QStringList, skipped);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            editorSettings().setValue("QX_ConfigEdit/Servers/" + it.key(), it.value());
        for (const QString &value : skipped)
            QTest::ignoreMessage(QtDebugMsg, qPrintable(" got servers entry of " + value));

        serverlist dialog;
        QTEST(contents(dialog), "loaded");
        // Automatic entries are not stored.
        dialog.list->setCurrentItem(dialog.addEntry("127.0.0.1", 2323, "Main", true));
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(editorSettings().value("QX_ConfigEdit/LastServer").toString(), QStringLiteral("Main (127.0.0.1)"));
        QTEST(storedServers(), "written");
    }

    void commaInDescriptionIsLost()
    {
        {
            serverlist dialog;
            dialog.addEntry("10.0.0.8", 23, "Plant, north", false);
            dialog.list->setCurrentItem(dialog.addEntry("10.0.0.9", 23, "K", false));
            dialog.accept();
        }
        QTest::ignoreMessage(QtDebugMsg, " got servers entry of 10.0.0.8,23,Plant, north");
        serverlist again;
        QCOMPARE(contents(again), QStringList{"K (10.0.0.9) 23 manual"});
    }

    void contextMenuAndEditing()
    {
        storeServers({"10.0.0.1,1,A", "10.0.0.2,2,B", "10.0.0.3,3,C"});
        serverlist dialog;
        serverlist::entry *automatic = dialog.addEntry("127.0.0.1", 2323, "Main", true);
        QVERIFY(!std::unique_ptr<QMenu>(dialog.contextMenu(automatic)));
        QCOMPARE(actionTexts(std::unique_ptr<QMenu>(dialog.contextMenu(nullptr)).get()), QStringList{"New"});
        std::unique_ptr<QMenu> menu(dialog.contextMenu(dialog.entries().first()));
        QCOMPARE(actionTexts(menu.get()), (QStringList{"Delete", "Edit", "New"}));

        // An edited entry goes to the end, and stays chosen.
        modalAnswerer answerer;
        QString offered;
        answerer.expect("serverlist_edit", [&](QWidget *w) {
            auto *edit = static_cast<serverlist_edit *>(w);
            offered = edit->serverName->text() + '|' + edit->serverPort->text() + '|' + edit->serverDesc->text();
            edit->serverDesc->setText("A2");
            edit->serverPort->setText("2400");
            edit->buttonOk->click();
        });
        menu->actions().at(1)->trigger();
        QVERIFY(answerer.done());
        QCOMPARE(offered, QStringLiteral("10.0.0.1|1|A"));
        QCOMPARE(contents(dialog), (QStringList{"B (10.0.0.2) 2 manual", "C (10.0.0.3) 3 manual", "Main (127.0.0.1) 2323 auto",
                                                "A2 (10.0.0.1) 2400 manual"}));
        QCOMPARE(dialog.currentEntry()->text(), QStringLiteral("A2 (10.0.0.1)"));

        menu.reset(dialog.contextMenu(dialog.entries().first()));
        menu->actions().at(0)->trigger();
        // The button deletes automatic entries too.
        dialog.list->setCurrentItem(automatic);
        dialog.deleteServer->click();
        QCOMPARE(contents(dialog), (QStringList{"C (10.0.0.3) 3 manual", "A2 (10.0.0.1) 2400 manual"}));

        dialog.list->setCurrentRow(0);
        dialog.accept();
        QCOMPARE(storedServers(), (QStringList{"10.0.0.3,3,C", "10.0.0.1,2400,A2"}));

        // With nothing left to choose, OK goes.
        dialog.deleteServer->click();
        dialog.deleteServer->click();
        QCOMPARE(dialog.list->count(), 0);
        QVERIFY(!dialog.buttonOk->isEnabled());
    }

    void newEntry_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("port given") << true << "2400" << QStringList{"New (n.example) 2400 manual"};
        QTest::newRow("no port") << true << "" << QStringList{"New (n.example) 23 manual"};
        QTest::newRow("port zero") << true << "0" << QStringList{"New (n.example) 23 manual"};
        QTest::newRow("cancelled") << false << "2400" << QStringList();
    }

    void newEntry()
    {
        QFETCH(bool, accept);
        QFETCH(QString, port);
        serverlist dialog;
        modalAnswerer answerer;
        bool startedEmpty = false;
        answerer.expect("serverlist_edit", [&](QWidget *w) {
            auto *edit = static_cast<serverlist_edit *>(w);
            startedEmpty = edit->serverName->text().isEmpty() && edit->serverDesc->text().isEmpty()
                && edit->serverPort->text().isEmpty();
            edit->serverName->setText(" n.example ");
            edit->serverDesc->setText("New");
            edit->serverPort->setText(port);
            (accept ? edit->buttonOk : edit->buttonCancel)->click();
        });
        dialog.addServer->click();
        QVERIFY(answerer.done());
        QVERIFY(startedEmpty);
        QTEST(contents(dialog), "expected");
    }

    void resolve_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("resolved");
        QTest::addColumn<QString>("box");
        QTest::newRow("numeric") << "10.1.2.3" << "10.1.2.3" << "";
        QTest::newRow("IPv6") << "::1" << "::1" << "";
        QTest::newRow("host name") << "localhost" << "127.0.0.1" << "";
        QTest::newRow("unresolvable") << "no-such-host.invalid" << ""
                                      << "The address 'no-such-host.invalid' cannot be resolved.";
    }

    void resolve()
    {
        QFETCH(QString, address);
        QFETCH(QString, box);
        serverlist dialog;
        dialog.addEntry(address, 2400, "Target", false);

        modalAnswerer answerer;
        QString boxText;
        bool openAfterBox = false;
        answerer.expect("serverlist", [&](QWidget *) {
            dialog.list->setCurrentRow(0);
            dialog.buttonOk->click();
        });
        if (!box.isEmpty()) {
            answerer.expect("QMessageBox", [&](QWidget *w) {
                auto *message = static_cast<QMessageBox *>(w);
                boxText = message->text();
                message->button(QMessageBox::Ok)->click();
            });
            answerer.expect("serverlist", [&](QWidget *) {
                openAfterBox = dialog.isVisible();
                dialog.reject();
            });
        }
        QTimer::singleShot(20000, &dialog, &QDialog::reject);
        const int result = dialog.exec();
        QVERIFY(answerer.done());

        if (box.isEmpty()) {
            QCOMPARE(result, int(QDialog::Accepted));
            QTEST(dialog.selectedAddress().toString(), "resolved");
            QCOMPARE(dialog.selectedAddressText(), address);
            QCOMPARE(dialog.selectedPort(), 2400);
            QCOMPARE(dialog.selectedDescription(), QStringLiteral("Target"));
            QCOMPARE(editorSettings().value("QX_ConfigEdit/LastServer").toString(), "Target (" + address + ')');
        } else {
            QCOMPARE(result, int(QDialog::Rejected));
            QCOMPARE(boxText, box);
            QVERIFY(openAfterBox);
            QVERIFY(!editorSettings().contains("QX_ConfigEdit/LastServer"));
            QVERIFY(storedServers().isEmpty());
        }
    }

    // The keepyard responder, reached through the loopback broadcast address.
    void keepyardAnswers()
    {
        udp_server server(nullptr, 0, 2323, QStringLiteral("Main - ops"));
        server.setHostName(QStringLiteral("cfg1"));
        QVERIFY(server.isBound());
        editorSettings().setValue("QX_ConfigEdit/DiscoveryAddress", "127.255.255.255");
        editorSettings().setValue("QX_ConfigEdit/DiscoveryPort", server.localPort());

        serverlist dialog;
        QTRY_COMPARE(contents(dialog), QStringList{"Main - ops (127.0.0.1) 2323 auto"});
    }

private:
    QTemporaryDir m_settings;
    fakeServer m_server;
};

QTEST_MAIN(tst_serverlist)
#include "tst_serverlist.moc"
