#include "xfer.h"

#include "common_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

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
// wrong, and uncompress rejects them.
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
    bytes.resize(start + pairs);
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

} // namespace

void xfer::toHex(QByteArrayView bytes, QByteArray &hex)
{
    hex.resize(bytes.size() * 2);
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

bool xfer::compressFile(const QString &path, QByteArray &hex)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return true;
    const qint64 size = in.size();
    if (size > maxUncompressedSize) {
        // No peer would accept it; it also keeps the length within zlib's 32 bits.
        qCDebug(lcCommon).noquote() << QStringLiteral("xfer::compressFile: too large to send: ") + path;
        return true;
    }
    const QByteArray content = in.readAll();
    if (in.error() != QFileDevice::NoError || content.size() != size) {
        qCDebug(lcCommon).noquote() << QStringLiteral("xfer::compressFile: cannot read ") + path;
        return true;
    }

    // The same stream as zlib's compress(), deflated in chunks that go straight into hex text.
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK)
        return true;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(content.constData()));
    stream.avail_in = static_cast<uInt>(content.size());
    QByteArray result;
    result.reserve(qsizetype(2 * deflateBound(&stream, static_cast<uLong>(size))));
    unsigned char chunk[64 * 1024];
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = chunk;
        stream.avail_out = sizeof chunk;
        rc = deflate(&stream, Z_FINISH);
        const qsizetype produced = qsizetype(sizeof chunk - stream.avail_out);
        const qsizetype at = result.size();
        result.resize(at + 2 * produced);
        char *out = result.data() + at;
        for (qsizetype i = 0; i < produced; ++i, out += 2)
            std::memcpy(out, encodeTable[chunk[i]].data(), 2);
    }
    deflateEnd(&stream);
    if (rc != Z_STREAM_END) {
        qCDebug(lcCommon).noquote() << QStringLiteral("xfer::compressFile: compress error %1 for ").arg(rc) + path;
        return true;
    }
    hex = std::move(result);
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

// A name beside `target` for a file on its way there; unique within this
// process, and the process id keeps other writers apart.
QByteArray partName(const QByteArray &target)
{
    static std::atomic<unsigned> serial{0};
    return target + ".part" + QByteArray::number(::getpid()) + '-' + QByteArray::number(++serial);
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
    for (int attempt = 0; attempt < 100; ++attempt) {
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

// Writes `data` to path and puts it in place by a rename, without waiting for
// the disk. The content is written to an unnamed file (O_TMPFILE) that only
// gets a name once complete, so a program stopped mid-write leaves nothing
// behind that a later scan of the folder would take for a configuration
// file. Where unnamed files are not available, a named temporary file beside
// the target is used. An existing file keeps its permissions; a new one gets
// those of open(2) under the file creation mask. A folder, or a file its
// owner may not write, is not replaced.
bool replaceWithoutSync(const QString &path, const char *data, qint64 length)
{
    const QByteArray target = QFile::encodeName(path);
    struct stat existing {};
    const bool exists = ::stat(target.constData(), &existing) == 0;
    if (exists && (S_ISDIR(existing.st_mode) || !(existing.st_mode & S_IWUSR)))
        return false;
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const auto keepMode = [&](int fd) { return !exists || ::fchmod(fd, existing.st_mode & 07777) == 0; };

    int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0 && errno == ENOENT) {
        xfer::makePath(path);
        fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    }
    if (fd >= 0) {
        bool retryNamed = false;
        const bool ok = keepMode(fd) && writeAll(fd, data, length) && linkAndRename(fd, target, exists, &retryNamed);
        ::close(fd);
        if (ok || !retryNamed)
            return ok;
        fd = -1;
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return false;
    }

    QByteArray temp;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = partName(target);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = keepMode(fd) && writeAll(fd, data, length);
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), target.constData()) == 0;
    if (!ok)
        ::unlink(temp.constData());
    return ok;
}

} // namespace

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
        output.resize(static_cast<qsizetype>(size));
    } catch (const std::bad_alloc &) {
        setError(error, QStringLiteral("::saveCompressedFile: Memory error"));
        qCDebug(lcCommon) << "xfer::saveCompressedFile: Memory error";
        return true;
    }
    uLongf produced = static_cast<uLongf>(size);
    // uncompress wants a non-null destination even for an empty file.
    Bytef emptyTarget = 0;
    Bytef *target = size > 0 ? reinterpret_cast<Bytef *>(output.data()) : &emptyTarget;
    const int rc = uncompress(target, &produced, reinterpret_cast<const Bytef *>(compressed.data()),
                              static_cast<uLong>(compressed.size()));
    if (rc != Z_OK) {
        setError(error, uncompressErrorText(rc));
        qCDebug(lcCommon) << "decompress error";
        return true;
    }

    const QString path = folder + QLatin1Char('/') + name;
    // Written beside the target and renamed over it: an interrupted write
    // leaves the previous file whole.
    if (mode == flush::byKernel) {
        if (replaceWithoutSync(path, output.constData(), static_cast<qint64>(produced)))
            return false;
        setError(error, QStringLiteral("Cannot open output file for writing"));
        return true;
    }
    makePath(path);
    // An existing file without write permission is read-only, whoever we run as.
    const QFileInfo existing(path);
    if (existing.isDir() || (existing.exists() && !(existing.permissions() & QFileDevice::WriteOwner))) {
        setError(error, QStringLiteral("Cannot open output file for writing"));
        return true;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)) {
        setError(error, QStringLiteral("Cannot open output file for writing"));
        return true;
    }
    out.write(output.constData(), static_cast<qint64>(produced));
    if (!out.commit()) {
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
