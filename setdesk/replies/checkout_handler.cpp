#include "checkout_handler.h"

#include "doWaitDialog.h"
#include "download_list.h"
#include "lock_list.h"
#include "protocol.h"
#include "server_comms.h"
#include "setdesk_log.h"
#include "xfer.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace setdesk {

namespace {

// What a text waiting in the queue holds, with the entry around it.
qint64 textCost(const QString &text)
{
    return 64 + text.size() * qint64(sizeof(QChar));
}

} // namespace

// What a reply may have in flight counts against the same bound as what a
// handler keeps of its reply.
checkout_handler::checkout_handler(server_comms *comms)
    : reply_handler(comms), m_saves(server_comms::maxKeptBytes)
{
}

// A reply cut short (the connection ended) still lists the files it wrote.
checkout_handler::~checkout_handler()
{
    m_saves.finish();
}

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
    const QString fileName = m_fileName;
    bool ok = false;
    const quint64 reported = m_compressedSize.toULongLong(&ok);
    const qint64 received = m_content.textLength() / 2;
    if (!ok || m_content.overflowed() || reported != quint64(received)) {
        const QString text = QStringLiteral("Compressed data size (%1) is different from reported size (%2)")
                                 .arg(received)
                                 .arg(m_compressedSize);
        m_saves.add(
            [this, download, fileName, text](const orderedWork::result &) {
                m_comms->report(response::Failed, download, fileName, text, m_pluginUid);
                m_comms->waitDialog()->note(QStringLiteral("Download fail (save error): ") + fileName);
            },
            textCost(fileName) + textCost(text));
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
        m_saves.add(
            [this, download, fileName](const orderedWork::result &) {
                m_comms->report(response::Failed, download, fileName,
                                QStringLiteral("The path leaves the local copy of the system"), m_pluginUid);
            },
            textCost(fileName));
        return;
    }
    // The local copy can always be fetched again: a synchronisation of
    // thousands of files does not wait for the disk after each one.
    const QByteArray compressed = m_content.bytes();
    const qint64 size = m_size.toLongLong();
    const QString name = protocol::wirePath(m_fileName);
    const QDateTime date = protocol::parseIsoDate(m_date);
    auto save = [compressed, size, folder, name, target, date]() -> orderedWork::result {
        QString error;
        if (xfer::saveCompressedBytes(compressed, size, folder, name, &error, xfer::flush::byKernel))
            return error;
        xfer::setFileDate(target, date);
        return std::nullopt;
    };
    // The compressed bytes and the inflated content are held while it runs.
    const qint64 cost =
        compressed.size() + std::clamp<qint64>(size, 0, xfer::maxUncompressedSize) + textCost(fileName) + textCost(target);
    m_saves.add(save, cost, QDir::cleanPath(target),
                [this, fileName](const orderedWork::result &error) { fileSaved(fileName, error); });
}

void checkout_handler::fileSaved(const QString &fileName, const orderedWork::result &error)
{
    const QString download = QStringLiteral("download");
    if (error) {
        m_comms->report(response::Failed, download, fileName, *error, m_pluginUid);
        return;
    }
    if (!m_downloads) // a file outside any "download" element
        return;
    m_downloads->add(fileName, m_pluginUid);
    const bool held = m_locks->isLockedBy(m_pluginUid, fileName);
    m_comms->waitDialog()->note(QStringLiteral("Downloaded: ") + fileName);
    m_comms->report(held ? response::Done : response::DoneReadOnly, download, fileName, QString(), m_pluginUid);
}

bool checkout_handler::endElement(QStringView name)
{
    if (name == u"file") {
        if (m_fileType == u"reply") {
            fileReceived();
        } else if (m_fileType == u"error") {
            m_saves.add(
                [this, fileName = m_fileName, message = m_message](const orderedWork::result &) {
                    m_comms->report(response::Failed, QStringLiteral("download"), fileName, message, m_pluginUid);
                    m_comms->waitDialog()->note(
                        QStringLiteral("Download fail (transfer error): %1 - %2").arg(fileName, message));
                },
                textCost(m_fileName) + textCost(m_message));
        }
        m_content.clear();
        m_saves.runReady();
    } else if (name == u"dir") {
        m_subPath.chop(m_lastDirName.size() + 1);
    } else if (name == u"download") {
        qCDebug(lcSetdesk) << "done download--------";
        // Every file saved and reported, and the lists written back, before
        // the plugin hears of the end of the batch.
        m_saves.finish();
        m_locks.reset();
        m_downloads.reset();
        m_comms->report(response::BatchEnd, QStringLiteral("download"), m_requestPath, QString(), m_pluginUid);
        m_comms->waitDialog()->endWait(QStringLiteral("done download....(%1-%2)").arg(m_pluginUid, m_fileName));
    }
    m_element.clear();
    return true;
}

} // namespace setdesk
