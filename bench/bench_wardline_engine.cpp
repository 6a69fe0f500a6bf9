// Load test of a running alarm engine: a temporary installation with one
// alarm system of many processes (rule types mixed in file order, two in
// five of them Input processes that read one filein instance), a fileout
// instance that records every state, and the engine at its 20 ms period.
// Each cycle is timed (wall and thread CPU time), and the process's CPU time
// over the measured period is set against the wall time. The input values
// file is rewritten now and then with a few changed values, so that the
// output module has states to write.
//
// Every size runs in a process of its own (the program starts itself with
// --child), so that peak memory and the engine's process-wide state belong
// to that size alone.

#include "alarmEngine.h"
#include "benchBroker.h"
#include "processEngine.h"
#include "ruleCycle.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <sys/resource.h>
#include <time.h>

#ifndef BENCH_MODULE_DIR
#define BENCH_MODULE_DIR ""
#endif

namespace {

const QString systemName = QStringLiteral("BenchSys");
const QString alarmSystemName = QStringLiteral("Bench");
constexpr int inputThreshold = 50; // Input processes alarm at ">= 50"

struct Options
{
    QList<int> sizes{5000, 10000, 20000};
    int seconds = 30;
    int warmupSeconds = 3;
    int periodMs = 20;
    int pollMs = 500;
    int changeMs = 1000;
    int changes = 20;
    bool engineTimer = false; // the engine's own process timer instead of ours
    bool keepTree = false;    // leave the installation for a look (or a profiler's symbols)
    // With --mqtt: a second output instance, mqttout, publishing to a broker
    // the benchmark starts on this loopback port.
    int mqttPort = 0;
    QString moduleDir = QStringLiteral(BENCH_MODULE_DIR);
};

// --------------------------------------------------------------------------
// Clocks and memory.

qint64 threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 processCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &t) { return qint64(t.tv_sec) * 1000000000 + qint64(t.tv_usec) * 1000; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// A "Vm...:" figure of /proc/self/status in KiB, or -1.
qint64 procStatusKiB(const char *key)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray wanted = QByteArray(key) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(wanted))
            return line.mid(wanted.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// --------------------------------------------------------------------------
// The alarm system.

struct plant
{
    QByteArray procDef;
    std::vector<int> values;            // the filein values, index 1 first
    std::vector<int> inputIndex;        // per process: its Index, or 0 when not an Input process
    std::vector<QByteArray> names;
};

// Two in five processes read inputs; the rest combine earlier processes:
// AND, OR with a mask, NOT or TRUTH, HOLDOFF or a time window.
plant makePlant(int count)
{
    plant p;
    std::mt19937 rng{static_cast<unsigned>(count)};
    const auto name = [](unsigned n) { return "p" + QByteArray::number(n); };
    const auto earlier = [&](int i) { return name(rng() % unsigned(i)); };
    p.inputIndex.assign(size_t(count), 0);
    for (int i = 0; i < count; ++i) {
        QByteArray body;
        const unsigned kind = i < 10 ? 0 : rng() % 10;
        if (kind < 4) {
            p.values.push_back(int(rng() % 100));
            p.inputIndex[size_t(i)] = int(p.values.size());
            body = "Type=Input\nBlock=1\nIndex=" + QByteArray::number(qulonglong(p.values.size())) + "\nAlarm=>= "
                   + QByteArray::number(inputThreshold) + "\nLatching=yes\n";
        } else if (kind < 6) {
            body = "Type=AND\nInputs=" + earlier(i);
            for (int k = 0; k < 2; ++k)
                body += "," + earlier(i);
            body += "\n";
        } else if (kind < 8) {
            body = "Type=OR\nInputs=" + earlier(i);
            body += "," + earlier(i);
            body += "\nMask=" + earlier(i) + "\n";
        } else if (kind == 8) {
            if (rng() % 2) {
                body = "Type=NOT\nInput=" + earlier(i) + "\n";
            } else {
                body = "Type=TRUTH\nInputs=" + earlier(i);
                body += "," + earlier(i);
                body += "\nOn=10,01\n";
            }
        } else {
            if (rng() % 2)
                body = "Type=HOLDOFF\nInput=" + earlier(i) + "\nOnDelay=5\nOffDelay=5\n";
            else
                body = "Type=Time\nWindow=08:00-17:00\nDays=Mon-Fri\n";
        }
        p.names.push_back(name(unsigned(i)));
        p.procDef += "[" + p.names.back() + "]\n" + body + "\n";
    }
    return p;
}

QByteArray valuesText(const std::vector<int> &values)
{
    QByteArray text;
    text.reserve(qsizetype(values.size()) * 4);
    for (size_t i = 0; i < values.size(); ++i) {
        text += QByteArray::number(values[i]);
        text += (i % 20 == 19 || i + 1 == values.size()) ? '\n' : ',';
    }
    return text;
}

bool writeFile(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

struct installation
{
    QString root;
    QString alarmFolder;
    QString valuesPath;
    QString statesPath;
};

// $QX_ROOT/BenchSys/config/alarms/Bench with proc_def.cfg, one filein and
// one fileout instance, and the two modules in windows/lib/alarms.
bool prepare(const QString &root, const Options &options, const plant &p, installation &out, QString *error)
{
    out.root = root;
    const QString system = root + QLatin1Char('/') + systemName;
    out.alarmFolder = system + QStringLiteral("/config/alarms/") + alarmSystemName;
    const QString libraries = system + QStringLiteral("/windows/lib/alarms");
    for (const QString &folder : {out.alarmFolder + QStringLiteral("/inputs"), out.alarmFolder + QStringLiteral("/outputs"),
                                  libraries, system + QStringLiteral("/config/system")}) {
        if (!QDir().mkpath(folder)) {
            *error = QStringLiteral("cannot create %1").arg(folder);
            return false;
        }
    }
    QStringList modules{QStringLiteral("libfilein.so"), QStringLiteral("libfileout.so")};
    if (options.mqttPort)
        modules << QStringLiteral("libmqttout.so");
    for (const QString &module : std::as_const(modules)) {
        const QString from = options.moduleDir + QLatin1Char('/') + module;
        if (!QFile::copy(from, libraries + QLatin1Char('/') + module)) {
            *error = QStringLiteral("cannot copy %1 (build the targets filein and fileout, or give --modules)")
                         .arg(from);
            return false;
        }
    }
    out.valuesPath = out.alarmFolder + QStringLiteral("/inputs/values.txt");
    out.statesPath = out.alarmFolder + QStringLiteral("/outputs/states.txt");
    const QByteArray acq = "[System]\nModule=filein\nName=Bench values\n\n[File]\nPath=values.txt\nPollMs="
                           + QByteArray::number(options.pollMs) + "\n";
    const QByteArray out1 = "[System]\nModule=fileout\nName=Bench states\n\n[File]\nPath=states.txt\n";
    const QByteArray out2 = "[System]\nModule=mqttout\nName=Bench broker\n\n[Mqtt]\nHost=127.0.0.1\nPort="
                            + QByteArray::number(options.mqttPort) + "\nTopicPrefix=bench\n";
    if (options.mqttPort && !writeFile(out.alarmFolder + QStringLiteral("/outputs/al_out_0002.cfg"), out2, error))
        return false;
    return writeFile(out.alarmFolder + QStringLiteral("/proc_def.cfg"), p.procDef, error)
           && writeFile(out.alarmFolder + QStringLiteral("/inputs/al_acq_0001.cfg"), acq, error)
           && writeFile(out.alarmFolder + QStringLiteral("/outputs/al_out_0001.cfg"), out1, error)
           && writeFile(out.valuesPath, valuesText(p.values), error);
}

// --------------------------------------------------------------------------
// Timing of the engine's work.

struct cycleSample
{
    qint64 wallNs;
    qint64 cpuNs;
    bool engineOwn; // started by the engine's own process timer
    bool wrote;     // the output module wrote its file in this cycle
};

struct recorder
{
    alarmEngine *engine = nullptr;
    bool measuring = false;
    qint64 firstCycleNs = -1;
    std::vector<cycleSample> cycles;
    qint64 engineOtherCpuNs = 0; // the engine's other timers and queued calls
    qint64 pollCpuNs = 0;        // events of the input module: polls and its queued events
    qint64 harnessCpuNs = 0;     // this program's own work, taken off the engine's CPU time
    int lastTxCount = 0;

    // Sums of the modules' counters (files written, values files read), as
    // the window reads them every 200 ms.
    int outputTxCount() { return moduleCount(false); }
    int inputRxCount() { return moduleCount(true); }
    int moduleCount(bool input)
    {
        int sum = 0;
        for (const alarmEngine::moduleStatus &row : engine->updateModules()) {
            if (row.input == input)
                sum += input ? row.rxCount : row.txCount;
        }
        return sum;
    }

    void addCycle(qint64 wallNs, qint64 cpuNs, bool engineOwn)
    {
        if (firstCycleNs < 0)
            firstCycleNs = wallNs;
        const qint64 start = threadCpuNs();
        const int tx = outputTxCount();
        const bool wrote = tx != lastTxCount;
        lastTxCount = tx;
        if (measuring)
            cycles.push_back({wallNs, cpuNs, engineOwn, wrote});
        harnessCpuNs += threadCpuNs() - start;
    }
};

// Times what the event loop hands to the engine and to the input module,
// which both live in this thread.
class benchApplication : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;
    recorder *rec = nullptr;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (!rec || !rec->engine)
            return QCoreApplication::notify(receiver, event);
        if (receiver == rec->engine) {
            const quint64 before = rec->engine->cycles();
            const qint64 cpu0 = threadCpuNs();
            QElapsedTimer wall;
            wall.start();
            const bool result = QCoreApplication::notify(receiver, event);
            const qint64 wallNs = wall.nsecsElapsed();
            const qint64 cpuNs = threadCpuNs() - cpu0;
            if (rec->engine->cycles() != before)
                rec->addCycle(wallNs, cpuNs, true);
            else if (rec->measuring)
                rec->engineOtherCpuNs += cpuNs;
            return result;
        }
        if (rec->measuring && receiver->inherits("fileInModule")) {
            const qint64 cpu0 = threadCpuNs();
            const bool result = QCoreApplication::notify(receiver, event);
            rec->pollCpuNs += threadCpuNs() - cpu0;
            return result;
        }
        return QCoreApplication::notify(receiver, event);
    }
};

