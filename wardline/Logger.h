#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// Wardline's log file: one time-stamped line per call, appended below
// $QX_ROOT/$QX_SYSTEM/logs/alarms in a file named from the local time.
// Logging stops while the disk has less than 1 MiB free and starts again
// when it has more.
class Logger
{
public:
    // Names the log file (without extension) from the local time.
    class ILogFileFrequency
    {
    public:
        virtual ~ILogFileFrequency() = default;
        virtual QString name(const QDateTime &localTime) const = 0;
    };

    class LogFilePerDay final : public ILogFileFrequency
    {
    public:
        QString name(const QDateTime &localTime) const override;
    };

    class LogFilePerHour final : public ILogFileFrequency
    {
    public:
        QString name(const QDateTime &localTime) const override;
    };

    class LogFilePerMinute final : public ILogFileFrequency
    {
    public:
        QString name(const QDateTime &localTime) const override;
    };

    // Source of the local date and time.
    using Clock = std::function<QDateTime()>;
    // Bytes available to this process on the disk of a folder; empty when unknown.
    using FreeSpace = std::function<std::optional<qint64>(const QString &folder)>;
    // Told the path of each new file that lines go to (another day, hour,
    // minute or folder), before the first line is written to it.
    using NewFile = std::function<void(const QString &path)>;

    static constexpr qint64 MinimumFreeSpace = 1048576;

    Logger();
    ~Logger();
    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    // The process's logger, made on first use.
    static Logger &instance();

    void writeLine(const QString &text);
    // Unfiltered lines: start, stop and caught exceptions.
    void directLog(const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    void directLog(const QString &text);

    void setFrequency(int kind);
    void setSubfolder(const QString &name);
    void startSessionFolder();
    // The file settings of the log flags, read once at start.
    void applyLogFlags(int flags);

    static bool createPath(const QString &path, QString *errorMessage = nullptr);

    QString folder() const;
    bool isEnabled() const;
    QString subfolder() const;
    QString sessionFolderName() const;
    bool isSessionFolderOn() const;
    QString fileName(const QDateTime &localTime) const;

    void setClock(Clock clock);
    void setFreeSpace(FreeSpace freeSpace);
    // The next line's file counts as new to it.
    void setNewFileHandler(NewFile newFile);
    static std::optional<qint64> diskFreeSpace(const QString &folder);

private:
    QStringList folderChain() const;

    mutable std::mutex m_mutex;
    bool m_createFolders = true;
    bool m_enabled = true;
    bool m_sessionFolderOn = false;
    QString m_subfolder;
    QString m_sessionFolderName;
    std::unique_ptr<ILogFileFrequency> m_frequency;
    Clock m_clock;
    FreeSpace m_freeSpace;
    NewFile m_newFile;
    QString m_lastPath;
};
