#include "synclist_handler.h"

#include "doWaitDialog.h"
#include "download_list.h"
#include "lock_list.h"
#include "protocol.h"
#include "server_comms.h"
#include "setdesk_log.h"
#include "xfer.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace setdesk {

bool synclist_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    m_server.setValid();
    if (name == u"synclist") {
        m_type = attributes.value(QLatin1String("type")).toString();
        m_path = attributes.value(QLatin1String("path")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
    } else if (name == u"data") {
        const QStringView entryName = attributes.value(QLatin1String("name"));
        if (!keep(qint64(sizeof(file)) + 2 * entryName.size() + 64))
            return true;
        m_server.append(file{entryName.toString(),
                             protocol::parseIsoDate(attributes.value(QLatin1String("date"))),
                             attributes.value(QLatin1String("size")).toLongLong()});
    }
    return true;
}

bool synclist_handler::endElement(QStringView name)
{
    if (name != u"synclist" || m_type != u"reply")
        return true;
    // Mode and plugin uid are the first two parts of the uid split at ":".
    const QString mode = m_uid.section(QLatin1Char(':'), 0, 0);
    const QString pluginUid = m_uid.section(QLatin1Char(':'), 1, 1);
    if (mode == u"download")
        download(pluginUid);
    else if (mode == u"upload")
        upload(pluginUid);
    else if (mode == u"dir")
        listing(pluginUid);
    else
        qCDebug(lcSetdesk) << "splitUID[ 0 ] = ????";
    return true;
}

QString synclist_handler::entryPath(const QString &name) const
{
    return m_path.isEmpty() ? name : m_path + QLatin1Char('/') + name;
}

filelist synclist_handler::scanLocal(const QString &folder) const
{
    filelist local;
    if (!folder.isEmpty())
        local.scan(folder);
    if (!local.isValid())
        qCDebug(lcSetdesk).noquote() << QStringLiteral("slave data isn't valid for ") + folder;
    if (!m_server.isValid())
        qCDebug(lcSetdesk) << "files data isn't valid ";
    return local;
}

void synclist_handler::download(const QString &pluginUid)
{
    // A folder outside the local copy of the system is neither read nor written.
    const QString folder = m_comms->localPath(m_system, m_path);
    filelist local = scanLocal(folder);
    m_server.compare(local, false);
    m_comms->waitDialog()->beginWait(QStringLiteral("Downloading files.....(%1)").arg(pluginUid));

    QByteArray request = QStringLiteral("<download uid=\"%1\" type=\"request\" system=\"%2\" >")
                             .arg(server_comms::escaped(m_path + QLatin1Char(':') + pluginUid),
                                  server_comms::escaped(m_system))
                             .toUtf8();
    const auto fetch = [&](const file &entry) {
        request += "\t<file name=\"" + server_comms::escaped(entryPath(entry.name)).toUtf8() + "\" />";
        m_comms->waitDialog()->note(QStringLiteral("Downloading %1/%2").arg(m_path, entry.name));
    };
    // Folders have no date: they are made by the files inside them, and the
    // server would answer a request for one with an error.
    for (const file &entry : std::as_const(m_server.added)) {
        if (!folder.isEmpty() && !entry.modified.isNull())
            fetch(entry);
    }
    for (const file &entry : std::as_const(m_server.changed)) {
        if (!folder.isEmpty() && !entry.modified.isNull())
            fetch(entry);
        qCDebug(lcSetdesk).noquote() << QStringLiteral("ConfigClient: changes: ") + entry.name;
    }
    // Files only the local copy has go; the list names them in lower case,
    // so the file is found again by its own name.
    QHash<QString, QString> localNames;
    for (const file &entry : std::as_const(local.entries))
        localNames.insert(entry.name.toLower(), entry.name);
    for (const file &entry : std::as_const(m_server.removed)) {
        const QString path = m_comms->localPath(m_system, entryPath(localNames.value(entry.name, entry.name)));
        if (!path.isEmpty() && QFileInfo(path).isFile())
            QFile::remove(path);
        qCDebug(lcSetdesk).noquote() << QStringLiteral("ConfigClient: Deletions: ") + path;
    }
    request += "</download>\r\n";
    m_comms->send(request);

    download_list downloads(m_system);
    lock_list locks(m_system);
    for (const file &entry : std::as_const(m_server.unchanged)) {
        const QString p = m_path + QLatin1Char('/') + entry.name;
        m_comms->report(locks.isLockedBy(pluginUid, p) ? response::Done : response::DoneReadOnly,
                        QStringLiteral("download"), p, QString(), pluginUid);
        downloads.add(p, pluginUid);
    }
}

void synclist_handler::upload(const QString &pluginUid)
{
    const QString folder = m_comms->localPath(m_system, m_path);
    filelist local = scanLocal(folder);
    local.compare(m_server, false);
    m_comms->waitDialog()->beginWait(QStringLiteral("Uploading files....."));

    QByteArray request = QStringLiteral("<upload type=\"request\" uid=\"%1\" system=\"%2\" >\r\n")
                             .arg(server_comms::escaped(pluginUid), server_comms::escaped(m_system))
                             .toUtf8();
    QList<std::pair<QString, QString>> unreadable; // name, reason
    const auto send = [&](const file &entry) {
        if (entry.modified.isNull())
            return; // folders
        const QString name = entryPath(entry.name);
        QString reason;
        const QByteArray element = server_comms::uploadElement(name, m_comms->localPath(m_system, name), &reason);
        // A file that cannot be read is not sent: empty content would
        // retire the server's copy. The rest of the batch goes on.
        if (element.isEmpty())
            unreadable.append({name, reason});
        request += element;
    };
    for (const file &entry : std::as_const(local.added))
        send(entry);
    for (const file &entry : std::as_const(local.changed))
        send(entry);
    // Without a local copy to compare with, nothing is deleted on the server.
    if (local.isValid()) {
        // The comparison names them in lower case; the server is told its
        // own spelling.
        QHash<QString, QString> serverNames;
        for (const file &entry : std::as_const(m_server.entries))
            serverNames.insert(entry.name.toLower(), entry.name);
        for (const file &entry : std::as_const(local.removed)) {
            if (!entry.modified.isNull())
                request += "<delete name=\""
                           + server_comms::escaped(entryPath(serverNames.value(entry.name, entry.name))).toUtf8()
                           + "\" />\r\n";
        }
    }
    request += "</upload>\r\n";

    {
        for (const auto &[name, reason] : std::as_const(unreadable))
            m_comms->report(response::Failed, QStringLiteral("upload"), name, reason, pluginUid);
        lock_list locks(m_system);
        for (const file &entry : std::as_const(local.unchanged)) {
            const QString p = m_path + QLatin1Char('/') + entry.name;
            if (locks.isLockedBy(pluginUid, p))
                m_comms->report(response::Done, QStringLiteral("upload"), p, QString(), pluginUid);
            else
                m_comms->report(response::Failed, QStringLiteral("upload"), p,
                                QStringLiteral("This path not locked to this user"), pluginUid);
        }
    }
    m_comms->send(request);
}

void synclist_handler::listing(const QString &pluginUid)
{
    QByteArray text = "<dir>\r\n";
    if (!m_server.entries.isEmpty())
        text += m_server.toData();
    text += "</dir>\r\n";
    m_comms->report(response::Done, QStringLiteral("dir"), m_path, QString::fromUtf8(text), pluginUid);
}

} // namespace setdesk
