#include "checkin_handler.h"

#include "doWaitDialog.h"
#include "download_list.h"
#include "server_comms.h"

namespace setdesk {

bool checkin_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    m_element = name.toString();
    if (name == u"upload") {
        m_type = attributes.value(QLatin1String("type")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
    } else if (name == u"file") {
        m_fileType = attributes.value(QLatin1String("type")).toString();
        m_fileName = attributes.value(QLatin1String("name")).toString();
    }
    return true;
}

bool checkin_handler::characters(QStringView text)
{
    if (m_element == u"message") {
        m_message.clear();
        keepMessage(m_message, text);
    }
    return true;
}

bool checkin_handler::endElement(QStringView name)
{
    m_element.clear();
    if (m_fileType == u"request")
        return true;
    if (name == u"file" && m_fileType == u"reply") {
        m_comms->waitDialog()->note(QStringLiteral("Uploaded: ") + m_fileName);
        m_comms->report(response::Done, QStringLiteral("upload"), m_fileName, QString(), m_uid);
        download_list(m_system).add(m_fileName, m_uid);
    } else if (name == u"file" && m_fileType == u"error") {
        m_comms->waitDialog()->note(QStringLiteral("Uploaded Fail: ") + m_fileName);
        m_comms->report(response::Failed, QStringLiteral("upload"), m_fileName, m_message, m_uid);
    } else if (name == u"upload") {
        m_comms->report(response::BatchEnd, QStringLiteral("upload"), QString(), QString(), m_uid);
        m_comms->waitDialog()->endWait(QStringLiteral("done upload"));
    }
    return true;
}

} // namespace setdesk
