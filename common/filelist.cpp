#include "filelist.h"

#include "common_log.h"
#include "protocol.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTextStream>

#include <vector>

const char filelistSignature[] = "TAVEX_SIG,name=filelist,type=LIB,version=4.5.3.0,date=08/05/2015";

namespace {

// File times travel in whole seconds; comparing sub-second local times with
// received ones would report every file as changed.
QDateTime wholeSeconds(const QDateTime &when)
{
    return QDateTime::fromSecsSinceEpoch(when.toSecsSinceEpoch());
}

} // namespace

void filelist::addExclusion(const QString &pattern, bool wildcard)
{
    exclusion e;
    e.wildcard = wildcard;
    if (wildcard)
        e.pattern = QRegularExpression(QRegularExpression::wildcardToRegularExpression(
            pattern, QRegularExpression::UnanchoredWildcardConversion), QRegularExpression::CaseInsensitiveOption);
    else
        e.pattern = QRegularExpression(pattern);
    if (wildcard)
        e.pattern.setPattern(QRegularExpression::anchoredPattern(e.pattern.pattern()));
    exclusions.append(e);
}

bool filelist::isExcluded(const QString &name, bool topLevel) const
{
    if (topLevel && !excludedNames.isEmpty() && excludedNames.contains(name.toLower())) {
        qCDebug(lcCommon).noquote() << name + QStringLiteral(" excluded");
        return true;
    }
    for (const exclusion &e : exclusions) {
        if (e.pattern.match(name).hasMatch()) {
            qCDebug(lcCommon).noquote()
                << name + (e.wildcard ? QStringLiteral(" regexp wildcard excluded") : QStringLiteral(" regexp excluded"));
            return true;
        }
    }
    return false;
}

void filelist::scan(const QString &root, const QString &relative)
{
    QSet<QString> visited;
    scanFolder(root, relative, visited);
}

void filelist::scanFolder(const QString &root, const QString &relative, QSet<QString> &visited)
{
    const QString folder = relative.isEmpty() ? root : root + QLatin1Char('/') + relative;
    const QDir dir(folder);
    valid = dir.exists();
    if (!valid) {
        qCDebug(lcCommon).noquote() << QStringLiteral("filelist: this path is not valid/available: ") + folder;
        return;
    }
    // A folder reached twice through symbolic links would otherwise be scanned without end.
    visited.insert(QFileInfo(folder).canonicalFilePath());

    const QFileInfoList infos = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Drives | QDir::NoDotAndDotDot,
                                                  QDir::Name | QDir::IgnoreCase);
    const QString prefix = relative.isEmpty() ? QString() : relative + QLatin1Char('/');
    for (const QFileInfo &info : infos) {
        const QString name = info.fileName();
        if (isExcluded(name, relative.isEmpty()))
            continue;
        if (info.isDir()) {
            file entry;
            entry.name = prefix + name;
            entries.append(entry);
            if (!visited.contains(info.canonicalFilePath()))
                scanFolder(root, entry.name, visited);
            valid = true; // the recursion set it for the sub-folder; this folder exists
        } else {
            entries.append(file{prefix + name, wholeSeconds(info.lastModified()), info.size()});
        }
    }
}

namespace {

// Names match without regard to case, as if both sides were in lower case.
inline char16_t lower(char16_t c)
{
    if (c < 128)
        return c >= 'A' && c <= 'Z' ? char16_t(c + 32) : c;
    return char16_t(QChar::toLower(char32_t(c)));
}

quint64 lowerHash(QStringView name)
{
    quint64 h = 1469598103934665603ull; // FNV-1a
    for (QChar c : name) {
        h ^= lower(c.unicode());
        h *= 1099511628211ull;
    }
    return h ^ (h >> 29);
}

bool sameLowerName(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && lower(a[i].unicode()) != lower(b[i].unicode()))
            return false;
    }
    return true;
}

// Slave entries grouped by name in an open-addressing table over flat arrays:
// no allocation per entry, so large lists cost per entry what small ones do.
// Each group hands out its entries in list order.
class NameIndex
{
public:
    // Table slots are loaded this many entries ahead of their use: on large
    // lists the table outgrows the processor cache, and its slots are visited
    // in no order.
    static constexpr size_t prefetchDistance = 8;

    explicit NameIndex(const QList<file> &slaves)
        : m_slaves(slaves), m_sameName(size_t(slaves.size()), -1), m_groupOf(size_t(slaves.size()), 0)
    {
        size_t capacity = 16;
        while (capacity < size_t(slaves.size()) * 3 / 2)
            capacity *= 2;
        m_mask = capacity - 1;
        m_slots.assign(capacity, Slot{});
        std::vector<qint32> last(capacity, -1);
        std::vector<quint64> hashes(size_t(slaves.size()));
        for (qsizetype i = 0; i < slaves.size(); ++i)
            hashes[size_t(i)] = lowerHash(slaves.at(i).name);
        for (qint32 i = 0; i < qint32(slaves.size()); ++i) {
            if (size_t(i) + prefetchDistance < hashes.size())
                prefetch(hashes[size_t(i) + prefetchDistance]);
            const quint64 hash = hashes[size_t(i)];
            const size_t slot = findSlot(slaves.at(i).name, hash);
            Slot &s = m_slots[slot];
            if (s.first < 0) {
                s.tag = quint32(hash >> 32);
                s.first = s.next = i;
            } else {
                m_sameName[size_t(last[slot])] = i;
            }
            last[slot] = i;
            m_groupOf[size_t(i)] = quint32(slot);
        }
    }

