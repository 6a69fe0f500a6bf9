#include "system_handler.h"

#include "login.h"
#include "selectsystem.h"
#include "server_comms.h"

namespace setdesk {

bool system_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name == u"system" && keep(2 * attributes.value(QLatin1String("name")).size() + 32))
        m_systems << attributes.value(QLatin1String("name")).toString();
    return true;
}

bool system_handler::endElement(QStringView name)
{
    if (name != u"systems")
        return true;
    selectsystem choice;
    for (const QString &system : std::as_const(m_systems))
        choice.addSystem(system);
    if (choice.exec() != QDialog::Accepted) {
        m_comms->ui().quit();
        return true;
    }
    m_comms->setSystem(choice.chosenSystem());

    login credentials;
    if (credentials.exec() != QDialog::Accepted) {
        m_comms->ui().quit();
        return true;
    }
    m_comms->send(QStringLiteral("<login type=\"request\" id=\"%1\" password=\"%2\" system=\"%3\" />")
                      .arg(server_comms::escaped(credentials.userName()), server_comms::escaped(credentials.password()),
                           server_comms::escaped(m_comms->system()))
                      .toUtf8());
    return true;
}

} // namespace setdesk
