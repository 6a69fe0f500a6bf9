#pragma once

#include "colouringSettings.h"

#include <QObject>

#include <functional>

// Greening (mode 1) and redding (mode 2): drives every input module to its
// good or its alarm condition for a while and tells the evaluators so. Runs
// start automatically at start-up (ended by the run timer) or by the
// operator (renewed by the loop timer until stopped). No window needed; the
// window's buttons follow modeChanged.
class colouringControl : public QObject
{
    Q_OBJECT

public:
    struct output
    {
        // The engine's debug output.
        std::function<void(const QString &)> debug;
        // setColouring(mode, on) on every input module, holding the input
        // lock and then the acquisition-store lock.
        std::function<void(int mode, bool on)> colourInputs;
    };

    explicit colouringControl(output out, QObject *parent = nullptr);
    // Kills the timers; a run still on is ended for the evaluators.
    ~colouringControl() override;

    // Reads "greening.ini"; the mode becomes the initial mode, so that the
    // input modules start coloured when they are initialised after this.
    void load(const QString &alarmFolder);
    // After the engine's timers are started: the automatic run, if any.
    void startAutomaticRun();
    // True once startAutomaticRun has been reached.
    bool startedUp() const { return m_startedUp; }

    const colouringSettings &settings() const { return m_settings; }
    bool enabled() const { return m_settings.enabled; }
    // 0 none, 1 greening, 2 redding.
    int mode() const { return m_mode; }
    bool runTimerActive() const { return m_runTimer != 0; }
    bool loopTimerActive() const { return m_loopTimer != 0; }

    // The two buttons: stop the run that is on, or start an operator's run.
    void toggleGreening();
    void toggleRedding();

    void startGreening();
    void stopGreening();
    void startRedding();
    void stopRedding();

    // Stops both timers without touching the modules (the engine's
    // destructor, while the modules go away).
    void killTimers();

signals:
    // After a toggle, from the buttons or from the end of an automatic run.
    void modeChanged(int previous, int mode);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void toggle(int mode);
    void start(int mode);
    void stop(int mode);
    void stopTimer(int &timer);

    output m_out;
    colouringSettings m_settings;
    int m_mode = 0;
    int m_runTimer = 0;
    int m_loopTimer = 0;
    bool m_startedUp = false;
};
