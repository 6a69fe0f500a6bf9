// File services of the configuration server as its peers see them: downloads
// (many mid-sized files and one large file, from one and from several
// concurrent sessions, first from a fresh server and then once more
// unchanged) against zlib's compress of the same bytes on one thread in this
// process, synchronisation lists of systems with many files, and the server's
// memory during one large upload. The server is bench_keepyard_sessions_host,
// started on a temporary installation root as a process of its own (a fresh
// one for each part), and reached over 127.0.0.1.

#include "protocol.h"
#include "xfer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <unistd.h>
#include <zlib.h>

namespace {

const QByteArray greeting("<xml>\r\n");
const QByteArray openDocument("<xml>");
const QByteArray closeDocument("</xml>");
const QByteArray passwordFile("[Users]\r\nops=secret\r\n[Level]\r\nops=2\r\n");
const QByteArray fileDateText("2016-01-02T03:04:05");
const QDateTime fileDate(QDate(2016, 1, 2), QTime(3, 4, 5));

QByteArray loginRequest(const QByteArray &system)
{
    return "<login type=\"request\" id=\"ops\" password=\"secret\" system=\"" + system + "\" />";
}
const QByteArray loginReply("<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n");

struct Options
{
    int clients = 8;
    int rounds = 2;
    int rawPasses = 2;
    int perRequest = 20;
    QList<int> syncSizes{5000, 10000, 20000};
    int syncRepeats = 7;
    int uploadMiB = 50;
    QString host;
};

double mb(double bytes)
{
    return bytes / 1e6;
}

double mib(qint64 kib)
{
    return double(kib) / 1024;
}

// --------------------------------------------------------------------------
// The server process, seen through /proc.

struct Memory
{
    qint64 rss = -1; // KiB
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
        qint64 *field = key == "VmRSS" ? &m.rss : key == "VmHWM" ? &m.hwm : nullptr;
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
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// --------------------------------------------------------------------------
// The server program.

class Host
{
public:
    Host(const QString &program, const QString &root, const QString &logPath)
        : m_program(program), m_root(root), m_logPath(logPath)
    {
    }
    ~Host() { stop(); }

    // Starts the server and reads the port it listens on.
    bool start(QString &error)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
        m_process.setProcessEnvironment(env);
        m_process.setStandardErrorFile(m_logPath, QIODevice::Append);
        m_process.start(m_program, {m_root});
        if (!m_process.waitForStarted(10000)) {
            error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process.errorString());
            return false;
        }
        QByteArray line;
        while (!line.endsWith('\n') && (m_process.bytesAvailable() > 0 || m_process.waitForReadyRead(10000)))
            line += m_process.readLine();
        if (line.startsWith("port "))
            m_port = quint16(line.mid(5).trimmed().toUInt());
        if (m_port == 0) {
            error = QStringLiteral("the server reported no port");
            return false;
        }
        return true;
    }

    // Ends the server by closing its input; false when it did not end cleanly.
    bool stop(QString *error = nullptr)
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_stoppedCleanly;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(20000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
            if (error)
                *error = QStringLiteral("the server did not end within 20 s");
            return m_stoppedCleanly = false;
        }
        if (m_process.exitStatus() != QProcess::NormalExit || m_process.exitCode() != 0) {
            if (error)
                *error = QStringLiteral("the server crashed or ended with exit code %1").arg(m_process.exitCode());
            return m_stoppedCleanly = false;
        }
        return m_stoppedCleanly = true;
    }

    quint16 port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }

private:
    QString m_program;
    QString m_root;
    QString m_logPath;
    QProcess m_process;
    quint16 m_port = 0;
    bool m_stoppedCleanly = true;
};

// --------------------------------------------------------------------------
// Content of the sample files.

// Appends INI sections and XML fragments of the kind the configuration files
// hold until `out` has grown by `bytes`.
void appendConfigText(std::mt19937 &rng, QByteArray &out, qsizetype bytes)
{
    static const char *const words[] = {"pump",    "valve",   "station", "north",  "south", "inlet",
                                        "outlet",  "pressure", "flow",   "level",  "backup", "primary",
                                        "sensor",  "tank",     "line",   "heater", "mixer",  "gate"};
    static const char *const units[] = {"bar", "l/s", "m", "degC", "rpm", "%"};
    const auto below = [&rng](unsigned n) { return QByteArray::number(rng() % n); };
    const auto word = [&rng]() { return QByteArray(words[rng() % std::size(words)]); };

    const qsizetype target = out.size() + bytes;
    while (out.size() < target) {
        const QByteArray area = below(12);
        const QByteArray unit = below(100);
        if (rng() % 3 == 0) {
            out += "<unit area=\"" + area + "\" id=\"" + unit + "\" name=\"" + word() + ' ' + word() + "\">\r\n";
            for (unsigned c = 0, channels = 2 + rng() % 6; c < channels; ++c) {
                out += "  <channel id=\"" + below(64) + "\" type=\"" + (rng() % 2 ? "analog" : "digital")
                       + "\" unit=\"" + units[rng() % std::size(units)] + "\" min=\"0\" max=\"" + below(1000)
                       + "\" scale=\"0." + below(1000) + "\" label=\"" + word() + ' ' + word() + "\"/>\r\n";
            }
            out += "</unit>\r\n";
        } else {
            out += "[Area" + area + ".Unit" + unit + "]\r\n";
            out += "Name=" + word() + ' ' + word() + ' ' + unit + "\r\n";
            out += "Address=192.168." + area + '.' + below(255) + "\r\n";
            out += "Port=" + QByteArray::number(5000 + rng() % 1000) + "\r\n";
            out += "Timeout=" + below(30000) + "\r\n";
            out += "Retries=" + below(10) + "\r\n";
            out += "Enabled=" + below(2) + "\r\n";
            out += "Path=C:\\Tavex\\config\\area" + area + "\\unit" + unit + "\\" + word() + ".cfg\r\n";
            out += "Description=" + word() + ' ' + word() + ' ' + word() + ' ' + word() + "\r\n\r\n";
        }
    }
    out.truncate(target);
}

void appendRandomBytes(std::mt19937 &rng, QByteArray &out, qsizetype bytes)
{
    const qsizetype start = out.size();
    out.resize(start + bytes);
    for (qsizetype i = start; i < out.size(); ++i)
        out[i] = static_cast<char>(rng() >> 24);
}

