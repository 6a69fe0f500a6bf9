#include "WardlineMainWindow.h"

#include "Logger.h"
#include "ModuleListViewItem.h"
#include "alarmEngine.h"
#include "colouringControl.h"
#include "cTavexVersion.h"
#include "logFlags.h"
// The diagnostics window and the processes it shows.
#include "CRuleKernel.h"
#include "diagnostics.h"
#include "faultHandler.h"
#include "processEngine.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>
#include <QSemaphore>
#include <QSet>

namespace {

const QString noModuleSelected = QStringLiteral("No Module Selected");

// Counters are shown as unsigned 32-bit numbers, as the modules keep them.
QString counterText(int value)
{
    return QString::asprintf("%08lu", static_cast<unsigned long>(static_cast<quint32>(value)));
}

// Done share of a poll, in whole percent.
qint64 percentDone(qint64 total, qint64 remaining)
{
    return (total - remaining) * 100 / total;
}

} // namespace

WardlineMainWindow::WardlineMainWindow(QWidget *parent)
    : WardlineMainWindow(QCoreApplication::arguments().mid(1), parent)
{
}

WardlineMainWindow::WardlineMainWindow(const QStringList &arguments, QWidget *parent)
    : QMainWindow(parent), m_messages{noModuleSelected}
{
    setupUi(this);
    lvModules->setItemDelegateForColumn(ModuleListViewItem::Status, new moduleStatusDelegate(lvModules));
    textEditLogs->setMaximumBlockCount(maxLogLines);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    showMessages();

    const cTavexVersion version(QCoreApplication::applicationFilePath());
    m_description = version.fileDescription();
    QStringList caption{version.productName(), m_description};
    caption.removeAll(QString());
    setWindowTitle(caption.join(QStringLiteral(" - ")));
    textTxRxMode->setText(QStringLiteral("Rx Only"));

    // The rows and the first messages arrive while the engine is being made.
    m_engine = std::make_unique<alarmEngine>(arguments, this);
    buildMenus();

    connect(lvModules, &QTreeWidget::itemSelectionChanged, this, qOverload<>(&WardlineMainWindow::changeSelected));
    connect(lvModules, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        contextMenuRequested(lvModules->itemAt(pos), lvModules->viewport()->mapToGlobal(pos));
    });
    connect(m_engine.get(), &alarmEngine::displayFast, this, &WardlineMainWindow::UpdateDisplayFast);
    connect(m_engine.get(), &alarmEngine::displayTxRx, this, &WardlineMainWindow::UpdateTxRx);
    connect(m_engine.get(), &alarmEngine::displaySlow, this, &WardlineMainWindow::UpdateDisplaySlow);
    connect(m_engine.get(), &alarmEngine::processCountChanged, this, &WardlineMainWindow::showProcessCount);
    connect(m_engine.get(), &alarmEngine::progress, this, &WardlineMainWindow::showProgress);
    // Greening and redding.
    connect(pushGreening, &QPushButton::clicked, this, &WardlineMainWindow::greeningClicked);
    connect(pushRedding, &QPushButton::clicked, this, &WardlineMainWindow::reddingClicked);
    connect(&m_engine->colouring(), &colouringControl::modeChanged, this, &WardlineMainWindow::showColouring);

    const engineSettings &settings = m_engine->settings();
    if (!settings.alarmSystem.isEmpty()) {
        textSystem->setText(settings.systemFolder + QStringLiteral(" - ") + settings.alarmSystem);
        setWindowTitle(m_description + QStringLiteral("  -  ") + settings.alarmSystem);
    }
    for (int column = 0; column < ModuleListViewItem::ColumnCount; ++column)
        lvModules->resizeColumnToContents(column);
}

// The engine goes first: it takes the modules down while the rows it
// reports to still exist.
WardlineMainWindow::~WardlineMainWindow()
{
    m_engine.reset();
}

bool WardlineMainWindow::Start()
{
    const bool run = m_engine->Start();
    if (m_engine->colouring().startedUp())
        startColouringButtons();
    for (int column = 0; column < ModuleListViewItem::ColumnCount; ++column)
        lvModules->resizeColumnToContents(column);
    return run;
}

