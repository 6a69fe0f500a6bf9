#include "diagnostics.h"

#include "processFilterModel.h"
#include "processRowDelegate.h"

#include <QHeaderView>
#include <QHideEvent>
#include <QMenu>
#include <QSet>
#include <QSignalBlocker>
#include <QTimerEvent>

#include <algorithm>
#include <cstdarg>

namespace {

const QString noProcessSelected = QStringLiteral("no process selected");
const QString pressAgain = QStringLiteral("Press again!");
constexpr int confirmationMs = 1000;
constexpr int inputRule = 1;

// Long names and masks wrap after their 35th character.
QString panelText(const QString &text)
{
    if (text.size() <= 35)
        return text.toHtmlEscaped();
    return text.left(35).toHtmlEscaped() + QStringLiteral("<br>") + text.mid(35).toHtmlEscaped();
}

} // namespace

diagnostics::diagnostics(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setupUi(this);
    // Made after the views, so that the views go first when the window goes.
    m_processes = new processListModel(this);
    m_filter = new processFilterModel(m_processes, this);
    m_errors = new uncalculatedListModel(this);
    setWindowTitle(QStringLiteral("Diagnostics"));
    listViewInvalidProcesses->hide();
    pushFilterBack->setEnabled(false);

    lvProcesses->setModel(m_filter);
    lvProcesses->setItemDelegate(new processRowDelegate(lvProcesses));
    lvErrors->setModel(m_errors);
    const QFontMetrics metrics = fontMetrics();
    const auto fit = [&](const QString &text) { return metrics.horizontalAdvance(text) + 24; };
    QHeaderView *header = lvProcesses->header();
    header->resizeSection(processListModel::Number, fit(QStringLiteral("Process Number")));
    const int nameWidth = metrics.averageCharWidth() * 36;
    header->resizeSection(processListModel::Name, nameWidth);
    header->resizeSection(processListModel::Rule, fit(QStringLiteral("HOLDOFF")));
    header->resizeSection(processListModel::State, fit(QStringLiteral("State")));
    header->resizeSection(processListModel::StateName, fit(QStringLiteral("Force OFF")));
    lvErrors->header()->resizeSection(uncalculatedListModel::Name, nameWidth);
    splitterMain->setStretchFactor(0, 3);
    splitterMain->setStretchFactor(1, 1);
    splitterLists->setStretchFactor(0, 3);
    splitterLists->setStretchFactor(1, 1);

    m_buttons = {{{pushForceOff, QStringLiteral("Force Off"), 2},
                  {pushForceOn, QStringLiteral("Force On"), 3},
                  {pushAck, QStringLiteral("Acknowledge"), 4},
                  {pushIgnore, QStringLiteral("Ignore"), 5},
                  {pushNormal, QStringLiteral("Normal"), 0},
                  {pushAckAll, QStringLiteral("Acknowledge All"), 7},
                  {pushClear, QStringLiteral("Clear"), 8},
                  {pushAckContribImmed, QStringLiteral("Ack Immediate Contributors"), 9},
                  {pushAckContribAll, QStringLiteral("Ack All Contributors"), 10}}};
    connect(pushForceOff, &QPushButton::clicked, this, &diagnostics::diagForceOff);
    connect(pushForceOn, &QPushButton::clicked, this, &diagnostics::diagForceOn);
    connect(pushAck, &QPushButton::clicked, this, &diagnostics::diagForceAck);
    connect(pushIgnore, &QPushButton::clicked, this, &diagnostics::diagForceIgnore);
    connect(pushNormal, &QPushButton::clicked, this, &diagnostics::diagForceNormal);
    connect(pushAckAll, &QPushButton::clicked, this, &diagnostics::diagForceAckAll);
    connect(pushClear, &QPushButton::clicked, this, &diagnostics::diagForceClear);
    connect(pushAckContribImmed, &QPushButton::clicked, this, &diagnostics::diagForceAckContribImmed);
    connect(pushAckContribAll, &QPushButton::clicked, this, &diagnostics::diagForceAckContribAll);

    connect(lineEditFilter, &QLineEdit::textChanged, this, &diagnostics::diagSetFilter);
    connect(lineEditProcessInputFilter, &QLineEdit::textChanged, this, &diagnostics::diagSetProcessInputFilter);
    connect(pushFilterBack, &QPushButton::clicked, this, &diagnostics::diagFilterBack);
    connect(lvProcesses, &QAbstractItemView::doubleClicked, this, &diagnostics::diagProcessDoubleClicked);
    connect(lvProcesses, &QWidget::customContextMenuRequested, this, &diagnostics::contextMenuRequested);
    connect(lvProcesses->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &diagnostics::diagProcessCurrentChanged);
    connect(lvProcesses->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            qOverload<>(&diagnostics::diagProcessSelectionChanged));
    refreshPanel();
}

// Nothing is reported while the window is taken down.
diagnostics::~diagnostics()
{
    blockSignals(true);
    lvProcesses->selectionModel()->disconnect(this);
}

void diagnostics::setProcesses(const QList<processListModel::process> &processes)
{
    m_processes->setProcesses(processes);
    refreshPanel();
}