// Runs of text between incompressible blocks, the way an archive of
// configuration files and embedded binaries would look; about 60 % text.
QByteArray mixedContent(std::mt19937 &rng, qsizetype total, qsizetype longestRun)
{
    QByteArray content;
    content.reserve(total);
    while (content.size() < total) {
        const qsizetype run = std::min<qsizetype>(4096 + rng() % longestRun, total - content.size());
        if (rng() % 5 < 3)
            appendConfigText(rng, content, run);
        else
            appendRandomBytes(rng, content, run);
    }
    return content;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

bool sameContent(const QString &path, const QByteArray &expected)
{
    QFile in(path);
    return in.open(QIODevice::ReadOnly) && in.size() == expected.size() && in.readAll() == expected;
}

QString kib(qint64 value)
{
    return value < 0 ? QStringLiteral("-") : QString::number(value);
}

// --------------------------------------------------------------------------
// Downloads.

struct SampleFile
{
    QByteArray name; // below the system folder, as on the wire
    QString path;
    QByteArray content;
    QByteArray hex; // compressFile's result, which every reply must carry
};

// A set of files fetched in download requests, with every expected reply
// as a list of pieces (the file contents are shared, not copied).
struct DownloadSet
{
    QString label;
    std::vector<SampleFile> files;
    std::vector<QByteArray> requests;
    std::vector<std::vector<QByteArray>> replies;
    std::vector<std::vector<int>> pieceFiles; // the file whose hex text a piece is; -1 for markup
    std::vector<int> samples;                 // files whose received text is decoded once
    qint64 bytes = 0;                         // uncompressed bytes of one pass
    qint64 hexBytes = 0;
};

// Writes the files below root/North with a fixed date and makes their hex
// text, the requests and the expected replies.
QString prepareSet(DownloadSet &set, const QString &systemFolder, int perRequest)
{
    for (SampleFile &f : set.files) {
        f.path = systemFolder + QLatin1Char('/') + QString::fromUtf8(f.name);
        if (!writeFile(f.path, f.content) || xfer::setFileDate(f.path, fileDate))
            return QStringLiteral("cannot write %1").arg(f.path);
        if (xfer::compressFile(f.path, f.hex))
            return QStringLiteral("compressFile fails for %1").arg(f.path);
        set.bytes += f.content.size();
        set.hexBytes += f.hex.size();
    }
    for (size_t first = 0; first < set.files.size(); first += size_t(perRequest)) {
        const size_t end = std::min(set.files.size(), first + size_t(perRequest));
        const QByteArray uid = "dl" + QByteArray::number(qulonglong(set.requests.size()));
        QByteArray request = "<download uid=\"" + uid + "\" type=\"request\" system=\"North\" >";
        std::vector<QByteArray> pieces{"<download uid=\"" + uid + "\" type=\"reply\" system=\"North\" >\r\n"};
        std::vector<int> owners{-1};
        for (size_t i = first; i < end; ++i) {
            const SampleFile &f = set.files[i];
            request += "\t<file name=\"" + f.name + "\" />";
            pieces.push_back("\t<file type=\"reply\" name=\"" + f.name + "\" size=\""
                             + QByteArray::number(f.content.size()) + "\" compressedsize=\""
                             + QByteArray::number(f.hex.size() / 2) + "\" date=\"" + fileDateText + "\" >");
            owners.push_back(-1);
            pieces.push_back(f.hex);
            owners.push_back(int(i));
            pieces.push_back("</file>\r\n");
            owners.push_back(-1);
        }
        request += "</download>\r\n";
        pieces.push_back("</download>\r\n");
        owners.push_back(-1);
        set.requests.push_back(request);
        set.replies.push_back(std::move(pieces));
        set.pieceFiles.push_back(std::move(owners));
    }
    return QString();
}

struct Timing
{
    double seconds = 0;
    qint64 bytes = 0; // uncompressed
    double serverCpu = 0;
    double ownCpu = 0;
    Memory memory;
    qint64 peakRss = -1;
};

// zlib's compress() of every file's bytes in memory, on this one thread,
// `passes` times: the baseline that served downloads are compared with.
QString measureRaw(const DownloadSet &set, int passes, Timing &timing)
{
    QByteArray packed;
    qint64 nsecs = 0;
    const double cpuAtStart = cpuSeconds(QCoreApplication::applicationPid());
    for (int pass = 0; pass < passes; ++pass) {
        for (const SampleFile &f : set.files) {
            uLongf size = compressBound(uLong(f.content.size()));
            packed.resize(qsizetype(size));
            QElapsedTimer clock;
            clock.start();
            const int rc = compress(reinterpret_cast<Bytef *>(packed.data()), &size,
                                    reinterpret_cast<const Bytef *>(f.content.constData()), uLong(f.content.size()));
            nsecs += clock.nsecsElapsed();
            if (rc != Z_OK)
                return QStringLiteral("zlib compress fails with %1 for %2").arg(rc).arg(f.path);
        }
    }
    timing.seconds = double(nsecs) / 1e9;
    timing.bytes = set.bytes * passes;
    timing.ownCpu = cpuSeconds(QCoreApplication::applicationPid()) - cpuAtStart;
    return QString();
}

// Sessions that each fetch the whole set `rounds` times, one request after
// the other, driven from one event loop. Every reply byte is compared with
// the expected reply; the hex text of the sample files, as received by the
// first session in its first round, is kept for decoding.
class DownloadRun
{
public:
    DownloadRun(const DownloadSet &set, quint16 port, qint64 serverPid, int clients, int rounds)
        : m_set(set), m_port(port), m_serverPid(serverPid), m_clients(clients), m_rounds(rounds)
    {
    }

    // Runs to the end; an empty result means success.
    QString run(Timing &timing);
    const std::map<int, QByteArray> &captured() const { return m_captured; }

private:
    enum Stage { Greeting, Login, Downloading, Done };
    struct Peer
    {
        std::unique_ptr<QTcpSocket> socket;
        Stage stage = Greeting;
        const std::vector<QByteArray> *pieces = nullptr; // the reply being received
        const std::vector<int> *owners = nullptr;
        size_t piece = 0;
        qsizetype offset = 0;
        size_t request = 0;
        int roundsLeft = 0;
        bool capture = false;
    };

    void onReadyRead(int index);
    void consume(int index, const char *data, qsizetype size);
    void expect(Peer &peer, const std::vector<QByteArray> *pieces, const std::vector<int> *owners);
    void onReply(int index);
    void sendRequest(Peer &peer);
    void fail(const QString &message);

    const DownloadSet &m_set;
    quint16 m_port;
    qint64 m_serverPid;
    int m_clients;
    int m_rounds;
    std::vector<Peer> m_peers;
    std::map<int, QByteArray> m_captured;
    const std::vector<QByteArray> m_greeting{greeting};
    const std::vector<QByteArray> m_loginReply{loginReply};
    int m_loggedIn = 0;
    int m_done = 0;
    qint64 m_progress = 0;
    qint64 m_progressSeen = -1;
    int m_stalledSeconds = 0;
    QEventLoop m_loop;
    QElapsedTimer m_clock;
    double m_serverCpuAtStart = 0;
    double m_ownCpuAtStart = 0;
    qint64 m_peakRss = -1;
    Timing m_timing;
    QString m_error;
    std::vector<char> m_scratch = std::vector<char>(256 * 1024);
};

QString DownloadRun::run(Timing &timing)
{
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [this] {
        m_peakRss = std::max(m_peakRss, readMemory(m_serverPid).rss);
    });
    sampler.start(100);
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [this] {
        m_stalledSeconds = m_progress == m_progressSeen ? m_stalledSeconds + 1 : 0;
        m_progressSeen = m_progress;
        if (m_stalledSeconds >= 60)
            fail(QStringLiteral("no reply byte for 60 s (%1 of %2 sessions done)").arg(m_done).arg(m_clients));
    });
    watchdog.start(1000);

    m_peers.resize(size_t(m_clients));
    for (int i = 0; i < m_clients; ++i) {
        Peer &peer = m_peers[size_t(i)];
        peer.socket = std::make_unique<QTcpSocket>();
        peer.capture = i == 0;
        expect(peer, &m_greeting, nullptr);
        QTcpSocket *socket = peer.socket.get();
        QObject::connect(socket, &QIODevice::readyRead, socket, [this, i] { onReadyRead(i); });
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [this, i] {
            fail(QStringLiteral("session %1: %2").arg(i).arg(m_peers[size_t(i)].socket->errorString()));
        });
        socket->connectToHost(QHostAddress(QHostAddress::LocalHost), m_port);
    }
    m_loop.exec();
    sampler.stop();
    watchdog.stop();

    for (Peer &peer : m_peers) {
        QObject::disconnect(peer.socket.get(), nullptr, nullptr, nullptr);
        if (peer.socket->state() == QAbstractSocket::ConnectedState) {
            peer.socket->write(closeDocument);
            peer.socket->waitForBytesWritten(1000);
        }
        peer.socket->disconnectFromHost();
    }
    m_timing.peakRss = std::max(m_peakRss, m_timing.memory.rss);
    timing = m_timing;
    return m_error;
}

