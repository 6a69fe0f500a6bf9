#include "alarmEngine.h"

#include "AlarmEventProcessDebugDecorator.h"
#include "CAcqStore.h"
#include "CRuleKernel.h"
#include "LoadDirectoryInputs.h"
#include "LoadDirectoryOutputs.h"
#include "Logger.h"
#include "UDP_socket.h"
#include "colouringControl.h"
#include "faultHandler.h"
#include "logFlags.h"
#include "moduleListObserver.h"
#include "profileFile.h"
#include "stateFile.h"
#include "stateSaver.h"
#include "interface/alarms_input_base.h"
#include "interface/alarms_output_base.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLibrary>
#include <QScopeGuard>
#include <QTimerEvent>

#include <cstdarg>

namespace {

// Holds a binary lock for a scope.
class hold
{
public:
    explicit hold(QSemaphore &lock)
        : m_lock(lock)
    {
        m_lock.acquire();
    }
    ~hold() { m_lock.release(); }

private:
    QSemaphore &m_lock;
};

QString vformat(const char *format, va_list args)
{
    return QString::vasprintf(format, args);
}

} // namespace

// Every event from a module or from the next-process timer ends in the
// same place; the arguments only matter to the trace decorators.
class alarmEngine::eventRelay : public IAlarmEventAcqFull, public IAlarmEventOutFull, public IAlarmEventProcess
{
public:
    explicit eventRelay(alarmEngine *engine)
        : m_engine(engine)
    {
    }
    void event(int, int) override { m_engine->moduleEvent(); }
    void event(int, const QString &) override { m_engine->moduleEvent(); }
    void event(const QString &) override { m_engine->moduleEvent(); }
    virtual ~eventRelay() = default;

private:
    alarmEngine *m_engine;
};

Logger &alarmEngine::logger() const
{
    return Logger::instance();
}

alarmEngine::alarmEngine(const QStringList &arguments, moduleListObserver *observer, QObject *parent)
    : QObject(parent), m_observer(observer), m_events(std::make_unique<eventRelay>(this)),
      m_processes(processEngine::output{[this](const QString &line) { debugOutput(line); },
                                        [this](const QString &line) { logger().directLog(line); },
                                        [this](int line, int lines) {
                                            emit progress(QStringLiteral("Loading Config - Please Wait"), line, lines);
                                        },
                                        [this](const QString &line) { show(line); }})
{
    faultHandler::scope operation("Wardline constructor");
    // Fault lines go to the file the log lines go to, also after midnight.
    logger().setNewFileHandler(&faultHandler::setLogFile);
    m_messages << QStringLiteral("No Module Selected");
    m_colouring = std::make_unique<colouringControl>(
        colouringControl::output{[this](const QString &line) { debugOutput(line); },
                                 [this](int mode, bool on) { colourInputs(mode, on); }});
    QStringList lines;
    m_settings = engineSettings::fromCommandLine(arguments, qEnvironmentVariable("QX_ROOT"),
                                                 qEnvironmentVariable("QX_SYSTEM"), &lines);
    m_logFlags = m_settings.logFlags;
    for (const QString &line : std::as_const(lines))
        debugOutput(line);
    if (!m_settings.libraryRoot.isEmpty() && !m_settings.librarySystem.isEmpty())
        QCoreApplication::addLibraryPath(m_settings.libraryFolder + QStringLiteral("/windows/lib/qt_plugins"));
    logger().applyLogFlags(m_settings.logFlags);

    if (m_settings.alarmSystem.isEmpty()) {
        show(QStringLiteral("ERROR :You must Supply a Command Line '/AlarmSystem=yoursystem'"));
        return;
    }
    const QString starting = QStringLiteral("Wardline Starting, AlarmSystem=%1").arg(m_settings.alarmSystem);
    logger().directLog(starting);
    logger().setSubfolder(m_settings.alarmSystem);
    logger().directLog(starting);

    if (m_settings.logFlags & logFlags::Drivers)
        m_processEventDecorator = std::make_unique<AlarmEventProcessDebugDecorator>(
            m_events.get(), this, &m_ids, [this] { return currentStates(); });
    LoadDirectory::Settings common;
    common.alarmFolder = m_settings.alarmFolder;
    common.libraryFolder = m_settings.libraryFolder;
    common.installedModules = LoadDirectory::installedModuleFolder();
    common.dbLib = m_settings.databaseModules;
    common.logFlags = m_settings.logFlags;
    common.debug = this;
    common.ids = &m_ids;
    common.observer = m_observer;
    m_inputs = std::make_unique<LoadDirectoryInputs>(common, m_events.get(),
                                                     [this](int instance) { return inputValues(instance); });
    m_outputs = std::make_unique<LoadDirectoryOutputs>(common, m_events.get(), [this] { return currentStates(); });
    if (!LoadDirectory::loadAll(*m_inputs, *m_outputs)) {
        show(QStringLiteral("ERROR: Cannot find config directory or files '%1'").arg(m_settings.alarmFolder));
        m_startupError = true;
    }
}

