#include "cTavexVersion.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>

namespace {

// ELF constants used here (from the generic ABI).
constexpr unsigned char elfMagic[4] = {0x7f, 'E', 'L', 'F'};
constexpr int eiClass = 4, eiData = 5;
constexpr int elfClass32 = 1, elfClass64 = 2;
constexpr int elfDataLsb = 1, elfDataMsb = 2;
constexpr quint32 shtNote = 7;
constexpr quint32 ptNote = 4;

// Owner and type of package-metadata notes, which carry our version strings.
constexpr char noteOwner[] = "FDO";
constexpr quint32 noteType = 0xcafe1a7e;

// Bounds-checked view of a mapped file with the byte order of the ELF file.
class ElfView
{
public:
    ElfView(const uchar *data, qint64 size)
        : m_data(data), m_size(size)
    {
    }

    bool init()
    {
        if (m_size < 52 || std::memcmp(m_data, elfMagic, 4) != 0)
            return false;
        m_64 = m_data[eiClass] == elfClass64;
        m_msb = m_data[eiData] == elfDataMsb;
        return (m_data[eiClass] == elfClass32 || m_64) && (m_data[eiData] == elfDataLsb || m_msb)
               && (!m_64 || m_size >= 64);
    }

    bool is64() const { return m_64; }

    bool fits(quint64 offset, quint64 length) const
    {
        return offset <= quint64(m_size) && length <= quint64(m_size) - offset;
    }

    quint64 read(quint64 offset, int width) const
    {
        if (!fits(offset, quint64(width)))
            return 0;
        quint64 value = 0;
        for (int i = 0; i < width; ++i) {
            const int index = m_msb ? i : width - 1 - i;
            value = value << 8 | m_data[offset + quint64(index)];
        }
        return value;
    }
    quint64 word(quint64 offset) const { return read(offset, 4); }
    quint64 addr(quint64 offset) const { return read(offset, m_64 ? 8 : 4); }
    quint64 half(quint64 offset) const { return read(offset, 2); }
    const uchar *at(quint64 offset) const { return m_data + offset; }

private:
    const uchar *m_data;
    qint64 m_size;
    bool m_64 = false;
    bool m_msb = false;
};

quint64 alignUp(quint64 value, quint64 alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Searches one note area for our note; returns its payload or an empty array.
QByteArray findNote(const ElfView &elf, quint64 offset, quint64 size, quint64 alignment)
{
    if (!elf.fits(offset, size))
        return QByteArray();
    alignment = alignment == 8 ? 8 : 4;
    const quint64 end = offset + size;
    quint64 pos = offset;
    while (pos + 12 <= end) {
        const quint64 nameSize = elf.word(pos);
        const quint64 descSize = elf.word(pos + 4);
        const quint64 type = elf.word(pos + 8);
        const quint64 nameAt = pos + 12;
        const quint64 descAt = alignUp(nameAt + nameSize, alignment);
        const quint64 next = alignUp(descAt + descSize, alignment);
        if (nameSize > size || descSize > size || descAt + descSize > end)
            break;
        if (type == noteType && nameSize == sizeof(noteOwner)
            && std::memcmp(elf.at(nameAt), noteOwner, sizeof(noteOwner)) == 0) {
            QByteArray payload(reinterpret_cast<const char *>(elf.at(descAt)), qsizetype(descSize));
            while (payload.endsWith('\0'))
                payload.chop(1);
            return payload;
        }
        if (next <= pos)
            break;
        pos = next;
    }
    return QByteArray();
}

QByteArray findVersionNote(const ElfView &elf)
{
    // Section headers first; stripped files may keep only program headers.
    const quint64 shoff = elf.addr(elf.is64() ? 0x28 : 0x20);
    const quint64 shentsize = elf.half(elf.is64() ? 0x3A : 0x2E);
    const quint64 shnum = elf.half(elf.is64() ? 0x3C : 0x30);
    if (shoff && shentsize >= (elf.is64() ? 64u : 40u) && elf.fits(shoff, shentsize * shnum)) {
        for (quint64 i = 0; i < shnum; ++i) {
            const quint64 sh = shoff + i * shentsize;
            if (elf.word(sh + 4) != shtNote)
                continue;
            const quint64 offset = elf.addr(sh + (elf.is64() ? 0x18 : 0x10));
            const quint64 size = elf.addr(sh + (elf.is64() ? 0x20 : 0x14));
            const quint64 align = elf.addr(sh + (elf.is64() ? 0x30 : 0x20));
            const QByteArray note = findNote(elf, offset, size, align);
            if (!note.isEmpty())
                return note;
        }
    }
    const quint64 phoff = elf.addr(elf.is64() ? 0x20 : 0x1C);
    const quint64 phentsize = elf.half(elf.is64() ? 0x36 : 0x2A);
    const quint64 phnum = elf.half(elf.is64() ? 0x38 : 0x2C);
    if (phoff && phentsize >= (elf.is64() ? 56u : 32u) && elf.fits(phoff, phentsize * phnum)) {
        for (quint64 i = 0; i < phnum; ++i) {
            const quint64 ph = phoff + i * phentsize;
            if (elf.word(ph) != ptNote)
                continue;
            const quint64 offset = elf.addr(ph + (elf.is64() ? 0x08 : 0x04));
            const quint64 size = elf.addr(ph + (elf.is64() ? 0x20 : 0x10));
            const quint64 align = elf.addr(ph + (elf.is64() ? 0x30 : 0x1C));
            const QByteArray note = findNote(elf, offset, size, align);
            if (!note.isEmpty())
                return note;
        }
    }
    return QByteArray();
}

QString versionText(QString text)
{
    return text.replace(QLatin1Char(','), QLatin1Char('.'));
}

} // namespace

QByteArray cTavexVersion::readVersionNote(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly) || in.size() <= 0)
        return QByteArray();
    const uchar *data = in.map(0, in.size());
    if (!data)
        return QByteArray();
    ElfView elf(data, in.size());
    QByteArray note = elf.init() ? findVersionNote(elf) : QByteArray();
    in.unmap(const_cast<uchar *>(data));
    return note;
}