void DownloadRun::onReadyRead(int index)
{
    Peer &peer = m_peers[size_t(index)];
    while (m_error.isEmpty() && peer.socket->bytesAvailable() > 0) {
        const qint64 n = peer.socket->read(m_scratch.data(), qint64(m_scratch.size()));
        if (n <= 0)
            break;
        m_progress += n;
        consume(index, m_scratch.data(), n);
    }
}

void DownloadRun::expect(Peer &peer, const std::vector<QByteArray> *pieces, const std::vector<int> *owners)
{
    peer.pieces = pieces;
    peer.owners = owners;
    peer.piece = 0;
    peer.offset = 0;
}

// Compares arriving bytes with the reply expected next. A session asks again
// only after the whole reply, so any byte beyond it is a fault as well.
void DownloadRun::consume(int index, const char *data, qsizetype size)
{
    Peer &peer = m_peers[size_t(index)];
    while (size > 0 && m_error.isEmpty()) {
        if (!peer.pieces) {
            fail(QStringLiteral("session %1: unasked bytes: %2")
                     .arg(index)
                     .arg(QString::fromUtf8(QByteArray(data, std::min<qsizetype>(size, 200)))));
            return;
        }
        const QByteArray &want = (*peer.pieces)[peer.piece];
        const qsizetype n = std::min(size, want.size() - peer.offset);
        if (std::memcmp(data, want.constData() + peer.offset, size_t(n)) != 0) {
            qsizetype at = 0;
            while (data[at] == want[peer.offset + at])
                ++at;
            const qsizetype offset = peer.offset + at;
            fail(QStringLiteral("session %1, request %2: reply piece %3 differs at byte %4\n  expected: %5\n  "
                                "received: %6")
                     .arg(index)
                     .arg(qulonglong(peer.request))
                     .arg(qulonglong(peer.piece))
                     .arg(offset)
                     .arg(QString::fromUtf8(want.mid(offset, 120)))
                     .arg(QString::fromUtf8(QByteArray(data + at, std::min<qsizetype>(size - at, 120)))));
            return;
        }
        if (peer.capture && peer.owners) {
            const int file = (*peer.owners)[peer.piece];
            if (file >= 0 && std::find(m_set.samples.begin(), m_set.samples.end(), file) != m_set.samples.end())
                m_captured[file].append(data, n);
        }
        peer.offset += n;
        data += n;
        size -= n;
        while (peer.pieces && peer.offset == (*peer.pieces)[peer.piece].size()) {
            peer.offset = 0;
            if (++peer.piece == peer.pieces->size()) {
                peer.pieces = nullptr;
                onReply(index);
            }
        }
    }
}

void DownloadRun::onReply(int index)
{
    Peer &peer = m_peers[size_t(index)];
    switch (peer.stage) {
    case Greeting:
        peer.stage = Login;
        expect(peer, &m_loginReply, nullptr);
        peer.socket->write(openDocument + loginRequest("North"));
        return;
    case Login:
        peer.stage = Downloading;
        if (++m_loggedIn < m_clients)
            return;
        // Everyone is in: the clock starts with the first request.
        m_serverCpuAtStart = cpuSeconds(m_serverPid);
        m_ownCpuAtStart = cpuSeconds(QCoreApplication::applicationPid());
        m_peakRss = readMemory(m_serverPid).rss;
        m_clock.start();
        for (Peer &p : m_peers) {
            p.roundsLeft = m_rounds;
            p.request = 0;
            sendRequest(p);
        }
        return;
    case Downloading:
        if (++peer.request == m_set.requests.size()) {
            peer.request = 0;
            peer.capture = false;
            if (--peer.roundsLeft == 0) {
                peer.stage = Done;
                if (++m_done == m_clients) {
                    m_timing.seconds = double(m_clock.nsecsElapsed()) / 1e9;
                    m_timing.bytes = m_set.bytes * m_rounds * m_clients;
                    m_timing.serverCpu = cpuSeconds(m_serverPid) - m_serverCpuAtStart;
                    m_timing.ownCpu = cpuSeconds(QCoreApplication::applicationPid()) - m_ownCpuAtStart;
                    m_timing.memory = readMemory(m_serverPid);
                    m_loop.quit();
                }
                return;
            }
        }
        sendRequest(peer);
        return;
    case Done:
        return;
    }
}

void DownloadRun::sendRequest(Peer &peer)
{
    expect(peer, &m_set.replies[peer.request], &m_set.pieceFiles[peer.request]);
    peer.socket->write(m_set.requests[peer.request]);
}

