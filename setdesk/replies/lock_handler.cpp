#include "lock_handler.h"

#include "lock_list.h"
#include "server_comms.h"
#include "setdesk_log.h"

namespace setdesk {

bool lock_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    m_element = name.toString();
    if (name == u"lock" || name == u"unlock") {
        m_reply = name.toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
    } else if (name == u"file" || name == u"dir") {
        m_type = attributes.value(QLatin1String("type")).toString();
        m_name = attributes.value(QLatin1String("name")).toString();
        m_message.clear();
    }
    return true;
}

bool lock_handler::characters(QStringView text)
{
    if (m_element == u"message") {
        m_message.clear();
        keepMessage(m_message, text);
    }
    return true;
}

bool lock_handler::endElement(QStringView name)
{
    m_element.clear();
    if (name != u"file" && name != u"dir")
        return true;
    if (m_type == u"reply") {
        {
            lock_list locks(m_comms->system());
            if (m_reply == u"lock") {
                qCDebug(lcSetdesk).noquote() << QStringLiteral("adding %1 to lock list for %2").arg(m_name, m_comms->system());
                locks.add(m_uid, m_name);
            } else {
                locks.removePath(m_name);
            }
        }
        const QString operation = name == u"dir" ? m_reply + QStringLiteral("Dir") : m_reply;
        m_comms->report(response::Done, operation, m_name, QString(), m_uid);
    } else if (m_type == u"error") {
        // A refused unlock still frees the path here: the server does not hold it for us.
        if (m_reply == u"unlock")
            lock_list(m_comms->system()).removePath(m_name);
        m_comms->report(response::Failed, m_reply, m_name, m_message, m_uid);
    }
    return true;
}

} // namespace setdesk
