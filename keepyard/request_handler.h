#pragma once

#include "xml_handler.h"

#include <QByteArray>
#include <QString>

class client;

// Base of the server's request handlers: one instance per request element,
// created at its start tag and deleted after its end tag. Every callback
// returns true, whatever the outcome of the request.
class request_handler : public xml_handler
{
public:
    explicit request_handler(client *session);

protected:
    // Writes reply text to the session's socket.
    void send(const QByteArray &text);
    void send(const QString &text);

    client *m_session;
};
