#include "xfer.h"

#include "common_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libdeflate.h>
#include <zlib.h>

namespace {

// The buffers of a transfer (a whole file, its stream, its hex text) are
// large, filled once and dropped. Backed by huge pages where the system
// offers them on request, such a buffer costs a few page faults instead of
// one per 4 KiB page; on virtual machines those faults take longer than
// compressing the data.
constexpr quintptr hugePageBytes = 2 * 1024 * 1024;

void resizeLarge(QByteArray &buffer, qsizetype size)
{
    buffer.resize(size);
    if (quintptr(size) < 2 * hugePageBytes)
        return;
    const quintptr start = quintptr(buffer.data());
    const quintptr begin = (start + hugePageBytes - 1) & ~(hugePageBytes - 1);
    const quintptr end = (start + quintptr(size)) & ~(hugePageBytes - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE); // only advice: failure is harmless
}

constexpr char hexDigits[] = "0123456789ABCDEF";

// Two output characters per input byte, looked up at once.
constexpr std::array<std::array<char, 2>, 256> makeEncodeTable()
{
    std::array<std::array<char, 2>, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = {hexDigits[i >> 4], hexDigits[i & 15]};
    return table;
}
constexpr auto encodeTable = makeEncodeTable();

// Digit values; 0xFF for characters that are not hexadecimal digits.
constexpr std::array<unsigned char, 256> makeDecodeTable()
{
    std::array<unsigned char, 256> table{};
    for (auto &v : table)
        v = 0xFF;
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<unsigned char>(10 + i);
        table['a' + i] = static_cast<unsigned char>(10 + i);
    }
    return table;
}
constexpr auto decodeTable = makeDecodeTable();

// A pair converts as a base-16 number read from its start: a bad first digit
// gives 0, a bad second digit gives the first digit's value. Such bytes are
// wrong, and the decompressor rejects them.
constexpr unsigned char decodePair(unsigned char hi, unsigned char lo)
{
    const unsigned char h = decodeTable[hi];
    const unsigned char l = decodeTable[lo];
    if ((h | l) < 16)
        return static_cast<unsigned char>(h << 4 | l);
    return h >= 16 ? 0 : h;
}

// Every pair of 8-bit characters, indexed by first | second << 8, mapped to
// its byte: one load per output byte.
const unsigned char *pairTable()
{
    static const auto table = [] {
        auto t = std::make_unique<unsigned char[]>(65536);
        for (int first = 0; first < 256; ++first) {
            for (int second = 0; second < 256; ++second)
                t[first | second << 8] = decodePair(static_cast<unsigned char>(first), static_cast<unsigned char>(second));
        }
        return t;
    }();
    return table.get();
}

void decodeInto(const unsigned char *in, qsizetype pairs, unsigned char *out)
{
    const unsigned char *table = pairTable();
    for (qsizetype i = 0; i < pairs; ++i) {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        quint16 index; // one 16-bit load; the compiler vectorises the shifted form badly
        std::memcpy(&index, in + 2 * i, 2);
#else
        const unsigned index = in[2 * i] | in[2 * i + 1] << 8;
#endif
        out[i] = table[index];
    }
}

void decodeInto(const char16_t *in, qsizetype pairs, unsigned char *out)
{
    const unsigned char *table = pairTable();
    for (qsizetype i = 0; i < pairs; ++i) {
        const char16_t first = in[2 * i];
        const char16_t second = in[2 * i + 1];
        // Characters beyond 8 bits are never digits; NUL stands in for them, as it is not one either.
        out[i] = (first | second) < 0x100 ? table[first | second << 8]
                                           : decodePair(first < 0x100 ? static_cast<unsigned char>(first) : 0,
                                                        second < 0x100 ? static_cast<unsigned char>(second) : 0);
    }
}

