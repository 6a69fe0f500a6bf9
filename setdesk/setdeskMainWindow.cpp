#include "setdeskMainWindow.h"

#include "HelpWindow.h"
#include "cTavexVersion.h"
#include "clientFolder.h"
#include "downloadListView.h"
#include "download_list.h"
#include "lock_list.h"
#include "pathDisplay.h"
#include "protocol.h"
#include "server_comms.h"
#include "setdesk_log.h"
#include "tavex_widgetstack.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDockWidget>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QStyle>
#include <QToolBar>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWhatsThis>

namespace {

QSettings settings()
{
    return QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"));
}

const QString dockKeyPrefix = QStringLiteral("QX_ConfigEdit/DockWindowPos/");
const QString homeKey = QStringLiteral("Home");
const QString pluginDownloadUid = QStringLiteral("config/plugins/*");

// The window's picture: a sheet with a pen over it.
QIcon editorIcon()
{
    QPixmap picture(32, 32);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 60, 110), 1.5));
    p.setBrush(QColor(235, 240, 250));
    p.drawRect(5, 3, 18, 25);
    for (int y = 9; y < 25; y += 4)
        p.drawLine(8, y, 20, y);
    p.setBrush(QColor(220, 140, 30));
    p.drawPolygon(QPolygonF({QPointF(27, 10), QPointF(30, 13), QPointF(17, 26), QPointF(13, 28), QPointF(15, 23)}));
    return QIcon(picture);
}

QString areaName(Qt::DockWidgetArea area)
{
    switch (area) {
    case Qt::LeftDockWidgetArea: return QStringLiteral("left");
    case Qt::RightDockWidgetArea: return QStringLiteral("right");
    case Qt::TopDockWidgetArea: return QStringLiteral("top");
    case Qt::BottomDockWidgetArea: return QStringLiteral("bottom");
    default: return QStringLiteral("none");
    }
}

QString areaName(Qt::ToolBarArea area)
{
    switch (area) {
    case Qt::LeftToolBarArea: return QStringLiteral("left");
    case Qt::RightToolBarArea: return QStringLiteral("right");
    case Qt::TopToolBarArea: return QStringLiteral("top");
    case Qt::BottomToolBarArea: return QStringLiteral("bottom");
    default: return QStringLiteral("none");
    }
}

} // namespace

windowUi::~windowUi() = default;

void windowUi::information(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::information(parent, title, text);
}

bool windowUi::abandon(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    QPushButton *abandon = box.addButton(QStringLiteral("Abandon"), QMessageBox::DestructiveRole);
    QPushButton *cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.clickedButton() == abandon;
}

void windowUi::about(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox::about(parent, title, text);
}

void windowUi::open(const QString &fileOrAddress)
{
    const QUrl url = QUrl::fromUserInput(fileOrAddress, QString(), QUrl::AssumeLocalFile);
    QDesktopServices::openUrl(url);
}

