// Load test of the MQTT output module: a broker of its own on a loopback
// port, the module loaded from its library as the engine loads it, and
// 20,000 processes (--processes) whose states all change every 20 ms cycle
// (--period) for --seconds. A subscriber in this program counts what the
// broker delivers. Reported: messages per second (taken by the broker from
// the module, and delivered to the subscriber), states skipped because a
// newer state of the same process came first, the module's peak pending
// states and messages in flight, memory over the run, the time dataReady()
// takes (the module's share of an engine cycle), and whether every
// process's last state arrives once the changes stop.

#include "alarms_module.h"
#include "benchBroker.h"

#include <mosquitto.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLibrary>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <unistd.h>

#ifndef BENCH_MODULE_DIR
#define BENCH_MODULE_DIR ""
#endif

namespace {

void progressLine(const QString &text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

// A "Vm...:" figure of /proc/<pid>/status in KiB, or -1.
qint64 procStatusKiB(const QString &pid, const char *key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray wanted = QByteArray(key) + ':';
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(wanted))
            return line.mid(wanted.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 percentile(std::vector<qint64> values, int p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * size_t(p) / 100)];
}

class benchDebug final : public IDebug
{
public:
    void debug(int, const QString &prefix, const QString &text) override
    {
        std::lock_guard lock(m_mutex);
        lines << prefix + text;
    }
    void debugf(int, const char *prefix, const char *format, ...) override
    {
        char text[1000];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard lock(m_mutex);
        lines << QString::fromUtf8(prefix) + QString::fromUtf8(text);
    }

    QStringList lines;

private:
    std::mutex m_mutex;
};

class benchLog final : public IAppendLog
{
public:
    void appendLog(const QString &message) override { progressLine(QStringLiteral("  module log: ") + message); }
};

// Counts the messages under the prefix and keeps each process's last state.
class counter
{
public:
    counter(quint16 port, int processes) : m_last(size_t(processes))
    {
        for (auto &state : m_last)
            state = -2;
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m_client, [](mosquitto *client, void *, int rc) {
            if (rc == 0)
                mosquitto_subscribe(client, nullptr, "bench/#", 0);
        });
        mosquitto_subscribe_callback_set(m_client, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<counter *>(self)->m_subscribed = true;
        });
        mosquitto_message_callback_set(m_client, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *c = static_cast<counter *>(self);
            c->m_messages.fetch_add(1, std::memory_order_relaxed);
            const char *topic = m->topic;
            if (std::strncmp(topic, "bench/p", 7) != 0)
                return;
            const int index = std::atoi(topic + 7);
            if (index >= 0 && size_t(index) < c->m_last.size())
                c->m_last[size_t(index)].store(std::atoi(static_cast<const char *>(m->payload)),
                                               std::memory_order_relaxed);
        });
        mosquitto_connect_async(m_client, "127.0.0.1", port, 60);
        mosquitto_loop_start(m_client);
    }
    ~counter()
    {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }

    bool subscribed() const { return m_subscribed; }
    qint64 messages() const { return m_messages.load(); }
    // Processes whose last delivered state is not `state`.
    int behind(int state) const
    {
        int n = 0;
        for (const auto &last : m_last)
            n += last.load(std::memory_order_relaxed) != state ? 1 : 0;
        return n;
    }

private:
    mosquitto *m_client = nullptr;
    std::atomic<bool> m_subscribed{false};
    std::atomic<qint64> m_messages{0};
    std::vector<std::atomic<int>> m_last;
};

struct Options
{
    int processes = 20000;
    int seconds = 60;
    int periodMs = 20;
    int qos = 1;
    int maxInFlight = 1000;
    QString moduleDir = QStringLiteral(BENCH_MODULE_DIR);
    QString broker = QStringLiteral("/usr/sbin/mosquitto");
};

