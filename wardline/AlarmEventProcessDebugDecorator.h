#pragma once

#include "AlarmDebugTrace.h"
#include "AlarmEventOutDebugDecorator.h"
#include "interface/IAlarmEvents.h"

// Sits before the engine's own process event when log flag 0x80 is set:
// traces each event as the output event decorator does, under "P0".
class AlarmEventProcessDebugDecorator : public IAlarmEventProcess
{
public:
    AlarmEventProcessDebugDecorator(IAlarmEventProcess *target, IDebug *debug, DebugIdManager *ids,
                                    processStateSource states);
    virtual ~AlarmEventProcessDebugDecorator();

    void event(const QString &text) override;

private:
    IAlarmEventProcess *m_target;
    AlarmDebugTrace m_trace;
    processStateSource m_states;
};
