#pragma once

#include "xml_handler.h"

#include <QString>

class server_comms;

namespace setdesk {

// Base of the handlers of the server's replies: one instance per reply
// element, made at its start tag and deleted after its end tag.
class reply_handler : public xml_handler
{
public:
    explicit reply_handler(server_comms *connection)
        : m_comms(connection)
    {
    }

protected:
    // Counts what the handler keeps of its reply; beyond the connection's
    // bound the connection ends and false is returned.
    bool keep(qint64 bytes);
    // Appends to a message text within its bound; false (connection ended)
    // beyond it.
    bool keepMessage(QString &message, QStringView more);

    server_comms *m_comms;

private:
    qint64 m_kept = 0;
};

} // namespace setdesk
