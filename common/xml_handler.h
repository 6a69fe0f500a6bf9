#pragma once

#include <QStringView>
#include <QXmlStreamAttributes>

// SAX-style receiver of the events of xml_reader, in document order. Request
// and reply handlers derive from it, one class per element name. A callback
// that returns false stops the reader with an error.
class xml_handler
{
public:
    virtual ~xml_handler();

    virtual bool startDocument();
    virtual bool endDocument();
    virtual bool startElement(QStringView name, const QXmlStreamAttributes &attributes);
    virtual bool endElement(QStringView name);
    // Character data may arrive in several pieces for one run of text.
    virtual bool characters(QStringView text);
};
