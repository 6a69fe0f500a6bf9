#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

class QSocketNotifier;

// Directory listings of the "dir" request. A listing is kept until the
// kernel reports a change to one of the folders it read (inotify); pending
// reports are taken in before every lookup, so a listing is never older than
// the last change made before the request. Without inotify every request
// reads the folders afresh.
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
    bool isWatching() const { return m_fd >= 0; }

private:
    struct listing
    {
        QByteArray items;
        QList<int> watches;
    };
    class walk;

    void takeInReports();
    void forget(const QString &key);
    void clear();
    void openWatcher();
    void closeWatcher();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<QString, listing> m_listings;
    QHash<int, QSet<QString>> m_keysByWatch;
    qsizetype m_bytes = 0;
};
