// Download synchronisation of a large system folder into an empty local copy,
// as the editor does it: server_comms in this process logs in to the real
// server (bench_keepyard_sessions_host, a process of its own) over 127.0.0.1
// and asks for the folder's synchronisation list; the time runs from that
// request to the end of the download reply. For comparison, rsync fetches the
// same tree from an rsync daemon on 127.0.0.1 into an empty folder, in the
// same run, the two taking turns.

#include "clientFolder.h"
#include "login.h"
#include "protocol.h"
#include "selectsystem.h"
#include "server_comms.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>
#include <utime.h>

namespace {

const QString systemName = QStringLiteral("North");
const QString syncedFolder = QStringLiteral("config/sync");
const QDateTime fileDate(QDate(2016, 1, 2), QTime(3, 4, 5));

struct Options
{
    int files = 5000;
    int megabytes = 50;
    int runs = 3;
    QString host;
    QString rsync = QStringLiteral("rsync");
};

// Ends the servers this program started; fail() runs it before exiting.
std::function<void()> stopServers;

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "error: %s\n", qPrintable(message));
    if (stopServers)
        stopServers();
    std::exit(1);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        return false;
    f.close();
    struct utimbuf times;
    times.actime = times.modtime = static_cast<time_t>(fileDate.toSecsSinceEpoch());
    return ::utime(QFile::encodeName(path).constData(), &times) == 0;
}

// User plus system time of a process (and of the children it has waited
// for, when asked), in seconds.
double processCpu(qint64 pid, bool withChildren = false)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype end = stat.lastIndexOf(')');
    const QList<QByteArray> fields = end < 0 ? QList<QByteArray>() : stat.mid(end + 2).split(' ');
    if (fields.size() < 15)
        return 0;
    qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    if (withChildren)
        ticks += fields.at(13).toLongLong() + fields.at(14).toLongLong();
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

double ownCpu(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// --------------------------------------------------------------------------
// The tree: area folders of unit folders of files; half of the files are
// configuration text, a quarter random bytes, a quarter text with random
// blocks. Fixed seed, so every run sees the same bytes.

struct Tree
{
    qint64 bytes = 0;
    int files = 0;
    int folders = 0;
};

QByteArray configurationText(std::mt19937 &random, qsizetype size, bool randomBlocks)
{
    QByteArray text;
    text.reserve(size + 128);
    int point = int(random() % 1000);
    while (text.size() < size) {
        if (randomBlocks && random() % 4 == 0) {
            for (int i = 0; i < 256; ++i)
                text += char(random());
            continue;
        }
        text += QStringLiteral("[Point%1]\r\nName=Valve_%2\r\nSetpoint=%3.%4\r\nAlarm=%5\r\nArea=%6\r\n")
                    .arg(point++, 5, 10, QLatin1Char('0'))
                    .arg(random() % 100000)
                    .arg(random() % 1000)
                    .arg(random() % 100, 2, 10, QLatin1Char('0'))
                    .arg(random() % 3 ? QStringLiteral("NONE") : QStringLiteral("HIGH"))
                    .arg(random() % 40)
                    .toLatin1();
    }
    text.truncate(size);
    return text;
}

Tree makeTree(const QString &folder, int files, qint64 totalBytes)
{
    std::mt19937 random(20160102);
    const qint64 average = totalBytes / files;
    std::vector<qint64> sizes(static_cast<size_t>(files));
    qint64 sum = 0;
    for (qint64 &size : sizes) {
        size = average / 5 + qint64(random() % quint64(average * 8 / 5 + 1));
        sum += size;
    }
    // Spread the difference so that the total is exact.
    const qint64 difference = totalBytes - sum;
    for (int i = 0; i < files; ++i)
        sizes[size_t(i)] = std::max<qint64>(0, sizes[size_t(i)] + difference / files + (i < difference % files ? 1 : 0));

    Tree tree;
    const int perUnit = 100;
    const int unitsPerArea = 5;
    for (int i = 0; i < files; ++i) {
        const int unit = i / perUnit;
        const QString dir = QStringLiteral("%1/area%2/unit%3")
                                .arg(folder)
                                .arg(unit / unitsPerArea, 2, 10, QLatin1Char('0'))
                                .arg(unit % unitsPerArea, 2, 10, QLatin1Char('0'));
        if (i % perUnit == 0) {
            if (!QDir().mkpath(dir))
                fail(QStringLiteral("cannot create %1").arg(dir));
            tree.folders += unit % unitsPerArea == 0 ? 2 : 1;
        }
        const qsizetype size = qsizetype(sizes[size_t(i)]);
        QByteArray content;
        switch (i % 4) {
        case 2:
            content.resize(size);
            for (char &c : content)
                c = char(random());
            break;
        case 3:
            content = configurationText(random, size, true);
            break;
        default:
            content = configurationText(random, size, false);
            break;
        }
        if (!writeFile(QStringLiteral("%1/point%2.ini").arg(dir).arg(i, 5, 10, QLatin1Char('0')), content))
            fail(QStringLiteral("cannot write below %1").arg(dir));
        tree.bytes += size;
        ++tree.files;
    }
    return tree;
}

// Every file of `source` is in `copy` with the same bytes and date, and the
// copy has no other files.
QString compareTrees(const QString &source, const QString &copy)
{
    int files = 0;
    QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString copied = copy + path.mid(source.size());
        const QFileInfo info(copied);
        if (!info.isFile())
            return QStringLiteral("missing: ") + copied;
        if (info.lastModified() != fileDate)
            return QStringLiteral("wrong date: ") + copied;
        if (readFile(copied) != readFile(path))
            return QStringLiteral("wrong content: ") + copied;
        ++files;
    }
    int copies = 0;
    QDirIterator copied(copy, QDir::Files, QDirIterator::Subdirectories);
    while (copied.hasNext()) {
        copied.next();
        ++copies;
    }
    return copies == files ? QString() : QStringLiteral("%1 files in the copy, %2 in the tree").arg(copies).arg(files);
}

