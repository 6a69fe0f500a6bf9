#include "OutConfig.h"

#include "AlarmOutDebugDecorator.h"
#include "AlarmEventOutDebugDecorator.h"
#include "interface/alarms_module.h"
#include "logFlags.h"

OutConfig::OutConfig(const QString &fileName, const QString &filePath, int instance, const QString &moduleName,
                     const QString &name, std::unique_ptr<QLibrary> library, IDebug *debug,
                     IAlarmEventOutFull *engine)
    : AlmConfig(fileName, filePath, instance, moduleName, name, std::move(library), debug), m_engine(engine)
{
}

// The module may raise events until it is gone, so it goes before its sink.
OutConfig::~OutConfig()
{
    m_module.reset();
    m_eventDecorator.reset();
}

void OutConfig::event(const QString &text)
{
    if (m_engine)
        m_engine->event(instance(), text);
}

bool OutConfig::createModule(int flags, DebugIdManager *ids)
{
    if (m_module)
        return true;
    const auto create = reinterpret_cast<createNewOutputFunction>(resolveEntryPoint("createNewOutput"));
    if (!create) {
        if (debugInterface())
            debugInterface()->debug(0, QString(), QStringLiteral("CreateNewOutput NOT FOUND"));
        return false;
    }
    std::unique_ptr<alarms_output_base> module(create(debugInterface(), this, flags, ids));
    if (!module) {
        log(QStringLiteral("createNewOutput made no module"));
        return false;
    }
    if (flags & logFlags::Drivers)
        module = std::make_unique<AlarmOutDebugDecorator>(std::move(module), instance(), debugInterface(), ids);
    m_module = std::move(module);
    return true;
}

IAlarmEventOut *OutConfig::eventSink()
{
    if (m_eventDecorator)
        return m_eventDecorator.get();
    return this;
}

void OutConfig::setEventDecorator(std::unique_ptr<AlarmEventOutDebugDecorator> decorator)
{
    m_eventDecorator = std::move(decorator);
}
