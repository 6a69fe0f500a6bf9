// Input and output modules that report what the engine hands them: to the
// record's message log, and through the event sink during initialise. A line
// "EventsInGetData=N" in an input's configuration file makes its first N
// getData calls send an event too, as a module thread would during a cycle.
// An output that was handed the process list says, when it is destroyed, how
// many processes it can still reach.
#include "alarms_module.h"

#include <QFile>
#include <QRegularExpression>

namespace {

class testInput : public alarms_input_base
{
public:
    explicit testInput(IAppendLog *log) : m_log(log) {}

    bool initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                    IAlarmEventAcq *eventSink) override
    {
        m_log->appendLog(QStringLiteral("initialise %1 %2 %3").arg(configFile, configFolder).arg(colouringMode));
        QFile file(configFile);
        if (file.open(QIODevice::ReadOnly)) {
            static const QRegularExpression key(QStringLiteral("^EventsInGetData=(\\d+)"),
                                                QRegularExpression::MultilineOption);
            const QRegularExpressionMatch match = key.match(QString::fromUtf8(file.readAll()));
            if (match.hasMatch())
                m_eventsInGetData = match.captured(1).toInt();
        }
        m_sink = eventSink;
        eventSink->event(7);
        return true;
    }
    bool getData(int **data, int *length) override
    {
        if (m_eventsInGetData > 0) {
            --m_eventsInGetData;
            m_sink->event(8);
        }
        *data = m_values;
        *length = 3;
        return true;
    }
    bool getStatusOk() override { return true; }
    QString getClassName() override { return QStringLiteral("testInput"); }

private:
    IAppendLog *m_log;
    IAlarmEventAcq *m_sink = nullptr;
    int m_eventsInGetData = 0;
    int m_values[3] = {1, 1, 0};
};

class testOutput : public alarms_output_base
{
public:
    testOutput(IDebug *debug, IAppendLog *log) : m_debug(debug), m_log(log) {}
    ~testOutput() override
    {
        if (m_processes)
            m_debug->debug(0, QStringLiteral("test:"),
                           QStringLiteral("output closing with %1 processes").arg(m_processes->size()));
    }

    bool initialise(const QString &configFile, const QString &alarmSystem, const QString &, const QString &,
                    const QStringList &processNames, IAlarmEventOut *eventSink) override
    {
        m_log->appendLog(QStringLiteral("initialise %1 %2 %3").arg(configFile, alarmSystem, processNames.join(',')));
        eventSink->event(QStringLiteral("init"));
        return true;
    }
    int dataReady(const int *, int count) override { return count; }
    int setRxOnly() override { return 0; }
    int setTxRx() override { return 1; }
    int forceTxRx() override { return 2; }
    bool getTxMode() override { return true; }
    bool getStatusOk() override { return true; }
    QString getClassName() override { return QStringLiteral("testOutput"); }
    void setOverrideList(const QList<CRuleKernel *> &processes, QSemaphore *) override { m_processes = &processes; }

private:
    IDebug *m_debug;
    IAppendLog *m_log;
    const QList<CRuleKernel *> *m_processes = nullptr;
};

QString created(const char *kind, int logFlags, DebugIdManager *ids)
{
    return QStringLiteral("%1 flags %2 ids %3").arg(QLatin1String(kind)).arg(logFlags).arg(ids ? "set" : "none");
}

} // namespace

ALARMS_MODULE_EXPORT alarms_input_base *createNewInput(IDebug *debug, IAppendLog *log, int logFlags,
                                                       DebugIdManager *ids)
{
    debug->debug(0, QStringLiteral("test:"), created("createNewInput", logFlags, ids));
    log->appendLog(created("createNewInput", logFlags, ids));
    return new testInput(log);
}

ALARMS_MODULE_EXPORT alarms_output_base *createNewOutput(IDebug *debug, IAppendLog *log, int logFlags,
                                                         DebugIdManager *ids)
{
    debug->debug(0, QStringLiteral("test:"), created("createNewOutput", logFlags, ids));
    log->appendLog(created("createNewOutput", logFlags, ids));
    return new testOutput(debug, log);
}
