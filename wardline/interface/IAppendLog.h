#pragma once

#include <QString>

// A module instance's message log in the engine (shown in the module list).
// Callable from any thread.
class IAppendLog
{
public:
    virtual void appendLog(const QString &message) = 0;

protected:
    ~IAppendLog() = default;
};
