// The profile (INI) file reader on arbitrary file content: every lookup of
// the sections and keys the lines seem to name, then one write, after which
// the key must read back and every other line must be as it was.
#include "fuzzSupport.h"
#include "profileFile.h"

#include <QFile>
#include <QStringDecoder>

namespace {

using namespace fuzzSupport;

constexpr qsizetype maxNames = 64;
const QString writtenValue = QStringLiteral("fuzz-42");

// Lines as stored, without their line break. Trailing CRs go too: values
// are trimmed, and a write may turn a last "\r\r" into "\r\n".
QList<QByteArray> linesOf(const QByteArray &content)
{
    QList<QByteArray> lines = content.split('\n');
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast(); // after a final line break
    for (QByteArray &line : lines) {
        while (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

QString decodeLine(const QByteArray &line)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(line);
    return utf8.hasError() ? QString::fromLatin1(line) : text;
}

// Names to look up: what stands in brackets, and before "=", on each line.
void candidates(const QList<QByteArray> &lines, QStringList &sections, QStringList &keys)
{
    for (const QByteArray &line : lines) {
        const QString text = decodeLine(line).trimmed();
        const qsizetype open = text.indexOf(QLatin1Char('['));
        if (open >= 0 && sections.size() < maxNames) {
            const qsizetype close = text.indexOf(QLatin1Char(']'), open);
            sections << text.mid(open + 1, close < 0 ? -1 : close - open - 1).trimmed();
        }
        const qsizetype eq = text.indexOf(QLatin1Char('='));
        if (eq > 0 && keys.size() < maxNames)
            keys << text.left(eq).trimmed();
    }
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startApplication(appKind::core);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = scratchFolder() + QStringLiteral("/profile.ini");
    const QByteArray before(reinterpret_cast<const char *>(data), qsizetype(size));
    writeFile(path, before);

    QStringList sections;
    QStringList keys;
    candidates(linesOf(before), sections, keys);
    // The first section named, or one the file lacks, gets the write below.
    const QString section = sections.isEmpty() ? QStringLiteral("Fuzz") : sections.first();
    sections << QStringLiteral("Users") << QString();
    keys << QStringLiteral("ops") << QString();

    const profileFile file(path);
    for (const QString &name : std::as_const(sections)) {
        const QList<QString> listed = file.keys(name);
        for (const QString &key : listed) {
            if (!file.contains(name, key))
                fail("a listed key is not found:", name + QLatin1Char('/') + key);
            file.readInt(name, key, -7);
        }
        for (const QString &key : std::as_const(keys)) {
            // No value holds a line break: the default shows whether the key was found.
            const QString value = file.readString(name, key, QStringLiteral("\n"));
            if (file.contains(name, key) == (value == u"\n"))
                fail("contains and readString disagree:", name + QLatin1Char('/') + key);
            file.readInt(name, key, 0);
        }
    }

    const QList<QString> present = file.keys(section);
    const QString key = present.isEmpty() ? QStringLiteral("FuzzKey") : present.first();
    profileFile writer(path);
    if (!writer.writeString(section, key, writtenValue))
        fail("cannot write the profile file");
    const QString readBack = profileFile(path).readString(section, key);
    if (readBack != writtenValue)
        fail("the written key reads back as", section + QLatin1Char('/') + key + QStringLiteral(" = ") + readBack);

    // Apart from one changed line, or up to three added ones (a blank line,
    // a section header and the key), the file is as it was.
    const QList<QByteArray> old = linesOf(before);
    const QList<QByteArray> now = linesOf(readAll(path));
    qsizetype head = 0;
    while (head < old.size() && head < now.size() && old.at(head) == now.at(head))
        ++head;
    qsizetype tail = 0;
    while (tail < old.size() - head && tail < now.size() - head
           && old.at(old.size() - 1 - tail) == now.at(now.size() - 1 - tail))
        ++tail;
    if (old.size() - head - tail > 1 || now.size() - head - tail > 3)
        fail("the write changed other lines, from line", QString::number(head + 1));
    return 0;
}