alarmEngine::~alarmEngine()
{
    faultHandler::scope operation("Wardline destructor");
    if (!m_settings.alarmSystem.isEmpty() && m_started)
        saveData();
    m_saver.reset(); // the last snapshot is on disk before anything else ends
    logger().directLog(QStringLiteral("Wardline Closing, AlarmSystem=%1").arg(m_settings.alarmSystem));
    // Output modules were handed the evaluators and may use them from threads
    // of their own until they are gone: they go first.
    if (m_outputs) {
        hold lock(m_outputLock);
        m_outputs->clear();
    }
    logger().directLog(QStringLiteral("Wardline Closing. Clear up processes."));
    {
        hold lock(m_processLock);
        m_processes.clear();
    }
    debugOutput(QStringLiteral("main destructor 1"));
    logger().directLog(QStringLiteral("Wardline Closing. Main 1."));
    if (m_inputs) {
        hold lock(m_inputLock);
        m_inputs->clear();
    }
    stopTimer(m_fastTimer);
    stopTimer(m_slowTimer);
    stopTimer(m_txRxTimer);
    {
        hold lock(m_acqLock);
        for (size_t i = 0; i < m_stores.size(); ++i) {
            if (m_stores[i])
                debugOutputf("main destructor delete %d - 0x%llx", int(i),
                             static_cast<unsigned long long>(reinterpret_cast<quintptr>(m_stores[i].get())));
        }
        m_stores.clear();
    }
    // Sends "NC": a twin takes over at once.
    m_mastership.reset();
    stopTimer(m_processTimer);
    stopTimer(m_startupTimer);
    stopTimer(m_networkTimer);
    stopTimer(m_nextProcessTimer);
    m_colouring->killTimers();
    debugOutput(QStringLiteral("END OF main destructor"));
    logger().directLog(QStringLiteral("Wardline Closing. End of destructor."));
}

void alarmEngine::debug(int mask, const QString &prefix, const QString &text)
{
    logFlags::interfaceDebug(logger(), m_settings.alarmSystem, m_logFlags.load(), m_debugEcho.load(), mask, prefix,
                             text);
}

void alarmEngine::debugf(int mask, const char *prefix, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    QString text = vformat(format, args);
    va_end(args);
    const QString head = QString::fromUtf8(prefix ? prefix : "");
    // Prefix and text together stay under 1000 characters.
    text.truncate(std::max<qsizetype>(0, maxModuleDebugLine - head.size()));
    debug(mask, head, text);
}

void alarmEngine::debugOutput(const QString &line)
{
    logFlags::mainWindowDebug(logger(), m_settings.alarmSystem, m_logFlags.load(), m_debugEcho.load(), line);
}

