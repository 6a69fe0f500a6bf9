#pragma once

#include "alarms_module.h"
#include "latestWork.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <vector>

// Output module that writes the state of every process to a text file, one
// "name=state" line per process in the engine's process order, while the
// engine transmits and the states have changed. The file is written on a
// thread of the module's own, so that the engine's cycle only hands the
// states over; states that come while a write runs replace any still waiting.
class fileOutModule : public alarms_output_base
{
public:
    fileOutModule(IDebug *debug, IAppendLog *log);

    bool initialise(const QString &configFile, const QString &alarmSystem, const QString &systemFolder,
                    const QString &configFolder, const QStringList &processNames,
                    IAlarmEventOut *eventSink) override;
    // 1 when a write of the states was started, 0 when there was nothing
    // to write, -1 when one was started while the last write had failed.
    int dataReady(const int *states, int count) override;
    // These return 1 while transmitting afterwards, else 0.
    int setRxOnly() override;
    int setTxRx() override;
    int forceTxRx() override;
    bool getTxMode() override { return m_transmitting; }
    // Writes the latest states again (after a failed write, for example).
    void retryConnnection() override;

    // Both count the writes that have ended.
    int getTxCount() override;
    bool getStatusOk() override;
    QDateTime getConfigFileDate() override;
    QString getClassName() override { return QStringLiteral("fileOutModule"); }

private:
    // What a write on the writer's thread came to.
    struct writeResult
    {
        int states = 0;
        QString error; // empty: written
    };

    int startTransmitting(const char *call);
    // Hands the latest states to the writer's thread.
    void writeStates();
    // Takes in the results of the writes that have ended.
    void takeResults();
    void appendLog(const QString &message);
    void trace(const QString &text);

    IDebug *m_debug;
    IAppendLog *m_log;
    QString m_prefix;
    QString m_configFile;
    QString m_path;
    QStringList m_names;
    QList<QByteArray> m_linePrefixes; // "name=" of each line, encoded once
    bool m_initialised = false;
    bool m_transmitting = false;
    bool m_writeFailed = false;
    int m_txCount = 0;
    int m_lastCount = -1;
    // One state per process name: the latest received, and what the last
    // write started holds.
    std::vector<int> m_latest;
    std::shared_ptr<const std::vector<int>> m_written;
    bool m_haveLatest = false;
    bool m_fileCurrent = false; // no write failed since the last one started
    std::mutex m_resultsMutex;
    std::vector<writeResult> m_results; // from the writer's thread
    latestWork m_writer; // last: its thread ends (its writes done) first
};
