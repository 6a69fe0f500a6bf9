#include "systems_handler.h"

#include "client.h"
#include "protocol.h"

#include <QDir>
#include <QFileInfo>

bool systems_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name == u"systems")
        m_type = attributes.value(QLatin1String("type")).toString();
    return true;
}

bool systems_handler::endElement(QStringView name)
{
    if (name != u"systems" || m_type != u"request")
        return true;
    QByteArray reply("<systems type=\"reply\">\r\n");
    for (const QString &system : systemNames(m_session->rootFolder()))
        reply += "\t<system name=\"" + protocol::escape(system).toUtf8() + "\" />\r\n";
    reply += "</systems>\r\n";
    send(reply);
    return true;
}

QStringList systems_handler::systemNames(const QString &root)
{
    QStringList names;
    const QFileInfoList folders = QDir(root).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &folder : folders) {
        if (QFileInfo(folder.filePath() + QStringLiteral("/config")).isDir())
            names << folder.fileName();
    }
    return names;
}
