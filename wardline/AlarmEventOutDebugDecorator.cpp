#include "AlarmEventOutDebugDecorator.h"

#include "CRuleKernel.h"

AlarmEventOutDebugDecorator::AlarmEventOutDebugDecorator(IAlarmEventOut *target, int instance, IDebug *debug,
                                                         DebugIdManager *ids, processStateSource states)
    : m_target(target), m_trace(QStringLiteral("E%1").arg(instance), debug, ids), m_states(std::move(states))
{
}

AlarmEventOutDebugDecorator::~AlarmEventOutDebugDecorator() = default;

void AlarmEventOutDebugDecorator::event(const QString &text)
{
    m_trace.write(m_trace.nextNumber(), eventLine(text, m_states ? m_states() : std::vector<int>()));
    if (m_target)
        m_target->event(text);
}

QString AlarmEventOutDebugDecorator::eventLine(const QString &text, const std::vector<int> &states)
{
    const QString description = AlarmDebugTrace::describeValues(states, 0);
    // One arg() call: the module's text may itself contain "%2".
    return QStringLiteral("moduleChangeEventOutput. %1 [%2]%3")
        .arg(text, QString::number(description.size()), description);
}

std::vector<int> AlarmEventOutDebugDecorator::currentStates(const QList<CRuleKernel *> &processes)
{
    std::vector<int> states;
    states.reserve(processes.size());
    for (const CRuleKernel *process : processes)
        states.push_back(process ? process->GetCurrentState() : -1);
    return states;
}
