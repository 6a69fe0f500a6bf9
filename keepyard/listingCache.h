#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <utility>

class QSocketNotifier;

// Directory listings of the "dir" request. A listing is kept until the
// kernel reports a change to one of the folders it read, or to the name of a
// folder on its way down from the root (a renamed or replaced ancestor)
// (inotify); pending reports are taken in before every lookup, so a listing
// is never older than the last change made before the request. A watch is
// released with the last listing it serves. Where the kernel refuses a watch
// (or there is no inotify), the listing is not kept: it is read afresh at
// every request.
class listingCache : public QObject
{
    Q_OBJECT

public:
    // Listings kept in all, in bytes; beyond it the cache starts again empty.
    static constexpr qsizetype maxBytes = 64 * 1024 * 1024;

    explicit listingCache(QObject *parent = nullptr);
    ~listingCache() override;

    // The item lines of the listing of systemFolder/path (path as the request
    // gave it), filtered by the wildcard `filter` at every level. False when
    // the folder cannot be listed.
    bool items(const QString &systemFolder, const QString &path, const QString &filter, bool recursive, QByteArray &out);

    qsizetype listings() const { return m_listings.size(); }
    // Folders watched for the listings kept.
    qsizetype watches() const { return m_watches.size(); }
    bool isWatching() const { return m_fd >= 0; }

protected:
    // Starts watching a folder; the watch, or -1 when the kernel refuses it.
    virtual int watchFolder(const QString &folder);

private:
    // A watched folder and what it serves: "" for listings that read the
    // folder itself (any change counts), else a child's name, for listings
    // below that child (only a change of that name counts).
    using use = std::pair<int, QString>;
    struct listing
    {
        QByteArray items;
        QList<use> uses;
    };
    struct watchUses
    {
        QHash<QString, QSet<QString>> keysByChild;
    };
    class walk;

    void takeInReports();
    void forget(const QString &key);
    // Releases those of `uses` whose watch serves no listing.
    void releaseUnused(const QList<use> &uses);
    void clear();
    void openWatcher();
    void closeWatcher();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<QString, listing> m_listings;
    QHash<int, watchUses> m_watches;
    qsizetype m_bytes = 0;
};
