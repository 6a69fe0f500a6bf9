#pragma once

#include "request_handler.h"

// "dir": lists one folder of a system, optionally recursively, filtered by a
// wildcard pattern applied at every level.
class dir_handler : public request_handler
{
public:
    using request_handler::request_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

private:
    QString m_type;
    QString m_system;
    QString m_path;
    QString m_filter;
    QString m_uid;
    bool m_recursive = false;
};
