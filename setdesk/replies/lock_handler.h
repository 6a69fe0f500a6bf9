#pragma once

#include "reply_handler.h"

#include <QString>

namespace setdesk {

// "lock" and "unlock" replies: the lock list follows what the server granted
// or released, and the plugin hears of each path.
class lock_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    QString m_element;
    QString m_reply;
    QString m_uid;
    QString m_system;
    QString m_type;
    QString m_name;
    QString m_message;
};

} // namespace setdesk
