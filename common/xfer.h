#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <ctime>
#include <optional>

// Moves file contents inside protocol messages: zlib-compressed bytes written as
// upper-case hexadecimal text. Every operation returns false on success and
// true on failure.
class xfer
{
public:
    // How a written file reaches the disk. Either way the file is written
    // beside its target and renamed over it, so a program that stops
    // mid-write leaves the old content or the new one. `toDisk` also waits
    // until the data is on the disk before the rename (master copies);
    // `byKernel` leaves that to the kernel's write-back, for copies that can
    // be fetched again and come by the thousand.
    enum class flush { toDisk, byKernel };

    // Largest uncompressed size accepted from a peer; it sizes an allocation.
    static constexpr qint64 maxUncompressedSize = qint64(256) * 1024 * 1024;

    // The size and modification time of the content that compressFile read,
    // taken from the open file, so that they always belong to that content.
    struct readStamp
    {
        qint64 size = 0;
        std::time_t modified = 0;
        // Which file that was, and its content's version: a write in place
        // changes the change time, a replacement the inode.
        quint64 device = 0;
        quint64 inode = 0;
        qint64 modifiedNs = 0; // since 1970, nanoseconds
        qint64 changedNs = 0;

        // The same file in the same version.
        bool sameVersion(const readStamp &other) const
        {
            return size == other.size && device == other.device && inode == other.inode
                   && modifiedNs == other.modifiedNs && changedNs == other.changedNs;
        }
    };

    // The stamp of a regular file as it is now, without reading it; empty
    // when it is no readable regular file.
    static std::optional<readStamp> identify(const QString &path);

    // The whole file, compressed, as hex text. True when the file cannot be
    // read or compressed (hex is then left as it was).
    static bool compressFile(const QString &path, QByteArray &hex, readStamp *stamp = nullptr);

    // Decodes hex text, uncompresses it into `size` bytes and writes
    // folder/name, creating missing folders. The previous file is replaced only
    // once the whole new content is written.
    static bool saveCompressedFile(QByteArrayView hex, qint64 size, const QString &folder, const QString &name,
                                   QString *error = nullptr);
    static bool saveCompressedFile(QStringView hex, qint64 size, const QString &folder, const QString &name,
                                   QString *error = nullptr);
    // The same, from compressed bytes already decoded from hex.
    static bool saveCompressedBytes(QByteArrayView compressed, qint64 size, const QString &folder,
                                    const QString &name, QString *error = nullptr, flush mode = flush::toDisk);

    // Writes `data` as the file `path` (its folder must exist). The content
    // goes to an unnamed file (or a hidden one) that is renamed over the
    // target only once complete, so a program stopped at any moment leaves
    // the old file or the new one, and no stray file a folder scan would
    // list. With `toDisk` the content, and then the rename, are on the disk
    // before it returns. An existing file keeps its permissions; a folder, or
    // a file its owner may not write, is not replaced.
    static bool replaceFile(const QString &path, QByteArrayView data, flush mode = flush::toDisk);

    // Creates every missing folder of the directory part of `path`.
    static void makePath(const QString &path);

    // Sets modification and access time to the local date-time `when`.
    static bool setFileDate(const QString &path, const QDateTime &when);

    // Renames path to path + ".tavex_configbackup"; an existing file of that
    // name makes the rename fail, which is ignored. Always false.
    static bool renameToBackup(const QString &path);

    // Like renameToBackup, but the file stays where it is: the backup is a
    // second name for it (or a copy with the same date where the file system
    // has no hard links). An existing backup is left alone. Always false.
    static bool copyToBackup(const QString &path);
    // Gives `from` the additional name `to` (or copies it, keeping its date).
    // False when neither works.
    static bool keepCopy(const QString &from, const QString &to);

    // Hex text helpers: two upper-case digits per byte. Decoding takes pairs
    // from the start; a trailing odd digit is ignored.
    static void toHex(QByteArrayView bytes, QByteArray &hex);
    static QByteArray toHex(QByteArrayView bytes);
    static void appendFromHex(QByteArrayView hex, QByteArray &bytes);
    static void appendFromHex(QStringView hex, QByteArray &bytes);
};
