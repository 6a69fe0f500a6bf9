#pragma once

#include "AlmConfig.h"
#include "interface/IAlarmEvents.h"

#include <memory>

class AlarmEventOutDebugDecorator;
class DebugIdManager;
class alarms_output_base;

// An output module instance: forwards its module's events, with the instance
// number, to the engine, and owns the module object and the event sink.
class OutConfig : public AlmConfig, public IAlarmEventOut
{
public:
    OutConfig(const QString &fileName, const QString &filePath, int instance, const QString &moduleName,
              const QString &name, std::unique_ptr<QLibrary> library, IDebug *debug, IAlarmEventOutFull *engine);
    ~OutConfig() override;

    // From the module (any thread): the engine gets (instance, text).
    void event(const QString &text) override;

    // Makes the module object through the library's "createNewOutput"; with
    // log flag 0x80 it is wrapped in a tracing decorator ("O" + instance).
    // False when the entry point is missing or gave no object; the record
    // then has no module. Does nothing when the module exists.
    bool createModule(int flags, DebugIdManager *ids);
    // The module (or its decorator); null when none was made.
    alarms_output_base *module() const { return m_module.get(); }

    // What the module is given as its event sink: the record itself, or the
    // tracing decorator around it once one is set.
    IAlarmEventOut *eventSink();
    void setEventDecorator(std::unique_ptr<AlarmEventOutDebugDecorator> decorator);

private:
    IAlarmEventOutFull *m_engine;
    std::unique_ptr<AlarmEventOutDebugDecorator> m_eventDecorator;
    std::unique_ptr<alarms_output_base> m_module;
};
