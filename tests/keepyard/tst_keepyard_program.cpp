#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace {

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0);
    return probe.localPort();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

} // namespace

// The built program, started headless on a temporary installation root.
class tst_keepyard_program : public QObject
{
    Q_OBJECT

private slots:
    void servesALogin()
    {
        QTemporaryDir root;
        const quint16 port = freeTcpPort();
        const quint16 udpPort = freeUdpPort();
        writeFile(root.filePath("Keepyard.ini"),
                  QStringLiteral("[Server]\r\nPort=%1\r\nBroadcastPort=%2\r\nDescription=test server\r\n")
                      .arg(port)
                      .arg(udpPort)
                      .toUtf8());
        writeFile(root.filePath("North/config/keepyard_password.ini"), "[Users]\r\nops=secret\r\n[Level]\r\nops=2\r\n");

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QX_ROOT", root.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(KEEPYARD_PROGRAM), {});
        QVERIFY(program.waitForStarted());

        QTcpSocket peer;
        QDeadlineTimer deadline(10000);
        do {
            peer.abort();
            peer.connectToHost(QHostAddress::LocalHost, port);
        } while (!peer.waitForConnected(200) && !deadline.hasExpired());
        QCOMPARE(peer.state(), QAbstractSocket::ConnectedState);

        const QByteArray expected = "<xml>\r\n<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n";
        peer.write("<xml><login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\" />");
        QByteArray got;
        while (got.size() < expected.size() && peer.waitForReadyRead(5000))
            got += peer.readAll();
        QCOMPARE(got, expected);

        // Discovery answers too.
        QUdpSocket editor;
        QVERIFY(editor.bind(QHostAddress::LocalHost, 0));
        editor.writeDatagram("A", QHostAddress::LocalHost, udpPort);
        QVERIFY(editor.waitForReadyRead(5000));
        QVERIFY(editor.receiveDatagram().data().endsWith(QStringLiteral(",%1,test server").arg(port).toUtf8()));

        peer.write("</xml>");
        QVERIFY(peer.waitForDisconnected(5000));
        program.terminate();
        QVERIFY(program.waitForFinished(5000));
    }

    void withoutRootItEnds()
    {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QX_ROOT");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(KEEPYARD_PROGRAM), {});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(program.readAllStandardError().contains("QX_ROOT has not been set"));
    }
};

QTEST_GUILESS_MAIN(tst_keepyard_program)
#include "tst_keepyard_program.moc"