// --------------------------------------------------------------------------
// The two servers.

class Process
{
public:
    ~Process() { stop(); }
    QProcess process;
    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.closeWriteChannel(); // ends the keepyard host
        if (!process.waitForFinished(3000)) {
            process.terminate(); // ends the rsync daemon
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(2000);
            }
        }
    }
};

quint16 startHost(Process &host, const QString &program, const QString &root, const QString &log)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    host.process.setProcessEnvironment(env);
    host.process.setStandardErrorFile(log);
    host.process.start(program, {root});
    if (!host.process.waitForStarted(10000))
        fail(QStringLiteral("cannot start %1: %2").arg(program, host.process.errorString()));
    QByteArray line;
    while (!line.endsWith('\n') && (host.process.bytesAvailable() > 0 || host.process.waitForReadyRead(10000)))
        line += host.process.readLine();
    const quint16 port = line.startsWith("port ") ? quint16(line.mid(5).trimmed().toUInt()) : 0;
    if (port == 0)
        fail(QStringLiteral("the server reported no port"));
    return port;
}

// The daemon serves the tree read-only as "tree", and `push` writable as
// "push" for the upload direction.
quint16 startRsyncDaemon(Process &daemon, const QString &rsync, const QString &tree, const QString &push,
                         const QString &work)
{
    const QString config = work + QStringLiteral("/rsyncd.conf");
    const QByteArray text = QStringLiteral("use chroot = no\nuid = %1\ngid = %2\nlog file = %3/rsyncd.log\n"
                                           "[tree]\n  path = %4\n  read only = yes\n"
                                           "[push]\n  path = %5\n  read only = no\n")
                                .arg(getuid())
                                .arg(getgid())
                                .arg(work, tree, push)
                                .toUtf8();
    if (!writeFile(config, text))
        fail(QStringLiteral("cannot write ") + config);
    const quint16 port = freeLoopbackPort();
    daemon.process.setStandardOutputFile(work + QStringLiteral("/rsyncd.out"));
    daemon.process.setStandardErrorFile(work + QStringLiteral("/rsyncd.out"), QIODevice::Append);
    daemon.process.start(rsync, {QStringLiteral("--daemon"), QStringLiteral("--no-detach"),
                                 QStringLiteral("--config=") + config, QStringLiteral("--port=%1").arg(port),
                                 QStringLiteral("--address=127.0.0.1")});
    if (!daemon.process.waitForStarted(10000))
        fail(QStringLiteral("cannot start %1 (install it with apt-get install rsync): %2")
                 .arg(rsync, daemon.process.errorString()));
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            return port;
        if (daemon.process.state() == QProcess::NotRunning)
            break;
        QThread::msleep(50);
    }
    fail(QStringLiteral("the rsync daemon does not accept connections on 127.0.0.1:%1").arg(port));
    return 0;
}

