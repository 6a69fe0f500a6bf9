#pragma once

#include "request_handler.h"

// "systems": the folders below the root that hold a "config" folder.
class systems_handler : public request_handler
{
public:
    using request_handler::request_handler;

    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;

    // The names of the systems below `root`, sorted without regard to case.
    static QStringList systemNames(const QString &root);

private:
    QString m_type;
};
