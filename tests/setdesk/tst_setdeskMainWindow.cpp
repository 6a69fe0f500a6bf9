#include "clientFolder.h"
#include "HelpWindow.h"
#include "lock_list.h"
#include "pathDisplay.h"
#include "server_comms.h"
#include "setdeskMainWindow.h"
#include "tavex_widgetstack.h"

#include <QAction>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>

namespace {

const QString north = QStringLiteral("North");

struct uiLog
{
    QStringList boxes;
    QStringList opened;
    bool abandon = false;
};

// Records the boxes instead of showing them; "Abandon" as the test says.
class testUi : public windowUi
{
public:
    explicit testUi(uiLog &log)
        : m_log(log)
    {
    }
    void information(QWidget *, const QString &title, const QString &text) override { m_log.boxes << title + ": " + text; }
    bool abandon(QWidget *, const QString &title, const QString &text) override
    {
        m_log.boxes << title + ": " + text;
        return m_log.abandon;
    }
    void about(QWidget *, const QString &title, const QString &text) override { m_log.boxes << title + ": " + text; }
    void open(const QString &target) override { m_log.opened << target; }

private:
    uiLog &m_log;
};

QStringList calls(QWidget *editor)
{
    return editor ? editor->property("calls").toStringList() : QStringList();
}

// The tree as text: items in order, children in brackets, "*" after those
// that can be chosen.
QString treeText(QTreeWidgetItem *item)
{
    QString text = item->text(0);
    if (item->flags() & Qt::ItemIsSelectable)
        text += QLatin1Char('*');
    if (item->childCount() > 0) {
        QStringList children;
        for (int i = 0; i < item->childCount(); ++i)
            children << treeText(item->child(i));
        text += QLatin1Char('[') + children.join(QLatin1Char(' ')) + QLatin1Char(']');
    }
    return text;
}

QString treeText(QTreeWidget *tree)
{
    QStringList items;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        items << treeText(tree->topLevelItem(i));
    return items.join(QLatin1Char(' '));
}

} // namespace

// The editor's main window with the test plugins, offscreen.
class tst_setdeskMainWindow : public QObject
{
    Q_OBJECT

private:
    // A window logged in to North whose plugin folder holds `libraries`
    // (file names of the test plugins), the plugin download completed.
    setdeskMainWindow *openWindow(const QStringList &libraries,
                                  pluginLibrary::buildFilter filter = pluginLibrary::buildFilter::none,
                                  server_comms *comms = nullptr)
    {
        const QString folder = clientFolder::path() + QStringLiteral("/North/config/plugins");
        QDir().mkpath(folder);
        for (const QString &library : libraries)
            QFile::copy(QStringLiteral(TEST_PLUGIN_DIR "/lib%1.so").arg(library), folder + QStringLiteral("/lib%1.so").arg(library));
        m_window = std::make_unique<setdeskMainWindow>(comms, false, filter, std::make_unique<testUi>(m_ui));
        m_window->setServer(QStringLiteral("Kestrel"), north, QStringLiteral("ops"), QStringLiteral("2"));
        response done(response::BatchEnd, QStringLiteral("download"), QString(), QString());
        QString uid = QStringLiteral("config/plugins/*");
        m_window->commsEvent(done, uid);
        return m_window.get();
    }

    QWidget *editor(const QString &key) const { return m_window->host().editor(key); }

    void send(const QString &key, const QString &type, const QString &value)
    {
        QWidget *e = editor(key);
        QVERIFY(e);
        QMetaObject::invokeMethod(e, "command", Q_ARG(QString, type), Q_ARG(QString, value));
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_settings.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        HelpWindow::setStorageFolder(m_settings.path());
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        clientFolder::setOverride(m_root->path() + QStringLiteral("/client"));
        QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk")).clear();
        m_ui = uiLog();
    }

    void cleanup()
    {
        m_window.reset();
        clientFolder::setOverride(QString());
    }

