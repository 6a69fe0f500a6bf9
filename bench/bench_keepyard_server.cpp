#include "bench_keepyard_server.h"

#include <QCoreApplication>
#include <QFile>

#include <unistd.h>

benchServer::benchServer(const QString &program) : m_program(program) { }

benchServer::~benchServer()
{
    if (running())
        stop();
}

QString benchServer::defaultProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/bench_keepyard_sessions_host");
}

QString benchServer::start(const QString &root, const QString &logPath)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    m_process.setProcessEnvironment(env);
    m_process.setStandardErrorFile(logPath, QIODevice::Append);
    m_port = 0;
    m_pid = 0;
    m_process.start(m_program, {root});
    if (!m_process.waitForStarted(10000))
        return QStringLiteral("cannot start %1: %2").arg(m_program, m_process.errorString());
    m_pid = m_process.processId();
    QByteArray line;
    while (!line.endsWith('\n') && (m_process.bytesAvailable() > 0 || m_process.waitForReadyRead(10000)))
        line += m_process.readLine();
    if (line.startsWith("port "))
        m_port = quint16(line.mid(5).trimmed().toUInt());
    if (m_port == 0) {
        kill();
        return QStringLiteral("the server reported no port");
    }
    return QString();
}

QString benchServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return exitText();
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(20000)) {
        kill();
        return QStringLiteral("the server did not end within 20 s of its input closing");
    }
    return exitText();
}

void benchServer::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
}

QString benchServer::exitText() const
{
    if (m_process.exitStatus() != QProcess::NormalExit)
        return QStringLiteral("the server crashed or was killed");
    if (m_process.exitCode() != 0)
        return QStringLiteral("the server ended with exit code %1").arg(m_process.exitCode());
    return QString();
}

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    // Fields after the command name, which may hold blanks, start with the state (field 3).
    const qsizetype end = stat.lastIndexOf(')');
    const QList<QByteArray> fields = stat.mid(end + 2).split(' ');
    if (end < 0 || fields.size() < 13)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

QByteArray fileTail(const QString &path, qint64 bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    if (f.size() > bytes)
        f.seek(f.size() - bytes);
    return f.readAll();
}
