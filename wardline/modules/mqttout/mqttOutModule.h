#pragma once

#include "alarms_module.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class mqttPublisher;

// Output module that publishes the state of every process to an MQTT
// broker while the engine transmits: each changed state as a retained
// message of its own under <TopicPrefix>/<process name>, the whole table as
// JSON under <TopicPrefix>/_states at an interval, and "online"/"offline"
// (the last will) under <TopicPrefix>/_status. The broker connection lives
// on the publisher's thread; a cycle only hands over the states that
// changed, so a slow or absent broker never holds up the engine.
class mqttOutModule : public alarms_output_base
{
public:
    mqttOutModule(IDebug *debug, IAppendLog *log);
    ~mqttOutModule() override;

    bool initialise(const QString &configFile, const QString &alarmSystem, const QString &systemFolder,
                    const QString &configFolder, const QStringList &processNames,
                    IAlarmEventOut *eventSink) override;
    // 1 when changed states were handed over, 0 when there was nothing to
    // hand over, -1 when handed over while the broker is not connected.
    int dataReady(const int *states, int count) override;
    // These return 1 while transmitting afterwards, else 0.
    int setRxOnly() override;
    int setTxRx() override;
    int forceTxRx() override;
    bool getTxMode() override { return m_transmitting; }
    // Connects at once; when connected, publishes every state again.
    void retryConnnection() override;

    // Messages the broker has taken.
    int getTxCount() override;
    // Initialised and connected to the broker.
    bool getStatusOk() override;
    // Says "offline" when transmitting and disconnects.
    void aboutToClose() override;
    QDateTime getConfigFileDate() override;
    QString getClassName() override { return QStringLiteral("mqttOutModule"); }

private:
    int startTransmitting(const char *call);
    // Moves what the publisher's thread has to say into the log and trace.
    void takeNotes();
    void appendLog(const QString &message);
    void trace(const QString &text);

    IDebug *m_debug;
    IAppendLog *m_log;
    QString m_prefix;
    QString m_configFile;
    QStringList m_names;
    bool m_initialised = false;
    bool m_transmitting = false;
    int m_lastCount = -1;
    std::vector<int> m_seen; // the states of the last cycle
    bool m_haveSeen = false;
    std::vector<int> m_changed;
    std::unique_ptr<mqttPublisher> m_publisher;
};
