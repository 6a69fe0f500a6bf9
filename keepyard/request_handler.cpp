#include "request_handler.h"

#include "client.h"

request_handler::request_handler(client *session)
    : m_session(session)
{
}

void request_handler::send(const QByteArray &text)
{
    m_session->send(text);
}

void request_handler::send(const QString &text)
{
    m_session->send(text.toUtf8());
}
