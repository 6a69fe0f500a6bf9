#pragma once

// The headless configuration server (bench_keepyard_sessions_host) as a
// process of its own, for the benchmarks that talk to it over 127.0.0.1.

#include <QByteArray>
#include <QProcess>
#include <QString>

class benchServer
{
public:
    explicit benchServer(const QString &program);
    ~benchServer();

    // The host program next to the running benchmark.
    static QString defaultProgram();

    // Starts the server on `root`, its log output appended to `logPath`, and
    // waits for the port it listens on. Empty on success, else the problem.
    QString start(const QString &root, const QString &logPath);
    // Closes its input, which ends it; the problem when it did not end cleanly.
    QString stop();
    // SIGKILL, then waits until it is gone.
    void kill();

    bool running() const { return m_process.state() == QProcess::Running; }
    quint16 port() const { return m_port; }
    qint64 pid() const { return m_pid; }
    // Exit status text once it has ended by itself.
    QString exitText() const;

private:
    QString m_program;
    QProcess m_process;
    quint16 m_port = 0;
    qint64 m_pid = 0;
};

// Peak resident memory (VmHWM) of a process in KiB; -1 when unreadable.
qint64 peakMemoryKiB(qint64 pid);

// User plus system time of a process in seconds; 0 when unreadable.
double cpuSeconds(qint64 pid);

// The last `bytes` bytes of a file (a server log).
QByteArray fileTail(const QString &path, qint64 bytes);
