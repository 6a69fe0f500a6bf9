#include "keepyardService.h"

#include "keepyard.h"
#include "logLine.h"
#include "serverSettings.h"
#include "udp_server.h"

#include <QTimer>

keepyardService::keepyardService(QObject *parent, const QString &root, const sessionLimits &limits)
    : QObject(parent)
    , m_root(root)
    , m_closeWaitMs(limits.closeWaitMs)
{
    const serverSettings settings = serverSettings::load(m_root);
    m_description = settings.description;
    m_port = settings.port;
    m_broadcastPort = settings.broadcastPort;
    m_server = new keepyard(this, m_port, m_root, limits);
    m_discovery = new udp_server(this, m_broadcastPort, m_port, m_description);
    connect(m_server, &keepyard::userListChanged, this, &keepyardService::checkStopped);
}

keepyardService::~keepyardService() = default;

void keepyardService::reloadSettings()
{
    const serverSettings settings = serverSettings::load(m_root);
    logLine(QStringLiteral("Settings re-read from '%1'").arg(serverSettings::filePath(m_root)));
    if (settings.description != m_description) {
        m_description = settings.description;
        m_discovery->setDescription(m_description);
        logLine(QStringLiteral("Description is now '%1'").arg(m_description));
        emit descriptionChanged(m_description);
    }
    if (settings.port != m_port || settings.broadcastPort != m_broadcastPort)
        logLine(QStringLiteral("Ports %1/%2 take effect at the next start; serving on %3/%4 until then")
                    .arg(settings.port)
                    .arg(settings.broadcastPort)
                    .arg(m_port)
                    .arg(m_broadcastPort));
}

void keepyardService::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    logLine(QStringLiteral("Stopping: ending %1 session(s)").arg(m_server->sessions().size()));
    // Each session gives up within its close wait; this is the backstop.
    m_stopTimer = new QTimer(this);
    m_stopTimer->setSingleShot(true);
    connect(m_stopTimer, &QTimer::timeout, this, [this] {
        logLine(QStringLiteral("Stopping: %1 session(s) did not close in time").arg(m_server->sessions().size()));
        m_stopped = true;
        emit stopped();
    });
    m_stopTimer->start(m_closeWaitMs + stopMarginMs);
    m_server->endAllSessions();
    checkStopped();
}

void keepyardService::checkStopped()
{
    if (!m_stopping || m_stopped || !m_server->sessions().isEmpty())
        return;
    m_stopTimer->stop();
    m_stopped = true;
    logLine(QStringLiteral("Stopped"));
    emit stopped();
}
