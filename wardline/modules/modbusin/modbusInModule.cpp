#include "modbusInModule.h"

#include "profileFile.h"

#include <QFileInfo>
#include <QModbusReply>
#include <QModbusTcpClient>
#include <QPointer>

#include <algorithm>

namespace {

constexpr int kDebugMask = 2; // the engine's "Plug-ins" log category
constexpr int kMinConnectMs = 5000;

QString exceptionText(QModbusPdu::ExceptionCode code)
{
    switch (code) {
    case QModbusPdu::IllegalFunction:
        return QStringLiteral("exception 1 (illegal function)");
    case QModbusPdu::IllegalDataAddress:
        return QStringLiteral("exception 2 (illegal data address)");
    case QModbusPdu::IllegalDataValue:
        return QStringLiteral("exception 3 (illegal data value)");
    case QModbusPdu::ServerDeviceFailure:
        return QStringLiteral("exception 4 (device failure)");
    case QModbusPdu::ServerDeviceBusy:
        return QStringLiteral("exception 6 (device busy)");
    case QModbusPdu::GatewayPathUnavailable:
        return QStringLiteral("exception 10 (gateway path unavailable)");
    case QModbusPdu::GatewayTargetDeviceFailedToRespond:
        return QStringLiteral("exception 11 (gateway target did not respond)");
    default:
        return QStringLiteral("exception %1").arg(int(code));
    }
}

} // namespace

modbusInModule::modbusInModule(IDebug *debug, IAppendLog *log)
    : m_debug(debug), m_log(log)
{
    connect(&m_pollTimer, &QTimer::timeout, this, [this] {
        if (m_connected && !m_polling)
            startPoll();
    });
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &modbusInModule::connectNow);
    m_connectGuard.setSingleShot(true);
    connect(&m_connectGuard, &QTimer::timeout, this, &modbusInModule::onConnectGuard);
}

// Clients thrown away earlier may still wait for their deferred deletion;
// they go now, while every member is intact, and without calling back.
modbusInModule::~modbusInModule()
{
    m_closing = true;
    abortPoll();
    m_pollTimer.stop();
    m_reconnectTimer.stop();
    m_connectGuard.stop();
    m_client = nullptr;
    const auto clients = findChildren<QModbusTcpClient *>(Qt::FindDirectChildrenOnly);
    for (QModbusTcpClient *client : clients) {
        client->disconnect(this);
        delete client;
    }
}

bool modbusInModule::initialise(const QString &configFile, const QString &configFolder, int colouringMode,
                                IAlarmEventAcq *eventSink)
{
    Q_UNUSED(configFolder);
    m_prefix = QStringLiteral("modbusin %1: ").arg(QFileInfo(configFile).fileName());
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
    m_settings = modbusInSettings::read(config);
    for (const QString &line : m_settings.adjusted())
        appendLog(line);
    if (!m_settings.valid()) {
        for (const QString &line : m_settings.refused())
            appendLog(QStringLiteral("Section [Modbus] of %1: %2").arg(configFile, line));
        return false;
    }
    m_values.setColouringValues(m_settings.goodValue, m_settings.alarmValue);
    if (colouringMode == 1 || colouringMode == 2)
        m_values.changeColouring(colouringMode, true);

    m_initialised = true;
    m_backoffMs = m_settings.reconnectMs;
    m_remaining = m_settings.requestsPerPoll();
    // A connection attempt includes the host name's lookup, which may take
    // longer than a request's answer.
    m_connectGuard.setInterval(std::max(m_settings.timeoutMs, kMinConnectMs));
    m_pollTimer.setInterval(m_settings.pollMs);
    appendLog(QStringLiteral("Reading %1 %2 from address %3 of unit %4 at %5 every %6 ms")
                  .arg(m_settings.count)
                  .arg(m_settings.tableText())
                  .arg(m_settings.start)
                  .arg(m_settings.unitId)
                  .arg(device())
                  .arg(m_settings.pollMs));
    m_pollTimer.start();
    connectNow();
    return true;
}

