#include "modbusInSettings.h"

#include "profileFile.h"

#include <algorithm>
#include <limits>

namespace {

const QString section = QStringLiteral("Modbus");

constexpr int kMinPollMs = 10;
constexpr int kMinTimeoutMs = 10; // the least the Modbus client accepts
constexpr int kMaxTimeoutMs = 600000;
constexpr int kMinReconnectMs = 10;
constexpr int kMaxReconnectMs = 3600000;

} // namespace

modbusInSettings modbusInSettings::read(const profileFile &config)
{
    modbusInSettings s;
    s.host = config.readString(section, QStringLiteral("Host")).trimmed();
    if (s.host.isEmpty())
        s.m_refused << QStringLiteral("no Host");

    s.port = s.number(config, QStringLiteral("Port"), 502);
    s.require(QStringLiteral("Port"), s.port, 1, 65535);
    // 0 and 255 are what gateways commonly expect when the device is the
    // gateway itself.
    s.unitId = s.number(config, QStringLiteral("UnitId"), 1);
    s.require(QStringLiteral("UnitId"), s.unitId, 0, 255);

    const QString table = config.readString(section, QStringLiteral("Table")).trimmed().toLower();
    if (table == QLatin1String("coils"))
        s.table = QModbusDataUnit::Coils;
    else if (table == QLatin1String("discrete"))
        s.table = QModbusDataUnit::DiscreteInputs;
    else if (table == QLatin1String("holding"))
        s.table = QModbusDataUnit::HoldingRegisters;
    else if (table == QLatin1String("input"))
        s.table = QModbusDataUnit::InputRegisters;
    else if (table.isEmpty())
        s.m_refused << QStringLiteral("no Table (coils, discrete, holding or input)");
    else
        s.m_refused << QStringLiteral("Table '%1' is not coils, discrete, holding or input").arg(table.left(40));

    s.start = s.number(config, QStringLiteral("Start"), 0);
    s.require(QStringLiteral("Start"), s.start, 0, addressSpace - 1);
    if (!config.contains(section, QStringLiteral("Count"))
        || config.readString(section, QStringLiteral("Count")).trimmed().isEmpty()) {
        s.m_refused << QStringLiteral("no Count");
    } else {
        const qsizetype before = s.m_refused.size();
        s.count = s.number(config, QStringLiteral("Count"), 0);
        // The range must stay inside the address space: no wrap-around to 0.
        const int room = addressSpace - std::clamp(s.start, 0, addressSpace - 1);
        if (s.m_refused.size() == before && (s.count < 1 || s.count > room))
            s.m_refused << QStringLiteral("Count %1 is not between 1 and %2 (Start %3)").arg(s.count).arg(room).arg(s.start);
    }

    const QString signedText = config.readString(section, QStringLiteral("Signed")).trimmed().toLower();
    if (signedText == QLatin1String("true") || signedText == QLatin1String("yes") || signedText == QLatin1String("1"))
        s.signedRegisters = true;
    else if (!signedText.isEmpty() && signedText != QLatin1String("false") && signedText != QLatin1String("no")
             && signedText != QLatin1String("0"))
        s.m_refused << QStringLiteral("Signed '%1' is not true or false").arg(signedText.left(40));
    if (s.signedRegisters && s.isBits()) {
        s.signedRegisters = false;
        s.m_adjusted << QStringLiteral("Signed ignored: %1 are single bits").arg(s.tableText());
    }

    s.pollMs = s.clamp(QStringLiteral("PollMs"), s.number(config, QStringLiteral("PollMs"), 500), kMinPollMs,
                       std::numeric_limits<int>::max());
    s.timeoutMs = s.clamp(QStringLiteral("TimeoutMs"), s.number(config, QStringLiteral("TimeoutMs"), 1000),
                          kMinTimeoutMs, kMaxTimeoutMs);
    s.reconnectMs = s.clamp(QStringLiteral("ReconnectMs"), s.number(config, QStringLiteral("ReconnectMs"), 1000),
                            kMinReconnectMs, kMaxReconnectMs);
    s.maxReconnectMs = s.clamp(QStringLiteral("MaxReconnectMs"),
                               s.number(config, QStringLiteral("MaxReconnectMs"), std::max(30000, s.reconnectMs)),
                               s.reconnectMs, kMaxReconnectMs);

    // What greening and redding make every value read.
    s.goodValue = s.number(config, QStringLiteral("GoodValue"), 0);
    s.alarmValue = s.number(config, QStringLiteral("AlarmValue"), 1);
    return s;
}

bool modbusInSettings::isBits() const
{
    return table == QModbusDataUnit::Coils || table == QModbusDataUnit::DiscreteInputs;
}

int modbusInSettings::perRequest() const
{
    return isBits() ? maxBitsPerRequest : maxRegistersPerRequest;
}

int modbusInSettings::requestsPerPoll() const
{
    return count > 0 ? (count + perRequest() - 1) / perRequest() : 0;
}

QString modbusInSettings::tableText() const
{
    switch (table) {
    case QModbusDataUnit::Coils:
        return QStringLiteral("coils");
    case QModbusDataUnit::DiscreteInputs:
        return QStringLiteral("discrete inputs");
    case QModbusDataUnit::HoldingRegisters:
        return QStringLiteral("holding registers");
    case QModbusDataUnit::InputRegisters:
        return QStringLiteral("input registers");
    default:
        return QStringLiteral("values");
    }
}

int modbusInSettings::number(const profileFile &config, const QString &key, int fallback)
{
    const QString text = config.readString(section, key).trimmed();
    if (text.isEmpty())
        return fallback;
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok) {
        m_refused << QStringLiteral("%1 '%2' is not a whole number").arg(key, text.left(40));
        return fallback;
    }
    return value;
}

void modbusInSettings::require(const QString &key, int value, int low, int high)
{
    if (value < low || value > high)
        m_refused << QStringLiteral("%1 %2 is not between %3 and %4").arg(key).arg(value).arg(low).arg(high);
}

int modbusInSettings::clamp(const QString &key, int value, int low, int high)
{
    const int result = std::clamp(value, low, high);
    if (result != value)
        m_adjusted << QStringLiteral("%1 %2 %3 to %4").arg(key).arg(value)
                          .arg(result > value ? QStringLiteral("raised") : QStringLiteral("lowered"))
                          .arg(result);
    return result;
}
