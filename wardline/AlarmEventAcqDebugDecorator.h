#pragma once

#include "AlarmDebugTrace.h"
#include "interface/IAlarmEvents.h"

#include <functional>
#include <vector>

// The current input values of an instance (index 1 first); called on the
// thread that raises the event.
using inputValueSource = std::function<std::vector<int>(int instance)>;

// Sits between an input module and its record when log flag 0x80 is set:
// traces each event with the instance's input values, then forwards it.
class AlarmEventAcqDebugDecorator : public IAlarmEventAcq
{
public:
    // Traces as "E" + instance; `values` may be empty (no values described).
    AlarmEventAcqDebugDecorator(IAlarmEventAcq *target, int instance, IDebug *debug, DebugIdManager *ids,
                                inputValueSource values);
    virtual ~AlarmEventAcqDebugDecorator();

    void event(int value) override;

private:
    IAlarmEventAcq *m_target;
    int m_instance;
    AlarmDebugTrace m_trace;
    inputValueSource m_values;
};
