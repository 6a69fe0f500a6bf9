#pragma once

// The MQTT peers of the tests: a mosquitto broker of the test's own on a
// loopback port, and a subscriber that keeps what it receives.

#include "moduleFakes.h"

#include <mosquitto.h>

#include <QDeadlineTimer>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <QTest>

#include <atomic>
#include <mutex>

#include <unistd.h>

inline const char *const brokerProgram = "/usr/sbin/mosquitto";

// A broker of the test's own on a loopback port, with its own configuration.
class testBroker
{
public:
    testBroker(const QString &folder, quint16 port) : m_folder(folder), m_port(port) {}
    ~testBroker() { stop(); }

    bool start(bool anonymous = true)
    {
        QByteArray config = "listener " + QByteArray::number(m_port) + " 127.0.0.1\npersistence false\n"
                            + (anonymous ? "allow_anonymous true\n" : "allow_anonymous false\n");
        if (geteuid() == 0)
            config += "user root\n"; // stays the user that owns the test's folder
        const QString path = m_folder + QStringLiteral("/broker.conf");
        if (!writeBytes(path, config))
            return false;
        m_process.start(QString::fromLatin1(brokerProgram), {QStringLiteral("-c"), path});
        if (!m_process.waitForStarted(5000))
            return false;
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
            if (probe.waitForConnected(200))
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(5000);
    }

private:
    QString m_folder;
    quint16 m_port;
    QProcess m_process;
};

// A client that subscribes to everything below a prefix and keeps what it
// receives (on libmosquitto's thread).
class testSubscriber
{
public:
    struct message
    {
        QByteArray topic;
        QByteArray payload;
        bool retained = false;
    };

    testSubscriber(quint16 port, const QByteArray &prefix) : m_filter(prefix + "/#")
    {
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m_client, [](mosquitto *client, void *self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(client, nullptr, static_cast<testSubscriber *>(self)->m_filter.constData(), 1);
        });
        mosquitto_subscribe_callback_set(m_client, [](mosquitto *, void *self, int, int, const int *) {
            static_cast<testSubscriber *>(self)->m_subscribed = true;
        });
        mosquitto_message_callback_set(m_client, [](mosquitto *, void *self, const mosquitto_message *m) {
            auto *subscriber = static_cast<testSubscriber *>(self);
            std::lock_guard lock(subscriber->m_mutex);
            subscriber->m_messages.push_back(
                {QByteArray(m->topic), QByteArray(static_cast<const char *>(m->payload), m->payloadlen), m->retain});
        });
        mosquitto_connect_async(m_client, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_client);
    }

    ~testSubscriber()
    {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }

    bool subscribed() const { return m_subscribed; }

    QList<message> messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_messages.clear();
    }

    QList<QByteArray> payloads(const QByteArray &topic) const
    {
        QList<QByteArray> found;
        for (const message &m : messages())
            found += m.topic == topic ? QList<QByteArray>{m.payload} : QList<QByteArray>{};
        return found;
    }

    QByteArray last(const QByteArray &topic) const
    {
        const QList<QByteArray> found = payloads(topic);
        return found.isEmpty() ? QByteArray("<none>") : found.last();
    }

    QStringList topics() const
    {
        QStringList found;
        for (const message &m : messages()) {
            if (!found.contains(QString::fromUtf8(m.topic)))
                found << QString::fromUtf8(m.topic);
        }
        found.sort();
        return found;
    }

private:
    QByteArray m_filter;
    mosquitto *m_client = nullptr;
    std::atomic<bool> m_subscribed{false};
    mutable std::mutex m_mutex;
    QList<message> m_messages;
};

