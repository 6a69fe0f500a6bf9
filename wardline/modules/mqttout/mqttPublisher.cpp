#include "mqttPublisher.h"

#include <mosquitto.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int kBatch = 1000;             // messages handed to the client per turn of the loop
constexpr auto kCloseWait = 2s;          // for "offline" and the disconnection at the end
constexpr auto kSkipReportEvery = 60s;   // skipped states are logged at most this often
constexpr size_t kMaxNotes = 1000;

// libmosquitto is set up once per process and torn down when its last user goes.
std::mutex libraryMutex;
int libraryUsers = 0;

void libraryAcquire()
{
    std::lock_guard lock(libraryMutex);
    if (libraryUsers++ == 0)
        mosquitto_lib_init();
}

void libraryRelease()
{
    std::lock_guard lock(libraryMutex);
    if (--libraryUsers == 0)
        mosquitto_lib_cleanup();
}

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

int msUntil(std::chrono::steady_clock::time_point when, std::chrono::steady_clock::time_point now)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return int(std::clamp<long long>(ms, 0, 1000));
}

} // namespace

mqttPublisher::mqttPublisher(settings config)
    : m_config(std::move(config))
{
    libraryAcquire();
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const size_t count = size_t(m_config.topics.size());
    m_latest.assign(count, -1);
    m_isPending.assign(count, 0);
    m_thread = std::thread([this] { run(); });
}

mqttPublisher::~mqttPublisher()
{
    close();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    libraryRelease();
}

void mqttPublisher::close()
{
    std::call_once(m_closeOnce, [this] {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        wake();
        m_thread.join();
    });
}

void mqttPublisher::update(const std::vector<int> &states, const std::vector<int> &changed)
{
    bool work = false;
    {
        std::lock_guard lock(m_mutex);
        m_haveStates = true;
        for (const int i : changed) {
            if (i < 0 || size_t(i) >= m_latest.size() || size_t(i) >= states.size())
                continue;
            m_latest[size_t(i)] = states[size_t(i)];
            if (!m_transmitting || m_config.topics.at(i).isEmpty())
                continue;
            work = true;
            if (m_isPending[size_t(i)]) {
                ++m_skipped; // its previous state was never published
            } else {
                m_isPending[size_t(i)] = 1;
                m_pending.push_back(i);
            }
        }
        m_peakPending = std::max(m_peakPending, int(m_pending.size()));
    }
    if (work)
        wake();
}

void mqttPublisher::setTransmitting(bool on)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_transmitting == on)
            return;
        m_transmitting = on;
        if (!on) {
            for (const int i : m_pending)
                m_isPending[size_t(i)] = 0;
            m_pending.clear();
        }
    }
    wake();
}

void mqttPublisher::retry()
{
    {
        std::lock_guard lock(m_mutex);
        m_retry = true;
    }
    wake();
}

mqttPublisher::statistics mqttPublisher::stats() const
{
    statistics s;
    s.published = m_published.load();
    s.inFlight = m_inFlightShown.load();
    s.peakInFlight = m_peakInFlight.load();
    s.connections = m_connections.load();
    std::lock_guard lock(m_mutex);
    s.skipped = m_skipped;
    s.pending = int(m_pending.size());
    s.peakPending = m_peakPending;
    return s;
}

std::vector<mqttPublisher::note> mqttPublisher::takeNotes()
{
    std::vector<note> notes;
    std::lock_guard lock(m_mutex);
    notes.swap(m_notes);
    if (m_droppedNotes > 0) {
        notes.push_back({false, QStringLiteral("%1 trace lines dropped").arg(m_droppedNotes)});
        m_droppedNotes = 0;
    }
    return notes;
}

void mqttPublisher::addNote(bool log, const QString &text)
{
    std::lock_guard lock(m_mutex);
    if (m_notes.size() >= kMaxNotes && !log)
        ++m_droppedNotes;
    else
        m_notes.push_back({log, text});
}

void mqttPublisher::wake()
{
    const uint64_t one = 1;
    if (m_wakeFd >= 0 && ::write(m_wakeFd, &one, sizeof one) < 0) {
        // The counter is full: the thread is woken anyway.
    }
}

// Waits for the broker's socket, a wake-up from the engine's thread or the timeout.
void mqttPublisher::wait(int timeoutMs)
{
    pollfd fds[2];
    nfds_t count = 0;
    fds[count++] = {m_wakeFd, POLLIN, 0};
    if (m_client) {
        const int socket = mosquitto_socket(m_client);
        if (socket >= 0) {
            const short events = short(POLLIN | (mosquitto_want_write(m_client) ? POLLOUT : 0));
            fds[count++] = {socket, events, 0};
        }
    }
    if (::poll(fds, count, timeoutMs) > 0 && (fds[0].revents & POLLIN)) {
        uint64_t value;
        if (::read(m_wakeFd, &value, sizeof value) < 0) {
            // Already drained.
        }
    }
}

