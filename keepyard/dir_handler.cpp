#include "dir_handler.h"

#include "client.h"
#include "listingCache.h"
#include "protocol.h"

bool dir_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name != u"dir")
        return true;
    m_type = attributes.value(QLatin1String("type")).toString();
    m_system = attributes.value(QLatin1String("system")).toString();
    m_path = attributes.value(QLatin1String("path")).toString();
    m_filter = attributes.value(QLatin1String("filter")).toString();
    m_uid = attributes.value(QLatin1String("uid")).toString();
    m_recursive = attributes.value(QLatin1String("recursive")) == u"true";
    return true;
}

bool dir_handler::endElement(QStringView)
{
    if (m_type != u"request")
        return true;
    const QByteArray cannotList("<dir></dir>\r\n");
    // Only a direct child of the root is a system, and no path may climb out of it.
    const QString path = protocol::wirePath(m_path);
    if (!client::isSystemName(m_system) || path.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
        send(cannotList);
        return true;
    }
    QByteArray items;
    if (!m_session->listings().items(m_session->rootFolder() + QLatin1Char('/') + m_system, m_path, m_filter,
                                     m_recursive, items)) {
        send(cannotList);
        return true;
    }
    send("<dir type=\"reply\" uid=\"" + protocol::escape(m_uid).toUtf8() + "\" system=\""
         + protocol::escape(m_system).toUtf8() + "\" filter=\"" + protocol::escape(m_filter).toUtf8() + "\">\r\n" + items
         + "</dir>\r\n");
    return true;
}
