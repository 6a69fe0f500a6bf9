#include "locklist_handler.h"

#include "client.h"
#include "logLine.h"
#include "protocol.h"
#include "server_lock_list.h"

bool locklist_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name == u"locklist") {
        m_system = attributes.value(QLatin1String("system")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
    }
    return true;
}

bool locklist_handler::endElement(QStringView name)
{
    if (name != u"locklist")
        return true;
    QStringList keys;
    if (client::isSystemName(m_system))
        keys = server_lock_list(m_session->rootFolder(), m_system).locksOf(m_session->ownerKey());
    logLine(QStringLiteral("Sending locklist to '%1' at '%2'").arg(m_session->userName(), m_session->peerText()));
    QString reply = QStringLiteral("\t<locklist type=\"reply\" uid=\"%1\" system=\"%2\" >\r\n").arg(protocol::escape(m_uid), protocol::escape(m_system));
    for (const QString &key : keys)
        reply += QStringLiteral("\t\t<lock name=\"%1\" />\r\n").arg(protocol::escape(key));
    reply += QStringLiteral("\t</locklist>\r\n");
    send(reply);
    return true;
}