int mqttPublisher::timeoutMs(clock::time_point now) const
{
    const bool publishing = m_client && m_connackOk && m_clientTransmits;
    if (publishing && m_inFlight < m_config.maxInFlight) {
        std::lock_guard lock(m_mutex);
        if (!m_pending.empty())
            return 0;
    }
    int timeout = 1000; // the client's keep-alive is looked after at least this often
    if (!m_client)
        timeout = std::min(timeout, msUntil(m_nextAttempt, now));
    else if (!m_connackOk)
        timeout = std::min(timeout, msUntil(m_connectStarted + std::chrono::milliseconds(m_config.connectTimeoutMs), now));
    if (publishing && m_config.tableIntervalMs > 0)
        timeout = std::min(timeout, msUntil(m_nextTable, now));
    return timeout;
}

void mqttPublisher::run()
{
    m_backoffMs = m_config.reconnectMs;
    m_nextAttempt = clock::now();
    m_nextSkipReport = clock::now() + kSkipReportEvery;
    for (;;) {
        bool stop;
        bool wantTransmit;
        bool retry;
        {
            std::lock_guard lock(m_mutex);
            stop = m_stop;
            wantTransmit = m_transmitting;
            retry = std::exchange(m_retry, false);
        }
        if (stop)
            break;
        auto now = clock::now();

        if (retry) {
            if (m_connackOk) {
                addNote(false, QStringLiteral("retry: publishing every state again"));
                std::lock_guard lock(m_mutex);
                markAllPending();
            } else {
                addNote(false, QStringLiteral("retry: connecting now"));
                dropConnection(false, false);
                m_nextAttempt = now;
                m_backoffMs = m_config.reconnectMs;
            }
        }

        if (m_client && m_justConnected) {
            m_justConnected = false;
            connected(m_clientTransmits);
        }
        if (m_client && !m_connackOk && m_connackRc > 0) {
            connectionFailed(QStringLiteral("refused: %1").arg(QString::fromUtf8(mosquitto_connack_string(m_connackRc))));
        } else if (m_client && m_disconnected) {
            if (m_connackOk) {
                dropConnection(false, false);
                m_healthy = false;
                m_switching = false;
                if (!m_failing)
                    addNote(true, QStringLiteral("Connection to %1:%2 lost: %3")
                                      .arg(QString::fromUtf8(m_config.host))
                                      .arg(m_config.port)
                                      .arg(m_lostReason));
                else
                    addNote(false, QStringLiteral("connection lost: %1").arg(m_lostReason));
                m_failing = true;
                m_nextAttempt = now + std::chrono::milliseconds(m_config.reconnectMs);
                m_backoffMs = std::min(m_config.reconnectMs * 2, m_config.reconnectMaxMs);
            } else {
                connectionFailed(m_lostReason);
            }
        } else if (m_client && !m_connackOk
                   && now - m_connectStarted > std::chrono::milliseconds(m_config.connectTimeoutMs)) {
            connectionFailed(QStringLiteral("no answer within %1 ms").arg(m_config.connectTimeoutMs));
        }

        // A change of mode needs a connection with or without the will.
        if (m_client && m_connackOk && m_clientTransmits != wantTransmit) {
            addNote(false, wantTransmit ? QStringLiteral("transmitting: reconnecting with the last will")
                                        : QStringLiteral("receive only: reconnecting without the last will"));
            m_switching = true;
            dropConnection(true, false);
            m_nextAttempt = now;
        }
        if (!m_client && now >= m_nextAttempt)
            startConnection(wantTransmit);

        if (m_client && m_connackOk && m_clientTransmits && !m_disconnected) {
            if (m_config.tableIntervalMs > 0 && now >= m_nextTable && m_inFlight < m_config.maxInFlight)
                publishTable();
            publishPending();
        }

        if (now >= m_nextSkipReport) {
            m_nextSkipReport = now + kSkipReportEvery;
            qint64 skipped;
            {
                std::lock_guard lock(m_mutex);
                skipped = m_skipped;
            }
            if (skipped > m_skippedReported)
                addNote(true, QStringLiteral("%1 intermediate states skipped in the last minute: the states changed "
                                             "faster than they could be published; the latest are published")
                                  .arg(skipped - m_skippedReported));
            m_skippedReported = skipped;
        }

        wait(timeoutMs(clock::now()));
        if (m_client) {
            const int rc = mosquitto_loop(m_client, 0, 1);
            if (rc != MOSQ_ERR_SUCCESS && !m_disconnected) {
                m_disconnected = true;
                m_lostReason = errorText(rc);
            }
        }
    }

    dropConnection(true, m_connackOk && m_clientTransmits);
    const statistics s = stats();
    addNote(false, QStringLiteral("closed: published %1, skipped %2, peak pending %3, peak in flight %4, "
                                  "connections %5")
                       .arg(s.published)
                       .arg(s.skipped)
                       .arg(s.peakPending)
                       .arg(s.peakInFlight)
                       .arg(s.connections));
}

