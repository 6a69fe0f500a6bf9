#pragma once

#include "keepyard.h"

#include <QDateTime>
#include <QHostAddress>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

// A keepyard server on a free loopback port over a temporary installation
// root, with the lines it logs collected.
class serverFixture
{
public:
    explicit serverFixture(const sessionLimits &limits = sessionLimits());
    ~serverFixture();

    QString root() const { return m_root.path(); }
    quint16 port() const { return m_server->serverPort(); }
    keepyard &server() { return *m_server; }

    // Creates a file (and its folders) below the root with a fixed date.
    void makeFile(const QString &relative, const QByteArray &content, const QDateTime &when = fixedDate());
    void makeFolder(const QString &relative, const QDateTime &when = fixedDate());
    static void setDate(const QString &path, const QDateTime &when);
    static QDateTime fixedDate() { return QDateTime(QDate(2015, 5, 8), QTime(14, 3, 59)); }

    QStringList log;

private:
    QTemporaryDir m_root;
    std::unique_ptr<keepyard> m_server;
};

// A peer of the server, driven from the test's event loop.
class testPeer
{
public:
    explicit testPeer(quint16 port, const QHostAddress &from = QHostAddress());

    void send(const QByteArray &bytes);
    // Waits until `size` bytes have arrived (or the time is up) and takes them.
    QByteArray receive(qsizetype size, int timeoutMs = 5000);
    // Waits until `expected` arrives; returns what came instead when it does not.
    QByteArray expect(const QByteArray &expected, int timeoutMs = 5000);
    // Everything that arrives within `ms`.
    QByteArray drain(int ms = 200);
    bool waitClosed(int timeoutMs = 5000);
    // The next CR LF terminated line.
    QByteArray readLine(int timeoutMs = 5000);
    // Greeting read, own document opened, logged in as `user` of `system`.
    bool logIn(const QString &user, const QString &password, const QString &system);

    QTcpSocket socket;
    QByteArray pending;
};