void DownloadRun::fail(const QString &message)
{
    if (!m_error.isEmpty())
        return;
    m_error = message;
    m_loop.quit();
}

// Decodes the captured hex text of the sample files with saveCompressedFile
// and compares the result with the files.
QString checkSamples(const DownloadSet &set, const std::map<int, QByteArray> &captured, const QString &folder)
{
    for (int index : set.samples) {
        const SampleFile &f = set.files[size_t(index)];
        const auto it = captured.find(index);
        if (it == captured.end() || it->second.size() != f.hex.size())
            return QStringLiteral("the hex text of %1 was not captured whole").arg(QString::fromUtf8(f.name));
        const QString name = QStringLiteral("sample%1").arg(index);
        QString error;
        if (xfer::saveCompressedFile(QByteArrayView(it->second), f.content.size(), folder, name, &error))
            return QStringLiteral("received text of %1 does not decode: %2").arg(QString::fromUtf8(f.name), error);
        if (!sameContent(folder + QLatin1Char('/') + name, f.content))
            return QStringLiteral("received text of %1 decodes to other bytes").arg(QString::fromUtf8(f.name));
        QFile::remove(folder + QLatin1Char('/') + name);
    }
    return QString();
}

struct DownloadRow
{
    QString label;
    int clients = 0;
    bool warm = false; // the set fetched again unchanged from the same server
    Timing raw;
    Timing served;
    qint64 setBytes = 0; // uncompressed, of one pass
    qint64 hexBytes = 0;
};

void printDownloadHeader()
{
    std::printf("%-14s %7s %5s %9s %8s %8s %8s %6s %7s %7s %7s %9s %9s\n", "set", "clients", "cache", "MB", "seconds",
                "MB/s", "raw MB/s", "ratio", "server", "loadgen", "raw", "peak RSS", "VmHWM");
    std::printf("%-14s %7s %5s %9s %8s %8s %8s %6s %7s %7s %7s %9s %9s\n", "", "", "", "(uncompr.)", "", "", "", "",
                "CPU %", "CPU %", "CPU %", "MiB", "MiB");
}

double rate(const Timing &t)
{
    return t.seconds > 0 ? mb(double(t.bytes)) / t.seconds : 0;
}

void printDownloadRow(const DownloadRow &row)
{
    const Timing &s = row.served;
    std::printf("%-14s %7d %5s %9.1f %8.2f %8.1f %8.1f %6.2f %7.0f %7.0f %7.0f %9.1f %9.1f\n", qPrintable(row.label),
                row.clients, row.warm ? "warm" : "cold", mb(double(s.bytes)), s.seconds, rate(s), rate(row.raw), rate(s) / rate(row.raw),
                100 * s.serverCpu / s.seconds, 100 * s.ownCpu / s.seconds, 100 * row.raw.ownCpu / row.raw.seconds,
                mib(s.peakRss), mib(s.memory.hwm));
    std::fflush(stdout);
}

// Fetches the set through a fresh server, first with one session and then
// with `clients` concurrent ones: each session fetches it once from the
// fresh server (cold cache), and then new sessions of the same number fetch
// it `rounds` times more, unchanged (warm cache). Both are compared with
// zlib's compress of the same bytes, measured just before and just after, so
// that a change in the load of the machine weighs on both alike.
bool runDownloads(const Options &options, const QString &root, const QString &logPath, DownloadSet &set,
                  std::vector<DownloadRow> &rows)
{
    QList<int> clientCounts{1};
    if (options.clients > 1)
        clientCounts << options.clients;
    for (int clients : clientCounts) {
        DownloadRow cold;
        cold.label = set.label;
        cold.clients = clients;
        cold.setBytes = set.bytes;
        cold.hexBytes = set.hexBytes;
        DownloadRow warm = cold;
        warm.warm = true;
        Timing rawBefore;
        QString problem = measureRaw(set, options.rawPasses, rawBefore);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "error: %s\n", qPrintable(problem));
            return false;
        }
        Host host(options.host, root, logPath);
        if (!host.start(problem)) {
            std::fprintf(stderr, "error: %s\n", qPrintable(problem));
            return false;
        }
        const QString received = QFileInfo(root).absolutePath() + QStringLiteral("/received");
        for (DownloadRow *row : {&cold, &warm}) {
            if (!problem.isEmpty())
                break;
            DownloadRun run(set, host.port(), host.pid(), clients, row->warm ? options.rounds : 1);
            problem = run.run(row->served);
            if (problem.isEmpty())
                problem = checkSamples(set, run.captured(), received);
        }
        QString stopProblem;
        if (!host.stop(&stopProblem) && problem.isEmpty())
            problem = stopProblem;
        Timing rawAfter;
        if (problem.isEmpty())
            problem = measureRaw(set, options.rawPasses, rawAfter);
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "error: %s: %s\n", qPrintable(set.label), qPrintable(problem));
            return false;
        }
        for (DownloadRow *row : {&cold, &warm}) {
            row->raw.seconds = rawBefore.seconds + rawAfter.seconds;
            row->raw.bytes = rawBefore.bytes + rawAfter.bytes;
            row->raw.ownCpu = rawBefore.ownCpu + rawAfter.ownCpu;
            printDownloadRow(*row);
            rows.push_back(*row);
        }
    }
    return true;
}

DownloadSet makeManyFiles(int count, qsizetype size)
{
    DownloadSet set;
    set.label = QStringLiteral("%1 x %2 KiB").arg(count).arg(size / 1024);
    std::mt19937 rng(11);
    // Half configuration text, a quarter incompressible, a quarter mixed.
    static const char *const extensions[] = {".ini", ".bin", ".xml", ".dat"};
    for (int i = 0; i < count; ++i) {
        SampleFile f;
        f.name = "config/dl/area" + QByteArray::number(i / 20).rightJustified(2, '0') + "/file"
                 + QByteArray::number(i).rightJustified(3, '0') + extensions[i % 4];
        switch (i % 4) {
        case 1: appendRandomBytes(rng, f.content, size); break;
        case 3: f.content = mixedContent(rng, size, 32 * 1024); break;
        default: appendConfigText(rng, f.content, size); break;
        }
        set.files.push_back(std::move(f));
    }
    set.samples = {0, 1, 2, 3};
    return set;
}

DownloadSet makeLargeFile(qsizetype size)
{
    DownloadSet set;
    set.label = QStringLiteral("1 x %1 MiB").arg(size / (1024 * 1024));
    std::mt19937 rng(12);
    SampleFile f;
    f.name = "config/dl/large.dat";
    f.content = mixedContent(rng, size, 256 * 1024);
    set.files.push_back(std::move(f));
    set.samples = {0};
    return set;
}