    void pluginLoading_data()
    {
        QTest::addColumn<int>("filter");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("tree");
        const QStringList multi{"Home", "Cat/Ed", "A/B", "Routing", "Routing/Panels"};
        const QStringList shared{"A/C", "Solo"};
        QTest::newRow("every build") << 0 << multi + shared + QStringList{"Boom"}
                                     << "Home* Cat[Ed*] A[B* C*] Routing*[Panels*] Solo* Boom*";
        // A library that says nothing of its build is taken by either filter.
        QTest::newRow("debug builds") << 1 << shared + QStringList{"Boom"} << "A[C*] Solo* Boom*";
        QTest::newRow("release builds") << 2 << multi + QStringList{"Boom"} << "Home* Cat[Ed*] A[B*] Routing*[Panels*] Boom*";
    }

    // Libraries load in name order; one without the entry point or of the
    // other build is left out, a key with a reserved character is refused
    // with a box, shared categories are one item that cannot be chosen.
    void pluginLoading()
    {
        QFETCH(int, filter);
        QFETCH(QStringList, keys);
        QFETCH(QString, tree);
        openWindow({"testplugin_multi", "testplugin_noentry", "testplugin_shared", "testplugin_throws"},
                   pluginLibrary::buildFilter(filter));
        QCOMPARE(m_window->host().keys(), keys);
        QCOMPARE(treeText(m_window->treeView()), tree);
        const bool multiLoaded = keys.contains(QStringLiteral("Home"));
        QCOMPARE(m_ui.boxes.size(), multiLoaded ? 1 : 0);
        if (multiLoaded) {
            QVERIFY(m_ui.boxes.first().startsWith("Configuration Editor - Plugin loader: <qt><p>The plugin:<ul><li>"
                                                  "libtestplugin_multi.so</li></ul> contains the following key:<ul><li>Bad&Key"));
            // The start page opens after loading.
            QCOMPARE(m_window->editorStack()->first(), editor(QStringLiteral("Home")));
            QCOMPARE(m_window->history(), QStringList{"Home"});
        }
    }

