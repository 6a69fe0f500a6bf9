#include "compressedFileCache.h"

#include <QMutexLocker>

#include <chrono>

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

compressedFileCache::compressedFileCache(qint64 maxBytes) : m_maxBytes(qMax<qint64>(0, maxBytes))
{
}

bool compressedFileCache::compressedFile(const QString &path, QByteArray &hex, xfer::readStamp &stamp)
{
    if (const std::optional<xfer::readStamp> current = xfer::identify(path)) {
        QMutexLocker lock(&m_mutex);
        const auto it = m_entries.find(keyOf(*current));
        if (it != m_entries.end()) {
            if (it->stamp.sameVersion(*current)) {
                m_uses.splice(m_uses.end(), m_uses, it->use);
                hex = it->hex;
                stamp = it->stamp;
                ++m_hits;
                return false;
            }
            eraseLocked(it); // an older version of this file
        }
    }

    const qint64 readStart = nowNs();
    xfer::readStamp read;
    if (xfer::compressFile(path, hex, &read))
        return true;
    stamp = read;
    {
        QMutexLocker lock(&m_mutex);
        ++m_misses;
    }
    if (settled(read, readStart) && hex.size() <= m_maxBytes) {
        // Compressors reserve room for the worst case; what is kept is held
        // at its size, which the bound counts. Squeezed before it is shared.
        hex.squeeze();
        keep(read, hex);
    }
    return false;
}

// Any change made after the read began gets a change time at or after the
// file system clock's reading then, which lags the real time by less than a
// tick: content whose change time lies a margin before the start of the read
// is the content of that version, and a later change shows in the times.
bool compressedFileCache::settled(const xfer::readStamp &stamp, qint64 readStartNs)
{
    const bool wholeSeconds = stamp.changedNs % 1000000000 == 0;
    return stamp.changedNs + (wholeSeconds ? coarseSettleNs : settleNs) <= readStartNs;
}

void compressedFileCache::keep(const xfer::readStamp &stamp, QByteArray hex)
{
    QMutexLocker lock(&m_mutex);
    const fileKey key = keyOf(stamp);
    if (const auto old = m_entries.find(key); old != m_entries.end())
        eraseLocked(old);
    while (m_bytes + hex.size() > m_maxBytes && !m_uses.empty())
        eraseLocked(m_entries.find(m_uses.front()));
    m_bytes += hex.size();
    m_uses.push_back(key);
    m_entries.insert(key, entry{stamp, std::move(hex), std::prev(m_uses.end())});
}

void compressedFileCache::eraseLocked(QHash<fileKey, entry>::iterator it)
{
    m_bytes -= it->hex.size();
    m_uses.erase(it->use);
    m_entries.erase(it);
}

void compressedFileCache::drop(const QString &path)
{
    const std::optional<xfer::readStamp> current = xfer::identify(path);
    if (!current)
        return;
    QMutexLocker lock(&m_mutex);
    if (const auto it = m_entries.find(keyOf(*current)); it != m_entries.end())
        eraseLocked(it);
}

bool compressedFileCache::contains(const QString &path) const
{
    const std::optional<xfer::readStamp> current = xfer::identify(path);
    if (!current)
        return false;
    QMutexLocker lock(&m_mutex);
    const auto it = m_entries.constFind(keyOf(*current));
    return it != m_entries.constEnd() && it->stamp.sameVersion(*current);
}

qint64 compressedFileCache::bytes() const
{
    QMutexLocker lock(&m_mutex);
    return m_bytes;
}

qsizetype compressedFileCache::entries() const
{
    QMutexLocker lock(&m_mutex);
    return m_entries.size();
}

quint64 compressedFileCache::hits() const
{
    QMutexLocker lock(&m_mutex);
    return m_hits;
}

quint64 compressedFileCache::misses() const
{
    QMutexLocker lock(&m_mutex);
    return m_misses;
}