void alarmEngine::debugOutputf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const QString line = vformat(format, args);
    va_end(args);
    debugOutput(line);
}

void alarmEngine::show(const QString &line, bool toLogFile)
{
    debugOutput(line);
    if (toLogFile)
        logger().directLog(line);
    if (m_messages == QStringList{QStringLiteral("No Module Selected")})
        m_messages.clear();
    m_messages << line;
    if (m_observer)
        m_observer->showMessage(line);
    emit messagesChanged();
}

void alarmEngine::setLogFlags(int flags)
{
    m_logFlags = flags;
}

QString alarmEngine::stateFolder() const
{
    return QStringLiteral("%1/%2/data/%3").arg(m_settings.configRoot, m_settings.configSystem, m_settings.alarmSystem);
}

QString alarmEngine::oldStateFolder() const
{
    const QString temp = qEnvironmentVariable("TEMP");
    if (temp.isEmpty())
        return QString(); // older installations kept it below TEMP, which Linux does not set
    return QStringLiteral("%1/lumora_alarms/%2/%3").arg(temp, m_settings.configSystem, m_settings.alarmSystem);
}

bool alarmEngine::Start()
{
    faultHandler::scope operation("Start");
    if (m_startupError)
        return false;
    if (m_settings.alarmSystem.isEmpty())
        return true;

    // Mastership: workstation, channel and where the datagrams go.
    bool ok = false;
    int workstation = qEnvironmentVariable("QX_WORKSTATION").toInt(&ok, 10);
    if (!ok)
        workstation = 0;
    const profileFile system(m_settings.systemFolder + QStringLiteral("/config/system/tavex_system.ini"));
    const int channel = system.readString(QStringLiteral("Network"), QStringLiteral("Channel")).left(maxChannelLength).toInt();
    if (m_settings.udpEnabled) {
        QStringList refused;
        const mastershipSettings options = mastershipSettings::fromProfile(system, &refused);
        for (const QString &line : std::as_const(refused))
            show(line);
        m_mastership = std::make_unique<UDP_socket>(m_settings.configSystem, m_settings.alarmSystem, workstation,
                                                    channel, this, options);
        if (!m_mastership->isSetUp()) {
            show(QStringLiteral("failed to set-up UDP system."));
            return false;
        }
    }

    stateFile(stateFolder(), oldStateFolder(), [this](const QString &line) { debugOutput(line); })
        .load(m_savedStates, m_overrideEnds);

    // The mode is set before the input modules are initialised: they start coloured.
    m_colouring->load(m_settings.alarmFolder);

    bool loaded = false;
    {
        faultHandler::scope load("loadConfig");
        hold lock(m_processLock);
        try {
            loaded = m_processes.load(m_settings.alarmFolder, m_savedStates, m_overrideEnds);
        } catch (...) {
            logger().directLog(QStringLiteral("Wardline: loadConfig - unknown exception"));
            debugOutput(QStringLiteral("loadConfig -unknown exception"));
            faultHandler::fatal();
        }
    }
    if (!loaded) {
        show(QStringLiteral("ERROR - No valid Proc.def configuration file to load!!"), false);
        return true;
    }
    m_startupDelayMs = m_processes.startupDelayMs();
    emit processCountChanged(m_processes.count());

    initialiseInputs();
    if (m_inputs->acquisitionStartupOk()) {
        show(QStringLiteral("Acquisition Startup Ok."));
    } else if (m_settings.acquisitionFailureFatal) {
        show(QStringLiteral("ERROR - Acquisition Startup Failure is considered Unrecoverable. Stopping. !!"));
        return false;
    } else {
        show(QStringLiteral("Acquisition Startup Failure. !!"));
    }
    initialiseOutputs();

    m_fastTimer = startTimer(200);
    m_slowTimer = startTimer(1000);
    m_txRxTimer = startTimer(2000);
    m_savedStates.clear();
    m_overrideEnds.clear();
    if (m_mastership)
        m_mastership->startTransmitTimer();

    m_startupTimer = startTimer(m_startupDelayMs);
    logger().directLog(QStringLiteral("Starting process delay timer - delay is %1 ms").arg(m_startupDelayMs));
    QStringList refused;
    const int networkDelay = m_settings.networkActivityMs(m_processes.count(), &refused);
    for (const QString &line : std::as_const(refused))
        show(line);
    m_networkTimer = startTimer(networkDelay);
    logger().directLog(QStringLiteral("Starting network activity timer - delay is %1 ms").arg(networkDelay));
    show(QStringLiteral("Starting network activity timer - delay is %1 ms").arg(networkDelay));
    m_colouring->startAutomaticRun();
    m_started = true;
    return true;
}