// --------------------------------------------------------------------------
// The editor's side.

// Connection failures end the run instead of showing a box.
class benchUi : public commsUi
{
public:
    void critical(const QString &title, const QString &text) override { fail(title + QStringLiteral(": ") + text); }
    void quit() override {}
};

// The system choice and login dialogs, answered as a user would.
void answerDialogs()
{
    QWidget *dialog = QApplication::activeModalWidget();
    if (auto *choice = qobject_cast<selectsystem *>(dialog)) {
        choice->list->setCurrentItem(choice->list->findItems(systemName, Qt::MatchExactly).value(0));
        choice->buttonOk->click();
    } else if (auto *credentials = qobject_cast<login *>(dialog)) {
        credentials->editUser->setText(QStringLiteral("ops"));
        credentials->editPassword->setText(QStringLiteral("secret"));
        credentials->buttonOk->click();
    } else if (auto *other = qobject_cast<QDialog *>(dialog)) {
        other->reject();
    }
}

struct SyncResult
{
    double seconds = 0;
    int placed = 0;
    int failed = 0;
    QString firstFailure;
};

class Editor
{
public:
    explicit Editor(quint16 port)
        : m_comms(new server_comms(nullptr, QStringLiteral("bench"), QStringLiteral("127.0.0.1"), port,
                                   std::make_unique<benchUi>()))
    {
        QObject::connect(&m_answer, &QTimer::timeout, &answerDialogs);
        m_answer.start(5);
        QObject::connect(m_comms, &server_comms::setServer, &m_loop, &QEventLoop::quit);
        QObject::connect(m_comms, qOverload<response &, QString &>(&server_comms::event), &m_loop,
                         [this](response &result, QString &) {
                             if (result.operation != m_operation)
                                 return;
                             // A lock request has no end of batch: its one event ends it.
                             if (result.status == response::BatchEnd || m_operation == u"lock") {
                                 m_result.seconds = double(m_clock.nsecsElapsed()) / 1e9;
                                 if (m_operation == u"lock" && result.status == response::Failed)
                                     ++m_result.failed;
                                 m_loop.quit();
                             } else if (result.status == response::Failed) {
                                 if (m_result.failed++ == 0)
                                     m_result.firstFailure = result.path + QStringLiteral(": ") + result.message;
                             } else {
                                 ++m_result.placed;
                             }
                         });
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, [] { fail(QStringLiteral("no login within 30 s")); });
        timeout.start(30000);
        m_loop.exec();
        m_answer.stop();
    }
    ~Editor() { delete m_comms; }

    // Download synchronisation of the folder, from the request of the
    // synchronisation list to the end of the download reply.
    SyncResult download(int timeoutSeconds)
    {
        return run(QStringLiteral("download"), [this] { m_comms->syncDirDownload(syncedFolder, QStringLiteral("bench")); },
                   timeoutSeconds);
    }
    // Upload synchronisation of the local copy of the folder, which must be
    // locked first, to the end of the upload reply.
    SyncResult upload(int timeoutSeconds)
    {
        const SyncResult locked =
            run(QStringLiteral("lock"), [this] { m_comms->lockDir(syncedFolder, QStringLiteral("bench")); }, 30);
        if (locked.failed > 0)
            fail(QStringLiteral("the folder cannot be locked"));
        const SyncResult result = run(QStringLiteral("upload"),
                                      [this] { m_comms->syncDirUpload(syncedFolder, QStringLiteral("bench")); },
                                      timeoutSeconds);
        m_comms->unlockDir(syncedFolder, QStringLiteral("bench"));
        m_comms->flush();
        return result;
    }

