#include "mqttOutModule.h"

#include "mqttPublisher.h"
#include "profileFile.h"

#include <mosquitto.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <algorithm>
#include <limits>

namespace {

constexpr int kDebugMask = 2; // the engine's "Plug-ins" log category
const QString kSection = QStringLiteral("Mqtt");
constexpr int kTopicExamples = 5; // names quoted in a log line

// A relative path is taken from the configuration file's folder; "\" from
// configurations written on other systems is read as "/".
QString resolvePath(QString path, const QString &configFile)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::cleanPath(QFileInfo(configFile).absoluteDir().absoluteFilePath(path));
}

// "+" and "#" are wildcards and a NUL is not allowed in a topic: they become "_".
QString topicSafe(QString text)
{
    for (QChar &c : text) {
        if (c == QLatin1Char('+') || c == QLatin1Char('#') || c.unicode() == 0)
            c = QLatin1Char('_');
    }
    return text;
}

bool validTopic(const QByteArray &topic)
{
    return mosquitto_validate_utf8(topic.constData(), int(topic.size())) == MOSQ_ERR_SUCCESS
        && mosquitto_pub_topic_check2(topic.constData(), size_t(topic.size())) == MOSQ_ERR_SUCCESS;
}

QString quoted(const QStringList &names)
{
    QStringList shown = names.mid(0, kTopicExamples);
    for (QString &name : shown)
        name = QLatin1Char('"') + name + QLatin1Char('"');
    return shown.join(QStringLiteral(", ")) + (names.size() > kTopicExamples ? QStringLiteral(", ...") : QString());
}

} // namespace

mqttOutModule::mqttOutModule(IDebug *debug, IAppendLog *log)
    : m_debug(debug), m_log(log)
{
}

mqttOutModule::~mqttOutModule()
{
    aboutToClose();
}

