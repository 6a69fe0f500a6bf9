#include "dir_handler.h"

#include "server_comms.h"

namespace setdesk {

bool dir_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    m_element = name.toString();
    if (name == u"dir") {
        m_uid = attributes.value(QLatin1String("uid")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        m_filter = attributes.value(QLatin1String("filter")).toString();
        m_listing.clear();
    } else if (name == u"item") {
        m_itemType = attributes.value(QLatin1String("type")).toString();
        m_itemPath = attributes.value(QLatin1String("path")).toString();
        m_itemText.clear();
    }
    return true;
}

bool dir_handler::characters(QStringView text)
{
    if (m_element == u"item")
        m_itemText = text.toString();
    return true;
}

bool dir_handler::endElement(QStringView name)
{
    m_element.clear();
    if (name == u"item") {
        const QString item = m_itemType + QLatin1Char(':') + m_itemPath + QLatin1Char('/') + m_itemText + QLatin1Char(',');
        if (keep(2 * item.size()))
            m_listing += item;
    }
    else if (name == u"dir")
        m_comms->report(response::Done, QStringLiteral("dir"), m_listing, QString(), m_uid);
    return true;
}

} // namespace setdesk
