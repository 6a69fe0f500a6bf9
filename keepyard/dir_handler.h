#pragma once

#include "request_handler.h"

#include <QSet>

// "dir": lists one folder of a system, optionally recursively, filtered by a
// wildcard pattern applied at every level.
class dir_handler : public request_handler
{
public:
    using request_handler::request_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    // Appends the items of `path` (and below, when recursive); false when the
    // folder cannot be listed.
    bool listFolder(const QString &systemFolder, const QString &path, QByteArray &out, QSet<QString> &visited) const;

    QString m_type;
    QString m_system;
    QString m_path;
    QString m_filter;
    QString m_uid;
    bool m_recursive = false;
};
