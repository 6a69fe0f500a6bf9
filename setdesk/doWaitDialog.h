#pragma once

#include "waitDlg.h"

#include <QStringList>
#include <QTimer>

// The wait window shared by all reply handlers of a connection. Each
// beginWait() is matched by an endWait(); the window stays up while any wait
// is open and is hidden and cleared when the last one ends.
class doWaitDialog : public waitDlg
{
    Q_OBJECT

public:
    explicit doWaitDialog(QWidget *parent = nullptr);

    void beginWait(const QString &text);
    void endWait(const QString &text);
    // Adds a line without opening or closing a wait. A download notes every
    // file, thousands a second; the lines reach the log at most every
    // noteInterval ms (or at the next beginWait or endWait), since laying out
    // each line on its own would cost more than the transfer.
    void note(const QString &text);
    // Shows the noted lines that are not in the log yet, now.
    void flushNotes();

    static constexpr int noteInterval = 100;

    // Waits open right now.
    int count() const { return m_count; }

private:
    int m_count = 0;
    QStringList m_pending; // the last lines noted, at most maxLogLines
    QTimer m_noteTimer;
};
