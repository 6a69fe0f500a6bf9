#pragma once

#include "alarms_module.h"
#include "inputArray.h"
#include "modbusInSettings.h"

#include <QModbusDevice>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class QModbusReply;
class QModbusTcpClient;

// Input module that polls one address range of a Modbus TCP device and
// delivers the values as its input array. It lives in the thread that
// creates it (the engine's GUI thread); the Modbus client is asynchronous and
// runs on that thread's event loop, so no engine call waits for the network.
// A poll of more values than one request may carry is sent as several
// requests, one after another, and delivered only when all have answered.
class modbusInModule : public QObject, public alarms_input_base
{
    Q_OBJECT

public:
    modbusInModule(IDebug *debug, IAppendLog *log);
    ~modbusInModule() override;

    bool initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                    IAlarmEventAcq *eventSink) override;
    bool getData(int **data, int *length) override;
    void setColouring(int mode, bool on) override;
    void getProgress(int *total, int *remaining) override;
    // Drops the connection, forgets the back-off, connects and polls at once.
    void restartPoll() override;
    void pollNow() override;

    int getTxCount() override { return m_txCount; }
    int getRxCount() override { return m_rxCount; }
    bool getStatusOk() override { return m_statusOk; }
    void aboutToClose() override;
    QDateTime getConfigFileDate() override;
    QString getClassName() override { return QStringLiteral("modbusInModule"); }

private:
    // What the message log last said about the device; a line is written
    // only when this changes, not on every poll or reconnection attempt.
    enum class condition { none, connected, cannotConnect, lost, noAnswer, refused, badReply, answering };


    void connectNow();
    void onStateChanged(QModbusDevice::State state);
    void onConnectGuard();
    // Throws the client away (its connection with it) and ends the poll.
    void discardClient();
    // Gives up the connection after a fault already reported, and tries
    // again after the back-off.
    void dropConnection();
    void scheduleReconnect();

    void startPoll();
    void sendRequest();
    void onReply(QModbusReply *reply, quint64 poll, int offset, int size);
    void pollComplete();
    void abortPoll();
    void setUnhealthy();

    void present();
    void queueEvent(int changed);
    void deliverEvent();
    void report(condition state, const QString &detail = QString());
    QString device() const;
    void appendLog(const QString &message);
    void trace(const QString &text);

    IDebug *m_debug;
    IAppendLog *m_log;
    IAlarmEventAcq *m_sink = nullptr;
    QString m_configFile;
    QString m_prefix;
    modbusInSettings m_settings;
    bool m_initialised = false;
    bool m_closing = false;

    QModbusTcpClient *m_client = nullptr;
    bool m_connected = false;
    QTimer m_pollTimer;
    QTimer m_reconnectTimer;
    QTimer m_connectGuard; // a connection attempt that hangs counts as failed
    int m_backoffMs = 0;   // wait before the next reconnection attempt

    // The poll under way: requests go out one after another into m_staging;
    // m_deviceValues takes the whole range only when every request answered.
    bool m_polling = false;
    quint64 m_pollSerial = 0; // replies of an abandoned poll are ignored
    int m_nextOffset = 0;
    int m_remaining = 0;
    std::vector<int> m_staging;
    std::vector<int> m_deviceValues;

    bool m_statusOk = false;
    condition m_condition = condition::none;
    QString m_conditionDetail;
    int m_txCount = 0;
    int m_rxCount = 0;
    inputArray m_values; // what getData hands out
    int m_pendingChanges = 0;
    bool m_eventQueued = false;
};
