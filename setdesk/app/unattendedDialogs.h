#pragma once

#include <QObject>

// For unattended runs (SETDESK_UNATTENDED=1: tests, demonstrations): every
// modal dialog whose default button is enabled is accepted as soon as it
// shows, so that a start-up whose server, login and system are remembered
// goes through without a person. Boxes are answered with their default.
class unattendedDialogs : public QObject
{
public:
    explicit unattendedDialogs(QObject *parent = nullptr);

    static bool wanted();

protected:
    void timerEvent(QTimerEvent *event) override;
};
