#include "dialogAnswerer.h"

#include "login.h"
#include "selectsystem.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

dialogAnswerer::dialogAnswerer()
{
    connect(&m_timer, &QTimer::timeout, this, &dialogAnswerer::tick);
    m_timer.start(5);
}

void dialogAnswerer::tick()
{
    QWidget *dialog = QApplication::activeModalWidget();
    if (!dialog || m_busy)
        return;
    m_busy = true; // an action may wait in a nested event loop
    const QByteArray name = dialog->metaObject()->className();
    if (m_steps.isEmpty() || m_steps.first().first != name) {
        unexpected << QString::fromLatin1(name);
        if (auto *d = qobject_cast<QDialog *>(dialog))
            d->reject();
    } else {
        m_steps.takeFirst().second(dialog);
    }
    m_busy = false;
}

dialogAnswerer::action chooseSystem(const QString &name, QString *offered)
{
    return [=](QWidget *w) {
        auto *dialog = static_cast<selectsystem *>(w);
        if (offered)
            *offered = dialog->chosenSystem();
        if (!name.isNull())
            dialog->list->setCurrentItem(dialog->list->findItems(name, Qt::MatchExactly).value(0));
        dialog->buttonOk->click();
    };
}

dialogAnswerer::action enterLogin(const QString &user, const QString &password, QStringList *offered)
{
    return [=](QWidget *w) {
        auto *dialog = static_cast<login *>(w);
        if (offered)
            *offered << dialog->editUser->text() + QLatin1Char('/') + dialog->editPassword->text();
        if (!user.isNull()) {
            dialog->editUser->setText(user);
            dialog->editPassword->setText(password);
        }
        dialog->buttonOk->click();
    };
}

dialogAnswerer::action cancel()
{
    return [](QWidget *w) { static_cast<QDialog *>(w)->reject(); };
}

dialogAnswerer::action pressOk(QString *text)
{
    return [=](QWidget *w) {
        auto *box = static_cast<QMessageBox *>(w);
        *text = box->text();
        box->button(QMessageBox::Ok)->click();
    };
}

dialogAnswerer::action pressButton(const QString &buttonText, QString *text)
{
    return [=](QWidget *w) {
        auto *box = static_cast<QMessageBox *>(w);
        if (text)
            *text = box->text();
        for (QAbstractButton *button : box->buttons()) {
            if (button->text().remove(QLatin1Char('&')) == QString(buttonText).remove(QLatin1Char('&'))) {
                button->click();
                return;
            }
        }
        box->reject();
    };
}
