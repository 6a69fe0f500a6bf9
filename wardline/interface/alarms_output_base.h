#pragma once

#include "alarms_base.h"

#include <QList>
#include <QStringList>

class CRuleKernel;
class IAlarmEventOut;
class QSemaphore;

// An output module: receives the state of every process and publishes it.
class alarms_output_base : public alarms_base
{
public:
    // processNames: every process, in the order of proc_def.cfg (the order
    // of the state arrays).
    virtual bool initialise(const QString &configFile, const QString &alarmSystem, const QString &systemFolder,
                            const QString &configFolder, const QStringList &processNames,
                            IAlarmEventOut *eventSink) = 0;
    // The states of all processes after a calculation cycle (-1: not calculated).
    virtual int dataReady(const int *states, int count) = 0;
    // The evaluators, for modules that force processes themselves; hold
    // `processLock` while using them.
    virtual void setOverrideList(const QList<CRuleKernel *> &processes, QSemaphore *processLock)
    {
        Q_UNUSED(processes);
        Q_UNUSED(processLock);
    }
    // The states saved before the last shutdown (-1 where none).
    virtual void setIntialStates(const int *states, int count)
    {
        Q_UNUSED(states);
        Q_UNUSED(count);
    }
    // Mastership: only the master engine's outputs transmit.
    virtual int setRxOnly() = 0;
    virtual int setTxRx() = 0;
    virtual int forceTxRx() = 0;
    virtual bool getTxMode() = 0;
    virtual void SetNetworkOutput(int on) { Q_UNUSED(on); }
    virtual void retryConnnection() {}
};