void alarmEngine::initialiseInputs()
{
    faultHandler::scope operation("Initialise Inputs");
    const auto &records = m_inputs->records();
    if (records.empty())
        return;
    emit progress(QStringLiteral("Loading Input Modules - Please Wait"), 1, int(records.size()) + 1);
    hold inputs(m_inputLock);
    hold stores(m_acqLock);
    int largest = 0;
    for (const auto &[file, record] : records)
        largest = std::max(largest, record->instance());
    m_stores.clear();
    m_stores.resize(size_t(largest) + 1);
    m_haveStores = true;
    debugOutputf("Created array of %d", largest);
    int step = 1;
    for (const auto &[file, record] : records) {
        if (record->createModule(logFlags(), &m_ids)) {
            m_inputs->reportHealth(file, moduleListObserver::HealthOk);
            m_inputs->reportLoadState(file, moduleListObserver::Initializing);
            QElapsedTimer timer;
            timer.start();
            const bool ok = record->module()->initialise(
                m_settings.alarmFolder + QStringLiteral("/inputs/") + file, m_settings.configFolder,
                m_colouring->mode(), record->eventSink());
            m_stores[size_t(record->instance())] = std::make_unique<CAcqStore>(record->instance());
            debugOutputf("Acq Initialization took: %d ms", int(timer.elapsed()));
            m_inputs->reportLoadState(file, ok ? moduleListObserver::Running : moduleListObserver::InitFailed);
            if (!ok)
                m_inputs->reportHealth(file, moduleListObserver::HealthFail);
        }
        emit progress(QStringLiteral("Loading Input Modules - Please Wait"), ++step, int(records.size()) + 1);
    }
}

void alarmEngine::initialiseOutputs()
{
    faultHandler::scope operation("Initialise Outputs");
    const auto &records = m_outputs->records();
    if (records.empty())
        return;
    hold outputs(m_outputLock);
    int step = 0;
    for (const auto &[file, record] : records) {
        emit progress(QStringLiteral("Loading Output Modules - Please Wait"), ++step, int(records.size()));
        if (!record->createModule(logFlags(), &m_ids))
            continue;
        const QString path = m_settings.alarmFolder + QStringLiteral("/outputs/") + file;
        debugOutput(QStringLiteral("Initialize Output from %1").arg(path));
        m_outputs->reportHealth(file, moduleListObserver::HealthOk);
        m_outputs->reportLoadState(file, moduleListObserver::Initializing);
        QElapsedTimer timer;
        timer.start();
        alarms_output_base *module = record->module();
        const bool ok = module->initialise(path, m_settings.alarmSystem, m_settings.systemFolder,
                                           m_settings.configFolder, m_processes.names(), record->eventSink());
        module->setOverrideList(m_processes.processes(), &m_processLock);
        if (m_processes.hasSavedStates())
            module->setIntialStates(m_processes.savedStates().data(), m_processes.count());
        else
            debug(0, QString(), QStringLiteral("No Old states to send to output"));
        debugOutputf("Out Initialization took: %d ms", int(timer.elapsed()));
        m_outputs->reportLoadState(file, ok ? moduleListObserver::Running : moduleListObserver::InitFailed);
        if (!ok)
            m_outputs->reportHealth(file, moduleListObserver::HealthFail);
    }
}

