#include "profileFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString writeIni(const QTemporaryDir &dir, const QByteArray &content)
{
    const QString path = dir.filePath("test.ini");
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
    return path;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray sample = "; installed by hand\r\n"
                          "[Users]\r\n"
                          "ops = secret \r\n"
                          "Admin=\"quoted value\"\r\n"
                          "empty=\r\n"
                          "ops=second definition\r\n"
                          "\r\n"
                          "[Level]\r\n"
                          "ops=2\r\n"
                          "[server]\r\n"
                          "Port=2000abc\r\n"
                          "Neg=-5\r\n"
                          "Word=abc\r\n"
                          "Blank=\r\n"
                          "[Users]\r\n"
                          "late=never seen\r\n";

} // namespace

class tst_profileFile : public QObject
{
    Q_OBJECT

private slots:
    void readString_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("trimmed") << "Users" << "ops" << "secret";
        QTest::newRow("key without regard to case") << "users" << "OPS" << "secret";
        QTest::newRow("section without regard to case") << "SERVER" << "port" << "2000abc";
        QTest::newRow("enclosing quotes dropped") << "Users" << "admin" << "quoted value";
        QTest::newRow("empty value") << "Users" << "empty" << "";
        QTest::newRow("missing key") << "Users" << "nobody" << "default";
        QTest::newRow("missing section") << "Nothing" << "ops" << "default";
        QTest::newRow("only the first section of a name") << "Users" << "late" << "default";
        QTest::newRow("comment is no key") << "Users" << "; installed by hand" << "default";
    }

    void readString()
    {
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QTemporaryDir dir;
        const profileFile ini(writeIni(dir, sample));
        QCOMPARE(ini.readString(section, key, "default"), value);
    }

    void readInt_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("value");
        QTest::newRow("leading digits") << "Port" << 2000;
        QTest::newRow("negative") << "Neg" << -5;
        QTest::newRow("no digits") << "Word" << 0;
        QTest::newRow("empty reads the default") << "Blank" << 23;
        QTest::newRow("missing reads the default") << "Missing" << 23;
    }

    void readInt()
    {
        QFETCH(QString, key);
        QFETCH(int, value);
        QTemporaryDir dir;
        const profileFile ini(writeIni(dir, sample));
        QCOMPARE(ini.readInt("Server", key, 23), value);
    }

    void missingFileReadsDefaults()
    {
        const profileFile ini("/nonexistent/tavex.ini");
        QVERIFY(!ini.exists());
        QCOMPARE(ini.readString("Server", "Description", "none"), QStringLiteral("none"));
        QCOMPARE(ini.readInt("Server", "Port", 23), 23);
        QCOMPARE(profileFile::getInt("/nonexistent/tavex.ini", "Server", "Port", 7), 7);
    }

    void keysInFileOrder()
    {
        QTemporaryDir dir;
        const profileFile ini(writeIni(dir, sample));
        QCOMPARE(ini.keys("users"), QList<QString>({"ops", "Admin", "empty", "ops"}));
    }

    void writeChangesOnlyTheKeysLine()
    {
        QTemporaryDir dir;
        const QString path = writeIni(dir, sample);
        QVERIFY(profileFile::putString(path, "SERVER", "port", "23"));
        QByteArray expected = sample;
        expected.replace("Port=2000abc\r\n", "Port=23\r\n");
        QCOMPARE(readAll(path), expected);
    }

    void writeAddsKeyToItsSection()
    {
        QTemporaryDir dir;
        const QString path = writeIni(dir, sample);
        profileFile ini(path);
        QVERIFY(ini.writeString("Level", "admin", "9"));
        QCOMPARE(ini.readString("Level", "admin"), QStringLiteral("9"));
        QByteArray expected = sample;
        expected.replace("ops=2\r\n", "ops=2\r\nadmin=9\r\n");
        QCOMPARE(readAll(path), expected);
    }

    void writeAddsSectionAtTheEnd()
    {
        QTemporaryDir dir;
        const QString path = writeIni(dir, "[A]\nx=1\n");
        QVERIFY(profileFile::putString(path, "Server", "Description", "cfg1 - ops"));
        QCOMPARE(readAll(path), QByteArray("[A]\nx=1\n\n[Server]\nDescription=cfg1 - ops\n"));
    }

    void writeCreatesTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("new.ini");
        QVERIFY(profileFile::putString(path, "Server", "Port", "23"));
        QCOMPARE(profileFile::getInt(path, "Server", "Port", 0), 23);
        QVERIFY(!profileFile::putString(dir.filePath("no/such/folder/x.ini"), "S", "k", "v"));
    }

    void lineBreaksInValuesStayOnOneLine()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("new.ini");
        QVERIFY(profileFile::putString(path, "Server", "Description", "one\r\n[Evil]\r\nx=y"));
        const profileFile ini(path);
        QVERIFY(!ini.contains("Evil", "x"));
        QCOMPARE(ini.readString("Server", "Description"), QStringLiteral("one  [Evil]  x=y"));
    }

    void latin1FilesRead()
    {
        QTemporaryDir dir;
        const profileFile ini(writeIni(dir, "[Users]\nj\xfcrgen=pw\xe4\n"));
        QCOMPARE(ini.readString("Users", QString::fromUtf8("j\xc3\xbcrgen")), QString::fromUtf8("pw\xc3\xa4"));
    }
};

QTEST_GUILESS_MAIN(tst_profileFile)
#include "tst_profileFile.moc"
