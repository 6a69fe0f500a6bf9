#pragma once

#include <QString>

// Events a module raises to wake the engine's calculation (event-driven mode).
// Callable from any thread.
class IAlarmEventAcq
{
public:
    virtual void event(int value) = 0;

protected:
    ~IAlarmEventAcq() = default;
};

class IAlarmEventOut
{
public:
    virtual void event(const QString &text) = 0;

protected:
    ~IAlarmEventOut() = default;
};

// Raised by the engine itself when a forced state runs out.
class IAlarmEventProcess
{
public:
    virtual void event(const QString &text) = 0;

protected:
    ~IAlarmEventProcess() = default;
};

// What the engine receives from the module records: the instance with the event.
class IAlarmEventAcqFull
{
public:
    virtual void event(int instance, int value) = 0;

protected:
    ~IAlarmEventAcqFull() = default;
};

class IAlarmEventOutFull
{
public:
    virtual void event(int instance, const QString &text) = 0;

protected:
    ~IAlarmEventOutFull() = default;
};