void diagnostics::setUncalculated(const QList<uncalculatedListModel::entry> &entries)
{
    m_errors->setEntries(entries);
}

void diagnostics::setProcessState(int row, int state)
{
    m_processes->setState(row, state);
}

void diagnostics::setInputNames(const QStringList &names)
{
    m_inputNames = names;
}

// Only rows whose state (or state text) changed are repainted.
void diagnostics::refresh()
{
    const int rows = m_processes->rowCount();
    for (int row = 0; row < rows; ++row)
        emit updateDiagnosticsProcess(row, m_processes->at(row).position);
    m_processes->endRefresh();
    refreshPanel();
    emit updateProcesses();
}

QPushButton *diagnostics::waitingButton() const
{
    return m_waiting ? m_buttons[size_t(m_waiting - 1)].button : nullptr;
}

QList<int> diagnostics::selectedRows() const
{
    QList<int> rows;
    const QModelIndexList selected = lvProcesses->selectionModel()->selectedRows();
    rows.reserve(selected.size());
    for (const QModelIndex &index : selected)
        rows << m_filter->mapToSource(index).row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

QStringList diagnostics::selectedNames() const
{
    QStringList names;
    for (int row : selectedRows())
        names << m_processes->at(row).name;
    return names;
}

void diagnostics::debugf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    QString text = QString::vasprintf(format, args);
    va_end(args);
    text.truncate(255);
    emit Debug(QStringLiteral("WLd:") + text);
}

void diagnostics::dummy()
{
}

void diagnostics::diagForceOff()
{
    press(1);
}

void diagnostics::diagForceOn()
{
    press(2);
}

void diagnostics::diagForceAck()
{
    press(3);
}

void diagnostics::diagForceIgnore()
{
    press(4);
}

void diagnostics::diagForceNormal()
{
    press(5);
}

void diagnostics::diagForceAckAll()
{
    press(6);
}

void diagnostics::diagForceClear()
{
    press(7);
}

void diagnostics::diagForceAckContribImmed()
{
    press(8);
}

void diagnostics::diagForceAckContribAll()
{
    press(9);
}

// A force needs the same button twice within a second; any other button
// in between starts over with that one.
void diagnostics::press(int button)
{
    const int waiting = m_waiting;
    restoreWaitingButton();
    if (m_confirmTimer)
        killTimer(m_confirmTimer);
    m_confirmTimer = 0;
    if (waiting == button) {
        m_waiting = 0;
        diagForceState(m_buttons[size_t(button - 1)].code);
        return;
    }
    m_waiting = button;
    QPushButton *waitingButton = m_buttons[size_t(button - 1)].button;
    waitingButton->setText(pressAgain);
    QPalette red = waitingButton->palette();
    red.setColor(QPalette::Button, QColor(255, 0, 0));
    waitingButton->setPalette(red);
    m_confirmTimer = startTimer(confirmationMs);
}

// Text and colours back as they were; the button still counts as waiting.
void diagnostics::restoreWaitingButton()
{
    if (!m_waiting)
        return;
    const forceButton &b = m_buttons[size_t(m_waiting - 1)];
    b.button->setText(b.text);
    b.button->setPalette(QPalette());
}

void diagnostics::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_confirmTimer || !m_confirmTimer) {
        debugf(" :Unknown timer event %d", event->timerId());
        return;
    }
    restoreWaitingButton();
    m_waiting = 0;
    killTimer(m_confirmTimer);
    m_confirmTimer = 0;
}

void diagnostics::diagForceState(int code)
{
    const QStringList names = selectedNames();
    debugf("%d items selected.", int(names.size()));
    if (!names.isEmpty())
        emit diagForceState(code, names);
}

void diagnostics::diagProcessDoubleClicked(const QModelIndex &index)
{
    if (index.isValid())
        lineEditProcessInputFilter->setText(m_processes->at(m_filter->mapToSource(index).row()).name);
}

void diagnostics::disableStateButtons()
{
    for (const forceButton &b : m_buttons)
        b.button->setEnabled(false);
}

// Forcing, acknowledging and ignoring are for input processes; the rest
// work on any process.
void diagnostics::enableStateButtons(bool inputOnly)
{
    for (const forceButton &b : m_buttons) {
        const bool inputsOnly = b.button == pushForceOff || b.button == pushForceOn || b.button == pushAck
                                || b.button == pushIgnore;
        b.button->setEnabled(inputOnly || !inputsOnly);
    }
}

void diagnostics::diagProcessCurrentChanged(const QModelIndex &current)
{
    debugf("Process Current Changed %x", current.isValid() ? unsigned(m_filter->mapToSource(current).row()) : 0u);
}

void diagnostics::diagProcessSelectionChanged()
{
    debugf("Process Selection Changed");
    refreshPanel();
}

void diagnostics::diagProcessSelectionChanged(int row)
{
    debugf("Process Selection Changed %x", unsigned(row));
    debugf("%d items selected.", int(selectedRows().size()));
}

