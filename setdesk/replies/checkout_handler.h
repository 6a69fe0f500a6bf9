#pragma once

#include "hexBuffer.h"
#include "orderedWork.h"
#include "reply_handler.h"

#include <QString>

#include <memory>

class download_list;
class lock_list;

namespace setdesk {

// "download" replies: each file is saved in the local copy of the system
// with the server's date and recorded in the download list; the plugin hears
// of each file and of the end of the batch. Files are inflated and written on
// the thread pool as they arrive; the lists and the events follow in the
// order of the reply.
class checkout_handler : public reply_handler
{
public:
    explicit checkout_handler(server_comms *comms);
    ~checkout_handler() override;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    void fileReceived();
    // Reports a file whose save has ended, in its turn.
    void fileSaved(const QString &fileName, const orderedWork::result &error);

    QString m_element;
    QString m_replyType;
    QString m_system;
    QString m_uid;
    QString m_pluginUid;
    QString m_requestPath;
    QString m_fileType;
    QString m_fileName;
    QString m_size;
    QString m_compressedSize;
    QString m_date;
    QString m_message;
    hexBuffer m_content;
    QString m_rootFolder;
    QString m_subPath;
    QString m_lastDirName;
    bool m_haveRoot = false;
    // Held for the whole reply: a synchronisation brings thousands of files,
    // and the lists are read once and written once instead of once per file.
    std::unique_ptr<download_list> m_downloads;
    std::unique_ptr<lock_list> m_locks;
    // Declared last: it is finished before the lists are written back.
    orderedWork m_saves;
};

} // namespace setdesk
