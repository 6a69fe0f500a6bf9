#include "checkout_handler.h"

#include "client.h"
#include "keepyard_log.h"
#include "logLine.h"
#include "protocol.h"
#include "server_lock_list.h"
#include "xfer.h"

#include <QFileInfo>

checkout_handler::checkout_handler(client *session)
    : request_handler(session), m_content(session->limits().maxFileHexBytes)
{
}

bool checkout_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name == u"download") {
        m_type = attributes.value(QLatin1String("type")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
        m_lastElement = name.toString();
        send(QStringLiteral("<download uid=\"%1\" type=\"reply\" system=\"%2\" >\r\n").arg(m_uid, m_system));
    } else if (name == u"file") {
        m_name = attributes.value(QLatin1String("name")).toString();
        m_size = attributes.value(QLatin1String("size")).toString();
        m_date = attributes.value(QLatin1String("date")).toString();
        m_lastElement = name.toString();
        m_content.clear();
    }
    return true;
}

bool checkout_handler::characters(QStringView text)
{
    // Only delivered files carry content worth keeping.
    if (m_lastElement == u"file" && m_type == u"reply")
        m_content.append(text);
    return true;
}

bool checkout_handler::endElement(QStringView name)
{
    if (name == u"file") {
        if (m_type == u"request")
            sendFile();
        else if (m_type == u"reply")
            storeFile();
        m_content.clear();
    } else if (name == u"download") {
        qCDebug(lcKeepyard) << "-SERVER: sending </download>";
        send(QByteArray("</download>\r\n"));
        if (m_type == u"reply")
            send(QByteArray("<download type=\"done\" />\r\n"));
    }
    return true;
}

QString checkout_handler::systemFolder() const
{
    return protocol::wirePath(m_session->rootFolder() + QLatin1Char('/') + m_system);
}

void checkout_handler::sendFile()
{
    const QString name = protocol::wirePath(m_name);
    const QString serverPath = systemFolder() + QLatin1Char('/') + name;
    QByteArray hex;
    // A name that would leave the system folder is answered like a missing file, unread.
    const bool readable = client::isSystemName(m_system) && protocol::staysBelow(name) && QFileInfo(serverPath).isFile()
                          && !xfer::compressFile(serverPath, hex);
    if (!readable) {
        send(QStringLiteral("\t<file name=\"%1\" type=\"error\">\r\n\t\t<message>File \"%2\" cannot be found</message>\r\n"
                            "\t</file>\r\n")
                 .arg(name, serverPath));
        return;
    }
    const QFileInfo info(serverPath);
    send(QByteArray("\t<file "));
    send(QStringLiteral("type=\"reply\" name=\"%1\" size=\"%2\" compressedsize=\"%3\" date=\"%4\" >")
             .arg(protocol::escape(name), QString::number(info.size()), QString::number(hex.size() / 2),
                  protocol::isoDate(info.lastModified())));
    // The content goes out as it is; joining it to the lines would copy it once more.
    send(hex);
    send(QByteArray("</file>\r\n"));
    logLine(QStringLiteral("File '%1' sent to '%2' at '%3'").arg(serverPath, m_session->userName(), m_session->peerText()));
}

void checkout_handler::storeFile()
{
    qCDebug(lcKeepyard) << "got uploaded file";
    const QString name = protocol::wirePath(m_name);
    const QString serverPath = systemFolder() + QLatin1Char('/') + name;
    const auto storeFailed = [&](const QString &text) {
        send(QStringLiteral("\t<file type=\"error\" name=\"%1\" >\r\n\t\t<message>%2</message>\r\n\t</file>\r\n").arg(name, text));
    };
    if (!client::isSystemName(m_system) || !protocol::staysBelow(name) || name.isEmpty()) {
        storeFailed(QStringLiteral("The path leaves the system folder"));
        return;
    }

    QString lockedPath;
    QString holder;
    {
        server_lock_list locks(m_session->rootFolder(), m_system);
        if (!locks.holdsLock(name, m_session->ownerKey(), &lockedPath, &holder)) {
            send(QStringLiteral("\t<file type=\"error\">\r\n\t\t<message>File '%1' is checked out to '%2' </message>\r\n"
                                "</file>\r\n")
                     .arg(serverPath, holder));
            logLine(QStringLiteral("Error on file '%1' checking IN from '%2' at '%3' already checked out to '%4'")
                        .arg(serverPath, m_session->userName(), m_session->peerText(), holder));
            return;
        }
    }
    if (m_content.overflowed()) {
        storeFailed(QStringLiteral("File content exceeds the transfer limit"));
    } else {
        // The previous version is kept beside it; the new one replaces the
        // file only once it is completely written, so a failed delivery
        // leaves the file as it was.
        xfer::copyToBackup(serverPath);
        QString error;
        if (xfer::saveCompressedBytes(m_content.bytes(), m_size.toLongLong(), systemFolder(), name, &error))
            storeFailed(error);
        else
            send(QStringLiteral("\t<file type=\"reply\" name=\"%1\" />\r\n").arg(name));
    }
    logLine(QStringLiteral("File '%1' checked IN from '%2' at '%3'").arg(serverPath, m_session->userName(), m_session->peerText()));
}
