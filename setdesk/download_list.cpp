#include "download_list.h"

#include "clientFolder.h"
#include "protocol.h"
#include "setdesk_log.h"
#include "xfer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <memory>

namespace {

// The list all handles share; it exists while at least one handle does.
struct sharedDownloads
{
    QString file; // empty: the list lives in memory only
    QList<downloadEntry> entries;
    QSet<downloadEntry> listed; // the same entries, for the test before an add
    int handles = 0;
    bool changed = false;
};

std::unique_ptr<sharedDownloads> &shared()
{
    static std::unique_ptr<sharedDownloads> list;
    return list;
}

void load(sharedDownloads &list)
{
    QFile in(list.file);
    if (!in.open(QIODevice::ReadOnly)) {
        QDir().mkpath(QFileInfo(list.file).absolutePath());
        qCDebug(lcSetdesk).noquote() << QStringLiteral("Can't open download list file of ") + list.file;
        return;
    }
    while (!in.atEnd()) {
        if (const std::optional<downloadEntry> entry = downloadEntry::fromLine(QString::fromUtf8(in.readLine()))) {
            list.entries.append(*entry);
            list.listed.insert(*entry);
        }
    }
}

void save(const sharedDownloads &list)
{
    QDir().mkpath(QFileInfo(list.file).absolutePath());
    QByteArray content;
    for (const downloadEntry &entry : list.entries)
        content += entry.toLine().toUtf8();
    // Written beside the file and renamed over it: a failed or interrupted
    // write leaves the previous list whole.
    if (xfer::replaceFile(list.file, content))
        qCWarning(lcSetdesk).noquote() << QStringLiteral("Can't write download list file %1").arg(list.file);
}

} // namespace

download_list::download_list(const QString &system)
{
    if (!shared()) {
        shared() = std::make_unique<sharedDownloads>();
        shared()->file = filePath(system);
        m_loading = true;
        if (shared()->file.isEmpty())
            qCWarning(lcSetdesk).noquote()
                << QStringLiteral("No download list file for system \"%1\"; the list is kept in memory only")
                       .arg(system);
        else
            load(*shared());
    }
    ++shared()->handles;
}

download_list::~download_list()
{
    sharedDownloads &list = *shared();
    const bool last = --list.handles == 0;
    // Changes are written when the handle that made them goes, not only with
    // the last one: a download reply holds a handle for its whole length.
    if (list.changed && !list.file.isEmpty() && (last || m_changed)) {
        save(list);
        list.changed = false;
    }
    if (last)
        shared().reset();
}

QString download_list::filePath(const QString &system)
{
    const QString folder = clientFolder::path();
    // The system name comes from the server; it must not lead out of clientDir.
    if (folder.isEmpty() || !protocol::staysBelow(system))
        return QString();
    return folder + QLatin1String("/downloadLists/") + protocol::wirePath(system) + QLatin1String("/download_list.txt");
}

int download_list::handleCount()
{
    return shared() ? shared()->handles : 0;
}

bool download_list::add(const QString &path, const QString &key)
{
    shared()->changed = true;
    m_changed = true;
    if (path.isEmpty() || key.isEmpty())
        return false;
    // Such an entry would not load back from the file (its line splits into
    // other parts), so it is not stored at all rather than lost later.
    if (!downloadEntry::fitsLine(path) || !downloadEntry::fitsLine(key))
        return false;
    const downloadEntry entry{path, key};
    if (!shared()->listed.contains(entry)) {
        shared()->entries.append(entry);
        shared()->listed.insert(entry);
    }
    return true;
}

void download_list::remove(const QString &path, const QString &key)
{
    if (path.isEmpty())
        return;
    shared()->entries.removeIf([&](const downloadEntry &entry) { return entry.path == path && entry.key == key; });
    shared()->listed.remove(downloadEntry{path, key});
    shared()->changed = m_changed = true;
}

QStringList download_list::pathsFor(const QString &key) const
{
    QStringList paths;
    for (const downloadEntry &entry : std::as_const(shared()->entries)) {
        if (entry.key == key)
            paths.append(entry.path);
    }
    return paths;
}

QList<downloadEntry> download_list::entries() const
{
    return shared()->entries;
}

qsizetype download_list::size() const
{
    return shared()->entries.size();
}
