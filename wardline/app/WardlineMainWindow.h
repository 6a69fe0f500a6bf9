#pragma once

#include "moduleListObserver.h"
#include "ui_WardlineMainWindowBase.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <memory>

class ModuleListViewItem;
class QAction;
class QMenu;
class QProgressDialog;
class QTreeWidgetItem;
class alarmEngine;
class diagnostics;

// The engine's window: one row per module, the calculation counters, the
// mastership mode, and a text pane with the engine's messages or the
// selected module's message log. The engine lives as long as the window.
class WardlineMainWindow : public QMainWindow, public Ui::WardlineMainWindowBase, public moduleListObserver
{
    Q_OBJECT

public:
    // The pane shows a module's whole message log (AlmConfig::MaxLogLines).
    static constexpr int maxLogLines = 1000;

    // The engine takes the command line without the program name.
    explicit WardlineMainWindow(QWidget *parent = nullptr);
    explicit WardlineMainWindow(const QStringList &arguments, QWidget *parent = nullptr);
    ~WardlineMainWindow() override;

    // Brings the engine up; false: do not run the event loop.
    bool Start();

    alarmEngine *engine() const { return m_engine.get(); }
    ModuleListViewItem *findRow(const QString &fileName) const;
    QAction *logAction(int bit) const;
    QAction *debugAction() const { return m_debugAction; }
    QProgressDialog *progressDialog() const { return m_progress; }
    QMenu *contextMenu() const { return m_contextMenu; }
    QAction *showAction() const { return m_showAction; }
    diagnostics *diagnosticsWindow() const;

    static QString aboutText(const QString &programPath);

    // moduleListObserver
    void addRow(int type, const QString &module, const QString &instance, const QString &name,
                const QString &fileName, int loadState) override;
    void setHealth(const QString &fileName, int health) override;
    void setLoadState(const QString &fileName, int loadState) override;
    void showMessage(const QString &line) override;

public slots:
    // The rest of the display and the diagnostics window's side of its signals.
    void Dummy();
    void diagForceState(int code, const QStringList &names);
    void UpdateDiagnosticsScreen();
    void updateDiagnosticsProcess(int row, int position);
    void updateProcesses();
    void findFilterProcess(const QString &name, bool &found);
    void diagHide();
    void diagnosticsOn();
    void printData();
    void testGetData();
    void DebugMenuShow();
    void DebugOn();
    void DebugClear();
    void UpdateDisplaySlow();
    void Debug(const QString &line);

    void changeSelected();
    void changeSelected(QTreeWidgetItem *item);
    void about();
    void UpdateDisplayFast();
    void UpdateTxRx();
    // A log item was chosen (the menu has already toggled it).
    void LogOn(int bit);
    // The "&Debug" item was toggled.
    void SwitchDebug();
    void StartExtraNetworkActivity();
    void contextMenuRequested(QTreeWidgetItem *item, const QPoint &globalPos);
    void restartAllPolls();
    void forceRxOnly();
    // The colouring buttons: stop the run that is on, or start an operator's run.
    void greeningClicked();
    void reddingClicked();

private slots:
    void showProcessCount(int count);
    void showProgress(const QString &title, int value, int maximum);
    // The buttons follow the colouring mode.
    void showColouring(int previous, int mode);

private:
    struct logItem
    {
        int bit;
        QAction *action;
    };

    void buildMenus();
    ModuleListViewItem *selectedRow() const;
    void showMessages();
    void showModuleLog(const ModuleListViewItem *row);
    void showLines(const QStringList &lines);
    // Colouring buttons: hidden without colouring, "Stop" on its colour
    // while a run is on, the usual text and colours otherwise.
    void startColouringButtons();
    void showColouringRun(QPushButton *button, bool on, int mode);
    // Runs `work`; an exception is logged under `operation` and the program goes on.
    template<typename Work>
    void guarded(const char *operation, bool wardlinePrefix, Work &&work);

    QString m_description;
    QStringList m_messages;
    std::unique_ptr<alarmEngine> m_engine;
    QList<logItem> m_logItems;
    QAction *m_showAction = nullptr;
    QAction *m_debugAction = nullptr;
    QProgressDialog *m_progress = nullptr; // child, made on first use
    QPointer<QMenu> m_contextMenu;
    QPointer<diagnostics> m_diagnostics; // child window, made by the first "Show"
};