// The engine's debug echo (on by default, as in the window) is counted and
// dropped: with 50 cycles a second a terminal would time its own output.
int echoLines = 0;
QtMessageHandler previousHandler = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && qstrcmp(context.category, "tavex.wardline.echo") == 0) {
        ++echoLines;
        return;
    }
    if (previousHandler)
        previousHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// The rule library's own cycle on the engine's processes, at the engine's
// pace: bench_rule_kernel's loop over the engine's evaluators, with arrays of
// its own. Run after the engine's measurement, in the same process, so that
// both see the same machine. Wall time of each cycle, sorted.
std::vector<qint64> libraryCycles(processEngine &processes, const std::vector<int> &values, int periodMs, int count)
{
    const int n = processes.count();
    std::vector<int> states(static_cast<size_t>(n), -1);
    std::vector<int> done(static_cast<size_t>(n), 0);
    std::vector<int> errors(static_cast<size_t>(n), -1);
    std::vector<qint64> times;
    for (int c = 0; c < count; ++c) {
        QThread::msleep(unsigned(periodMs));
        QElapsedTimer wall;
        wall.start();
        ruleCycle(n, [&processes](int i) { return processes.process(i); }, states, done, errors, values);
        times.push_back(wall.nsecsElapsed());
    }
    std::sort(times.begin(), times.end());
    return times;
}

