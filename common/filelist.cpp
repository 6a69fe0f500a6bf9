#include "filelist.h"

#include "common_log.h"
#include "protocol.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTextStream>

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

void filelist::compare(const filelist &other, bool skip)
{
    skipUnchanged = skip;
    added.clear();
    changed.clear();
    removed.clear();
    unchanged.clear();

    // Slave entries by lower-case name, in list order; each is matched at most
    // once, the first unmatched one of a name going to the next master entry.
    QHash<QString, QList<qsizetype>> slaveByName;
    slaveByName.reserve(other.entries.size());
    for (qsizetype i = 0; i < other.entries.size(); ++i)
        slaveByName[other.entries.at(i).name.toLower()].append(i);
    QHash<QString, qsizetype> nextUnmatched;

    QSet<QString> masterNames;
    masterNames.reserve(entries.size());
    for (const file &master : entries) {
        const QString key = master.name.toLower();
        masterNames.insert(key);
        const auto found = slaveByName.constFind(key);
        qsizetype &next = nextUnmatched[key];
        if (found == slaveByName.constEnd() || next >= found->size()) {
            added.append(master);
            continue;
        }
        const file &slave = other.entries.at(found->at(next++));
        if (slave.modified != master.modified) {
            const bool nullMismatch = slave.modified.isNull() != master.modified.isNull();
            const qint64 diff = nullMismatch ? 0 : master.modified.secsTo(slave.modified);
            if (nullMismatch || diff < -2 || diff > 2)
                changed.append(master);
        } else if (slave.size != master.size) {
            changed.append(master);
        } else if (!skipUnchanged) {
            unchanged.append(master);
        }
    }

    for (const file &slave : other.entries) {
        const QString key = slave.name.toLower();
        if (!masterNames.contains(key))
            removed.append(file{key, slave.modified, slave.size});
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