void alarmEngine::stopTimer(int &timer)
{
    if (timer)
        killTimer(timer);
    timer = 0;
}

void alarmEngine::startProcessTimer()
{
    if (!m_processTimer)
        m_processTimer = startTimer(std::max(m_settings.periodMs, 1), Qt::PreciseTimer);
}

void alarmEngine::timerEvent(QTimerEvent *event)
{
    const int id = event->timerId();
    if (id == m_processTimer) {
        cycle();
    } else if (id == m_fastTimer) {
        emit displayFast();
    } else if (id == m_slowTimer) {
        emit displaySlow();
    } else if (id == m_txRxTimer) {
        updateTxRx();
        emit displayTxRx();
    } else if (id == m_startupTimer) {
        startProcessing();
    } else if (id == m_networkTimer) {
        stopTimer(m_networkTimer);
        startExtraNetworkActivity();
    } else if (id == m_nextProcessTimer) {
        stopTimer(m_nextProcessTimer);
        debugOutput(QStringLiteral("Next process timer event."));
        IAlarmEventProcess *sink = m_processEventDecorator ? static_cast<IAlarmEventProcess *>(m_processEventDecorator.get())
                                                           : static_cast<IAlarmEventProcess *>(m_events.get());
        sink->event(QString());
    } else {
        debugOutputf(" :Unknown timer event %d", id);
    }
}

void alarmEngine::startProcessing()
{
    if (m_saveClockRunning || !m_started)
        return;
    stopTimer(m_startupTimer);
    show(QStringLiteral("STARTING PROCESSING"));
    m_sinceSave.start();
    m_saveClockRunning = true;
    // In event-driven mode, events of the delay (a module's first values
    // come then) give their cycles now.
    if (!m_settings.eventDriven || m_pendingCycles > 0)
        startProcessTimer();
}

void alarmEngine::moduleEvent()
{
    if (!m_settings.eventDriven)
        return;
    m_pendingCycles = cyclesPerEvent;
    // Modules call from threads of their own: the timer starts on ours.
    QMetaObject::invokeMethod(this, [this] {
        if (m_saveClockRunning)
            startProcessTimer();
    }, Qt::QueuedConnection);
}

void alarmEngine::cycle()
{
    // A cycle uses up its pending count as it starts: an event that comes
    // while it runs (from a module thread, or from the cycle itself) sets two
    // again and so gets two whole cycles after this one.
    if (m_settings.eventDriven) {
        int pending = m_pendingCycles.load();
        while (pending > 0 && !m_pendingCycles.compare_exchange_weak(pending, pending - 1)) {
        }
    }
    getInputData();
    doCalculations();
    sendDataOutputs();
    if (m_saveClockRunning && m_sinceSave.elapsed() > saveIntervalMs) {
        saveData();
        m_sinceSave.restart();
    }
    ++m_cycles;
    // An event after this test restarts the timer through its queued call.
    if (m_settings.eventDriven && m_pendingCycles.load() <= 0) {
        debugOutputf("Stopping process timer %d.", m_processTimer);
        stopTimer(m_processTimer);
    }
}

void alarmEngine::getInputData()
{
    faultHandler::scope operation("GetInputData");
    try {
        hold inputs(m_inputLock);
        hold stores(m_acqLock);
        for (const auto &[file, record] : m_inputs->records()) {
            alarms_input_base *module = record->module();
            if (!module || !module->getStatusOk())
                continue;
            int *data = nullptr;
            int length = 0;
            const bool got = module->getData(&data, &length);
            const size_t instance = size_t(record->instance());
            if (instance < m_stores.size() && m_stores[instance])
                m_stores[instance]->set(length, got ? data : nullptr);
        }
    } catch (...) {
        debugOutput(QStringLiteral("GetInputData - Unknown exception"));
        logger().directLog(QStringLiteral("Wardline: GetInputData - Unknown exception"));
        faultHandler::fatal();
    }
}

