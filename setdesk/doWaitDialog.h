#pragma once

#include "waitDlg.h"

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
    // Adds a line without opening or closing a wait.
    void note(const QString &text);

    // Waits open right now.
    int count() const { return m_count; }

private:
    int m_count = 0;
};
