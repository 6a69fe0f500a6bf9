#pragma once

#include "hexBuffer.h"
#include "request_handler.h"

#include <QDateTime>
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
    // A requested file, read and compressed; made on a worker thread.
    struct preparedFile
    {
        QString name;       // the requested name, "/" separated
        QString serverPath; // below the system folder
        bool found = false;
        QByteArray hex;
        qint64 size = 0;
        QDateTime modified;
    };
    static preparedFile prepareFile(const QString &folder, bool systemValid, const QString &requested);
    // Compresses the requested files waiting in m_requested side by side and
    // sends them in request order.
    void sendRequested();
    void sendFile(const preparedFile &file);
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
    QStringList m_requested;
    qint64 m_requestedBytes = 0;
};
