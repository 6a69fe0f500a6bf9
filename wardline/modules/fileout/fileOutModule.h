#pragma once

#include "alarms_module.h"

#include <QString>
#include <QStringList>

#include <vector>

// Output module that writes the state of every process to a text file, one
// "name=state" line per process in the engine's process order, while the
// engine transmits and the states have changed.
class fileOutModule : public alarms_output_base
{
public:
    fileOutModule(IDebug *debug, IAppendLog *log);

    bool initialise(const QString &configFile, const QString &alarmSystem, const QString &systemFolder,
                    const QString &configFolder, const QStringList &processNames,
                    IAlarmEventOut *eventSink) override;
    // 1 when the file was written, 0 when there was nothing to write, -1
    // when writing failed.
    int dataReady(const int *states, int count) override;
    // These return 1 while transmitting afterwards, else 0.
    int setRxOnly() override;
    int setTxRx() override;
    int forceTxRx() override;
    bool getTxMode() override { return m_transmitting; }
    // Writes the latest states again (after a failed write, for example).
    void retryConnnection() override;

    int getTxCount() override { return m_txCount; }
    bool getStatusOk() override { return m_initialised && !m_writeFailed; }
    QDateTime getConfigFileDate() override;
    QString getClassName() override { return QStringLiteral("fileOutModule"); }

private:
    int startTransmitting(const char *call);
    bool writeStates();
    void appendLog(const QString &message);
    void trace(const QString &text);

    IDebug *m_debug;
    IAppendLog *m_log;
    QString m_prefix;
    QString m_configFile;
    QString m_path;
    QStringList m_names;
    QList<QByteArray> m_linePrefixes; // "name=" of each line, encoded once
    QByteArray m_text;                // the file text, its buffer reused
    bool m_initialised = false;
    bool m_transmitting = false;
    bool m_writeFailed = false;
    int m_txCount = 0;
    int m_lastCount = -1;
    // One state per process name: the latest received, and what the file holds.
    std::vector<int> m_latest;
    std::vector<int> m_written;
    bool m_haveLatest = false;
    bool m_fileCurrent = false;
};
