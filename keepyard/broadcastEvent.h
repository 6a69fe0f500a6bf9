#pragma once

#include <QByteArray>
#include <QEvent>

// A complete message for every session, posted to the server object so that it
// goes out after the reply of the request that caused it.
class broadcastEvent : public QEvent
{
public:
    static constexpr QEvent::Type eventType = QEvent::Type(QEvent::User); // 1000

    explicit broadcastEvent(QByteArray text);

    const QByteArray &text() const { return m_text; }

private:
    QByteArray m_text;
};
