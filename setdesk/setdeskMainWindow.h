#pragma once

#include "config_plugin_base.h"
#include "pluginHost.h"
#include "response.h"

#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <memory>

class HelpWindow;
class QAction;
class QDialog;
class QMenu;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class downloadListView;
class pathDisplay;
class server_comms;
class tavex_widgetstack;

// What the main window shows the user in boxes and hands to the desktop;
// tests put their own in place.
class windowUi
{
public:
    virtual ~windowUi();
    virtual void information(QWidget *parent, const QString &title, const QString &text);
    // True when the user chose "Abandon".
    virtual bool abandon(QWidget *parent, const QString &title, const QString &text);
    virtual void about(QWidget *parent, const QString &title, const QString &text);
    virtual void open(const QString &fileOrAddress);
};

// The editor's main window: the editors of the plugins on a stack under the
// path display, a fixed tool bar, a menu bar whose middle belongs to the
// visible editor, the tree of editor keys in a window of its own, navigation
// history, saving, and closing with a question where changes would be lost.
class setdeskMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    setdeskMainWindow(server_comms *comms, bool local, pluginLibrary::buildFilter filter,
                      std::unique_ptr<windowUi> ui = nullptr);
    ~setdeskMainWindow() override;

    pluginHost &host() { return *m_host; }
    tavex_widgetstack *editorStack() const { return m_stack; }
    pathDisplay *path() const { return m_path; }
    QTreeWidget *treeView() const { return m_treeView; }
    QStringList history() const { return m_history; }
    QAction *action(const QString &name) const;
    QMenu *windowsMenu() const { return m_windowsMenu; }

    // Finds or makes the editor of a key and puts it on top of the stack.
    config_plugin_base *openEditor(const QString &key);
    // Closes one editor, asking first when it has unsaved changes (unless
    // not `ask`); false when the user kept it.
    bool closeEditor(config_plugin_base *editor, bool ask = true);
    // Ends the editor on a signal, which no guard may hold up: editors with
    // unsaved changes are named in the log and closed all the same, then the
    // window closes as usual. Returns the editors whose changes were lost.
    QStringList endOnSignal(const QString &signalName);

public slots:
    void dummy();
    void setServer(const QString &server, const QString &system, const QString &user, const QString &userLevel);
    void buildmenus();
    void buildmenus(config_plugin_base *editor);
    void destroyed(QObject *object);
    void dockWindowPositionChanged(QWidget *dock);
    void listViewSelectionChanged(QTreeWidgetItem *item);
    void windowActivated(QWidget *widget);
    void windowDeactivated(QWidget *widget);
    void command(QString type, QString value);
    void back_slot();
    void home_slot();
    void commsEvent(response &result, QString &uid);
    // A server notice of a stored or deleted file, passed to every open editor.
    void serverNotice(const QString &type, const QString &path, const QString &undoName);
    void updatesystem();
    void cleanup();
    void windowsMenuAboutToShow();
    void viewMenuAboutToShow();
    void windowsMenuActivated(int position);
    void viewMenuTreeActivated(int id = 0);
    void viewMenuDownloadActivated(int id = 0);
    void viewMenuLockActivated(int id = 0);
    void closeCurrent();
    void editWidgetDestroyed(QObject *object);
    void saveCurrent();
    void saveAll();
    QTreeWidgetItem *lviFind(QTreeWidgetItem *item, const QString &text);
    void doHelpAbout();
    void doHelpAboutPlugin();
    void doHelpContents();
    void doHelpContext();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QAction *makeAction(const QString &name, const QString &text, const QKeySequence &shortcut, const char *icon,
                        void (setdeskMainWindow::*slot)(), bool enabled);
    // The position record of a dock window (tool bar or dock widget).
    static QString dockRecord(const QMainWindow *window, const QWidget *dock);
    static QString dockSettingsKey(const QWidget *dock);
    void makeStack();
    void navigate(const QString &value);
    // Answers an editor's "session", "editors" or "locks" question.
    void answer(config_plugin_base *editor, const QString &question);
    void loadPlugins();
    bool anyModified();
    bool isModified(config_plugin_base *editor);
    void updateSaveAll();
    void saveDockPosition(QWidget *dock);
    void restoreDockPosition(QWidget *dock);
    void watchDock(QWidget *dock);
    QList<QWidget *> dockWindowsOf(config_plugin_base *editor);
    void toggle(QWidget *window);
    QList<config_plugin_base *> openEditors() const;

    QPointer<server_comms> m_comms;
    std::unique_ptr<windowUi> m_ui;
    QString m_server;
    QString m_system;
    QString m_user;
    QString m_userLevel;
    QStringList m_history;
    QTreeWidget *m_treeView = nullptr;
    QDialog *m_treeWindow = nullptr;
    pluginHost *m_host = nullptr;
    pathDisplay *m_path = nullptr;
    tavex_widgetstack *m_stack = nullptr;
    QToolBar *m_toolBar = nullptr;
    QMenu *m_fileMenu = nullptr;
    QMenu *m_viewMenu = nullptr;
    QMenu *m_windowsMenu = nullptr;
    QMenu *m_helpMenu = nullptr;
    QList<QAction *> m_actions;
    downloadListView *m_downloads = nullptr;
    downloadListView *m_locks = nullptr;
    HelpWindow *m_help = nullptr;
    QList<QPointer<QWidget>> m_watchedDocks;
};
