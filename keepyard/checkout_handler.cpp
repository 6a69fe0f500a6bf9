#include "checkout_handler.h"

#include "client.h"
#include "compressedFileCache.h"
#include "keepyard_log.h"
#include "logLine.h"
#include "protocol.h"
#include "requestedFile.h"
#include "server_lock_list.h"
#include "xfer.h"


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
        send(QStringLiteral("<download uid=\"%1\" type=\"reply\" system=\"%2\" >\r\n")
                 .arg(protocol::escape(m_uid), protocol::escape(m_system)));
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
        if (m_type == u"request") {
            m_session->sendFile(requestedFile(systemFolder(), client::isSystemName(m_system), m_name));
        } else if (m_type == u"reply") {
            storeFile();
        }
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

void checkout_handler::storeFile()
{
    qCDebug(lcKeepyard) << "got uploaded file";
    const QString name = protocol::wirePath(m_name);
    const QString serverPath = systemFolder() + QLatin1Char('/') + name;
    const auto storeFailed = [&](const QString &text) {
        send(QStringLiteral("\t<file type=\"error\" name=\"%1\" >\r\n\t\t<message>%2</message>\r\n\t</file>\r\n")
                 .arg(protocol::escape(name), protocol::escape(text)));
        // The "checked IN" line follows in any case; this one says it failed.
        logLine(QStringLiteral("File '%1' from '%2' at '%3' was not stored: %4")
                    .arg(name, m_session->userName(), m_session->peerText(), text));
    };
    // An empty name is answered by the lock check: nobody holds it.
    if (!client::isSystemName(m_system) || !protocol::staysBelow(name)) {
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
                     .arg(protocol::escape(serverPath), protocol::escape(holder)));
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
        m_session->fileChanging(serverPath);
        QString error;
        if (xfer::saveCompressedBytes(m_content.bytes(), m_size.toLongLong(), systemFolder(), name, &error))
            storeFailed(error);
        else
            send(QStringLiteral("\t<file type=\"reply\" name=\"%1\" />\r\n").arg(protocol::escape(name)));
    }
    logLine(QStringLiteral("File '%1' checked IN from '%2' at '%3'").arg(serverPath, m_session->userName(), m_session->peerText()));
}
