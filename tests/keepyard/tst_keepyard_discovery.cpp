#include "logLine.h"
#include "udp_server.h"

#include <QNetworkDatagram>
#include <QTest>
#include <QThread>
#include <QUdpSocket>

namespace {

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

// Waits for `count` datagrams at `socket`.
QList<QByteArray> answers(QUdpSocket &socket, int count, int timeoutMs = 3000)
{
    QList<QByteArray> received;
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired()) {
        QTest::qWait(2);
        while (socket.hasPendingDatagrams())
            received << socket.receiveDatagram().data();
    }
    return received;
}

} // namespace

class tst_keepyard_discovery : public QObject
{
    Q_OBJECT

private slots:
    void answersTheSendersPort()
    {
        udp_server server(nullptr, freeUdpPort(), 23, QStringLiteral("Main - ops"));
        server.setHostName(QStringLiteral("cfg1"));
        QVERIFY(server.isBound());
        QUdpSocket editor;
        QVERIFY(editor.bind(QHostAddress::LocalHost, 0));
        editor.writeDatagram("A", QHostAddress::LocalHost, server.localPort());
        const QList<QByteArray> got = answers(editor, 1);
        QCOMPARE(got, QList<QByteArray>({"cfg1,23,Main - ops"}));
        QCOMPARE(got.first().size(), 18);
    }

    void onlyQueriesStartingWithA_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<int>("answered");
        QTest::newRow("A") << QByteArray("A") << 1;
        QTest::newRow("three bytes") << QByteArray("Axy") << 1;
        QTest::newRow("long") << QByteArray("A" + QByteArray(600, 'z')) << 1;
        QTest::newRow("B") << QByteArray("B") << 0;
        QTest::newRow("lower case") << QByteArray("a") << 0;
    }

    void onlyQueriesStartingWithA()
    {
        QFETCH(QByteArray, query);
        QFETCH(int, answered);
        udp_server server(nullptr, freeUdpPort(), 2000, QStringLiteral("d"));
        server.setHostName(QStringLiteral("h"));
        QUdpSocket editor;
        QVERIFY(editor.bind(QHostAddress::LocalHost, 0));
        editor.writeDatagram(query, QHostAddress::LocalHost, server.localPort());
        QCOMPARE(answers(editor, answered, answered ? 3000 : 300).size(), answered);
    }

    void everyWaitingQueryAnsweredInOneCall()
    {
        udp_server server(nullptr, freeUdpPort(), 23, QStringLiteral("d"));
        server.setHostName(QStringLiteral("h"));
        QUdpSocket editors[3];
        for (QUdpSocket &editor : editors) {
            QVERIFY(editor.bind(QHostAddress::LocalHost, 0));
            editor.writeDatagram("A", QHostAddress::LocalHost, server.localPort());
        }
        editors[0].writeDatagram("B", QHostAddress::LocalHost, server.localPort());
        QThread::msleep(100); // all four queued before the server looks
        server.rxdata();
        for (QUdpSocket &editor : editors)
            QCOMPARE(answers(editor, 1), QList<QByteArray>({"h,23,d"}));
    }

    void bindFailureIsLogged()
    {
        QStringList log;
        setLogSink([&log](const QString &line) { log << line; });
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
        udp_server server(nullptr, holder.localPort(), 23, QStringLiteral("d"));
        setLogSink({});
        QVERIFY(!server.isBound());
        QCOMPARE(log, QStringList({QStringLiteral("Error - failed to bind UDP server to port %1").arg(holder.localPort())}));

        // A number that is no port is not cut down to one.
        log.clear();
        setLogSink([&log](const QString &line) { log << line; });
        udp_server wrong(nullptr, 70000, 23, QStringLiteral("d"));
        setLogSink({});
        QVERIFY(!wrong.isBound());
        QCOMPARE(log, QStringList({QStringLiteral("Error - failed to bind UDP server to port 70000")}));
    }
};

QTEST_GUILESS_MAIN(tst_keepyard_discovery)
#include "tst_keepyard_discovery.moc"
