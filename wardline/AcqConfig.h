#pragma once

#include "AlmConfig.h"
#include "interface/IAlarmEvents.h"

#include <memory>

class AlarmEventAcqDebugDecorator;
class DebugIdManager;
class alarms_input_base;

// An input module instance: forwards its module's events, with the instance
// number, to the engine, and owns the module object and the event sink.
class AcqConfig : public AlmConfig, public IAlarmEventAcq
{
public:
    AcqConfig(const QString &fileName, const QString &filePath, int instance, const QString &moduleName,
              const QString &name, std::unique_ptr<QLibrary> library, IDebug *debug, IAlarmEventAcqFull *engine);
    ~AcqConfig() override;

    // From the module (any thread): the engine gets (instance, value).
    void event(int value) override;

    // Makes the module object through the library's "createNewInput"; with
    // log flag 0x80 it is wrapped in a tracing decorator ("A" + instance).
    // False when the entry point is missing or gave no object; the record
    // then has no module. Does nothing when the module exists.
    bool createModule(int flags, DebugIdManager *ids);
    // The module (or its decorator); null when none was made.
    alarms_input_base *module() const { return m_module.get(); }

    // What the module is given as its event sink: the record itself, or the
    // tracing decorator around it once one is set.
    IAlarmEventAcq *eventSink();
    void setEventDecorator(std::unique_ptr<AlarmEventAcqDebugDecorator> decorator);

private:
    IAlarmEventAcqFull *m_engine;
    std::unique_ptr<AlarmEventAcqDebugDecorator> m_eventDecorator;
    std::unique_ptr<alarms_input_base> m_module;
};
