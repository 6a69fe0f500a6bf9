#include "AlarmEventProcessDebugDecorator.h"

AlarmEventProcessDebugDecorator::AlarmEventProcessDebugDecorator(IAlarmEventProcess *target, IDebug *debug,
                                                                 DebugIdManager *ids, processStateSource states)
    : m_target(target), m_trace(QStringLiteral("P0"), debug, ids), m_states(std::move(states))
{
}

AlarmEventProcessDebugDecorator::~AlarmEventProcessDebugDecorator() = default;

void AlarmEventProcessDebugDecorator::event(const QString &text)
{
    m_trace.write(m_trace.nextNumber(),
                  AlarmEventOutDebugDecorator::eventLine(text, m_states ? m_states() : std::vector<int>()));
    if (m_target)
        m_target->event(text);
}