bool mqttOutModule::initialise(const QString &configFile, const QString &alarmSystem, const QString &systemFolder,
                               const QString &configFolder, const QStringList &processNames,
                               IAlarmEventOut *eventSink)
{
    Q_UNUSED(systemFolder);
    Q_UNUSED(configFolder);
    Q_UNUSED(eventSink); // nothing comes back from the broker
    m_prefix = QStringLiteral("mqttout %1: ").arg(QFileInfo(configFile).fileName());
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
    bool valid = true;
    const auto refuse = [&](const QString &message) {
        appendLog(message);
        valid = false;
    };
    // A number within [low, high]: missing is the default, anything else
    // refused, or clamped when `clamp`.
    const auto number = [&](const QString &key, int defaultValue, int low, int high, bool clamp) {
        const QString text = config.readString(kSection, key).trimmed();
        if (text.isEmpty())
            return defaultValue;
        bool ok = false;
        const qlonglong value = text.toLongLong(&ok);
        if (!ok) {
            if (clamp) {
                appendLog(QStringLiteral("%1 \"%2\" is not a number: %3 used").arg(key, text).arg(defaultValue));
                return defaultValue;
            }
            refuse(QStringLiteral("%1 \"%2\" is not a number").arg(key, text));
            return defaultValue;
        }
        if (value >= low && value <= high)
            return int(value);
        if (!clamp) {
            refuse(QStringLiteral("%1 %2 is not between %3 and %4").arg(key).arg(value).arg(low).arg(high));
            return defaultValue;
        }
        const int bounded = int(std::clamp<qlonglong>(value, low, high));
        appendLog(QStringLiteral("%1 %2 changed to %3").arg(key).arg(value).arg(bounded));
        return bounded;
    };

    mqttPublisher::settings s;
    const QString host = config.readString(kSection, QStringLiteral("Host")).trimmed();
    if (host.isEmpty())
        refuse(QStringLiteral("No Host in section [%1] of %2").arg(kSection, configFile));
    s.host = host.toUtf8();
    s.port = number(QStringLiteral("Port"), 1883, 1, 65535, false);
    s.qos = number(QStringLiteral("Qos"), 1, 0, 2, false);
    const QString retain = config.readString(kSection, QStringLiteral("Retain")).trimmed().toLower();
    if (retain.isEmpty() || retain == QLatin1String("true") || retain == QLatin1String("yes") || retain == QLatin1String("1"))
        s.retain = true;
    else if (retain == QLatin1String("false") || retain == QLatin1String("no") || retain == QLatin1String("0"))
        s.retain = false;
    else
        refuse(QStringLiteral("Retain \"%1\" is neither true nor false").arg(retain));
    s.keepAliveS = number(QStringLiteral("KeepAliveS"), 30, 5, 3600, true);
    s.reconnectMs = number(QStringLiteral("ReconnectMs"), 1000, 100, 60000, true);
    s.reconnectMaxMs = std::max(30000, s.reconnectMs);
    s.maxInFlight = number(QStringLiteral("MaxInFlight"), 1000, 1, 65535, true);
    s.tableIntervalMs = number(QStringLiteral("TableIntervalMs"), 10000, 0, 86400000, true);
    if (s.tableIntervalMs > 0 && s.tableIntervalMs < 100) {
        appendLog(QStringLiteral("TableIntervalMs %1 changed to 100").arg(s.tableIntervalMs));
        s.tableIntervalMs = 100;
    }

    // Twin engines usually share their configuration: the host name in the
    // default client id keeps their connections apart (a broker drops the
    // older of two connections with one id).
    QString clientId = config.readString(kSection, QStringLiteral("ClientId")).trimmed();
    if (clientId.isEmpty())
        clientId = QStringLiteral("wardline-%h-") + QFileInfo(configFile).completeBaseName();
    clientId.replace(QStringLiteral("%h"), QSysInfo::machineHostName());
    s.clientId = clientId.toUtf8();
    if (s.clientId.size() > 65535)
        refuse(QStringLiteral("ClientId is too long"));

    QString prefix = config.readString(kSection, QStringLiteral("TopicPrefix")).trimmed();
    if (prefix.isEmpty())
        prefix = QStringLiteral("wardline/") + topicSafe(alarmSystem);
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    s.prefix = prefix.toUtf8();
    if (prefix.isEmpty() || !validTopic(s.prefix + "/_status"))
        refuse(QStringLiteral("TopicPrefix \"%1\" cannot start a topic (no \"+\" or \"#\")").arg(prefix));

    s.username = config.readString(kSection, QStringLiteral("Username")).toUtf8();
    s.password = config.readString(kSection, QStringLiteral("Password")).toUtf8();
    if (s.username.isEmpty() && !s.password.isEmpty()) {
        appendLog(QStringLiteral("Password without Username ignored"));
        s.password.clear();
    }
    const QString caFile = config.readString(kSection, QStringLiteral("CaFile")).trimmed();
    if (!caFile.isEmpty()) {
        const QString path = resolvePath(caFile, configFile);
        if (!QFileInfo(path).isFile())
            refuse(QStringLiteral("CaFile %1 not found").arg(path));
        s.caFile = QFile::encodeName(path);
    }
    if (!valid)
        return false;

    // One topic per process; names that cannot make a topic are left out,
    // and the two topics of the module's own are not taken over.
    QStringList changedNames;
    QStringList leftOut;
    int unnamed = 0;
    s.topics.reserve(processNames.size());
    for (const QString &name : processNames) {
        QByteArray topic;
        const QString safe = topicSafe(name);
        if (name.isEmpty()) {
            ++unnamed;
        } else if (safe == QLatin1String("_states") || safe == QLatin1String("_status")) {
            leftOut << name;
        } else {
            topic = s.prefix + '/' + safe.toUtf8();
            if (!validTopic(topic)) {
                leftOut << name;
                topic.clear();
            } else if (safe != name) {
                changedNames << name;
            }
        }
        s.topics << topic;
    }
    if (!changedNames.isEmpty())
        appendLog(QStringLiteral("%1 process names have \"+\" or \"#\", published with \"_\" instead: %2")
                      .arg(changedNames.size())
                      .arg(quoted(changedNames)));
    if (!leftOut.isEmpty())
        appendLog(QStringLiteral("%1 processes not published on topics of their own (name reserved or too long): %2")
                      .arg(leftOut.size())
                      .arg(quoted(leftOut)));
    if (unnamed > 0)
        appendLog(QStringLiteral("%1 processes without a name not published").arg(unnamed));
    s.names = processNames;
    s.alarmSystem = alarmSystem;

    m_names = processNames;
    m_initialised = true;
    appendLog(QStringLiteral("Publishing %1 processes to %2:%3 under %4/ while transmitting")
                  .arg(m_names.size())
                  .arg(host)
                  .arg(s.port)
                  .arg(prefix));
    m_publisher = std::make_unique<mqttPublisher>(std::move(s));
    if (m_transmitting)
        m_publisher->setTransmitting(true);
    return true;
}

