#pragma once

#include "reply_handler.h"

#include <QStringList>

namespace setdesk {

// "systems": the user picks a system of the server, then logs in to it.
class system_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    QStringList m_systems;
};

} // namespace setdesk
