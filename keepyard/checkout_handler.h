#pragma once

#include "hexBuffer.h"
#include "request_handler.h"

// "download": with type "request" sends each requested file compressed; with
// type "reply" stores the files the client delivers after a synchronisation
// list, where the client holds their locks.
class checkout_handler : public request_handler
{
public:
    explicit checkout_handler(client *session);

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    void storeFile();
    QString systemFolder() const;

    QString m_type;
    QString m_system;
    QString m_uid;
    QString m_name;
    QString m_size;
    QString m_date;
    QString m_lastElement;
    hexBuffer m_content;
};