cTavexVersion::cTavexVersion(const QString &path)
{
    if (path.isEmpty())
        return;
    m_fileName = path;

    const QJsonObject root = QJsonDocument::fromJson(readVersionNote(path)).object();
    const QJsonArray translations = root.value(QLatin1String("VarFileInfo")).toObject()
                                        .value(QLatin1String("Translation")).toArray();
    if (translations.isEmpty())
        return;
    const QString language = translations.first().toString().toUpper();
    const QJsonObject strings = root.value(QLatin1String("StringFileInfo")).toObject().value(language).toObject();

    const struct
    {
        const char *key;
        QString cTavexVersion::*member;
    } fields[] = {
        {"FileVersion", &cTavexVersion::m_fileVersion},
        {"FileDescription", &cTavexVersion::m_fileDescription},
        {"Comments", &cTavexVersion::m_comments},
        {"InternalName", &cTavexVersion::m_internalName},
        {"ProductName", &cTavexVersion::m_productName},
        {"CompanyName", &cTavexVersion::m_companyName},
        {"LegalCopyright", &cTavexVersion::m_legalNotice},
        {"ProductVersion", &cTavexVersion::m_productVersion},
        {"LegalTradeMarks", &cTavexVersion::m_legalTrademarks},
        {"PrivateBuild", &cTavexVersion::m_privateBuild},
        {"OriginalFileName", &cTavexVersion::m_resourceFileName},
        {"SpecialBuild", &cTavexVersion::m_specialBuild},
    };
    for (const auto &field : fields) {
        const QString value = strings.value(QLatin1String(field.key)).toString();
        if (!value.isEmpty())
            this->*field.member = value;
    }
    m_fileVersion = m_fileVersion.isNull() ? QString() : versionText(m_fileVersion);
    m_productVersion = m_productVersion.isNull() ? QString() : versionText(m_productVersion);
}

cTavexVersion::~cTavexVersion() = default;