// The array and the rule of its buffers: inputArray.
bool modbusInModule::getData(int **data, int *length)
{
    if (!m_statusOk) {
        *data = nullptr;
        *length = 0;
        return false;
    }
    return m_values.handOut(data, length);
}

void modbusInModule::setColouring(int mode, bool on)
{
    if (mode != 1 && mode != 2) {
        trace(QStringLiteral("setColouring(%1, %2) ignored").arg(mode).arg(on));
        return;
    }
    if (!m_values.changeColouring(mode, on))
        return;
    appendLog(m_values.colouringText(QStringLiteral("the device")));
    if (m_initialised)
        present();
}

void modbusInModule::getProgress(int *total, int *remaining)
{
    *total = m_initialised ? m_settings.requestsPerPoll() : 0;
    *remaining = m_initialised ? m_remaining : 0;
}

void modbusInModule::restartPoll()
{
    if (!m_initialised || m_closing)
        return;
    trace(QStringLiteral("restart: reconnecting at once"));
    m_backoffMs = m_settings.reconnectMs;
    m_pollTimer.start();
    connectNow();
}

void modbusInModule::pollNow()
{
    if (!m_initialised || m_closing)
        return;
    if (!m_connected)
        trace(QStringLiteral("poll now: not connected"));
    else if (!m_polling)
        startPoll();
}

void modbusInModule::aboutToClose()
{
    m_closing = true;
    m_pollTimer.stop();
    m_reconnectTimer.stop();
    discardClient();
}

QDateTime modbusInModule::getConfigFileDate()
{
    return m_configFile.isEmpty() ? QDateTime() : QFileInfo(m_configFile).lastModified();
}

// Every attempt gets a new client: a connection that hangs half-way is
// simply thrown away with its client, whatever state it is in.
void modbusInModule::connectNow()
{
    if (!m_initialised || m_closing)
        return;
    m_reconnectTimer.stop();
    discardClient();
    auto *client = new QModbusTcpClient(this);
    m_client = client;
    client->setConnectionParameter(QModbusDevice::NetworkAddressParameter, m_settings.host);
    client->setConnectionParameter(QModbusDevice::NetworkPortParameter, m_settings.port);
    client->setTimeout(m_settings.timeoutMs);
    client->setNumberOfRetries(0); // a poll that fails is repeated by the next one
    connect(client, &QModbusDevice::stateChanged, this, &modbusInModule::onStateChanged);
    trace(QStringLiteral("connecting to %1").arg(device()));
    m_connectGuard.start();
    // The client may report failure through stateChanged before returning.
    if (!client->connectDevice() && m_client == client) {
        report(condition::cannotConnect, client->errorString());
        dropConnection();
    }
}

void modbusInModule::onStateChanged(QModbusDevice::State state)
{
    if (!m_client || sender() != m_client)
        return;
    if (state == QModbusDevice::ConnectedState) {
        m_connectGuard.stop();
        m_connected = true;
        // A device that takes connections but does not answer, or answers
        // nonsense, is reported once, not at every reconnection.
        if (m_condition == condition::noAnswer || m_condition == condition::badReply)
            trace(QStringLiteral("connected"));
        else
            report(condition::connected);
        // Polled from the event loop, not from inside the client's signal.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_connected && !m_polling)
                    startPoll();
            },
            Qt::QueuedConnection);
    } else if (state == QModbusDevice::UnconnectedState) {
        // The client sets its error only after this signal: the report
        // waits for the next turn of the event loop.
        const bool wasConnected = std::exchange(m_connected, false);
        abortPoll();
        setUnhealthy();
        m_connectGuard.stop();
        QMetaObject::invokeMethod(
            this,
            [this, client = QPointer<QModbusTcpClient>(m_client), wasConnected] {
                if (!client || client != m_client)
                    return; // thrown away meanwhile
                QString why = client->errorString();
                if (why.isEmpty())
                    why = QStringLiteral("closed by the device");
                report(wasConnected ? condition::lost : condition::cannotConnect, why);
                dropConnection();
            },
            Qt::QueuedConnection);
    }
}

