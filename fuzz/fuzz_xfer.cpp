// The hex and compressed-transfer decoders. Input: one flag byte (its high
// four bits shift the size right, so that small sizes are common), three
// bytes of uncompressed size (kept to 256 KiB: the real limit would make every
// run allocate 256 MiB), one byte for the hex buffer's limit, then the
// payload, taken as compressed bytes and as hex text.
#include "fuzzSupport.h"
#include "hexBuffer.h"
#include "xfer.h"

#include <QDir>
#include <QFile>

#include <zlib.h>

namespace {

using namespace fuzzSupport;

constexpr qsizetype headerSize = 5;
constexpr qint64 sizeCap = 256 * 1024;

enum flags : unsigned char {
    byKernel = 1,       // write without waiting for the disk
    compressFirst = 2,  // the payload is compressed here first, so that it unpacks
    sizeOutOfRange = 4, // a size beyond the limit, or below zero
    negativeSize = 8,
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// zlib's own answer for the same input: the expected file, or a null array.
QByteArray expectedContent(QByteArrayView compressed, qint64 size)
{
    if (size < 0 || size > xfer::maxUncompressedSize)
        return QByteArray();
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    uLongf produced = uLongf(size);
    Bytef empty = 0;
    const int rc = uncompress(size > 0 ? reinterpret_cast<Bytef *>(out.data()) : &empty, &produced,
                              reinterpret_cast<const Bytef *>(compressed.data()), uLong(compressed.size()));
    if (rc != Z_OK)
        return QByteArray();
    out.truncate(qsizetype(produced));
    return out.isNull() ? QByteArray("") : out;
}

void checkSaved(bool failed, const QString &error, const QByteArray &expected, const QString &path, const char *how)
{
    if (failed != expected.isNull())
        fail(how, failed ? QStringLiteral("failed where zlib unpacks: ") + error : QStringLiteral("stored what zlib refuses"));
    if (failed && error.isEmpty())
        fail(how, QStringLiteral("failed without a reason"));
    if (!failed && readAll(path) != expected)
        fail(how, QStringLiteral("stored other bytes than zlib unpacks"));
}

// The payload's bytes as UTF-16 units: characters far beyond Latin-1 too.
QString asUtf16(QByteArrayView bytes)
{
    QString text(bytes.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(char16_t(uchar(bytes[2 * i]) | uchar(bytes[2 * i + 1]) << 8));
    return text;
}

void checkHexBuffer(QStringView text, qint64 limit, QByteArrayView cuts)
{
    QByteArray whole;
    xfer::appendFromHex(text, whole);
    hexBuffer buffer(limit);
    qsizetype at = 0;
    for (qsizetype i = 0; at < text.size(); ++i) {
        // Piece lengths from the payload, 0 among them.
        const qsizetype n = cuts.isEmpty() ? text.size() : qMin<qsizetype>(uchar(cuts[i % cuts.size()]) % 23, text.size() - at);
        buffer.append(text.sliced(at, n));
        at += n;
        if (i > 4 * text.size() + 8)
            break; // only zero-length pieces
    }
    if (at < text.size())
        buffer.append(text.sliced(at));
    if (buffer.textLength() != text.size())
        fail("hexBuffer counted another text length:", QString::number(buffer.textLength()));
    if (buffer.overflowed() != (text.size() > limit))
        fail("hexBuffer overflow flag wrong at length", QString::number(text.size()));
    const QByteArray expected = buffer.overflowed() ? QByteArray() : whole;
    if (buffer.bytes() != expected)
        fail("hexBuffer decoded pieces unlike the whole text, length", QString::number(text.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startApplication(appKind::core);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < size_t(headerSize))
        return 0;
    const unsigned char flags = data[0];
    qint64 fileSize = qMin((qint64(data[1]) << 16 | qint64(data[2]) << 8 | data[3]) >> (flags >> 4), sizeCap);
    if (flags & sizeOutOfRange)
        fileSize = flags & negativeSize ? -1 - fileSize : xfer::maxUncompressedSize + 1 + fileSize;
    const qint64 limit = data[4] == 0xFF ? hexBuffer::defaultLimit() : qint64(data[4]) * 8;
    const QByteArrayView payload(reinterpret_cast<const char *>(data) + headerSize, qsizetype(size) - headerSize);

    // Hex text: encoding and decoding agree, and the byte and text forms
    // of the decoder agree on Latin-1.
    const QByteArray hex = xfer::toHex(payload);
    QByteArray back;
    xfer::appendFromHex(hex, back);
    if (back != payload)
        fail("hex of the payload does not decode to it");
    QByteArray fromBytes;
    QByteArray fromText;
    xfer::appendFromHex(payload, fromBytes);
    xfer::appendFromHex(QString::fromLatin1(payload), fromText);
    if (fromBytes != fromText)
        fail("byte and text hex decoders disagree");

    checkHexBuffer(QString::fromLatin1(payload), limit, payload);
    checkHexBuffer(asUtf16(payload), limit, payload.sliced(payload.size() / 2));

    // Compressed transfer into a clean folder: stored exactly when zlib
    // unpacks the bytes into the size given, and then with zlib's content.
    const QString folder = scratchFolder() + QStringLiteral("/xfer");
    QDir(folder).removeRecursively();
    QByteArray compressed = payload.toByteArray();
    if (flags & compressFirst) {
        uLongf packedSize = compressBound(uLong(payload.size()));
        compressed.resize(qsizetype(packedSize));
        compress(reinterpret_cast<Bytef *>(compressed.data()), &packedSize,
                 reinterpret_cast<const Bytef *>(payload.data()), uLong(payload.size()));
        compressed.resize(qsizetype(packedSize));
    }
    const QByteArray expected = expectedContent(compressed, fileSize);
    const xfer::flush mode = flags & byKernel ? xfer::flush::byKernel : xfer::flush::toDisk;
    const QString name = QStringLiteral("sub/dir/out.bin");
    QString error;
    bool failed = xfer::saveCompressedBytes(compressed, fileSize, folder, name, &error, mode);
    checkSaved(failed, error, expected, folder + QLatin1Char('/') + name, "saveCompressedBytes:");

    // Again over the file just written, through both hex forms.
    const QByteArray packedHex = xfer::toHex(compressed);
    error.clear();
    failed = xfer::saveCompressedFile(QByteArrayView(packedHex), fileSize, folder, name, &error);
    checkSaved(failed, error, expected, folder + QLatin1Char('/') + name, "saveCompressedFile (bytes):");
    error.clear();
    failed = xfer::saveCompressedFile(QStringView(QString::fromLatin1(packedHex)), fileSize, folder,
                                      QStringLiteral("other.bin"), &error);
    checkSaved(failed, error, expected, folder + QStringLiteral("/other.bin"), "saveCompressedFile (text):");

    // The payload itself as hex text, digits or not.
    error.clear();
    QByteArray decoded;
    xfer::appendFromHex(payload, decoded);
    failed = xfer::saveCompressedFile(payload, fileSize, folder, QStringLiteral("raw.bin"), &error);
    checkSaved(failed, error, expectedContent(decoded, fileSize), folder + QStringLiteral("/raw.bin"),
               "saveCompressedFile (raw text):");
    return 0;
}