private:
    SyncResult run(const QString &operation, const std::function<void()> &request, int timeoutSeconds)
    {
        m_result = SyncResult();
        m_operation = operation;
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, [&] { fail(QStringLiteral("no end of the %1 reply").arg(operation)); });
        timeout.start(timeoutSeconds * 1000);
        m_clock.start();
        request();
        m_loop.exec();
        m_operation.clear();
        return m_result;
    }

    server_comms *m_comms;
    QTimer m_answer;
    QEventLoop m_loop;
    QElapsedTimer m_clock;
    QString m_operation;
    SyncResult m_result;
};

// Appends a line to every file below `folder`, keeping its date: the same
// date and another size make each one a changed file for both sides.
int changeFiles(const QString &folder, int run)
{
    int changed = 0;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QByteArray content = readFile(path);
        content += QStringLiteral("[Changed]\r\nRun=%1\r\n").arg(run).toLatin1();
        if (!writeFile(path, content))
            fail(QStringLiteral("cannot change ") + path);
        ++changed;
    }
    return changed;
}

// rsync with `arguments`, timed from start to exit, with the CPU time of the
// client and of the daemon with its connection process.
struct RsyncResult
{
    double seconds = 0;
    double clientCpu = 0;
    double daemonCpu = 0;
};

RsyncResult runRsync(const QString &rsync, const QStringList &arguments, qint64 daemonPid)
{
    RsyncResult result;
    const double childrenBefore = ownCpu(RUSAGE_CHILDREN);
    const double daemonBefore = processCpu(daemonPid, true);
    QProcess copy;
    QElapsedTimer clock;
    clock.start();
    copy.start(rsync, arguments);
    if (!copy.waitForFinished(600000) || copy.exitStatus() != QProcess::NormalExit || copy.exitCode() != 0)
        fail(QStringLiteral("rsync failed: ") + QString::fromLocal8Bit(copy.readAllStandardError()));
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.clientCpu = ownCpu(RUSAGE_CHILDREN) - childrenBefore;
    QThread::msleep(200); // the daemon reaps its connection's process
    result.daemonCpu = processCpu(daemonPid, true) - daemonBefore;
    return result;
}

