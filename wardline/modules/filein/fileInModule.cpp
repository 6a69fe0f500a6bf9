#include "fileInModule.h"

#include "profileFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimerEvent>

#include <algorithm>

namespace {

constexpr int kDebugMask = 2; // the engine's "Plug-ins" log category
constexpr int kDefaultPollMs = 500;
constexpr int kMinPollMs = 10;
// A values file is a few kilobytes; a path pointing at something huge
// must not stall the engine's GUI thread or exhaust its memory.
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

struct readResult
{
    enum { ok, missing, unreadable, invalid } outcome = ok;
    QString error;
    std::vector<int> values;
};

bool isSeparator(char c)
{
    return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Integers separated by any run of commas, blanks and line breaks.
readResult parseValues(QByteArray text)
{
    readResult result;
    if (text.startsWith("\xEF\xBB\xBF")) // editors on other systems may add a byte order mark
        text.remove(0, 3);
    qsizetype pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && isSeparator(text.at(pos)))
            ++pos;
        const qsizetype start = pos;
        while (pos < text.size() && !isSeparator(text.at(pos)))
            ++pos;
        if (pos == start)
            break;
        const QByteArray token = text.mid(start, pos - start);
        bool ok = false;
        const int value = token.toInt(&ok, 10);
        if (!ok) {
            result.outcome = readResult::invalid;
            result.error = QStringLiteral("value %1 '%2' is not an integer")
                               .arg(result.values.size() + 1)
                               .arg(QString::fromUtf8(token.left(40)));
            result.values.clear();
            return result;
        }
        result.values.push_back(value);
    }
    return result;
}

readResult readValues(const QString &path)
{
    readResult result;
    QFile file(path);
    if (!file.exists()) {
        result.outcome = readResult::missing;
        result.error = QStringLiteral("missing");
        return result;
    }
    result.outcome = readResult::unreadable;
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    const QByteArray text = file.read(kMaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        result.error = file.errorString();
        return result;
    }
    if (text.size() > kMaxFileBytes) {
        result.error = QStringLiteral("larger than %1 bytes").arg(kMaxFileBytes);
        return result;
    }
    result.outcome = readResult::ok;
    return parseValues(text);
}

// A relative path is taken from the configuration file's folder; "\" from
// configurations written on other systems is read as "/".
QString resolvePath(QString path, const QString &configFile)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::cleanPath(QFileInfo(configFile).absoluteDir().absoluteFilePath(path));
}

} // namespace

fileInModule::fileInModule(IDebug *debug, IAppendLog *log)
    : m_debug(debug), m_log(log)
{
}

fileInModule::~fileInModule() = default;

bool fileInModule::initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                              IAlarmEventAcq *eventSink)
{
    Q_UNUSED(configFolder);
    m_prefix = QStringLiteral("filein %1: ").arg(QFileInfo(configFile).fileName());
    if (m_initialised) {
        trace(QStringLiteral("initialise called again, ignored"));
        return false;
    }
    m_configFile = configFile;
    m_sink = eventSink;

    const profileFile config(configFile);
    if (!config.exists()) {
        appendLog(QStringLiteral("Configuration file %1 not found").arg(configFile));
        return false;
    }
    const QString path = config.readString(QStringLiteral("File"), QStringLiteral("Path"));
    if (path.isEmpty()) {
        appendLog(QStringLiteral("No Path in section [File] of %1").arg(configFile));
        return false;
    }
    m_valuesPath = resolvePath(path, configFile);
    m_pollMs = config.readInt(QStringLiteral("File"), QStringLiteral("PollMs"), kDefaultPollMs);
    if (m_pollMs < kMinPollMs) {
        appendLog(QStringLiteral("PollMs %1 raised to %2").arg(m_pollMs).arg(kMinPollMs));
        m_pollMs = kMinPollMs;
    }
    // What greening and redding make every value read.
    m_values.setColouringValues(config.readInt(QStringLiteral("File"), QStringLiteral("GoodValue"), 0),
                                config.readInt(QStringLiteral("File"), QStringLiteral("AlarmValue"), 1));
    if (colouringMode == 1 || colouringMode == 2)
        m_values.changeColouring(colouringMode, true);

    m_initialised = true;
    appendLog(QStringLiteral("Reading %1 every %2 ms").arg(m_valuesPath).arg(m_pollMs));
    poll();
    m_pollTimer = startTimer(m_pollMs);
    return true;
}

// The array and the rule of its buffers: inputArray.
bool fileInModule::getData(int **data, int *length)
{
    if (!m_statusOk) {
        *data = nullptr;
        *length = 0;
        return false;
    }
    return m_values.handOut(data, length);
}

void fileInModule::setColouring(int mode, bool on)
{
    if (mode != 1 && mode != 2) {
        trace(QStringLiteral("setColouring(%1, %2) ignored").arg(mode).arg(on));
        return;
    }
    if (!m_values.changeColouring(mode, on))
        return;
    appendLog(m_values.colouringText(QStringLiteral("the file")));
    if (m_initialised)
        present();
}

