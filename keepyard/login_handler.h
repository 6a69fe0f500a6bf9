#pragma once

#include "request_handler.h"

// "login": checks user and password against the system's password file and
// answers with the user's level, or refuses and asks for a login again.
class login_handler : public request_handler
{
public:
    using request_handler::request_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    QString m_id;
    QString m_password;
    QString m_system;
    QString m_type;
    bool m_hasType = false;
};
