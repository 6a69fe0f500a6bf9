// Concurrent editors on shared files. Many sessions, each logged in as a user
// of its own, lock, unlock, upload, download, delete and list one small set
// of paths at random, each waiting for its whole reply before the next
// request. The server is bench_keepyard_sessions_host in a process of its own
// on 127.0.0.1. Reports requests per second, latencies and the server's peak
// memory; afterwards the stored files, the lock file, the notices and the
// lock lists must agree with what the server acknowledged.

#include "bench_keepyard_peer.h"
#include "bench_keepyard_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {

const QString systemName = QStringLiteral("North");
const QString uploadDate = QStringLiteral("2020-01-02T03:04:05");
constexpr int areas = 4;

struct options
{
    int clients = 50;
    int requests = 200;
    int paths = 40;
    quint32 seed = 1;
    QString host;
};

enum class op { lock, unlock, upload, uploadEmpty, remove, download, synclist };
constexpr int opCount = 7;
const char *const opNames[opCount] = {"lock", "unlock", "upload", "upload empty", "delete", "download", "synclist"};

QString userName(int client)
{
    return QStringLiteral("user%1").arg(client, 3, 10, QLatin1Char('0'));
}

QString ownerKey(int client)
{
    return ownerKeyOf(userName(client));
}

// Keys overlap when one is the other or a folder above it.
bool overlaps(const QString &a, const QString &b)
{
    return a == b || a.startsWith(b + QLatin1Char('/')) || b.startsWith(a + QLatin1Char('/'));
}