void modbusInModule::onConnectGuard()
{
    if (!m_client || m_connected)
        return;
    report(condition::cannotConnect, QStringLiteral("no connection within %1 ms").arg(m_connectGuard.interval()));
    dropConnection();
}

void modbusInModule::discardClient()
{
    m_connectGuard.stop();
    abortPoll();
    m_connected = false;
    setUnhealthy();
    if (!m_client)
        return;
    QModbusTcpClient *client = std::exchange(m_client, nullptr);
    client->disconnect(this);
    client->disconnectDevice();
    // Possibly inside one of its own signals: deleted from the event loop.
    client->deleteLater();
}

void modbusInModule::dropConnection()
{
    discardClient();
    if (m_initialised && !m_closing)
        scheduleReconnect();
}

// The wait doubles with every failed attempt up to MaxReconnectMs; a
// complete poll or the operator's restart sets it back to ReconnectMs.
void modbusInModule::scheduleReconnect()
{
    trace(QStringLiteral("next connection attempt in %1 ms").arg(m_backoffMs));
    m_reconnectTimer.start(m_backoffMs);
    m_backoffMs = int(std::min<qint64>(qint64(m_backoffMs) * 2, m_settings.maxReconnectMs));
}

void modbusInModule::startPoll()
{
    if (!m_client)
        return;
    m_polling = true;
    ++m_pollSerial;
    m_nextOffset = 0;
    m_remaining = m_settings.requestsPerPoll();
    m_staging.assign(size_t(m_settings.count), 0);
    sendRequest();
}

// One request at a time: many devices answer only one at a time, and a
// failed request ends the poll without sending the rest.
void modbusInModule::sendRequest()
{
    const int offset = m_nextOffset;
    const int size = std::min(m_settings.perRequest(), m_settings.count - offset);
    const QModbusDataUnit unit(m_settings.table, m_settings.start + offset, quint16(size));
    QModbusReply *reply = m_client->sendReadRequest(unit, m_settings.unitId);
    if (!reply) {
        report(condition::lost, m_client->errorString());
        dropConnection();
        return;
    }
    ++m_txCount;
    m_nextOffset += size;
    const quint64 poll = m_pollSerial;
    if (reply->isFinished()) {
        QMetaObject::invokeMethod(
            this,
            [this, reply = QPointer<QModbusReply>(reply), poll, offset, size] {
                if (reply)
                    onReply(reply, poll, offset, size);
            },
            Qt::QueuedConnection);
    } else {
        connect(reply, &QModbusReply::finished, this, [this, reply, poll, offset, size] {
            onReply(reply, poll, offset, size);
        });
    }
}

void modbusInModule::onReply(QModbusReply *reply, quint64 poll, int offset, int size)
{
    reply->deleteLater();
    if (poll != m_pollSerial || !m_polling)
        return; // a poll given up already
    switch (reply->error()) {
    case QModbusDevice::NoError: {
        const QModbusDataUnit unit = reply->result();
        if (unit.valueCount() < qsizetype(size)) {
            report(condition::badReply, QStringLiteral("%1 values instead of %2").arg(unit.valueCount()).arg(size));
            dropConnection();
            return;
        }
        for (int i = 0; i < size; ++i) {
            const quint16 raw = unit.value(i);
            int value = raw;
            if (m_settings.isBits())
                value = raw != 0 ? 1 : 0;
            else if (m_settings.signedRegisters)
                value = qint16(raw);
            m_staging[size_t(offset + i)] = value;
        }
        --m_remaining;
        if (m_nextOffset < m_settings.count)
            sendRequest();
        else
            pollComplete();
        return;
    }
    case QModbusDevice::ProtocolError:
        // The device answered with an exception: the connection is sound,
        // the next poll asks again.
        report(condition::refused, exceptionText(reply->rawResult().exceptionCode()));
        abortPoll();
        setUnhealthy();
        return;
    case QModbusDevice::TimeoutError:
        // No answer: the connection may be dead without having been closed.
        report(condition::noAnswer);
        dropConnection();
        return;
    case QModbusDevice::ReplyAbortedError:
    case QModbusDevice::ConnectionError:
        // The connection is going; its state change reports it.
        abortPoll();
        setUnhealthy();
        return;
    default:
        report(condition::badReply, reply->errorString());
        dropConnection();
        return;
    }
}