void fileInModule::getProgress(int *total, int *remaining)
{
    // Every poll reads the whole file at once: one step.
    *total = m_initialised ? 1 : 0;
    *remaining = m_initialised && !m_polled ? 1 : 0;
}

void fileInModule::restartPoll()
{
    if (!m_initialised)
        return;
    if (m_pollTimer)
        killTimer(m_pollTimer);
    poll();
    m_pollTimer = startTimer(m_pollMs);
}

void fileInModule::pollNow()
{
    if (m_initialised)
        poll();
}

void fileInModule::aboutToClose()
{
    if (m_pollTimer)
        killTimer(m_pollTimer);
    m_pollTimer = 0;
}

QDateTime fileInModule::getConfigFileDate()
{
    return m_configFile.isEmpty() ? QDateTime() : QFileInfo(m_configFile).lastModified();
}

void fileInModule::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_pollTimer)
        poll();
    else
        QObject::timerEvent(event);
}

void fileInModule::poll()
{
    readResult result = readValues(m_valuesPath);
    m_polled = true;
    if (result.outcome != readResult::ok) {
        // The buffers stay as they are: the engine keeps reading the last
        // values it was given while the module is unhealthy.
        m_statusOk = false;
        reportFile(result.outcome == readResult::missing      ? fileState::missing
                   : result.outcome == readResult::unreadable ? fileState::unreadable
                                                              : fileState::invalid,
                   result.error);
        return;
    }

    const bool firstValues = m_fileState != fileState::ok;
    int changed = 0;
    const size_t common = std::min(result.values.size(), m_fileValues.size());
    for (size_t i = 0; i < common; ++i)
        changed += result.values[i] != m_fileValues[i] ? 1 : 0;
    changed += int(std::max(result.values.size(), m_fileValues.size()) - common);

    m_fileValues = std::move(result.values);
    m_statusOk = true;
    ++m_rxCount;
    if (firstValues)
        reportFile(fileState::ok, QString());
    else if (changed > 0)
        appendLog(QStringLiteral("%1 of %2 values changed").arg(changed).arg(m_fileValues.size()));
    if (changed > 0)
        trace(QStringLiteral("poll %1: %2 values, %3 changed").arg(m_rxCount).arg(m_fileValues.size()).arg(changed));
    present();
}

void fileInModule::reportFile(fileState state, const QString &detail)
{
    // Each fault is logged once, not on every poll; polls are traced only
    // when values change, so a steady file adds nothing to the logs.
    const bool repeated = state == m_fileState && detail == m_fileDetail;
    m_fileState = state;
    m_fileDetail = detail;
    if (repeated)
        return;
    switch (state) {
    case fileState::ok:
        if (m_rxCount == 1)
            appendLog(QStringLiteral("Values file %1 read: %2 values").arg(m_valuesPath).arg(m_fileValues.size()));
        else
            appendLog(QStringLiteral("Values file %1 back: %2 values").arg(m_valuesPath).arg(m_fileValues.size()));
        break;
    case fileState::missing:
        appendLog(QStringLiteral("Values file %1 missing").arg(m_valuesPath));
        break;
    case fileState::unreadable:
        appendLog(QStringLiteral("Values file %1 cannot be read: %2").arg(m_valuesPath, detail));
        break;
    case fileState::invalid:
        appendLog(QStringLiteral("Values file %1 rejected: %2").arg(m_valuesPath, detail));
        break;
    case fileState::notRead:
        break;
    }
}

void fileInModule::present()
{
    const int changed = m_values.present(m_fileValues);
    if (changed > 0)
        queueEvent(changed);
}

// Events go out from the module's own turn of the event loop, never inside
// a call from the engine: the engine holds its input locks during those
// calls, and the event path may take them. Changes that pile up before
// delivery make one event.
void fileInModule::queueEvent(int changed)
{
    m_pendingChanges += changed;
    if (m_eventQueued)
        return;
    m_eventQueued = true;
    QMetaObject::invokeMethod(this, [this] { deliverEvent(); }, Qt::QueuedConnection);
}

void fileInModule::deliverEvent()
{
    m_eventQueued = false;
    const int changed = std::exchange(m_pendingChanges, 0);
    trace(QStringLiteral("event: %1 values changed").arg(changed));
    if (m_sink)
        m_sink->event(changed);
}

void fileInModule::appendLog(const QString &message)
{
    if (m_log)
        m_log->appendLog(message);
    trace(message);
}

void fileInModule::trace(const QString &text)
{
    if (m_debug)
        m_debug->debug(kDebugMask, m_prefix, text);
}

ALARMS_MODULE_EXPORT alarms_input_base *createNewInput(IDebug *debug, IAppendLog *log, int logFlags,
                                                       DebugIdManager *ids)
{
    Q_UNUSED(logFlags); // traces go to IDebug, which applies the flags itself
    Q_UNUSED(ids);
    return new fileInModule(debug, log);
}
