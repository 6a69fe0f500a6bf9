#pragma once

#include "reply_handler.h"

namespace setdesk {

// The server's "update" notices, sent to every editor after a file of a
// system was stored or deleted: passed on for the connection's own system.
class notice_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView) override { return true; }
};

} // namespace setdesk
