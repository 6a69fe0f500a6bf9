#include "demoPlant.h"

#include <QFile>
#include <QRegularExpression>
#include <QTimer>
#include <QVariant>

#include <cstdio>

demoPlant::demoPlant(const QString &valuesFile, int pollMs, QObject *parent)
    : QObject(parent)
    , m_valuesFile(valuesFile)
{
    QModbusDataUnitMap map;
    map.insert(QModbusDataUnit::HoldingRegisters, QModbusDataUnit(QModbusDataUnit::HoldingRegisters, 0, registers));
    m_server.setMap(map);
    m_server.setServerAddress(1);
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &demoPlant::readValues);
    timer->start(pollMs);
    readValues();
}

bool demoPlant::listen(quint16 port, QString *error)
{
    m_server.setConnectionParameter(QModbusDevice::NetworkAddressParameter, QStringLiteral("127.0.0.1"));
    m_server.setConnectionParameter(QModbusDevice::NetworkPortParameter, port);
    if (m_server.connectDevice())
        return true;
    *error = m_server.errorString();
    return false;
}

void demoPlant::readValues()
{
    QFile file(m_valuesFile);
    if (!file.open(QIODevice::ReadOnly))
        return; // the device keeps its registers while the file is away
    const QByteArray content = file.read(64 * 1024);
    if (content == m_lastContent)
        return;
    m_lastContent = content;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    const QStringList fields = QString::fromLatin1(content).split(separators, Qt::SkipEmptyParts);
    for (int i = 0; i < registers; ++i) {
        bool ok = false;
        const int value = i < fields.size() ? fields.at(i).toInt(&ok) : 0;
        m_server.setData(QModbusDataUnit::HoldingRegisters, quint16(i), quint16(ok ? value : 0));
    }
    std::printf("demo plant: %lld values from %s\n", qMin<qsizetype>(fields.size(), registers),
                qPrintable(m_valuesFile));
    std::fflush(stdout);
}
