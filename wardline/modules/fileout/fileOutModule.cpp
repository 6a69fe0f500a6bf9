#include "fileOutModule.h"

#include "profileFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>

namespace {

constexpr int kDebugMask = 2; // the engine's "Plug-ins" log category

// A relative path is taken from the configuration file's folder; "\" from
// configurations written on other systems is read as "/".
QString resolvePath(QString path, const QString &configFile)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::cleanPath(QFileInfo(configFile).absoluteDir().absoluteFilePath(path));
}

} // namespace

fileOutModule::fileOutModule(IDebug *debug, IAppendLog *log)
    : m_debug(debug), m_log(log)
{
}

bool fileOutModule::initialise(const QString &configFile, const QString &alarmSystem, const QString &systemFolder,
                               const QString &configFolder, const QStringList &processNames,
                               IAlarmEventOut *eventSink)
{
    Q_UNUSED(alarmSystem);
    Q_UNUSED(systemFolder);
    Q_UNUSED(configFolder);
    Q_UNUSED(eventSink); // nothing comes back from a file
    m_prefix = QStringLiteral("fileout %1: ").arg(QFileInfo(configFile).fileName());
    if (m_initialised) {
        trace(QStringLiteral("initialise called again, ignored"));
        return false;
    }
    m_configFile = configFile;

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
    m_path = resolvePath(path, configFile);
    m_names = processNames;
    m_linePrefixes.clear();
    m_initialised = true;
    appendLog(QStringLiteral("Writing %1 processes to %2 while transmitting").arg(m_names.size()).arg(m_path));
    return true;
}

int fileOutModule::dataReady(const int *states, int count)
{
    if (!m_initialised)
        return 0;
    if (!states || count < 0)
        count = 0;
    // The engine sends one state per process; should it ever differ, names
    // without a state are written as -1 (not calculated).
    if (count != m_names.size() && count != m_lastCount)
        trace(QStringLiteral("dataReady with %1 states for %2 processes").arg(count).arg(m_names.size()));
    m_lastCount = count;
    takeResults();

    m_latest.resize(size_t(m_names.size()));
    for (size_t i = 0; i < m_latest.size(); ++i)
        m_latest[i] = int(i) < count ? states[i] : -1;
    m_haveLatest = true;

    if (!m_transmitting || (m_fileCurrent && m_written && *m_written == m_latest))
        return 0;
    writeStates();
    return m_writeFailed ? -1 : 1;
}

int fileOutModule::setRxOnly()
{
    if (m_transmitting) {
        m_transmitting = false;
        appendLog(QStringLiteral("Receive only: %1 no longer written").arg(m_path));
    }
    return 0;
}

int fileOutModule::setTxRx()
{
    return startTransmitting("setTxRx");
}

int fileOutModule::forceTxRx()
{
    return startTransmitting("forceTxRx");
}

// While this engine did not transmit, the file may have been written by its
// twin or changed by hand, so the first write after taking over does not
// depend on a change, and the states already known are published at once.
int fileOutModule::startTransmitting(const char *call)
{
    if (!m_transmitting) {
        m_transmitting = true;
        m_fileCurrent = false;
        appendLog(QStringLiteral("Transmitting (%1)").arg(QLatin1String(call)));
        if (m_haveLatest)
            writeStates();
    }
    return 1;
}

void fileOutModule::retryConnnection()
{
    if (m_transmitting && m_haveLatest)
        writeStates();
    else
        trace(QStringLiteral("retryConnnection: nothing to write"));
}

QDateTime fileOutModule::getConfigFileDate()
{
    return m_configFile.isEmpty() ? QDateTime() : QFileInfo(m_configFile).lastModified();
}

// QSaveFile writes a temporary file beside the target and renames it over
// the target, so readers see the old file or the new one, never a part.
void fileOutModule::writeStates()
{
    // The "name=" parts are encoded once; a write then only appends numbers.
    if (m_linePrefixes.size() != m_names.size()) {
        m_linePrefixes.clear();
        m_linePrefixes.reserve(m_names.size());
        for (const QString &name : std::as_const(m_names))
            m_linePrefixes.append(name.toUtf8() + '=');
    }
    m_written = std::make_shared<const std::vector<int>>(m_latest); // shared with the writer
    m_fileCurrent = true;
    m_writer.submit([this, path = m_path, prefixes = m_linePrefixes, states = m_written] {
        QByteArray text;
        text.reserve(prefixes.size() * 16);
        char number[16];
        for (qsizetype i = 0; i < prefixes.size(); ++i) {
            text += prefixes.at(i);
            const int length = std::snprintf(number, sizeof number, "%d\n", (*states)[size_t(i)]);
            text.append(number, length);
        }
        QSaveFile file(path);
        QString error;
        if (!file.open(QIODevice::WriteOnly))
            error = file.errorString();
        else if (file.write(text) != text.size())
            error = file.errorString();
        else if (!file.commit())
            error = file.errorString();
        if (!error.isEmpty())
            file.cancelWriting();
        std::lock_guard lock(m_resultsMutex);
        m_results.push_back({int(states->size()), error});
    });
}

void fileOutModule::takeResults()
{
    std::vector<writeResult> results;
    {
        std::lock_guard lock(m_resultsMutex);
        results.swap(m_results);
    }
    for (const writeResult &result : results) {
        if (!result.error.isEmpty()) {
            m_fileCurrent = false; // written again at the next cycle
            if (!m_writeFailed)
                appendLog(QStringLiteral("Cannot write %1: %2").arg(m_path, result.error));
            m_writeFailed = true;
            continue;
        }
        ++m_txCount;
        if (m_writeFailed) {
            m_writeFailed = false;
            appendLog(QStringLiteral("Writing %1 again").arg(m_path));
        }
        trace(QStringLiteral("wrote %1 states (%2)").arg(result.states).arg(m_txCount));
    }
}

int fileOutModule::getTxCount()
{
    takeResults();
    return m_txCount;
}

bool fileOutModule::getStatusOk()
{
    takeResults();
    return m_initialised && !m_writeFailed;
}

void fileOutModule::appendLog(const QString &message)
{
    if (m_log)
        m_log->appendLog(message);
    trace(message);
}

void fileOutModule::trace(const QString &text)
{
    if (m_debug)
        m_debug->debug(kDebugMask, m_prefix, text);
}

ALARMS_MODULE_EXPORT alarms_output_base *createNewOutput(IDebug *debug, IAppendLog *log, int logFlags,
                                                         DebugIdManager *ids)
{
    Q_UNUSED(logFlags); // traces go to IDebug, which applies the flags itself
    Q_UNUSED(ids);
    return new fileOutModule(debug, log);
}
