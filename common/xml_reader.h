#pragma once

#include <QByteArrayView>
#include <QString>
#include <QXmlStreamReader>

class xml_handler;

// Incremental reader of one endless XML document (the root element "xml" of a
// protocol stream). Bytes are fed as they arrive from the socket; every event
// that the bytes complete is delivered to the handler before feed() returns.
// A message may be split at any byte, and one chunk may hold several messages.
class xml_reader
{
public:
    enum Status {
        NeedMore, // everything fed has been consumed; waiting for more bytes
        Finished, // the document's root element has ended
        Failed    // the input is not well-formed, or a handler stopped
    };

    explicit xml_reader(xml_handler *handler = nullptr);

    void setHandler(xml_handler *handler) { m_handler = handler; }
    xml_handler *handler() const { return m_handler; }

    // Adds bytes and delivers the events they complete. Called again from
    // inside a handler callback, it only queues the bytes: the running call
    // delivers their events after the callback has returned.
    Status feed(QByteArrayView data);

    Status status() const { return m_status; }
    QString errorString() const { return m_error; }

    // Bytes handed to feed() so far.
    qint64 bytesFed() const { return m_bytesFed; }
    // Input characters consumed by the parser so far (bytes, for ASCII input).
    qint64 consumed() const { return m_reader.characterOffset(); }

private:
    Status parse();
    Status fail(const QString &error);

    QXmlStreamReader m_reader;
    xml_handler *m_handler = nullptr;
    Status m_status = NeedMore;
    QString m_error;
    qint64 m_bytesFed = 0;
    bool m_parsing = false;
};