void alarmEngine::doCalculations()
{
    faultHandler::scope operation("DoCalculations");
    if (m_processes.count() == 0)
        return;
    const char *step = "start";
    processEngine::cycleResult result;
    try {
        hold processes(m_processLock);
        step = "initialising memory";
        m_processes.resetArrays();
        {
            step = "calling init proc";
            hold stores(m_acqLock);
            m_processes.setUpProcesses(
                [this](int block, int index) {
                    if (!m_haveStores)
                        return -1;
                    if (block >= 0 && size_t(block) < m_stores.size() && m_stores[size_t(block)])
                        return m_stores[size_t(block)]->value(index);
                    if (!m_missingBlockShown) {
                        m_missingBlockShown = true;
                        show(QStringLiteral("CALCULATION ERROR - Cannot find Acq block ") + QString::number(block)
                             + QStringLiteral("- check configuration"));
                    }
                    return -1;
                },
                QDateTime::currentSecsSinceEpoch(), result);
        }
        step = "input proc";
        if (result.nextEndTime > 0) {
            const QDateTime now = QDateTime::currentDateTimeUtc();
            const QDateTime base = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
            const QDateTime end = base.addSecs(result.nextEndTime);
            const qint64 toGo = now.secsTo(end);
            const QString format = QStringLiteral("dd-MM-yyyy hh:mm:ss.zzz");
            debugOutput(QStringLiteral("now '%1' base '%2' end '%3' time to %4 s, %5 ms, next at %6")
                            .arg(now.toString(format), base.toString(format), end.toString(format))
                            .arg(toGo)
                            .arg(toGo * 1000)
                            .arg(result.nextEndTime));
            if (toGo == 0) {
                m_pendingCycles = cyclesPerEvent;
            } else if (toGo > 0 && !m_nextProcessTimer) {
                m_nextProcessTimer = startTimer(int(std::min<qint64>(toGo * 1000, std::numeric_limits<int>::max())));
                debugOutputf("Timer wasn't active for next process. Started timer %d", m_nextProcessTimer);
            }
        }
        step = "Calc Now";
        m_processes.calculate(result);
        step = "End of calc";
    } catch (...) {
        logger().directLog(QStringLiteral("DoCalculations - unknown exception.......%1").arg(QLatin1String(step)));
        debugOutput(QStringLiteral("DoCalculations - unknown exception........%1").arg(QLatin1String(step)));
        faultHandler::fatal();
    }
    m_extraPasses = result.extraPasses;
    if (!result.allCalculated && !m_failedCalculationShown) {
        m_failedCalculationShown = true;
        show(QStringLiteral("ERROR - calculations failed - CHECK CONFIGURATION"));
        debugOutput(QStringLiteral("calculations failed"));
    }
}

void alarmEngine::sendDataOutputs()
{
    faultHandler::scope operation("SendDataOutputs");
    if (m_processes.count() == 0)
        return;
    try {
        hold outputs(m_outputLock);
        for (const auto &[file, record] : m_outputs->records()) {
            if (alarms_output_base *module = record->module())
                module->dataReady(m_processes.states().data(), m_processes.count());
        }
    } catch (...) {
        debugOutput(QStringLiteral("SendDataOutputs - Unknown Exception"));
        logger().directLog(QStringLiteral("SendDataOutputs - Unknown Exception"));
        faultHandler::fatal();
    }
}