void WardlineMainWindow::buildMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    connect(file->addAction(tr("E&xit")), &QAction::triggered, this, &QWidget::close);

    QMenu *diagnostics = menuBar()->addMenu(tr("&Diagnostics"));
    diagnostics->addSeparator();
    m_showAction = diagnostics->addAction(tr("Show"));
    m_showAction->setCheckable(true);
    connect(m_showAction, &QAction::triggered, this, &WardlineMainWindow::diagnosticsOn);
    diagnostics->addSeparator();
    for (const logFlags::Category &category : logFlags::categories()) {
        QAction *action = diagnostics->addAction(logFlags::menuText(category));
        action->setCheckable(true);
        action->setChecked(m_engine->logFlags() & category.bit);
        // Drivers and the log-file kinds take effect at start only.
        action->setEnabled(category.settableFromMenu);
        const int bit = category.bit;
        connect(action, &QAction::triggered, this, [this, bit] { LogOn(bit); });
        m_logItems.append({bit, action});
    }
    diagnostics->addSeparator();
    m_debugAction = diagnostics->addAction(tr("&Debug"));
    m_debugAction->setCheckable(true);
    m_debugAction->setChecked(true);
    m_engine->setDebugEcho(true);
    connect(m_debugAction, &QAction::triggered, this, &WardlineMainWindow::SwitchDebug);
    diagnostics->addSeparator();
    connect(diagnostics->addAction(tr("&Start Extra Network Activity")), &QAction::triggered, this,
            &WardlineMainWindow::StartExtraNetworkActivity);
    connect(diagnostics->addAction(tr("&Restart All Polls")), &QAction::triggered, this,
            &WardlineMainWindow::restartAllPolls);
    connect(diagnostics->addAction(tr("&Force RxOnly")), &QAction::triggered, this, &WardlineMainWindow::forceRxOnly);

    QMenu *help = menuBar()->addMenu(tr("&Help"));
    connect(help->addAction(tr("About")), &QAction::triggered, this, &WardlineMainWindow::about);
}

QAction *WardlineMainWindow::logAction(int bit) const
{
    for (const logItem &item : m_logItems) {
        if (item.bit == bit)
            return item.action;
    }
    return nullptr;
}

template<typename Work>
void WardlineMainWindow::guarded(const char *operation, bool wardlinePrefix, Work &&work)
{
    try {
        work();
    } catch (...) {
        const QString line = QStringLiteral("%1 - unknown exception").arg(QLatin1String(operation));
        Logger::instance().directLog(wardlinePrefix ? QStringLiteral("Wardline: ") + line : line);
        if (m_engine)
            m_engine->debugOutput(line);
    }
}

ModuleListViewItem *WardlineMainWindow::findRow(const QString &fileName) const
{
    for (int i = 0; i < lvModules->topLevelItemCount(); ++i) {
        auto *row = static_cast<ModuleListViewItem *>(lvModules->topLevelItem(i));
        if (row->fileName() == fileName)
            return row;
    }
    return nullptr;
}

ModuleListViewItem *WardlineMainWindow::selectedRow() const
{
    const QList<QTreeWidgetItem *> selected = lvModules->selectedItems();
    return selected.isEmpty() ? nullptr : static_cast<ModuleListViewItem *>(selected.first());
}

void WardlineMainWindow::addRow(int type, const QString &module, const QString &instance, const QString &name,
                                const QString &fileName, int loadState)
{
    new ModuleListViewItem(lvModules, type, module, instance, name, fileName, loadState);
}

void WardlineMainWindow::setHealth(const QString &fileName, int health)
{
    if (ModuleListViewItem *row = findRow(fileName))
        row->setHealth(health);
}

void WardlineMainWindow::setLoadState(const QString &fileName, int loadState)
{
    if (ModuleListViewItem *row = findRow(fileName))
        row->setLoadState(loadState);
}

// The placeholder gives way to the first real message. While a module is
// selected the pane keeps showing its log.
void WardlineMainWindow::showMessage(const QString &line)
{
    if (m_messages.size() == 1 && m_messages.first() == noModuleSelected)
        m_messages.clear();
    m_messages << line;
    if (!selectedRow())
        showMessages();
}

