#include "WardlineMainWindow.h"

#include "Logger.h"
#include "ModuleListViewItem.h"
#include "alarmEngine.h"
#include "cTavexVersion.h"
#include "logFlags.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressDialog>
#include <QScrollBar>

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
    connect(m_engine.get(), &alarmEngine::processCountChanged, this, &WardlineMainWindow::showProcessCount);
    connect(m_engine.get(), &alarmEngine::progress, this, &WardlineMainWindow::showProgress);

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
