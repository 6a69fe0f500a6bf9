#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

struct mosquitto;

// The broker side of the MQTT output module: a thread of its own owns the
// client connection, (re)connects with a back-off, and publishes the process
// states handed to it. The engine's thread only marks states as pending
// (update) and never waits for the network. A process has at most one
// pending state, its latest: when the broker takes messages more slowly than
// the states change, intermediate states are skipped, never queued, and the
// number of messages awaiting the broker's acknowledgement stays below
// maxInFlight, so memory does not grow with a slow or absent broker.
//
// While transmitting, a connection carries a last will ("offline" on
// <prefix>/_status) and starts with "online" and every state; while receive
// only it publishes nothing and has no will, so that a standby engine never
// marks its twin's output offline. A change of mode therefore reconnects.
class mqttPublisher
{
public:
    struct settings
    {
        QByteArray host;
        int port = 1883;
        QByteArray clientId;
        QByteArray username; // empty: none
        QByteArray password;
        QByteArray caFile; // empty: plain TCP
        QByteArray prefix; // without a trailing "/"
        int qos = 1;
        bool retain = true;
        int keepAliveS = 30;
        int reconnectMs = 1000; // first delay; doubles after each failure
        int reconnectMaxMs = 30000;
        int connectTimeoutMs = 10000;
        int tableIntervalMs = 10000; // 0: no table
        int maxInFlight = 1000;
        QString alarmSystem;
        QList<QByteArray> topics; // per process; empty: not published
        QStringList names;        // per process, for the table
    };

    // What the engine's thread takes in: lines for the module's log (log)
    // or for the trace only.
    struct note
    {
        bool log = false;
        QString text;
    };

    struct statistics
    {
        qint64 published = 0; // messages the broker took (QoS 0: written)
        qint64 skipped = 0;   // states replaced before they were published
        int pending = 0;      // processes with a state to publish
        int inFlight = 0;
        int peakPending = 0;
        int peakInFlight = 0;
        int connections = 0;
    };

    explicit mqttPublisher(settings config);
    // Closes in order (see close()) when not yet closed.
    ~mqttPublisher();

    mqttPublisher(const mqttPublisher &) = delete;
    mqttPublisher &operator=(const mqttPublisher &) = delete;

    // The states of the processes listed in `changed` are now those in
    // `states` (one per process). Returns at once.
    void update(const std::vector<int> &states, const std::vector<int> &changed);
    void setTransmitting(bool on);
    // Connects at once when not connected; publishes every state again when connected.
    void retry();
    // Publishes "offline" when transmitting, disconnects cleanly and ends
    // the thread; waits at most a few seconds for a broker that does not respond.
    void close();

    bool connected() const { return m_connected.load(); }
    // Connected, or reconnecting for a change of mode after a good connection.
    bool healthy() const { return m_healthy.load(); }
    statistics stats() const;
    std::vector<note> takeNotes();

private:
    using clock = std::chrono::steady_clock;

    void run();
    bool startConnection(bool transmitting);
    void dropConnection(bool orderly, bool sayOffline);
    void connectionFailed(const QString &reason);
    void connected(bool transmitting);
    void publishPending();
    void publishTable();
    bool publish(const QByteArray &topic, const QByteArray &payload, bool retain);
    void markAllPending(); // m_mutex held
    void wait(int timeoutMs);
    void wake();
    void addNote(bool log, const QString &text);
    int timeoutMs(clock::time_point now) const;

    static void onConnect(mosquitto *client, void *self, int rc);
    static void onDisconnect(mosquitto *client, void *self, int rc);
    static void onPublish(mosquitto *client, void *self, int mid);

    const settings m_config;
    int m_wakeFd = -1;

    // Shared with the engine's thread, under m_mutex.
    mutable std::mutex m_mutex;
    std::vector<int> m_latest;
    std::vector<uint8_t> m_isPending;
    std::deque<int> m_pending;
    bool m_haveStates = false;
    bool m_transmitting = false;
    bool m_retry = false;
    bool m_stop = false;
    qint64 m_skipped = 0;
    int m_peakPending = 0;
    std::vector<note> m_notes;
    int m_droppedNotes = 0;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_healthy{false};
    std::atomic<qint64> m_published{0};
    std::atomic<int> m_inFlightShown{0};
    std::atomic<int> m_peakInFlight{0};
    std::atomic<int> m_connections{0};

    // The publisher's thread only.
    mosquitto *m_client = nullptr;
    bool m_clientTransmits = false; // the connection carries the will
    bool m_connackOk = false;
    bool m_justConnected = false;
    int m_connackRc = -1;
    bool m_disconnected = false;
    QString m_lostReason;
    bool m_everConnected = false;
    bool m_failing = false;     // a failure has been logged since the last connection
    bool m_switching = false;   // reconnecting for a change of mode
    int m_inFlight = 0;
    int m_backoffMs = 0;
    clock::time_point m_nextAttempt;
    clock::time_point m_connectStarted;
    clock::time_point m_nextTable;
    clock::time_point m_nextSkipReport;
    qint64 m_skippedReported = 0;
    std::vector<std::pair<int, int>> m_batch;

    std::once_flag m_closeOnce;
    std::thread m_thread; // last: starts once everything above exists
};
