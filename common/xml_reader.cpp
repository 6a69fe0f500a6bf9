#include "xml_reader.h"

#include "xml_handler.h"

#include <algorithm>
#include <array>

namespace {

// Characters that may pass through without the parser: printable ASCII but
// markup and entity characters, and tab and line feed. "]" is left out so that
// a "]]>" is always seen by the parser.
constexpr std::array<bool, 256> makePlainTable()
{
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c)
        plain[c] = c != '<' && c != '>' && c != '&' && c != ']';
    plain['\t'] = true;
    plain['\n'] = true;
    return plain;
}
constexpr auto plainTable = makePlainTable();

// Bytes handed to the parser at a time: the held-bytes count is exact to
// within one slice, which is a small part of the bound.
qsizetype parserSlice(qint64 maxHeldBytes)
{
    return qsizetype(std::clamp<qint64>(maxHeldBytes / 4, 256, 64 * 1024));
}

} // namespace

xml_reader::xml_reader(xml_handler *handler)
    : m_handler(handler)
{
    // Element names such as "a:b" are plain names here; the protocol has no namespaces.
    m_reader.setNamespaceProcessing(false);
}

void xml_reader::setLimits(int maxDepth, qint64 maxHeldBytes)
{
    m_maxDepth = maxDepth;
    m_maxHeldBytes = maxHeldBytes;
}

xml_reader::Status xml_reader::feed(QByteArrayView data)
{
    if (m_status != NeedMore)
        return m_status;
    m_bytesFed += data.size();
    if (m_parsing) {
        if (m_queued.size() + data.size() > m_maxHeldBytes)
            return failBound(QStringLiteral("more than %1 bytes arrived while a handler was busy").arg(m_maxHeldBytes));
        m_queued.append(data.data(), data.size()); // the running feed() takes these next
        return NeedMore;
    }
    process(data);
    while (m_status == NeedMore && !m_queued.isEmpty()) {
        const QByteArray more = std::exchange(m_queued, QByteArray());
        process(more);
    }
    return m_status;
}

void xml_reader::process(QByteArrayView data)
{
    const char *bytes = data.data();
    const qsizetype size = data.size();
    qsizetype i = 0;
    while (i < size && m_status == NeedMore) {
        if (m_scannerOff) {
            m_toParser.append(bytes + i, size - i);
            break;
        }
        if (m_scan != Text) {
            scanMarkup(bytes, size, i);
            continue;
        }
        if (m_runToParser) {
            // The rest of the run, up to the next markup, is the parser's.
            qsizetype end = i;
            while (end < size && bytes[end] != '<')
                ++end;
            m_toParser.append(bytes + i, end - i);
            i = end;
            if (i < size) {
                endTextRun();
                ++i;
            }
            continue;
        }
        qsizetype end = i;
        while (end < size && plainTable[static_cast<unsigned char>(bytes[end])])
            ++end;
        m_runText.append(bytes + i, end - i);
        i = end;
        if (m_runText.size() >= passThroughThreshold)
            decideLongRun();
        if (i == size || m_status != NeedMore)
            break;
        if (bytes[i] == '<') {
            endTextRun();
            ++i;
            continue;
        }
        // Entities, line breaks, markup characters or non-ASCII text: the
        // parser reads the rest of this run.
        if (m_runPassedThrough) {
            pushToParser();
            if (m_handler && !m_runText.isEmpty() && !m_handler->characters(QString::fromLatin1(m_runText)))
                fail(QStringLiteral("handler stopped in character data"));
        } else {
            m_toParser += m_runText;
        }
        m_runText.clear();
        m_runToParser = true;
    }
    pushToParser();
}

void xml_reader::decideLongRun()
{
    // Everything before the run must have become events first, so that the
    // handler sees the text inside its element.
    pushToParser();
    if (m_status != NeedMore)
        return;
    if (m_depth < 1 || m_runToParser) {
        m_toParser += m_runText; // outside the root: the parser judges it
        m_runText.clear();
        m_runToParser = true;
        return;
    }
    m_runPassedThrough = true;
    if (m_handler && !m_handler->characters(QString::fromLatin1(m_runText)))
        fail(QStringLiteral("handler stopped in character data"));
    m_runText.clear();
}

void xml_reader::endTextRun()
{
    // At "<" (taken here): the run is over.
    if (m_runPassedThrough) {
        pushToParser();
        if (m_status == NeedMore && m_handler && !m_runText.isEmpty()
            && !m_handler->characters(QString::fromLatin1(m_runText)))
            fail(QStringLiteral("handler stopped in character data"));
    } else {
        m_toParser += m_runText;
    }
    m_runText.clear();
    m_runPassedThrough = false;
    m_runToParser = false;
    m_toParser += '<';
    m_scan = TagOpen;
}

