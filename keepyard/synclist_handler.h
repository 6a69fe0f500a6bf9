#pragma once

#include "filelist.h"
#include "request_handler.h"

// "synclist": with type "request" sends the list of files below a folder of
// the system; with type "reply" compares the client's list with the folder
// and asks the client, by a download request, for every file the server
// lacks or holds in another version.
class synclist_handler : public request_handler
{
public:
    using request_handler::request_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    void sendList();
    void requestFiles();
    // Scans the requested folder; a folder outside the system is never read.
    filelist scanFolder() const;

    QString m_type;
    QString m_path;
    QString m_system;
    QString m_uid;
    filelist m_clientList;
    qint64 m_keptBytes = 0; // what the client's entries hold, roughly
};
