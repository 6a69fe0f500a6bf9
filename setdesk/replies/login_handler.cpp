#include "login_handler.h"

#include "login.h"
#include "server_comms.h"
#include "setdesk_log.h"

namespace setdesk {

bool login_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    m_element = name.toString();
    if (name == u"login") {
        m_type = attributes.value(QLatin1String("type")).toString();
        m_id = attributes.value(QLatin1String("id")).toString();
        m_level = attributes.value(QLatin1String("level")).toString();
        qCDebug(lcSetdesk).noquote() << QStringLiteral("returned user level is ") + m_level;
    }
    return true;
}

bool login_handler::characters(QStringView text)
{
    if (m_element == u"message")
        m_message = text.toString();
    return true;
}

bool login_handler::endElement(QStringView name)
{
    m_element.clear();
    if (m_type == u"request") {
        login credentials;
        if (credentials.exec() != QDialog::Accepted) {
            m_comms->ui().quit();
            return true;
        }
        m_comms->send(QStringLiteral("<login type=\"request\" id=\"%1\" password=\"%2\" system=\"%3\"/>")
                          .arg(server_comms::escaped(credentials.userName()),
                               server_comms::escaped(credentials.password()), server_comms::escaped(m_comms->system()))
                          .toUtf8());
    } else if (m_type == u"reply") {
        if (name == u"login")
            m_comms->loggedIn(m_id, m_level);
    } else if (m_type == u"error" && name == u"login") {
        m_comms->ui().critical(QStringLiteral("Error"), m_message);
    }
    return true;
}

} // namespace setdesk
