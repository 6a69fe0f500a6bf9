#include "xml_handler.h"

xml_handler::~xml_handler() = default;

bool xml_handler::startDocument()
{
    return true;
}

bool xml_handler::endDocument()
{
    return true;
}

bool xml_handler::startElement(QStringView, const QXmlStreamAttributes &)
{
    return true;
}

bool xml_handler::endElement(QStringView)
{
    return true;
}

bool xml_handler::characters(QStringView)
{
    return true;
}