// --------------------------------------------------------------------------
// A session driven step by step, for the parts that time single requests.

class BlockingPeer
{
public:
    QString open(quint16 port, const QByteArray &system)
    {
        m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        if (!m_socket.waitForConnected(10000))
            return QStringLiteral("cannot connect: %1").arg(m_socket.errorString());
        QByteArray got;
        if (const QString problem = readUntil(greeting, got, 10000); !problem.isEmpty())
            return problem;
        if (got != greeting)
            return QStringLiteral("unexpected greeting: %1").arg(QString::fromUtf8(got.left(200)));
        if (!write(openDocument + loginRequest(system)))
            return QStringLiteral("cannot send the login: %1").arg(m_socket.errorString());
        if (const QString problem = readUntil("\r\n", got, 10000); !problem.isEmpty())
            return problem;
        if (got != loginReply)
            return QStringLiteral("unexpected login reply: %1").arg(QString::fromUtf8(got.left(200)));
        return QString();
    }

    // Writes and waits until the socket has handed everything to the system.
    bool write(const char *data, qint64 size)
    {
        if (m_socket.write(data, size) != size)
            return false;
        while (m_socket.bytesToWrite() > 0) {
            if (!m_socket.waitForBytesWritten(30000))
                return false;
        }
        return true;
    }
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }

    // Everything up to and including the first `end`; what follows stays for later.
    QString readUntil(const QByteArray &end, QByteArray &out, int timeoutMs)
    {
        qsizetype from = 0;
        while (true) {
            const qsizetype at = m_pending.indexOf(end, from);
            if (at >= 0) {
                out = m_pending.left(at + end.size());
                m_pending.remove(0, at + end.size());
                return QString();
            }
            from = std::max<qsizetype>(0, m_pending.size() - end.size() + 1);
            if (!m_socket.waitForReadyRead(timeoutMs))
                return QStringLiteral("no %1 within %2 s (%3; %4 bytes received: %5)")
                    .arg(QString::fromUtf8(end.trimmed()))
                    .arg(timeoutMs / 1000)
                    .arg(m_socket.errorString())
                    .arg(m_pending.size())
                    .arg(QString::fromUtf8(m_pending.left(200)));
            m_pending += m_socket.readAll();
        }
    }

    QByteArray pending() const { return m_pending; }

    void close()
    {
        if (m_socket.state() == QAbstractSocket::ConnectedState)
            write(closeDocument);
        m_socket.disconnectFromHost();
    }

private:
    QTcpSocket m_socket;
    QByteArray m_pending;
};

// --------------------------------------------------------------------------
// Synchronisation lists.

