#include "doWaitDialog.h"

#include "setdesk_log.h"

#include <QScrollBar>

doWaitDialog::doWaitDialog(QWidget *parent)
    : waitDlg(parent)
{
    setObjectName(QStringLiteral("Wait Dialog"));
    m_noteTimer.setSingleShot(true);
    m_noteTimer.setInterval(noteInterval);
    connect(&m_noteTimer, &QTimer::timeout, this, &doWaitDialog::flushNotes);
}

void doWaitDialog::beginWait(const QString &text)
{
    ++m_count;
    flushNotes();
    progressLog->appendPlainText(text);
    show();
    qCDebug(lcSetdesk).noquote()
        << QStringLiteral("show - count is now %1 msg: %2").arg(QString::number(m_count), text);
}

void doWaitDialog::endWait(const QString &text)
{
    // More ends than begins (a reply nobody waited for) must not go below 0.
    if (m_count > 0)
        --m_count;
    flushNotes();
    progressLog->appendPlainText(text);
    if (m_count == 0) {
        hide();
        progressLog->clear();
    }
    qCDebug(lcSetdesk).noquote()
        << QStringLiteral("hide - count is now %1 msg: %2").arg(QString::number(m_count), text);
}

void doWaitDialog::note(const QString &text)
{
    m_pending.append(text);
    if (m_pending.size() > maxLogLines)
        m_pending.removeFirst();
    if (!m_noteTimer.isActive())
        m_noteTimer.start();
}

void doWaitDialog::flushNotes()
{
    m_noteTimer.stop();
    if (m_pending.isEmpty())
        return;
    progressLog->appendPlainText(m_pending.join(QLatin1Char('\n')));
    m_pending.clear();
    progressLog->verticalScrollBar()->setValue(progressLog->verticalScrollBar()->maximum());
}
