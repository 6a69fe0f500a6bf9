#pragma once

#include "AlarmDebugTrace.h"
#include "interface/alarms_input_base.h"

#include <memory>

// Wraps an input module (owned) when log flag 0x80 is set: forwards every
// call and traces getData, the one call whose result the engine keeps.
class AlarmAcqDebugDecorator : public alarms_input_base
{
public:
    // Traces as "A" + instance.
    AlarmAcqDebugDecorator(std::unique_ptr<alarms_input_base> module, int instance, IDebug *debug,
                           DebugIdManager *ids);
    ~AlarmAcqDebugDecorator() override;

    alarms_input_base *wrapped() const { return m_module.get(); }

    int getTxCount() override;
    int getRxCount() override;
    bool getStatusOk() override;
    void aboutToClose() override;
    QDateTime getConfigFileDate() override;
    QString getClassName() override;

    bool initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                    IAlarmEventAcq *eventSink) override;
    bool getData(int **data, int *length) override;
    void setColouring(int mode, bool on) override;
    void getProgress(int *total, int *remaining) override;
    void restartPoll() override;
    void pollNow() override;

private:
    std::unique_ptr<alarms_input_base> m_module;
    AlarmDebugTrace m_trace;
};