// Below root/<system>/config: areas of 10 unit folders with 100 files each.
// `expected` maps every item of the list to its size (-1 for a folder).
QString makeSyncSystem(const QString &root, const QString &system, int files, QHash<QByteArray, qint64> &expected)
{
    const QString config = root + QLatin1Char('/') + system + QStringLiteral("/config");
    if (!writeFile(config + QStringLiteral("/keepyard_password.ini"), passwordFile))
        return QStringLiteral("cannot write the password file of %1").arg(system);
    expected.insert("keepyard_password.ini", passwordFile.size());
    static const char *const stems[] = {"Settings", "channels", "alarm_Limits", "station", "Map"};
    static const char *const extensions[] = {".cfg", ".INI", ".xml", ".cfg", ".dat"};
    for (int i = 0; i < files; ++i) {
        const QByteArray area = "area" + QByteArray::number(i / 1000).rightJustified(2, '0');
        const QByteArray unit = area + "/unit" + QByteArray::number(i / 100 % 10);
        if (i % 1000 == 0)
            expected.insert(area, -1);
        if (i % 100 == 0) {
            expected.insert(unit, -1);
            if (!QDir().mkpath(config + QLatin1Char('/') + QString::fromUtf8(unit)))
                return QStringLiteral("cannot create %1").arg(QString::fromUtf8(unit));
        }
        const QByteArray name = unit + '/' + stems[i % 5] + QByteArray::number(i) + extensions[i % 5];
        const QByteArray content = "[Unit]\r\nId=" + QByteArray::number(i) + "\r\n" + QByteArray(i % 97, 'x');
        QFile f(config + QLatin1Char('/') + QString::fromUtf8(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            return QStringLiteral("cannot write %1").arg(f.fileName());
        expected.insert(name, content.size());
    }
    return QString();
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

// One well-formed line per item, each item once and after its folder's line,
// with its size, a date for files and none for folders.
QString checkSyncList(const QByteArray &body, const QHash<QByteArray, qint64> &expected)
{
    QHash<QByteArray, bool> seen;
    seen.reserve(expected.size());
    qsizetype pos = 0;
    while (pos < body.size()) {
        const qsizetype end = body.indexOf("\r\n", pos);
        if (end < 0)
            return QStringLiteral("unterminated line in the synclist reply");
        const QByteArray line = body.mid(pos, end - pos);
        pos = end + 2;
        static const QByteArray open("\t<data name=\"");
        const qsizetype dateAt = line.indexOf("\" date=\"");
        const qsizetype sizeAt = line.indexOf("\" size=\"");
        if (!line.startsWith(open) || !line.endsWith("\"/>") || dateAt < 0 || sizeAt < dateAt)
            return QStringLiteral("malformed line: %1").arg(QString::fromUtf8(line));
        const QByteArray name = line.mid(open.size(), dateAt - open.size());
        const QByteArray date = line.mid(dateAt + 8, sizeAt - dateAt - 8);
        const QByteArray size = line.mid(sizeAt + 8, line.size() - 3 - sizeAt - 8);
        const auto it = expected.constFind(name);
        if (it == expected.constEnd())
            return QStringLiteral("unexpected item: %1").arg(QString::fromUtf8(line));
        if (seen.contains(name))
            return QStringLiteral("item listed twice: %1").arg(QString::fromUtf8(line));
        const bool folder = it.value() < 0;
        if (folder ? (!date.isEmpty() || size != "0") : (!looksLikeTime(date) || size.toLongLong() != it.value()))
            return QStringLiteral("wrong date or size: %1").arg(QString::fromUtf8(line));
        const qsizetype slash = name.lastIndexOf('/');
        if (slash >= 0 && !seen.contains(name.left(slash)))
            return QStringLiteral("item before the line of its folder: %1").arg(QString::fromUtf8(line));
        seen.insert(name, true);
    }
    if (seen.size() != expected.size())
        return QStringLiteral("%1 of %2 items listed").arg(seen.size()).arg(expected.size());
    return QString();
}

struct SyncRow
{
    int files = 0;
    qsizetype items = 0;
    qsizetype replyBytes = 0;
    std::vector<double> seconds;
    double median() const
    {
        std::vector<double> s = seconds;
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    }
    double slowest() const { return *std::max_element(seconds.begin(), seconds.end()); }
    double fastest() const { return *std::min_element(seconds.begin(), seconds.end()); }
};

bool runSynclists(const Options &options, const QString &root, const QString &logPath, std::vector<SyncRow> &rows)
{
    std::vector<QHash<QByteArray, qint64>> expected(size_t(options.syncSizes.size()));
    for (qsizetype i = 0; i < options.syncSizes.size(); ++i) {
        const QString system = QStringLiteral("Sync%1").arg(options.syncSizes[i]);
        if (const QString problem = makeSyncSystem(root, system, options.syncSizes[i], expected[size_t(i)]);
            !problem.isEmpty()) {
            std::fprintf(stderr, "error: %s\n", qPrintable(problem));
            return false;
        }
    }

    // The new files are written back to disk now, not while anything is timed.
    ::sync();

    Host host(options.host, root, logPath);
    QString problem;
    if (!host.start(problem)) {
        std::fprintf(stderr, "error: %s\n", qPrintable(problem));
        return false;
    }
    // One session per system. The systems take turns, request by request, so
    // that a change in the load of the machine weighs on every size alike.
    const qsizetype sizes = options.syncSizes.size();
    std::vector<std::unique_ptr<BlockingPeer>> peers;
    std::vector<QByteArray> systems;
    std::vector<QByteArray> firstReplies(static_cast<size_t>(sizes));
    rows.assign(size_t(sizes), SyncRow());
    for (qsizetype i = 0; i < sizes && problem.isEmpty(); ++i) {
        systems.push_back("Sync" + QByteArray::number(options.syncSizes[i]));
        peers.push_back(std::make_unique<BlockingPeer>());
        problem = peers.back()->open(host.port(), systems.back());
        rows[size_t(i)].files = options.syncSizes[i];
        rows[size_t(i)].items = expected[size_t(i)].size();
    }
    const QByteArray tail = "</synclist>\r\n";
    for (int r = 0; r < options.syncRepeats && problem.isEmpty(); ++r) {
        for (size_t i = 0; i < size_t(sizes) && problem.isEmpty(); ++i) {
            const QByteArray &system = systems[i];
            const QByteArray request =
                "<synclist uid=\"sync\" type=\"request\" system=\"" + system + "\" path=\"config\" />\r\n";
            const QByteArray head =
                "<synclist uid=\"sync\" type=\"reply\" system=\"" + system + "\" path=\"config\" >\r\n";
            QElapsedTimer clock;
            clock.start();
            QByteArray reply;
            if (!peers[i]->write(request)) {
                problem = QStringLiteral("cannot send the synclist request");
                break;
            }
            problem = peers[i]->readUntil(tail, reply, 60000);
            rows[i].seconds.push_back(double(clock.nsecsElapsed()) / 1e9);
            if (!problem.isEmpty())
                break;
            if (r == 0) {
                if (!reply.startsWith(head))
                    problem = QStringLiteral("the synclist reply lacks its header: %1")
                                  .arg(QString::fromUtf8(reply.left(200)));
                else
                    problem = checkSyncList(reply.mid(head.size(), reply.size() - head.size() - tail.size()),
                                            expected[i]);
                firstReplies[i] = reply;
                rows[i].replyBytes = reply.size();
            } else if (reply != firstReplies[i]) {
                problem = QStringLiteral("repeated synclist reply of %1 differs from the first")
                              .arg(QString::fromUtf8(system));
            } else if (!peers[i]->pending().isEmpty()) {
                problem = QStringLiteral("unasked bytes after the synclist reply");
            }
        }
    }
    for (const auto &peer : peers)
        peer->close();
    if (problem.isEmpty()) {
        std::printf("%-8s %7s %10s %10s %10s %10s %10s %12s\n", "files", "items", "reply KB", "first s",
                    "fastest s", "median s", "slowest s", "us per item");
        for (const SyncRow &row : rows) {
            std::printf("%-8d %7lld %10.0f %10.3f %10.3f %10.3f %10.3f %12.2f\n", row.files, qlonglong(row.items),
                        double(row.replyBytes) / 1e3, row.seconds.front(), row.fastest(), row.median(),
                        row.slowest(), 1e6 * row.fastest() / double(row.items));
        }
        std::fflush(stdout);
    }
    QString stopProblem;
    if (!host.stop(&stopProblem) && problem.isEmpty())
        problem = stopProblem;
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "error: synclist: %s\n", qPrintable(problem));
        return false;
    }
    return true;
}

// --------------------------------------------------------------------------
// Memory during an upload.

struct UploadResult
{
    qint64 contentBytes = 0;
    qint64 hexBytes = 0;
    Memory before;
    Memory after;
    qint64 peakRss = -1;
    double seconds = 0;
    double serverCpu = 0;
};

// One incompressible file sent in 64 KiB writes, each handed to the system
// before the next, with the server's memory read before and after.
bool runUpload(const Options &options, const QString &root, const QString &work, const QString &logPath,
               UploadResult &result)
{
    const QString north = root + QStringLiteral("/North");
    if (!writeFile(north + QStringLiteral("/server_lock_list.txt"), "config=ops,127.0.0.1\r\n")) {
        std::fprintf(stderr, "error: cannot write the lock list\n");
        return false;
    }
    std::mt19937 rng(13);
    QByteArray content;
    appendRandomBytes(rng, content, qsizetype(options.uploadMiB) * 1024 * 1024);
    const QString source = work + QStringLiteral("/upload-source.bin");
    QByteArray hex;
    if (!writeFile(source, content) || xfer::compressFile(source, hex)) {
        std::fprintf(stderr, "error: cannot prepare the uploaded file\n");
        return false;
    }
    QFile::remove(source);
    result.contentBytes = content.size();
    result.hexBytes = hex.size();
    const QByteArray head = "<upload type=\"request\" uid=\"up\" system=\"North\" >\r\n\t<file name=\"config/up.bin\" size=\""
                            + QByteArray::number(content.size()) + "\" date=\"" + fileDateText + "\">";
    const QByteArray tail = "</file>\r\n</upload>\r\n";
    const QByteArray replyHead = "<upload uid=\"up\" type=\"reply\" system=\"North\">\r\n"
                                 "\t<file type=\"reply\" name=\"config/up.bin\" />\r\n</upload>\r\n";
    const QByteArray noticeHead = "<update type=\"update\" system=\"North\" name=\"config/up.bin\" undoname=\"up.bin.";

    Host host(options.host, root, logPath);
    QString problem;
    if (!host.start(problem)) {
        std::fprintf(stderr, "error: %s\n", qPrintable(problem));
        return false;
    }
    BlockingPeer peer;
    problem = peer.open(host.port(), "North");
    if (problem.isEmpty()) {
        // Let the server settle after the login before the baseline is read.
        QThread::msleep(200);
        result.before = readMemory(host.pid());
        result.peakRss = result.before.rss;
        const double cpuAtStart = cpuSeconds(host.pid());
        QElapsedTimer clock;
        clock.start();
        bool sent = peer.write(head);
        constexpr qsizetype chunk = 64 * 1024;
        for (qsizetype at = 0, n = 0; sent && at < hex.size(); at += chunk, ++n) {
            sent = peer.write(hex.constData() + at, std::min(chunk, hex.size() - at));
            if (n % 16 == 0)
                result.peakRss = std::max(result.peakRss, readMemory(host.pid()).rss);
        }
        sent = sent && peer.write(tail);
        if (!sent)
            problem = QStringLiteral("cannot send the upload");
        QByteArray reply;
        QByteArray notice;
        if (problem.isEmpty())
            problem = peer.readUntil("</upload>\r\n", reply, 120000);
        if (problem.isEmpty())
            problem = peer.readUntil("\r\n", notice, 30000);
        result.seconds = double(clock.nsecsElapsed()) / 1e9;
        result.serverCpu = cpuSeconds(host.pid()) - cpuAtStart;
        result.after = readMemory(host.pid());
        result.peakRss = std::max(result.peakRss, result.after.rss);
        if (problem.isEmpty() && reply != replyHead)
            problem = QStringLiteral("unexpected upload reply: %1").arg(QString::fromUtf8(reply.left(400)));
        if (problem.isEmpty() && (!notice.startsWith(noticeHead) || !notice.endsWith("\"/>\r\n")))
            problem = QStringLiteral("unexpected update notice: %1").arg(QString::fromUtf8(notice.left(400)));
        const QString stored = north + QStringLiteral("/config/up.bin");
        if (problem.isEmpty() && !sameContent(stored, content))
            problem = QStringLiteral("the stored file differs from the uploaded one");
        if (problem.isEmpty() && QFileInfo(stored).lastModified() != fileDate)
            problem = QStringLiteral("the stored file has the date %1")
                          .arg(QFileInfo(stored).lastModified().toString(Qt::ISODate));
    }
    peer.close();
    QString stopProblem;
    if (!host.stop(&stopProblem) && problem.isEmpty())
        problem = stopProblem;
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "error: upload: %s\n", qPrintable(problem));
        return false;
    }
    return true;
}