void WardlineMainWindow::showMessages()
{
    showLines(m_messages);
}

void WardlineMainWindow::showModuleLog(const ModuleListViewItem *row)
{
    if (m_engine)
        showLines(m_engine->takeModuleLog(row->fileName()));
}

// Only the lines the pane keeps are handed to it, newest at the bottom.
void WardlineMainWindow::showLines(const QStringList &lines)
{
    textEditLogs->setPlainText(lines.mid(std::max<qsizetype>(0, lines.size() - maxLogLines)).join(QLatin1Char('\n')));
    textEditLogs->verticalScrollBar()->setValue(textEditLogs->verticalScrollBar()->maximum());
}

void WardlineMainWindow::changeSelected()
{
    changeSelected(selectedRow());
}

void WardlineMainWindow::changeSelected(QTreeWidgetItem *item)
{
    auto *row = static_cast<ModuleListViewItem *>(item);
    if (!row) {
        textConfigName->clear();
        showMessages();
        return;
    }
    // The row knows its kind; file names may be in any case.
    textLabelModule->setText(row->isInput() ? QStringLiteral("Acquisition") : QStringLiteral("Output"));
    textConfigName->setText(row->text(ModuleListViewItem::Name));
    showModuleLog(row);
}

void WardlineMainWindow::UpdateDisplayFast()
{
    guarded("UpdateDisplayFast", true, [this] {
        qint64 total = 0;
        qint64 remaining = 0;
        const ModuleListViewItem *selected = selectedRow();
        for (const alarmEngine::moduleStatus &status : m_engine->updateModules()) {
            ModuleListViewItem *row = findRow(status.fileName);
            if (!row) {
                m_engine->debugOutput(QStringLiteral("lvi for %1 NOT found").arg(status.fileName));
                continue;
            }
            row->setText(ModuleListViewItem::TxCount, counterText(status.txCount));
            row->setText(ModuleListViewItem::RxCount, counterText(status.rxCount));
            row->setHealth(status.ok ? HealthOk : HealthFail);
            if (status.input) {
                if (status.progressTotal != 0)
                    row->setText(ModuleListViewItem::Progress,
                                 QStringLiteral("%1%").arg(percentDone(status.progressTotal, status.progressRemaining)));
                total += status.progressTotal;
                remaining += status.progressRemaining;
            }
            if (row == selected && m_engine->moduleLogChanged(status.fileName))
                showModuleLog(row);
        }
        textLoopcount->setText(QString::asprintf("%03d", m_engine->extraPasses()));
        textProcessCycles->setText(QString::asprintf("%08llu", static_cast<unsigned long long>(m_engine->cycles())));
        if (total != 0)
            m_pqLabelProgress->setText(
                QStringLiteral("%1% (%2/%3)").arg(percentDone(total, remaining)).arg(remaining).arg(total));
    });
}

// The engine has switched its outputs already; this shows the outcome.
void WardlineMainWindow::UpdateTxRx()
{
    textTxRxMode->setText(m_engine->isMaster() ? QStringLiteral("Tx Rx") : QStringLiteral("Rx Only"));

    // Only the master colours: a twin's buttons are locked while a run is on.
    const colouringControl &colouring = m_engine->colouring();
    const int mode = colouring.mode();
    if (m_engine->isMaster()) {
        if (colouring.enabled()) {
            if (mode != 2)
                pushGreening->setEnabled(true);
            if (mode != 1)
                pushRedding->setEnabled(true);
        }
    } else if (mode != 0) {
        pushGreening->setEnabled(false);
        pushRedding->setEnabled(false);
    }
}

void WardlineMainWindow::LogOn(int bit)
{
    const QAction *chosen = logAction(bit);
    if (!chosen || !chosen->isEnabled())
        return;
    guarded("LogOn", false, [this] {
        const int old = m_engine->logFlags();
        int flags = 0;
        for (const logItem &item : std::as_const(m_logItems)) {
            if (item.action->isChecked())
                flags |= item.bit;
        }
        m_engine->debug(0, QString(), QStringLiteral("Log control changed %1 to %2.").arg(old).arg(flags));
        m_engine->setLogFlags(flags);
    });
}

