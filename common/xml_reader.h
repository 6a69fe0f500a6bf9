#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QXmlStreamReader>

class xml_handler;

// Incremental reader of one endless XML document (the root element "xml" of a
// protocol stream). Bytes are fed as they arrive from the socket; every event
// that the bytes complete is delivered to the handler before feed() returns.
// A message may be split at any byte, and one chunk may hold several messages.
//
// Long runs of plain character data inside the root element (file contents
// written as hex text) are handed to the handler piece by piece as they
// arrive, instead of being collected whole by the XML parser first: memory
// then stays bounded by what the handler keeps.
class xml_reader
{
public:
    enum Status {
        NeedMore, // everything fed has been consumed; waiting for more bytes
        Finished, // the document's root element has ended
        Failed    // the input is not well-formed, or a handler stopped
    };

    // Plain runs up to this length go through the XML parser as usual.
    static constexpr qsizetype passThroughThreshold = 8 * 1024;
    // Bounds on what a peer can make the reader hold, whatever it sends:
    // element nesting (the parser keeps every open element), and bytes given
    // to the parser that it has not yet turned into events (an endless start
    // tag, comment, or text run with entities). Beyond either the reader fails.
    static constexpr int defaultMaxDepth = 64;
    static constexpr qint64 defaultMaxHeldBytes = 16 * 1024 * 1024;

    explicit xml_reader(xml_handler *handler = nullptr);

    void setHandler(xml_handler *handler) { m_handler = handler; }
    xml_handler *handler() const { return m_handler; }

    // Adds bytes and delivers the events they complete. Called again from
    // inside a handler callback, it only queues the bytes (no more than the
    // held-bytes bound): the running call delivers their events after the
    // callback has returned.
    Status feed(QByteArrayView data);

    // Depth counts the root element; held bytes are counted in steps of a
    // quarter of their bound (at most 64 KiB), so the bound holds to within
    // one step.
    void setLimits(int maxDepth, qint64 maxHeldBytes);
    int maxDepth() const { return m_maxDepth; }
    qint64 maxHeldBytes() const { return m_maxHeldBytes; }

    Status status() const { return m_status; }
    QString errorString() const { return m_error; }
    // The failure came from a bound (nesting, held or queued bytes), not
    // from malformed input.
    bool boundExceeded() const { return m_boundExceeded; }

    // Bytes handed to feed() so far.
    qint64 bytesFed() const { return m_bytesFed; }
    // Bytes given to the XML parser so far (all but passed-through text).
    qint64 parsedBytes() const { return m_parsedBytes; }
    // An upper bound of the bytes the parser holds without having turned them
    // into events yet.
    qint64 heldBytes() const { return m_heldBytes; }
    int depth() const { return m_depth; }

private:
    enum Scan { Text, TagOpen, Tag, TagQuote, Bang, Comment, CData, Instruction };

    void process(QByteArrayView data);
    void scanMarkup(const char *data, qsizetype size, qsizetype &i);
    void endTextRun();
    void decideLongRun();
    void pushToParser();
    Status parse();
    Status fail(const QString &error);
    Status failBound(const QString &error);

    QXmlStreamReader m_reader;
    xml_handler *m_handler = nullptr;
    Status m_status = NeedMore;
    QString m_error;
    qint64 m_bytesFed = 0;
    qint64 m_parsedBytes = 0;
    qint64 m_heldBytes = 0;
    bool m_eventSeen = false;
    bool m_boundExceeded = false; // the parser produced an event from the current slice
    int m_maxDepth = defaultMaxDepth;
    qint64 m_maxHeldBytes = defaultMaxHeldBytes;
    bool m_parsing = false;
    QByteArray m_queued;      // fed from inside a callback, not yet processed

    // Scanner over the raw bytes, one step ahead of the parser.
    Scan m_scan = Text;
    char m_quote = 0;
    QByteArray m_marker;      // the start of a "<!" construct, or the tail of an end marker
    bool m_scannerOff = false; // after a DOCTYPE everything goes to the parser
    int m_depth = 0;          // element depth as reported by the parser
    QByteArray m_toParser;    // bytes for the parser, in input order
    QByteArray m_runText;     // plain text of the current run, not yet given anywhere
    bool m_runPassedThrough = false; // part of this run went to the handler directly
    bool m_runToParser = false;      // the rest of this run goes to the parser
};