setdeskMainWindow::setdeskMainWindow(server_comms *comms, bool local, pluginLibrary::buildFilter filter,
                                     std::unique_ptr<windowUi> ui)
    : m_comms(comms), m_ui(ui ? std::move(ui) : std::make_unique<windowUi>())
{
    setObjectName(QStringLiteral("setdeskMainWindow"));
    setWindowIcon(editorIcon());
    setWindowTitle(QStringLiteral("TAVEX - Configuration Editor"));
    if (m_comms)
        connect(m_comms, &server_comms::notice, this, &setdeskMainWindow::serverNotice);

    // The tree of editor keys lives in a window of its own, hidden at first.
    m_treeWindow = new QDialog(this);
    m_treeWindow->setWindowTitle(QStringLiteral("Tree View of Configuration Plugins"));
    m_treeWindow->setGeometry(100, 100, 400, 600);
    m_treeView = new QTreeWidget(m_treeWindow);
    m_treeView->setObjectName(QStringLiteral("Tree View"));
    m_treeView->setColumnCount(1);
    m_treeView->setHeaderLabels({QStringLiteral("Config")});
    m_treeView->header()->hide();
    m_treeView->setWhatsThis(QStringLiteral("The list of configuration editors for this system"));
    auto *treeLayout = new QVBoxLayout(m_treeWindow);
    treeLayout->setContentsMargins(0, 0, 0, 0);
    treeLayout->addWidget(m_treeView);
    connect(m_treeView, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem *item) { listViewSelectionChanged(item); });

    m_host = new pluginHost(m_treeView, this);
    m_host->setLocal(local);
    m_host->setBuildFilter(filter);
    connect(m_host, &pluginHost::keyRefused, this, [this](const QString &library, const QString &key) {
        m_ui->information(this, QStringLiteral("Configuration Editor - Plugin loader"),
                          QStringLiteral("<qt><p>The plugin:<ul><li>%1</li></ul> contains the following key:<ul><li>%2"
                                         "</li></ul> that contain reserved characters such as &lt; &gt; : , = &amp; \" '"
                                         "</p><p>This editor will not be available</p></qt>")
                              .arg(library, key));
    });

    m_fileMenu = new QMenu(QStringLiteral("&File"), this);
    m_fileMenu->setObjectName(QStringLiteral("FileMenu"));
    m_windowsMenu = new QMenu(QStringLiteral("&Config Editors"), this);
    m_windowsMenu->setObjectName(QStringLiteral("WindowMenu"));
    connect(m_windowsMenu, &QMenu::aboutToShow, this, &setdeskMainWindow::windowsMenuAboutToShow);
    m_helpMenu = new QMenu(QStringLiteral("&Help"), this);
    m_helpMenu->setObjectName(QStringLiteral("HelpMenu"));
    m_viewMenu = new QMenu(QStringLiteral("&View"), this);
    m_viewMenu->setObjectName(QStringLiteral("ViewMenu"));
    connect(m_viewMenu, &QMenu::aboutToShow, this, &setdeskMainWindow::viewMenuAboutToShow);

    m_toolBar = new QToolBar(QStringLiteral("Fixed"), this);
    m_toolBar->setObjectName(QStringLiteral("Fixed"));
    m_toolBar->setMovable(false);
    addToolBar(Qt::TopToolBarArea, m_toolBar);

    QAction *contents = makeAction(QStringLiteral("Contents"), QStringLiteral("&Contents"), {}, "help",
                                   &setdeskMainWindow::doHelpContents, true);
    QAction *context = makeAction(QStringLiteral("Context Help"), QStringLiteral("Conte&xt"), {}, "context",
                                  &setdeskMainWindow::doHelpContext, true);
    QAction *about = makeAction(QStringLiteral("About"), QStringLiteral("&About"), {}, "about",
                                &setdeskMainWindow::doHelpAbout, true);
    QAction *aboutPlugin = makeAction(QStringLiteral("AboutPlugin"), QStringLiteral("About &Plugin"), {}, "about",
                                      &setdeskMainWindow::doHelpAboutPlugin, true);
    QAction *back = makeAction(QStringLiteral("Back"), QStringLiteral("&Back"), QKeySequence(Qt::ALT | Qt::Key_Left),
                               "back", &setdeskMainWindow::back_slot, false);
    QAction *home = makeAction(QStringLiteral("Home"), QStringLiteral("&Home"), QKeySequence(Qt::ALT | Qt::Key_Home),
                               "home", &setdeskMainWindow::home_slot, true);
    home->setObjectName(QStringLiteral("Fixed1"));
    QAction *save = makeAction(QStringLiteral("Save"), QStringLiteral("&Save"), QKeySequence(Qt::CTRL | Qt::Key_S),
                               "save", &setdeskMainWindow::saveCurrent, false);
    QAction *saveAllAction = makeAction(QStringLiteral("Save All"), QStringLiteral("Save &All"),
                                        QKeySequence(Qt::CTRL | Qt::Key_L), "saveall", &setdeskMainWindow::saveAll, false);
    QAction *close = makeAction(QStringLiteral("Close"), QStringLiteral("&Close"), QKeySequence(Qt::CTRL | Qt::Key_F4),
                                "close", &setdeskMainWindow::closeCurrent, true);
    QAction *whatsThis = QWhatsThis::createAction(this);
    whatsThis->setText(QStringLiteral("What's This?"));
    whatsThis->setToolTip(QStringLiteral("\"What's This?\" Help"));
    whatsThis->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F1));
    whatsThis->setObjectName(QStringLiteral("Fixed"));
    whatsThis->setProperty("actionName", QStringLiteral("\"What's This?\" Help"));
    m_actions << whatsThis;
    QAction *exit = new QAction(style()->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("E&xit"), this);
    exit->setObjectName(QStringLiteral("Fixed"));
    exit->setProperty("actionName", QStringLiteral("Exit"));
    exit->setToolTip(QStringLiteral("Exit"));
    exit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    connect(exit, &QAction::triggered, this, &QWidget::close);
    m_actions << exit;

    m_helpMenu->addAction(contents);
    m_helpMenu->addAction(context);
    m_helpMenu->addSeparator();
    m_helpMenu->addAction(about);
    m_helpMenu->addAction(aboutPlugin);
    m_toolBar->addAction(back);
    m_toolBar->addAction(home);
    for (QAction *a : {save, saveAllAction, close}) {
        m_fileMenu->addAction(a);
        m_toolBar->addAction(a);
    }
    m_toolBar->addAction(whatsThis);
    m_fileMenu->addAction(exit);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    m_path = new pathDisplay(central);
    layout->addWidget(m_path);
    setCentralWidget(central);
    connect(m_path, &pathDisplay::command, this, &setdeskMainWindow::command);
    makeStack();

    buildmenus();
}

