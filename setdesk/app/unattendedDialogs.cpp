#include "unattendedDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

unattendedDialogs::unattendedDialogs(QObject *parent)
    : QObject(parent)
{
    startTimer(100);
}

bool unattendedDialogs::wanted()
{
    return qEnvironmentVariableIntValue("SETDESK_UNATTENDED") == 1;
}

void unattendedDialogs::timerEvent(QTimerEvent *)
{
    auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible())
        return;
    if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
        if (QAbstractButton *button = box->defaultButton() ? box->defaultButton() : box->escapeButton())
            button->click();
        else
            box->accept();
        return;
    }
    for (QPushButton *button : dialog->findChildren<QPushButton *>()) {
        if (button->isDefault() && button->isEnabled()) {
            button->click();
            return;
        }
    }
}
