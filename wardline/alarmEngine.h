#pragma once

#include "engineSettings.h"
#include "interface/DebugIdManager.h"
#include "interface/IDebug.h"
#include "processEngine.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSemaphore>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class AlarmEventProcessDebugDecorator;
class CAcqStore;
class colouringControl;
class IAlarmEventProcess;
class LoadDirectoryInputs;
class LoadDirectoryOutputs;
class Logger;
class UDP_socket;
class moduleListObserver;
class stateSaver;

// The alarm engine of one alarm system: settings, modules, processes, the
// calculation cycle on its timers, mastership and the saved states. The
// window shows it; everything it does runs without one as well.
class alarmEngine : public QObject, public IDebug
{
    Q_OBJECT

public:
    // States are saved when a cycle finds more than this since the last save.
    static constexpr qint64 saveIntervalMs = 60000;
    // Cycles run after a module event when cycles are event-driven.
    static constexpr int cyclesPerEvent = 2;
    // Longest line of a module's formatted debug call, prefix included.
    static constexpr qsizetype maxModuleDebugLine = 999;
    // Characters of the mastership "Channel" setting read.
    static constexpr qsizetype maxChannelLength = 31;

    // What the window shows of one module row, read every 200 ms.
    struct moduleStatus
    {
        QString fileName;
        bool input = true;
        int txCount = 0;
        int rxCount = 0;
        bool ok = false;
        int progressTotal = 0;
        int progressRemaining = 0;
    };

    // Reads the command line (arguments after the program name), derives the
    // folders, opens the log and loads the module directories.
    explicit alarmEngine(const QStringList &arguments, moduleListObserver *observer = nullptr,
                         QObject *parent = nullptr);
    // Saves the states and takes everything down in order.
    ~alarmEngine() override;

    // Brings the engine up; false: do not run the event loop.
    bool Start();

    // IDebug: for modules and the mastership object.
    void debug(int mask, const QString &prefix, const QString &text) override;
    void debugf(int mask, const char *prefix, const char *format, ...) override;
    // The engine's own debug output (log flag 1, and the debugger echo).
    void debugOutput(const QString &line);
    void debugOutputf(const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    // A line of the error message list: shown in the window, also to the
    // debug output and (unless told otherwise) the log file.
    void show(const QString &line, bool toLogFile = true);
    QStringList messages() const { return m_messages; }

    // The settings as the command line left them (settings().logFlags are
    // the flags of the start).
    const engineSettings &settings() const { return m_settings; }
    bool startupError() const { return m_startupError; }
    // The log flags and the debug echo of the moment; modules read them from
    // threads of their own while the menu changes them.
    int logFlags() const { return m_logFlags.load(); }
    void setLogFlags(int flags);
    bool debugEcho() const { return m_debugEcho.load(); }
    void setDebugEcho(bool on) { m_debugEcho = on; }

    // Display: the module rows' figures (also the engine's health for the
    // mastership), the counters, the mastership.
    std::vector<moduleStatus> updateModules();
    bool healthy() const { return m_healthy; }
    int extraPasses() const { return m_extraPasses; }
    quint64 cycles() const { return m_cycles; }
    int processCount();
    bool isMaster() const { return m_lastMaster; }
    // Switches the outputs by the mastership (every 2 s).
    void updateTxRx();
    void forceRxOnly();
    void startExtraNetworkActivity();
    void restartAllPolls();
    void restartPoll(const QString &fileName);
    void pollNow(const QString &fileName);
    void retryConnection(const QString &fileName);
    // The message log of a module row, and whether it changed since shown.
    QStringList takeModuleLog(const QString &fileName);
    bool moduleLogChanged(const QString &fileName) const;

    // One calculation cycle (the process timer's work).
    void cycle();
    // Takes a snapshot of the states for Wardline.dat, which a thread of its
    // own then writes; finishSaving() waits until it is on disk.
    void saveData();
    void finishSaving();
    // Any event from a module or the next-process timer (any thread).
    void moduleEvent();
    // The end of the start-up delay (its timer's work; tests call it early).
    void startProcessing();

    processEngine &processes() { return m_processes; }
    QSemaphore &processLock() { return m_processLock; }
    UDP_socket *mastership() const { return m_mastership.get(); }
    bool processTimerRunning() const { return m_processTimer != 0; }
    bool nextProcessTimerRunning() const { return m_nextProcessTimer != 0; }
    int pendingCycles() const { return m_pendingCycles; }
    int startupDelayMs() const { return m_startupDelayMs; }

    // Greening and redding: the mode, the runs and their timers.
    colouringControl &colouring() { return *m_colouring; }

signals:
    void messagesChanged();
    void processCountChanged(int count);
    // The display timers.
    void displayFast();
    void displaySlow();
    void displayTxRx();
    void progress(const QString &title, int value, int maximum);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    class eventRelay;

    void switchOutputs();
    void guarded(const char *operation, const std::function<void()> &work);
    void getInputData();
    void doCalculations();
    void sendDataOutputs();
    void initialiseInputs();
    void initialiseOutputs();
    void startProcessTimer();
    void stopTimer(int &timer);
    QString stateFolder() const;
    QString oldStateFolder() const;
    std::vector<int> inputValues(int instance);
    std::vector<int> currentStates();
    Logger &logger() const;
    // setColouring on every input module, under the input and acquisition-store locks.
    void colourInputs(int mode, bool on);

    engineSettings m_settings;
    moduleListObserver *m_observer;
    std::atomic<int> m_logFlags{0};
    std::atomic<bool> m_debugEcho{true};
    bool m_startupError = false;
    QStringList m_messages;
    DebugIdManager m_ids;
    QSemaphore m_inputLock{1};
    QSemaphore m_outputLock{1};
    QSemaphore m_acqLock{1};
    QSemaphore m_processLock{1};
    std::unique_ptr<eventRelay> m_events;
    std::unique_ptr<AlarmEventProcessDebugDecorator> m_processEventDecorator;
    std::unique_ptr<LoadDirectoryInputs> m_inputs;
    std::unique_ptr<LoadDirectoryOutputs> m_outputs;
    std::vector<std::unique_ptr<CAcqStore>> m_stores;
    bool m_haveStores = false;
    processEngine m_processes;
    std::unique_ptr<UDP_socket> m_mastership;
    QHash<QString, int> m_savedStates;
    QHash<QString, int64_t> m_overrideEnds;
    std::unique_ptr<colouringControl> m_colouring;

    int m_startupDelayMs = 10000;
    int m_startupTimer = 0;
    int m_processTimer = 0;
    int m_networkTimer = 0;
    int m_nextProcessTimer = 0;
    int m_fastTimer = 0;
    int m_slowTimer = 0;
    int m_txRxTimer = 0;
    std::atomic<int> m_pendingCycles{0};
    QElapsedTimer m_sinceSave;
    bool m_saveClockRunning = false;
    quint64 m_cycles = 0;
    int m_extraPasses = 0;
    bool m_missingBlockShown = false;
    bool m_failedCalculationShown = false;
    bool m_healthy = true;
    bool m_lastMaster = true;
    int m_txRxSkips = 0;
    bool m_started = false;
    // Writes Wardline.dat off the cycle; made at the first save.
    std::unique_ptr<stateSaver> m_saver;
};
