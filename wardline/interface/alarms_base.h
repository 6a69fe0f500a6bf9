#pragma once

#include <QDateTime>
#include <QString>

// What every alarm module offers the engine. Modules are shared libraries
// built against these headers with the engine's compiler and Qt.
class alarms_base
{
public:
    virtual ~alarms_base() = default;

    virtual int getTxCount() { return 0; }
    virtual int getRxCount() { return 0; }
    // The module is healthy; the engine's mastership depends on it.
    virtual bool getStatusOk() = 0;
    virtual void aboutToClose() {}
    virtual QDateTime getConfigFileDate() { return QDateTime(); }
    virtual QString getClassName() = 0;
};
