#include "fuzzSupport.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <sys/inotify.h>
#include <unistd.h>
#include <utime.h>

namespace fuzzSupport {

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

std::unique_ptr<QTemporaryDir> &scratch()
{
    static std::unique_ptr<QTemporaryDir> folder;
    return folder;
}

void setDate(const QString &path, const QDateTime &when)
{
    struct utimbuf times;
    times.actime = times.modtime = static_cast<time_t>(when.toSecsSinceEpoch());
    ::utime(QFile::encodeName(path).constData(), &times);
}

constexpr uint32_t changeEvents =
    IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF;
constexpr uint32_t readEvents = IN_OPEN | IN_ACCESS;

} // namespace

void startApplication(appKind kind)
{
    if (QCoreApplication::instance())
        return;
    // Never a window on a real screen, and the same platform in every run.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("TAVEX_FUZZ_VERBOSE"))
        qInstallMessageHandler(quietHandler);
    // The application lives as long as the process; Qt keeps argc by reference.
    static int argc = 1;
    static char name[] = "tavex-fuzz";
    static char *argv[] = {name, nullptr};
    if (kind == appKind::widgets)
        new QApplication(argc, argv);
    else
        new QCoreApplication(argc, argv);
}

QString scratchFolder()
{
    if (scratch())
        return scratch()->path();
    scratch() = [] {
        // Files are written and synced for every input: memory is much faster than a disk.
        QString base = qEnvironmentVariable("TAVEX_FUZZ_TMPDIR");
        if (base.isEmpty())
            base = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        auto dir = std::make_unique<QTemporaryDir>(base + QStringLiteral("/tavex-fuzz-XXXXXX"));
        if (!dir->isValid())
            fail("cannot make a scratch folder below", base);
        return dir;
    }();
    return scratch()->path();
}

QDateTime fixedDate()
{
    return QDateTime(QDate(2015, 5, 8), QTime(14, 3, 59));
}

void writeFile(const QString &path, const QByteArray &content, const QDateTime &when)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        fail("cannot write", path);
    f.close();
    setDate(path, when);
}

void makeFolder(const QString &path, const QDateTime &when)
{
    if (!QDir().mkpath(path))
        fail("cannot make", path);
    setDate(path, when);
}

folderWatch::folderWatch()
    : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (m_fd < 0)
        fail("inotify is not available");
}

folderWatch::~folderWatch()
{
    ::close(m_fd);
}

void folderWatch::watch(const QString &folder, bool recursive, events kind)
{
    const uint32_t mask = IN_ONLYDIR | changeEvents | (kind == events::changesAndReads ? readEvents : 0);
    const int wd = ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(), mask);
    if (wd < 0)
        fail("cannot watch", folder);
    m_folders.insert(wd, folder);
    if (!recursive)
        return;
    QDirIterator it(folder, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    while (it.hasNext())
        watch(it.next(), true, kind);
}

void folderWatch::clear()
{
    for (auto it = m_folders.cbegin(); it != m_folders.cend(); ++it)
        ::inotify_rm_watch(m_fd, it.key());
    m_folders.clear();
    changes(); // the removals report themselves
}

QStringList folderWatch::changes(const QString &readable)
{
    QStringList found;
    alignas(struct inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0)
            return found;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const struct inotify_event *>(buffer + at);
            const QString name = event->len ? QFile::decodeName(event->name) : QString();
            const bool onlyRead = !(event->mask & changeEvents);
            if (!(event->mask & IN_IGNORED) && !(onlyRead && !name.isEmpty() && name == readable))
                found << QStringLiteral("%1/%2: %3").arg(m_folders.value(event->wd), name).arg(event->mask, 0, 16);
            at += ssize_t(sizeof(struct inotify_event)) + event->len;
        }
    }
}

streamCheck::streamCheck(const char *what)
    : m_what(what), m_reader(this)
{
}

void streamCheck::feed(QByteArrayView bytes)
{
    constexpr qsizetype shown = 600;
    m_tail.append(bytes.data(), bytes.size());
    if (m_tail.size() > 2 * shown)
        m_tail = m_tail.right(shown);
    if (m_reader.feed(bytes) == xml_reader::Failed)
        fail(m_what, m_reader.errorString() + QStringLiteral(" in\n") + QString::fromUtf8(m_tail.right(shown)));
}

void fail(const char *what, const QString &detail)
{
    std::fprintf(stderr, "==tavex-fuzz== %s %s\n", what, qPrintable(detail));
    scratch().reset(); // abort() skips the destructors that would remove it
    std::abort();
}

} // namespace fuzzSupport
