#include "notice_handler.h"

#include "server_comms.h"

namespace setdesk {

bool notice_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name != u"update")
        return true;
    const QString type = attributes.value(QLatin1String("type")).toString();
    const QString system = attributes.value(QLatin1String("system")).toString();
    const QString file = attributes.value(QLatin1String("name")).toString();
    const QString undoName = attributes.value(QLatin1String("undoname")).toString();
    if (system != m_comms->system() || file.isEmpty() || (type != u"update" && type != u"delete"))
        return true;
    emit m_comms->notice(type, file, undoName);
    return true;
}

bool notice_handler::endElement(QStringView)
{
    return true;
}

} // namespace setdesk
