#pragma once

#include "reply_handler.h"

#include <QString>

namespace setdesk {

// "dir" replies: the listing as one text, "type:path/name," per item.
class dir_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    QString m_element;
    QString m_uid;
    QString m_system;
    QString m_filter;
    QString m_itemType;
    QString m_itemPath;
    QString m_itemText;
    QString m_listing;
};

} // namespace setdesk
