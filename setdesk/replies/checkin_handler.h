#pragma once

#include "reply_handler.h"

#include <QString>

namespace setdesk {

// "upload" replies: the outcome of each check-in, then the end of the batch.
class checkin_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    QString m_element;
    QString m_type;
    QString m_system;
    QString m_uid;
    QString m_fileType;
    QString m_fileName;
    QString m_message;
};

} // namespace setdesk