void diagnostics::refreshPanel()
{
    const QList<int> rows = selectedRows();
    if (rows.isEmpty()) {
        labelProcName->setText(noProcessSelected);
        labelProcState->setText(noProcessSelected);
        labelMask->setText(noProcessSelected);
        disableStateButtons();
        return;
    }
    const processListModel::process &first = m_processes->at(rows.first());
    if (rows.size() == 1) {
        labelProcName->setText(panelText(first.name));
        labelProcState->setText(m_processes->stateNameAt(rows.first()));
        labelMask->setText(panelText(first.mask));
        enableStateButtons(first.type == inputRule);
        return;
    }
    const QString stateName = m_processes->stateNameAt(rows.first());
    bool sameState = true;
    bool sameMask = true;
    bool anyInput = false;
    for (int row : rows) {
        const processListModel::process &p = m_processes->at(row);
        sameState = sameState && m_processes->stateNameAt(row) == stateName;
        sameMask = sameMask && p.mask == first.mask;
        anyInput = anyInput || p.type == inputRule;
    }
    labelProcName->setText(QStringLiteral("%1 processes selected").arg(rows.size()));
    labelProcState->setText(sameState ? stateName : QString());
    labelMask->setText(sameMask ? panelText(first.mask) : QString());
    // With only non-input processes selected, input-only forcing stays off.
    enableStateButtons(anyInput);
}

void diagnostics::selectFirstVisibleIfNone()
{
    QItemSelectionModel *selection = lvProcesses->selectionModel();
    if (selection->hasSelection() || m_filter->rowCount() == 0)
        return;
    selection->setCurrentIndex(m_filter->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void diagnostics::diagSetFilter(const QString &text)
{
    m_nameFilter = text;
    m_filter->setNameFilter(text);
    selectFirstVisibleIfNone();
}

void diagnostics::diagSetProcessInputFilter(const QString &text)
{
    m_inputFilter = text;
    listViewInvalidProcesses->hide();
    listViewInvalidProcesses->clear();
    m_inputNames.clear();
    if (!text.isEmpty()) {
        lineEditFilter->setEnabled(false);
        bool found = false;
        emit findFilterProcess(text, found);
        // A filter brought back by "<<" is not stacked again, but it is the
        // one the next filter goes back to.
        if (found) {
            if (!m_fromBack) {
                m_filterStack.append({m_nameFilter, m_previousInputFilter});
                pushFilterBack->setEnabled(true);
            }
            m_previousInputFilter = text;
        }
        // The inputs that are processes are shown, the others listed as invalid.
        QSet<QString> shown;
        QStringList invalid;
        for (const QString &name : std::as_const(m_inputNames)) {
            if (m_processes->rowOf(name) >= 0)
                shown.insert(name);
            else if (!invalid.contains(name))
                invalid << name;
        }
        m_inputNames = invalid;
        m_filter->setInputNames(shown);
        if (!invalid.isEmpty()) {
            for (const QString &name : std::as_const(invalid))
                new QTreeWidgetItem(listViewInvalidProcesses, QStringList{name});
            listViewInvalidProcesses->show();
        }
        selectFirstVisibleIfNone();
    } else {
        if (!m_fromBack && !m_previousInputFilter.isEmpty()) {
            m_filterStack.append({m_nameFilter, m_previousInputFilter});
            pushFilterBack->setEnabled(true);
        }
        m_previousInputFilter.clear();
        lineEditFilter->setEnabled(true);
        m_filter->clearInputNames();
        diagSetFilter(m_nameFilter);
    }
    m_fromBack = false;
}

// Both filters are applied even when the texts do not change, so that the
// mark of "<<" never outlives its own change.
void diagnostics::diagFilterBack()
{
    if (m_filterStack.isEmpty())
        return;
    const FilterStackItem item = m_filterStack.takeLast();
    {
        const QSignalBlocker blocker(lineEditFilter);
        lineEditFilter->setText(item.nameFilter);
    }
    diagSetFilter(item.nameFilter);
    m_fromBack = true;
    {
        const QSignalBlocker blocker(lineEditProcessInputFilter);
        lineEditProcessInputFilter->setText(item.inputFilter);
    }
    diagSetProcessInputFilter(item.inputFilter);
    if (m_filterStack.isEmpty())
        pushFilterBack->setEnabled(false);
}

void diagnostics::contextMenuRequested(const QPoint &pos)
{
    const QModelIndex index = lvProcesses->indexAt(pos);
    if (!index.isValid())
        return;
    const QString name = m_processes->at(m_filter->mapToSource(index).row()).name;
    delete m_contextMenu;
    m_contextMenu = new QMenu(this);
    m_contextMenu->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_contextMenu->addAction(tr("Copy to Filter")), &QAction::triggered, this,
            [this, name] { lineEditFilter->setText(name); });
    connect(m_contextMenu->addAction(tr("Copy to Process Input Filter")), &QAction::triggered, this,
            [this, name] { lineEditProcessInputFilter->setText(name); });
    m_contextMenu->popup(lvProcesses->viewport()->mapToGlobal(pos));
}

// Closed by its close box: the window survives, hidden.
void diagnostics::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        emit diagHidden();
}