// "off" is written while the echo is still on and "on" once it is on again,
// so that both lines are echoed.
void WardlineMainWindow::SwitchDebug()
{
    const bool on = m_debugAction->isChecked();
    if (on == m_engine->debugEcho())
        return;
    if (!on) {
        m_engine->debugOutput(QStringLiteral("Switch Debug off"));
        m_engine->setDebugEcho(false);
    } else {
        m_engine->setDebugEcho(true);
        m_engine->debugOutput(QStringLiteral("Switch Debug on"));
    }
}

void WardlineMainWindow::StartExtraNetworkActivity()
{
    m_engine->startExtraNetworkActivity();
}

void WardlineMainWindow::restartAllPolls()
{
    m_engine->restartAllPolls();
}

void WardlineMainWindow::forceRxOnly()
{
    guarded("forceRxOnly", false, [this] { m_engine->forceRxOnly(); });
}

void WardlineMainWindow::greeningClicked()
{
    guarded("greeningClicked", false, [this] { m_engine->colouring().toggleGreening(); });
}

void WardlineMainWindow::reddingClicked()
{
    guarded("reddingClicked", false, [this] { m_engine->colouring().toggleRedding(); });
}

void WardlineMainWindow::startColouringButtons()
{
    const colouringControl &colouring = m_engine->colouring();
    if (!colouring.enabled()) {
        for (QPushButton *button : {pushGreening, pushRedding}) {
            button->setEnabled(false);
            button->hide();
        }
        return;
    }
    if (colouring.mode() == 1)
        showColouringRun(pushGreening, true, 1);
    else if (colouring.mode() == 2)
        showColouringRun(pushRedding, true, 2);
}

void WardlineMainWindow::showColouring(int previous, int mode)
{
    if (mode == 0 && (previous == 1 || previous == 2)) {
        showColouringRun(previous == 1 ? pushGreening : pushRedding, false, previous);
        (previous == 1 ? pushRedding : pushGreening)->setEnabled(true);
    } else if (mode == 1 || mode == 2) {
        showColouringRun(mode == 1 ? pushGreening : pushRedding, true, mode);
        (mode == 1 ? pushRedding : pushGreening)->setEnabled(false);
    }
}

void WardlineMainWindow::showColouringRun(QPushButton *button, bool on, int mode)
{
    const QString kind = mode == 1 ? QStringLiteral("Greening") : QStringLiteral("Redding");
    button->setText((on ? QStringLiteral("Stop ") : QStringLiteral("Start ")) + kind);
    if (on) {
        QPalette palette = button->palette();
        palette.setColor(QPalette::Button, mode == 1 ? QColor(0, 255, 0) : QColor(255, 0, 0));
        button->setPalette(palette);
        button->setEnabled(true);
    } else {
        // An empty palette gives the button its inherited colours back.
        button->setPalette(QPalette());
    }
}

void WardlineMainWindow::contextMenuRequested(QTreeWidgetItem *item, const QPoint &globalPos)
{
    auto *row = static_cast<ModuleListViewItem *>(item);
    if (!row)
        return;
    delete m_contextMenu;
    m_contextMenu = new QMenu(this);
    m_contextMenu->setAttribute(Qt::WA_DeleteOnClose);
    const QString fileName = row->fileName();
    connect(m_contextMenu->addAction(tr("Restart Poll")), &QAction::triggered, this,
            [this, fileName] { m_engine->restartPoll(fileName); });
    QAction *pollNow = m_contextMenu->addAction(tr("Next Poll Now"));
    pollNow->setEnabled(row->isInput());
    connect(pollNow, &QAction::triggered, this, [this, fileName] { m_engine->pollNow(fileName); });
    QAction *retry = m_contextMenu->addAction(tr("Retry Connection"));
    retry->setEnabled(!row->isInput());
    connect(retry, &QAction::triggered, this, [this, fileName] { m_engine->retryConnection(fileName); });
    m_contextMenu->popup(globalPos);
}

