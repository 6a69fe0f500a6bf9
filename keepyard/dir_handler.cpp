#include "dir_handler.h"

#include "client.h"
#include "protocol.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

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
    QSet<QString> visited;
    if (!listFolder(m_session->rootFolder() + QLatin1Char('/') + m_system, m_path, items, visited)) {
        send(cannotList);
        return true;
    }
    send("<dir type=\"reply\" uid=\"" + m_uid.toUtf8() + "\" system=\"" + m_system.toUtf8() + "\" filter=\""
         + m_filter.toUtf8() + "\">\r\n" + items + "</dir>\r\n");
    return true;
}

bool dir_handler::listFolder(const QString &systemFolder, const QString &path, QByteArray &out,
                             QSet<QString> &visited) const
{
    const QString folder = systemFolder + QLatin1Char('/') + protocol::wirePath(path);
    QDir dir(folder);
    if (!dir.exists() || !dir.isReadable())
        return false;
    visited.insert(dir.canonicalPath());
    if (!m_filter.isEmpty())
        dir.setNameFilters(QDir::nameFiltersFromString(m_filter));
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                                                    QDir::Name | QDir::IgnoreCase);
    const QByteArray escapedPath = protocol::escape(path).toUtf8();
    for (const QFileInfo &entry : entries) {
        out += "\t<item type=\"";
        out += entry.isDir() ? "dir" : "file";
        out += "\" time=\"" + protocol::isoDate(entry.lastModified()).toLatin1() + "\" path=\"" + escapedPath + "\" >"
               + protocol::escape(entry.fileName()).toUtf8() + "</item>\r\n";
        // A folder's items follow its own line; a folder reached again through links is not listed twice.
        if (entry.isDir() && m_recursive && !visited.contains(entry.canonicalFilePath()))
            listFolder(systemFolder, path + QLatin1Char('/') + entry.fileName(), out, visited);
    }
    return true;
}
