#include "login_handler.h"

#include "client.h"
#include "keepyard_log.h"
#include "logLine.h"
#include "passwordFile.h"
#include "protocol.h"

bool login_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name != u"login")
        return true;
    m_id = attributes.value(QLatin1String("id")).toString();
    m_password = attributes.value(QLatin1String("password")).toString();
    m_system = attributes.value(QLatin1String("system")).toString();
    m_hasType = attributes.hasAttribute(QLatin1String("type"));
    m_type = attributes.value(QLatin1String("type")).toString();
    // The password itself never reaches any log.
    qCDebug(lcKeepyard).noquote() << QStringLiteral("user = %1, password = %2, system = %3, type = %4")
                                         .arg(m_id, QStringLiteral("********"), m_system, m_type);
    return true;
}

bool login_handler::endElement(QStringView)
{
    if (m_hasType && m_type != u"request")
        return true;

    // A system name that would leave the root is refused like a wrong password.
    bool accepted = false;
    if (client::isSystemName(m_system)) {
        const passwordFile passwords(m_session->rootFolder(), m_system);
        if (passwords.checkPassword(m_id, m_password)) {
            accepted = true;
            send(QStringLiteral("<login type=\"reply\" id=\"%1\" level=\"%2\" />\r\n")
                     .arg(protocol::escape(m_id), protocol::escape(passwords.userLevel(m_id))));
            m_session->setLoggedIn(true);
            logLine(QStringLiteral("User '%1' at '%2/%3' logged in")
                        .arg(m_id, m_session->peerText(), QString::number(m_session->peerPortNumber())));
            m_session->setUserName(m_id);
            emit m_session->userInfoChanged();
        }
    }
    if (!accepted) {
        logLine(QStringLiteral("password does not match"));
        m_session->setLoggedIn(false);
        send(QByteArray("<login type=\"error\">\r\n\t<message>Unknown username or password</message>\r\n</login>\r\n"
                        "<login type=\"request\" />\r\n"));
    }
    return true;
}