void alarmEngine::saveData()
{
    faultHandler::scope operation("SaveData");
    std::vector<stateFile::entry> entries;
    {
        hold processes(m_processLock);
        entries.reserve(size_t(m_processes.count()));
        for (int i = 0; i < m_processes.count(); ++i) {
            if (m_processes.keepsState(i))
                entries.push_back(
                    {m_processes.names().at(i), m_processes.stateToKeep(i), m_processes.overrideEndTime(i)});
        }
    }
    if (entries.empty())
        return;
    // The cycle only takes the snapshot; the file is written on the saver's thread.
    if (!m_saver)
        m_saver = std::make_unique<stateSaver>(
            stateFile(stateFolder(), QString(), [this](const QString &line) { debugOutput(line); }));
    m_saver->save(std::move(entries));
}

void alarmEngine::finishSaving()
{
    if (m_saver)
        m_saver->finish();
}

std::vector<alarmEngine::moduleStatus> alarmEngine::updateModules()
{
    faultHandler::scope operation("UpdateDisplayFast");
    std::vector<moduleStatus> rows;
    bool healthy = true;
    {
        hold inputs(m_inputLock);
        static const LoadDirectoryInputs::Records none;
        for (const auto &[file, record] : m_inputs ? m_inputs->records() : none) {
            if (alarms_input_base *module = record->module()) {
                moduleStatus row{file, true, module->getTxCount(), module->getRxCount(), module->getStatusOk(), 0, 0};
                module->getProgress(&row.progressTotal, &row.progressRemaining);
                healthy = healthy && row.ok;
                rows.push_back(row);
            }
        }
    }
    {
        hold outputs(m_outputLock);
        static const LoadDirectoryOutputs::Records none;
        for (const auto &[file, record] : m_outputs ? m_outputs->records() : none) {
            if (alarms_output_base *module = record->module()) {
                moduleStatus row{file, false, module->getTxCount(), module->getRxCount(), module->getStatusOk(), 0, 0};
                healthy = healthy && row.ok;
                rows.push_back(row);
            }
        }
    }
    m_healthy = healthy;
    if (m_mastership)
        m_mastership->setStatus(healthy);
    return rows;
}

void alarmEngine::updateTxRx()
{
    faultHandler::scope operation("UpdateTxRx");
    try {
        switchOutputs();
    } catch (...) {
        debugOutput(QStringLiteral("UpdateTxRx - unknown exception"));
        logger().directLog(QStringLiteral("Wardline: UpdateTxRx - unknown exception"));
    }
}

void alarmEngine::switchOutputs()
{
    if (m_txRxSkips > 0) {
        --m_txRxSkips;
        return;
    }
    if (!m_outputs)
        return;
    hold outputs(m_outputLock);
    const bool master = !m_mastership || m_mastership->isMaster();
    if (master != m_lastMaster) {
        debugOutputf("UDP Reports change of mastership to %d.", master ? 1 : 0);
        logger().directLog(QStringLiteral("UDP Reports change of mastership to %1.").arg(master ? 1 : 0));
    }
    m_lastMaster = master;
    bool someNotTransmitting = false;
    if (master) {
        for (const auto &[file, record] : m_outputs->records()) {
            if (record->module() && !record->module()->getTxMode())
                someNotTransmitting = true;
        }
    }
    for (const auto &[file, record] : m_outputs->records()) {
        alarms_output_base *module = record->module();
        if (!module)
            continue;
        if (!master)
            module->setRxOnly();
        else if (someNotTransmitting)
            module->forceTxRx();
        else
            module->setTxRx();
    }
}

void alarmEngine::forceRxOnly()
{
    faultHandler::scope operation("forceRxOnly");
    debugOutput(QStringLiteral("forceRxOnly"));
    m_txRxSkips = 5;
    if (m_outputs) {
        hold outputs(m_outputLock);
        for (const auto &[file, record] : m_outputs->records()) {
            if (record->module())
                record->module()->setRxOnly();
        }
    }
    if (m_mastership)
        m_mastership->forceRxOnly();
}