setdeskMainWindow::~setdeskMainWindow()
{
    menuBar()->clear();
    // Editors go before the libraries their code lives in.
    delete m_stack;
    m_stack = nullptr;
    delete m_host;
    m_host = nullptr;
    delete m_downloads;
    delete m_locks;
    delete m_treeWindow;
    delete m_help;
    QSettings store = settings();
    store.setValue(QStringLiteral("QX_ConfigEdit/MainWindowMaximized"), isMaximized() ? QStringLiteral("1") : QStringLiteral("0"));
    if (!isMaximized()) {
        const QRect area = geometry();
        store.setValue(QStringLiteral("QX_ConfigEdit/MainWindowPos"),
                       QStringLiteral("%1,%2,%3,%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height()));
    }
    m_history.clear();
}

QAction *setdeskMainWindow::makeAction(const QString &name, const QString &text, const QKeySequence &shortcut,
                                       const char *icon, void (setdeskMainWindow::*slot)(), bool enabled)
{
    static const QHash<QByteArray, QStyle::StandardPixmap> icons{
        {"help", QStyle::SP_DialogHelpButton}, {"context", QStyle::SP_MessageBoxQuestion},
        {"about", QStyle::SP_MessageBoxInformation}, {"back", QStyle::SP_ArrowBack},
        {"home", QStyle::SP_DirHomeIcon}, {"save", QStyle::SP_DialogSaveButton},
        {"saveall", QStyle::SP_DriveFDIcon}, {"close", QStyle::SP_DialogCloseButton}};
    auto *action = new QAction(style()->standardIcon(icons.value(icon)), text, this);
    action->setObjectName(QStringLiteral("Fixed"));
    action->setProperty("actionName", name);
    action->setToolTip(name);
    if (!shortcut.isEmpty())
        action->setShortcut(shortcut);
    action->setEnabled(enabled);
    connect(action, &QAction::triggered, this, slot);
    m_actions << action;
    return action;
}

QAction *setdeskMainWindow::action(const QString &name) const
{
    for (QAction *a : m_actions) {
        if (a->property("actionName").toString() == name)
            return a;
    }
    return nullptr;
}

void setdeskMainWindow::dummy() {}

void setdeskMainWindow::destroyed(QObject *) {}

void setdeskMainWindow::setServer(const QString &server, const QString &system, const QString &user,
                                  const QString &userLevel)
{
    m_server = server;
    m_system = system;
    m_user = user;
    m_userLevel = userLevel;
    m_host->setSession(m_comms ? m_comms->clientDir() : clientFolder::path(), system, userLevel);
    // Libraries the plugins need are found beside them.
    qputenv("PATH", qgetenv("PATH") + ':' + QFile::encodeName(m_host->pluginFolder()));
    setWindowTitle(QStringLiteral("TAVEX - Configuration Editor: %1 - %2 (%3/%4)").arg(server, system, user, userLevel));

    const QSettings store = settings();
    const QString position = store.value(QStringLiteral("QX_ConfigEdit/MainWindowPos")).toString();
    if (!position.isEmpty()) {
        const QStringList parts = position.split(QLatin1Char(','));
        if (parts.size() >= 4)
            setGeometry(parts.at(0).toInt(), parts.at(1).toInt(), parts.at(2).toInt(), parts.at(3).toInt());
    }
    if (store.value(QStringLiteral("QX_ConfigEdit/MainWindowMaximized")).toString() != u"1" && !position.isEmpty())
        show();
    else
        showMaximized();

    if (m_comms) {
        const QByteArray name = protocol::escape(system).toUtf8();
        m_comms->send("<synclist uid=\"download:config/plugins/*\" type=\"request\" path=\"config/plugins\" system=\"" + name
                      + "\" />\r\n<locklist uid=\"startup\" type=\"request\" system=\"" + name + "\" />\r\n");
    }
}

void setdeskMainWindow::buildmenus()
{
    buildmenus(nullptr);
}

void setdeskMainWindow::buildmenus(config_plugin_base *editor)
{
    menuBar()->clear();
    menuBar()->addMenu(m_fileMenu);
    menuBar()->addMenu(m_viewMenu);
    {
        const QSignalBlocker quiet(this);
        for (QToolBar *bar : findChildren<QToolBar *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (bar->objectName() != u"Fixed" && toolBarArea(bar) != Qt::NoToolBarArea)
                removeToolBar(bar);
        }
        for (QDockWidget *dock : findChildren<QDockWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
            if (dock->objectName() != u"Fixed")
                removeDockWidget(dock);
        }
    }
    if (editor) {
        QList<QMenu *> menus;
        m_host->guarded(editor, "menus", [&] { editor->menus(menus); });
        for (QMenu *menu : std::as_const(menus)) {
            if (!menu)
                continue;
            menu->setTitle(menu->objectName());
            menuBar()->addMenu(menu);
        }
        for (QWidget *dock : dockWindowsOf(editor))
            restoreDockPosition(dock);
    }
    menuBar()->addMenu(m_windowsMenu);
    menuBar()->addMenu(m_helpMenu);
}

QList<QWidget *> setdeskMainWindow::dockWindowsOf(config_plugin_base *editor)
{
    QList<QWidget *> docks;
    if (editor)
        m_host->guarded(editor, "dockWindows", [&] { editor->dockWindows(docks); });
    docks.removeIf([](QWidget *w) { return !w || (!qobject_cast<QToolBar *>(w) && !qobject_cast<QDockWidget *>(w)); });
    return docks;
}

QString setdeskMainWindow::dockSettingsKey(const QWidget *dock)
{
    return dockKeyPrefix + dock->objectName();
}

QString setdeskMainWindow::dockRecord(const QMainWindow *window, const QWidget *dock)
{
    const auto *bar = qobject_cast<const QToolBar *>(dock);
    const auto *dockWidget = qobject_cast<const QDockWidget *>(dock);
    const bool floating = bar ? bar->isFloating() : dockWidget && dockWidget->isFloating();
    QString area = QStringLiteral("none");
    if (!floating && bar)
        area = areaName(window->toolBarArea(const_cast<QToolBar *>(bar)));
    else if (!floating && dockWidget)
        area = areaName(window->dockWidgetArea(const_cast<QDockWidget *>(dockWidget)));
    const QRect where = dock->geometry();
    return QStringLiteral("%1,%2,%3,%4,%5,%6,%7")
        .arg(floating ? 1 : 0)
        .arg(where.x())
        .arg(where.y())
        .arg(where.width())
        .arg(where.height())
        .arg(area)
        .arg(dock->isVisible() ? 1 : 0);
}

void setdeskMainWindow::saveDockPosition(QWidget *dock)
{
    if (!dock || dock->objectName().isEmpty())
        return;
    settings().setValue(dockSettingsKey(dock), dockRecord(this, dock));
}

void setdeskMainWindow::watchDock(QWidget *dock)
{
    for (const QPointer<QWidget> &watched : std::as_const(m_watchedDocks)) {
        if (watched == dock)
            return;
    }
    m_watchedDocks << dock;
    // A dock window reports its moves through its own signals.
    const auto moved = [this, dock] {
        if (!signalsBlocked())
            dockWindowPositionChanged(dock);
    };
    if (auto *bar = qobject_cast<QToolBar *>(dock)) {
        connect(bar, &QToolBar::topLevelChanged, this, moved);
        connect(bar, &QToolBar::orientationChanged, this, moved);
    } else if (auto *dockWidget = qobject_cast<QDockWidget *>(dock)) {
        connect(dockWidget, &QDockWidget::topLevelChanged, this, moved);
        connect(dockWidget, &QDockWidget::dockLocationChanged, this, moved);
    }
}

void setdeskMainWindow::restoreDockPosition(QWidget *dock)
{
    auto *bar = qobject_cast<QToolBar *>(dock);
    auto *dockWidget = qobject_cast<QDockWidget *>(dock);
    const QStringList fields = settings().value(dockSettingsKey(dock)).toString().split(QLatin1Char(','));
    const QSignalBlocker quiet(this);
    if (fields.size() != 7) {
        // First placement: tool bars at the top, other dock windows at the left.
        if (bar)
            addToolBar(Qt::TopToolBarArea, bar);
        else
            addDockWidget(Qt::LeftDockWidgetArea, dockWidget);
        dock->show();
        saveDockPosition(dock);
        watchDock(dock);
        return;
    }
    const QRect where(fields.at(1).toInt(), fields.at(2).toInt(), fields.at(3).toInt(), fields.at(4).toInt());
    const QString &area = fields.at(5);
    if (fields.at(0) != u"0" && dockWidget) {
        addDockWidget(Qt::LeftDockWidgetArea, dockWidget);
        dockWidget->setFloating(true);
        dockWidget->setGeometry(where);
    } else if (bar) {
        // A tool bar floats only when the user drags it off: one recorded as
        // floating comes back at the top.
        const Qt::ToolBarArea edge = area.contains(u"left")     ? Qt::LeftToolBarArea
                                     : area.contains(u"right")  ? Qt::RightToolBarArea
                                     : area.contains(u"bottom") ? Qt::BottomToolBarArea
                                                                : Qt::TopToolBarArea;
        addToolBar(edge, bar);
    } else {
        const Qt::DockWidgetArea edge = area.contains(u"left")     ? Qt::LeftDockWidgetArea
                                        : area.contains(u"right")  ? Qt::RightDockWidgetArea
                                        : area.contains(u"top")    ? Qt::TopDockWidgetArea
                                        : area.contains(u"bottom") ? Qt::BottomDockWidgetArea
                                                                   : Qt::LeftDockWidgetArea;
        addDockWidget(edge, dockWidget);
        const bool across = edge == Qt::TopDockWidgetArea || edge == Qt::BottomDockWidgetArea;
        resizeDocks({dockWidget}, {across ? where.height() : where.width()}, across ? Qt::Vertical : Qt::Horizontal);
    }
    dock->setVisible(fields.at(6) != u"0");
    watchDock(dock);
}

void setdeskMainWindow::dockWindowPositionChanged(QWidget *dock)
{
    saveDockPosition(dock);
}

void setdeskMainWindow::listViewSelectionChanged(QTreeWidgetItem *item)
{
    const QString key = pluginHost::keyOf(item);
    if (!key.isEmpty())
        command(QStringLiteral("navigate"), key);
}

bool setdeskMainWindow::isModified(config_plugin_base *editor)
{
    bool modified = false;
    if (editor)
        m_host->guarded(editor, "isModified", [&] { modified = editor->isModified(); });
    return modified;
}

bool setdeskMainWindow::anyModified()
{
    const QList<config_plugin_base *> editors = openEditors();
    return std::any_of(editors.cbegin(), editors.cend(), [this](config_plugin_base *e) { return isModified(e); });
}

void setdeskMainWindow::updateSaveAll()
{
    action(QStringLiteral("Save All"))->setEnabled(anyModified());
}

QList<config_plugin_base *> setdeskMainWindow::openEditors() const
{
    QList<config_plugin_base *> editors;
    if (!m_stack)
        return editors;
    for (QWidget *w : m_stack->windowList()) {
        if (auto *editor = qobject_cast<config_plugin_base *>(w))
            editors << editor;
    }
    return editors;
}

void setdeskMainWindow::windowActivated(QWidget *widget)
{
    auto *editor = qobject_cast<config_plugin_base *>(widget);
    if (editor) {
        m_host->guarded(editor, "setActive", [&] { editor->setActive(true); });
        buildmenus(editor);
        if (QTreeWidgetItem *item = m_host->itemOf(editor->uid))
            m_treeView->setCurrentItem(item);
        m_path->setPath(editor->uid);
        if (isModified(editor)) {
            qCDebug(lcSetdesk) << "plugin dirty";
            action(QStringLiteral("Save"))->setEnabled(true);
            action(QStringLiteral("Save All"))->setEnabled(true);
        } else {
            qCDebug(lcSetdesk) << "plugin NOT dirty";
            action(QStringLiteral("Save"))->setEnabled(false);
            updateSaveAll();
        }
        return;
    }
    action(QStringLiteral("Save"))->setEnabled(false);
    updateSaveAll();
    m_treeView->clearSelection();
    m_treeView->setCurrentItem(nullptr);
    m_path->setPath(QString());
}

void setdeskMainWindow::windowDeactivated(QWidget *widget)
{
    if (auto *editor = qobject_cast<config_plugin_base *>(widget))
        m_host->guarded(editor, "setActive", [&] { editor->setActive(false); });
    buildmenus();
}

config_plugin_base *setdeskMainWindow::openEditor(const QString &key)
{
    if (key.isEmpty()) {
        qCDebug(lcSetdesk) << "errm no key to create widget";
        return nullptr;
    }
    config_plugin_base *editor = m_host->editor(key);
    if (!editor) {
        editor = m_host->createEditor(key);
        if (!editor)
            return nullptr;
        connect(editor, &QObject::destroyed, this, &setdeskMainWindow::editWidgetDestroyed);
        connect(editor, &config_plugin_base::command, this, &setdeskMainWindow::command);
    }
    m_stack->add(editor);
    return editor;
}

void setdeskMainWindow::command(QString type, QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1Char('/'));
    auto *editor = qobject_cast<config_plugin_base *>(sender());
    const QString uid = editor ? editor->uid : QString();
    using request = void (server_comms::*)(const QString &, const QString &);
    static const QHash<QString, request> requests{
        {QStringLiteral("downloadFile"), &server_comms::downloadFile},
        {QStringLiteral("lock"), &server_comms::lock},
        {QStringLiteral("syncDirDownload"), &server_comms::syncDirDownload},
        {QStringLiteral("syncDirUpload"), &server_comms::syncDirUpload},
        {QStringLiteral("lockDir"), &server_comms::lockDir},
        {QStringLiteral("unlockDir"), &server_comms::unlockDir},
        {QStringLiteral("checkoutFile"), &server_comms::checkoutFile},
        {QStringLiteral("checkoutDir"), &server_comms::checkoutDir},
        {QStringLiteral("deleteDir"), &server_comms::checkoutDir},
        {QStringLiteral("delete"), &server_comms::checkoutDir},
        {QStringLiteral("dir"), &server_comms::dir},
        {QStringLiteral("unlock"), &server_comms::unlock},
    };
    if (const auto it = requests.constFind(type); it != requests.constEnd()) {
        if (m_comms)
            (m_comms->**it)(value, uid);
    } else if (type == u"uploadFile") {
        if (m_comms)
            m_comms->uploadFile(value, uid, m_host->workingFolder());
    } else if (type == u"releaseLock") {
        if (m_comms)
            m_comms->releaseLock(value, uid);
    } else if (type == u"session" || type == u"editors" || type == u"locks") {
        if (editor)
            answer(editor, type);
    } else if (type == u"navigate") {
        navigate(value);
    } else if (type == u"help") {
        m_ui->open(value);
    } else if (type == u"dirty") {
        qCDebug(lcSetdesk) << "got command of dirty";
        if (editor && editor == m_stack->first())
            action(QStringLiteral("Save"))->setEnabled(true);
        action(QStringLiteral("Save All"))->setEnabled(true);
    } else if (type == u"clean") {
        qCDebug(lcSetdesk) << "got command of clean";
        if (editor && editor == m_stack->first())
            action(QStringLiteral("Save"))->setEnabled(false);
        updateSaveAll();
    } else {
        qCDebug(lcSetdesk).noquote() << QStringLiteral("Unknown command type: %1 and value %2").arg(type, value);
    }
}

void setdeskMainWindow::answer(config_plugin_base *editor, const QString &question)
{
    QStringList lines;
    if (question == u"session") {
        lines = QStringList{m_server, m_system, m_user, m_userLevel};
    } else if (question == u"editors") {
        lines = m_host->keys();
    } else {
        for (const pair &held : lock_list(m_system).pairs())
            lines << held.key + QLatin1Char(',') + held.path;
    }
    response result(response::Done, question, QString(), lines.join(QLatin1Char('\n')));
    m_host->guarded(editor, "commsEvent", [&] { editor->commsEvent(result); });
}

void setdeskMainWindow::serverNotice(const QString &type, const QString &path, const QString &undoName)
{
    const QString operation = type == u"delete" ? QStringLiteral("deleted") : QStringLiteral("updated");
    for (config_plugin_base *editor : openEditors()) {
        response result(response::Done, operation, path, undoName);
        m_host->guarded(editor, "commsEvent", [&] { editor->commsEvent(result); });
    }
}

void setdeskMainWindow::navigate(const QString &value)
{
    qCDebug(lcSetdesk).noquote() << QStringLiteral("Navigate to ") + value;
    const QStringList parts = value.split(QLatin1Char(','));
    if (parts.size() > 2)
        return;
    if (m_history.isEmpty() || m_history.last() != value)
        m_history << value;
    if (m_history.size() > 1)
        action(QStringLiteral("Back"))->setEnabled(true);
    config_plugin_base *editor = openEditor(parts.first());
    if (!editor)
        return;
    if (parts.size() == 2)
        m_host->guarded(editor, "navigate", [&] { editor->navigate(parts.at(0), parts.at(1)); });
    if (QTreeWidgetItem *item = m_host->itemOf(parts.first()))
        m_treeView->setCurrentItem(item);
}

void setdeskMainWindow::back_slot()
{
    if (m_history.size() < 2) {
        action(QStringLiteral("Back"))->setEnabled(false);
        return;
    }
    m_history.removeLast();
    const QString previous = m_history.takeLast();
    if (m_history.isEmpty())
        action(QStringLiteral("Back"))->setEnabled(false);
    command(QStringLiteral("navigate"), previous);
}

void setdeskMainWindow::home_slot()
{
    command(QStringLiteral("navigate"), homeKey);
}

void setdeskMainWindow::commsEvent(response &result, QString &uid)
{
    if (config_plugin_base *editor = m_host->editor(uid)) {
        m_host->guarded(editor, "commsEvent", [&] { editor->commsEvent(result); });
        return;
    }
    if (result.operation == u"download" && result.status == response::BatchEnd && uid == pluginDownloadUid)
        loadPlugins();
}

void setdeskMainWindow::loadPlugins()
{
    m_host->loadPlugins();
    m_path->setKeys(m_host->keys());
    command(QStringLiteral("navigate"), homeKey);
}

void setdeskMainWindow::updatesystem()
{
    if (auto *editor = qobject_cast<config_plugin_base *>(m_stack->first()))
        m_host->guarded(editor, "setActive", [&] { editor->setActive(false); });
}

void setdeskMainWindow::makeStack()
{
    m_stack = new tavex_widgetstack(centralWidget());
    static_cast<QVBoxLayout *>(centralWidget()->layout())->addWidget(m_stack, 1);
    connect(m_stack, &tavex_widgetstack::windowActivated, this, &setdeskMainWindow::windowActivated);
    connect(m_stack, &tavex_widgetstack::windowDeactivated, this, &setdeskMainWindow::windowDeactivated);
}

void setdeskMainWindow::cleanup()
{
    menuBar()->clear();
    delete m_stack;
    // The libraries go once no editor of theirs is left.
    const bool local = m_host->isLocal();
    const pluginLibrary::buildFilter filter = m_host->buildFilter();
    const QStringList session = m_host->session();
    delete m_host;
    m_host = new pluginHost(m_treeView, this);
    m_host->setLocal(local);
    m_host->setBuildFilter(filter);
    m_host->setSession(session.value(0), session.value(1), session.value(2));
    makeStack();
    buildmenus();
}

void setdeskMainWindow::windowsMenuAboutToShow()
{
    m_windowsMenu->clear();
    const QList<config_plugin_base *> editors = openEditors();
    if (editors.isEmpty()) {
        m_windowsMenu->addAction(QStringLiteral("(None Active)"))->setEnabled(false);
        return;
    }
    for (int i = 0; i < editors.size(); ++i) {
        config_plugin_base *editor = editors.at(i);
        QString text = QStringLiteral("&%1 ").arg(i + 1) + editor->uid;
        if (isModified(editor))
            text += QStringLiteral(" (- modified)");
        QAction *item = m_windowsMenu->addAction(text);
        item->setCheckable(true);
        item->setChecked(editor == m_stack->first());
        connect(item, &QAction::triggered, this, [this, i] { windowsMenuActivated(i); });
    }
}

void setdeskMainWindow::windowsMenuActivated(int position)
{
    const QList<config_plugin_base *> editors = openEditors();
    if (position >= 0 && position < editors.size())
        m_stack->add(editors.at(position));
}

void setdeskMainWindow::viewMenuAboutToShow()
{
    m_viewMenu->clear();
    const auto item = [this](const QString &text, QWidget *window, void (setdeskMainWindow::*slot)(int)) {
        QAction *a = m_viewMenu->addAction(text);
        a->setCheckable(true);
        a->setChecked(window && window->isVisible());
        connect(a, &QAction::triggered, this, [this, slot] { (this->*slot)(0); });
    };
    item(QStringLiteral("Tree View"), m_treeWindow, &setdeskMainWindow::viewMenuTreeActivated);
    item(QStringLiteral("Downloaded Files"), m_downloads, &setdeskMainWindow::viewMenuDownloadActivated);
    item(QStringLiteral("Locked Files"), m_locks, &setdeskMainWindow::viewMenuLockActivated);
}

void setdeskMainWindow::toggle(QWidget *window)
{
    window->setVisible(!window->isVisible());
}

void setdeskMainWindow::viewMenuTreeActivated(int)
{
    toggle(m_treeWindow);
}

void setdeskMainWindow::viewMenuDownloadActivated(int)
{
    if (!m_downloads)
        m_downloads = new downloadListView(downloadListView::downloadedFiles, m_system, nullptr, Qt::Window);
    toggle(m_downloads);
}

void setdeskMainWindow::viewMenuLockActivated(int)
{
    if (!m_locks)
        m_locks = new downloadListView(downloadListView::lockedFiles, m_system, nullptr, Qt::Window);
    toggle(m_locks);
}

bool setdeskMainWindow::closeEditor(config_plugin_base *editor, bool ask)
{
    const QList<QWidget *> docks = dockWindowsOf(editor);
    qCDebug(lcSetdesk).noquote() << QStringLiteral("setdeskMainWindow::closeCurrent #toolbars : %1").arg(docks.size());
    for (QWidget *dock : docks)
        saveDockPosition(dock);
    if (ask && isModified(editor)
        && !m_ui->abandon(this, QStringLiteral("Abandon changes to this configuration editor?"),
                          QStringLiteral("<qt><p>Abandon changes to: <br><b>\t%1</b>?</p><p>If you want to save these "
                                         "changes hit \"Cancel\" and then \"Save\" from the toolbar or \"File\" menu</qt>")
                              .arg(editor->uid)))
        return false;
    const QString uid = editor->uid;
    // The editor's tool bars and dock windows belong to the main window while
    // shown; they go with the editor (unless it deletes them itself).
    QList<QPointer<QWidget>> ownDocks;
    for (QWidget *dock : docks)
        ownDocks << dock;
    editor->close();
    {
        // Files this editor fetched but does not hold locked are no longer its own.
        download_list downloads(m_system);
        lock_list locks(m_system);
        for (const QString &path : downloads.pathsFor(uid)) {
            if (!locks.isLockedBy(uid, path))
                downloads.remove(path, uid);
        }
    }
    delete editor;
    for (const QPointer<QWidget> &dock : std::as_const(ownDocks))
        delete dock.data();
    return true;
}

void setdeskMainWindow::closeCurrent()
{
    auto *editor = qobject_cast<config_plugin_base *>(m_stack->first());
    if (editor && editor->uid != homeKey)
        closeEditor(editor);
}

void setdeskMainWindow::editWidgetDestroyed(QObject *object)
{
    if (m_host)
        m_host->forget(object);
}

void setdeskMainWindow::saveCurrent()
{
    qCDebug(lcSetdesk) << "save current";
    if (auto *editor = qobject_cast<config_plugin_base *>(m_stack->first()))
        m_host->guarded(editor, "save", [&] { editor->save(); });
}

void setdeskMainWindow::saveAll()
{
    qCDebug(lcSetdesk) << "save All";
    for (config_plugin_base *editor : openEditors())
        m_host->guarded(editor, "save", [&] { editor->save(); });
}

QTreeWidgetItem *setdeskMainWindow::lviFind(QTreeWidgetItem *item, const QString &text)
{
    if (!item)
        return nullptr;
    for (int i = 0; i < item->childCount(); ++i) {
        if (item->child(i)->text(0) == text)
            return item->child(i);
    }
    return nullptr;
}

void setdeskMainWindow::doHelpAbout()
{
    const QString version = cTavexVersion(QCoreApplication::applicationFilePath()).productVersion().trimmed();
    m_ui->about(this, QStringLiteral("TAVEX Configuration Editor - Application About...."),
                QStringLiteral("<h3>About TAVEX Configuration Editor</h3>"
                               "<p>Edits the configuration of a TAVEX installation through the editor plugins of "
                               "each system, checked out from and in to its configuration server.</p>"
                               "<p>Version: %1</p>")
                    .arg(version));
}

void setdeskMainWindow::doHelpAboutPlugin()
{
    const QString title = QStringLiteral("TAVEX Configuration Editor - Plugin About....");
    auto *editor = qobject_cast<config_plugin_base *>(m_stack->first());
    pluginLibrary *library = editor ? m_host->libraryOf(editor->uid) : nullptr;
    if (!library) {
        m_ui->about(this, title,
                    QStringLiteral("<qt>Plugin about: Please select a configuration option from the list in order to get "
                                   "the About information for that item</qt>"));
        return;
    }
    QString about;
    m_host->guarded(editor, "about", [&] { about = editor->about(); });
    const QString version = cTavexVersion(library->path()).productVersion().trimmed();
    m_ui->about(this, title,
                QStringLiteral("<qt><h3>%1</h3><p>Version: %2</p>%3</qt>").arg(library->fileName(), version, about));
}

void setdeskMainWindow::doHelpContents()
{
    const QString folder = m_host->systemRoot() + QStringLiteral("/config/plugins/doc");
    if (!m_help)
        m_help = new HelpWindow(QStringLiteral("index.html"), folder, this);
    m_help->showPage(QStringLiteral("index.html"));
    m_help->show();
}

void setdeskMainWindow::doHelpContext()
{
    doHelpContents();
    if (auto *editor = qobject_cast<config_plugin_base *>(m_stack->first()))
        m_help->showPage(editor->uid + QStringLiteral("/index.html"));
}

QStringList setdeskMainWindow::endOnSignal(const QString &signalName)
{
    QStringList unsaved;
    const QList<config_plugin_base *> editors = openEditors();
    for (config_plugin_base *editor : editors) {
        if (isModified(editor))
            unsaved << editor->uid;
    }
    qCWarning(lcSetdesk).noquote() << QStringLiteral("%1 received: closing the editor").arg(signalName);
    if (!unsaved.isEmpty())
        qCWarning(lcSetdesk).noquote()
            << QStringLiteral("Unsaved changes are lost in: %1").arg(unsaved.join(QStringLiteral(", ")));
    for (config_plugin_base *editor : editors)
        closeEditor(editor, false);
    close();
    return unsaved;
}

void setdeskMainWindow::closeEvent(QCloseEvent *event)
{
    const QList<config_plugin_base *> editors = openEditors();
    QStringList modified;
    for (config_plugin_base *editor : editors) {
        if (isModified(editor))
            modified << QStringLiteral("<li><b>%1</b></li>").arg(editor->uid);
    }
    if (!modified.isEmpty()) {
        m_ui->information(this, QStringLiteral("Information"),
                          QStringLiteral("<qt>The following editors still have unsaved changes:<ul>%1</ul><p>Please save "
                                         "or close these editor individually before closing this editor</p><p>To see "
                                         "which editors have unsaved changes look at the ConfigEditors menu</p></qt>")
                              .arg(modified.join(QString())));
        event->ignore();
        return;
    }
    for (config_plugin_base *editor : editors)
        closeEditor(editor);
    // The program ends when the server, told the editor is done, closes the
    // connection. Without a connection there is nobody to wait for.
    if (m_comms && m_comms->state() == QAbstractSocket::ConnectedState) {
        m_comms->closeDocument();
        event->ignore();
        return;
    }
    event->accept();
}
