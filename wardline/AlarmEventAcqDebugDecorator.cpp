#include "AlarmEventAcqDebugDecorator.h"

AlarmEventAcqDebugDecorator::AlarmEventAcqDebugDecorator(IAlarmEventAcq *target, int instance, IDebug *debug,
                                                         DebugIdManager *ids, inputValueSource values)
    : m_target(target), m_instance(instance), m_trace(QStringLiteral("E%1").arg(instance), debug, ids),
      m_values(std::move(values))
{
}

AlarmEventAcqDebugDecorator::~AlarmEventAcqDebugDecorator() = default;

void AlarmEventAcqDebugDecorator::event(int value)
{
    const std::vector<int> values = m_values ? m_values(m_instance) : std::vector<int>();
    const QString description = AlarmDebugTrace::describeValues(values, 1);
    m_trace.write(m_trace.nextNumber(), QStringLiteral("moduleChangeEventInput. %1/%2 [%3]%4")
                                            .arg(m_instance)
                                            .arg(value)
                                            .arg(description.size())
                                            .arg(description));
    if (m_target)
        m_target->event(value);
}
