#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into Qt signals on the thread that made
// the object. The handler only writes the signal's number to a socket pair;
// the event loop reads it and emits, so the receivers may do anything. One
// object at a time; the destructor restores the default handling.
class unixSignals : public QObject
{
    Q_OBJECT

public:
    // SIGHUP is caught only with `catchHangUp`: elsewhere it ends the
    // program as it always did.
    explicit unixSignals(QObject *parent = nullptr, bool catchHangUp = false);
    ~unixSignals() override;

    // False when the socket pair could not be made (nothing is caught).
    bool isActive() const { return m_notifier != nullptr; }

    static QString name(int signalNumber);

signals:
    // SIGTERM or SIGINT: end in order. A second one comes through as well.
    void quitRequested(int signalNumber);
    void hangUp();

private:
    void takeSignal();

    QSocketNotifier *m_notifier = nullptr;
    bool m_hangUp = false;
};
