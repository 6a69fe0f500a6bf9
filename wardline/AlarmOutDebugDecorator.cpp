#include "AlarmOutDebugDecorator.h"

AlarmOutDebugDecorator::AlarmOutDebugDecorator(std::unique_ptr<alarms_output_base> module, int instance,
                                               IDebug *debug, DebugIdManager *ids)
    : m_module(std::move(module)), m_trace(QStringLiteral("O%1").arg(instance), debug, ids)
{
}

AlarmOutDebugDecorator::~AlarmOutDebugDecorator() = default;

template<typename Call>
auto AlarmOutDebugDecorator::traceReturn(const QString &call, Call forward)
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, call + QLatin1Char('.'));
    const auto result = forward();
    m_trace.write(number, call + QStringLiteral(" ends. return %1").arg(int(result)));
    return result;
}

int AlarmOutDebugDecorator::getTxCount()
{
    return traceReturn(QStringLiteral("getTxCount"), [this] { return m_module->getTxCount(); });
}

int AlarmOutDebugDecorator::getRxCount()
{
    return traceReturn(QStringLiteral("getRxCount"), [this] { return m_module->getRxCount(); });
}

bool AlarmOutDebugDecorator::getStatusOk()
{
    return traceReturn(QStringLiteral("getStatusOk"), [this] { return m_module->getStatusOk(); });
}

void AlarmOutDebugDecorator::aboutToClose()
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, QStringLiteral("aboutToClose."));
    m_module->aboutToClose();
    m_trace.write(number, QStringLiteral("aboutToClose ends."));
}

QDateTime AlarmOutDebugDecorator::getConfigFileDate()
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, QStringLiteral("getConfigFileDate."));
    const QDateTime result = m_module->getConfigFileDate();
    m_trace.write(number, QStringLiteral("getConfigFileDate ends. return %1.").arg(result.toString()));
    return result;
}

QString AlarmOutDebugDecorator::getClassName()
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, QStringLiteral("getClassName."));
    const QString result = m_module->getClassName();
    m_trace.write(number, QStringLiteral("getClassName ends. %1.").arg(result));
    return result;
}

bool AlarmOutDebugDecorator::initialise(const QString &configFile, const QString &alarmSystem,
                                        const QString &systemFolder, const QString &configFolder,
                                        const QStringList &processNames, IAlarmEventOut *eventSink)
{
    return m_module->initialise(configFile, alarmSystem, systemFolder, configFolder, processNames, eventSink);
}

// "ready" and "return" are both the module's answer.
int AlarmOutDebugDecorator::dataReady(const int *states, int count)
{
    const int number = m_trace.nextNumber();
    const QString data = AlarmDebugTrace::hex(states);
    m_trace.write(number, QStringLiteral("dataReady. data %1, length %2").arg(data).arg(count));
    const int ready = m_module->dataReady(states, count);
    m_trace.write(number, QStringLiteral("dataReady ends. ready %1. data %2, length %3. return %4")
                              .arg(ready)
                              .arg(data)
                              .arg(count)
                              .arg(ready));
    return ready;
}

void AlarmOutDebugDecorator::setOverrideList(const QList<CRuleKernel *> &processes, QSemaphore *processLock)
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, QStringLiteral("setOverrideList. size %1").arg(processes.size()));
    m_module->setOverrideList(processes, processLock);
    m_trace.write(number, QStringLiteral("setOverrideList ends. size %1").arg(processes.size()));
}

void AlarmOutDebugDecorator::setIntialStates(const int *states, int count)
{
    const int number = m_trace.nextNumber();
    const QString data = AlarmDebugTrace::hex(states);
    m_trace.write(number, QStringLiteral("setIntialStates. data %1, length %2").arg(data).arg(count));
    m_module->setIntialStates(states, count);
    m_trace.write(number, QStringLiteral("setIntialStates ends. data %1, length %2").arg(data).arg(count));
}

int AlarmOutDebugDecorator::setRxOnly()
{
    return traceReturn(QStringLiteral("setRxOnly"), [this] { return m_module->setRxOnly(); });
}

int AlarmOutDebugDecorator::setTxRx()
{
    return traceReturn(QStringLiteral("setTxRx"), [this] { return m_module->setTxRx(); });
}

int AlarmOutDebugDecorator::forceTxRx()
{
    return traceReturn(QStringLiteral("forceTxRx"), [this] { return m_module->forceTxRx(); });
}

bool AlarmOutDebugDecorator::getTxMode()
{
    return traceReturn(QStringLiteral("getTxMode"), [this] { return m_module->getTxMode(); });
}

void AlarmOutDebugDecorator::SetNetworkOutput(int on)
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, QStringLiteral("SetNetworkOutput. %1.").arg(on));
    m_module->SetNetworkOutput(on);
    m_trace.write(number, QStringLiteral("SetNetworkOutput ends. %1.").arg(on));
}

void AlarmOutDebugDecorator::retryConnnection()
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, QStringLiteral("retryConnnection."));
    m_module->retryConnnection();
    m_trace.write(number, QStringLiteral("retryConnnection ends."));
}
