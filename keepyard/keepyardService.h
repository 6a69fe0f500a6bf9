#pragma once

#include "client.h"

#include <QObject>
#include <QString>

class QTimer;
class keepyard;
class udp_server;

// The server as it runs, with a window or without: the settings of
// Keepyard.ini below the root, the listening server and the discovery
// responder. Re-reads the settings on request and stops in order.
class keepyardService : public QObject
{
    Q_OBJECT

public:
    // Stopping waits this much longer than a session's close wait.
    static constexpr int stopMarginMs = 1000;

    keepyardService(QObject *parent, const QString &root, const sessionLimits &limits = sessionLimits());
    ~keepyardService() override;

    keepyard *server() const { return m_server; }
    udp_server *discovery() const { return m_discovery; }
    const QString &root() const { return m_root; }
    const QString &description() const { return m_description; }
    int port() const { return m_port; }
    int broadcastPort() const { return m_broadcastPort; }

    // Reads Keepyard.ini again: a new description is used at once (discovery
    // answers, the window title); other ports are logged as needing a
    // restart, the listeners stay where they are.
    void reloadSettings();

    // Stops accepting connections and ends every session, each with its
    // "disconnected" line, letting replies already asked for go out. Emits
    // stopped() once the last session has gone, or when the sessions' close
    // wait has run out. Requests are carried out on this thread one at a
    // time, so no write is left half done.
    void stop();
    bool isStopping() const { return m_stopping; }
    bool isStopped() const { return m_stopped; }

signals:
    void descriptionChanged(const QString &description);
    void stopped();

private:
    void checkStopped();

    QString m_root;
    QString m_description;
    int m_port = 0;
    int m_broadcastPort = 0;
    int m_closeWaitMs = 0;
    keepyard *m_server = nullptr;       // child
    udp_server *m_discovery = nullptr;  // child
    QTimer *m_stopTimer = nullptr;      // child
    bool m_stopping = false;
    bool m_stopped = false;
};
