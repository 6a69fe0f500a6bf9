#include "Logger.h"

#include "logFlags.h"
#include "wardline_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>

namespace {

// The figures of the stop and restart lines: each 64-bit number is followed
// by its high and low 32-bit halves, printed as signed ints.
QString msgFreeSpace(const char *what, qint64 available)
{
    const auto high = [](qint64 v) { return static_cast<qint32>(static_cast<quint64>(v) >> 32); };
    const auto low = [](qint64 v) { return static_cast<qint32>(static_cast<quint32>(static_cast<quint64>(v))); };
    const qint64 minimum = Logger::MinimumFreeSpace;
    return QString::asprintf("%s due to free space available. Available %lld (%d %d), Minimum %lld (%d %d).", what,
                             static_cast<long long>(available), high(available), low(available),
                             static_cast<long long>(minimum), high(minimum), low(minimum));
}

QByteArray lineOf(const QByteArray &stamp, const QString &text)
{
    return stamp + " - " + text.toUtf8() + '\n';
}

bool appendToFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qCDebug(lcWardline).noquote() << QStringLiteral("cannot open log file ") + path;
        return false;
    }
    // One write per call: lines of other processes appending to the same file stay whole.
    file.write(bytes);
    return true;
}

} // namespace

QString Logger::LogFilePerDay::name(const QDateTime &localTime) const
{
    const QDate d = localTime.date();
    return QString::asprintf("%04d_%02d_%02d", d.year(), d.month(), d.day());
}

QString Logger::LogFilePerHour::name(const QDateTime &localTime) const
{
    const QDate d = localTime.date();
    return QString::asprintf("%04d_%02d_%02d_%02d", d.year(), d.month(), d.day(), localTime.time().hour());
}

QString Logger::LogFilePerMinute::name(const QDateTime &localTime) const
{
    const QDate d = localTime.date();
    const QTime t = localTime.time();
    return QString::asprintf("%04d_%02d_%02d_%02d_%02d", d.year(), d.month(), d.day(), t.hour(), t.minute());
}

Logger::Logger()
    : m_frequency(std::make_unique<LogFilePerDay>())
    , m_clock([] { return QDateTime::currentDateTime(); })
    , m_freeSpace(&Logger::diskFreeSpace)
{
}

Logger::~Logger() = default;

Logger &Logger::instance()
{
    static Logger logger;
    return logger;
}

// Folders from $QX_ROOT/$QX_SYSTEM/logs down to the one that holds the file.
QStringList Logger::folderChain() const
{
    QStringList chain;
    QString folder = qEnvironmentVariable("QX_ROOT") + QLatin1Char('/') + qEnvironmentVariable("QX_SYSTEM")
                     + QStringLiteral("/logs");
    chain << folder;
    folder += QStringLiteral("/alarms");
    chain << folder;
    if (!m_subfolder.isEmpty()) {
        folder += QLatin1Char('/') + m_subfolder;
        chain << folder;
    }
    if (m_sessionFolderOn) {
        folder += QLatin1Char('/') + m_sessionFolderName;
        chain << folder;
    }
    return chain;
}

QString Logger::folder() const
{
    std::lock_guard lock(m_mutex);
    return folderChain().constLast();
}

QString Logger::fileName(const QDateTime &localTime) const
{
    std::lock_guard lock(m_mutex);
    return folderChain().constLast() + QLatin1Char('/') + m_frequency->name(localTime) + QStringLiteral(".log");
}

// Appends "hh:mm:ss.zzz - text". The file is opened and closed for every line
// and the free space read each time; when it drops below the minimum a stop
// line follows and later lines are dropped until a write finds more than the
// minimum free, which writes the restart line instead of its own text.
// Folders are created on the first write after start or a new subfolder;
// failures to create or open lose the line silently. Modules may log from
// threads of their own, hence the lock.
void Logger::writeLine(const QString &text)
{
    std::lock_guard lock(m_mutex);
    const QDateTime now = m_clock();
    const QTime time = now.time();
    const QByteArray stamp =
        QString::asprintf("%02d:%02d:%02d.%03d", time.hour(), time.minute(), time.second(), time.msec()).toLatin1();

    const QStringList chain = folderChain();
    if (m_createFolders) {
        for (const QString &folder : chain)
            QDir().mkdir(folder);
    }
    const QString &folder = chain.constLast();
    const QString path = folder + QLatin1Char('/') + m_frequency->name(now) + QStringLiteral(".log");
    m_createFolders = false;
    if (path != m_lastPath) {
        m_lastPath = path;
        if (m_newFile)
            m_newFile(path);
    }

    // An unreadable figure counts as enough space: logging is never stopped on
    // a guess. It shows as -1 in the restart line.
    const std::optional<qint64> free = m_freeSpace ? m_freeSpace(folder) : std::nullopt;
    const qint64 available = free.value_or(-1);
    const bool lowOnSpace = free.has_value() && available < MinimumFreeSpace;
    const bool enoughSpace = !free.has_value() || available > MinimumFreeSpace;

    if (m_enabled) {
        QByteArray bytes = lineOf(stamp, text);
        if (lowOnSpace)
            bytes += lineOf(stamp, msgFreeSpace("WL: Stopping logging", available));
        if (appendToFile(path, bytes) && lowOnSpace)
            m_enabled = false;
    }
    if (!m_enabled && enoughSpace) {
        appendToFile(path, lineOf(stamp, msgFreeSpace("Restarting logging", available)));
        m_enabled = true;
    }
}

