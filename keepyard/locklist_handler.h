#pragma once

#include "request_handler.h"

// "locklist": the paths of the system locked by the session's owner key.
class locklist_handler : public request_handler
{
public:
    using request_handler::request_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    QString m_system;
    QString m_uid;
};
