#pragma once

#include "AlarmDebugTrace.h"
#include "interface/alarms_output_base.h"

#include <memory>

// Wraps an output module (owned) when log flag 0x80 is set: forwards every
// call and writes a line before and after each call but initialise.
class AlarmOutDebugDecorator : public alarms_output_base
{
public:
    // Traces as "O" + instance.
    AlarmOutDebugDecorator(std::unique_ptr<alarms_output_base> module, int instance, IDebug *debug,
                           DebugIdManager *ids);
    ~AlarmOutDebugDecorator() override;

    alarms_output_base *wrapped() const { return m_module.get(); }

    int getTxCount() override;
    int getRxCount() override;
    bool getStatusOk() override;
    void aboutToClose() override;
    QDateTime getConfigFileDate() override;
    QString getClassName() override;

    bool initialise(const QString &configFile, const QString &alarmSystem, const QString &systemFolder,
                    const QString &configFolder, const QStringList &processNames,
                    IAlarmEventOut *eventSink) override;
    int dataReady(const int *states, int count) override;
    void setOverrideList(const QList<CRuleKernel *> &processes, QSemaphore *processLock) override;
    void setIntialStates(const int *states, int count) override;
    int setRxOnly() override;
    int setTxRx() override;
    int forceTxRx() override;
    bool getTxMode() override;
    void SetNetworkOutput(int on) override;
    void retryConnnection() override;

private:
    // "<call>." before, "<call> ends. return <result>" after.
    template<typename Call>
    auto traceReturn(const QString &call, Call forward);

    std::unique_ptr<alarms_output_base> m_module;
    AlarmDebugTrace m_trace;
};