template <typename Char>
void appendDecoded(const Char *in, qsizetype pairs, QByteArray &bytes)
{
    const qsizetype start = bytes.size();
    resizeLarge(bytes, start + pairs);
    decodeInto(in, pairs, reinterpret_cast<unsigned char *>(bytes.data()) + start);
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

QString uncompressErrorText(int code)
{
    switch (code) {
    case Z_MEM_ERROR: return QStringLiteral("Z_MEM_ERROR - uncompress error");
    case Z_BUF_ERROR: return QStringLiteral("Z_BUF_ERROR - uncompress error");
    case Z_DATA_ERROR: return QStringLiteral("Z_DATA_ERROR - uncompress error");
    default: return QStringLiteral("unknnown uncompress error");
    }
}

// One compressor and one decompressor per thread: they are not shared, and
// made once, since making them costs more than a small file's compression.
constexpr int compressionLevel = 6;

struct compressorFree
{
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};
struct decompressorFree
{
    void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

libdeflate_compressor *threadCompressor()
{
    thread_local std::unique_ptr<libdeflate_compressor, compressorFree> compressor(
        libdeflate_alloc_compressor(compressionLevel));
    return compressor.get();
}

libdeflate_decompressor *threadDecompressor()
{
    thread_local std::unique_ptr<libdeflate_decompressor, decompressorFree> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

} // namespace

void xfer::toHex(QByteArrayView bytes, QByteArray &hex)
{
    resizeLarge(hex, bytes.size() * 2);
    char *out = hex.data();
    for (unsigned char b : bytes) {
        const auto &pair = encodeTable[b];
        out[0] = pair[0];
        out[1] = pair[1];
        out += 2;
    }
}

QByteArray xfer::toHex(QByteArrayView bytes)
{
    QByteArray hex;
    toHex(bytes, hex);
    return hex;
}

void xfer::appendFromHex(QByteArrayView hex, QByteArray &bytes)
{
    appendDecoded(reinterpret_cast<const unsigned char *>(hex.data()), hex.size() / 2, bytes);
}

void xfer::appendFromHex(QStringView hex, QByteArray &bytes)
{
    appendDecoded(reinterpret_cast<const char16_t *>(hex.utf16()), hex.size() / 2, bytes);
}

namespace {

qint64 nanoseconds(const timespec &t)
{
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

xfer::readStamp stampOf(const struct stat &info)
{
    xfer::readStamp stamp;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim.tv_sec;
    stamp.device = quint64(info.st_dev);
    stamp.inode = quint64(info.st_ino);
    stamp.modifiedNs = nanoseconds(info.st_mtim);
    stamp.changedNs = nanoseconds(info.st_ctim);
    return stamp;
}

// Reads a whole regular file; the stamp comes from the open file, before and
// after the reading, so it belongs to the content read. Files are replaced by
// renames, so an open file keeps its content; one written in place while it
// is read is read again, a few times at most.
// Reads of a file that keeps changing under the reader before it counts as unreadable.
constexpr int maxReadAttempts = 3;
// Fresh names tried for the temporary file of a write.
constexpr int maxTempNames = 100;

bool readWhole(const QString &path, QByteArray &content, xfer::readStamp &stamp)
{
    for (int attempt = 0; attempt < maxReadAttempts; ++attempt) {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return false;
        struct stat before {};
        if (::fstat(in.handle(), &before) != 0 || !S_ISREG(before.st_mode))
            return false;
        if (before.st_size > xfer::maxUncompressedSize) {
            // No peer would accept it.
            qCDebug(lcCommon).noquote() << QStringLiteral("xfer::compressFile: too large to send: ") + path;
            return false;
        }
        // One byte more than the file had shows a file that grew meanwhile.
        resizeLarge(content, qsizetype(before.st_size) + 1);
        qint64 got = 0;
        qint64 n = 1;
        while (n > 0 && got < content.size()) {
            n = in.read(content.data() + got, content.size() - got);
            got += qMax<qint64>(n, 0);
        }
        struct stat after {};
        if (n < 0 || ::fstat(in.handle(), &after) != 0)
            break;
        content.resize(qsizetype(got));
        if (content.size() == after.st_size && after.st_mtim.tv_sec == before.st_mtim.tv_sec
            && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec && content.size() <= xfer::maxUncompressedSize) {
            stamp = stampOf(after);
            return true;
        }
    }
    qCDebug(lcCommon).noquote() << QStringLiteral("xfer::compressFile: cannot read ") + path;
    return false;
}

} // namespace

std::optional<xfer::readStamp> xfer::identify(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return stampOf(info);
}

bool xfer::compressFile(const QString &path, QByteArray &hex, readStamp *stamp)
{
    QByteArray content;
    readStamp read;
    if (!readWhole(path, content, read))
        return true;
    const qint64 size = read.size;

    // A zlib stream, as zlib's compress() writes one, made in one call.
    libdeflate_compressor *compressor = threadCompressor();
    if (!compressor)
        return true;
    QByteArray packed;
    resizeLarge(packed, qsizetype(libdeflate_zlib_compress_bound(compressor, size_t(size))));
    const size_t produced =
        libdeflate_zlib_compress(compressor, content.constData(), size_t(size), packed.data(), size_t(packed.size()));
    if (produced == 0) {
        qCDebug(lcCommon).noquote() << QStringLiteral("xfer::compressFile: compress error for ") + path;
        return true;
    }
    content = QByteArray(); // the whole file need not stay while its hex text is made
    QByteArray result;
    toHex(QByteArrayView(packed.constData(), qsizetype(produced)), result);
    hex = std::move(result);
    if (stamp)
        *stamp = read;
    return false;
}

namespace {

bool writeAll(int fd, const char *data, qint64 length)
{
    for (qint64 done = 0; done < length;) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// A hidden name beside `target` for a file on its way there, so that a
// program stopped before the rename leaves nothing a scan of the folder would
// take for a configuration file; unique within this process, and the process
// id keeps other writers apart.
QByteArray partName(const QByteArray &target)
{
    static std::atomic<unsigned> serial{0};
    const qsizetype slash = target.lastIndexOf('/');
    return target.left(slash + 1) + '.' + target.mid(slash + 1) + ".part" + QByteArray::number(::getpid()) + '-'
           + QByteArray::number(++serial);
}

// Makes a rename or a new link in `folder` itself survive a power loss.
bool syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Gives the file open as `fd` the name `target`: directly when there is no
// such file yet, else a fresh name beside it renamed over it. Unless told
// otherwise through `retryNamed`, a failure is final.
bool linkAndRename(int fd, const QByteArray &target, bool targetExists, bool *retryNamed)
{
    const QByteArray handle = "/proc/self/fd/" + QByteArray::number(fd);
    if (!targetExists) {
        if (::linkat(AT_FDCWD, handle.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST) {
            *retryNamed = true;
            return false;
        }
        // Made meanwhile by someone else: replaced as below.
    }
    for (int attempt = 0; attempt < maxTempNames; ++attempt) {
        const QByteArray temp = partName(target);
        if (::linkat(AT_FDCWD, handle.constData(), AT_FDCWD, temp.constData(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST)
                continue;
            *retryNamed = true; // no /proc, or links not allowed here
            return false;
        }
        if (::rename(temp.constData(), target.constData()) == 0)
            return true;
        ::unlink(temp.constData());
        return false;
    }
    return false;
}

// Opens a hidden named temporary file beside `target`, or -1.
int openNamedPart(const QByteArray &target, QByteArray &temp)
{
    for (int attempt = 0; attempt < maxTempNames; ++attempt) {
        temp = partName(target);
        const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

bool xfer::replaceFile(const QString &path, QByteArrayView data, flush mode)
{
    const QByteArray target = QFile::encodeName(path);
    struct stat existing {};
    const bool exists = ::stat(target.constData(), &existing) == 0;
    // An existing file without write permission is read-only, whoever we run as.
    if (exists && (S_ISDIR(existing.st_mode) || !(existing.st_mode & S_IWUSR)))
        return true;
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const auto keepMode = [&](int fd) { return !exists || ::fchmod(fd, existing.st_mode & 07777) == 0; };
    const auto fill = [&](int fd) {
        return keepMode(fd) && writeAll(fd, data.data(), data.size()) && (mode == flush::byKernel || ::fdatasync(fd) == 0);
    };
    const auto settled = [&] { return mode == flush::byKernel || syncFolder(folder); };

    // The content goes to an unnamed file (O_TMPFILE) that gets its name only
    // once complete.
    int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        bool retryNamed = false;
        const bool ok = fill(fd) && linkAndRename(fd, target, exists, &retryNamed);
        ::close(fd);
        if (ok)
            return !settled();
        if (!retryNamed)
            return true;
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return true;
    }

    // Where unnamed files are not available: a hidden named one.
    QByteArray temp;
    fd = openNamedPart(target, temp);
    if (fd < 0)
        return true;
    bool ok = fill(fd);
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), target.constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return !ok || !settled();
}

bool xfer::saveCompressedFile(QByteArrayView hex, qint64 size, const QString &folder, const QString &name,
                              QString *error)
{
    QByteArray compressed;
    appendFromHex(hex, compressed);
    return saveCompressedBytes(compressed, size, folder, name, error);
}

bool xfer::saveCompressedFile(QStringView hex, qint64 size, const QString &folder, const QString &name,
                              QString *error)
{
    QByteArray compressed;
    appendFromHex(hex, compressed);
    return saveCompressedBytes(compressed, size, folder, name, error);
}

bool xfer::saveCompressedBytes(QByteArrayView compressed, qint64 size, const QString &folder, const QString &name,
                               QString *error, flush mode)
{
    // The size comes from the peer: refuse it before it sizes an allocation.
    if (size < 0 || size > maxUncompressedSize) {
        setError(error, QStringLiteral("File size %1 is outside the transfer limit of %2 bytes")
                            .arg(size)
                            .arg(maxUncompressedSize));
        qCDebug(lcCommon) << "decompress error";
        return true;
    }
    QByteArray output;
    try {
        resizeLarge(output, static_cast<qsizetype>(size));
    } catch (const std::bad_alloc &) {
        setError(error, QStringLiteral("::saveCompressedFile: Memory error"));
        qCDebug(lcCommon) << "xfer::saveCompressedFile: Memory error";
        return true;
    }
    // At most `size` bytes, as the peer announced; a shorter stream is taken
    // as it is, and bytes after the stream's end are ignored.
    size_t produced = 0;
    size_t consumed = 0;
    char emptyTarget = 0;
    char *target = size > 0 ? output.data() : &emptyTarget;
    libdeflate_decompressor *decompressor = threadDecompressor();
    if (!decompressor
        || libdeflate_zlib_decompress_ex(decompressor, compressed.data(), size_t(compressed.size()), target,
                                         size_t(size), &consumed, &produced)
               != LIBDEFLATE_SUCCESS) {
        // A stream that fails is read again by zlib, which peers have always
        // been answered by: what it takes is taken, and its code names the
        // failure in the words peers know.
        uLongf zlibProduced = static_cast<uLongf>(size);
        const int rc = uncompress(reinterpret_cast<Bytef *>(target), &zlibProduced,
                                  reinterpret_cast<const Bytef *>(compressed.data()), static_cast<uLong>(compressed.size()));
        if (rc != Z_OK) {
            setError(error, uncompressErrorText(rc));
            qCDebug(lcCommon) << "decompress error";
            return true;
        }
        produced = size_t(zlibProduced);
    }

    // Written beside the target and renamed over it: an interrupted write
    // leaves the previous file whole.
    const QString path = folder + QLatin1Char('/') + name;
    const QByteArrayView content(output.constData(), qsizetype(produced));
    bool failed = replaceFile(path, content, mode);
    if (failed) {
        // Missing folders are made after a first try fails; another thread
        // may have made them meanwhile, so the second try is made either way.
        makePath(path);
        failed = replaceFile(path, content, mode);
    }
    if (failed) {
        setError(error, QStringLiteral("Cannot open output file for writing"));
        return true;
    }
    return false;
}

void xfer::makePath(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
}

bool xfer::setFileDate(const QString &path, const QDateTime &when)
{
    const QString localPath = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QDateTime local(when.date(), QTime(when.time().hour(), when.time().minute(), when.time().second()),
                          Qt::LocalTime);
    const QFileInfo info(localPath);
    if (!info.exists() || info.isDir() || !local.isValid()) {
        qCDebug(lcCommon).noquote() << QStringLiteral("couldn't open file %1 to set date ").arg(path);
        return true;
    }
    // Linux keeps no settable creation time: modification and access time carry the date.
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(local.toSecsSinceEpoch());
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (::utimensat(AT_FDCWD, QFile::encodeName(localPath).constData(), times, 0) != 0) {
        qCDebug(lcCommon).noquote() << QStringLiteral("couldn't open file %1 to set date ").arg(path);
        return true;
    }
    return false;
}

bool xfer::copyToBackup(const QString &path)
{
    const QString backup = path + QStringLiteral(".tavex_configbackup");
    if (!QFileInfo::exists(backup) && QFileInfo(path).isFile())
        keepCopy(path, backup);
    return false;
}

bool xfer::keepCopy(const QString &from, const QString &to)
{
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (!QFile::copy(from, to))
        return false;
    const QDateTime modified = QFileInfo(from).lastModified();
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(modified.toSecsSinceEpoch());
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::utimensat(AT_FDCWD, QFile::encodeName(to).constData(), times, 0);
    return true;
}

bool xfer::renameToBackup(const QString &path)
{
    const QString backup = path + QStringLiteral(".tavex_configbackup");
    if (!QFileInfo::exists(backup))
        QFile::rename(path, backup);
    return false;
}
