#pragma once

#include "reply_handler.h"

#include <QString>

namespace setdesk {

// "login": the server asks for a login (again), accepts one, or refuses it.
class login_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    QString m_element;
    QString m_type;
    QString m_id;
    QString m_level;
    QString m_message;
};

} // namespace setdesk