bool mqttPublisher::startConnection(bool transmitting)
{
    m_client = mosquitto_new(m_config.clientId.constData(), true, this);
    if (!m_client) {
        connectionFailed(QStringLiteral("cannot create a client: %1").arg(errorText(MOSQ_ERR_ERRNO)));
        return false;
    }
    m_clientTransmits = transmitting;
    m_connackOk = false;
    m_connackRc = -1;
    m_justConnected = false;
    m_disconnected = false;
    m_inFlight = 0;
    m_inFlightShown = 0;
    m_connectStarted = clock::now();
    ++m_connections;
    mosquitto_connect_callback_set(m_client, &mqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(m_client, &mqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(m_client, &mqttPublisher::onPublish);
    // The client sends at most this many messages before their acknowledgements.
    mosquitto_int_option(m_client, MOSQ_OPT_SEND_MAXIMUM, m_config.maxInFlight);

    int rc = MOSQ_ERR_SUCCESS;
    if (!m_config.username.isEmpty())
        rc = mosquitto_username_pw_set(m_client, m_config.username.constData(),
                                       m_config.password.isEmpty() ? nullptr : m_config.password.constData());
    if (rc == MOSQ_ERR_SUCCESS && !m_config.caFile.isEmpty())
        rc = mosquitto_tls_set(m_client, m_config.caFile.constData(), nullptr, nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS && transmitting) {
        const QByteArray topic = m_config.prefix + "/_status";
        rc = mosquitto_will_set(m_client, topic.constData(), 7, "offline", m_config.qos, true);
    }
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(m_client, m_config.host.constData(), m_config.port, m_config.keepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        connectionFailed(errorText(rc));
        return false;
    }
    addNote(false, QStringLiteral("connecting to %1:%2 as %3%4")
                       .arg(QString::fromUtf8(m_config.host))
                       .arg(m_config.port)
                       .arg(QString::fromUtf8(m_config.clientId))
                       .arg(transmitting ? QStringLiteral(", transmitting") : QString()));
    return true;
}

void mqttPublisher::connected(bool transmitting)
{
    m_connected = true;
    m_healthy = true;
    m_backoffMs = m_config.reconnectMs;
    const QString where = QStringLiteral("%1:%2").arg(QString::fromUtf8(m_config.host)).arg(m_config.port);
    if (m_failing || !m_everConnected)
        addNote(true, QStringLiteral("Connected to %1%2")
                          .arg(where, transmitting ? QStringLiteral(", transmitting") : QStringLiteral(", receive only")));
    else
        addNote(false, QStringLiteral("connected to %1 (%2)")
                           .arg(where, transmitting ? QStringLiteral("transmitting") : QStringLiteral("receive only")));
    m_failing = false;
    m_switching = false;
    m_everConnected = true;
    if (!transmitting)
        return;
    // A new connection starts from nothing: everything is published again.
    publish(m_config.prefix + "/_status", QByteArrayLiteral("online"), true);
    m_nextTable = clock::now();
    std::lock_guard lock(m_mutex);
    markAllPending();
}

void mqttPublisher::connectionFailed(const QString &reason)
{
    dropConnection(false, false);
    m_healthy = false;
    m_switching = false;
    if (!m_failing)
        addNote(true, QStringLiteral("Cannot connect to %1:%2: %3")
                          .arg(QString::fromUtf8(m_config.host))
                          .arg(m_config.port)
                          .arg(reason));
    else
        addNote(false, QStringLiteral("connection failed: %1; next attempt in %2 ms").arg(reason).arg(m_backoffMs));
    m_failing = true;
    m_nextAttempt = clock::now() + std::chrono::milliseconds(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, m_config.reconnectMaxMs);
}

// Orderly: a DISCONNECT the broker sees (so it drops the will), after
// "offline" when sayOffline; otherwise the socket is just closed.
void mqttPublisher::dropConnection(bool orderly, bool sayOffline)
{
    if (!m_client)
        return;
    if (orderly && m_connackOk && !m_disconnected) {
        if (sayOffline)
            publish(m_config.prefix + "/_status", QByteArrayLiteral("offline"), true);
        if (mosquitto_disconnect(m_client) == MOSQ_ERR_SUCCESS) {
            const auto deadline = clock::now() + kCloseWait;
            while (!m_disconnected && mosquitto_socket(m_client) >= 0 && clock::now() < deadline) {
                wait(50);
                if (mosquitto_loop(m_client, 0, 1) != MOSQ_ERR_SUCCESS)
                    break;
            }
        }
    }
    mosquitto_destroy(m_client);
    m_client = nullptr;
    m_connackOk = false;
    m_justConnected = false;
    m_connected = false;
    m_inFlight = 0;
    m_inFlightShown = 0;
    if (!m_switching)
        m_healthy = false;
}

void mqttPublisher::markAllPending()
{
    if (!m_haveStates || !m_transmitting)
        return;
    for (size_t i = 0; i < m_latest.size(); ++i) {
        if (!m_isPending[i] && !m_config.topics.at(qsizetype(i)).isEmpty()) {
            m_isPending[i] = 1;
            m_pending.push_back(int(i));
        }
    }
    m_peakPending = std::max(m_peakPending, int(m_pending.size()));
}

void mqttPublisher::publishPending()
{
    int room = std::min(m_config.maxInFlight - m_inFlight, kBatch);
    if (room <= 0)
        return;
    m_batch.clear();
    {
        std::lock_guard lock(m_mutex);
        while (room-- > 0 && !m_pending.empty()) {
            const int i = m_pending.front();
            m_pending.pop_front();
            m_isPending[size_t(i)] = 0;
            m_batch.emplace_back(i, m_latest[size_t(i)]);
        }
    }
    char text[16];
    for (size_t k = 0; k < m_batch.size(); ++k) {
        const auto [index, state] = m_batch[k];
        const int length = std::snprintf(text, sizeof text, "%d", state);
        if (publish(m_config.topics.at(index), QByteArray::fromRawData(text, length), m_config.retain))
            continue;
        // The connection has gone: what was not sent is pending again.
        std::lock_guard lock(m_mutex);
        for (size_t j = k; j < m_batch.size(); ++j) {
            const int i = m_batch[j].first;
            if (!m_isPending[size_t(i)] && m_transmitting) {
                m_isPending[size_t(i)] = 1;
                m_pending.push_back(i);
            }
        }
        break;
    }
}

void mqttPublisher::publishTable()
{
    m_nextTable = clock::now() + std::chrono::milliseconds(m_config.tableIntervalMs);
    std::vector<int> states;
    {
        std::lock_guard lock(m_mutex);
        if (!m_haveStates)
            return;
        states = m_latest;
    }
    // A map keeps the names sorted, so the object is built by appending.
    QVariantMap table;
    for (size_t i = 0; i < states.size(); ++i) {
        const QString &name = m_config.names.at(qsizetype(i));
        if (!name.isEmpty())
            table.insert(name, states[i]);
    }
    const QJsonObject root{
        {QStringLiteral("system"), m_config.alarmSystem},
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("states"), QJsonObject::fromVariantMap(table)},
    };
    publish(m_config.prefix + "/_states", QJsonDocument(root).toJson(QJsonDocument::Compact), m_config.retain);
}

// False when the connection is gone; a message the client rejects on its
// own is traced and dropped.
bool mqttPublisher::publish(const QByteArray &topic, const QByteArray &payload, bool retain)
{
    ++m_inFlight; // a QoS 0 message may be done (onPublish) before the call returns
    const int rc = mosquitto_publish(m_client, nullptr, topic.constData(), int(payload.size()), payload.constData(),
                                     m_config.qos, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        m_inFlightShown = m_inFlight;
        if (m_inFlight > m_peakInFlight.load())
            m_peakInFlight = m_inFlight;
        return true;
    }
    --m_inFlight;
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NOMEM) {
        if (!m_disconnected) {
            m_disconnected = true;
            m_lostReason = errorText(rc);
        }
        return false;
    }
    addNote(false, QStringLiteral("message to %1 rejected: %2").arg(QString::fromUtf8(topic), errorText(rc)));
    return true;
}

void mqttPublisher::onConnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<mqttPublisher *>(self);
    publisher->m_connackRc = rc;
    if (rc == 0) {
        publisher->m_connackOk = true;
        publisher->m_justConnected = true;
    }
}

void mqttPublisher::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<mqttPublisher *>(self);
    if (!publisher->m_disconnected) {
        publisher->m_disconnected = true;
        publisher->m_lostReason = rc == 0 ? QStringLiteral("disconnected") : errorText(rc);
    }
}

void mqttPublisher::onPublish(mosquitto *, void *self, int)
{
    auto *publisher = static_cast<mqttPublisher *>(self);
    if (publisher->m_inFlight > 0)
        --publisher->m_inFlight;
    publisher->m_inFlightShown = publisher->m_inFlight;
    ++publisher->m_published;
}