// Copies a tree with its dates, for the folder rsync pushes into.
void copyTree(const QString &from, const QString &to)
{
    QProcess cp;
    cp.start(QStringLiteral("cp"), {QStringLiteral("-a"), from + QStringLiteral("/."), to});
    if (!cp.waitForFinished(600000) || cp.exitCode() != 0)
        fail(QStringLiteral("cannot copy %1 to %2").arg(from, to));
}

} // namespace

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The login dialogs remember what they were given: not in the user's settings.
    QStandardPaths::setTestModeEnabled(true);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Download synchronisation of setdesk against rsync."));
    parser.addHelpOption();
    const QCommandLineOption filesOption(QStringLiteral("files"), QStringLiteral("Files in the tree (5000)."), QStringLiteral("N"));
    const QCommandLineOption mbOption(QStringLiteral("megabytes"), QStringLiteral("Size of the tree in MB (50)."), QStringLiteral("N"));
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs of each (3)."), QStringLiteral("N"));
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("The server program."), QStringLiteral("PATH"));
    const QCommandLineOption rsyncOption(QStringLiteral("rsync"), QStringLiteral("The rsync program (rsync)."), QStringLiteral("PATH"));
    parser.addOptions({filesOption, mbOption, runsOption, hostOption, rsyncOption});
    parser.process(app);
    Options options;
    options.host = QCoreApplication::applicationDirPath() + QStringLiteral("/bench_keepyard_sessions_host");
    if (parser.isSet(filesOption))
        options.files = std::max(1, parser.value(filesOption).toInt());
    if (parser.isSet(mbOption))
        options.megabytes = std::max(1, parser.value(mbOption).toInt());
    if (parser.isSet(runsOption))
        options.runs = std::max(1, parser.value(runsOption).toInt());
    if (parser.isSet(hostOption))
        options.host = parser.value(hostOption);
    if (parser.isSet(rsyncOption))
        options.rsync = parser.value(rsyncOption);

    QTemporaryDir work;
    if (!work.isValid())
        fail(QStringLiteral("no temporary folder"));
    const QString root = work.path() + QStringLiteral("/root");
    const QString tree = root + QLatin1Char('/') + systemName + QLatin1Char('/') + syncedFolder;
    QDir().mkpath(root + QStringLiteral("/") + systemName + QStringLiteral("/config"));
    writeFile(root + QStringLiteral("/North/config/keepyard_password.ini"), "[Users]\r\nops=secret\r\n[Level]\r\nops=2\r\n");

    QElapsedTimer making;
    making.start();
    const Tree made = makeTree(tree, options.files, qint64(options.megabytes) * 1000 * 1000);
    std::printf("tree: %d files in %d folders, %.2f MB, written in %.1f s\n", made.files, made.folders,
                double(made.bytes) / 1e6, double(making.elapsed()) / 1000);

    Process host;
    Process daemon;
    stopServers = [&] {
        host.stop();
        daemon.stop();
        work.remove();
    };
    const QString push = work.path() + QStringLiteral("/push");
    QDir().mkpath(push);
    const QString hostLog = work.path() + QStringLiteral("/keepyard.log");
    quint16 hostPort = startHost(host, options.host, root, hostLog);
    const quint16 rsyncPort = startRsyncDaemon(daemon, options.rsync, tree, push, work.path());
    std::printf("keepyard host on 127.0.0.1:%u, rsync daemon on 127.0.0.1:%u\n", unsigned(hostPort), unsigned(rsyncPort));
    std::printf("download: setdesk cold (new server) and warm (same server again), rsync -a and -az; upload: every "
                "file changed, setdesk against rsync -az push\n\n");
    std::printf("%-4s %9s %9s %9s %9s | %9s %9s | %9s %9s\n", "run", "cold s", "warm s", "rsync -a", "rsync -az",
                "cold CPU", "srv CPU", "up s", "push -az");

    std::vector<double> cold, warm, plain, zipped, up, pushed;
    for (int run = 1; run <= options.runs; ++run) {
        // A new server for each run: nothing it kept from the last run.
        if (run > 1) {
            host.stop();
            hostPort = startHost(host, options.host, root, hostLog);
        }
        // Empty local copies with empty lists, as on a new workstation. Each
        // run writes to folders of its own: on file systems that skip
        // recently freed inodes, deleting the last copy first would slow
        // down the file creation of the next one.
        const auto syncInto = [&](const QString &name, double *clientCpu, double *serverCpu) {
            const QString client = work.path() + QStringLiteral("/%1-%2").arg(name).arg(run);
            clientFolder::setOverride(client);
            Editor editor(hostPort);
            const double clientBefore = ownCpu(RUSAGE_SELF);
            const double serverBefore = processCpu(host.process.processId());
            const SyncResult result = editor.download(600);
            if (clientCpu)
                *clientCpu = ownCpu(RUSAGE_SELF) - clientBefore;
            if (serverCpu)
                *serverCpu = processCpu(host.process.processId()) - serverBefore;
            if (result.failed > 0)
                fail(QStringLiteral("%1 files failed, the first %2").arg(result.failed).arg(result.firstFailure));
            if (result.placed != made.files)
                fail(QStringLiteral("%1 files reported, %2 expected").arg(result.placed).arg(made.files));
            const QString localCopy = client + QLatin1Char('/') + systemName + QLatin1Char('/') + syncedFolder;
            const QString wrongCopy = compareTrees(tree, localCopy);
            if (!wrongCopy.isEmpty())
                fail(QStringLiteral("setdesk copy: ") + wrongCopy);
            return result.seconds;
        };
        double clientCpu = 0;
        double serverCpu = 0;
        cold.push_back(syncInto(QStringLiteral("cold"), &clientCpu, &serverCpu));
        warm.push_back(syncInto(QStringLiteral("warm"), nullptr, nullptr));

        for (const bool compress : {false, true}) {
            const QString rsyncCopy = work.path() + QStringLiteral("/rsync%1-%2").arg(compress ? "z" : "").arg(run);
            QDir().mkpath(rsyncCopy);
            const RsyncResult copied =
                runRsync(options.rsync,
                         {compress ? QStringLiteral("-az") : QStringLiteral("-a"),
                          QStringLiteral("rsync://127.0.0.1:%1/tree/").arg(rsyncPort), rsyncCopy + QLatin1Char('/')},
                         daemon.process.processId());
            const QString wrongRsync = compareTrees(tree, rsyncCopy);
            if (!wrongRsync.isEmpty())
                fail(QStringLiteral("rsync copy: ") + wrongRsync);
            (compress ? zipped : plain).push_back(copied.seconds);
        }

        // Upload: every file of the cold copy changed. rsync pushes the same
        // changed files into a copy of the server's tree as it was.
        const QString client = work.path() + QStringLiteral("/cold-%1").arg(run);
        const QString localCopy = client + QLatin1Char('/') + systemName + QLatin1Char('/') + syncedFolder;
        if (changeFiles(localCopy, run) != made.files)
            fail(QStringLiteral("the local copy lost files"));
        const QString pushTarget = push + QStringLiteral("/run%1").arg(run);
        QDir().mkpath(pushTarget);
        copyTree(tree, pushTarget);
        double upSeconds = 0;
        {
            clientFolder::setOverride(client);
            Editor editor(hostPort);
            const SyncResult result = editor.upload(600);
            if (result.failed > 0)
                fail(QStringLiteral("%1 uploads failed, the first %2").arg(result.failed).arg(result.firstFailure));
            // The folders are unchanged entries, reported as held.
            if (result.placed != made.files + made.folders)
                fail(QStringLiteral("%1 files and folders uploaded or held, %2 expected")
                         .arg(result.placed)
                         .arg(made.files + made.folders));
            upSeconds = result.seconds;
        }
        const QString wrongServer = compareTrees(localCopy, tree);
        if (!wrongServer.isEmpty())
            fail(QStringLiteral("server after the upload: ") + wrongServer);
        const RsyncResult pushedUp = runRsync(
            options.rsync,
            {QStringLiteral("-az"), localCopy + QLatin1Char('/'), QStringLiteral("rsync://127.0.0.1:%1/push/run%2/").arg(rsyncPort).arg(run)},
            daemon.process.processId());
        const QString wrongPush = compareTrees(localCopy, pushTarget);
        if (!wrongPush.isEmpty())
            fail(QStringLiteral("rsync push: ") + wrongPush);
        up.push_back(upSeconds);
        pushed.push_back(pushedUp.seconds);

        std::printf("%-4d %9.3f %9.3f %9.3f %9.3f | %9.2f %9.2f | %9.3f %9.3f\n", run, cold.back(), warm.back(),
                    plain.back(), zipped.back(), clientCpu, serverCpu, up.back(), pushed.back());
        std::fflush(stdout);
    }

    std::printf("%-4s %9.3f %9.3f %9.3f %9.3f | %19s | %9.3f %9.3f\n", "med", median(cold), median(warm), median(plain),
                median(zipped), "", median(up), median(pushed));
    std::printf("\nall copies checked: %d files, contents and dates equal to their source\n\n", made.files);
    stopServers = nullptr;
    const auto verdict = [](const char *what, double ratio, double target) {
        if (target > 0)
            std::printf("%-34s %6.2f   target at most %.2f: %s\n", what, ratio, target, ratio <= target ? "met" : "NOT met");
        else
            std::printf("%-34s %6.2f\n", what, ratio);
    };
    verdict("download cold / rsync -a", median(cold) / median(plain), 1.0);
    verdict("download cold / rsync -az", median(cold) / median(zipped), 0.5);
    verdict("download warm / rsync -a", median(warm) / median(plain), 0);
    verdict("download warm / rsync -az", median(warm) / median(zipped), 0);
    verdict("upload / rsync -az push", median(up) / median(pushed), 0);
    return 0;
}
