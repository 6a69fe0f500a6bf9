#pragma once

#include "AlarmDebugTrace.h"
#include "interface/IAlarmEvents.h"

#include <QList>

#include <functional>
#include <vector>

class CRuleKernel;

// The current state of every process, in process order; called on the
// thread that raises the event, which may be inside a module call made while
// the engine holds its locks.
using processStateSource = std::function<std::vector<int>()>;

// Sits between an output module and its record when log flag 0x80 is set:
// traces each event with the states of all processes, then forwards it.
class AlarmEventOutDebugDecorator : public IAlarmEventOut
{
public:
    // Traces as "E" + instance; `states` may be empty (no states described).
    AlarmEventOutDebugDecorator(IAlarmEventOut *target, int instance, IDebug *debug, DebugIdManager *ids,
                                processStateSource states);
    virtual ~AlarmEventOutDebugDecorator();

    void event(const QString &text) override;

    // "moduleChangeEventOutput. <text> [<length>]<description>".
    static QString eventLine(const QString &text, const std::vector<int> &states);
    // GetCurrentState() of each evaluator.
    static std::vector<int> currentStates(const QList<CRuleKernel *> &processes);

private:
    IAlarmEventOut *m_target;
    AlarmDebugTrace m_trace;
    processStateSource m_states;
};
