#include "freePorts.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

} // namespace

// The built editor against the built server: start-up through the server
// list, the system choice and the login (remembered from an earlier run and
// accepted unattended), the plugins fetched from the server and the start
// page of a test plugin opened; SIGTERM ends both programs in order.
class tst_setdesk_program : public QObject
{
    Q_OBJECT

private slots:
    void startsAndOpensThePluginsStartPage()
    {
        QTemporaryDir work;
        const QString root = work.filePath(QStringLiteral("root"));
        const quint16 port = freeTcpPort();
        const quint16 udp = freeUdpPort();
        QVERIFY(writeFile(root + "/Keepyard.ini",
                          QStringLiteral("[Server]\r\nPort=%1\r\nBroadcastPort=%2\r\nDescription=Test server\r\n")
                              .arg(port)
                              .arg(udp)
                              .toUtf8()));
        QVERIFY(writeFile(root + "/North/config/keepyard_password.ini", "[Users]\r\nops=secret\r\n[Level]\r\nops=2\r\n"));
        QVERIFY(QDir().mkpath(root + "/North/config/plugins"));
        QVERIFY(QFile::copy(QStringLiteral(TEST_PLUGIN_DIR "/libtestplugin_multi.so"),
                            root + "/North/config/plugins/libtestplugin_multi.so"));
        // The settings of an earlier run: the server (found again by
        // discovery on loopback), the system and the login.
        QVERIFY(writeFile(work.filePath("home/.config/Tarnwell/setdesk.conf"),
                          QStringLiteral("[QX_ConfigEdit]\nLastServer=Test server (127.0.0.1)\nLastSystem=North\n"
                                         "LastUser=ops\nLastPassword=secret\nDiscoveryAddress=127.255.255.255\n"
                                         "DiscoveryPort=%1\n")
                              .arg(udp)
                              .toUtf8()));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QX_ROOT", root);
        env.insert("QX_SYSTEM", "North");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess server;
        server.setProcessEnvironment(env);
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.start(QStringLiteral(KEEPYARD_PROGRAM), {});
        QVERIFY(server.waitForStarted());

        env.insert("HOME", work.filePath("home"));
        env.insert("XDG_CONFIG_HOME", work.filePath("home/.config"));
        env.insert("TEMP", work.filePath("client"));
        env.insert("SETDESK_UNATTENDED", "1");
        env.insert("QT_LOGGING_RULES", "tavex.setdesk.debug=true");
        QProcess editor;
        editor.setProcessEnvironment(env);
        editor.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray output;
        connect(&editor, &QProcess::readyRead, this, [&] { output += editor.readAll(); });
        QTest::qWait(300); // the server binds its ports
        editor.start(QStringLiteral(SETDESK_PROGRAM), {});
        QVERIFY(editor.waitForStarted());

        QTRY_VERIFY_WITH_TIMEOUT(output.contains("plugin NOT dirty"), 20000);
        QVERIFY(output.contains("loading plugins: " + work.filePath("client").toUtf8()
                                + "/Tarnwell/ConfigurationClient/North/config/plugins"));
        QVERIFY(output.contains("Navigate to Home"));
        QVERIFY(QFile::exists(work.filePath("client/Tarnwell/ConfigurationClient/North/config/plugins/libtestplugin_multi.so")));
        const QByteArray serverLog = server.readAll();
        QVERIFY2(serverLog.contains("User 'ops' at '127.0.0.1/"), serverLog.constData());

        // SIGTERM ends the editor as closing its window does: the server is
        // told the editor is done, and the program ends by itself.
        ::kill(pid_t(editor.processId()), SIGTERM);
        QVERIFY(editor.waitForFinished(10000));
        QCOMPARE(editor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(editor.exitCode(), 0);
        output += editor.readAll();
        QVERIFY2(output.contains("SIGTERM received: closing the editor"), output.constData());
        QTRY_VERIFY(server.peek(1 << 20).contains("disconnected"));
        QVERIFY(QRegularExpression(QStringLiteral("User 'ops' at '127\\.0\\.0\\.1/\\d+' disconnected"))
                    .match(QString::fromUtf8(server.readAll()))
                    .hasMatch());
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_setdesk_program)
#include "tst_setdesk_program.moc"
