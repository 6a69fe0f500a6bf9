#pragma once

#include <QModbusDataUnit>
#include <QString>
#include <QStringList>

class profileFile;

// The [Modbus] section of a modbusin instance's configuration, read and
// checked once at start-up. Values that make no sense are refused (the
// instance cannot run); timings outside their range are brought into it.
class modbusInSettings
{
public:
    static constexpr int maxBitsPerRequest = 2000;     // coils, discrete inputs
    static constexpr int maxRegistersPerRequest = 125; // holding, input registers
    static constexpr int addressSpace = 65536;

    static modbusInSettings read(const profileFile &config);

    bool valid() const { return m_refused.isEmpty(); }
    // What made the configuration unusable, one line each.
    const QStringList &refused() const { return m_refused; }
    // What was adjusted to make it usable, one line each.
    const QStringList &adjusted() const { return m_adjusted; }

    bool isBits() const;
    // The most values one request may read from the table.
    int perRequest() const;
    // Requests that make one poll.
    int requestsPerPoll() const;
    // "holding registers", "coils", ... for messages.
    QString tableText() const;

    QString host;
    int port = 502;
    int unitId = 1;
    QModbusDataUnit::RegisterType table = QModbusDataUnit::Invalid;
    int start = 0; // protocol address of index 1, from 0
    int count = 0;
    bool signedRegisters = false;
    int pollMs = 500;
    int timeoutMs = 1000;
    int reconnectMs = 1000;
    int maxReconnectMs = 30000;
    int goodValue = 0;
    int alarmValue = 1;

private:
    // Reads an integer key; a missing or empty key gives `fallback`, anything
    // but a whole decimal number is refused (and gives `fallback`).
    int number(const profileFile &config, const QString &key, int fallback);
    // Refuses a value outside [low, high].
    void require(const QString &key, int value, int low, int high);
    // Brings a value outside [low, high] into the range, saying so.
    int clamp(const QString &key, int value, int low, int high);

    QStringList m_refused;
    QStringList m_adjusted;
};