    // Starts loading the table slot where a name of this hash is looked up.
    void prefetch(quint64 hash) const { __builtin_prefetch(&m_slots[size_t(hash) & m_mask]); }

    // The next unmatched slave entry of the name, or -1; marks the name as
    // present in the master list either way.
    qsizetype take(QStringView name, quint64 hash)
    {
        Slot &s = m_slots[findSlot(name, hash)];
        if (s.first < 0)
            return -1;
        s.inMaster = 1;
        const qint32 taken = s.next;
        if (taken >= 0)
            s.next = m_sameName[size_t(taken)];
        return taken;
    }

    bool nameInMaster(qsizetype slave) const { return m_slots[m_groupOf[size_t(slave)]].inMaster; }

private:
    // 16 bytes, so that the table of a large list still fits the processor cache.
    struct Slot
    {
        quint32 tag = 0;    // high half of the name's hash
        qint32 first = -1;  // first slave entry of the name; -1 for an empty slot
        qint32 next = -1;   // first slave entry of the name not yet matched
        qint32 inMaster = 0;
    };

    size_t findSlot(QStringView name, quint64 hash) const
    {
        const quint32 tag = quint32(hash >> 32);
        for (size_t slot = size_t(hash) & m_mask;; slot = (slot + 1) & m_mask) {
            const Slot &s = m_slots[slot];
            if (s.first < 0 || (s.tag == tag && sameLowerName(m_slaves.at(s.first).name, name)))
                return slot;
        }
    }

    const QList<file> &m_slaves;
    std::vector<Slot> m_slots;
    std::vector<qint32> m_sameName;
    std::vector<quint32> m_groupOf;
    size_t m_mask = 0;
};

// Wall-clock seconds of a local date-time. Dates on the wire are local wall
// clock times; comparing them this way needs no time-zone conversion.
qint64 wallSeconds(const QDateTime &when)
{
    return when.date().toJulianDay() * 86400 + when.time().msecsSinceStartOfDay() / 1000;
}

// Within 2 seconds either way a date counts as the same moment written by
// another file system; the entry is then neither changed nor unchanged.
enum class DateMatch { Equal, Tolerated, Different };

DateMatch matchDates(const QDateTime &master, const QDateTime &slave)
{
    if (master.isNull() || slave.isNull())
        return master.isNull() == slave.isNull() ? DateMatch::Equal : DateMatch::Different;
    const qint64 diff = wallSeconds(slave) - wallSeconds(master);
    if (diff == 0)
        return DateMatch::Equal;
    return diff >= -2 && diff <= 2 ? DateMatch::Tolerated : DateMatch::Different;
}

} // namespace

void filelist::compare(const filelist &other, bool skip)
{
    skipUnchanged = skip;
    added.clear();
    changed.clear();
    removed.clear();
    unchanged.clear();

    // Each master entry takes the first slave entry of its name that no
    // earlier master entry took.
    NameIndex slaves(other.entries);
    std::vector<quint64> hashes(size_t(entries.size()));
    for (qsizetype i = 0; i < entries.size(); ++i)
        hashes[size_t(i)] = lowerHash(entries.at(i).name);
    constexpr qsizetype ahead = NameIndex::prefetchDistance;
    for (qsizetype i = 0; i < qMin(ahead, entries.size()); ++i)
        slaves.prefetch(hashes[size_t(i)]);
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (i + ahead < entries.size())
            slaves.prefetch(hashes[size_t(i + ahead)]);
        const file &master = entries.at(i);
        const qsizetype taken = slaves.take(master.name, hashes[size_t(i)]);
        if (taken < 0) {
            added.append(master);
            continue;
        }
        const file &slave = other.entries.at(taken);
        switch (matchDates(master.modified, slave.modified)) {
        case DateMatch::Different:
            changed.append(master);
            break;
        case DateMatch::Tolerated:
            break;
        case DateMatch::Equal:
            if (slave.size != master.size)
                changed.append(master);
            else if (!skipUnchanged)
                unchanged.append(master);
            break;
        }
    }

    for (qsizetype i = 0; i < other.entries.size(); ++i) {
        if (!slaves.nameInMaster(i)) {
            const file &slave = other.entries.at(i);
            removed.append(file{slave.name.toLower(), slave.modified, slave.size});
        }
    }
}

void filelist::write(QTextStream &out) const
{
    if (!valid)
        return;
    for (const file &entry : entries) {
        out << "\t<data name=\"" << protocol::escape(entry.name) << "\" date=\"" << protocol::isoDate(entry.modified)
            << "\" size=\"" << entry.size << "\"/>\r\n";
    }
}

QByteArray filelist::toData() const
{
    QByteArray data;
    if (!valid)
        return data;
    data.reserve(entries.size() * 64);
    for (const file &entry : entries) {
        data += "\t<data name=\"";
        data += protocol::escape(entry.name).toUtf8();
        data += "\" date=\"";
        data += protocol::isoDate(entry.modified).toLatin1();
        data += "\" size=\"";
        data += QByteArray::number(entry.size);
        data += "\"/>\r\n";
    }
    return data;
}
