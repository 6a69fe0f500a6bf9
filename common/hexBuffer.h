#pragma once

#include <QByteArray>
#include <QStringView>

// Collects the hex text of one file as it arrives in pieces, decoding it into
// compressed bytes on the way, so that only half its size is held. Beyond the
// limit (the hex text of the largest file a peer may send) it keeps nothing
// more and reports the overflow.
class hexBuffer
{
public:
    explicit hexBuffer(qint64 limit = defaultLimit());

    // Twice zlib's bound for the largest transferable file, plus slack.
    static qint64 defaultLimit();

    void clear();
    void append(QStringView hex);

    // Characters received, kept or not: 0 means the element had no content.
    qint64 textLength() const { return m_textLength; }
    bool isEmpty() const { return m_textLength == 0; }
    bool overflowed() const { return m_overflowed; }
    // The decoded bytes; a trailing odd digit is dropped.
    const QByteArray &bytes() const { return m_bytes; }

private:
    qint64 m_limit;
    qint64 m_textLength = 0;
    bool m_overflowed = false;
    QByteArray m_bytes;
    QChar m_odd;          // first digit of a pair split between pieces
    bool m_hasOdd = false;
};
