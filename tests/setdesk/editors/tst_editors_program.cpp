#include "editorFixture.h"
#include "server_comms.h"
#include "setdeskMainWindow.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include "freePorts.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>

#include <csignal>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

bool listens(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(200);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

// The built server and alarm engine with the editor between them: an alarm
// process edited and checked in through the editor is what the engine runs
// after its restart.
class tst_editors_program : public QObject
{
    Q_OBJECT

private slots:
    void anAlarmProcessEditedInTheEditorRunsInTheEngine()
    {
        QTemporaryDir work;
        const QString root = work.filePath(QStringLiteral("root"));
        const QString alarms = root + QStringLiteral("/North/config/alarms/Plant");
        const quint16 port = freeTcpPort();
        writeFile(root + "/Keepyard.ini", QStringLiteral("[Server]\r\nPort=%1\r\nBroadcastPort=%2\r\nDescription=Test server\r\n")
                                              .arg(port)
                                              .arg(freeUdpPort())
                                              .toUtf8());
        writeFile(root + "/North/config/keepyard_password.ini", "[Users]\r\nops=secret\r\n[Level]\r\nops=2\r\n");
        editorFixture::installPlugin(root + QStringLiteral("/North"));
        writeFile(alarms + "/proc_def.cfg", "; the plant\n[pressure high]\nType=Input\nBlock=1\nIndex=1\nAlarm=>= 80\n");
        writeFile(alarms + "/inputs/al_acq_0001.cfg", "[System]\nModule=filein\nName=values\n[File]\nPath=values.txt\nPollMs=50\n");
        writeFile(alarms + "/inputs/values.txt", "60\n");
        writeFile(alarms + "/outputs/al_out_0001.cfg", "[System]\nModule=fileout\nName=states\n[File]\nPath=states.txt\n");
        const QString modules = root + QStringLiteral("/North/windows/lib/alarms");
        QDir().mkpath(modules);
        QVERIFY(QFile::copy(QStringLiteral(FILEIN_MODULE), modules + "/libfilein.so"));
        QVERIFY(QFile::copy(QStringLiteral(FILEOUT_MODULE), modules + "/libfileout.so"));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QX_ROOT", root);
        env.insert("QX_SYSTEM", "North");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess server;
        server.setProcessEnvironment(env);
        server.setProcessChannelMode(QProcess::ForwardedChannels);
        server.start(QStringLiteral(KEEPYARD_PROGRAM), {});
        QVERIFY(server.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(listens(port), 10000);

        {
            editorFixture fx(root, port);
            QVERIFY(fx.logIn());
            QWidget *editor = fx.open(QStringLiteral("Alarms/Processes"));
            QVERIFY(editor);
            auto *systems = editor->findChild<QComboBox *>(QStringLiteral("alarmSystemBox"));
            QTRY_VERIFY(systems->findText(QStringLiteral("Plant")) >= 0);
            systems->setCurrentIndex(systems->findText(QStringLiteral("Plant")));
            auto *table = editor->findChild<QTableView *>(QStringLiteral("processTable"));
            QTRY_COMPARE(table->model()->rowCount(), 1);
            editor->findChild<QPushButton *>(QStringLiteral("checkoutButton"))->click();
            QTRY_VERIFY(editor->findChild<QPushButton *>(QStringLiteral("applyButton"))->isEnabled());
            table->selectRow(0);
            auto *alarm = editor->findChild<QLineEdit *>(QStringLiteral("alarmEdit"));
            QVERIFY(alarm);
            alarm->setText(QStringLiteral(">= 50"));
            editor->findChild<QPushButton *>(QStringLiteral("applyButton"))->click();
            editor->findChild<QPushButton *>(QStringLiteral("checkinButton"))->click();
            QTRY_VERIFY(readAll(alarms + "/proc_def.cfg").contains("Alarm=>= 50"));
            QTRY_VERIFY(!readAll(root + "/North/server_lock_list.txt").contains("proc_def.cfg"));
            QCOMPARE(readAll(alarms + "/proc_def.cfg"), QByteArray("; the plant\n[pressure high]\nType=Input\nBlock=1\nIndex=1\nAlarm=>= 50\n"));
        }

        QProcess engine;
        engine.setProcessEnvironment(env);
        engine.setProcessChannelMode(QProcess::ForwardedChannels);
        engine.start(QStringLiteral(WARDLINE_PROGRAM), {"/ALARMSYSTEM=Plant", "/UDP=NO"});
        QVERIFY(engine.waitForStarted());
        // 60 is below the old threshold and at or above the new one.
        QTRY_VERIFY_WITH_TIMEOUT(readAll(alarms + "/outputs/states.txt").split('\n').contains("pressure high=1"), 20000);
        ::kill(engine.processId(), SIGTERM);
        QVERIFY(engine.waitForFinished(10000));
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
    }
};

QTEST_MAIN(tst_editors_program)
#include "tst_editors_program.moc"
