#pragma once

#include "processListModel.h"
#include "uncalculatedListModel.h"
#include "ui_diagnosticsBase.h"

#include <QList>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <array>

class QMenu;
class processFilterModel;
class processRowDelegate;

// The filters in force before an input filter was applied ("<<" goes back).
struct FilterStackItem
{
    QString nameFilter;
    QString inputFilter;
};

// The process diagnostics window: every alarm process with its rule, state
// and mask, the uncalculated ones with their causes, name and input filters,
// and forcing of the selected processes by two presses of a button. It reads
// and forces nothing itself: the main window answers its signals.
class diagnostics : public QWidget, public Ui::diagnosticsBase
{
    Q_OBJECT

public:
    // The buttons in order (button number = index + 1) with their override codes.
    struct forceButton
    {
        QPushButton *button;
        QString text;
        int code;
    };

    explicit diagnostics(QWidget *parent = nullptr);
    ~diagnostics() override;

    // The main window fills the lists and answers the signals with these.
    void setProcesses(const QList<processListModel::process> &processes);
    void setUncalculated(const QList<uncalculatedListModel::entry> &entries);
    void setProcessState(int row, int state);
    void setInputNames(const QStringList &names);

    // One refresh: every row's state through updateDiagnosticsProcess(), the
    // panel, and the uncalculated list through updateProcesses().
    void refresh();

    processListModel *processModel() const { return m_processes; }
    processFilterModel *filterModel() const { return m_filter; }
    uncalculatedListModel *errorModel() const { return m_errors; }
    const std::array<forceButton, 9> &forceButtons() const { return m_buttons; }
    QPushButton *waitingButton() const;
    QMenu *contextMenu() const { return m_contextMenu; }
    // Names of the selected processes, in list order.
    QStringList selectedNames() const;
    int filterStackSize() const { return int(m_filterStack.size()); }

signals:
    void diagHidden();
    // Asks for the state of process `position`, shown in `row`.
    void updateDiagnosticsProcess(int row, int position);
    void updateProcesses();
    void diagForceState(int code, const QStringList &names);
    void Debug(const QString &line);
    void findFilterProcess(const QString &name, bool &found);

public slots:
    void dummy();
    void diagForceNormal();
    void diagForceIgnore();
    void diagForceAck();
    void diagForceOn();
    void diagForceOff();
    void diagForceAckAll();
    void diagForceClear();
    void diagForceAckContribImmed();
    void diagForceAckContribAll();
    // Forces the selected processes with `code`, without confirmation.
    void diagForceState(int code);
    void diagProcessDoubleClicked(const QModelIndex &index);
    void disableStateButtons();
    void enableStateButtons(bool inputOnly);
    void diagProcessCurrentChanged(const QModelIndex &current);
    void diagProcessSelectionChanged();
    void diagProcessSelectionChanged(int row);
    void diagSetFilter(const QString &text);
    void diagSetProcessInputFilter(const QString &text);
    void diagFilterBack();
    void contextMenuRequested(const QPoint &pos);

protected:
    void timerEvent(QTimerEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void press(int button);
    void restoreWaitingButton();
    void refreshPanel();
    void selectFirstVisibleIfNone();
    QList<int> selectedRows() const;
    void debugf(const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);

    processListModel *m_processes = nullptr;
    processFilterModel *m_filter = nullptr;
    uncalculatedListModel *m_errors = nullptr;
    std::array<forceButton, 9> m_buttons;
    int m_waiting = 0; // number of the button waiting for its second press, 0: none
    int m_confirmTimer = 0;

    QString m_nameFilter;
    QString m_inputFilter;
    QString m_previousInputFilter;
    QStringList m_inputNames;
    QList<FilterStackItem> m_filterStack;
    bool m_fromBack = false;
    QPointer<QMenu> m_contextMenu;
};