void WardlineMainWindow::showProcessCount(int count)
{
    textProcessCount->setText(QString::asprintf("%05d", count));
}

// Start-up steps report their progress while the event loop does not run
// yet: the dialog is never modal and never waits for anything.
void WardlineMainWindow::showProgress(const QString &title, int value, int maximum)
{
    if (!m_progress) {
        m_progress = new QProgressDialog(this);
        m_progress->setWindowModality(Qt::NonModal);
        m_progress->setCancelButton(nullptr);
        m_progress->setMinimumDuration(0);
        m_progress->setAutoReset(false);
        m_progress->setAutoClose(false);
        m_progress->reset();
    }
    m_progress->setWindowTitle(title);
    m_progress->setLabelText(title);
    if (value >= maximum) {
        m_progress->reset();
        m_progress->hide();
        return;
    }
    m_progress->setMaximum(maximum);
    m_progress->setValue(value);
}

QString WardlineMainWindow::aboutText(const QString &programPath)
{
    const cTavexVersion version(programPath);
    return QStringLiteral("<h3>%1</h3><p>Version: %2</p><p>Built: %3</p>")
        .arg(version.fileDescription().toHtmlEscaped(), version.productVersion().toHtmlEscaped(),
             QStringLiteral(__DATE__ " " __TIME__));
}

void WardlineMainWindow::about()
{
    QMessageBox::about(this, tr("About Wardline"), aboutText(QCoreApplication::applicationFilePath()));
}

// ---------------------------------------------------------------------------
// The rest of the display, and the diagnostics window's requests, each
// answered under the process lock.

namespace {

// Takes a binary lock; it is released when the result goes out of scope.
[[nodiscard]] QSemaphoreReleaser heldLock(QSemaphore &lock)
{
    lock.acquire();
    return QSemaphoreReleaser(lock);
}

// The processes the last cycle did not calculate; the caller holds the process lock.
QList<uncalculatedListModel::entry> uncalculatedProcesses(const processEngine &processes)
{
    QList<uncalculatedListModel::entry> entries;
    const std::vector<int> &done = processes.done();
    const std::vector<int> &errors = processes.errors();
    for (int i = 0; i < processes.count() && size_t(i) < done.size() && size_t(i) < errors.size(); ++i) {
        if (done[size_t(i)] == 0)
            entries.append({i, processes.names().at(i), errors[size_t(i)]});
    }
    return entries;
}

} // namespace

diagnostics *WardlineMainWindow::diagnosticsWindow() const
{
    return m_diagnostics;
}

// Slots kept for the menus of other builds; they show nothing.
void WardlineMainWindow::Dummy()
{
}

void WardlineMainWindow::testGetData()
{
}

void WardlineMainWindow::DebugMenuShow()
{
}

void WardlineMainWindow::DebugOn()
{
}

void WardlineMainWindow::DebugClear()
{
}

void WardlineMainWindow::Debug(const QString &line)
{
    m_engine->debugOutput(line);
}

void WardlineMainWindow::UpdateDisplaySlow()
{
    guarded("UpdateDisplaySlow", true, [this] {
        const faultHandler::scope operation("UpdateDisplaySlow");
        if (m_diagnostics && m_diagnostics->isVisible())
            UpdateDiagnosticsScreen();
    });
}

void WardlineMainWindow::printData()
{
    processEngine &processes = m_engine->processes();
    const QSemaphoreReleaser lock = heldLock(m_engine->processLock());
    const int count = processes.count();
    m_engine->debugOutput(QStringLiteral(":Print data %1 processes").arg(count));
    const std::vector<int> &states = processes.displayedStates();
    for (int i = 0; i < count && size_t(i) < states.size(); ++i)
        m_engine->debugOutput(QStringLiteral("process %1,%2 is in state %3")
                                  .arg(QString::number(i + 1), processes.names().at(i),
                                       QString::number(states[size_t(i)])));
}