// Configuration-like text of `bytes` bytes.
QByteArray fillerText(std::mt19937 &rng, qsizetype bytes)
{
    QByteArray out;
    while (out.size() < bytes)
        out += "key" + QByteArray::number(rng() % 1000) + '=' + QByteArray::number(rng()) + "\r\n";
    out.truncate(bytes);
    return out;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

// What a path's stored file may be after an acknowledged change (or at the
// start): a content, by its hash, or no file at all.
struct effect
{
    QByteArray hash; // empty: no file
    QString origin;
    qint64 sentNs = -1; // request written; -1 for the state at the start
    qint64 doneNs = -1; // whole reply read
};

// Every content that was sent, by hash.
struct sentContent
{
    QString path;
    QString origin;
    bool stored = false;
};

struct latencyFigures
{
    std::vector<qint64> ns;
    qint64 sent = 0;
    qint64 accepted = 0;
    qint64 refused = 0;
};

double percentileMs(std::vector<qint64> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return double(values[index]) / 1e6;
}

class loadRun
{
public:
    loadRun(const options &o, const QString &systemFolder) : m_options(o), m_systemFolder(systemFolder)
    {
        for (int i = 0; i < o.paths; ++i)
            m_paths
                << QStringLiteral("config/area%1/item%2.cfg").arg(i % areas).arg(i / areas, 2, 10, QLatin1Char('0'));
        for (int a = 0; a < areas; ++a)
            m_folders << QStringLiteral("config/area%1").arg(a);
    }

    QString prepare(const QString &root);
    void start(quint16 port, qint64 serverPid);
    QString fatal() const { return m_fatal; }
    void checkTree();
    void checkLockFile();
    void report(qint64 peakKiB) const;
    void addViolation(const QString &text) { m_violations << text; }
    const QStringList &violations() const { return m_violations; }

private:
    struct session
    {
        int id = 0;
        std::mt19937 rng;
        std::unique_ptr<serverPeer> peer;
        int done = 0;
        QHash<QString, qint64> held; // lock key -> time its grant was read
        op current = op::lock;       // the request waiting for its reply
        QString currentPath;
        std::map<QString, int> notices; // "update path" / "delete path" -> count
    };

    void login(session &s);
    void next(session &s);
    void send(session &s, op kind, const QString &path, const QByteArray &text, const QString &replyName,
              std::function<void(const replyElement &, qint64 sentNs, qint64 doneNs)> handle);
    void onLock(session &s, const QString &path, const replyElement &reply, qint64 sentNs);
    void onUnlock(session &s, const QString &path, const replyElement &reply);
    void onStore(session &s, const QString &path, const QByteArray &hash, const replyElement &reply, qint64 sentNs,
                 qint64 doneNs);
    void onStoreEmpty(session &s, const QString &path, const replyElement &reply, qint64 sentNs, qint64 doneNs);
    void onDelete(session &s, const QString &path, const replyElement &reply, qint64 sentNs, qint64 doneNs);
    void onDownload(session &s, const QString &path, const replyElement &reply);
    void onSynclist(const replyElement &reply);
    void finishLoad();
    void closeAll();
    void fail(const QString &text);
    bool governs(const session &s, const QString &path) const;
    static QString pick(session &s, const QStringList &from) { return from.at(int(s.rng() % unsigned(from.size()))); }
    // The keys in a fixed order, so that a seed repeats a run.
    static QStringList heldKeys(const session &s)
    {
        QStringList keys = s.held.keys();
        keys.sort();
        return keys;
    }
    QString origin(const session &s, op kind) const
    {
        return QStringLiteral("%1 request %2 (%3)").arg(userName(s.id)).arg(s.done + 1).arg(opNames[int(kind)]);
    }

    options m_options;
    QString m_systemFolder;
    QStringList m_paths;
    QStringList m_folders;
    std::vector<session> m_sessions;
    QElapsedTimer m_clock;
    qint64 m_serverPid = 0;
    qint64 m_loadStartNs = 0;
    qint64 m_loadEndNs = 0;
    double m_serverCpu = 0; // CPU seconds over the load
    double m_ownCpu = 0;
    int m_loggedIn = 0;
    int m_finished = 0;
    int m_listed = 0;
    qint64 m_progress = 0;
    qint64 m_progressSeen = -1;
    int m_stalled = 0;
    QTimer m_watchdog;
    QString m_fatal;
    latencyFigures m_figures[opCount];
    std::map<QString, std::vector<effect>> m_effects; // by path
    QHash<QByteArray, sentContent> m_sent;
    QHash<QByteArray, QString> m_initial;                    // hash -> path
    std::vector<std::pair<QString, QByteArray>> m_downloads; // path, hash
    std::map<QString, int> m_expectedNotices;
    QSet<QString> m_straysListed;
    qint64 m_interleaved = 0;
    QString m_firstInterleaved;
    QStringList m_violations;
};

QString loadRun::prepare(const QString &root)
{
    std::mt19937 rng(m_options.seed);
    QByteArray passwords = "[Users]\r\n";
    QByteArray levels = "[Level]\r\n";
    for (int c = 0; c < m_options.clients; ++c) {
        passwords += userName(c).toUtf8() + "=pw" + QByteArray::number(c) + "\r\n";
        levels += userName(c).toUtf8() + "=1\r\n";
    }
    if (!writeFile(root + QStringLiteral("/North/config/keepyard_password.ini"), passwords + levels))
        return QStringLiteral("cannot write the password file below %1").arg(root);
    for (int i = 0; i < m_paths.size(); ++i) {
        const QString &path = m_paths.at(i);
        // Every eighth path starts without a file, so that uploads also create files.
        if (i % 8 == 7) {
            m_effects[path].push_back(effect{QByteArray(), QStringLiteral("initially absent")});
            continue;
        }
        const QByteArray content = "initial content of " + path.toUtf8() + '\n' + fillerText(rng, 200 + rng() % 2000);
        if (!writeFile(m_systemFolder + QLatin1Char('/') + path, content))
            return QStringLiteral("cannot write %1").arg(path);
        m_effects[path].push_back(effect{hashOf(content), QStringLiteral("initial content")});
        m_initial.insert(hashOf(content), path);
    }
    for (const QString &folder : std::as_const(m_folders)) // also those without a file yet
        QDir().mkpath(m_systemFolder + QLatin1Char('/') + folder);
    return QString();
}

void loadRun::start(quint16 port, qint64 serverPid)
{
    m_serverPid = serverPid;
    m_clock.start();
    QObject::connect(&m_watchdog, &QTimer::timeout, [this] {
        m_stalled = m_progress == m_progressSeen ? m_stalled + 1 : 0;
        m_progressSeen = m_progress;
        if (m_stalled >= 30)
            fail(QStringLiteral("no reply for 30 s (%1 of %2 sessions logged in, %3 done)")
                     .arg(m_loggedIn)
                     .arg(m_options.clients)
                     .arg(m_finished));
    });
    m_watchdog.start(1000);
    m_sessions.resize(size_t(m_options.clients));
    for (int c = 0; c < m_options.clients; ++c) {
        session &s = m_sessions[size_t(c)];
        s.id = c;
        s.rng.seed(m_options.seed * 7919u + unsigned(c));
        s.peer = std::make_unique<serverPeer>();
        s.peer->onReady = [this, &s] { login(s); };
        s.peer->onNotice = [this, &s](const replyElement &notice, const QString &insideReply) {
            const QString key =
                notice.attribute(QStringLiteral("type")) + QLatin1Char(' ') + notice.attribute(QStringLiteral("name"));
            ++s.notices[key];
            // A notice must not land inside another reply: replies never interleave.
            if (!insideReply.isEmpty() && m_interleaved++ == 0)
                m_firstInterleaved = QStringLiteral("%1 inside the %2 reply of %3 request %4 (%5)")
                                         .arg(key, insideReply, userName(s.id))
                                         .arg(s.done + 1)
                                         .arg(opNames[int(s.current)]);
        };
        s.peer->onFailure = [this, &s](const QString &text) {
            fail(QStringLiteral("%1: %2").arg(userName(s.id), text));
        };
        s.peer->connectTo(port);
    }
}

void loadRun::login(session &s)
{
    s.peer->request(peerRequest::login(userName(s.id), QStringLiteral("pw%1").arg(s.id), systemName),
                    QStringLiteral("login"), [this, &s](const replyElement &reply) {
                        ++m_progress;
                        if (reply.attribute(QStringLiteral("type")) != u"reply") {
                            fail(QStringLiteral("login of %1 refused").arg(userName(s.id)));
                            return;
                        }
                        if (++m_loggedIn < m_options.clients)
                            return;
                        m_loadStartNs = m_clock.nsecsElapsed();
                        m_serverCpu = -cpuSeconds(m_serverPid);
                        m_ownCpu = -cpuSeconds(QCoreApplication::applicationPid());
                        for (session &each : m_sessions)
                            next(each);
                    });
}

bool loadRun::governs(const session &s, const QString &path) const
{
    for (auto it = s.held.cbegin(); it != s.held.cend(); ++it) {
        if (path == it.key() || path.startsWith(it.key() + QLatin1Char('/')))
            return true;
    }
    return false;
}

void loadRun::send(session &s, op kind, const QString &path, const QByteArray &text, const QString &replyName,
                   std::function<void(const replyElement &, qint64, qint64)> handle)
{
    s.current = kind;
    s.currentPath = path;
    ++m_figures[int(kind)].sent;
    const qint64 sentNs = m_clock.nsecsElapsed();
    s.peer->request(text, replyName, [this, &s, kind, sentNs, handle](const replyElement &reply) {
        const qint64 doneNs = m_clock.nsecsElapsed();
        ++m_progress;
        m_figures[int(kind)].ns.push_back(doneNs - sentNs);
        handle(reply, sentNs, doneNs);
        ++s.done;
        if (m_fatal.isEmpty())
            next(s);
    });
}

void loadRun::next(session &s)
{
    if (s.done == m_options.requests) {
        if (++m_finished == m_options.clients)
            finishLoad();
        return;
    }
    // Paths this session may store: held ones mostly, any other now and then
    // (the server must refuse those).
    QStringList mine;
    for (const QString &path : std::as_const(m_paths)) {
        if (governs(s, path))
            mine << path;
    }
    const auto target = [&] { return !mine.isEmpty() && s.rng() % 4 != 0 ? pick(s, mine) : pick(s, m_paths); };

    const unsigned r = s.rng() % 100;
    if (r < 22 && s.held.size() < 3) {
        const bool folder = s.rng() % 10 == 0;
        const QString path = folder ? pick(s, m_folders) : pick(s, m_paths);
        send(s, op::lock, path, peerRequest::lock(systemName, path, folder), QStringLiteral("lock"),
             [this, &s, path](const replyElement &reply, qint64 sentNs, qint64) { onLock(s, path, reply, sentNs); });
    } else if (r < 36) {
        const QString path = !s.held.isEmpty() && s.rng() % 7 != 0 ? pick(s, heldKeys(s)) : pick(s, m_paths);
        send(s, op::unlock, path, peerRequest::unlock(systemName, path), QStringLiteral("unlock"),
             [this, &s, path](const replyElement &reply, qint64, qint64) { onUnlock(s, path, reply); });
    } else if (r < 62) {
        const QString path = target();
        // Unique content: who sent it and when, then filler.
        const QByteArray content = origin(s, op::upload).toUtf8() + " of " + path.toUtf8() + '\n'
                                   + fillerText(s.rng, qsizetype(s.rng() % 4000));
        const QByteArray hash = hashOf(content);
        m_sent.insert(hash, sentContent{path, origin(s, op::upload)});
        send(s, op::upload, path,
             peerRequest::upload(systemName, path, encodeContent(content), content.size(), uploadDate),
             QStringLiteral("upload"), [this, &s, path, hash](const replyElement &reply, qint64 sentNs, qint64 doneNs) {
                 onStore(s, path, hash, reply, sentNs, doneNs);
             });
    } else if (r < 65) {
        const QString path = target();
        send(s, op::uploadEmpty, path, peerRequest::uploadWithoutContent(systemName, path), QStringLiteral("upload"),
             [this, &s, path](const replyElement &reply, qint64 sentNs, qint64 doneNs) {
                 onStoreEmpty(s, path, reply, sentNs, doneNs);
             });
    } else if (r < 70) {
        const QString path = target();
        send(s, op::remove, path, peerRequest::remove(systemName, path), QStringLiteral("upload"),
             [this, &s, path](const replyElement &reply, qint64 sentNs, qint64 doneNs) {
                 onDelete(s, path, reply, sentNs, doneNs);
             });
    } else if (r < 88) {
        const QString path = pick(s, m_paths);
        send(s, op::download, path, peerRequest::download(systemName, path), QStringLiteral("download"),
             [this, &s, path](const replyElement &reply, qint64, qint64) { onDownload(s, path, reply); });
    } else {
        send(s, op::synclist, QStringLiteral("config"), peerRequest::synclist(systemName, QStringLiteral("config")),
             QStringLiteral("synclist"), [this](const replyElement &reply, qint64, qint64) { onSynclist(reply); });
    }
}

// The reply's only child, or a violation.
const replyElement *onlyChild(const replyElement &reply, const QString &what, QStringList &violations)
{
    if (reply.children.size() == 1)
        return &reply.children.front();
    violations
        << QStringLiteral("%1: reply with %2 child elements instead of one").arg(what).arg(reply.children.size());
    return nullptr;
}

bool isReply(const replyElement &e)
{
    return e.attribute(QStringLiteral("type")) == u"reply";
}

void loadRun::onLock(session &s, const QString &path, const replyElement &reply, qint64 sentNs)
{
    const QString what = QStringLiteral("%1 lock %2").arg(userName(s.id), path);
    const replyElement *child = onlyChild(reply, what, m_violations);
    if (!child)
        return;
    if (!isReply(*child)) {
        ++m_figures[int(op::lock)].refused;
        return;
    }
    ++m_figures[int(op::lock)].accepted;
    for (auto it = s.held.cbegin(); it != s.held.cend(); ++it) {
        if (overlaps(it.key(), path))
            m_violations << QStringLiteral("%1: granted although the same owner holds %2").arg(what, it.key());
    }
    // Another session certainly held an overlapping lock while this request
    // was served if its grant was read before the request was written and it
    // has not asked to release it.
    for (const session &other : m_sessions) {
        if (other.id == s.id)
            continue;
        for (auto it = other.held.cbegin(); it != other.held.cend(); ++it) {
            const bool releasing =
                other.peer->waiting() && other.current == op::unlock && other.currentPath == it.key();
            if (overlaps(it.key(), path) && it.value() <= sentNs && !releasing)
                m_violations << QStringLiteral("%1: granted while %2 holds %3").arg(what, userName(other.id), it.key());
        }
    }
    s.held.insert(path, m_clock.nsecsElapsed());
}

void loadRun::onUnlock(session &s, const QString &path, const replyElement &reply)
{
    const QString what = QStringLiteral("%1 unlock %2").arg(userName(s.id), path);
    const replyElement *child = onlyChild(reply, what, m_violations);
    if (!child)
        return;
    const bool released = isReply(*child);
    ++(released ? m_figures[int(op::unlock)].accepted : m_figures[int(op::unlock)].refused);
    if (released != s.held.contains(path))
        m_violations << QStringLiteral("%1: %2 although the lock was %3")
                            .arg(what,
                                 released ? QStringLiteral("released")
                                          : QStringLiteral("refused (%1)").arg(child->message()),
                                 s.held.contains(path) ? QStringLiteral("held") : QStringLiteral("not held"));
    if (released)
        s.held.remove(path);
}

void loadRun::onStore(session &s, const QString &path, const QByteArray &hash, const replyElement &reply, qint64 sentNs,
                      qint64 doneNs)
{
    const QString what = QStringLiteral("%1 upload %2").arg(origin(s, op::upload), path);
    const replyElement *child = onlyChild(reply, what, m_violations);
    if (!child)
        return;
    const bool held = governs(s, path);
    if (isReply(*child)) {
        ++m_figures[int(op::upload)].accepted;
        m_sent[hash].stored = true;
        m_effects[path].push_back(effect{hash, origin(s, op::upload), sentNs, doneNs});
        ++m_expectedNotices[QStringLiteral("update ") + path];
        if (!held)
            m_violations << QStringLiteral("%1: stored without a lock of the sender").arg(what);
    } else {
        ++m_figures[int(op::upload)].refused;
        if (held)
            m_violations
                << QStringLiteral("%1: refused although the sender holds the lock: %2").arg(what, child->message());
    }
}

void loadRun::onStoreEmpty(session &s, const QString &path, const replyElement &reply, qint64 sentNs, qint64 doneNs)
{
    // Accepted, the request has no answer line: the file moves to the backups.
    const QString what = QStringLiteral("%1 %2").arg(origin(s, op::uploadEmpty), path);
    const bool held = governs(s, path);
    if (reply.children.empty()) {
        ++m_figures[int(op::uploadEmpty)].accepted;
        m_effects[path].push_back(effect{QByteArray(), origin(s, op::uploadEmpty), sentNs, doneNs});
        if (!held)
            m_violations << QStringLiteral("%1: accepted without a lock of the sender").arg(what);
        return;
    }
    ++m_figures[int(op::uploadEmpty)].refused;
    if (held)
        m_violations << QStringLiteral("%1: refused although the sender holds the lock: %2")
                            .arg(what, reply.children.front().message());
}

void loadRun::onDelete(session &s, const QString &path, const replyElement &reply, qint64 sentNs, qint64 doneNs)
{
    const QString what = QStringLiteral("%1 %2").arg(origin(s, op::remove), path);
    const replyElement *child = onlyChild(reply, what, m_violations);
    if (!child)
        return;
    const bool held = governs(s, path);
    if (isReply(*child)) {
        ++m_figures[int(op::remove)].accepted;
        m_effects[path].push_back(effect{QByteArray(), origin(s, op::remove), sentNs, doneNs});
        ++m_expectedNotices[QStringLiteral("delete ") + path];
        if (!held)
            m_violations << QStringLiteral("%1: deleted without a lock of the sender").arg(what);
        return;
    }
    ++m_figures[int(op::remove)].refused;
    // With the lock held, only a missing file may refuse the delete.
    if (held && !child->message().startsWith(u"File cannot be deleted"))
        m_violations
            << QStringLiteral("%1: refused although the sender holds the lock: %2").arg(what, child->message());
}

void loadRun::onDownload(session &s, const QString &path, const replyElement &reply)
{
    const QString what = QStringLiteral("%1 download %2").arg(userName(s.id), path);
    const replyElement *child = onlyChild(reply, what, m_violations);
    if (!child)
        return;
    if (!isReply(*child)) {
        ++m_figures[int(op::download)].refused;
        return;
    }
    ++m_figures[int(op::download)].accepted;
    const qint64 size = child->attribute(QStringLiteral("size")).toLongLong();
    const std::optional<QByteArray> content = decodeContent(child->text, size);
    if (!content || child->attribute(QStringLiteral("compressedsize")).toLongLong() * 2 != child->text.size()) {
        m_violations << QStringLiteral("%1: content does not decode to its size %2 and compressed size %3")
                            .arg(what, child->attribute(QStringLiteral("size")),
                                 child->attribute(QStringLiteral("compressedsize")));
        return;
    }
    m_downloads.emplace_back(path, hashOf(*content));
}

void loadRun::onSynclist(const replyElement &reply)
{
    ++m_figures[int(op::synclist)].accepted;
    for (const replyElement &data : reply.children) {
        const QString name = QStringLiteral("config/") + data.attribute(QStringLiteral("name"));
        const bool known =
            m_paths.contains(name) || m_folders.contains(name) || name == u"config/keepyard_password.ini";
        if (!known && !m_straysListed.contains(name)) {
            m_straysListed.insert(name);
            m_violations << QStringLiteral("synclist lists %1 (size %2), which is no configuration file")
                                .arg(name, data.attribute(QStringLiteral("size")));
        }
    }
}

// All requests answered: each session asks for its locks, which must be the
// ones it holds; by then every notice must have arrived too.
void loadRun::finishLoad()
{
    m_loadEndNs = m_clock.nsecsElapsed();
    m_serverCpu += cpuSeconds(m_serverPid);
    m_ownCpu += cpuSeconds(QCoreApplication::applicationPid());
    for (session &s : m_sessions) {
        s.peer->request(
            peerRequest::locklist(systemName), QStringLiteral("locklist"), [this, &s](const replyElement &reply) {
                ++m_progress;
                QSet<QString> listed;
                for (const replyElement &lock : reply.children)
                    listed.insert(lock.attribute(QStringLiteral("name")));
                const QStringList own = heldKeys(s);
                if (listed != QSet<QString>(own.begin(), own.end())) {
                    QStringList names = listed.values();
                    names.sort();
                    m_violations << QStringLiteral("%1: locklist names [%2], the session holds [%3]")
                                        .arg(userName(s.id), names.join(QStringLiteral(", ")),
                                             own.join(QStringLiteral(", ")));
                }
                if (s.notices != m_expectedNotices) {
                    int missing = 0, extra = 0;
                    for (const auto &[key, count] : m_expectedNotices)
                        missing += std::max(0, count - (s.notices.count(key) ? s.notices.at(key) : 0));
                    for (const auto &[key, count] : s.notices)
                        extra += std::max(0, count - (m_expectedNotices.count(key) ? m_expectedNotices.at(key) : 0));
                    m_violations << QStringLiteral("%1: %2 update notices missing, %3 unexpected")
                                        .arg(userName(s.id))
                                        .arg(missing)
                                        .arg(extra);
                }
                if (++m_listed == m_options.clients)
                    closeAll();
            });
    }
}

void loadRun::closeAll()
{
    m_watchdog.stop();
    for (session &s : m_sessions)
        s.peer->close();
    if (m_interleaved > 0)
        m_violations << QStringLiteral(
                            "%1 update notices were written inside another session's open reply; the first: %2")
                            .arg(m_interleaved)
                            .arg(m_firstInterleaved);
    // The server closes each connection after "</xml>"; give it a moment.
    QTimer::singleShot(500, [] { QCoreApplication::exit(0); });
}

void loadRun::fail(const QString &text)
{
    if (!m_fatal.isEmpty())
        return;
    m_fatal = text;
    m_watchdog.stop();
    QCoreApplication::exit(1);
}

// Each stored file must be the result of an acknowledged change (or the
// start) that may have come last: no other acknowledged change of the path
// was sent after its reply had been read.
void loadRun::checkTree()
{
    for (const auto &[path, effects] : m_effects) {
        QFile f(m_systemFolder + QLatin1Char('/') + path);
        QByteArray found;
        QString foundText = QStringLiteral("no file");
        if (f.exists()) {
            if (!f.open(QIODevice::ReadOnly)) {
                m_violations << QStringLiteral("%1: cannot be read").arg(path);
                continue;
            }
            const QByteArray content = f.readAll();
            found = hashOf(content);
            foundText = QStringLiteral("%1 bytes starting \"%2\"")
                            .arg(content.size())
                            .arg(QString::fromUtf8(content.left(60)).trimmed());
        }
        const effect *stale = nullptr;
        bool matched = false;
        for (const effect &e : effects) {
            if (e.hash != found)
                continue;
            const auto later =
                std::find_if(effects.begin(), effects.end(), [&e](const effect &f) { return f.sentNs > e.doneNs; });
            if (later == effects.end()) {
                matched = true;
                break;
            }
            stale = &*later;
        }
        if (matched)
            continue;
        const effect &last = effects.back();
        if (stale) {
            m_violations << QStringLiteral("%1: holds %2, which a later acknowledged change (%3) should have replaced; "
                                           "last acknowledged: %4")
                                .arg(path, foundText, stale->origin, last.origin);
        } else if (!found.isEmpty() && m_sent.contains(found)) {
            const sentContent &c = m_sent.value(found);
            m_violations << QStringLiteral("%1: holds the content of %2 for %3, which was %4; last acknowledged: %5")
                                .arg(path, c.origin, c.path,
                                     c.stored ? QStringLiteral("stored") : QStringLiteral("refused"), last.origin);
        } else {
            m_violations << QStringLiteral("%1: holds %2, which matches no acknowledged change; last acknowledged: %3")
                                .arg(path, foundText, last.origin);
        }
    }

    // A download must have delivered the start content or a stored upload of that path.
    for (const auto &[path, hash] : m_downloads) {
        const bool initial = m_initial.value(hash) == path;
        const auto it = m_sent.constFind(hash);
        if (initial || (it != m_sent.cend() && it->stored && it->path == path))
            continue;
        m_violations << QStringLiteral("download of %1 delivered %2")
                            .arg(path, it == m_sent.cend()
                                           ? QStringLiteral("content nobody sent")
                                           : QStringLiteral("the %1 content of %2 for %3")
                                                 .arg(it->stored ? QStringLiteral("stored") : QStringLiteral("refused"),
                                                      it->origin, it->path));
    }

    // Anything below config that is not a configuration file would be taken for one.
    QDirIterator files(m_systemFolder + QStringLiteral("/config"), QDir::Files | QDir::Hidden | QDir::System,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = QDir(m_systemFolder).relativeFilePath(files.next());
        if (!m_paths.contains(path) && path != u"config/keepyard_password.ini")
            m_violations << QStringLiteral("stray file %1 (%2 bytes)").arg(path).arg(files.fileInfo().size());
    }
}

// The lock file must list exactly the locks granted and not released.
void loadRun::checkLockFile()
{
    QSet<QString> expected;
    for (const session &s : m_sessions) {
        for (auto it = s.held.cbegin(); it != s.held.cend(); ++it)
            expected.insert(it.key() + QLatin1Char('=') + ownerKey(s.id));
    }
    QFile f(m_systemFolder + QStringLiteral("/server_lock_list.txt"));
    QByteArray content;
    if (f.open(QIODevice::ReadOnly))
        content = f.readAll();
    else if (f.exists())
        m_violations << QStringLiteral("server_lock_list.txt cannot be read");
    if (!content.isEmpty() && !content.endsWith("\r\n"))
        m_violations << QStringLiteral("server_lock_list.txt does not end with CR LF: ...%1")
                            .arg(QString::fromUtf8(content.right(80))
                                     .replace(QLatin1Char('\r'), QStringLiteral("\\r"))
                                     .replace(QLatin1Char('\n'), QStringLiteral("\\n")));
    QSet<QString> listed;
    for (const QByteArray &line : content.split('\n')) {
        if (line.isEmpty())
            continue;
        const QString entry = QString::fromUtf8(line).trimmed();
        if (listed.contains(entry))
            m_violations << QStringLiteral("server_lock_list.txt lists %1 twice").arg(entry);
        listed.insert(entry);
    }
    QStringList missing = (expected - listed).values();
    QStringList extra = (listed - expected).values();
    missing.sort();
    extra.sort();
    for (const QString &e : std::as_const(missing))
        m_violations << QStringLiteral("server_lock_list.txt lacks the granted lock %1").arg(e);
    for (const QString &e : std::as_const(extra))
        m_violations << QStringLiteral("server_lock_list.txt lists %1, which is not held").arg(e);
}

void loadRun::report(qint64 peakKiB) const
{
    const double seconds = double(m_loadEndNs - m_loadStartNs) / 1e9;
    std::vector<qint64> all;
    qint64 total = 0;
    std::printf("%-13s %8s %9s %8s %10s %10s %10s\n", "request", "sent", "accepted", "refused", "median ms", "p99 ms",
                "max ms");
    for (int k = 0; k < opCount; ++k) {
        const latencyFigures &f = m_figures[k];
        all.insert(all.end(), f.ns.begin(), f.ns.end());
        total += qint64(f.ns.size());
        std::printf("%-13s %8lld %9lld %8lld %10.2f %10.2f %10.2f\n", opNames[k], qlonglong(f.sent),
                    qlonglong(f.accepted), qlonglong(f.refused), percentileMs(f.ns, 0.5), percentileMs(f.ns, 0.99),
                    percentileMs(f.ns, 1.0));
    }
    std::printf("%-13s %8lld %9s %8s %10.2f %10.2f %10.2f\n\n", "all", qlonglong(total), "", "", percentileMs(all, 0.5),
                percentileMs(all, 0.99), percentileMs(all, 1.0));
    std::printf("throughput  %.0f requests/s (%lld requests in %.2f s, %d sessions)\n", double(total) / seconds,
                qlonglong(total), seconds, m_options.clients);
    std::printf("latency     median %.2f ms, p99 %.2f ms\n", percentileMs(all, 0.5), percentileMs(all, 0.99));
    // Near 100 % for the server means its one thread is the limit; well
    // below, it waits (for the disk, as every change is flushed to it).
    std::printf("CPU         server %.0f %%, load generator %.0f %% of one core\n", 100 * m_serverCpu / seconds,
                100 * m_ownCpu / seconds);
    std::printf("peak memory VmHWM %lld KiB\n", qlonglong(peakKiB));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Drives concurrent sessions that lock, unlock, upload, download, delete and list shared paths against a "
        "configuration server in its own process, then checks the stored files and the lock file."));
    parser.addHelpOption();
    const QCommandLineOption clientsOption(QStringLiteral("clients"),
                                           QStringLiteral("Concurrent sessions, one user each (50)."),
                                           QStringLiteral("n"), QStringLiteral("50"));
    const QCommandLineOption requestsOption(QStringLiteral("requests"), QStringLiteral("Requests per session (200)."),
                                            QStringLiteral("n"), QStringLiteral("200"));
    const QCommandLineOption pathsOption(QStringLiteral("paths"), QStringLiteral("Shared paths below config (40)."),
                                         QStringLiteral("n"), QStringLiteral("40"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Seed of the random choices (1)."),
                                        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption hostOption(
        QStringLiteral("host"), QStringLiteral("The server program (bench_keepyard_sessions_host next to this one)."),
        QStringLiteral("path"), benchServer::defaultProgram());
    const QCommandLineOption keepLogOption(QStringLiteral("keep-log"),
                                           QStringLiteral("Copy the server's log output to this file."),
                                           QStringLiteral("file"));
    const QCommandLineOption keepTreeOption(
        QStringLiteral("keep-tree"),
        QStringLiteral("Keep the installation root (it is also kept after a failed check)."));
    parser.addOptions(
        {clientsOption, requestsOption, pathsOption, seedOption, hostOption, keepLogOption, keepTreeOption});
    parser.process(app);

    options o;
    bool ok[4] = {};
    o.clients = parser.value(clientsOption).toInt(&ok[0]);
    o.requests = parser.value(requestsOption).toInt(&ok[1]);
    o.paths = parser.value(pathsOption).toInt(&ok[2]);
    o.seed = parser.value(seedOption).toUInt(&ok[3]);
    o.host = parser.value(hostOption);
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) || o.clients < 1 || o.clients > 999
        || o.requests < 1 || o.paths < areas) {
        std::fprintf(stderr, "error: clients (1 to 999) and requests must be positive, paths at least %d\n", areas);
        return 2;
    }

    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "error: no temporary folder: %s\n", qPrintable(work.errorString()));
        return 1;
    }
    const QString root = work.filePath(QStringLiteral("root"));
    const QString logPath = work.filePath(QStringLiteral("server.log"));
    loadRun run(o, root + QStringLiteral("/North"));
    if (const QString problem = run.prepare(root); !problem.isEmpty()) {
        std::fprintf(stderr, "error: %s\n", qPrintable(problem));
        return 1;
    }
    benchServer server(o.host);
    if (const QString problem = server.start(root, logPath); !problem.isEmpty()) {
        std::fprintf(stderr, "error: %s\n%s\n", qPrintable(problem), fileTail(logPath, 2000).constData());
        return 1;
    }
    std::printf("keepyard load: %d sessions x %d requests over %d paths on 127.0.0.1:%u, server pid %lld\n\n",
                o.clients, o.requests, o.paths, unsigned(server.port()), qlonglong(server.pid()));
    std::fflush(stdout);

    QTimer::singleShot(0, [&] { run.start(server.port(), server.pid()); });
    const int result = app.exec();
    if (result != 0) {
        std::fprintf(stderr, "error: %s\n", qPrintable(run.fatal()));
        if (!server.running())
            std::fprintf(stderr, "%s\n", qPrintable(server.exitText()));
        std::fprintf(stderr, "last server output:\n%s\n", fileTail(logPath, 3000).constData());
        work.setAutoRemove(false);
        std::fprintf(stderr, "installation root kept in %s\n", qPrintable(root));
        return 1;
    }

    // Still up, and still answering a new session.
    if (!server.running()) {
        run.addViolation(QStringLiteral("the server is gone after the load: %1").arg(server.exitText()));
    } else {
        const exchangeResult systems = exchange(server.port(), {{peerRequest::systems(), QStringLiteral("systems")}});
        const bool north =
            !systems.replies.empty()
            && std::any_of(systems.replies.front().children.begin(), systems.replies.front().children.end(),
                           [](const replyElement &e) { return e.attribute(QStringLiteral("name")) == u"North"; });
        if (!systems.error.isEmpty() || !north)
            run.addViolation(QStringLiteral("the server does not answer a systems request after the load: %1")
                                 .arg(systems.error.isEmpty() ? QStringLiteral("North not listed") : systems.error));
    }
    const qint64 peak = peakMemoryKiB(server.pid());
    if (const QString problem = server.stop(); !problem.isEmpty())
        run.addViolation(problem);
    if (parser.isSet(keepLogOption)) {
        QFile::remove(parser.value(keepLogOption));
        QFile::copy(logPath, parser.value(keepLogOption));
    }

    run.checkTree();
    run.checkLockFile();
    run.report(peak);
    const QStringList &violations = run.violations();
    if (violations.isEmpty()) {
        std::printf("checks      passed: files, downloads, synchronisation lists, lock file, lock lists, notices\n");
    } else {
        std::printf("\n%lld violations:\n", qlonglong(violations.size()));
        for (const QString &v : violations)
            std::printf("  %s\n", qPrintable(v));
    }
    if (parser.isSet(keepTreeOption) || !violations.isEmpty()) {
        work.setAutoRemove(false);
        std::printf("installation root kept in %s\n", qPrintable(root));
    }
    return violations.isEmpty() ? 0 : 1;
}
