#include "hexBuffer.h"

#include "xfer.h"

#include <zlib.h>

hexBuffer::hexBuffer(qint64 limit)
    : m_limit(limit)
{
}

qint64 hexBuffer::defaultLimit()
{
    return 2 * qint64(compressBound(uLong(xfer::maxUncompressedSize))) + 64;
}

void hexBuffer::clear()
{
    m_textLength = 0;
    m_overflowed = false;
    m_bytes = QByteArray();
    m_hasOdd = false;
}

void hexBuffer::append(QStringView hex)
{
    m_textLength += hex.size();
    if (m_overflowed || hex.isEmpty())
        return;
    if (m_textLength > m_limit) {
        m_overflowed = true;
        m_bytes = QByteArray();
        return;
    }
    if (m_hasOdd) {
        const QChar pair[2] = {m_odd, hex.front()};
        xfer::appendFromHex(QStringView(pair, 2), m_bytes);
        hex = hex.sliced(1);
        m_hasOdd = false;
    }
    const qsizetype even = hex.size() & ~qsizetype(1);
    xfer::appendFromHex(hex.first(even), m_bytes);
    if (even < hex.size()) {
        m_odd = hex.back();
        m_hasOdd = true;
    }
}
