#include "AcqConfig.h"

#include "AlarmAcqDebugDecorator.h"
#include "AlarmEventAcqDebugDecorator.h"
#include "interface/alarms_module.h"
#include "logFlags.h"

AcqConfig::AcqConfig(const QString &fileName, const QString &filePath, int instance, const QString &moduleName,
                     const QString &name, std::unique_ptr<QLibrary> library, IDebug *debug,
                     IAlarmEventAcqFull *engine)
    : AlmConfig(fileName, filePath, instance, moduleName, name, std::move(library), debug), m_engine(engine)
{
}

// The module may raise events until it is gone, so it goes before its sink.
AcqConfig::~AcqConfig()
{
    m_module.reset();
    m_eventDecorator.reset();
}

void AcqConfig::event(int value)
{
    if (m_engine)
        m_engine->event(instance(), value);
}

bool AcqConfig::createModule(int flags, DebugIdManager *ids)
{
    if (m_module)
        return true;
    const auto create = reinterpret_cast<createNewInputFunction>(resolveEntryPoint("createNewInput"));
    if (!create) {
        if (debugInterface())
            debugInterface()->debug(0, QString(), QStringLiteral("CreateNewInput NOT FOUND"));
        return false;
    }
    std::unique_ptr<alarms_input_base> module(create(debugInterface(), this, flags, ids));
    if (!module) {
        log(QStringLiteral("createNewInput made no module"));
        return false;
    }
    if (flags & logFlags::Drivers)
        module = std::make_unique<AlarmAcqDebugDecorator>(std::move(module), instance(), debugInterface(), ids);
    m_module = std::move(module);
    return true;
}

IAlarmEventAcq *AcqConfig::eventSink()
{
    if (m_eventDecorator)
        return m_eventDecorator.get();
    return this;
}

void AcqConfig::setEventDecorator(std::unique_ptr<AlarmEventAcqDebugDecorator> decorator)
{
    m_eventDecorator = std::move(decorator);
}