void alarmEngine::guarded(const char *operation, const std::function<void()> &work)
{
    // An operator's command on a module: a failing module is logged, the engine goes on.
    faultHandler::scope scope(operation);
    try {
        work();
    } catch (...) {
        debugOutput(QStringLiteral("%1 - unknown exception").arg(QLatin1String(operation)));
        logger().directLog(QStringLiteral("Wardline: %1 - unknown exception").arg(QLatin1String(operation)));
    }
}

void alarmEngine::startExtraNetworkActivity()
{
    show(QStringLiteral("Starting Extra Network Activity"));
    if (!m_outputs)
        return;
    guarded("StartExtraNetworkActivity", [this] {
        hold outputs(m_outputLock);
        for (const auto &[file, record] : m_outputs->records()) {
            if (record->module())
                record->module()->SetNetworkOutput(1);
        }
    });
}

void alarmEngine::colourInputs(int mode, bool on)
{
    if (!m_inputs)
        return;
    guarded("setColouring", [&] {
        hold inputs(m_inputLock);
        hold stores(m_acqLock);
        for (const auto &[file, record] : m_inputs->records()) {
            if (record->module())
                record->module()->setColouring(mode, on);
        }
    });
}

void alarmEngine::restartAllPolls()
{
    if (!m_inputs)
        return;
    for (const auto &[file, record] : m_inputs->records())
        restartPoll(file);
}

void alarmEngine::restartPoll(const QString &fileName)
{
    if (!m_inputs)
        return;
    guarded("restartPoll", [&] {
        hold inputs(m_inputLock);
        if (AcqConfig *record = m_inputs->find(fileName); record && record->module())
            record->module()->restartPoll();
    });
}

void alarmEngine::pollNow(const QString &fileName)
{
    if (!m_inputs)
        return;
    guarded("pollNow", [&] {
        hold inputs(m_inputLock);
        if (AcqConfig *record = m_inputs->find(fileName); record && record->module())
            record->module()->pollNow();
    });
}

void alarmEngine::retryConnection(const QString &fileName)
{
    if (!m_outputs)
        return;
    guarded("retryConnnection", [&] {
        hold outputs(m_outputLock);
        if (OutConfig *record = m_outputs->find(fileName); record && record->module())
            record->module()->retryConnnection();
    });
}

QStringList alarmEngine::takeModuleLog(const QString &fileName)
{
    if (m_inputs) {
        if (AcqConfig *record = m_inputs->find(fileName))
            return record->takeLog();
    }
    if (m_outputs) {
        if (OutConfig *record = m_outputs->find(fileName))
            return record->takeLog();
    }
    return QStringList();
}

bool alarmEngine::moduleLogChanged(const QString &fileName) const
{
    if (m_inputs) {
        if (AcqConfig *record = m_inputs->find(fileName))
            return record->logChanged();
    }
    if (m_outputs) {
        if (OutConfig *record = m_outputs->find(fileName))
            return record->logChanged();
    }
    return false;
}

int alarmEngine::processCount()
{
    return m_processes.count();
}

// For the event trace (log flag 0x80): the event may come from inside a module
// call made under the very lock, so the values are described only when the
// lock is free at once.
std::vector<int> alarmEngine::inputValues(int instance)
{
    std::vector<int> values;
    if (!m_acqLock.tryAcquire())
        return values;
    const auto release = qScopeGuard([this] { m_acqLock.release(); });
    if (instance >= 0 && size_t(instance) < m_stores.size() && m_stores[size_t(instance)]) {
        const CAcqStore &store = *m_stores[size_t(instance)];
        for (int i = 1; i <= store.length(); ++i)
            values.push_back(store.value(i));
    }
    return values;
}

std::vector<int> alarmEngine::currentStates()
{
    std::vector<int> states;
    if (!m_processLock.tryAcquire())
        return states;
    const auto release = qScopeGuard([this] { m_processLock.release(); });
    for (CRuleKernel *process : m_processes.processes())
        states.push_back(process->GetCurrentState());
    return states;
}
