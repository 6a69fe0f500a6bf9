#pragma once

#include "xfer.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>

#include <list>
#include <utility>

// Compressed hex text of the files downloads send, so that a file asked for
// again unchanged is not read and compressed again. An entry belongs to one
// file (device and inode) in one version (size, modification and change
// times in nanoseconds, from the open file its content was read from); every
// use compares that version with the file as it is at the moment of the
// request, and a file changed since is read and compressed afresh. Content
// read within moments of its file's last change is not kept, since a write in
// the same tick of the file system's clock would leave the times unchanged.
// Bounded in bytes of hex text; the least recently used entries leave first.
// Safe to use from several threads.
class compressedFileCache
{
public:
    static constexpr qint64 defaultMaxBytes = qint64(256) * 1024 * 1024;
    // How long after a file's last change its content may be kept: well
    // above the clock tick of file times, and two seconds on file systems
    // that keep whole seconds only.
    static constexpr qint64 settleNs = 100 * 1000 * 1000;
    static constexpr qint64 coarseSettleNs = qint64(2) * 1000 * 1000 * 1000;

    explicit compressedFileCache(qint64 maxBytes = defaultMaxBytes);

    // The whole regular file `path` compressed as hex text, and the stamp of
    // that content, as xfer::compressFile gives them. True when the file
    // cannot be read or compressed.
    bool compressedFile(const QString &path, QByteArray &hex, xfer::readStamp &stamp);

    // Forgets the file now at `path`, whatever its version: called before it
    // is replaced, moved away or deleted.
    void drop(const QString &path);

    // True when the file at `path` is kept in its current version.
    bool contains(const QString &path) const;

    qint64 maxBytes() const { return m_maxBytes; }
    qint64 bytes() const;
    qsizetype entries() const;
    quint64 hits() const;
    quint64 misses() const;

private:
    using fileKey = std::pair<quint64, quint64>; // device, inode
    struct entry
    {
        xfer::readStamp stamp;
        QByteArray hex;
        std::list<fileKey>::iterator use;
    };

    static fileKey keyOf(const xfer::readStamp &stamp) { return {stamp.device, stamp.inode}; }
    static bool settled(const xfer::readStamp &stamp, qint64 readStartNs);
    // Keeps `hex` (at most the bound), making room from the least recently used.
    void keep(const xfer::readStamp &stamp, QByteArray hex);
    void eraseLocked(QHash<fileKey, entry>::iterator it);

    const qint64 m_maxBytes;
    mutable QMutex m_mutex;
    QHash<fileKey, entry> m_entries;
    std::list<fileKey> m_uses; // least recently used first
    qint64 m_bytes = 0;
    quint64 m_hits = 0;
    quint64 m_misses = 0;
};
