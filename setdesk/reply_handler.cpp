#include "reply_handler.h"

#include "server_comms.h"

namespace setdesk {

bool reply_handler::keep(qint64 bytes)
{
    m_kept += bytes;
    if (m_kept <= server_comms::maxKeptBytes)
        return true;
    m_comms->failBound(QStringLiteral("reply above %1 bytes").arg(server_comms::maxKeptBytes));
    return false;
}

bool reply_handler::keepMessage(QString &message, QStringView more)
{
    if (message.size() + more.size() > server_comms::maxMessageBytes) {
        m_comms->failBound(QStringLiteral("message above %1 characters").arg(server_comms::maxMessageBytes));
        return false;
    }
    message += more;
    return true;
}

} // namespace setdesk
