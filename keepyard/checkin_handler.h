#pragma once

#include "hexBuffer.h"
#include "request_handler.h"

// "upload": checks files in (each "file" child a new version, or none when
// the client no longer has the file) and deletes files ("delete" children),
// where the client holds their locks. Stored and deleted files are announced
// to every session.
class checkin_handler : public request_handler
{
public:
    explicit checkin_handler(client *session);

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;

private:
    void checkIn();
    void deleteFile();
    QString systemFolder() const;
    QString serverPath(const QString &name) const;
    // Refuses a child whose path another owner holds; true when refused.
    bool refusedByLock(const QString &name, const QString &element, const QString &action);

    QString m_type;
    QString m_system;
    QString m_uid;
    QString m_name;
    QString m_size;
    QString m_date;
    QString m_lastChild;
    hexBuffer m_content;
};
