#pragma once

#include "reply_handler.h"

#include <QStringList>

namespace setdesk {

// "locklist" at start-up: the server's locks of this editor and its own
// list are brought in line, and locks still held are reported.
class locklist_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    QString m_uid;
    QString m_system;
    QString m_name;
    QStringList m_names;
};

} // namespace setdesk
