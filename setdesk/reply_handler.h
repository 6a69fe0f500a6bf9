#pragma once

#include "xml_handler.h"

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
    server_comms *m_comms;
};

} // namespace setdesk