void modbusInModule::pollComplete()
{
    m_polling = false;
    m_remaining = 0;
    int changed = 0;
    if (m_deviceValues.size() != m_staging.size())
        changed = int(m_staging.size());
    else
        for (size_t i = 0; i < m_staging.size(); ++i)
            changed += m_staging[i] != m_deviceValues[i] ? 1 : 0;
    m_deviceValues.swap(m_staging);
    ++m_rxCount;
    m_backoffMs = m_settings.reconnectMs;
    m_statusOk = true;
    if (m_condition == condition::noAnswer || m_condition == condition::refused
        || m_condition == condition::badReply)
        report(condition::answering);
    if (changed > 0)
        trace(QStringLiteral("poll %1: %2 values, %3 changed").arg(m_rxCount).arg(m_deviceValues.size()).arg(changed));
    present();
}

// The values already delivered stay as they are: the engine keeps reading
// the last ones it was given while the module is unhealthy.
void modbusInModule::abortPoll()
{
    if (!m_polling)
        return;
    m_polling = false;
    ++m_pollSerial;
}

void modbusInModule::setUnhealthy()
{
    m_statusOk = false;
}

void modbusInModule::present()
{
    const int changed = m_values.present(m_deviceValues);
    if (changed > 0)
        queueEvent(changed);
}

// Events go out from the module's own turn of the event loop, never inside
// a call from the engine: the engine holds its input locks during those
// calls, and the event path may take them. Changes that pile up before
// delivery make one event.
void modbusInModule::queueEvent(int changed)
{
    m_pendingChanges += changed;
    if (m_eventQueued)
        return;
    m_eventQueued = true;
    QMetaObject::invokeMethod(this, [this] { deliverEvent(); }, Qt::QueuedConnection);
}

void modbusInModule::deliverEvent()
{
    m_eventQueued = false;
    const int changed = std::exchange(m_pendingChanges, 0);
    trace(QStringLiteral("event: %1 values changed").arg(changed));
    if (m_sink)
        m_sink->event(changed);
}

// Each condition is logged when it begins, not on every poll or attempt.
void modbusInModule::report(condition state, const QString &detail)
{
    if (state == m_condition && detail == m_conditionDetail)
        return;
    m_condition = state;
    m_conditionDetail = detail;
    switch (state) {
    case condition::connected:
        appendLog(QStringLiteral("Connected to %1").arg(device()));
        break;
    case condition::cannotConnect:
        appendLog(QStringLiteral("Cannot connect to %1: %2").arg(device(), detail));
        break;
    case condition::lost:
        appendLog(QStringLiteral("Connection to %1 lost: %2").arg(device(), detail));
        break;
    case condition::noAnswer:
        appendLog(QStringLiteral("No answer from %1 within %2 ms").arg(device()).arg(m_settings.timeoutMs));
        break;
    case condition::refused:
        appendLog(QStringLiteral("%1 refused the request: %2").arg(device(), detail));
        break;
    case condition::badReply:
        appendLog(QStringLiteral("Unusable reply from %1: %2").arg(device(), detail));
        break;
    case condition::answering:
        appendLog(QStringLiteral("%1 answering again").arg(device()));
        break;
    case condition::none:
        break;
    }
}

QString modbusInModule::device() const
{
    return QStringLiteral("%1:%2").arg(m_settings.host).arg(m_settings.port);
}

void modbusInModule::appendLog(const QString &message)
{
    if (m_log)
        m_log->appendLog(message);
    trace(message);
}

void modbusInModule::trace(const QString &text)
{
    if (m_debug)
        m_debug->debug(kDebugMask, m_prefix, text);
}

ALARMS_MODULE_EXPORT alarms_input_base *createNewInput(IDebug *debug, IAppendLog *log, int logFlags,
                                                       DebugIdManager *ids)
{
    Q_UNUSED(logFlags); // traces go to IDebug, which applies the flags itself
    Q_UNUSED(ids);
    return new modbusInModule(debug, log);
}
