#include "checkin_handler.h"

#include "client.h"
#include "compressedFileCache.h"
#include "fileBackup.h"
#include "keepyard_log.h"
#include "logLine.h"
#include "protocol.h"
#include "server_lock_list.h"
#include "xfer.h"

#include <QFile>
#include <QFileInfo>

checkin_handler::checkin_handler(client *session)
    : request_handler(session), m_content(session->limits().maxFileHexBytes)
{
}

bool checkin_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    if (name == u"upload") {
        m_type = attributes.value(QLatin1String("type")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
        m_lastChild = name.toString();
        send(QStringLiteral("<upload uid=\"%1\" type=\"reply\" system=\"%2\">\r\n")
                 .arg(protocol::escape(m_uid), protocol::escape(m_system)));
    } else if (name == u"file") {
        m_name = attributes.value(QLatin1String("name")).toString();
        m_size = attributes.value(QLatin1String("size")).toString();
        m_date = attributes.value(QLatin1String("date")).toString();
        m_lastChild = name.toString();
        m_content.clear();
    } else if (name == u"delete") {
        m_name = attributes.value(QLatin1String("name")).toString();
        m_size.clear();
        m_date.clear();
        m_lastChild = name.toString();
        m_content.clear();
    }
    return true;
}

bool checkin_handler::characters(QStringView text)
{
    if (m_lastChild == u"file")
        m_content.append(text);
    return true;
}

bool checkin_handler::endElement(QStringView name)
{
    if (name == u"file") {
        checkIn();
        m_lastChild.clear();
        m_content.clear();
    } else if (name == u"delete") {
        deleteFile();
        m_lastChild.clear();
    } else if (name == u"upload") {
        send(QByteArray("</upload>\r\n"));
    }
    return true;
}

QString checkin_handler::systemFolder() const
{
    return protocol::wirePath(m_session->rootFolder() + QLatin1Char('/') + m_system);
}

QString checkin_handler::serverPath(const QString &name) const
{
    return systemFolder() + QLatin1Char('/') + name;
}

bool checkin_handler::refusedByLock(const QString &name, const QString &element, const QString &action)
{
    QString lockedPath;
    QString holder;
    server_lock_list locks(m_session->rootFolder(), m_system);
    if (locks.holdsLock(name, m_session->ownerKey(), &lockedPath, &holder))
        return false;
    send(QStringLiteral("\t<%1 type=\"error\"%2>\r\n\t\t<message>File '%3' is checked out to '%4' </message>\r\n</%1>\r\n")
             .arg(element, element == u"file" ? QStringLiteral(" name=\"%1\"").arg(protocol::escape(name)) : QString(),
                  protocol::escape(serverPath(name)), protocol::escape(holder)));
    logLine(QStringLiteral("Error on file '%1' %2 from '%3' at '%4' already checked out to '%5'")
                .arg(serverPath(name), action, m_session->userName(), m_session->peerText(), holder));
    return true;
}

void checkin_handler::checkIn()
{
    qCDebug(lcKeepyard) << "got uploaded file";
    const QString name = protocol::wirePath(m_name);
    const auto storeFailed = [&](const QString &text) {
        send(QStringLiteral("\t<file type=\"error\" name=\"%1\" >\r\n\t\t<message>%2</message>\r\n\t</file>\r\n")
                 .arg(protocol::escape(name), protocol::escape(text)));
        // The "checked IN" line follows in any case; this one says it failed.
        logLine(QStringLiteral("File '%1' from '%2' at '%3' was not stored: %4")
                    .arg(name, m_session->userName(), m_session->peerText(), text));
    };
    // Paths that would leave the system folder never reach the file system.
    // An empty name is answered by the lock check: nobody holds it.
    if (!client::isSystemName(m_system) || !protocol::staysBelow(name)) {
        storeFailed(QStringLiteral("The path leaves the system folder"));
        return;
    }
    if (refusedByLock(name, QStringLiteral("file"), QStringLiteral("checking IN")))
        return;
    if (m_content.overflowed()) {
        storeFailed(QStringLiteral("File content exceeds the transfer limit"));
        logLine(QStringLiteral("File '%1' checked IN from '%2' at '%3'").arg(name, m_session->userName(), m_session->peerText()));
        return;
    }

    if (m_content.isEmpty()) {
        // The client no longer has the file: its last version goes to the backups.
        m_session->fileChanging(serverPath(name));
        fileBackup(m_session->rootFolder(), m_system, name, m_session->ownerKey(), fileBackup::Move);
        logLine(QStringLiteral("File '%1' checked IN (deleted) from '%2' at '%3'")
                    .arg(name, m_session->userName(), m_session->peerText()));
        return;
    }

    // The current version is kept in the backups; it stays in place until
    // the new one has been written completely.
    const fileBackup backup(m_session->rootFolder(), m_system, name, m_session->ownerKey(), fileBackup::Copy);
    m_session->fileChanging(serverPath(name));
    QString error;
    if (xfer::saveCompressedBytes(m_content.bytes(), m_size.toLongLong(), systemFolder(), name, &error)) {
        storeFailed(error);
    } else {
        send(QStringLiteral("\t<file type=\"reply\" name=\"%1\" />\r\n").arg(protocol::escape(name)));
        xfer::setFileDate(serverPath(name), protocol::parseIsoDate(m_date));
        m_session->postBroadcast(QStringLiteral("<update type=\"update\" system=\"%1\" name=\"%2\" undoname=\"%3\"/>\r\n")
                                     .arg(protocol::escape(m_system), protocol::escape(name),
                                          protocol::escape(backup.copyName()))
                                     .toUtf8());
    }
    logLine(QStringLiteral("File '%1' checked IN from '%2' at '%3'").arg(name, m_session->userName(), m_session->peerText()));
}

void checkin_handler::deleteFile()
{
    qCDebug(lcKeepyard) << "delete file";
    const QString name = protocol::wirePath(m_name);
    const auto cannotDelete = [&] {
        send(QStringLiteral("\t<delete type=\"error\" name=\"%1\" >\r\n\t\t<message>File cannot be deleted (does not exist, or "
                            "is in use)</message>\r\n\t</delete>\r\n")
                 .arg(protocol::escape(name)));
    };
    if (!client::isSystemName(m_system) || !protocol::staysBelow(name)) {
        cannotDelete();
        return;
    }
    if (refusedByLock(name, QStringLiteral("delete"), QStringLiteral("deleting file")))
        return;
    const QString path = serverPath(name);
    m_session->fileChanging(path);
    if (QFileInfo(path).isFile() && QFile::remove(path)) {
        send(QStringLiteral("\t<delete type=\"reply\" name=\"%1\" />\r\n").arg(protocol::escape(name)));
        m_session->postBroadcast(QStringLiteral("<update type=\"delete\" system=\"%1\" name=\"%2\" />\r\n")
                                     .arg(protocol::escape(m_system), protocol::escape(name))
                                     .toUtf8());
    } else {
        cannotDelete();
    }
    logLine(QStringLiteral("File '%1' deleted from '%2' at '%3'").arg(path, m_session->userName(), m_session->peerText()));
}
