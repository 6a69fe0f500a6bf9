#pragma once

#include <QModbusTcpServer>
#include <QObject>
#include <QString>

// A Modbus TCP device for the demo: its holding registers 0.. are the
// integers of a text file (separated by commas or white space), read again
// every `pollMs`, so that editing the file changes what the device answers.
class demoPlant : public QObject
{
    Q_OBJECT

public:
    static constexpr int registers = 125; // one request's worth

    demoPlant(const QString &valuesFile, int pollMs, QObject *parent = nullptr);

    // Listens on 127.0.0.1:`port`; false with the reason in `error`.
    bool listen(quint16 port, QString *error);

private:
    void readValues();

    QString m_valuesFile;
    QModbusTcpServer m_server;
    QByteArray m_lastContent;
};
