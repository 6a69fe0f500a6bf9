#include "broadcastEvent.h"

broadcastEvent::broadcastEvent(QByteArray text)
    : QEvent(eventType), m_text(std::move(text))
{
}
