// Crash safety of what the configuration server keeps on disk. Round after
// round, bench_keepyard_sessions_host is started on one persistent
// installation root, a few sessions lock paths, upload new versions of them
// (0 bytes to a few hundred KB) and unlock them, and the server is killed with
// SIGKILL after a random delay. Then the tree must hold: every file whole, as
// one version that was sent (the last acknowledged one or one sent after it);
// a complete lock file with only locks that were asked for; no stray files
// beside the configuration; whole backup copies and index lines. The next
// round starts the server again on the same tree and checks that it answers
// a login and a lock list that matches the lock file.

#include "bench_keepyard_peer.h"
#include "bench_keepyard_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString systemName = QStringLiteral("North");
const QString uploadDate = QStringLiteral("2020-01-02T03:04:05");
constexpr int sets = 3;

struct options
{
    int kills = 200;
    int clients = 2;
    int paths = 12;
    int maxKiB = 300;
    int minDelayMs = 0;
    int maxDelayMs = 400;
    quint32 seed = 1;
    QString host;
};

QString userName(int client)
{
    return QStringLiteral("crash%1").arg(client);
}

QString ownerKey(int client)
{
    return ownerKeyOf(userName(client));
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

// `size` bytes that start with `header` (unless too short for it): runs of
// configuration text between blocks of random bytes, so that files compress
// to different degrees.
QByteArray makeContent(std::mt19937 &rng, const QByteArray &header, qsizetype size)
{
    if (size == 0)
        return QByteArray();
    QByteArray out = header;
    while (out.size() < size) {
        if (rng() % 3 == 0) {
            const int words = 64 + int(rng() % 1024);
            for (int i = 0; i < words; ++i) {
                const quint32 r = rng();
                out.append(reinterpret_cast<const char *>(&r), 4);
            }
        } else {
            const int lines = 4 + int(rng() % 64);
            for (int i = 0; i < lines; ++i)
                out += "channel" + QByteArray::number(rng() % 500) + ".limit=" + QByteArray::number(rng() % 100000)
                       + "\r\n";
        }
    }
    out.truncate(size);
    return out;
}

// Line ends shown as \r and \n, for quoting file content in one line.
QString printable(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes)
        .replace(QLatin1Char('\r'), QStringLiteral("\\r"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"));
}

// Files of the process open for writing below `root`, as paths relative to it.
QStringList openForWriting(qint64 pid, const QString &root)
{
    QStringList found;
    const QString fdFolder = QStringLiteral("/proc/%1/fd").arg(pid);
    const QString prefix = QDir(root).canonicalPath() + QLatin1Char('/');
    for (const QString &fd : QDir(fdFolder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t n =
            ::readlink(QFile::encodeName(fdFolder + QLatin1Char('/') + fd).constData(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        const QString path = QFile::decodeName(QByteArray(target, n));
        if (!path.startsWith(prefix))
            continue;
        QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd));
        if (!info.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : info.readAll().split('\n')) {
            if (line.startsWith("flags:") && (line.mid(6).trimmed().toInt(nullptr, 8) & O_ACCMODE) != O_RDONLY)
                found << path.mid(prefix.size());
        }
    }
    return found;
}

// What a file open for writing is, by its place below the root.
QString writeKind(const QString &path)
{
    if (path.contains(u"/config/"))
        return QStringLiteral("configuration file");
    if (path.contains(u"/backup/"))
        return QStringLiteral("backup copy or index");
    // The lock file is written to an unnamed file ("#inode (deleted)") first.
    if (path.endsWith(u"/server_lock_list.txt") || path.contains(u"/#"))
        return QStringLiteral("lock file");
    return QStringLiteral("other");
}

struct version
{
    QString path;
    QString origin;
    int round = 0;
    qint64 sentNs = -1;
    qint64 doneNs = -1;
    enum { pending, stored, refused } outcome = pending;
};

class crashRun
{
public:
    crashRun(const options &o, const QString &root, const QString &logPath)
        : m_options(o),
          m_root(root),
          m_systemFolder(root + QStringLiteral("/North")),
          m_logPath(logPath),
          m_server(o.host),
          m_rng(o.seed)
    {
        for (int i = 0; i < o.paths; ++i)
            m_paths << QStringLiteral("config/set%1/file%2.dat").arg(i % sets).arg(i / sets, 2, 10, QLatin1Char('0'));
        for (const QString &path : std::as_const(m_paths))
            m_fileNames.insert(path.section(QLatin1Char('/'), -1));
        for (int c = 0; c < o.clients; ++c)
            m_owners.insert(ownerKey(c));
    }

    QString prepare();
    void start() { startRound(); }
    void report() const;
    const QStringList &violations() const { return m_violations; }
    bool treeViolated() const { return m_treeViolated; }

private:
    struct session
    {
        int id = 0;
        std::mt19937 rng;
        std::unique_ptr<serverPeer> peer;
        QSet<QString> held;
        int sent = 0;
        // The request without a reply yet.
        enum { none, lock, unlock, upload } pendingKind = none;
        QString pendingPath;
    };

    void startRound();
    void onReady(session &s);
    void next(session &s);
    void sendUpload(session &s, const QString &path);
    void killServer(const QString &reason = QString());
    void endRound();
    void checkFiles();
    void checkLockFile();
    void checkStrays();
    void checkBackups();
    void finalCheck();
    void violation(const QString &text) { m_violations << QStringLiteral("round %1: %2").arg(m_round).arg(text); }
    // A violation found in the files on disk: the tree is kept for a look.
    void treeViolation(const QString &text)
    {
        m_treeViolated = true;
        violation(text);
    }
    QString pick(session &s, const QStringList &from) { return from.at(int(s.rng() % unsigned(from.size()))); }
    QString describe(const QByteArray &content) const;

    options m_options;
    QString m_root;
    QString m_systemFolder;
    QString m_logPath;
    benchServer m_server;
    std::mt19937 m_rng;
    QStringList m_paths;
    QSet<QString> m_fileNames;
    QSet<QString> m_owners;
    QElapsedTimer m_clock;

    int m_round = 0;
    std::vector<std::unique_ptr<session>> m_sessions;
    int m_ready = 0;
    bool m_killed = false;
    QTimer m_killTimer;
    QTimer m_watchdog;

    std::vector<version> m_versions;
    QMultiHash<QByteArray, size_t> m_byHash;
    QHash<QString, QByteArray> m_baseline; // path -> hash of its content when the round started
    QHash<QString, QByteArray> m_initial;  // path -> hash of its first content
    QSet<QString> m_lockFile;              // "key=owner" lines found after the last round
    QSet<QString> m_lockRequests;          // every "key=owner" ever asked for
    QSet<QString> m_reported;              // stray names already reported
    QSet<QString> m_backupsChecked;

    // Figures.
    int m_kills = 0;
    int m_killsInFileWrite = 0;
    int m_killsInOtherWrite = 0;
    int m_killsWithUploadPending = 0;
    qint64 m_uploads = 0, m_stored = 0, m_refused = 0, m_pendingAtKill = 0, m_bytesSent = 0;
    qint64 m_locks = 0, m_granted = 0, m_unlocks = 0;
    std::map<QString, int> m_writeKinds;
    QStringList m_writeSamples;
    qint64 m_interleaved = 0;
    int m_hiddenLeftovers = 0;
    QString m_firstInterleaved;
    QStringList m_violations;
    bool m_treeViolated = false;
};

QString crashRun::prepare()
{
    QByteArray passwords = "[Users]\r\n";
    for (int c = 0; c < m_options.clients; ++c)
        passwords += userName(c).toUtf8() + "=pw" + QByteArray::number(c) + "\r\n";
    if (!writeFile(m_systemFolder + QStringLiteral("/config/keepyard_password.ini"), passwords + "[Level]\r\n"))
        return QStringLiteral("cannot write the password file below %1").arg(m_root);
    for (const QString &path : std::as_const(m_paths)) {
        const QByteArray content =
            makeContent(m_rng, "initial content of " + path.toUtf8() + '\n', 1000 + m_rng() % 50000);
        if (!writeFile(m_systemFolder + QLatin1Char('/') + path, content))
            return QStringLiteral("cannot write %1").arg(path);
        const QByteArray hash = hashOf(content);
        m_baseline.insert(path, hash);
        m_initial.insert(path, hash);
    }
    m_clock.start();
    m_killTimer.setSingleShot(true);
    QObject::connect(&m_killTimer, &QTimer::timeout, [this] { killServer(); });
    m_watchdog.setSingleShot(true);
    QObject::connect(&m_watchdog, &QTimer::timeout,
                     [this] { killServer(QStringLiteral("the sessions were not logged in and listed within 10 s")); });
    return QString();
}

void crashRun::startRound()
{
    ++m_round;
    m_killed = false;
    m_ready = 0;
    if (const QString problem = m_server.start(m_root, m_logPath); !problem.isEmpty()) {
        violation(QStringLiteral("the server does not start again on the tree: %1").arg(problem));
        QCoreApplication::exit(1);
        return;
    }
    m_watchdog.start(10000);
    for (int c = 0; c < m_options.clients; ++c) {
        auto s = std::make_unique<session>();
        s->id = c;
        s->rng.seed(m_options.seed * 7919u + unsigned(m_round) * 131u + unsigned(c));
        for (const QString &line : std::as_const(m_lockFile)) {
            if (line.section(QLatin1Char('='), 1) == ownerKey(c))
                s->held.insert(line.section(QLatin1Char('='), 0, 0));
        }
        s->peer = std::make_unique<serverPeer>();
        session *raw = s.get();
        s->peer->onReady = [this, raw] { onReady(*raw); };
        s->peer->onNotice = [this, raw](const replyElement &notice, const QString &insideReply) {
            // A notice must not land inside another reply: replies never interleave.
            if (!insideReply.isEmpty() && m_interleaved++ == 0)
                m_firstInterleaved = QStringLiteral("round %1: notice for %2 inside the %3 reply of %4")
                                         .arg(m_round)
                                         .arg(notice.attribute(QStringLiteral("name")), insideReply, userName(raw->id));
        };
        s->peer->onFailure = [this, raw](const QString &text) {
            if (!m_killed)
                killServer(QStringLiteral("%1: %2").arg(userName(raw->id), text));
        };
        s->peer->connectTo(m_server.port());
        m_sessions.push_back(std::move(s));
    }
}

// A restarted server must take the login and list exactly this user's locks
// from the lock file.
void crashRun::onReady(session &s)
{
    s.peer->request(
        peerRequest::login(userName(s.id), QStringLiteral("pw%1").arg(s.id), systemName), QStringLiteral("login"),
        [this, &s](const replyElement &reply) {
            if (reply.attribute(QStringLiteral("type")) != u"reply") {
                killServer(QStringLiteral("login of %1 refused").arg(userName(s.id)));
                return;
            }
            s.peer->request(
                peerRequest::locklist(systemName), QStringLiteral("locklist"), [this, &s](const replyElement &list) {
                    QSet<QString> listed;
                    for (const replyElement &lock : list.children)
                        listed.insert(lock.attribute(QStringLiteral("name")));
                    if (listed != s.held) {
                        QStringList a = listed.values(), b = s.held.values();
                        a.sort();
                        b.sort();
                        violation(QStringLiteral("locklist of %1 after the restart names [%2], the "
                                                 "lock file [%3]")
                                      .arg(userName(s.id), a.join(QStringLiteral(", ")), b.join(QStringLiteral(", "))));
                    }
                    if (++m_ready < m_options.clients)
                        return;
                    m_watchdog.stop();
                    const int span = std::max(0, m_options.maxDelayMs - m_options.minDelayMs);
                    m_killTimer.start(m_options.minDelayMs + int(m_rng() % unsigned(span + 1)));
                    for (auto &each : m_sessions)
                        next(*each);
                });
        });
}

void crashRun::next(session &s)
{
    if (m_killed)
        return;
    ++s.sent;
    const unsigned r = s.rng() % 100;
    QStringList free;
    for (const QString &path : std::as_const(m_paths)) {
        if (!s.held.contains(path))
            free << path;
    }
    if ((s.held.isEmpty() || r < 12) && !free.isEmpty()) {
        const QString path = pick(s, free);
        ++m_locks;
        m_lockRequests.insert(path + QLatin1Char('=') + ownerKey(s.id));
        s.pendingKind = session::lock;
        s.pendingPath = path;
        s.peer->request(
            peerRequest::lock(systemName, path), QStringLiteral("lock"), [this, &s, path](const replyElement &reply) {
                s.pendingKind = session::none;
                const bool granted =
                    reply.children.size() == 1 && reply.children.front().attribute(QStringLiteral("type")) == u"reply";
                if (granted) {
                    ++m_granted;
                    s.held.insert(path);
                }
                next(s);
            });
    } else if (r < 27 && !s.held.isEmpty()) {
        QStringList held = s.held.values();
        held.sort();
        const QString path = pick(s, held);
        ++m_unlocks;
        s.pendingKind = session::unlock;
        s.pendingPath = path;
        s.peer->request(
            peerRequest::unlock(systemName, path), QStringLiteral("unlock"),
            [this, &s, path](const replyElement &reply) {
                s.pendingKind = session::none;
                const bool released =
                    reply.children.size() == 1 && reply.children.front().attribute(QStringLiteral("type")) == u"reply";
                if (!released)
                    violation(QStringLiteral("%1 could not release its lock of %2: %3")
                                  .arg(userName(s.id), path,
                                       reply.children.empty() ? QString() : reply.children.front().message()));
                s.held.remove(path);
                next(s);
            });
    } else {
        QStringList held = s.held.values();
        held.sort();
        // Now and then a path this session does not hold: the server must refuse it.
        sendUpload(s, r < 35 || held.isEmpty() ? pick(s, m_paths) : pick(s, held));
    }
}

void crashRun::sendUpload(session &s, const QString &path)
{
    const unsigned r = s.rng() % 100;
    const qint64 maxBytes = qint64(m_options.maxKiB) * 1024;
    const qint64 size = r < 4    ? 0
                        : r < 40 ? 100 + s.rng() % 4000
                        : r < 70 ? 4096 + s.rng() % 60000
                                 : 65536 + s.rng() % quint32(std::max<qint64>(1, maxBytes - 65536));
    version v;
    v.path = path;
    v.origin = QStringLiteral("%1 upload %2").arg(userName(s.id)).arg(s.sent);
    v.round = m_round;
    const QByteArray header =
        QStringLiteral("round %1 %2 of %3 size %4\n").arg(m_round).arg(v.origin, path).arg(size).toUtf8();
    const QByteArray content = makeContent(s.rng, header, size);
    // Recorded before it is sent: a kill may come at any moment from here on.
    const size_t index = m_versions.size();
    const QByteArray hash = hashOf(content);
    m_byHash.insert(hash, index);
    const QByteArray text = peerRequest::upload(systemName, path, encodeContent(content), content.size(), uploadDate);
    v.sentNs = m_clock.nsecsElapsed();
    m_versions.push_back(v);
    ++m_uploads;
    m_bytesSent += content.size();
    s.pendingKind = session::upload;
    s.pendingPath = path;
    const bool held = s.held.contains(path);
    s.peer->request(text, QStringLiteral("upload"), [this, &s, index, held](const replyElement &reply) {
        s.pendingKind = session::none;
        version &sent = m_versions[index];
        sent.doneNs = m_clock.nsecsElapsed();
        const bool stored =
            reply.children.size() == 1 && reply.children.front().attribute(QStringLiteral("type")) == u"reply";
        sent.outcome = stored ? version::stored : version::refused;
        ++(stored ? m_stored : m_refused);
        if (stored != held)
            violation(
                QStringLiteral("%1 %2 although the sender %3 the lock: %4")
                    .arg(sent.origin, stored ? QStringLiteral("stored") : QStringLiteral("refused"),
                         held ? QStringLiteral("holds") : QStringLiteral("does not hold"),
                         reply.children.empty() ? QStringLiteral("no answer line") : reply.children.front().message()));
        next(s);
    });
}

void crashRun::killServer(const QString &reason)
{
    if (m_killed)
        return;
    m_killed = true;
    m_killTimer.stop();
    m_watchdog.stop();
    if (!reason.isEmpty())
        violation(reason);
    if (!m_server.running()) {
        violation(QStringLiteral("the server ended by itself: %1").arg(m_server.exitText()));
    } else {
        // What the server is writing at this moment, just before the kill.
        const QStringList writing = openForWriting(m_server.pid(), m_root);
        m_server.kill();
        ++m_kills;
        bool inFile = false;
        for (const QString &path : writing) {
            const QString kind = writeKind(path);
            if (m_writeKinds[kind]++ < 2)
                m_writeSamples << path;
            inFile = inFile || kind == u"configuration file";
        }
        if (inFile)
            ++m_killsInFileWrite;
        else if (!writing.isEmpty())
            ++m_killsInOtherWrite;
    }
    bool uploadPending = false;
    for (const auto &s : m_sessions)
        uploadPending = uploadPending || s->pendingKind == session::upload;
    m_killsWithUploadPending += uploadPending ? 1 : 0;
    // The sessions' sockets are torn down outside their own callbacks.
    QTimer::singleShot(0, [this] { endRound(); });
}

void crashRun::endRound()
{
    for (const version &v : m_versions)
        m_pendingAtKill += v.round == m_round && v.outcome == version::pending ? 1 : 0;
    checkFiles();
    checkLockFile();
    checkStrays();
    checkBackups();
    m_sessions.clear();
    if (m_round % 20 == 0 || m_round == m_options.kills) {
        std::printf("round %4d: %d kills, %d in a configuration file write, %d in another write, %lld violations\n",
                    m_round, m_kills, m_killsInFileWrite, m_killsInOtherWrite, qlonglong(m_violations.size()));
        std::fflush(stdout);
    }
    if (m_round < m_options.kills)
        QTimer::singleShot(0, [this] { startRound(); });
    else
        QTimer::singleShot(0, [this] { finalCheck(); });
}

// Says which version a content claims to be from its first line.
QString crashRun::describe(const QByteArray &content) const
{
    const QByteArray head = content.left(content.indexOf('\n'));
    if (head.isEmpty() || head.size() > 200)
        return QStringLiteral("%1 bytes without a recognisable first line").arg(content.size());
    return QStringLiteral("%1 bytes starting \"%2\"").arg(content.size()).arg(QString::fromUtf8(head));
}

// Every file must be one version that may have come last: the content at the
// start of the round if nothing was acknowledged since, an acknowledged
// version that no acknowledged one sent after its reply replaced, or one
// that had no reply yet.
void crashRun::checkFiles()
{
    for (const QString &path : std::as_const(m_paths)) {
        QFile f(m_systemFolder + QLatin1Char('/') + path);
        if (!f.open(QIODevice::ReadOnly)) {
            treeViolation(QStringLiteral("%1 is missing or unreadable").arg(path));
            continue;
        }
        const QByteArray content = f.readAll();
        const QByteArray hash = hashOf(content);
        std::vector<const version *> round;
        for (const version &v : m_versions) {
            if (v.round == m_round && v.path == path)
                round.push_back(&v);
        }
        const auto storedAfter = [&round](qint64 t) {
            return std::any_of(round.begin(), round.end(),
                               [t](const version *v) { return v->outcome == version::stored && v->sentNs > t; });
        };
        bool fine = hash == m_baseline.value(path) && !storedAfter(-1);
        QString problem;
        QString earlier;
        for (auto it = m_byHash.constFind(hash); !fine && it != m_byHash.cend() && it.key() == hash; ++it) {
            const version &v = m_versions[it.value()];
            if (v.path != path)
                continue;
            if (v.round != m_round)
                earlier = QStringLiteral("%1 of round %2").arg(v.origin).arg(v.round);
            else if (v.outcome == version::refused)
                problem = QStringLiteral("the content of %1, which was refused").arg(v.origin);
            else if (v.outcome == version::stored && storedAfter(v.doneNs))
                problem = QStringLiteral("%1, replaced by a later acknowledged version").arg(v.origin);
            else
                fine = true;
        }
        if (!fine && problem.isEmpty()) {
            if (hash == m_baseline.value(path))
                problem = QStringLiteral("the content it had when the round started");
            else if (!earlier.isEmpty())
                problem = QStringLiteral("the content of %1, from an earlier round").arg(earlier);
            else
                problem = QStringLiteral("no version that was sent: %1").arg(describe(content));
        }
        if (!fine) {
            QStringList acknowledged;
            for (const version *v : round) {
                if (v->outcome == version::stored)
                    acknowledged << v->origin;
            }
            treeViolation(QStringLiteral("%1 holds %2; acknowledged this round: [%3]")
                              .arg(path, problem, acknowledged.join(QStringLiteral(", "))));
        }
        m_baseline.insert(path, hash);
    }
}

// The lock file must consist of whole "key=owner" CR LF lines, every one a
// lock that was asked for; it must hold every acknowledged lock and no
// released one, except for the one request per session that had no reply.
void crashRun::checkLockFile()
{
    QFile f(m_systemFolder + QStringLiteral("/server_lock_list.txt"));
    QByteArray raw;
    if (f.open(QIODevice::ReadOnly))
        raw = f.readAll();
    if (!raw.isEmpty() && !raw.endsWith("\r\n"))
        treeViolation(
            QStringLiteral("server_lock_list.txt ends in a partial line: \"%1\"").arg(printable(raw.right(80))));
    QSet<QString> found;
    QList<QByteArray> lines = raw.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    for (const QByteArray &rawLine : std::as_const(lines)) {
        const QString line = QString::fromUtf8(rawLine.endsWith('\r') ? rawLine.chopped(1) : rawLine);
        const QStringList pieces = line.split(QLatin1Char('='));
        if (!rawLine.endsWith('\r') || pieces.size() != 2 || !m_paths.contains(pieces.at(0))
            || !m_owners.contains(pieces.at(1))) {
            treeViolation(QStringLiteral("server_lock_list.txt holds the malformed line \"%1\"").arg(line));
            continue;
        }
        if (!m_lockRequests.contains(line))
            treeViolation(QStringLiteral("server_lock_list.txt holds %1, which nobody asked for").arg(line));
        found.insert(line);
    }

    QSet<QString> expected, mayAppear, mayGo;
    for (const auto &s : m_sessions) {
        for (const QString &key : std::as_const(s->held))
            expected.insert(key + QLatin1Char('=') + ownerKey(s->id));
        const QString pending = s->pendingPath + QLatin1Char('=') + ownerKey(s->id);
        if (s->pendingKind == session::lock)
            mayAppear.insert(pending);
        else if (s->pendingKind == session::unlock)
            mayGo.insert(pending);
    }
    for (const QString &line : found - expected) {
        if (!mayAppear.contains(line) && m_lockRequests.contains(line))
            treeViolation(QStringLiteral("server_lock_list.txt holds %1, which was released or refused").arg(line));
    }
    for (const QString &line : expected - found) {
        if (!mayGo.contains(line))
            treeViolation(QStringLiteral("server_lock_list.txt lacks the granted lock %1").arg(line));
    }
    m_lockFile = found;
}

// Anything in the system folder that is neither configuration, backup, nor
// the lock file would be taken for configuration by a synchronisation.
void crashRun::checkStrays()
{
    static const QRegularExpression backupCopy(QStringLiteral("^backup/(.+)\\.[0-9]+$"));
    static const QRegularExpression backupIndex(QStringLiteral("^backup/[0-9]{8}\\.backup_index$"));
    QDirIterator it(m_systemFolder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(m_systemFolder).relativeFilePath(it.next());
        const bool folder = it.fileInfo().isDir();
        bool known = false;
        if (folder) {
            known = path == u"config" || path == u"backup"
                    || (path.startsWith(u"config/set") && path.count(QLatin1Char('/')) == 1);
        } else {
            const QRegularExpressionMatch copy = backupCopy.match(path);
            known = m_paths.contains(path) || path == u"config/keepyard_password.ini" || path == u"server_lock_list.txt"
                    || backupIndex.match(path).hasMatch()
                    || (copy.hasMatch() && m_fileNames.contains(copy.captured(1)));
        }
        if (known || m_reported.contains(path))
            continue;
        m_reported.insert(path);
        // A write cut short before its rename may leave its hidden part file;
        // no listing or synchronisation shows hidden names.
        if (!folder && it.fileName().startsWith(QLatin1Char('.')) && it.fileName().contains(QLatin1String(".part"))) {
            ++m_hiddenLeftovers;
            continue;
        }
        treeViolation(QStringLiteral("stray %1 %2 (%3 bytes) left in the system folder")
                          .arg(folder ? QStringLiteral("folder") : QStringLiteral("file"), path)
                          .arg(it.fileInfo().size()));
    }
}

// Backup copies are earlier versions and must be whole; index lines complete.
void crashRun::checkBackups()
{
    const QDir backup(m_systemFolder + QStringLiteral("/backup"));
    for (const QString &name : backup.entryList(QDir::Files)) {
        QFile f(backup.filePath(name));
        if (name.endsWith(QStringLiteral(".backup_index"))) {
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const QByteArray raw = f.readAll();
            if (!raw.isEmpty() && !raw.endsWith("\r\n") && !m_reported.contains(name + QStringLiteral(" end"))) {
                m_reported.insert(name + QStringLiteral(" end"));
                treeViolation(
                    QStringLiteral("backup/%1 ends in a partial line: \"%2\"").arg(name, printable(raw.right(80))));
            }
            for (const QByteArray &line : raw.split('\n')) {
                const QString text = QString::fromUtf8(line).trimmed();
                if (text.isEmpty()
                    || (text.split(QLatin1Char(',')).size() == 5
                        && text.section(QLatin1Char(','), 4).startsWith(u"backup/")))
                    continue;
                if (!m_reported.contains(name + text)) {
                    m_reported.insert(name + text);
                    treeViolation(QStringLiteral("backup/%1 holds the malformed line \"%2\"").arg(name, text));
                }
            }
            continue;
        }
        if (m_backupsChecked.contains(name) || !f.open(QIODevice::ReadOnly))
            continue;
        m_backupsChecked.insert(name);
        const QByteArray content = f.readAll();
        const QByteArray hash = hashOf(content);
        const QString fileName = name.section(QLatin1Char('.'), 0, -2);
        bool known = false;
        for (auto it = m_initial.cbegin(); it != m_initial.cend() && !known; ++it)
            known = it.value() == hash && it.key().endsWith(QLatin1Char('/') + fileName);
        for (auto it = m_byHash.constFind(hash); !known && it != m_byHash.cend() && it.key() == hash; ++it)
            known = m_versions[it.value()].path.endsWith(QLatin1Char('/') + fileName);
        if (!known)
            treeViolation(QStringLiteral("backup copy backup/%1 is no version of a file %2: %3")
                              .arg(name, fileName, describe(content)));
    }
}

// After the last kill: the server starts once more, answers each user's login
// and lock list, and ends cleanly.
void crashRun::finalCheck()
{
    ++m_round;
    if (const QString problem = m_server.start(m_root, m_logPath); !problem.isEmpty()) {
        violation(QStringLiteral("the server does not start again on the tree: %1").arg(problem));
        QCoreApplication::exit(1);
        return;
    }
    for (int c = 0; c < m_options.clients; ++c) {
        const exchangeResult result = exchange(
            m_server.port(),
            {{peerRequest::login(userName(c), QStringLiteral("pw%1").arg(c), systemName), QStringLiteral("login")},
             {peerRequest::locklist(systemName), QStringLiteral("locklist")}});
        if (!result.error.isEmpty() || result.replies.size() != 2
            || result.replies.front().attribute(QStringLiteral("type")) != u"reply") {
            violation(
                QStringLiteral("%1: no login and lock list after the last kill: %2").arg(userName(c), result.error));
            continue;
        }
        QSet<QString> listed, expected;
        for (const replyElement &lock : result.replies.back().children)
            listed.insert(lock.attribute(QStringLiteral("name")) + QLatin1Char('=') + ownerKey(c));
        for (const QString &line : std::as_const(m_lockFile)) {
            if (line.endsWith(QLatin1Char('=') + ownerKey(c)))
                expected.insert(line);
        }
        if (listed != expected)
            violation(
                QStringLiteral("%1: the lock list after the last kill differs from the lock file").arg(userName(c)));
    }
    if (const QString problem = m_server.stop(); !problem.isEmpty())
        violation(problem);
    if (m_interleaved > 0)
        m_violations << QStringLiteral(
                            "%1 update notices were written inside another session's open reply; the first: %2")
                            .arg(m_interleaved)
                            .arg(m_firstInterleaved);
    QCoreApplication::exit(m_violations.isEmpty() ? 0 : 1);
}

void crashRun::report() const
{
    std::printf("\nkills                 %d\n", m_kills);
    std::printf("  in a file write     %d (the server had a configuration file open for writing)\n",
                m_killsInFileWrite);
    std::printf("  in another write    %d (lock file, backup folder or index only)\n", m_killsInOtherWrite);
    std::printf("  upload unanswered   %d\n", m_killsWithUploadPending);
    for (const auto &[kind, count] : m_writeKinds)
        std::printf("  open for writing    %-48s %d times\n", qPrintable(kind), count);
    for (const QString &path : m_writeSamples)
        std::printf("    for example       %s\n", qPrintable(path));
    std::printf(
        "uploads               %lld sent (%.1f MB), %lld stored, %lld refused, %lld without a reply at the kill\n",
        qlonglong(m_uploads), double(m_bytesSent) / 1e6, qlonglong(m_stored), qlonglong(m_refused),
        qlonglong(m_pendingAtKill));
    std::printf("locks                 %lld asked, %lld granted; %lld unlocks\n", qlonglong(m_locks),
                qlonglong(m_granted), qlonglong(m_unlocks));
    std::printf("hidden part files     %d left by writes cut short (never listed)\n", m_hiddenLeftovers);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Kills a configuration server with SIGKILL at random moments while sessions lock and upload files, and "
        "checks the files, the lock file and the backups it leaves behind."));
    parser.addHelpOption();
    const auto intOption = [](const char *name, const char *text, const char *value) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(text), QStringLiteral("n"),
                                  QString::fromLatin1(value));
    };
    const QCommandLineOption killsOption = intOption("kills", "Rounds, each ended by a kill (200).", "200");
    const QCommandLineOption clientsOption = intOption("clients", "Concurrent sessions, one user each (2).", "2");
    const QCommandLineOption pathsOption = intOption("paths", "Files below config (12).", "12");
    const QCommandLineOption maxKiBOption = intOption("max-kib", "Largest upload in KiB (300).", "300");
    const QCommandLineOption minDelayOption =
        intOption("min-delay", "Shortest time in ms from the first request to the kill (0).", "0");
    const QCommandLineOption maxDelayOption =
        intOption("max-delay", "Longest time in ms from the first request to the kill (400).", "400");
    const QCommandLineOption seedOption = intOption("seed", "Seed of the random choices (1).", "1");
    const QCommandLineOption hostOption(
        QStringLiteral("host"), QStringLiteral("The server program (bench_keepyard_sessions_host next to this one)."),
        QStringLiteral("path"), benchServer::defaultProgram());
    const QCommandLineOption keepTreeOption(
        QStringLiteral("keep-tree"),
        QStringLiteral("Keep the installation root and the server log (also kept after a violation found on disk)."));
    parser.addOptions({killsOption, clientsOption, pathsOption, maxKiBOption, minDelayOption, maxDelayOption,
                       seedOption, hostOption, keepTreeOption});
    parser.process(app);

    options o;
    bool ok[7] = {};
    o.kills = parser.value(killsOption).toInt(&ok[0]);
    o.clients = parser.value(clientsOption).toInt(&ok[1]);
    o.paths = parser.value(pathsOption).toInt(&ok[2]);
    o.maxKiB = parser.value(maxKiBOption).toInt(&ok[3]);
    o.minDelayMs = parser.value(minDelayOption).toInt(&ok[4]);
    o.maxDelayMs = parser.value(maxDelayOption).toInt(&ok[5]);
    o.seed = parser.value(seedOption).toUInt(&ok[6]);
    o.host = parser.value(hostOption);
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) || o.kills < 1 || o.clients < 1
        || o.clients > 99 || o.paths < sets || o.maxKiB < 64 || o.minDelayMs < 0 || o.maxDelayMs < o.minDelayMs) {
        std::fprintf(stderr,
                     "error: kills and clients (up to 99) must be positive, paths at least %d, max-kib at least "
                     "64, and 0 <= min-delay <= max-delay\n",
                     sets);
        return 2;
    }

    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "error: no temporary folder: %s\n", qPrintable(work.errorString()));
        return 1;
    }
    const QString root = work.filePath(QStringLiteral("root"));
    const QString logPath = work.filePath(QStringLiteral("server.log"));
    crashRun run(o, root, logPath);
    if (const QString problem = run.prepare(); !problem.isEmpty()) {
        std::fprintf(stderr, "error: %s\n", qPrintable(problem));
        return 1;
    }
    std::printf("keepyard crash: %d kills, %d sessions, %d paths, uploads up to %d KiB, kill %d to %d ms after the "
                "first request\nroot %s\n\n",
                o.kills, o.clients, o.paths, o.maxKiB, o.minDelayMs, o.maxDelayMs, qPrintable(root));
    std::fflush(stdout);

    QTimer::singleShot(0, [&run] { run.start(); });
    app.exec();
    run.report();
    const QStringList &violations = run.violations();
    if (violations.isEmpty()) {
        std::printf("checks                passed: files whole, lock file, no stray files, backups, restart with login "
                    "and lock list\n");
    } else {
        std::printf("\n%lld violations:\n", qlonglong(violations.size()));
        for (const QString &v : violations)
            std::printf("  %s\n", qPrintable(v));
    }
    if (parser.isSet(keepTreeOption) || run.treeViolated()) {
        work.setAutoRemove(false);
        std::printf("installation root and server log kept in %s\n", qPrintable(work.path()));
    }
    return violations.isEmpty() ? 0 : 1;
}
