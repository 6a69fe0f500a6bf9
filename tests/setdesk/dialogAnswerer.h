#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <utility>

class QWidget;

// Answers the modal dialogs a test runs into, in the order expected; any
// other dialog is recorded and rejected so that no test hangs on it.
class dialogAnswerer : public QObject
{
public:
    using action = std::function<void(QWidget *)>;

    dialogAnswerer();
    void expect(const QByteArray &className, action act) { m_steps.append({className, std::move(act)}); }
    bool done() const { return m_steps.isEmpty(); }
    void clear()
    {
        m_steps.clear();
        unexpected.clear();
    }

    QStringList unexpected;

private:
    void tick();

    QTimer m_timer;
    QList<std::pair<QByteArray, action>> m_steps;
    bool m_busy = false;
};

// The answers to the connection's dialogs: the system choice (a null name
// keeps what is offered) and the login (a null user keeps what is offered).
dialogAnswerer::action chooseSystem(const QString &name, QString *offered = nullptr);
dialogAnswerer::action enterLogin(const QString &user, const QString &password, QStringList *offered = nullptr);
dialogAnswerer::action cancel();
// Presses OK on a message box, keeping its text.
dialogAnswerer::action pressOk(QString *text);
// Presses the button of a message box with this text, keeping the box's text.
dialogAnswerer::action pressButton(const QString &buttonText, QString *text = nullptr);
