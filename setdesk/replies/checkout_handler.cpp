#include "checkout_handler.h"

#include "doWaitDialog.h"
#include "download_list.h"
#include "lock_list.h"
#include "protocol.h"
#include "server_comms.h"
#include "setdesk_log.h"
#include "xfer.h"

namespace setdesk {

checkout_handler::checkout_handler(server_comms *comms) : reply_handler(comms) {}

// Out of line: the lists are complete types here.
checkout_handler::~checkout_handler() = default;

bool checkout_handler::startElement(QStringView name, const QXmlStreamAttributes &attributes)
{
    m_element = name.toString();
    if (name == u"download") {
        m_replyType = attributes.value(QLatin1String("type")).toString();
        m_uid = attributes.value(QLatin1String("uid")).toString();
        m_system = attributes.value(QLatin1String("system")).toString();
        // A check-out names its path before the plugin: "path:plugin".
        const QStringList parts = m_uid.split(QLatin1Char(':'));
        m_pluginUid = parts.size() == 2 ? parts.at(1) : m_uid;
        m_requestPath = parts.size() == 2 ? parts.at(0) : QString();
        m_message.clear();
        m_downloads = std::make_unique<download_list>(m_system);
        m_locks = std::make_unique<lock_list>(m_system);
    } else if (name == u"file") {
        m_fileType = attributes.value(QLatin1String("type")).toString();
        m_fileName = attributes.value(QLatin1String("name")).toString();
        m_size = attributes.value(QLatin1String("size")).toString();
        m_compressedSize = attributes.value(QLatin1String("compressedsize")).toString();
        m_date = attributes.value(QLatin1String("date")).toString();
        m_content.clear();
        m_message.clear();
    } else if (name == u"dir") {
        const QString dirName = attributes.value(QLatin1String("name")).toString();
        if (!m_haveRoot) {
            m_haveRoot = true;
            m_rootFolder = dirName;
        } else {
            m_lastDirName = dirName;
            m_subPath = m_subPath.isEmpty() ? dirName : m_subPath + QLatin1Char('/') + dirName;
        }
    } else if (name == u"message") {
        m_message.clear();
    }
    return true;
}

bool checkout_handler::characters(QStringView text)
{
    if (m_element == u"file")
        m_content.append(text);
    else if (m_element == u"message")
        keepMessage(m_message, text);
    return true;
}

void checkout_handler::fileReceived()
{
    const QString download = QStringLiteral("download");
    if (m_content.isEmpty())
        return;
    doWaitDialog *wait = m_comms->waitDialog();
    bool ok = false;
    const quint64 reported = m_compressedSize.toULongLong(&ok);
    const qint64 received = m_content.textLength() / 2;
    if (!ok || m_content.overflowed() || reported != quint64(received)) {
        m_comms->report(response::Failed, download, m_fileName,
                        QStringLiteral("Compressed data size (%1) is different from reported size (%2)")
                            .arg(received)
                            .arg(m_compressedSize),
                        m_pluginUid);
        wait->note(QStringLiteral("Download fail (save error): ") + m_fileName);
        return;
    }
    // Everything the server names stays inside the local copy of the system.
    QStringList parts;
    for (const QString &part : {m_rootFolder, m_subPath}) {
        if (!part.isEmpty())
            parts << part;
    }
    const QString relativeFolder = parts.join(QLatin1Char('/'));
    const QString target = m_comms->localPath(
        m_system, relativeFolder.isEmpty() ? m_fileName : protocol::joinPath(relativeFolder, m_fileName));
    const QString folder = m_comms->localPath(m_system, relativeFolder);
    if (target.isEmpty() || folder.isEmpty() || m_fileName.isEmpty()) {
        m_comms->report(response::Failed, download, m_fileName,
                        QStringLiteral("The path leaves the local copy of the system"), m_pluginUid);
        return;
    }
    // The local copy can always be fetched again: a synchronisation of
    // thousands of files does not wait for the disk after each one.
    QString error;
    if (xfer::saveCompressedBytes(m_content.bytes(), m_size.toLongLong(), folder, protocol::wirePath(m_fileName),
                                  &error, xfer::flush::byKernel)) {
        m_comms->report(response::Failed, download, m_fileName, error, m_pluginUid);
        return;
    }
    xfer::setFileDate(target, protocol::parseIsoDate(m_date));
    if (!m_downloads) // a file outside any "download" element
        return;
    m_downloads->add(m_fileName, m_pluginUid);
    const bool held = m_locks->isLockedBy(m_pluginUid, m_fileName);
    wait->note(QStringLiteral("Downloaded: ") + m_fileName);
    m_comms->report(held ? response::Done : response::DoneReadOnly, download, m_fileName, QString(), m_pluginUid);
}

bool checkout_handler::endElement(QStringView name)
{
    if (name == u"file") {
        if (m_fileType == u"reply") {
            fileReceived();
        } else if (m_fileType == u"error") {
            m_comms->report(response::Failed, QStringLiteral("download"), m_fileName, m_message, m_pluginUid);
            m_comms->waitDialog()->note(QStringLiteral("Download fail (transfer error): %1 - %2").arg(m_fileName, m_message));
        }
        m_content.clear();
    } else if (name == u"dir") {
        m_subPath.chop(m_lastDirName.size() + 1);
    } else if (name == u"download") {
        qCDebug(lcSetdesk) << "done download--------";
        // Written back before the plugin hears of the end of the batch.
        m_locks.reset();
        m_downloads.reset();
        m_comms->report(response::BatchEnd, QStringLiteral("download"), m_requestPath, QString(), m_pluginUid);
        m_comms->waitDialog()->endWait(QStringLiteral("done download....(%1-%2)").arg(m_pluginUid, m_fileName));
    }
    m_element.clear();
    return true;
}

} // namespace setdesk
