#include "xml_reader.h"

#include "xml_handler.h"

xml_reader::xml_reader(xml_handler *handler)
    : m_handler(handler)
{
    // Element names such as "a:b" are plain names here; the protocol has no namespaces.
    m_reader.setNamespaceProcessing(false);
}

xml_reader::Status xml_reader::feed(QByteArrayView data)
{
    if (m_status != NeedMore)
        return m_status;
    m_bytesFed += data.size();
    m_reader.addData(data.toByteArray());
    if (m_parsing)
        return NeedMore; // the outer feed() is still delivering; it picks these bytes up
    return parse();
}

xml_reader::Status xml_reader::parse()
{
    m_parsing = true;
    struct Reset { bool &flag; ~Reset() { flag = false; } } reset{m_parsing};

    while (true) {
        const QXmlStreamReader::TokenType token = m_reader.readNext();
        if (m_reader.hasError()) {
            if (m_reader.error() == QXmlStreamReader::PrematureEndOfDocumentError)
                return m_status = NeedMore;
            return fail(m_reader.errorString());
        }
        bool ok = true;
        switch (token) {
        case QXmlStreamReader::StartDocument:
            ok = !m_handler || m_handler->startDocument();
            break;
        case QXmlStreamReader::EndDocument:
            if (m_handler && !m_handler->endDocument())
                return fail(QStringLiteral("handler stopped at the end of the document"));
            return m_status = Finished;
        case QXmlStreamReader::StartElement:
            ok = !m_handler || m_handler->startElement(m_reader.qualifiedName(), m_reader.attributes());
            break;
        case QXmlStreamReader::EndElement:
            ok = !m_handler || m_handler->endElement(m_reader.qualifiedName());
            break;
        case QXmlStreamReader::Characters:
            ok = !m_handler || m_handler->characters(m_reader.text());
            break;
        default:
            // Comments, processing instructions and DTDs carry nothing for the protocol.
            break;
        }
        if (!ok)
            return fail(QStringLiteral("handler stopped at line %1, column %2")
                            .arg(m_reader.lineNumber())
                            .arg(m_reader.columnNumber()));
    }
}

xml_reader::Status xml_reader::fail(const QString &error)
{
    m_error = error;
    return m_status = Failed;
}
