#pragma once

#include "filelist.h"
#include "reply_handler.h"

#include <QString>

namespace setdesk {

// "synclist" replies: the server's list of a folder, compared with the local
// copy to fetch what differs ("download:"), send what differs ("upload:"), or
// hand the listing to the plugin ("dir:").
class synclist_handler : public reply_handler
{
public:
    using reply_handler::reply_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    void download(const QString &pluginUid);
    void upload(const QString &pluginUid);
    void listing(const QString &pluginUid);
    filelist scanLocal(const QString &folder) const;
    QString entryPath(const QString &name) const;

    QString m_path;
    QString m_type;
    QString m_system;
    QString m_uid;
    filelist m_server;
};

} // namespace setdesk
