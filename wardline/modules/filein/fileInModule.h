#pragma once

#include "alarms_module.h"
#include "inputArray.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

// Input module that reads its values from a text file of integers and polls
// it on a timer: installers simulate a plant with it, the tests feed the
// engine. It lives in the thread that creates it (the engine's GUI thread)
// and needs that thread's event loop for polling and events.
class fileInModule : public QObject, public alarms_input_base
{
    Q_OBJECT

public:
    fileInModule(IDebug *debug, IAppendLog *log);
    ~fileInModule() override;

    bool initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                    IAlarmEventAcq *eventSink) override;
    bool getData(int **data, int *length) override;
    void setColouring(int mode, bool on) override;
    void getProgress(int *total, int *remaining) override;
    void restartPoll() override;
    void pollNow() override;

    int getRxCount() override { return m_rxCount; }
    bool getStatusOk() override { return m_statusOk; }
    void aboutToClose() override;
    QDateTime getConfigFileDate() override;
    QString getClassName() override { return QStringLiteral("fileInModule"); }

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    enum class fileState { notRead, ok, missing, unreadable, invalid };


    void poll();
    // Rebuilds the values the engine reads from the file's values and the
    // colouring; queues an event when they differ from before.
    void present();
    void queueEvent(int changed);
    void deliverEvent();
    void reportFile(fileState state, const QString &detail);
    void appendLog(const QString &message);
    void trace(const QString &text);

    IDebug *m_debug;
    IAppendLog *m_log;
    IAlarmEventAcq *m_sink = nullptr;
    QString m_configFile;
    QString m_valuesPath;
    QString m_prefix;
    int m_pollMs = 500;
    int m_pollTimer = 0;
    bool m_initialised = false;
    bool m_polled = false;
    bool m_statusOk = false;
    fileState m_fileState = fileState::notRead;
    QString m_fileDetail;
    int m_rxCount = 0;
    std::vector<int> m_fileValues;
    inputArray m_values; // what getData hands out
    int m_pendingChanges = 0;
    bool m_eventQueued = false;
};
