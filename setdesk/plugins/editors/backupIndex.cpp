#include "backupIndex.h"

#include <QSet>

#include <algorithm>

QList<backupIndex::entry> backupIndex::parse(const QByteArray &text)
{
    QList<entry> entries;
    for (const QByteArray &raw : text.split('\n')) {
        const QStringList fields = QString::fromUtf8(raw).remove(QLatin1Char('\r')).split(QLatin1Char(','));
        // Date first, then path, user, address and copy. Path and copy both
        // carry the file's name, which may hold a comma: the copy is the last
        // field that starts a "backup/" name.
        qsizetype copyAt = fields.size() - 1;
        while (copyAt >= 4 && !fields.at(copyAt).startsWith(QLatin1String("backup/")))
            --copyAt;
        if (copyAt < 4)
            continue;
        entry e;
        e.date = QDateTime::fromString(fields.first(), Qt::ISODate);
        e.copy = fields.mid(copyAt).join(QLatin1Char(','));
        e.address = fields.at(copyAt - 1);
        e.user = fields.at(copyAt - 2);
        e.path = fields.mid(1, copyAt - 3).join(QLatin1Char(','));
        if (e.date.isValid() && !e.path.isEmpty() && !e.copy.isEmpty())
            entries << e;
    }
    return entries;
}

void backupIndex::setFile(const QString &name, const QByteArray &text)
{
    m_files.insert(name, parse(text));
}

void backupIndex::add(const entry &e)
{
    m_added << e;
}

QList<backupIndex::entry> backupIndex::backupsOf(const QString &path) const
{
    QList<entry> found;
    QSet<QString> copies;
    const auto collect = [&](const QList<entry> &entries) {
        for (const entry &e : entries) {
            if (e.path == path && !copies.contains(e.copy)) {
                copies.insert(e.copy);
                found << e;
            }
        }
    };
    for (const QList<entry> &file : m_files)
        collect(file);
    collect(m_added);
    // Lines of one file are in time order; the stable sort keeps later lines
    // of the same second first once the list is reversed.
    std::reverse(found.begin(), found.end());
    std::stable_sort(found.begin(), found.end(), [](const entry &a, const entry &b) { return a.date > b.date; });
    return found;
}
