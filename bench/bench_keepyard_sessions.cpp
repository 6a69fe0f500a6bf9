// Load test of the configuration server. Prepares a temporary installation
// root (three systems, a password file and a folder of 2,000 entries), starts
// bench_keepyard_sessions_host on it, and drives many concurrent sessions over
// 127.0.0.1 from one event loop. Every session repeats systems, login and a
// recursive dir of the big folder, each time waiting for the whole reply,
// which must match byte for byte. The sessions run in blocks of rounds; after
// each block the server process's memory is read from /proc, so that growth
// across repetitions shows.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

namespace {

const QByteArray greeting("<xml>\r\n");
const QByteArray openDocument("<xml>");
const QByteArray closeDocument("</xml>");
const QByteArray systemsRequest("<systems type=\"request\" />");
const QByteArray systemsReply("<systems type=\"reply\">\r\n\t<system name=\"alpha\" />\r\n\t<system name=\"North\" />\r\n"
                              "\t<system name=\"South\" />\r\n</systems>\r\n");
const QByteArray loginRequest("<login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\" />");
const QByteArray loginReply("<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n");
const QByteArray dirRequest(
    "<dir type=\"request\" uid=\"bench\" system=\"North\" path=\"config/big\" filter=\"\" recursive=\"true\"/>");
const QByteArray dirHead("<dir type=\"reply\" uid=\"bench\" system=\"North\" filter=\"\">\r\n");
const QByteArray dirTail("</dir>\r\n");
const QString bigFolder = QStringLiteral("config/big");

struct Options
{
    int sessions = 100;
    int rounds = 10;
    int blocks = 8;
    int entries = 2000;
    double target = 2000;
    QString host;
};

// --------------------------------------------------------------------------
// The server process, seen through /proc.

struct Memory
{
    qint64 rss = -1; // KiB
    qint64 anon = -1;
    qint64 hwm = -1;
};

QByteArray readProcFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

Memory readMemory(qint64 pid)
{
    Memory m;
    const QByteArray status = readProcFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray key = line.left(colon);
        qint64 *field = key == "VmRSS" ? &m.rss : key == "RssAnon" ? &m.anon : key == "VmHWM" ? &m.hwm : nullptr;
        if (field)
            *field = line.mid(colon + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return m;
}

// User plus system time of a process, in seconds.
double cpuSeconds(qint64 pid)
{
    const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype end = stat.lastIndexOf(')');
    if (end < 0)
        return 0;
    // Fields after the command name, starting with the state (field 3).
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// --------------------------------------------------------------------------
// The installation root.

QByteArray escaped(const QString &text)
{
    QByteArray out;
    for (char c : text.toUtf8()) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

// Systems alpha, North and South, the password file of North, and below
// North/config/big `entries` items: 10 areas of 3 files and 4 units each, the
// rest of the files spread over the 40 units. Fills `expected` with one key
// per item ("dir config/big/area00", "file config/big/area00/unit1/x.cfg", in
// their escaped form) for checking the listing.
QString makeRoot(const QString &root, int entries, QSet<QByteArray> &expected)
{
    constexpr int areas = 10;
    constexpr int unitsPerArea = 4;
    constexpr int filesPerArea = 3;
    constexpr int fixed = areas * (1 + unitsPerArea + filesPerArea);
    if (entries < fixed)
        return QStringLiteral("at least %1 entries are needed").arg(fixed);

    const QString north = root + QStringLiteral("/North");
    QDir top(root);
    if (!top.mkpath(QStringLiteral("alpha/config")) || !top.mkpath(QStringLiteral("South/config"))
        || !top.mkpath(QStringLiteral("North/config/big")))
        return QStringLiteral("cannot create the systems below %1").arg(root);
    if (!writeFile(north + QStringLiteral("/config/keepyard_password.ini"),
                   "[Users]\r\nops=secret\r\n[Level]\r\nops=2\r\n"))
        return QStringLiteral("cannot write the password file");

    static const char *const stems[] = {"Settings", "channels", "alarm_Limits", "io&map", "station"};
    static const char *const extensions[] = {".cfg", ".INI", ".xml", ".cfg", ".dat"};
    QStringList units;
    const auto addFolder = [&](const QString &relative) {
        expected.insert("dir " + escaped(relative));
        return QDir(north).mkpath(relative);
    };
    const auto addFile = [&](const QString &relative) {
        expected.insert("file " + escaped(relative));
        return writeFile(north + QLatin1Char('/') + relative, relative.toUtf8() + '\n');
    };
    bool ok = true;
    for (int a = 0; a < areas; ++a) {
        const QString area = bigFolder + QStringLiteral("/area%1").arg(a, 2, 10, QLatin1Char('0'));
        ok = addFolder(area) && ok;
        for (int f = 0; f < filesPerArea; ++f)
            ok = addFile(area + QStringLiteral("/Notes%1.txt").arg(f)) && ok;
        for (int u = 0; u < unitsPerArea; ++u) {
            units << area + QStringLiteral("/unit%1").arg(u);
            ok = addFolder(units.last()) && ok;
        }
    }
    for (int i = 0; i < entries - fixed; ++i) {
        const int kind = i % int(std::size(stems));
        ok = addFile(units.at(i % units.size()) + QLatin1Char('/') + QLatin1String(stems[kind])
                     + QString::number(i / units.size()) + QLatin1String(extensions[kind]))
             && ok;
    }
    if (!ok)
        return QStringLiteral("cannot create the listed folder");
    return QString();
}

// Reads the token up to `stop` after checking that `prefix` comes first.
bool take(const QByteArray &line, qsizetype &pos, const char *prefix, char stop, QByteArray &token)
{
    const qsizetype n = qsizetype(std::strlen(prefix));
    if (line.mid(pos, n) != prefix)
        return false;
    pos += n;
    const qsizetype end = line.indexOf(stop, pos);
    if (end < 0)
        return false;
    token = line.mid(pos, end - pos);
    pos = end;
    return true;
}

bool looksLikeTime(const QByteArray &t)
{
    if (t.size() != 19)
        return false;
    for (qsizetype i = 0; i < t.size(); ++i) {
        const char want = i == 4 || i == 7 ? '-' : i == 10 ? 'T' : i == 13 || i == 16 ? ':' : '0';
        if (want == '0' ? (t[i] < '0' || t[i] > '9') : t[i] != want)
            return false;
    }
    return true;
}

// Checks a recursive listing of the big folder: header and end, one well-formed
// line per item, every expected item exactly once, and each item after the
// line of the folder that holds it.
QString checkDirReply(const QByteArray &reply, const QSet<QByteArray> &expected)
{
    if (!reply.startsWith(dirHead) || !reply.endsWith(dirTail))
        return QStringLiteral("the dir reply lacks its header or end: %1").arg(QString::fromUtf8(reply.left(200)));
    const QByteArray body = reply.mid(dirHead.size(), reply.size() - dirHead.size() - dirTail.size());
    QSet<QByteArray> seen;
    QSet<QByteArray> listedFolders{escaped(bigFolder)};
    qsizetype pos = 0;
    while (pos < body.size()) {
        const qsizetype end = body.indexOf("\r\n", pos);
        if (end < 0)
            return QStringLiteral("unterminated item line in the dir reply");
        const QByteArray line = body.mid(pos, end - pos);
        pos = end + 2;
        QByteArray type, time, path, name;
        qsizetype at = 0;
        if (!take(line, at, "\t<item type=\"", '"', type) || !take(line, at, "\" time=\"", '"', time)
            || !take(line, at, "\" path=\"", '"', path) || !take(line, at, "\" >", '<', name)
            || line.mid(at) != "</item>" || (type != "dir" && type != "file") || !looksLikeTime(time))
            return QStringLiteral("malformed item line: %1").arg(QString::fromUtf8(line));
        if (!listedFolders.contains(path))
            return QStringLiteral("item before the line of its folder: %1").arg(QString::fromUtf8(line));
        const QByteArray key = type + ' ' + path + '/' + name;
        if (!expected.contains(key))
            return QStringLiteral("unexpected item: %1").arg(QString::fromUtf8(line));
        if (seen.contains(key))
            return QStringLiteral("item listed twice: %1").arg(QString::fromUtf8(line));
        seen.insert(key);
        if (type == "dir")
            listedFolders.insert(path + '/' + name);
    }
    if (seen.size() != expected.size())
        return QStringLiteral("%1 of %2 items listed").arg(seen.size()).arg(expected.size());
    return QString();
}

// --------------------------------------------------------------------------
// The sessions.

struct Sample
{
    QString phase;
    qint64 requests = 0;
    double seconds = 0;
    double serverCpu = 0; // seconds
    double ownCpu = 0;
    Memory memory;
    qint64 peakRss = -1; // highest VmRSS seen while the block ran
};

class LoadRun
{
public:
    LoadRun(const Options &options, quint16 port, qint64 serverPid, const QSet<QByteArray> &expected)
        : m_options(options), m_port(port), m_serverPid(serverPid), m_expected(expected)
    {
        m_requests[0] = systemsRequest;
        m_requests[1] = loginRequest;
        m_requests[2] = dirRequest;
        m_replies[0] = &systemsReply;
        m_replies[1] = &loginReply;
        m_replies[2] = &m_dirReply;
    }

    void start();
    const std::vector<Sample> &samples() const { return m_samples; }
    qsizetype dirReplySize() const { return m_dirReply.size(); }
    bool failed() const { return !m_error.isEmpty(); }

private:
    struct Peer
    {
        std::unique_ptr<QTcpSocket> socket;
        const QByteArray *expected = nullptr; // the reply being received
        qsizetype matched = 0;                 // bytes of it received so far
        int step = 0;                          // index into the round's requests
        int roundsLeft = 0;
        bool opened = false;                   // "<xml>" written
        bool probing = false;
        bool closed = false;
        QByteArray probe;                      // everything received while probing
    };

    void onReadyRead(int index);
    void consume(int index, const char *data, qsizetype size);
    void onReply(int index);
    void onProbeData(int index);
    void sendNext(int index);
    void allGreeted();
    void startBlock();
    void endBlock();
    void closeSessions();
    void onDisconnected(int index);
    void finish();
    void fail(const QString &message);
    Sample sample(const QString &phase) const;
    void printRow(const Sample &s) const;

    Options m_options;
    quint16 m_port;
    qint64 m_serverPid;
    QSet<QByteArray> m_expected;
    QByteArray m_requests[3];
    const QByteArray *m_replies[3];
    QByteArray m_dirReply; // taken from the probe once it has been checked

    std::vector<Peer> m_peers;
    int m_greeted = 0;
    int m_peersDone = 0;
    int m_closedPeers = 0;
    int m_block = 0;
    qint64 m_completed = 0; // requests answered in the current block
    qint64 m_progress = 0;  // every reply byte, for the watchdog
    qint64 m_progressSeen = -1;
    int m_stalledSeconds = 0;
    QElapsedTimer m_clock;
    double m_serverCpuAtStart = 0;
    double m_ownCpuAtStart = 0;
    qint64 m_peakRss = -1;
    QTimer m_sampler;
    QTimer m_watchdog;
    std::vector<Sample> m_samples;
    QString m_error;
    char m_scratch[64 * 1024];
};

void LoadRun::start()
{
    QObject::connect(&m_sampler, &QTimer::timeout, [this] {
        m_peakRss = std::max(m_peakRss, readMemory(m_serverPid).rss);
    });
    m_sampler.setInterval(100);
    QObject::connect(&m_watchdog, &QTimer::timeout, [this] {
        m_stalledSeconds = m_progress == m_progressSeen ? m_stalledSeconds + 1 : 0;
        m_progressSeen = m_progress;
        if (m_stalledSeconds >= 30)
            fail(QStringLiteral("no reply byte for 30 s (%1 of %2 sessions greeted, %3 done, %4 closed)")
                     .arg(m_greeted).arg(m_options.sessions).arg(m_peersDone).arg(m_closedPeers));
    });
    m_watchdog.start(1000);

    printRow(sample(QStringLiteral("server started")));
    m_clock.start();
    m_peers.resize(size_t(m_options.sessions));
    for (int i = 0; i < m_options.sessions; ++i) {
        Peer &peer = m_peers[size_t(i)];
        peer.socket = std::make_unique<QTcpSocket>();
        peer.expected = &greeting;
        QTcpSocket *socket = peer.socket.get();
        QObject::connect(socket, &QIODevice::readyRead, socket, [this, i] { onReadyRead(i); });
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, [this, i] { onDisconnected(i); });
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [this, i](QAbstractSocket::SocketError error) {
            // The server closing after "</xml>" is the expected end.
            if (error != QAbstractSocket::RemoteHostClosedError || !m_peers[size_t(i)].opened)
                fail(QStringLiteral("session %1: %2").arg(i).arg(m_peers[size_t(i)].socket->errorString()));
        });
        socket->connectToHost(QHostAddress(QHostAddress::LocalHost), m_port);
    }
}

void LoadRun::onReadyRead(int index)
{
    Peer &peer = m_peers[size_t(index)];
    if (peer.probing) {
        onProbeData(index);
        return;
    }
    while (!failed() && peer.socket->bytesAvailable() > 0) {
        const qint64 n = peer.socket->read(m_scratch, sizeof m_scratch);
        if (n <= 0)
            break;
        m_progress += n;
        consume(index, m_scratch, n);
    }
}

// Compares arriving bytes with the reply expected next; the sessions wait for
// each reply before asking again, so any byte beyond it is a fault as well.
void LoadRun::consume(int index, const char *data, qsizetype size)
{
    Peer &peer = m_peers[size_t(index)];
    while (size > 0 && !failed()) {
        if (!peer.expected) {
            fail(QStringLiteral("session %1: unasked bytes: %2")
                     .arg(index).arg(QString::fromUtf8(QByteArray(data, std::min<qsizetype>(size, 200)))));
            return;
        }
        const QByteArray &want = *peer.expected;
        const qsizetype n = std::min(size, want.size() - peer.matched);
        if (std::memcmp(data, want.constData() + peer.matched, size_t(n)) != 0) {
            qsizetype at = 0;
            while (data[at] == want[peer.matched + at])
                ++at;
            const qsizetype offset = peer.matched + at;
            fail(QStringLiteral("session %1, round step %2: reply differs at byte %3\n  expected: %4\n  received: %5")
                     .arg(index).arg(peer.step).arg(offset)
                     .arg(QString::fromUtf8(want.mid(offset, 120)))
                     .arg(QString::fromUtf8(QByteArray(data + at, std::min<qsizetype>(size - at, 120)))));
            return;
        }
        peer.matched += n;
        data += n;
        size -= n;
        if (peer.matched == want.size()) {
            peer.expected = nullptr;
            peer.matched = 0;
            onReply(index);
        }
    }
}

void LoadRun::onReply(int index)
{
    Peer &peer = m_peers[size_t(index)];
    if (peer.roundsLeft == 0) { // the greeting
        if (++m_greeted == m_options.sessions)
            allGreeted();
        return;
    }
    ++m_completed;
    if (++peer.step == 3) {
        peer.step = 0;
        if (--peer.roundsLeft == 0) {
            if (++m_peersDone == m_options.sessions)
                endBlock();
            return;
        }
    }
    sendNext(index);
}

void LoadRun::sendNext(int index)
{
    Peer &peer = m_peers[size_t(index)];
    peer.expected = m_replies[peer.step];
    peer.matched = 0;
    if (peer.opened) {
        peer.socket->write(m_requests[peer.step]);
    } else {
        peer.opened = true;
        peer.socket->write(openDocument + m_requests[peer.step]);
    }
}

// One session asks once for all three before the load starts; its dir reply,
// once checked item by item, is what every later dir reply must equal.
void LoadRun::allGreeted()
{
    const double connectSeconds = double(m_clock.elapsed()) / 1000;
    Sample s = sample(QStringLiteral("%1 sessions open").arg(m_options.sessions));
    s.seconds = connectSeconds;
    printRow(s);
    m_samples.push_back(s);
    Peer &peer = m_peers[0];
    peer.probing = true;
    peer.opened = true;
    peer.socket->write(openDocument + systemsRequest + loginRequest + dirRequest);
}

void LoadRun::onProbeData(int index)
{
    Peer &peer = m_peers[size_t(index)];
    const QByteArray data = peer.socket->readAll();
    m_progress += data.size();
    peer.probe += data;
    const QByteArray head = systemsReply + loginReply;
    if (peer.probe.size() >= head.size() && !peer.probe.startsWith(head)) {
        fail(QStringLiteral("unexpected reply to systems and login:\n%1")
                 .arg(QString::fromUtf8(peer.probe.left(400))));
        return;
    }
    if (peer.probe.size() <= head.size() || !peer.probe.endsWith(dirTail))
        return;
    m_dirReply = peer.probe.mid(head.size());
    const QString problem = checkDirReply(m_dirReply, m_expected);
    if (!problem.isEmpty()) {
        fail(problem);
        return;
    }
    peer.probing = false;
    peer.probe.clear();
    std::printf("%-20s dir reply checked: %lld items, %lld bytes\n", "", qlonglong(m_expected.size()),
                qlonglong(m_dirReply.size()));
    std::fflush(stdout);
    startBlock();
}

void LoadRun::startBlock()
{
    ++m_block;
    m_completed = 0;
    m_peersDone = 0;
    m_peakRss = readMemory(m_serverPid).rss;
    m_serverCpuAtStart = cpuSeconds(m_serverPid);
    m_ownCpuAtStart = cpuSeconds(QCoreApplication::applicationPid());
    m_sampler.start();
    m_clock.restart();
    for (size_t i = 0; i < m_peers.size(); ++i) {
        m_peers[i].roundsLeft = m_options.rounds;
        m_peers[i].step = 0;
        sendNext(int(i));
    }
}

void LoadRun::endBlock()
{
    const double seconds = double(m_clock.nsecsElapsed()) / 1e9;
    m_sampler.stop();
    Sample s = sample(QStringLiteral("block %1").arg(m_block));
    s.requests = m_completed;
    s.seconds = seconds;
    s.serverCpu -= m_serverCpuAtStart;
    s.ownCpu -= m_ownCpuAtStart;
    s.peakRss = std::max(m_peakRss, s.memory.rss);
    m_samples.push_back(s);
    printRow(s);
    if (m_block < m_options.blocks)
        QTimer::singleShot(0, [this] { startBlock(); });
    else
        QTimer::singleShot(0, [this] { closeSessions(); });
}

// Each session ends its document; the server then closes the connection.
void LoadRun::closeSessions()
{
    m_clock.restart();
    for (Peer &peer : m_peers)
        peer.socket->write(closeDocument);
}

void LoadRun::onDisconnected(int index)
{
    Peer &peer = m_peers[size_t(index)];
    if (peer.closed)
        return;
    peer.closed = true;
    if (m_block < m_options.blocks || m_peersDone < m_options.sessions) {
        fail(QStringLiteral("session %1 closed by the server during the load").arg(index));
        return;
    }
    if (++m_closedPeers == m_options.sessions) {
        // Give the server's deferred deletions a moment before reading memory.
        QTimer::singleShot(500, [this] { finish(); });
    }
}

void LoadRun::finish()
{
    const Sample s = sample(QStringLiteral("sessions closed"));
    printRow(s);
    m_samples.push_back(s);
    m_watchdog.stop();
    QCoreApplication::exit(0);
}

void LoadRun::fail(const QString &message)
{
    if (failed())
        return;
    m_error = message;
    std::fprintf(stderr, "error: %s\n", qPrintable(message));
    m_sampler.stop();
    m_watchdog.stop();
    QCoreApplication::exit(1);
}

Sample LoadRun::sample(const QString &phase) const
{
    Sample s;
    s.phase = phase;
    s.memory = readMemory(m_serverPid);
    s.serverCpu = cpuSeconds(m_serverPid);
    s.ownCpu = cpuSeconds(QCoreApplication::applicationPid());
    return s;
}

QString kib(qint64 value)
{
    return value < 0 ? QStringLiteral("-") : QString::number(value);
}

void printHeader()
{
    std::printf("%-20s %9s %8s %8s %7s %7s %10s %10s %10s %10s\n", "phase", "requests", "seconds", "req/s", "server",
                "loadgen", "VmRSS", "RssAnon", "peak RSS", "VmHWM");
    std::printf("%-20s %9s %8s %8s %7s %7s %10s %10s %10s %10s\n", "", "", "", "", "CPU %", "CPU %", "KiB", "KiB",
                "KiB", "KiB");
}

void LoadRun::printRow(const Sample &s) const
{
    if (s.requests > 0) {
        std::printf("%-20s %9lld %8.2f %8.0f %7.0f %7.0f %10s %10s %10s %10s\n", qPrintable(s.phase),
                    qlonglong(s.requests), s.seconds, double(s.requests) / s.seconds, 100 * s.serverCpu / s.seconds,
                    100 * s.ownCpu / s.seconds, qPrintable(kib(s.memory.rss)), qPrintable(kib(s.memory.anon)),
                    qPrintable(kib(s.peakRss)), qPrintable(kib(s.memory.hwm)));
    } else {
        const QString seconds = s.seconds > 0 ? QString::number(s.seconds, 'f', 2) : QString();
        std::printf("%-20s %9s %8s %8s %7s %7s %10s %10s %10s %10s\n", qPrintable(s.phase), "", qPrintable(seconds),
                    "", "", "", qPrintable(kib(s.memory.rss)), qPrintable(kib(s.memory.anon)), "",
                    qPrintable(kib(s.memory.hwm)));
    }
    std::fflush(stdout);
}

void printSummary(const Options &options, const std::vector<Sample> &samples, qsizetype dirReplySize)
{
    std::vector<const Sample *> blocks;
    for (const Sample &s : samples) {
        if (s.requests > 0)
            blocks.push_back(&s);
    }
    if (blocks.empty())
        return;
    qint64 requests = 0;
    double seconds = 0;
    for (const Sample *s : blocks) {
        requests += s->requests;
        seconds += s->seconds;
    }
    const double rate = double(requests) / seconds;
    const double replyBytes =
        double(requests) / 3 * double(systemsReply.size() + loginReply.size() + dirReplySize);
    std::printf("\nthroughput  %.0f requests/s over %lld requests in %.2f s (%.1f MB/s of replies); target %.0f: %s\n",
                rate, qlonglong(requests), seconds, replyBytes / seconds / 1e6, options.target,
                rate >= options.target ? "met" : "MISSED");
    std::printf("peak memory VmHWM %lld KiB\n", qlonglong(samples.back().memory.hwm));
    // The first block grows caches and buffers; later blocks must not grow.
    // Single readings scatter by several MiB, as the allocator keeps part of
    // the transient reply buffers, so the trend over the blocks is what counts.
    if (blocks.size() >= 4) {
        const auto describe = [&blocks](const char *what, qint64 Sample::*field, qint64 Memory::*memoryField) {
            const auto value = [&](size_t i) {
                return field ? blocks[i]->*field : blocks[i]->memory.*memoryField;
            };
            qint64 low = value(1), high = low;
            double sx = 0, sy = 0, sxx = 0, sxy = 0;
            const double n = double(blocks.size() - 1);
            for (size_t i = 1; i < blocks.size(); ++i) {
                low = std::min(low, value(i));
                high = std::max(high, value(i));
                sx += double(i);
                sy += double(value(i));
                sxx += double(i) * double(i);
                sxy += double(i) * double(value(i));
            }
            const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
            std::printf("            %-24s blocks 2-%zu: %lld to %lld KiB, trend %+.0f KiB per block\n", what,
                        blocks.size(), qlonglong(low), qlonglong(high), slope);
        };
        std::printf("memory\n");
        describe("VmRSS after the block", nullptr, &Memory::rss);
        describe("peak VmRSS in the block", &Sample::peakRss, nullptr);
    }
    const Sample &closed = samples.back();
    const Sample &open = samples.front();
    std::printf("            VmRSS with the sessions closed: %lld KiB (%+lld KiB against the open sessions before the "
                "load)\n",
                qlonglong(closed.memory.rss), qlonglong(closed.memory.rss - open.memory.rss));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Drives concurrent sessions (systems, login, recursive dir) against a configuration server "
                       "in its own process and reports requests per second and the server's memory."));
    parser.addHelpOption();
    const QCommandLineOption sessionsOption(QStringLiteral("sessions"), QStringLiteral("Concurrent sessions (100)."),
                                            QStringLiteral("n"), QStringLiteral("100"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Rounds of three requests per session and block (10)."),
                                          QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption blocksOption(QStringLiteral("blocks"),
                                          QStringLiteral("Blocks, each followed by a memory reading (8)."),
                                          QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption entriesOption(QStringLiteral("entries"),
                                           QStringLiteral("Items below the listed folder (2000)."), QStringLiteral("n"),
                                           QStringLiteral("2000"));
    const QCommandLineOption targetOption(QStringLiteral("target"), QStringLiteral("Requests/s to reach (2000)."),
                                          QStringLiteral("n"), QStringLiteral("2000"));
    const QCommandLineOption hostOption(
        QStringLiteral("host"), QStringLiteral("The server program (bench_keepyard_sessions_host next to this one)."),
        QStringLiteral("path"),
        QCoreApplication::applicationDirPath() + QStringLiteral("/bench_keepyard_sessions_host"));
    const QCommandLineOption keepLogOption(QStringLiteral("keep-log"),
                                           QStringLiteral("Copy the server's log output to this file."),
                                           QStringLiteral("file"));
    parser.addOptions({sessionsOption, roundsOption, blocksOption, entriesOption, targetOption, hostOption,
                       keepLogOption});
    parser.process(app);

    Options options;
    bool ok[5] = {};
    options.sessions = parser.value(sessionsOption).toInt(&ok[0]);
    options.rounds = parser.value(roundsOption).toInt(&ok[1]);
    options.blocks = parser.value(blocksOption).toInt(&ok[2]);
    options.entries = parser.value(entriesOption).toInt(&ok[3]);
    options.target = parser.value(targetOption).toDouble(&ok[4]);
    options.host = parser.value(hostOption);
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) || options.sessions < 1
        || options.rounds < 1 || options.blocks < 1) {
        std::fprintf(stderr, "error: sessions, rounds and blocks must be positive numbers\n");
        return 2;
    }

    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "error: no temporary folder: %s\n", qPrintable(work.errorString()));
        return 1;
    }
    const QString root = work.filePath(QStringLiteral("root"));
    const QString logPath = work.filePath(QStringLiteral("server.log"));
    QSet<QByteArray> expected;
    if (const QString problem = makeRoot(root, options.entries, expected); !problem.isEmpty()) {
        std::fprintf(stderr, "error: %s\n", qPrintable(problem));
        return 1;
    }

    QProcess host;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    host.setProcessEnvironment(env);
    host.setStandardErrorFile(logPath);
    host.start(options.host, {root});
    const auto stopHost = [&host] {
        host.closeWriteChannel(); // the server ends when its input ends
        if (!host.waitForFinished(10000)) {
            host.kill();
            host.waitForFinished(5000);
        }
    };
    const auto showLog = [&logPath] {
        const QByteArray log = readProcFile(logPath);
        std::fprintf(stderr, "last server output:\n%s\n", log.right(2000).constData());
    };
    if (!host.waitForStarted(10000)) {
        std::fprintf(stderr, "error: cannot start %s: %s\n", qPrintable(options.host), qPrintable(host.errorString()));
        return 1;
    }
    QByteArray line;
    while (!line.endsWith('\n') && (host.bytesAvailable() > 0 || host.waitForReadyRead(10000)))
        line += host.readLine();
    quint16 port = 0;
    if (line.startsWith("port "))
        port = quint16(line.mid(5).trimmed().toUInt());
    if (port == 0) {
        std::fprintf(stderr, "error: the server reported no port\n");
        stopHost();
        showLog();
        return 1;
    }

    std::printf("keepyard sessions: %d sessions on 127.0.0.1:%u, %d blocks of %d rounds (systems, login, recursive "
                "dir of %d items)\nserver pid %lld, root %s\n\n",
                options.sessions, unsigned(port), options.blocks, options.rounds, options.entries,
                qlonglong(host.processId()), qPrintable(root));
    printHeader();

    LoadRun run(options, port, host.processId(), expected);
    QTimer::singleShot(0, [&run] { run.start(); });
    const int result = app.exec();
    if (result == 0)
        printSummary(options, run.samples(), run.dirReplySize());

    stopHost();
    if (parser.isSet(keepLogOption)) {
        QFile::remove(parser.value(keepLogOption));
        QFile::copy(logPath, parser.value(keepLogOption));
    }
    if (host.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "error: the server crashed or was killed\n");
        showLog();
        return 1;
    }
    if (host.exitCode() != 0) {
        std::fprintf(stderr, "error: the server ended with exit code %d\n", host.exitCode());
        showLog();
        return 1;
    }
    if (result != 0)
        showLog();
    return result;
}
