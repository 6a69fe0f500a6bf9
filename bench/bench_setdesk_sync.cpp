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

quint16 startRsyncDaemon(Process &daemon, const QString &rsync, const QString &tree, const QString &work)
{
    const QString config = work + QStringLiteral("/rsyncd.conf");
    const QByteArray text = QStringLiteral("use chroot = no\nuid = %1\ngid = %2\nlog file = %3/rsyncd.log\n"
                                           "[tree]\n  path = %4\n  read only = yes\n")
                                .arg(getuid())
                                .arg(getgid())
                                .arg(work, tree)
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
                             if (result.status == response::BatchEnd && result.operation == u"download") {
                                 m_result.seconds = double(m_clock.nsecsElapsed()) / 1e9;
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

    SyncResult sync(int timeoutSeconds)
    {
        m_result = SyncResult();
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, [&] { fail(QStringLiteral("no end of the download reply")); });
        timeout.start(timeoutSeconds * 1000);
        m_clock.start();
        m_comms->syncDirDownload(syncedFolder, QStringLiteral("bench"));
        m_loop.exec();
        return m_result;
    }

private:
    server_comms *m_comms;
    QTimer m_answer;
    QEventLoop m_loop;
    QElapsedTimer m_clock;
    SyncResult m_result;
};

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
    const quint16 hostPort = startHost(host, options.host, root, work.path() + QStringLiteral("/keepyard.log"));
    const quint16 rsyncPort = startRsyncDaemon(daemon, options.rsync, tree, work.path());
    std::printf("keepyard host on 127.0.0.1:%u, rsync daemon on 127.0.0.1:%u\n\n", unsigned(hostPort), unsigned(rsyncPort));

    std::printf("%-5s %12s %12s %12s   %12s %12s %12s\n", "run", "setdesk s", "client CPU", "server CPU", "rsync s",
                "client CPU", "daemon CPU");
    std::vector<double> ours;
    std::vector<double> theirs;
    for (int run = 1; run <= options.runs; ++run) {
        // An empty local copy with empty lists, as on a new workstation. Each
        // run writes to folders of its own: on file systems that skip
        // recently freed inodes, deleting the last copy first would slow
        // down the file creation of the next one.
        const QString client = work.path() + QStringLiteral("/client-%1").arg(run);
        const QString localCopy = client + QLatin1Char('/') + systemName + QLatin1Char('/') + syncedFolder;
        clientFolder::setOverride(client);
        Editor editor(hostPort);
        const double clientBefore = ownCpu(RUSAGE_SELF);
        const double serverBefore = processCpu(host.process.processId());
        const SyncResult result = editor.sync(600);
        const double clientCpu = ownCpu(RUSAGE_SELF) - clientBefore;
        const double serverCpu = processCpu(host.process.processId()) - serverBefore;
        if (result.failed > 0)
            fail(QStringLiteral("%1 files failed, the first %2").arg(result.failed).arg(result.firstFailure));
        if (result.placed != made.files)
            fail(QStringLiteral("%1 files reported, %2 expected").arg(result.placed).arg(made.files));
        const QString wrongCopy = compareTrees(tree, localCopy);
        if (!wrongCopy.isEmpty())
            fail(QStringLiteral("setdesk copy: ") + wrongCopy);
        ours.push_back(result.seconds);

        const QString rsyncCopy = work.path() + QStringLiteral("/rsync-%1").arg(run);
        QDir().mkpath(rsyncCopy);
        const double childrenBefore = ownCpu(RUSAGE_CHILDREN);
        const double daemonBefore = processCpu(daemon.process.processId(), true);
        QProcess copy;
        QElapsedTimer clock;
        clock.start();
        copy.start(options.rsync, {QStringLiteral("-a"), QStringLiteral("rsync://127.0.0.1:%1/tree/").arg(rsyncPort),
                                   rsyncCopy + QLatin1Char('/')});
        if (!copy.waitForFinished(600000) || copy.exitStatus() != QProcess::NormalExit || copy.exitCode() != 0)
            fail(QStringLiteral("rsync failed: ") + QString::fromLocal8Bit(copy.readAllStandardError()));
        const double rsyncSeconds = double(clock.nsecsElapsed()) / 1e9;
        const double rsyncClientCpu = ownCpu(RUSAGE_CHILDREN) - childrenBefore;
        QThread::msleep(200); // the daemon reaps its connection's process
        const double daemonCpu = processCpu(daemon.process.processId(), true) - daemonBefore;
        const QString wrongRsync = compareTrees(tree, rsyncCopy);
        if (!wrongRsync.isEmpty())
            fail(QStringLiteral("rsync copy: ") + wrongRsync);
        theirs.push_back(rsyncSeconds);

        std::printf("%-5d %12.3f %12.2f %12.2f   %12.3f %12.2f %12.2f\n", run, result.seconds, clientCpu, serverCpu,
                    rsyncSeconds, rsyncClientCpu, daemonCpu);
        std::fflush(stdout);
    }

    const double oursMedian = median(ours);
    const double theirsMedian = median(theirs);
    std::printf("\n%-5s %12.3f %38.3f\n", "best", *std::min_element(ours.begin(), ours.end()),
                *std::min_element(theirs.begin(), theirs.end()));
    std::printf("%-5s %12.3f %38.3f\n", "median", oursMedian, theirsMedian);
    std::printf("\nboth copies checked: %d files, contents and dates equal to the tree\n", made.files);
    stopServers = nullptr;
    const double ratio = oursMedian / theirsMedian;
    std::printf("setdesk / rsync (medians): %.2f   target at most 1.00: %s\n", ratio, ratio <= 1.0 ? "met" : "NOT met");
    return 0;
}
