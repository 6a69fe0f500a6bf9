#include "serverSettings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

} // namespace

class tst_keepyard_settings : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qputenv("COMPUTERNAME", "cfg1");
        qputenv("USERNAME", "ops");
    }

    void writeBacks_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("broadcastPort");
        QTest::addColumn<QString>("description");
        QTest::newRow("missing file gets the defaults")
            << QByteArray() << QByteArray("[Server]\nPort=23\nBroadcastPort=23\nDescription=cfg1 - ops\n") << 23 << 23
            << "cfg1 - ops";
        QTest::newRow("23 is written again, other ports stay")
            << QByteArray("[Server]\r\nPort= 23 \r\nBroadcastPort=2000\r\nDescription=Main - ops\r\n")
            << QByteArray("[Server]\r\nPort=23\r\nBroadcastPort=2000\r\nDescription=Main - ops\r\n") << 23 << 2000
            << "Main - ops";
        QTest::newRow("empty description replaced")
            << QByteArray("[server]\nport=2323\nbroadcastport=2324\ndescription=\n")
            << QByteArray("[server]\nport=2323\nbroadcastport=2324\ndescription=cfg1 - ops\n") << 2323 << 2324
            << "cfg1 - ops";
    }

    void writeBacks()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QTemporaryDir root;
        const QString path = serverSettings::filePath(root.path());
        if (!before.isEmpty())
            writeFile(path, before);
        const serverSettings s = serverSettings::load(root.path());
        QTEST(s.port, "port");
        QTEST(s.broadcastPort, "broadcastPort");
        QTEST(s.description, "description");
        QCOMPARE(readAll(path), after);
    }

    void fallsBackToHostAndUserOnLinux()
    {
        qunsetenv("COMPUTERNAME");
        qunsetenv("USERNAME");
        qputenv("USER", "linuxuser");
        QTemporaryDir root;
        QVERIFY(serverSettings::load(root.path()).description.endsWith(QStringLiteral(" - linuxuser")));
    }

    void saveWritesTheTextsAsTyped()
    {
        QTemporaryDir root;
        writeFile(serverSettings::filePath(root.path()), "[Server]\nPort=2000\n; kept\n");
        QVERIFY(serverSettings::save(root.path() + "/", "abc", " 99", "New name"));
        QCOMPARE(readAll(serverSettings::filePath(root.path())),
                 QByteArray("[Server]\nPort=abc\n; kept\nBroadcastPort= 99\nDescription=New name\n"));
    }
};

QTEST_GUILESS_MAIN(tst_keepyard_settings)
#include "tst_keepyard_settings.moc"