void xml_reader::scanMarkup(const char *bytes, qsizetype size, qsizetype &i)
{
    // Markup always goes to the parser; the scanner only follows where it ends.
    if (m_scan == Tag || m_scan == TagQuote) {
        // Up to the next character that changes the state, in one piece.
        qsizetype end = i;
        if (m_scan == Tag) {
            while (end < size && bytes[end] != '"' && bytes[end] != '\'' && bytes[end] != '>')
                ++end;
        } else {
            while (end < size && bytes[end] != m_quote)
                ++end;
        }
        m_toParser.append(bytes + i, end - i);
        i = end;
        if (i == size)
            return;
    }
    const char c = bytes[i++];
    m_toParser += c;
    switch (m_scan) {
    case TagOpen:
        m_scan = c == '!' ? Bang : c == '?' ? Instruction : c == '>' ? Text : Tag;
        m_marker = c == '!' ? QByteArray("!") : QByteArray();
        break;
    case Tag:
        if (c == '>') {
            m_scan = Text;
        } else {
            m_quote = c;
            m_scan = TagQuote;
        }
        break;
    case TagQuote:
        m_scan = Tag;
        break;
    case Bang:
        m_marker += c;
        if (m_marker == "!--") {
            m_scan = Comment;
            m_marker.clear();
        } else if (m_marker == "![CDATA[") {
            m_scan = CData;
            m_marker.clear();
        } else if (!QByteArrayView("!--").startsWith(m_marker) && !QByteArrayView("![CDATA[").startsWith(m_marker)) {
            // A DOCTYPE may declare entities and hold brackets of its own:
            // from here on the parser reads everything.
            m_scannerOff = true;
        }
        break;
    case Comment:
    case CData:
    case Instruction: {
        const QByteArrayView end = m_scan == Comment ? "-->" : m_scan == CData ? "]]>" : "?>";
        m_marker += c;
        if (m_marker.size() > end.size())
            m_marker.remove(0, m_marker.size() - end.size());
        if (m_marker == end) {
            m_marker.clear();
            m_scan = Text;
        }
        break;
    }
    case Text:
        break;
    }
}

void xml_reader::pushToParser()
{
    if (m_toParser.isEmpty() || m_status != NeedMore)
        return;
    QByteArray pending = std::exchange(m_toParser, QByteArray());
    const qsizetype step = parserSlice(m_maxHeldBytes);
    for (qsizetype at = 0; at < pending.size() && m_status == NeedMore; at += step) {
        const QByteArray slice = pending.size() <= step ? pending : pending.mid(at, step);
        m_parsedBytes += slice.size();
        m_eventSeen = false;
        m_reader.addData(slice);
        parse();
        // After an event the parser holds only what followed it, all of it in
        // this slice; without one it still holds everything before as well.
        m_heldBytes = m_eventSeen ? slice.size() : m_heldBytes + slice.size();
        if (m_status == NeedMore && m_heldBytes > m_maxHeldBytes)
            failBound(QStringLiteral("more than %1 bytes without a complete element").arg(m_maxHeldBytes));
    }
}

xml_reader::Status xml_reader::parse()
{
    m_parsing = true;
    struct Reset { bool &flag; ~Reset() { flag = false; } } reset{m_parsing};

    while (true) {
        // A callback may have ended the reading (a bound broken by bytes fed from inside it).
        if (m_status == Failed)
            return m_status;
        const QXmlStreamReader::TokenType token = m_reader.readNext();
        if (m_reader.hasError()) {
            if (m_reader.error() == QXmlStreamReader::PrematureEndOfDocumentError)
                return m_status = NeedMore;
            return fail(m_reader.errorString());
        }
        bool ok = true;
        if (token != QXmlStreamReader::NoToken)
            m_eventSeen = true;
        switch (token) {
        case QXmlStreamReader::StartDocument:
            ok = !m_handler || m_handler->startDocument();
            break;
        case QXmlStreamReader::EndDocument:
            if (m_handler && !m_handler->endDocument())
                return fail(QStringLiteral("handler stopped at the end of the document"));
            return m_status = Finished;
        case QXmlStreamReader::StartElement:
            if (++m_depth > m_maxDepth)
                return failBound(QStringLiteral("elements nested deeper than %1 levels").arg(m_maxDepth));
            ok = !m_handler || m_handler->startElement(m_reader.qualifiedName(), m_reader.attributes());
            break;
        case QXmlStreamReader::EndElement:
            --m_depth;
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

xml_reader::Status xml_reader::failBound(const QString &error)
{
    m_boundExceeded = true;
    return fail(error);
}

xml_reader::Status xml_reader::fail(const QString &error)
{
    m_error = error;
    return m_status = Failed;
}
