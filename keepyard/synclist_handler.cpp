#include "synclist_handler.h"

#include "client.h"
#include "keepyard_log.h"
#include "logLine.h"
#include "protocol.h"

bool synclist_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name == u"synclist") {
        m_type = attributes.value(QLatin1String("type")).toString();
        m_path = attributes.value(QLatin1String("path")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
    } else if (name == u"data") {
        if (m_session->isClosing())
            return true;
        const QStringView entryName = attributes.value(QLatin1String("name"));
        m_keptBytes += qint64(sizeof(file)) + 2 * entryName.size() + 64;
        if (m_keptBytes > m_session->limits().maxKeptBytes) {
            m_session->closeWithError(
                QStringLiteral("synchronisation list above %1 bytes").arg(m_session->limits().maxKeptBytes));
            return true;
        }
        bool ok = false;
        const qint64 size = attributes.value(QLatin1String("size")).toLongLong(&ok);
        m_clientList.append(file{entryName.toString(),
                                 protocol::parseIsoDate(attributes.value(QLatin1String("date"))), ok ? size : 0});
    }
    return true;
}

bool synclist_handler::endElement(QStringView name)
{
    if (name != u"synclist")
        return true;
    if (m_type == u"request")
        sendList();
    else if (m_type == u"reply")
        requestFiles();
    return true;
}

filelist synclist_handler::scanFolder() const
{
    filelist list;
    const bool inside = client::isSystemName(m_system)
                        && !protocol::wirePath(m_path).split(QLatin1Char('/')).contains(QStringLiteral(".."));
    // "\" separates folders on the wire as it does for the clients' systems.
    if (inside)
        list.scan(m_session->rootFolder() + QLatin1Char('/') + m_system + QLatin1Char('/') + protocol::wirePath(m_path));
    return list;
}

void synclist_handler::sendList()
{
    const filelist list = scanFolder();
    QByteArray reply = QStringLiteral("<synclist uid=\"%1\" type=\"reply\" system=\"%2\" path=\"%3\" >\r\n")
                           .arg(protocol::escape(m_uid), protocol::escape(m_system), protocol::escape(m_path))
                           .toUtf8();
    reply += list.toData();
    reply += "</synclist>\r\n";
    send(reply);
    logLine(QStringLiteral("Synclist for '%1' (%2 files) sent to '%3' at '%4'")
                .arg(m_system + QLatin1Char('/') + m_path, QString::number(list.entries.size()), m_session->userName(),
                     m_session->peerText()));
}

void synclist_handler::requestFiles()
{
    const filelist server = scanFolder();
    m_clientList.setValid();
    // The client's list is the master: "added" are files only it has.
    m_clientList.compare(server, true);
    const QString folder = m_system + QLatin1Char('/') + m_path;
    logLine(QStringLiteral("Synclist received for '%1' sent to '%2' at '%3'")
                .arg(folder, m_session->userName(), m_session->peerText()));

    // Nothing is asked for below a folder the server would not read.
    const bool inside = client::isSystemName(m_system)
                        && !protocol::wirePath(m_path).split(QLatin1Char('/')).contains(QStringLiteral(".."));
    QString reply = QStringLiteral("<download uid=\"%1\" type=\"request\" system=\"%2\" >\r\n")
                        .arg(protocol::escape(m_uid), protocol::escape(m_system));
    const QString prefix = m_path.isEmpty() ? QString() : m_path + QLatin1Char('/');
    const auto request = [&](const QList<file> &files, const QString &what) {
        for (const file &entry : files) {
            reply += QStringLiteral("\t<file name=\"%1\" />\r\n").arg(protocol::escape(prefix + entry.name));
            qCDebug(lcKeepyard).noquote() << what + entry.name;
            logLine(QStringLiteral("Requesting file '%1' sent to '%2' at '%3'")
                        .arg(folder + QLatin1Char('/') + entry.name, m_session->userName(), m_session->peerText()));
        }
    };
    if (inside) {
        request(m_clientList.added, QStringLiteral("additions: "));
        request(m_clientList.changed, QStringLiteral("changes: "));
        for (const file &entry : std::as_const(m_clientList.removed)) {
            qCDebug(lcKeepyard).noquote() << QStringLiteral("Deletions: ") + entry.name;
            logLine(QStringLiteral("Deleting local file '%1' sent to '%2' at '%3'")
                        .arg(folder + QLatin1Char('/') + entry.name, m_session->userName(), m_session->peerText()));
        }
    }
    qCDebug(lcKeepyard) << "-SERVER: sending </download>";
    reply += QStringLiteral("</download>\r\n");
    send(reply);
}
