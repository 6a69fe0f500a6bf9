#include "listingCache.h"

#include "keepyard_log.h"
#include "protocol.h"

#include <QFile>
#include <QRegularExpression>
#include <QDir>
#include <QSocketNotifier>

#include <algorithm>
#include <functional>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every change that alters a listed entry: names, contents, dates, the folder itself.
constexpr uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB
                                   | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

// One listing read from the file system: the items, and the folders whose
// changes would alter them.
class listingCache::walk
{
public:
    // `watch` starts watching a folder before it is read, so that no change
    // after the reading can go unreported; it returns the watch, or -1.
    walk(const QString &filter, bool recursive, std::function<int(const QString &)> watch)
        : m_recursive(recursive), m_watch(std::move(watch))
    {
        if (!filter.isEmpty()) {
            for (const QString &pattern : QDir::nameFiltersFromString(filter))
                m_filters.append(QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
                                                    QRegularExpression::CaseInsensitiveOption));
        }
    }

    // Watches the names on the way from the root (the system folder's
    // parent) down to the listed folder, so that a renamed or replaced
    // ancestor makes the listing stale.
    void watchAncestors(const QString &systemFolder, const QString &path)
    {
        const QFileInfo system(systemFolder);
        addWatch(system.path(), system.fileName());
        QString folder = systemFolder;
        for (const QString &component : protocol::wirePath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            addWatch(folder, component);
            folder += QLatin1Char('/') + component;
        }
    }

    // Appends the items of `path` (and below); false when it cannot be listed.
    bool list(const QString &systemFolder, const QString &path)
    {
        const QString folder = systemFolder + QLatin1Char('/') + protocol::wirePath(path);
        const QByteArray folderName = QFile::encodeName(folder);
        addWatch(folder);
        DIR *dir = ::opendir(folderName.constData());
        if (!dir)
            return false;
        struct stat self;
        if (::fstat(::dirfd(dir), &self) == 0)
            m_visited.insert({self.st_dev, self.st_ino});

        struct item
        {
            QString name;
            QString sortKey;
            struct stat info;
        };
        std::vector<item> found;
        while (const dirent *entry = ::readdir(dir)) {
            // Hidden entries are not listed, nor are "." and "..".
            if (entry->d_name[0] == '.')
                continue;
            item it;
            // Following links; a link to nothing is left out like other special entries.
            if (::fstatat(::dirfd(dir), entry->d_name, &it.info, 0) != 0)
                continue;
            if (!S_ISDIR(it.info.st_mode) && !S_ISREG(it.info.st_mode))
                continue;
            it.name = QFile::decodeName(entry->d_name);
            if (!matches(it.name))
                continue;
            it.sortKey = it.name.toLower();
            found.push_back(std::move(it));
        }
        ::closedir(dir);
        std::sort(found.begin(), found.end(), [](const item &a, const item &b) {
            return a.sortKey != b.sortKey ? a.sortKey < b.sortKey : a.name < b.name;
        });

        const QByteArray escapedPath = protocol::escape(path).toUtf8();
        for (const item &it : found) {
            const bool isDir = S_ISDIR(it.info.st_mode);
            items += "\t<item type=\"";
            items += isDir ? "dir" : "file";
            items += "\" time=\"";
            items += protocol::localIsoDate(it.info.st_mtim.tv_sec);
            items += "\" path=\"";
            items += escapedPath;
            items += "\" >";
            items += protocol::escape(it.name).toUtf8();
            items += "</item>\r\n";
            if (!isDir)
                continue;
            const QString childPath = path + QLatin1Char('/') + it.name;
            // A folder's items follow its own line; a folder reached again
            // through links is not listed twice.
            if (m_recursive && !m_visited.count({it.info.st_dev, it.info.st_ino}))
                list(systemFolder, childPath);
            else if (!m_recursive)
                m_shownFolders.append({systemFolder + QLatin1Char('/') + protocol::wirePath(childPath), it.info.st_mtim});
        }
        return true;
    }

    // Sub-folders whose dates a flat listing shows are watched after the
    // reading; a date that changed meanwhile makes the listing not worth keeping.
    void watchShownFolders()
    {
        for (const auto &[folder, date] : m_shownFolders) {
            addWatch(folder);
            struct stat now;
            if (::stat(QFile::encodeName(folder).constData(), &now) != 0 || now.st_mtim.tv_sec != date.tv_sec
                || now.st_mtim.tv_nsec != date.tv_nsec)
                keepable = false;
        }
    }

    QByteArray items;
    QList<use> uses;
    bool keepable = true;

