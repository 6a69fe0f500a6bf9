#include "doWaitDialog.h"

#include "setdesk_log.h"

#include <QScrollBar>

doWaitDialog::doWaitDialog(QWidget *parent)
    : waitDlg(parent)
{
    setObjectName(QStringLiteral("Wait Dialog"));
}

void doWaitDialog::beginWait(const QString &text)
{
    ++m_count;
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
    progressLog->appendPlainText(text);
    progressLog->verticalScrollBar()->setValue(progressLog->verticalScrollBar()->maximum());
}
