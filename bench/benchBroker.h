#pragma once

// A mosquitto broker of a benchmark's own on a free loopback port, with its
// configuration in a temporary folder; stopped when the object goes.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <unistd.h>

class benchBroker
{
public:
    ~benchBroker()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Starts `program` with `moreConfig` added to a loopback listener and
    // waits until it listens; the port, or 0 when it could not be started.
    quint16 start(const QString &program, const QByteArray &moreConfig = QByteArray())
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return 0;
            port = probe.serverPort();
        }
        QByteArray config = "listener " + QByteArray::number(port) + " 127.0.0.1\nallow_anonymous true\n"
                            "persistence false\n" + moreConfig;
        if (geteuid() == 0)
            config += "user root\n"; // stays the user that owns the folder
        QFile file(m_folder.filePath(QStringLiteral("broker.conf")));
        if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
            return 0;
        file.close();
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, {QStringLiteral("-c"), file.fileName()});
        if (!m_process.waitForStarted(5000))
            return 0;
        for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(20)) {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), port);
            if (probe.waitForConnected(200))
                return port;
        }
        return 0;
    }

    qint64 processId() const { return m_process.processId(); }

private:
    QTemporaryDir m_folder;
    QProcess m_process;
};