// "Show": a shown window is deleted; otherwise it is made (or refreshed) and shown.
void WardlineMainWindow::diagnosticsOn()
{
    const bool shown = m_diagnostics && m_diagnostics->isVisible();
    m_showAction->setChecked(!shown);
    if (shown) {
        disconnect(m_diagnostics, nullptr, this, nullptr);
        delete m_diagnostics;
        return;
    }
    if (m_diagnostics) {
        UpdateDiagnosticsScreen();
        m_diagnostics->show();
        m_diagnostics->raise();
        m_diagnostics->activateWindow();
        return;
    }
    m_diagnostics = new diagnostics(this);
    connect(m_diagnostics, &diagnostics::diagHidden, this, &WardlineMainWindow::diagHide);
    connect(m_diagnostics, &diagnostics::updateDiagnosticsProcess, this,
            &WardlineMainWindow::updateDiagnosticsProcess);
    connect(m_diagnostics, &diagnostics::updateProcesses, this, &WardlineMainWindow::updateProcesses);
    connect(m_diagnostics, qOverload<int, const QStringList &>(&diagnostics::diagForceState), this,
            &WardlineMainWindow::diagForceState);
    connect(m_diagnostics, &diagnostics::Debug, this, &WardlineMainWindow::Debug);
    connect(m_diagnostics, &diagnostics::findFilterProcess, this, &WardlineMainWindow::findFilterProcess);

    QList<processListModel::process> rows;
    QList<uncalculatedListModel::entry> uncalculated;
    {
        processEngine &processes = m_engine->processes();
        const QSemaphoreReleaser lock = heldLock(m_engine->processLock());
        const std::vector<int> &states = processes.displayedStates();
        rows.reserve(processes.count());
        for (int i = 0; i < processes.count(); ++i) {
            const CRuleKernel *process = processes.process(i);
            rows.append({i, processes.names().at(i), process->ProcessType(),
                         size_t(i) < states.size() ? states[size_t(i)] : -1,
                         QString::fromUtf8(process->ProcMaskName())});
        }
        uncalculated = uncalculatedProcesses(processes);
    }
    m_diagnostics->setProcesses(rows);
    m_diagnostics->setUncalculated(uncalculated);
    m_diagnostics->show();
}

void WardlineMainWindow::diagHide()
{
    m_showAction->setChecked(false);
}

void WardlineMainWindow::UpdateDiagnosticsScreen()
{
    if (m_diagnostics)
        m_diagnostics->refresh();
}

void WardlineMainWindow::updateDiagnosticsProcess(int row, int position)
{
    if (!m_diagnostics)
        return;
    int state = -1;
    {
        const QSemaphoreReleaser lock = heldLock(m_engine->processLock());
        const std::vector<int> &states = m_engine->processes().displayedStates();
        if (position >= 0 && size_t(position) < states.size())
            state = states[size_t(position)];
    }
    m_diagnostics->setProcessState(row, state);
}

void WardlineMainWindow::updateProcesses()
{
    if (!m_diagnostics)
        return;
    QList<uncalculatedListModel::entry> uncalculated;
    {
        const QSemaphoreReleaser lock = heldLock(m_engine->processLock());
        uncalculated = uncalculatedProcesses(m_engine->processes());
    }
    m_diagnostics->setUncalculated(uncalculated);
}

void WardlineMainWindow::findFilterProcess(const QString &name, bool &found)
{
    QStringList inputs;
    {
        processEngine &processes = m_engine->processes();
        const QSemaphoreReleaser lock = heldLock(m_engine->processLock());
        const int position = processes.find(name);
        found = position >= 0;
        if (found)
            inputs = processes.process(position)->getInputProcessNames();
    }
    if (found && m_diagnostics)
        m_diagnostics->setInputNames(inputs);
}

// The forced states show from the next cycle on; in event-driven mode the
// force is an event of its own, so that the cycle comes.
void WardlineMainWindow::diagForceState(int code, const QStringList &names)
{
    const QSet<QString> wanted(names.cbegin(), names.cend());
    {
        processEngine &processes = m_engine->processes();
        const QSemaphoreReleaser lock = heldLock(m_engine->processLock());
        for (int i = 0; i < processes.count(); ++i) {
            if (wanted.contains(processes.names().at(i)))
                processes.process(i)->Override(code, 0);
        }
    }
    m_engine->moduleEvent();
}