int run(QCoreApplication &app, const Options &options)
{
    QTemporaryDir dir;
    benchBroker broker;
    const quint16 port = broker.start(options.broker, "log_dest none\nmax_queued_messages 0\n");
    if (!port) {
        progressLine(QStringLiteral("error: cannot start %1 on a loopback port").arg(options.broker));
        return 1;
    }
    const QString brokerPid = QString::number(broker.processId());

    mosquitto_lib_init();
    auto subscriber = std::make_unique<counter>(port, options.processes);
    for (QDeadlineTimer deadline(10000); !subscriber->subscribed();) {
        if (deadline.hasExpired()) {
            progressLine(QStringLiteral("error: the subscriber did not subscribe"));
            return 1;
        }
        QThread::msleep(10);
    }

    QLibrary library(options.moduleDir + QStringLiteral("/libmqttout.so"));
    const auto create = reinterpret_cast<createNewOutputFunction>(library.resolve("createNewOutput"));
    if (!create) {
        progressLine(QStringLiteral("error: %1").arg(library.errorString()));
        return 1;
    }
    QStringList names;
    for (int i = 0; i < options.processes; ++i)
        names << QStringLiteral("p%1").arg(i);
    const QString moduleConfig = dir.filePath(QStringLiteral("al_out_0001.cfg"));
    {
        QFile file(moduleConfig);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(QStringLiteral("[Mqtt]\nHost=127.0.0.1\nPort=%1\nTopicPrefix=bench\nQos=%2\nMaxInFlight=%3\n"
                                  "TableIntervalMs=10000\n")
                       .arg(port)
                       .arg(options.qos)
                       .arg(options.maxInFlight)
                       .toUtf8());
    }
    benchDebug debug;
    benchLog log;
    DebugIdManager ids;
    std::unique_ptr<alarms_output_base> module(create(&debug, &log, 2, &ids));
    if (!module->initialise(moduleConfig, QStringLiteral("Bench"), dir.path(), dir.path(), names, nullptr))
        return 1;
    module->setTxRx();
    for (QDeadlineTimer deadline(10000); !module->getStatusOk();) {
        if (deadline.hasExpired()) {
            progressLine(QStringLiteral("error: the module did not connect"));
            return 1;
        }
        QThread::msleep(10);
    }

    const qint64 rssStart = procStatusKiB(QStringLiteral("self"), "VmRSS");
    std::vector<int> states(size_t(options.processes), 0);
    std::vector<qint64> callNs;
    callNs.reserve(size_t(options.seconds * 1000 / options.periodMs + 10));
    std::vector<qint64> rssSamples;
    int cycle = 0;
    const qint64 sentBefore = module->getTxCount();
    const qint64 deliveredBefore = subscriber->messages();
    QElapsedTimer wall;
    wall.start();
    QElapsedTimer lastSample;
    lastSample.start();
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++cycle;
        std::fill(states.begin(), states.end(), cycle % 100); // every state changes every cycle
        QElapsedTimer call;
        call.start();
        module->dataReady(states.data(), options.processes);
        callNs.push_back(call.nsecsElapsed());
        if (lastSample.elapsed() >= 1000) {
            lastSample.restart();
            rssSamples.push_back(procStatusKiB(QStringLiteral("self"), "VmRSS"));
            module->getStatusOk(); // as the engine's window does: takes in the module's log lines
        }
        if (wall.elapsed() >= qint64(options.seconds) * 1000) {
            timer.stop();
            app.quit();
        }
    });
    progressLine(QStringLiteral("running %1 s: %2 processes changing every %3 ms, QoS %4, window %5")
                     .arg(options.seconds)
                     .arg(options.processes)
                     .arg(options.periodMs)
                     .arg(options.qos)
                     .arg(options.maxInFlight));
    timer.start(options.periodMs);
    app.exec();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const qint64 sent = qint64(module->getTxCount()) - sentBefore;
    const qint64 delivered = subscriber->messages() - deliveredBefore;
    const qint64 rssEnd = procStatusKiB(QStringLiteral("self"), "VmRSS");
    const qint64 brokerPeak = procStatusKiB(brokerPid, "VmHWM");

    // The changes stop: every process's last state must arrive.
    const int finalState = cycle % 100;
    QElapsedTimer drain;
    drain.start();
    int behind = subscriber->behind(finalState);
    while (behind > 0 && drain.elapsed() < 60000) {
        QThread::msleep(20);
        module->getStatusOk();
        behind = subscriber->behind(finalState);
    }
    const qint64 drainMs = drain.elapsed();

    module.reset(); // closes; its summary line has the publisher's peaks
    const QString summary = debug.lines.filter(QStringLiteral("closed: published")).value(0);
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("published (\\d+), skipped (\\d+), peak pending (\\d+), peak in flight (\\d+)"))
            .match(summary);
    subscriber.reset();
    mosquitto_lib_cleanup();

    const qint64 handed = qint64(cycle) * options.processes;
    const auto us = [](qint64 ns) { return double(ns) / 1000.0; };
    const qint64 rssPeakSample = rssSamples.empty() ? rssEnd : *std::max_element(rssSamples.begin(), rssSamples.end());
    std::printf("\nMQTT output module: %d processes, every state changed every %d ms, QoS %d, window %d; "
                "%.1f s measured\n\n",
                options.processes, options.periodMs, options.qos, options.maxInFlight, seconds);
    std::printf("cycles                          %d\n", cycle);
    std::printf("states handed to the module     %lld (%.0f per second)\n", handed, double(handed) / seconds);
    std::printf("messages taken by the broker    %lld (%.0f per second)\n", sent, double(sent) / seconds);
    std::printf("messages delivered (subscriber) %lld (%.0f per second)\n", delivered, double(delivered) / seconds);
    if (match.hasMatch()) {
        std::printf("states skipped (coalesced)      %s\n", qPrintable(match.captured(2)));
        std::printf("peak pending states             %s (at most one per process)\n", qPrintable(match.captured(3)));
        std::printf("peak messages in flight         %s\n", qPrintable(match.captured(4)));
    } else {
        std::printf("module summary missing: %s\n", qPrintable(summary));
    }
    std::printf("dataReady() per cycle           median %.0f us, p99 %.0f us, max %.0f us\n",
                us(percentile(callNs, 50)), us(percentile(callNs, 99)),
                us(callNs.empty() ? 0 : *std::max_element(callNs.begin(), callNs.end())));
    std::printf("RSS of this program             %.1f MiB at the start, %.1f MiB peak sample, %.1f MiB at the end, "
                "%.1f MiB VmHWM\n",
                rssStart / 1024.0, rssPeakSample / 1024.0, rssEnd / 1024.0,
                procStatusKiB(QStringLiteral("self"), "VmHWM") / 1024.0);
    if (rssSamples.size() >= 4) {
        // The first seconds fill the buffers; growth after that would be a queue.
        const qint64 half = rssSamples[rssSamples.size() / 2];
        std::printf("RSS growth, half-way->end       %+.1f MiB\n", (rssEnd - half) / 1024.0);
        QStringList every5;
        for (size_t i = 4; i < rssSamples.size(); i += 5)
            every5 << QString::number(rssSamples[i] / 1024.0, 'f', 1);
        std::printf("RSS every 5 s (MiB)             %s\n", qPrintable(every5.join(QLatin1Char(' '))));
    }
    std::printf("broker peak RSS                 %.1f MiB\n", brokerPeak / 1024.0);
    std::printf("last states after the changes   %s (%lld ms)\n",
                behind == 0 ? "all delivered" : qPrintable(QStringLiteral("MISSING for %1 processes").arg(behind)),
                drainMs);
    std::printf("(this program runs the subscriber and the module's thread besides the cycle; broker, module and\n"
                " subscriber share the machine's cores)\n");
    return behind == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Throughput and cycle cost of the MQTT output module."));
    parser.addHelpOption();
    const QCommandLineOption processes(QStringLiteral("processes"), QStringLiteral("Processes."), QStringLiteral("N"),
                                       QStringLiteral("20000"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Measured time."), QStringLiteral("N"),
                                     QStringLiteral("60"));
    const QCommandLineOption period(QStringLiteral("period"), QStringLiteral("Cycle period in ms."),
                                    QStringLiteral("MS"), QStringLiteral("20"));
    const QCommandLineOption qos(QStringLiteral("qos"), QStringLiteral("Qos of the module."), QStringLiteral("N"),
                                 QStringLiteral("1"));
    const QCommandLineOption window(QStringLiteral("max-in-flight"), QStringLiteral("MaxInFlight of the module."),
                                    QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption modules(QStringLiteral("modules"), QStringLiteral("Folder of libmqttout.so."),
                                     QStringLiteral("DIR"), QStringLiteral(BENCH_MODULE_DIR));
    const QCommandLineOption broker(QStringLiteral("broker"), QStringLiteral("The broker program."),
                                    QStringLiteral("PATH"), QStringLiteral("/usr/sbin/mosquitto"));
    parser.addOptions({processes, seconds, period, qos, window, modules, broker});
    parser.process(app);

    const auto number = [&](const QCommandLineOption &option, int minimum, int maximum) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        return ok && value >= minimum && value <= maximum ? value : -1;
    };
    Options options;
    options.processes = number(processes, 1, 1000000);
    options.seconds = number(seconds, 1, 86400);
    options.periodMs = number(period, 1, 60000);
    options.qos = number(qos, 0, 2);
    options.maxInFlight = number(window, 1, 65535);
    options.moduleDir = parser.value(modules);
    options.broker = parser.value(broker);
    if (options.processes < 0 || options.seconds < 0 || options.periodMs < 0 || options.qos < 0
        || options.maxInFlight < 0) {
        progressLine(QStringLiteral("error: bad option value"));
        return 2;
    }
    return run(app, options);
}