int mqttOutModule::dataReady(const int *states, int count)
{
    if (!m_initialised || !m_publisher)
        return 0;
    takeNotes();
    if (!states || count < 0)
        count = 0;
    // The engine sends one state per process; should it ever differ, names
    // without a state count as -1 (not calculated).
    if (count != m_names.size() && count != m_lastCount)
        trace(QStringLiteral("dataReady with %1 states for %2 processes").arg(count).arg(m_names.size()));
    m_lastCount = count;

    const size_t size = size_t(m_names.size());
    m_seen.resize(size, -1);
    m_changed.clear();
    for (size_t i = 0; i < size; ++i) {
        const int state = int(i) < count ? states[i] : -1;
        if (!m_haveSeen || state != m_seen[i]) {
            m_seen[i] = state;
            m_changed.push_back(int(i));
        }
    }
    m_haveSeen = true;
    if (m_changed.empty())
        return 0;
    m_publisher->update(m_seen, m_changed);
    if (!m_transmitting)
        return 0;
    return m_publisher->connected() ? 1 : -1;
}

int mqttOutModule::setRxOnly()
{
    if (m_transmitting) {
        m_transmitting = false;
        if (m_publisher)
            m_publisher->setTransmitting(false);
        appendLog(QStringLiteral("Receive only: nothing published"));
    }
    return 0;
}

int mqttOutModule::setTxRx()
{
    return startTransmitting("setTxRx");
}

int mqttOutModule::forceTxRx()
{
    return startTransmitting("forceTxRx");
}

// The publisher reconnects with its last will and publishes every state
// once it is connected: a twin may have published others meanwhile.
int mqttOutModule::startTransmitting(const char *call)
{
    if (!m_transmitting) {
        m_transmitting = true;
        if (m_publisher)
            m_publisher->setTransmitting(true);
        appendLog(QStringLiteral("Transmitting (%1)").arg(QLatin1String(call)));
    }
    return 1;
}

void mqttOutModule::retryConnnection()
{
    if (m_publisher)
        m_publisher->retry();
    else
        trace(QStringLiteral("retryConnnection: not initialised"));
}

int mqttOutModule::getTxCount()
{
    if (!m_publisher)
        return 0;
    takeNotes();
    // Shown as an int: the count starts again from 0 past its largest value.
    return int(m_publisher->stats().published % (qint64(std::numeric_limits<int>::max()) + 1));
}

bool mqttOutModule::getStatusOk()
{
    if (!m_publisher)
        return false;
    takeNotes();
    return m_initialised && m_publisher->healthy();
}

void mqttOutModule::aboutToClose()
{
    if (!m_publisher)
        return;
    m_publisher->close();
    takeNotes();
}

QDateTime mqttOutModule::getConfigFileDate()
{
    return m_configFile.isEmpty() ? QDateTime() : QFileInfo(m_configFile).lastModified();
}

void mqttOutModule::takeNotes()
{
    for (const mqttPublisher::note &note : m_publisher->takeNotes()) {
        if (note.log)
            appendLog(note.text);
        else
            trace(note.text);
    }
}

void mqttOutModule::appendLog(const QString &message)
{
    if (m_log)
        m_log->appendLog(message);
    trace(message);
}

void mqttOutModule::trace(const QString &text)
{
    if (m_debug)
        m_debug->debug(kDebugMask, m_prefix, text);
}

ALARMS_MODULE_EXPORT alarms_output_base *createNewOutput(IDebug *debug, IAppendLog *log, int logFlags,
                                                         DebugIdManager *ids)
{
    Q_UNUSED(logFlags); // traces go to IDebug, which applies the flags itself
    Q_UNUSED(ids);
    return new mqttOutModule(debug, log);
}