    void navigation_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QString>("front");
        QTest::addColumn<QStringList>("frontCalls");
        QTest::addColumn<QStringList>("history");
        QTest::newRow("an editor and a place in it") << QStringList{"Cat/Ed,Item"} << "Cat/Ed"
                                                     << QStringList{"navigate Cat/Ed Item"} << QStringList{"Home", "Cat/Ed,Item"};
        QTest::newRow("three parts are ignored") << QStringList{"Cat/Ed,a,b"} << "Home" << QStringList()
                                                 << QStringList{"Home"};
        QTest::newRow("the same value twice") << QStringList{"A/B", "A/B"} << "A/B" << QStringList() << QStringList{"Home", "A/B"};
        QTest::newRow("no such editor") << QStringList{"Nowhere"} << "Home" << QStringList() << QStringList{"Home", "Nowhere"};
        QTest::newRow("a plugin that throws") << QStringList{"Boom"} << "Home" << QStringList() << QStringList{"Home", "Boom"};
    }

    void navigation()
    {
        QFETCH(QStringList, values);
        QFETCH(QString, front);
        QFETCH(QStringList, frontCalls);
        openWindow({"testplugin_multi", "testplugin_throws"});
        for (const QString &value : values)
            send(QStringLiteral("Home"), QStringLiteral("navigate"), value);
        QCOMPARE(m_window->editorStack()->first(), editor(front));
        QCOMPARE(calls(editor(front)).filter(QStringLiteral("navigate")), frontCalls);
        QTEST(m_window->history(), "history");
        QCOMPARE(m_window->action(QStringLiteral("Back"))->isEnabled(), m_window->history().size() > 1);
        // The tree follows the visible editor; the path display shows its key.
        QCOMPARE(pluginHost::keyOf(m_window->treeView()->currentItem()), front);
    }

    void backAndHome()
    {
        openWindow({"testplugin_multi"});
        send(QStringLiteral("Home"), QStringLiteral("navigate"), QStringLiteral("A/B"));
        send(QStringLiteral("Home"), QStringLiteral("navigate"), QStringLiteral("Cat/Ed"));
        m_window->back_slot();
        QCOMPARE(m_window->history(), (QStringList{"Home", "A/B"}));
        QCOMPARE(m_window->editorStack()->first(), editor(QStringLiteral("A/B")));
        m_window->back_slot();
        QCOMPARE(m_window->history(), QStringList{"Home"});
        QVERIFY(!m_window->action(QStringLiteral("Back"))->isEnabled());
        m_window->action(QStringLiteral("Home"))->trigger();
        QCOMPARE(m_window->editorStack()->first(), editor(QStringLiteral("Home")));
    }

    // Commands reach the server with "/" separators, for the editor that sent them.
    void commandsReachTheServer()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        auto *comms = new server_comms(nullptr, QStringLiteral("Kestrel"), QStringLiteral("127.0.0.1"), listener.serverPort());
        QTRY_VERIFY(listener.hasPendingConnections());
        QTcpSocket *peer = listener.nextPendingConnection();
        comms->setSystem(north);
        openWindow({"testplugin_multi"}, pluginLibrary::buildFilter::none, comms);
        send(QStringLiteral("Home"), QStringLiteral("downloadFile"), QStringLiteral("config\\areas\\a.xml"));
        send(QStringLiteral("Home"), QStringLiteral("help"), QStringLiteral("docs\\x.html"));
        send(QStringLiteral("Home"), QStringLiteral("whatever"), QStringLiteral("v"));
        lock_list(north).add(QStringLiteral("Cat/Ed"), QStringLiteral("config/a.xml"));
        send(QStringLiteral("Home"), QStringLiteral("releaseLock"), QStringLiteral("config\\a.xml"));
        QVERIFY(lock_list(north).isEmpty());
        QByteArray got;
        const QByteArray expected = "<download uid=\"Home\" type=\"request\" system=\"North\" >\t<file name=\"config/areas/a.xml\" />";
        QTRY_VERIFY((got += peer->readAll()).contains(expected));
        QTRY_VERIFY((got += peer->readAll()).contains("<unlock type=\"request\" uid=\"Home\" system=\"North\" >\r\n\t<file name=\"config/a.xml\"/>"));
        // The start of work asked for the plugins and the locks first.
        QVERIFY(got.startsWith("<synclist uid=\"download:config/plugins/*\" type=\"request\" path=\"config/plugins\" "
                               "system=\"North\" />\r\n<locklist uid=\"startup\" type=\"request\" system=\"North\" />\r\n"));
        QCOMPARE(m_ui.opened, QStringList{"docs/x.html"});
        m_window.reset();
        delete comms;
    }

    // What an editor can ask of the host, and the server's notices, which go
    // to every open editor.
    void questionsAndNotices()
    {
        openWindow({"testplugin_multi"});
        lock_list(north).add(QStringLiteral("Cat/Ed"), QStringLiteral("config/a.xml"));
        QVERIFY(m_window->openEditor(QStringLiteral("Cat/Ed")));
        for (const char *question : {"session", "editors", "locks"})
            send(QStringLiteral("Home"), QString::fromLatin1(question), QString());
        QCOMPARE(calls(editor(QStringLiteral("Home"))).filter(QStringLiteral("commsEvent")),
                 QStringList({"commsEvent 0 session  | Kestrel\nNorth\nops\n2",
                              "commsEvent 0 editors  | Home\nCat/Ed\nA/B\nRouting\nRouting/Panels",
                              "commsEvent 0 locks  | Cat/Ed,config/a.xml"}));
        m_window->serverNotice(QStringLiteral("update"), QStringLiteral("config/a.xml"), QStringLiteral("a.xml.5"));
        m_window->serverNotice(QStringLiteral("delete"), QStringLiteral("config/b.xml"), QString());
        for (const QString &key : {QStringLiteral("Home"), QStringLiteral("Cat/Ed")})
            QCOMPARE(calls(editor(key)).filter(QStringLiteral("commsEvent 0 ")).mid(key == u"Home" ? 3 : 0),
                     QStringList({"commsEvent 0 updated config/a.xml | a.xml.5", "commsEvent 0 deleted config/b.xml"}));
    }

    // Save follows the visible editor's state, Save All every editor's.
    void dirtyAndClean()
    {
        openWindow({"testplugin_multi"});
        QAction *save = m_window->action(QStringLiteral("Save"));
        QAction *saveAll = m_window->action(QStringLiteral("Save All"));
        send(QStringLiteral("Home"), QStringLiteral("navigate"), QStringLiteral("A/B"));
        editor(QStringLiteral("A/B"))->setProperty("modified", true);
        send(QStringLiteral("A/B"), QStringLiteral("dirty"), QString());
        QVERIFY(save->isEnabled() && saveAll->isEnabled());
        send(QStringLiteral("A/B"), QStringLiteral("navigate"), QStringLiteral("Cat/Ed"));
        QVERIFY(!save->isEnabled() && saveAll->isEnabled());
        m_window->windowsMenuAboutToShow();
        QStringList items;
        for (QAction *a : m_window->windowsMenu()->actions())
            items << a->text() + (a->isChecked() ? QStringLiteral(" [x]") : QString());
        QCOMPARE(items, (QStringList{"&1 Cat/Ed [x]", "&2 A/B (- modified)", "&3 Home"}));
        m_window->saveAll();
        QVERIFY(calls(editor(QStringLiteral("A/B"))).contains(QStringLiteral("save")));
        send(QStringLiteral("A/B"), QStringLiteral("clean"), QString());
        QVERIFY(!saveAll->isEnabled());
    }

    // Unsaved changes are lost only after "Abandon"; the start page is never
    // closed; the main window stays open while editors hold changes.
    void closingGuards()
    {
        openWindow({"testplugin_multi"});
        m_ui.boxes.clear(); // the refused key
        send(QStringLiteral("Home"), QStringLiteral("navigate"), QStringLiteral("A/B"));
        QPointer<QWidget> ab = editor(QStringLiteral("A/B"));
        ab->setProperty("modified", true);
        m_window->closeCurrent();
        QVERIFY(ab);
        QCOMPARE(m_ui.boxes.size(), 1);
        QVERIFY(m_ui.boxes.first().startsWith("Abandon changes to this configuration editor?: <qt><p>Abandon changes to: "
                                              "<br><b>\tA/B</b>?"));

        send(QStringLiteral("A/B"), QStringLiteral("navigate"), QStringLiteral("Cat/Ed"));
        editor(QStringLiteral("Cat/Ed"))->setProperty("modified", true);
        m_ui.boxes.clear();
        QVERIFY(!m_window->close());
        QCOMPARE(m_ui.boxes, QStringList{"Information: <qt>The following editors still have unsaved changes:<ul>"
                                         "<li><b>Cat/Ed</b></li><li><b>A/B</b></li></ul><p>Please save or close these "
                                         "editor individually before closing this editor</p><p>To see which editors "
                                         "have unsaved changes look at the ConfigEditors menu</p></qt>"});

        m_ui.abandon = true;
        m_window->closeCurrent();
        m_window->closeCurrent();
        QVERIFY(!ab && !editor(QStringLiteral("Cat/Ed")));
        QCOMPARE(m_window->editorStack()->first(), editor(QStringLiteral("Home")));
        m_window->closeCurrent();
        QVERIFY(editor(QStringLiteral("Home")));
        QVERIFY(!m_window->action(QStringLiteral("Save"))->isEnabled());
    }

    // A signal is no user: nothing asks, the unsaved editors are named in
    // the log and closed all the same, and the window closes.
    void endOnSignalPassesTheGuards()
    {
        openWindow({"testplugin_multi"});
        send(QStringLiteral("Home"), QStringLiteral("navigate"), QStringLiteral("A/B"));
        send(QStringLiteral("A/B"), QStringLiteral("navigate"), QStringLiteral("Cat/Ed"));
        editor(QStringLiteral("A/B"))->setProperty("modified", true);
        editor(QStringLiteral("Cat/Ed"))->setProperty("modified", true);
        m_window->show();
        m_ui.boxes.clear();
        QTest::ignoreMessage(QtWarningMsg, "SIGTERM received: closing the editor");
        QTest::ignoreMessage(QtWarningMsg, "Unsaved changes are lost in: Cat/Ed, A/B");
        QCOMPARE(m_window->endOnSignal(QStringLiteral("SIGTERM")), (QStringList{"Cat/Ed", "A/B"}));
        QVERIFY2(m_ui.boxes.isEmpty(), qPrintable(m_ui.boxes.join('\n')));
        QVERIFY(!editor(QStringLiteral("A/B")) && !editor(QStringLiteral("Cat/Ed")) && !editor(QStringLiteral("Home")));
        QVERIFY(!m_window->isVisible()); // no connection to wait for
    }

    // A dock window is first placed at the top (tool bar) or left and its
    // record written; a record naming the right edge places it there.
    void dockRecords()
    {
        QSettings store(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"));
        store.setValue(QStringLiteral("QX_ConfigEdit/DockWindowPos/testDock"), QStringLiteral("0,0,0,120,300,rightDock,1"));
        store.sync();
        openWindow({"testplugin_multi"});
        auto *tools = m_window->findChild<QToolBar *>(QStringLiteral("testTools"));
        auto *dock = m_window->findChild<QDockWidget *>(QStringLiteral("testDock"));
        QVERIFY(tools && dock);
        QCOMPARE(m_window->toolBarArea(tools), Qt::TopToolBarArea);
        QCOMPARE(m_window->dockWidgetArea(dock), Qt::RightDockWidgetArea);
        const QString record = QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"))
                                   .value(QStringLiteral("QX_ConfigEdit/DockWindowPos/testTools"))
                                   .toString();
        QCOMPARE(record.split(QLatin1Char(',')).size(), 7);
        QVERIFY(record.startsWith(QLatin1String("0,")) && record.endsWith(QLatin1String(",top,1")));
        // The editor's menu sits between View and Config Editors.
        QStringList titles;
        for (QAction *a : m_window->menuBar()->actions())
            titles << a->text();
        QCOMPARE(titles, (QStringList{"&File", "&View", "&Test", "&Config Editors", "&Help"}));
    }

    void aboutPlugin()
    {
        openWindow({"testplugin_multi"});
        m_window->doHelpAboutPlugin();
        QCOMPARE(m_ui.boxes.size(), 2); // the refused key, then the About box
        QVERIFY(m_ui.boxes.last().startsWith("TAVEX Configuration Editor - Plugin About....: <qt><h3>libtestplugin_multi.so"
                                             "</h3><p>Version: </p><p>Test editor Home</p></qt>"));
    }

    void pathDisplayShowsTheVisibleKey()
    {
        openWindow({"testplugin_multi"});
        send(QStringLiteral("Home"), QStringLiteral("navigate"), QStringLiteral("Routing/Panels"));
        QStringList shown;
        for (QLabel *label : m_window->path()->findChildren<QLabel *>())
            if (label->isVisible())
                shown << label->text();
        QCOMPARE(shown, (QStringList{"Routing", ">", "Panels"}));
    }

private:
    QTemporaryDir m_settings;
    std::unique_ptr<QTemporaryDir> m_root;
    uiLog m_ui;
    std::unique_ptr<setdeskMainWindow> m_window;
};

QTEST_MAIN(tst_setdeskMainWindow)
#include "tst_setdeskMainWindow.moc"
