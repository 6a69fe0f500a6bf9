#pragma once

#include "alarms_base.h"

class IAlarmEventAcq;

// An input (acquisition) module: delivers an array of input values.
class alarms_input_base : public alarms_base
{
public:
    // configFile: the full path of the instance's configuration file;
    // configFolder: the engine's configuration folder; colouringMode: 0 none,
    // 1 greening, 2 redding; eventSink: where to report new values.
    virtual bool initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                            IAlarmEventAcq *eventSink) = 0;
    // Hands out the module's current values (index 1 is data[0]). The engine
    // keeps the pointer until the next call and never frees it; it stays
    // valid while the module exists.
    virtual bool getData(int **data, int *length) = 0;
    // 1 greening (every input to its good condition), 2 redding (alarm).
    virtual void setColouring(int mode, bool on)
    {
        Q_UNUSED(mode);
        Q_UNUSED(on);
    }
    // Progress of the current poll.
    virtual void getProgress(int *total, int *remaining)
    {
        *total = 0;
        *remaining = 0;
    }
    virtual void restartPoll() {}
    virtual void pollNow() {}
};
