#include "colouringControl.h"

#include "CRuleKernel.h"

#include <QTimerEvent>

#include <algorithm>
#include <climits>

namespace {

const char *runName(int mode)
{
    return mode == 1 ? "Greening" : "Redding";
}

// Seconds from the settings file as a timer length; the product must not
// overflow, and a renewal needs at least a second or it would run in a loop.
int timerMs(int seconds, int leastMs)
{
    return int(std::clamp<qint64>(qint64(seconds) * 1000, leastMs, INT_MAX));
}

} // namespace

colouringControl::colouringControl(output out, QObject *parent)
    : QObject(parent), m_out(std::move(out))
{
}

colouringControl::~colouringControl()
{
    killTimers();
    // The evaluators' flag is process-wide: it must not outlive the run.
    if (m_mode != 0)
        CRuleKernel::SetGreeningRequired(false);
}

void colouringControl::load(const QString &alarmFolder)
{
    m_settings = loadColouringSettings(alarmFolder, m_out.debug);
    m_mode = m_settings.initialMode;
}

void colouringControl::startAutomaticRun()
{
    m_startedUp = true;
    if (m_mode == 0)
        return;
    stopTimer(m_runTimer);
    m_runTimer = startTimer(timerMs(m_settings.runLength, 0));
    m_out.debug(QStringLiteral("WardlineMainWindow::Start() - starting colouring timer"));
    CRuleKernel::SetGreeningRequired(true);
}

void colouringControl::toggleGreening()
{
    toggle(1);
}

void colouringControl::toggleRedding()
{
    toggle(2);
}

void colouringControl::toggle(int mode)
{
    const int previous = m_mode;
    if (previous != 0) {
        // The other run's button is disabled while a run is on; should it be
        // pressed all the same, stopping the wrong kind would leave the
        // modules coloured with nothing left to stop them.
        if (previous != mode)
            return;
        stop(mode);
        m_mode = 0;
    } else {
        start(mode);
        m_mode = mode;
        stopTimer(m_loopTimer);
        m_loopTimer = startTimer(timerMs(mode == 1 ? m_settings.greeningLoop : m_settings.reddingLoop, 1000));
    }
    emit modeChanged(previous, m_mode);
}

void colouringControl::startGreening()
{
    start(1);
}

void colouringControl::stopGreening()
{
    stop(1);
}

void colouringControl::startRedding()
{
    start(2);
}

void colouringControl::stopRedding()
{
    stop(2);
}

void colouringControl::start(int mode)
{
    m_out.debug(QStringLiteral("WardlineMainWindow::start%1() event").arg(QLatin1String(runName(mode))));
    CRuleKernel::SetGreeningRequired(true);
    m_out.colourInputs(mode, true);
}

void colouringControl::stop(int mode)
{
    const QString name = QLatin1String(runName(mode));
    m_out.debug(QStringLiteral("WardlineMainWindow::stop%1() event").arg(name));
    if (m_runTimer) {
        m_out.debug(QStringLiteral("stop%1() - killing the initial %2 timer").arg(name, name.toLower()));
        stopTimer(m_runTimer);
    }
    if (m_loopTimer) {
        m_out.debug(QStringLiteral("stop%1() - killing the %2 loop timer").arg(name, name.toLower()));
        stopTimer(m_loopTimer);
    }
    m_out.colourInputs(mode, false);
    CRuleKernel::SetGreeningRequired(false);
}

void colouringControl::killTimers()
{
    stopTimer(m_runTimer);
    stopTimer(m_loopTimer);
}

void colouringControl::stopTimer(int &timer)
{
    if (timer)
        killTimer(timer);
    timer = 0;
}

void colouringControl::timerEvent(QTimerEvent *event)
{
    const int id = event->timerId();
    if (id == m_runTimer) {
        m_out.debug(QStringLiteral("WardlineMainWindow::timerEvent - Colouring Timer %1 timed out. Mode %2.")
                        .arg(id)
                        .arg(m_mode));
        stopTimer(m_runTimer);
        // The end of the automatic run is the press of its "Stop" button.
        if (m_mode == 1 || m_mode == 2)
            toggle(m_mode);
    } else if (id == m_loopTimer) {
        m_out.debug(QStringLiteral("WardlineMainWindow::timerEvent - starting the next loop of Colouring Loop Timer "
                                   "%1. Mode %2.")
                        .arg(id)
                        .arg(m_mode));
        if (m_mode == 1 || m_mode == 2)
            start(m_mode);
    } else {
        QObject::timerEvent(event);
    }
}
