#pragma once

#include "hexBuffer.h"
#include "request_handler.h"
#include "xfer.h"

#include <QFileInfo>
#include <QList>

// "download": with type "request" sends each requested file compressed; with
// type "reply" stores the files the client delivers after a synchronisation
// list, where the client holds their locks.
class checkout_handler : public request_handler
{
public:
    explicit checkout_handler(client *session);

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    // A requested file: named and looked up when its element ends, taken
    // from the server's compressed files or read and compressed on a worker
    // thread.
    struct requestedFile
    {
        QString name;       // the requested name, "/" separated
        QString serverPath; // below the system folder
        bool allowed = false; // false: the name would leave the system folder, it is not read
        QFileInfo info;     // looked up once, when requested
        bool found = false;
        QByteArray hex;
        xfer::readStamp read; // size and date of the content in hex
    };
    // Compresses the requested files waiting in m_requested side by side and
    // sends them in request order.
    void sendRequested();
    void sendFile(const requestedFile &file);
    void storeFile();
    QString systemFolder() const;

    QString m_type;
    QString m_system;
    QString m_uid;
    QString m_name;
    QString m_size;
    QString m_date;
    QString m_lastElement;
    hexBuffer m_content;
    QList<requestedFile> m_requested;
    qint64 m_requestedBytes = 0;
};
