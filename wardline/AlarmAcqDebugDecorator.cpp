#include "AlarmAcqDebugDecorator.h"

AlarmAcqDebugDecorator::AlarmAcqDebugDecorator(std::unique_ptr<alarms_input_base> module, int instance,
                                               IDebug *debug, DebugIdManager *ids)
    : m_module(std::move(module)), m_trace(QStringLiteral("A%1").arg(instance), debug, ids)
{
}

AlarmAcqDebugDecorator::~AlarmAcqDebugDecorator() = default;

int AlarmAcqDebugDecorator::getTxCount()
{
    return m_module->getTxCount();
}

int AlarmAcqDebugDecorator::getRxCount()
{
    return m_module->getRxCount();
}

bool AlarmAcqDebugDecorator::getStatusOk()
{
    return m_module->getStatusOk();
}

void AlarmAcqDebugDecorator::aboutToClose()
{
    m_module->aboutToClose();
}

QDateTime AlarmAcqDebugDecorator::getConfigFileDate()
{
    return m_module->getConfigFileDate();
}

QString AlarmAcqDebugDecorator::getClassName()
{
    return m_module->getClassName();
}

bool AlarmAcqDebugDecorator::initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                                        IAlarmEventAcq *eventSink)
{
    return m_module->initialise(configFile, configFolder, colouringMode, eventSink);
}

bool AlarmAcqDebugDecorator::getData(int **data, int *length)
{
    const int number = m_trace.nextNumber();
    m_trace.write(number, QStringLiteral("getData."));
    const bool result = m_module->getData(data, length);
    m_trace.write(number, QStringLiteral("getData ends. data %1, length %2")
                              .arg(AlarmDebugTrace::hex(data ? *data : nullptr))
                              .arg(length ? *length : 0));
    return result;
}

void AlarmAcqDebugDecorator::setColouring(int mode, bool on)
{
    m_module->setColouring(mode, on);
}

void AlarmAcqDebugDecorator::getProgress(int *total, int *remaining)
{
    m_module->getProgress(total, remaining);
}

void AlarmAcqDebugDecorator::restartPoll()
{
    m_module->restartPoll();
}

void AlarmAcqDebugDecorator::pollNow()
{
    m_module->pollNow();
}