private:
    void addWatch(const QString &folder, const QString &child = QString())
    {
        const int watch = m_watch ? m_watch(folder) : -1;
        if (watch < 0)
            keepable = false;
        else
            uses.append({watch, child});
    }

    bool matches(const QString &name) const
    {
        if (m_filters.isEmpty())
            return true;
        return std::any_of(m_filters.cbegin(), m_filters.cend(),
                           [&](const QRegularExpression &re) { return re.match(name).hasMatch(); });
    }

    bool m_recursive;
    std::function<int(const QString &)> m_watch;
    QList<QRegularExpression> m_filters;
    std::set<std::pair<dev_t, ino_t>> m_visited;
    QList<std::pair<QString, struct timespec>> m_shownFolders;
};

listingCache::listingCache(QObject *parent)
    : QObject(parent)
{
    openWatcher();
}

listingCache::~listingCache()
{
    closeWatcher();
}

void listingCache::openWatcher()
{
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        qCDebug(lcKeepyard) << "no inotify: directory listings are read at every request";
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &listingCache::takeInReports);
}

void listingCache::closeWatcher()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void listingCache::clear()
{
    m_listings.clear();
    m_watches.clear();
    m_bytes = 0;
    // A fresh descriptor drops every watch at once.
    closeWatcher();
    openWatcher();
}

void listingCache::forget(const QString &key)
{
    const auto it = m_listings.constFind(key);
    if (it == m_listings.constEnd())
        return;
    m_bytes -= it->items.size();
    const QList<use> uses = it->uses;
    m_listings.erase(it);
    for (const auto &[watch, child] : uses) {
        const auto served = m_watches.find(watch);
        if (served == m_watches.end())
            continue;
        const auto keys = served->keysByChild.find(child);
        if (keys != served->keysByChild.end()) {
            keys->remove(key);
            if (keys->isEmpty())
                served->keysByChild.erase(keys);
        }
    }
    releaseUnused(uses);
}

void listingCache::releaseUnused(const QList<use> &uses)
{
    for (const auto &[watch, child] : uses) {
        const auto served = m_watches.constFind(watch);
        if (served != m_watches.constEnd() && !served->keysByChild.isEmpty())
            continue;
        m_watches.remove(watch);
        if (m_fd >= 0)
            ::inotify_rm_watch(m_fd, watch); // fails harmlessly for a watch already gone
    }
}

void listingCache::takeInReports()
{
    if (m_fd < 0)
        return;
    alignas(inotify_event) char buffer[16 * 1024];
    while (true) {
        const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
        if (got <= 0)
            return;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                clear(); // reports were lost: nothing kept can be trusted
                return;
            }
            const auto served = m_watches.constFind(event->wd);
            if (served == m_watches.constEnd())
                continue;
            // A change of the folder itself (gone, moved, its mode): everything it serves is stale.
            const bool self = event->len == 0 || (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT));
            const QString child = event->len ? QFile::decodeName(event->name) : QString();
            QSet<QString> stale;
            for (auto keys = served->keysByChild.cbegin(); keys != served->keysByChild.cend(); ++keys) {
                if (self || keys.key().isEmpty() || keys.key() == child)
                    stale.unite(keys.value());
            }
            for (const QString &key : std::as_const(stale))
                forget(key);
        }
    }
}

int listingCache::watchFolder(const QString &folder)
{
    return m_fd < 0 ? -1 : ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), watchedEvents);
}

bool listingCache::items(const QString &systemFolder, const QString &path, const QString &filter, bool recursive,
                         QByteArray &out)
{
    takeInReports();
    const QString key = systemFolder + QChar(0) + path + QChar(0) + filter + QChar(0) + QChar(recursive ? u'r' : u'-');
    const auto cached = m_listings.constFind(key);
    if (cached != m_listings.constEnd()) {
        out += cached->items;
        return true;
    }

    walk reader(filter, recursive, [this](const QString &folder) { return watchFolder(folder); });
    // Watches are set before anything is read, so that no change after the
    // reading can go unreported.
    reader.watchAncestors(systemFolder, path);
    const bool listed = reader.list(systemFolder, path);
    if (listed) {
        reader.watchShownFolders();
        out += reader.items;
    }
    if (!listed || !reader.keepable) {
        releaseUnused(reader.uses);
        return listed;
    }
    if (m_bytes + reader.items.size() > maxBytes) {
        clear(); // every watch goes, this listing's too: it is not kept
        return true;
    }
    // Reports already queued for these folders may forget the listing again
    // at once; that only costs a reading.
    listing kept;
    kept.uses = reader.uses;
    for (const auto &[watch, child] : std::as_const(kept.uses))
        m_watches[watch].keysByChild[child].insert(key);
    m_bytes += reader.items.size();
    kept.items = std::move(reader.items);
    m_listings.insert(key, std::move(kept));
    return true;
}