qint64 percentile(const std::vector<qint64> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(std::ceil(p / 100.0 * double(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

void progressLine(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
}

// Waits in the event loop until `done` holds or `ms` have passed.
bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= ms)
            return false;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Compares the states file with the engine's last cycle and the Input
// processes with the last values written: every process calculated, the
// file current, and every input's state following its value.
QString verify(alarmEngine &engine, const installation &inst, const plant &p)
{
    QFile file(inst.statesPath);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("no states file %1").arg(inst.statesPath);
    const QList<QByteArray> lines = file.readAll().split('\n');
    const std::vector<int> &states = engine.processes().states();
    if (lines.size() != qsizetype(p.names.size()) + 1 || !lines.last().isEmpty())
        return QStringLiteral("states file has %1 lines for %2 processes").arg(lines.size() - 1).arg(p.names.size());
    int wrongInputs = 0;
    for (size_t i = 0; i < p.names.size(); ++i) {
        const QByteArray expected = p.names[i] + '=' + QByteArray::number(states[i]);
        if (lines.at(qsizetype(i)) != expected)
            return QStringLiteral("states file line %1 is '%2', the engine has '%3'")
                .arg(i + 1)
                .arg(QString::fromUtf8(lines.at(qsizetype(i))), QString::fromUtf8(expected));
        if (states[i] < 0)
            return QStringLiteral("process %1 was not calculated").arg(QString::fromUtf8(p.names[i]));
        if (const int index = p.inputIndex[i]) {
            // Latching inputs without acknowledgements: ON while in alarm,
            // OFF or Latched otherwise.
            const bool alarm = p.values[size_t(index - 1)] >= inputThreshold;
            if (alarm != (states[i] == 1))
                ++wrongInputs;
        }
    }
    if (wrongInputs)
        return QStringLiteral("%1 Input processes do not follow their last value").arg(wrongInputs);
    for (const QString &message : engine.messages()) {
        if (message.contains(QLatin1String("ERROR")))
            return QStringLiteral("engine reported: %1").arg(message);
    }
    return QString();
}

// --------------------------------------------------------------------------
// One size, in this process.

int runChild(benchApplication &app, const Options &options)
{
    const int count = options.sizes.value(0);
    const plant p = makePlant(count);
    QTemporaryDir temp;
    temp.setAutoRemove(!options.keepTree);
    if (options.keepTree)
        progressLine(QStringLiteral("installation kept in %1").arg(temp.path()));
    installation inst;
    QString error;
    if (!temp.isValid() || !prepare(temp.path(), options, p, inst, &error)) {
        progressLine(QStringLiteral("error: %1").arg(error.isEmpty() ? temp.errorString() : error));
        return 1;
    }
    // The engine and its log file take the folders from the environment.
    qputenv("QX_ROOT", QFile::encodeName(temp.path()));
    qputenv("QX_SYSTEM", systemName.toUtf8());
    qunsetenv("TEMP"); // no state files of older installations to move in
    previousHandler = qInstallMessageHandler(messageHandler);

    const qint64 rssBefore = procStatusKiB("VmRSS");
    QStringList arguments{QStringLiteral("/ALARMSYSTEM=") + alarmSystemName, QStringLiteral("/UDP=NO"),
                          QStringLiteral("/PERIOD=%1").arg(options.periodMs)};
    if (!options.engineTimer)
        arguments << QStringLiteral("/EVENTDRIVEN");
    // Declared before the engine, so that they outlive it.
    recorder rec;
    bool processing = false;
    QElapsedTimer loadTimer;
    loadTimer.start();
    auto engine = std::make_unique<alarmEngine>(arguments);
    if (engine->startupError() || !engine->Start()) {
        progressLine(QStringLiteral("error: the engine did not start: %1").arg(engine->messages().join(QLatin1String("; "))));
        return 1;
    }
    const qint64 loadMs = loadTimer.elapsed();
    if (engine->processCount() != count) {
        progressLine(QStringLiteral("error: %1 processes loaded, %2 written").arg(engine->processCount()).arg(count));
        return 1;
    }

    rec.engine = engine.get();
    app.rec = &rec;
    const auto detach = qScopeGuard([&] { app.rec = nullptr; });
    rec.lastTxCount = rec.outputTxCount();

    QObject::connect(engine.get(), &alarmEngine::messagesChanged, engine.get(), [&] {
        if (engine->messages().value(engine->messages().size() - 1) == QLatin1String("STARTING PROCESSING"))
            processing = true;
    });
    progressLine(QStringLiteral("%1 processes: loaded in %2 ms; start-up delay %3 s")
                     .arg(count)
                     .arg(loadMs)
                     .arg(engine->startupDelayMs() / 1000.0));
    if (!waitFor([&] { return processing; }, engine->startupDelayMs() + 30000)) {
        progressLine(QStringLiteral("error: no STARTING PROCESSING within the start-up delay"));
        return 1;
    }

    // Our own precise timer calls cycle(), unless the engine's timer runs.
    QTimer drive;
    drive.setTimerType(Qt::PreciseTimer);
    drive.setInterval(options.periodMs);
    QObject::connect(&drive, &QTimer::timeout, [&] {
        const qint64 cpu0 = threadCpuNs();
        QElapsedTimer wall;
        wall.start();
        engine->cycle();
        const qint64 wallNs = wall.nsecsElapsed();
        const qint64 cpuNs = threadCpuNs() - cpu0;
        rec.addCycle(wallNs, cpuNs, false);
    });
    if (!options.engineTimer)
        drive.start();

    progressLine(QStringLiteral("%1 processes: warm-up %2 s, then %3 s measured")
                     .arg(count)
                     .arg(options.warmupSeconds)
                     .arg(options.seconds));
    waitFor([] { return false; }, options.warmupSeconds * 1000);
    if (rec.firstCycleNs < 0) {
        progressLine(QStringLiteral("error: no calculation cycle during the warm-up"));
        return 1;
    }

    // A few inputs change now and then; the last change leaves time for a
    // poll and a cycle before the end, so that the check below sees it.
    std::mt19937 changeRng(7);
    plant current = p;
    int changeRounds = 0;
    QString changeError;
    QElapsedTimer measured;
    QTimer changer;
    changer.setInterval(options.changeMs);
    QObject::connect(&changer, &QTimer::timeout, [&] {
        if (measured.elapsed() > qint64(options.seconds) * 1000 - 2 * options.pollMs - 1000)
            return;
        const qint64 cpu0 = threadCpuNs();
        for (int k = 0; k < options.changes && !current.values.empty(); ++k)
            current.values[changeRng() % current.values.size()] = int(changeRng() % 100);
        if (!writeFile(inst.valuesPath, valuesText(current.values), &changeError))
            progressLine(QStringLiteral("error: %1").arg(changeError));
        ++changeRounds;
        rec.harnessCpuNs += threadCpuNs() - cpu0;
    });

    const int rxBefore = rec.inputRxCount();
    const int txBefore = rec.lastTxCount;
    const quint64 cyclesBefore = engine->cycles();
    const int echoBefore = echoLines;
    rec.measuring = true;
    const qint64 cpuStart = processCpuNs();
    measured.start();
    changer.start();
    waitFor([] { return false; }, options.seconds * 1000);
    const qint64 wallNs = measured.nsecsElapsed();
    const qint64 cpuNs = processCpuNs() - cpuStart;
    rec.measuring = false;
    changer.stop();
    drive.stop();
    const quint64 engineCycles = engine->cycles() - cyclesBefore;
    const int echoed = echoLines - echoBefore;
    const int rxAfter = rec.inputRxCount();
    const int txAfter = rec.lastTxCount;

    if (!changeError.isEmpty())
        return 1;
    if (const QString wrong = verify(*engine, inst, current); !wrong.isEmpty()) {
        progressLine(QStringLiteral("error: %1").arg(wrong));
        return 1;
    }
    if (txAfter - txBefore < 1 || changeRounds < 1) {
        progressLine(QStringLiteral("error: the output module did not write during the measurement"));
        return 1;
    }
    if (rec.cycles.size() != engineCycles) {
        progressLine(QStringLiteral("error: %1 cycles timed, the engine ran %2").arg(rec.cycles.size()).arg(engineCycles));
        return 1;
    }

    std::vector<qint64> wall, cpu, wroteWall, wroteCpu, plainWall;
    int engineOwn = 0;
    qint64 cycleCpuNs = 0;
    for (const cycleSample &s : rec.cycles) {
        wall.push_back(s.wallNs);
        cpu.push_back(s.cpuNs);
        cycleCpuNs += s.cpuNs;
        engineOwn += s.engineOwn ? 1 : 0;
        if (s.wrote) {
            wroteWall.push_back(s.wallNs);
            wroteCpu.push_back(s.cpuNs);
        } else {
            plainWall.push_back(s.wallNs);
        }
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    for (auto *sorted : {&wroteWall, &wroteCpu, &plainWall})
        std::sort(sorted->begin(), sorted->end());
    const auto us = [](qint64 ns) { return double(ns) / 1000.0; };
    const auto percentOfWall = [&](qint64 ns) { return 100.0 * double(ns) / double(wallNs); };
    const qint64 engineCpuNs = cpuNs - rec.harnessCpuNs;

    QJsonObject result{
        {"processes", count},
        {"inputs", int(p.values.size())},
        {"cycles", int(wall.size())},
        {"engineOwnCycles", engineOwn},
        {"medianUs", us(percentile(wall, 50))},
        {"p90Us", us(percentile(wall, 90))},
        {"p99Us", us(percentile(wall, 99))},
        {"maxUs", us(wall.empty() ? 0 : wall.back())},
        {"cpuMedianUs", us(percentile(cpu, 50))},
        {"cpuP99Us", us(percentile(cpu, 99))},
        {"wroteCycles", int(wroteWall.size())},
        {"wroteMedianUs", us(percentile(wroteWall, 50))},
        {"wroteMaxUs", us(wroteWall.empty() ? 0 : wroteWall.back())},
        {"wroteCpuMedianUs", us(percentile(wroteCpu, 50))},
        {"plainMedianUs", us(percentile(plainWall, 50))},
        {"plainP99Us", us(percentile(plainWall, 99))},
        {"firstCycleUs", us(rec.firstCycleNs)},
        {"enginePercent", percentOfWall(engineCpuNs)},
        {"cyclePercent", percentOfWall(cycleCpuNs)},
        {"pollPercent", percentOfWall(rec.pollCpuNs)},
        {"engineOtherPercent", percentOfWall(rec.engineOtherCpuNs)},
        {"restPercent", percentOfWall(engineCpuNs - cycleCpuNs - rec.pollCpuNs - rec.engineOtherCpuNs)},
        {"harnessPercent", percentOfWall(rec.harnessCpuNs)},
        {"seconds", double(wallNs) / 1e9},
        {"outputWrites", txAfter - txBefore},
        {"inputReads", rxAfter - rxBefore},
        {"changeRounds", changeRounds},
        {"echoLines", echoed},
        {"extraPasses", engine->extraPasses()},
        {"loadMs", loadMs},
        {"startupDelayMs", engine->startupDelayMs()},
        {"peakKiB", procStatusKiB("VmHWM")},
        {"rssBeforeKiB", rssBefore},
    };
    const std::vector<qint64> library = libraryCycles(engine->processes(), current.values, options.periodMs, 200);
    result.insert(QStringLiteral("libraryMedianUs"), us(percentile(library, 50)));
    result.insert(QStringLiteral("libraryP99Us"), us(percentile(library, 99)));
    // A save of the states file: what the cycle pays (the snapshot), and the
    // whole write on the saver's thread, which a cycle paid before.
    QElapsedTimer saving;
    saving.start();
    engine->saveData();
    result.insert(QStringLiteral("saveInCycleUs"), double(saving.nsecsElapsed()) / 1000.0);
    engine->finishSaving();
    result.insert(QStringLiteral("saveWholeUs"), double(saving.nsecsElapsed()) / 1000.0);
    app.rec = nullptr;
    engine.reset(); // saves the states file and unloads the modules
    std::printf("%s\n", QJsonDocument(result).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}

// --------------------------------------------------------------------------
// All sizes, each in a child process, and the tables.

QStringList childArguments(const Options &options, int size)
{
    QStringList arguments{QStringLiteral("--child"),
                          QStringLiteral("--processes"), QString::number(size),
                          QStringLiteral("--seconds"), QString::number(options.seconds),
                          QStringLiteral("--warmup"), QString::number(options.warmupSeconds),
                          QStringLiteral("--period"), QString::number(options.periodMs),
                          QStringLiteral("--poll-ms"), QString::number(options.pollMs),
                          QStringLiteral("--change-ms"), QString::number(options.changeMs),
                          QStringLiteral("--changes"), QString::number(options.changes),
                          QStringLiteral("--modules"), options.moduleDir};
    if (options.engineTimer)
        arguments << QStringLiteral("--engine-timer");
    if (options.keepTree)
        arguments << QStringLiteral("--keep-tree");
    if (options.mqttPort)
        arguments << QStringLiteral("--mqtt-port") << QString::number(options.mqttPort);
    return arguments;
}

int runAll(Options options, bool mqtt)
{
    benchBroker broker;
    if (mqtt && !(options.mqttPort = broker.start(QStringLiteral("/usr/sbin/mosquitto"), "log_dest none\n"))) {
        progressLine(QStringLiteral("error: could not start /usr/sbin/mosquitto for --mqtt"));
        return 1;
    }
    std::vector<QJsonObject> results;
    for (const int size : options.sizes) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), childArguments(options, size));
        // Start-up delay (at most 45 s), loading, warm-up and the measurement.
        const int limitMs = (45 + 60 + options.warmupSeconds + options.seconds) * 1000;
        if (!child.waitForFinished(limitMs)) {
            child.kill();
            child.waitForFinished(5000);
            progressLine(QStringLiteral("error: the run of %1 processes did not end within %2 s").arg(size).arg(limitMs / 1000));
            return 1;
        }
        const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
        const QJsonObject result = QJsonDocument::fromJson(lines.last()).object();
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0 || result.isEmpty()) {
            progressLine(QStringLiteral("error: the run of %1 processes failed").arg(size));
            return 1;
        }
        results.push_back(result);
    }

    const auto num = [](const QJsonObject &o, const char *key) { return o.value(QLatin1String(key)).toDouble(); };
    std::printf("\nWardline engine, %d ms period, cycles driven by %s; filein polled every %d ms, "
                "%d input values changed every %d ms; %d s measured%s\n\n",
                options.periodMs, options.engineTimer ? "the engine's own process timer" : "the host's timer (/EVENTDRIVEN)",
                options.pollMs, options.changes, options.changeMs, options.seconds,
                options.mqttPort ? "; mqttout publishing to a local mosquitto broker as well" : "");
    std::printf("%9s %7s %10s %8s %8s %8s %8s %13s\n", "processes", "cycles", "median us", "p90 us", "p99 us",
                "max us", "CPU %", "peak RSS MiB");
    for (const QJsonObject &r : results) {
        std::printf("%9d %7d %10.0f %8.0f %8.0f %8.0f %8.1f %13.1f\n", int(num(r, "processes")), int(num(r, "cycles")),
                    num(r, "medianUs"), num(r, "p90Us"), num(r, "p99Us"), num(r, "maxUs"), num(r, "enginePercent"),
                    num(r, "peakKiB") / 1024.0);
    }

    std::printf("\nCycles by kind (wall time in us; cpu: thread CPU time of the cycle)\n\n");
    std::printf("%9s %8s %8s %8s %8s %7s %8s %8s %8s %8s %8s %8s\n", "processes", "no-write", "median", "p99",
                "engine's", "writes", "median", "max", "cpu med", "all cpu", "cpu p99", "first");
    for (const QJsonObject &r : results) {
        std::printf("%9d %8d %8.0f %8.0f %8d %7d %8.0f %8.0f %8.0f %8.0f %8.0f %8.0f\n", int(num(r, "processes")),
                    int(num(r, "cycles") - num(r, "wroteCycles")), num(r, "plainMedianUs"), num(r, "plainP99Us"),
                    int(num(r, "engineOwnCycles")), int(num(r, "wroteCycles")), num(r, "wroteMedianUs"),
                    num(r, "wroteMaxUs"), num(r, "wroteCpuMedianUs"), num(r, "cpuMedianUs"), num(r, "cpuP99Us"),
                    num(r, "firstCycleUs"));
    }
    std::printf("(no-write: cycles in which the output module wrote nothing; engine's: cycles run by the engine's own\n"
                " process timer, all of them with --engine-timer, else those after an input event; writes: cycles that\n"
                " wrote the states file, with median, max and median CPU; all cpu: CPU time of every cycle)\n");

    std::printf("\nEngine CPU time, %% of one core over the measured wall time\n\n");
    std::printf("%9s %7s %7s %7s %7s %7s %9s %7s %7s\n", "processes", "engine", "cycles", "polls", "timers", "rest",
                "harness", "reads", "files");
    for (const QJsonObject &r : results) {
        std::printf("%9d %7.2f %7.2f %7.2f %7.2f %7.2f %9.2f %7d %7d\n", int(num(r, "processes")),
                    num(r, "enginePercent"), num(r, "cyclePercent"), num(r, "pollPercent"),
                    num(r, "engineOtherPercent"), num(r, "restPercent"), num(r, "harnessPercent"),
                    int(num(r, "inputReads")), int(num(r, "outputWrites")));
    }
    std::printf("(engine: process CPU time less the harness's own work; cycles: inside cycle(); polls: the input\n"
                " module's timer and events; timers: the engine's other timers and queued calls; rest: event loop;\n"
                " reads, files: values files read, states files written)\n");

    std::printf("\nPer 1000 processes (linear cost gives equal figures)\n\n");
    std::printf("%9s %12s %12s %12s\n", "processes", "median us", "cpu med us", "CPU %");
    for (const QJsonObject &r : results) {
        const double k = num(r, "processes") / 1000.0;
        std::printf("%9d %12.1f %12.1f %12.2f\n", int(num(r, "processes")), num(r, "medianUs") / k,
                    num(r, "cpuMedianUs") / k, num(r, "enginePercent") / k);
    }

    std::printf("\nThe rule library's own cycle on the same processes at the same pace, after the engine's (us)\n\n");
    std::printf("%9s %12s %12s %16s\n", "processes", "median", "p99", "engine / library");
    for (const QJsonObject &r : results)
        std::printf("%9d %12.0f %12.0f %16.2f\n", int(num(r, "processes")), num(r, "libraryMedianUs"),
                    num(r, "libraryP99Us"), num(r, "medianUs") / num(r, "libraryMedianUs"));

    std::printf("\nStates file save (us): taken in the cycle (snapshot), and the whole write\n\n");
    std::printf("%9s %12s %12s\n", "processes", "in cycle", "whole");
    for (const QJsonObject &r : results)
        std::printf("%9d %12.0f %12.0f\n", int(num(r, "processes")), num(r, "saveInCycleUs"), num(r, "saveWholeUs"));

    const auto verdict = [](bool ok) { return ok ? "met" : "MISSED"; };
    for (const QJsonObject &r : results) {
        if (int(num(r, "processes")) != 20000)
            continue;
        const double ratio = num(r, "medianUs") / num(r, "libraryMedianUs");
        std::printf("\nTargets at 20000 processes: median %.0f us <= 2000 us: %s; p99 %.0f us <= 3000 us: %s; "
                    "engine / library %.2f <= 1.3: %s\n",
                    num(r, "medianUs"), verdict(num(r, "medianUs") <= 2000), num(r, "p99Us"),
                    verdict(num(r, "p99Us") <= 3000), ratio, verdict(ratio <= 1.3));
    }
    double lowest = 0;
    double highest = 0;
    for (const QJsonObject &r : results) {
        const double perThousand = num(r, "medianUs") / (num(r, "processes") / 1000.0);
        lowest = lowest == 0 ? perThousand : std::min(lowest, perThousand);
        highest = std::max(highest, perThousand);
    }
    if (results.size() > 1)
        std::printf("Median cost per 1000 processes, highest / lowest: %.2f <= 1.5: %s\n", highest / lowest,
                    verdict(highest / lowest <= 1.5));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    benchApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Cycle time and CPU use of a running alarm engine."));
    parser.addHelpOption();
    const QCommandLineOption sizes(QStringLiteral("processes"), QStringLiteral("Sizes, comma-separated."),
                                   QStringLiteral("LIST"), QStringLiteral("5000,10000,20000"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Measured time per size."),
                                     QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption warmup(QStringLiteral("warmup"), QStringLiteral("Cycles before measuring, in seconds."),
                                    QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption period(QStringLiteral("period"), QStringLiteral("Cycle period in ms."),
                                    QStringLiteral("MS"), QStringLiteral("20"));
    const QCommandLineOption pollMs(QStringLiteral("poll-ms"), QStringLiteral("PollMs of the input module."),
                                    QStringLiteral("MS"), QStringLiteral("500"));
    const QCommandLineOption changeMs(QStringLiteral("change-ms"), QStringLiteral("Interval of value changes."),
                                      QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption changes(QStringLiteral("changes"), QStringLiteral("Values changed each time."),
                                     QStringLiteral("N"), QStringLiteral("20"));
    const QCommandLineOption engineTimer(QStringLiteral("engine-timer"),
                                         QStringLiteral("Let the engine's own process timer run the cycles."));
    const QCommandLineOption modules(QStringLiteral("modules"), QStringLiteral("Folder of libfilein.so and libfileout.so."),
                                     QStringLiteral("DIR"), QStringLiteral(BENCH_MODULE_DIR));
    const QCommandLineOption keepTree(QStringLiteral("keep-tree"),
                                      QStringLiteral("Keep the temporary installation (files, log, modules)."));
    const QCommandLineOption mqtt(QStringLiteral("mqtt"),
                                  QStringLiteral("Add an mqttout instance publishing to a mosquitto broker started here."));
    const QCommandLineOption mqttPort(QStringLiteral("mqtt-port"), QStringLiteral("The broker's port (children)."),
                                      QStringLiteral("PORT"), QStringLiteral("0"));
    const QCommandLineOption child(QStringLiteral("child"), QStringLiteral("Run one size in this process."));
    parser.addOptions({sizes, seconds, warmup, period, pollMs, changeMs, changes, engineTimer, modules, keepTree, mqtt,
                       mqttPort, child});
    parser.process(app);

    Options options;
    options.sizes.clear();
    for (const QString &size : parser.value(sizes).split(QLatin1Char(','), Qt::SkipEmptyParts))
        options.sizes << size.toInt();
    const auto positive = [&](const QCommandLineOption &option, int minimum) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        return ok && value >= minimum ? value : -1;
    };
    options.seconds = positive(seconds, 5);
    options.warmupSeconds = positive(warmup, 1);
    options.periodMs = positive(period, 1);
    options.pollMs = positive(pollMs, 10);
    options.changeMs = positive(changeMs, 10);
    options.changes = positive(changes, 1);
    options.engineTimer = parser.isSet(engineTimer);
    options.moduleDir = parser.value(modules);
    options.keepTree = parser.isSet(keepTree);
    options.mqttPort = parser.value(mqttPort).toInt();
    const bool badSize = options.sizes.isEmpty()
                         || std::any_of(options.sizes.begin(), options.sizes.end(), [](int n) { return n < 20; });
    if (badSize || options.seconds < 0 || options.warmupSeconds < 0 || options.periodMs < 0 || options.pollMs < 0
        || options.changeMs < 0 || options.changes < 0) {
        progressLine(QStringLiteral("error: bad option value (sizes at least 20, --seconds at least 5)"));
        return 2;
    }
    if (parser.isSet(child)) {
        if (options.sizes.size() != 1) {
            progressLine(QStringLiteral("error: --child runs one size"));
            return 2;
        }
        return runChild(app, options);
    }
    return runAll(options, parser.isSet(mqtt));
}