// Formats without a length limit and writes the line unfiltered.
void Logger::directLog(const char *format, ...)
{
    std::string text;
    if (format) {
        va_list args;
        va_start(args, format);
        va_list sizing;
        va_copy(sizing, args);
        const int size = std::vsnprintf(nullptr, 0, format, sizing);
        va_end(sizing);
        if (size > 0) {
            text.resize(static_cast<size_t>(size));
            std::vsnprintf(text.data(), text.size() + 1, format, args);
        }
        va_end(args);
    }
    writeLine(QString::fromStdString(text));
}

void Logger::directLog(const QString &text)
{
    writeLine(text);
}

// 1: a file per hour, 2: per minute, anything else: per day.
void Logger::setFrequency(int kind)
{
    std::unique_ptr<ILogFileFrequency> frequency;
    if (kind == 1)
        frequency = std::make_unique<LogFilePerHour>();
    else if (kind == 2)
        frequency = std::make_unique<LogFilePerMinute>();
    else
        frequency = std::make_unique<LogFilePerDay>();
    std::lock_guard lock(m_mutex);
    m_frequency = std::move(frequency);
}

// An empty name writes to the "alarms" folder itself again.
void Logger::setSubfolder(const QString &name)
{
    std::lock_guard lock(m_mutex);
    m_subfolder = name;
    m_createFolders = true;
}

// Names the session folder from the current time. Meant for start-up, before
// the first line: it does not make the next write create folders.
void Logger::startSessionFolder()
{
    std::lock_guard lock(m_mutex);
    const QDateTime now = m_clock();
    const QDate d = now.date();
    const QTime t = now.time();
    m_sessionFolderName = QString::asprintf("%04d_%02d_%02d-%02d_%02d_%02d", d.year(), d.month(), d.day(), t.hour(),
                                            t.minute(), t.second());
    m_sessionFolderOn = true;
}

// Per-session folder with bit 16; a file per hour with bit 256, which wins
// over a file per minute with bit 512.
void Logger::applyLogFlags(int flags)
{
    if (flags & logFlags::PerSession)
        startSessionFolder();
    if (flags & logFlags::FilePerHour)
        setFrequency(1);
    else if (flags & logFlags::FilePerMinute)
        setFrequency(2);
}

// Creates every missing folder of a path split at "/" and "\". A leading
// separator keeps the path absolute. On the first folder that cannot be made,
// returns false with "Failed to create directory <that folder>".
bool Logger::createPath(const QString &path, QString *errorMessage)
{
    if (QFileInfo(path).isDir())
        return true;
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList parts = path.split(separators, Qt::SkipEmptyParts);
    QString partial;
    if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
        partial = QStringLiteral("/");
    for (const QString &part : parts) {
        if (!partial.isEmpty() && !partial.endsWith(QLatin1Char('/')))
            partial += QLatin1Char('/');
        partial += part;
        // Checked again after a failure: another process may have made it meanwhile.
        if (!QFileInfo(partial).isDir() && !QDir().mkdir(partial) && !QFileInfo(partial).isDir()) {
            if (errorMessage)
                *errorMessage = QStringLiteral("Failed to create directory %1").arg(partial);
            return false;
        }
    }
    return true;
}

bool Logger::isEnabled() const
{
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

QString Logger::subfolder() const
{
    std::lock_guard lock(m_mutex);
    return m_subfolder;
}

QString Logger::sessionFolderName() const
{
    std::lock_guard lock(m_mutex);
    return m_sessionFolderName;
}

bool Logger::isSessionFolderOn() const
{
    std::lock_guard lock(m_mutex);
    return m_sessionFolderOn;
}

void Logger::setClock(Clock clock)
{
    std::lock_guard lock(m_mutex);
    m_clock = std::move(clock);
}

void Logger::setFreeSpace(FreeSpace freeSpace)
{
    std::lock_guard lock(m_mutex);
    m_freeSpace = std::move(freeSpace);
}

void Logger::setNewFileHandler(NewFile newFile)
{
    std::lock_guard lock(m_mutex);
    m_newFile = std::move(newFile);
    m_lastPath.clear();
}

// Available bytes through std::filesystem::space; empty when the disk cannot
// be asked (the folder is missing, for one) or does not know.
std::optional<qint64> Logger::diskFreeSpace(const QString &folder)
{
    std::error_code error;
    const std::filesystem::space_info info =
        std::filesystem::space(std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
    if (error || info.available == static_cast<std::uintmax_t>(-1))
        return std::nullopt;
    return static_cast<qint64>(std::min<std::uintmax_t>(info.available, std::numeric_limits<qint64>::max()));
}