void showLog(const QString &logPath)
{
    const QByteArray log = readProcFile(logPath);
    if (!log.isEmpty())
        std::fprintf(stderr, "last server output:\n%s\n", log.right(2000).constData());
}

QList<int> parseSizes(const QString &text, bool *ok)
{
    QList<int> sizes;
    *ok = true;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool partOk = false;
        const int n = part.trimmed().toInt(&partOk);
        if (!partOk || n < 1) {
            *ok = false;
            return {};
        }
        sizes << n;
    }
    *ok = *ok && !sizes.isEmpty();
    return sizes;
}

} // namespace

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the configuration server's downloads, synchronisation lists and upload memory over 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption partsOption(QStringLiteral("parts"),
                                         QStringLiteral("Parts to run: download, synclist, upload (all)."),
                                         QStringLiteral("list"), QStringLiteral("download,synclist,upload"));
    const QCommandLineOption clientsOption(QStringLiteral("clients"),
                                           QStringLiteral("Concurrent download sessions (8)."), QStringLiteral("n"),
                                           QStringLiteral("8"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Times each session fetches a set again, unchanged (2)."), QStringLiteral("n"),
                                          QStringLiteral("2"));
    const QCommandLineOption rawOption(QStringLiteral("raw-passes"),
                                       QStringLiteral("Passes of compressFile over a set before and after each "
                                                      "measurement (2)."),
                                       QStringLiteral("n"), QStringLiteral("2"));
    const QCommandLineOption perRequestOption(QStringLiteral("per-request"),
                                              QStringLiteral("Files per download request (20)."),
                                              QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption syncOption(QStringLiteral("sync-sizes"),
                                        QStringLiteral("Files of the listed systems (5000,10000,20000)."),
                                        QStringLiteral("list"), QStringLiteral("5000,10000,20000"));
    const QCommandLineOption repeatsOption(QStringLiteral("sync-repeats"),
                                           QStringLiteral("Synclist requests per system (7)."), QStringLiteral("n"),
                                           QStringLiteral("7"));
    const QCommandLineOption uploadOption(QStringLiteral("upload-mib"),
                                          QStringLiteral("Size of the uploaded file in MiB (50)."),
                                          QStringLiteral("n"), QStringLiteral("50"));
    const QCommandLineOption hostOption(
        QStringLiteral("host"), QStringLiteral("The server program (bench_keepyard_sessions_host next to this one)."),
        QStringLiteral("path"),
        QCoreApplication::applicationDirPath() + QStringLiteral("/bench_keepyard_sessions_host"));
    const QCommandLineOption keepLogOption(QStringLiteral("keep-log"),
                                           QStringLiteral("Copy the servers' log output to this file."),
                                           QStringLiteral("file"));
    parser.addOptions({partsOption, clientsOption, roundsOption, rawOption, perRequestOption, syncOption,
                       repeatsOption, uploadOption, hostOption, keepLogOption});
    parser.process(app);

    Options options;
    bool ok[7] = {};
    options.clients = parser.value(clientsOption).toInt(&ok[0]);
    options.rounds = parser.value(roundsOption).toInt(&ok[1]);
    options.rawPasses = parser.value(rawOption).toInt(&ok[2]);
    options.perRequest = parser.value(perRequestOption).toInt(&ok[3]);
    options.syncSizes = parseSizes(parser.value(syncOption), &ok[4]);
    options.syncRepeats = parser.value(repeatsOption).toInt(&ok[5]);
    options.uploadMiB = parser.value(uploadOption).toInt(&ok[6]);
    options.host = parser.value(hostOption);
    const QStringList parts = parser.value(partsOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    const bool partsOk = std::all_of(parts.begin(), parts.end(), [](const QString &p) {
        return p == u"download" || p == u"synclist" || p == u"upload";
    });
    if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) || !partsOk || options.clients < 1
        || options.rounds < 1 || options.rawPasses < 1 || options.perRequest < 1 || options.syncRepeats < 1
        || options.uploadMiB < 1 || options.uploadMiB > 200) {
        std::fprintf(stderr, "error: counts must be positive numbers, the upload at most 200 MiB, and the parts "
                             "taken from download, synclist, upload\n");
        return 2;
    }

    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "error: no temporary folder: %s\n", qPrintable(work.errorString()));
        return 1;
    }
    const QString root = work.filePath(QStringLiteral("root"));
    const QString logPath = work.filePath(QStringLiteral("server.log"));
    if (!writeFile(root + QStringLiteral("/North/config/keepyard_password.ini"), passwordFile)) {
        std::fprintf(stderr, "error: cannot create the installation root\n");
        return 1;
    }
    const auto finish = [&](int result) {
        if (parser.isSet(keepLogOption)) {
            QFile::remove(parser.value(keepLogOption));
            QFile::copy(logPath, parser.value(keepLogOption));
        }
        if (result != 0)
            showLog(logPath);
        return result;
    };

    std::printf("keepyard file services over 127.0.0.1; root %s\n", qPrintable(root));
    bool allMet = true;

    if (parts.contains(QStringLiteral("download"))) {
        std::printf("\ndownload: throughput in uncompressed MB (10^6 bytes) per second; each session fetches a set "
                    "once from a fresh\nserver (cold), then new sessions fetch it %d times more unchanged (warm); "
                    "%d files per request, waiting\nfor each reply; every reply byte is checked; raw is zlib compress "
                    "of the same bytes on one thread\n\n",
                    options.rounds, options.perRequest);
        std::vector<DownloadSet> sets;
        sets.push_back(makeManyFiles(200, 256 * 1024));
        sets.push_back(makeLargeFile(qsizetype(50) * 1024 * 1024));
        printDownloadHeader();
        std::vector<DownloadRow> rows;
        for (DownloadSet &set : sets) {
            if (const QString problem = prepareSet(set, root + QStringLiteral("/North"), options.perRequest);
                !problem.isEmpty()) {
                std::fprintf(stderr, "error: %s\n", qPrintable(problem));
                return finish(1);
            }
            // The new files are written back to disk now, not while anything is timed.
            ::sync();
            if (!runDownloads(options, root, logPath, set, rows))
                return finish(1);
        }
        std::printf("\n");
        const size_t rowsPerSet = options.clients > 1 ? 4 : 2; // cold and warm per client count
        for (const DownloadRow &row : rows) {
            const double ratio = rate(row.served) / rate(row.raw);
            const double target = row.warm ? 10.0 : 3.0;
            allMet = allMet && ratio >= target;
            std::printf("download %-14s %d client%s %s  %.1f MB/s served / %.1f MB/s raw zlib = %.2f; target %.0f: "
                        "%s\n",
                        qPrintable(row.label), row.clients, row.clients == 1 ? " " : "s", row.warm ? "warm" : "cold",
                        rate(row.served), rate(row.raw), ratio, target, ratio >= target ? "met" : "MISSED");
            // Per processor second the comparison depends less on what else the machine runs.
            const double servedPerCpu = mb(double(row.served.bytes)) / row.served.serverCpu;
            const double rawPerCpu = mb(double(row.raw.bytes)) / row.raw.ownCpu;
            std::printf("         %-14s                 per CPU second: %.1f MB served / %.1f MB raw = %.2f\n", "",
                        servedPerCpu, rawPerCpu, servedPerCpu / rawPerCpu);
        }
        for (size_t i = 0; i < rows.size(); i += rowsPerSet) {
            std::printf("set %-14s %.1f MB, as hex text %.1f MB (compressed to %.0f %%)\n",
                        qPrintable(rows[i].label), mb(double(rows[i].setBytes)), mb(double(rows[i].hexBytes)),
                        50.0 * double(rows[i].hexBytes) / double(rows[i].setBytes));
        }
        std::printf("sample files decoded with saveCompressedFile from the received text: identical\n");
        std::fflush(stdout);
    }

    if (parts.contains(QStringLiteral("synclist"))) {
        std::printf("\nsynclist: time from the request written to the last reply byte read, path \"config\", "
                    "%d requests per system\n\n",
                    options.syncRepeats);
        std::vector<SyncRow> rows;
        if (!runSynclists(options, root, logPath, rows))
            return finish(1);
        std::printf("\n");
        const SyncRow &smallest = rows.front();
        for (const SyncRow &row : rows) {
            // The fastest request is the one least disturbed by anything else running.
            if (&row != &smallest)
                std::printf("synclist %d / %d files: time ratio %.2f fastest, %.2f median (items ratio %.2f)\n",
                            row.files, smallest.files, row.fastest() / smallest.fastest(),
                            row.median() / smallest.median(), double(row.items) / double(smallest.items));
        }
        for (const SyncRow &row : rows) {
            if (row.files == 20000) {
                const bool met = row.slowest() < 1.0;
                allMet = allMet && met;
                std::printf("synclist 20000 files: slowest %.3f s; target under 1 s: %s\n", row.slowest(),
                            met ? "met" : "MISSED");
            }
        }
        std::fflush(stdout);
    }

    if (parts.contains(QStringLiteral("upload"))) {
        std::printf("\nupload: one file of %d MiB of random bytes, sent in 64 KiB writes\n\n", options.uploadMiB);
        UploadResult up;
        if (!runUpload(options, root, work.path(), logPath, up))
            return finish(1);
        const qint64 peakKiB = up.after.hwm - up.before.rss;
        const double ratio = double(peakKiB) * 1024 / double(up.hexBytes);
        const bool met = ratio <= 4.0;
        allMet = allMet && met;
        std::printf("file %.1f MB, hex text %.1f MB; sent and answered in %.2f s (%.1f MB/s uncompressed, server "
                    "CPU %.0f %%)\n",
                    mb(double(up.contentBytes)), mb(double(up.hexBytes)), up.seconds,
                    mb(double(up.contentBytes)) / up.seconds, 100 * up.serverCpu / up.seconds);
        std::printf("server before: VmRSS %s KiB, VmHWM %s KiB; after: VmRSS %s KiB, VmHWM %s KiB; highest VmRSS "
                    "seen %s KiB\n",
                    qPrintable(kib(up.before.rss)), qPrintable(kib(up.before.hwm)), qPrintable(kib(up.after.rss)),
                    qPrintable(kib(up.after.hwm)), qPrintable(kib(up.peakRss)));
        std::printf("upload peak VmHWM - baseline VmRSS = %.1f MiB = %.2f x the hex text; target at most 4: %s\n",
                    mib(peakKiB), ratio, met ? "met" : "MISSED");
        std::printf("stored file identical, date %s, reply and update notice as expected\n",
                    fileDateText.constData());
        std::fflush(stdout);
    }

    std::printf("\n%s\n", allMet ? "all targets met" : "some targets MISSED");
    return finish(0);
}
