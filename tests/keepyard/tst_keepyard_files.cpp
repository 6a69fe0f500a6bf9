#include "serverFixture.h"

#include "client.h"

#include "xfer.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QXmlStreamReader>

#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>

namespace {

// The hex text of a zlib stream of the content as a peer's zlib writes it.
QByteArray hexOf(const QByteArray &content)
{
    uLongf size = compressBound(uLong(content.size()));
    QByteArray packed(qsizetype(size), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef *>(packed.data()), &size, reinterpret_cast<const Bytef *>(content.constData()),
             uLong(content.size()));
    return xfer::toHex(QByteArrayView(packed.constData(), qsizetype(size)));
}

// The hex text the server sends for the content: the zlib stream its
// compressor (libdeflate, level 6) makes.
QByteArray servedHexOf(const QByteArray &content)
{
    libdeflate_compressor *compressor = libdeflate_alloc_compressor(6);
    QByteArray packed(qsizetype(libdeflate_zlib_compress_bound(compressor, size_t(content.size()))), Qt::Uninitialized);
    const size_t size = libdeflate_zlib_compress(compressor, content.constData(), size_t(content.size()), packed.data(),
                                                 size_t(packed.size()));
    libdeflate_free_compressor(compressor);
    return xfer::toHex(QByteArrayView(packed.constData(), qsizetype(size)));
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QByteArray ops = "ops,127.0.0.1";
const QByteArray admin = "Admin,127.0.0.1";

QByteArray lockRequest(const char *element, const char *child, const QByteArray &name)
{
    return "<" + QByteArray(element) + " uid=\"p1\" type=\"request\" system=\"North\" >\t<" + child + " name=\"" + name
           + "\" /></" + element + ">";
}

QByteArray refusal(const char *child, const QByteArray &path, const QByteArray &lockedPath, const QByteArray &owner)
{
    return "\t<" + QByteArray(child) + " name=\"" + path + "\" type=\"error\" >\r\n\t\t<message>The Path '" + lockedPath
           + "' is already checked out to '" + owner + "'</message>\r\n\t</" + child + ">\r\n";
}

// True when `replies` continue the server's document without an error.
bool wellFormed(const QByteArray &replies, QString *error)
{
    QXmlStreamReader reader("<xml>\r\n" + replies);
    while (!reader.atEnd())
        reader.readNext();
    *error = reader.errorString();
    return reader.error() == QXmlStreamReader::PrematureEndOfDocumentError;
}

QByteArray upload(const QByteArray &children)
{
    return "<upload type=\"request\" uid=\"p1\" system=\"North\" >\r\n" + children + "</upload>\r\n";
}

QByteArray uploadFile(const QByteArray &name, const QByteArray &content, const QByteArray &date = "2016-01-02T03:04:05")
{
    return "\t<file name=\"" + name + "\" size=\"" + QByteArray::number(content.size()) + "\" date=\"" + date + "\">"
           + hexOf(content) + "</file>\r\n";
}

} // namespace

class tst_keepyard_files : public QObject
{
    Q_OBJECT

private:
    // A logged-in peer of a fresh server whose North lock file holds `locks`.
    struct session
    {
        explicit session(const QByteArray &locks = QByteArray(), const sessionLimits &limits = sessionLimits())
            : fx(limits), peer(fx.port())
        {
            if (!locks.isNull())
                fx.makeFile("North/server_lock_list.txt", locks);
            ok = peer.logIn("ops", "secret", "North");
        }
        QString lockFile() const { return fx.root() + "/North/server_lock_list.txt"; }
        QString path(const QString &relative) const { return fx.root() + "/North/" + relative; }

        serverFixture fx;
        testPeer peer;
        bool ok = false;
    };

private slots:
    void lockRules_data()
    {
        QTest::addColumn<QByteArray>("locks");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("locksAfter");

        const QByteArray open = "<lock uid=\"p1\" system=\"North\" type=\"reply\" >\r\n";
        const QByteArray close = "</lock>\r\n";
        QTest::newRow("free path") << QByteArray() << lockRequest("lock", "file", "config/a")
                                   << open + "\t<file name=\"config/a\" type=\"reply\" />\r\n" + close
                                   << "config/a=" + ops + "\r\n";
        QTest::newRow("dir child answered as file") << QByteArray() << lockRequest("lock", "dir", "config")
                                                    << open + "\t<file name=\"config\" type=\"reply\" />\r\n" + close
                                                    << "config=" + ops + "\r\n";
        QTest::newRow("locked path, own lock too") << "config/a=" + ops + "\r\n" << lockRequest("lock", "file", "config/a")
                                                   << open + refusal("file", "config/a", "config/a", ops) + close
                                                   << "config/a=" + ops + "\r\n";
        QTest::newRow("below a locked folder") << "config/a=" + admin + "\r\n" << lockRequest("lock", "file", "config/a/b")
                                               << open + refusal("file", "config/a/b", "config/a", admin) + close
                                               << "config/a=" + admin + "\r\n";
        QTest::newRow("folder above a locked path")
            << "config/a/b=" + admin + "\r\n" << lockRequest("lock", "dir", "config")
            << open + refusal("dir", "config", "config/a/b", admin) + close << "config/a/b=" + admin + "\r\n";
        QTest::newRow("refusal ignores owners") << "config/a/b=" + ops + "\r\n" << lockRequest("lock", "dir", "config/a")
                                                << open + refusal("dir", "config/a", "config/a/b", ops) + close
                                                << "config/a/b=" + ops + "\r\n";
        QTest::newRow("nested lock element is no request") << QByteArray()
            << QByteArray("<lock uid=\"p1\" type=\"request\" system=\"North\" ><unlock uid=\"x\"><file name=\"config/a\" />"
                          "</unlock></lock>")
            << open + "\t<file name=\"config/a\" type=\"reply\" />\r\n" + close << "config/a=" + ops + "\r\n";
        QTest::newRow("backslashes") << QByteArray() << lockRequest("lock", "file", "config\\x")
                                     << open + "\t<file name=\"config/x\" type=\"reply\" />\r\n" + close
                                     << "config/x=" + ops + "\r\n";
        QTest::newRow("equals sign refused") << QByteArray() << lockRequest("lock", "file", "config/a=b")
                                             << open + refusal("file", "config/a=b", "config/a=b", "") + close << QByteArray();
        QTest::newRow("empty path refused") << QByteArray() << lockRequest("lock", "dir", "")
                                            << open + refusal("dir", "", "", "") + close << QByteArray();
        QTest::newRow("line break refused") << QByteArray() << lockRequest("lock", "file", "a&#10;b")
                                            << open + refusal("file", "a\nb", "a\nb", "") + close << QByteArray();
        QTest::newRow("leaving the system refused") << QByteArray() << lockRequest("lock", "file", "../South/x")
                                                    << open + refusal("file", "../South/x", "../South/x", "") + close
                                                    << QByteArray();
        QTest::newRow("absolute refused") << QByteArray() << lockRequest("lock", "file", "\\etc\\x")
                                          << open + refusal("file", "/etc/x", "/etc/x", "") + close << QByteArray();

        const QByteArray uopen = "<unlock uid=\"p1\" system=\"North\" type=\"reply\" >\r\n";
        const QByteArray uclose = "</unlock>\r\n";
        const auto unlockRefusal = [](const char *child, const QByteArray &path, const QByteArray &owner) {
            return "\t<" + QByteArray(child) + " name=\"" + path + "\" type=\"error\" >\r\n\t\t<message>Path was not checked "
                   "out to this user '" + owner + "'</message>\r\n\t</" + child + ">\r\n";
        };
        QTest::newRow("unlock own") << "config/a=" + admin + "\r\nconfig/b=" + ops + "\r\n"
                                    << lockRequest("unlock", "file", "config/b")
                                    << uopen + "\t<file name=\"config/b\" type=\"reply\"/>\r\n" + uclose
                                    << "config/a=" + admin + "\r\n";
        QTest::newRow("unlock below a lock: empty holder")
            << "config/a=" + ops + "\r\n" << lockRequest("unlock", "dir", "config/a/b")
            << uopen + unlockRefusal("dir", "config/a/b", "") + uclose << "config/a=" + ops + "\r\n";
        QTest::newRow("unlock of another owner's path")
            << "config/a=" + admin + "\r\n" << lockRequest("unlock", "file", "config/a")
            << uopen + unlockRefusal("file", "config/a", admin) + uclose << "config/a=" + admin + "\r\n";
        QTest::newRow("owner key with trailing blanks in the file")
            << "config/x=" + ops + "   \r\n" << lockRequest("unlock", "file", "config/x")
            << uopen + "\t<file name=\"config/x\" type=\"reply\"/>\r\n" + uclose << QByteArray();
    }

    void lockRules()
    {
        QFETCH(QByteArray, locks);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, locksAfter);
        session s(locks);
        QVERIFY(s.ok);
        s.peer.send(request);
        QCOMPARE(s.peer.expect(answer), answer);
        QCOMPARE(s.peer.drain(30), QByteArray());
        QCOMPARE(readAll(s.lockFile()), locksAfter);
    }

    void anotherAddressIsAnotherOwner()
    {
        session s;
        QVERIFY(s.ok);
        s.peer.send(lockRequest("lock", "file", "config/a"));
        s.peer.readLine();
        s.peer.readLine();
        s.peer.readLine();
        QTRY_VERIFY(s.fx.log.contains(QStringLiteral("File '%1/North/config/a' LOCKED from 'ops' at '127.0.0.1'").arg(s.fx.root())));

        testPeer other(s.fx.port(), QHostAddress(QStringLiteral("127.0.0.2")));
        QVERIFY(other.logIn("ops", "secret", "North"));
        other.send("<locklist uid=\"startup\" type=\"request\" system=\"North\" />\r\n");
        const QByteArray empty = "\t<locklist type=\"reply\" uid=\"startup\" system=\"North\" >\r\n\t</locklist>\r\n";
        QCOMPARE(other.expect(empty), empty);
        other.send(lockRequest("unlock", "file", "config/a"));
        QVERIFY(other.drain(100).contains("Path was not checked out to this user 'ops,127.0.0.1'"));

        s.peer.send("<locklist uid=\"startup\" type=\"request\" system=\"North\" />\r\n");
        const QByteArray mine = "\t<locklist type=\"reply\" uid=\"startup\" system=\"North\" >\r\n\t\t<lock name=\"config/a\" />\r\n"
                                "\t</locklist>\r\n";
        QCOMPARE(s.peer.expect(mine), mine);
    }

    void downloadTwoFilesSecondMissing()
    {
        session s;
        QVERIFY(s.ok);
        const QByteArray content = "[Valve]\r\nName=V1\r\n";
        s.fx.makeFile("North/config/a&b.ini", content);
        s.fx.makeFile("North/config/empty.txt", QByteArray());
        s.peer.send("<download uid=\"p1\" type=\"request\" system=\"North\" >\t<file name=\"config\\a&amp;b.ini\" />"
                    "\t<file name=\"config/empty.txt\" />\t<file name=\"config/gone&amp;.txt\" />"
                    "\t<file name=\"../South/config/keepyard_password.ini\" /><file name=\"config\" /></download>\r\n");
        const QByteArray hex = servedHexOf(content);
        const QByteArray emptyHex = servedHexOf(QByteArray());
        const QByteArray north = s.fx.root().toUtf8() + "/North/";
        const QByteArray expected =
            "<download uid=\"p1\" type=\"reply\" system=\"North\" >\r\n"
            "\t<file type=\"reply\" name=\"config/a&amp;b.ini\" size=\"" + QByteArray::number(content.size())
            + "\" compressedsize=\"" + QByteArray::number(hex.size() / 2) + "\" date=\"2015-05-08T14:03:59\" >" + hex
            + "</file>\r\n"
              "\t<file type=\"reply\" name=\"config/empty.txt\" size=\"0\" compressedsize=\""
            + QByteArray::number(emptyHex.size() / 2) + "\" date=\"2015-05-08T14:03:59\" >" + emptyHex + "</file>\r\n"
            "\t<file name=\"config/gone&amp;.txt\" type=\"error\">\r\n\t\t<message>File \"" + north
            + "config/gone&amp;.txt\" cannot be found</message>\r\n\t</file>\r\n"
              "\t<file name=\"../South/config/keepyard_password.ini\" type=\"error\">\r\n\t\t<message>File \"" + north
            + "../South/config/keepyard_password.ini\" cannot be found</message>\r\n\t</file>\r\n"
              "\t<file name=\"config\" type=\"error\">\r\n\t\t<message>File \"" + north
            + "config\" cannot be found</message>\r\n\t</file>\r\n"
              "</download>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QCOMPARE(s.peer.drain(30), QByteArray());
    }

    // Files are compressed side by side in groups; the reply still follows
    // the request, group boundaries and missing files included.
    void downloadOfManyFilesKeepsRequestOrder()
    {
        session s;
        QVERIFY(s.ok);
        const QByteArray north = s.fx.root().toUtf8() + "/North/";
        QByteArray request = "<download uid=\"p1\" type=\"request\" system=\"North\" >";
        QByteArray expected = "<download uid=\"p1\" type=\"reply\" system=\"North\" >\r\n";
        for (int i = 0; i < 41; ++i) {
            const QByteArray name = "config/many/f" + QByteArray::number(i) + ".txt";
            request += "<file name=\"" + name + "\" />";
            if (i % 7 == 3) {
                expected += "\t<file name=\"" + name + "\" type=\"error\">\r\n\t\t<message>File \"" + north + name
                            + "\" cannot be found</message>\r\n\t</file>\r\n";
                continue;
            }
            const QByteArray content = QByteArray("line of file ").repeated(i * 50) + QByteArray::number(i);
            s.fx.makeFile("North/" + QString::fromLatin1(name), content);
            const QByteArray hex = servedHexOf(content);
            expected += "\t<file type=\"reply\" name=\"" + name + "\" size=\"" + QByteArray::number(content.size())
                        + "\" compressedsize=\"" + QByteArray::number(hex.size() / 2)
                        + "\" date=\"2015-05-08T14:03:59\" >" + hex + "</file>\r\n";
        }
        s.peer.send(request + "</download>\r\n");
        expected += "</download>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QCOMPARE(s.peer.drain(30), QByteArray());
    }

    // A long reply goes out while it is built; a peer gone by then only ends
    // its own session.
    void peerGoneDuringALongDownload()
    {
        session s;
        QVERIFY(s.ok);
        QByteArray noise(3 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 7919 + i / 13) % 251);
        QByteArray request = "<download uid=\"p1\" type=\"request\" system=\"North\" >";
        for (int i = 0; i < 6; ++i) {
            s.fx.makeFile(QStringLiteral("North/config/big%1.bin").arg(i), noise);
            request += "<file name=\"config/big" + QByteArray::number(i) + ".bin\" />";
        }
        s.peer.send(request + "</download>\r\n");
        QVERIFY(s.peer.receive(1024).startsWith("<download uid=\"p1\" type=\"reply\""));
        s.peer.socket.abort();
        QTRY_VERIFY(s.fx.server().sessions().isEmpty());

        testPeer other(s.fx.port());
        QVERIFY(other.logIn("ops", "secret", "North"));
        s.fx.makeFile("North/config/small.txt", "small");
        other.send("<download uid=\"p2\" type=\"request\" system=\"North\" ><file name=\"config/small.txt\" /></download>\r\n");
        QVERIFY(other.drain(300).contains("name=\"config/small.txt\" size=\"5\""));
    }

    void downloadOfUnexpectedType()
    {
        session s;
        QVERIFY(s.ok);
        s.peer.send("<download uid=\"p1\" type=\"other\" system=\"North\" ><file name=\"config/keepyard_password.ini\" /></download>");
        const QByteArray expected = "<download uid=\"p1\" type=\"reply\" system=\"North\" >\r\n</download>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QCOMPARE(s.peer.drain(30), QByteArray());
    }

    void deliveredFiles()
    {
        session s("config/held=" + ops + "\r\n");
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/held/a.txt", "old a");
        s.fx.makeFile("North/config/other.txt", "old other");
        const QByteArray content = "new a";
        s.peer.send("<download uid=\"p1\" type=\"reply\" system=\"North\" >"
                    "<file name=\"config/held/a.txt\" size=\"5\" date=\"2016-01-02T03:04:05\">" + hexOf(content) + "</file>"
                    "<file name=\"config/held/bad.txt\" size=\"5\">ZZZZ</file>"
                    "<file name=\"config/other.txt\" size=\"5\">" + hexOf("x") + "</file>"
                    "<file name=\"config/held/../../../South/x\" size=\"1\">" + hexOf("x") + "</file>"
                    "</download>");
        const QByteArray expected =
            "<download uid=\"p1\" type=\"reply\" system=\"North\" >\r\n"
            "\t<file type=\"reply\" name=\"config/held/a.txt\" />\r\n"
            "\t<file type=\"error\" name=\"config/held/bad.txt\" >\r\n\t\t<message>Z_DATA_ERROR - uncompress error</message>\r\n\t</file>\r\n"
            "\t<file type=\"error\">\r\n\t\t<message>File '" + s.path("config/other.txt").toUtf8() + "' is checked out to '' </message>\r\n</file>\r\n"
            "\t<file type=\"error\" name=\"config/held/../../../South/x\" >\r\n\t\t<message>The path leaves the system folder</message>\r\n\t</file>\r\n"
            "</download>\r\n<download type=\"done\" />\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QCOMPARE(readAll(s.path("config/held/a.txt")), content);
        QCOMPARE(readAll(s.path("config/held/a.txt.tavex_configbackup")), QByteArray("old a"));
        QCOMPARE(readAll(s.path("config/other.txt")), QByteArray("old other"));
        QVERIFY(!QFile::exists(s.fx.root() + "/South/x"));
        // The log does not leave a failed file looking stored.
        QVERIFY(s.fx.log.contains("File 'config/held/bad.txt' from 'ops' at '127.0.0.1' was not stored: "
                                  "Z_DATA_ERROR - uncompress error"));
        QVERIFY(!s.fx.log.join('\n').contains("'config/held/a.txt' from 'ops' at '127.0.0.1' was not stored"));
    }

    void uploadNewAndChangedFiles()
    {
        session s("config=" + ops + "\r\n");
        QVERIFY(s.ok);
        testPeer watcher(s.fx.port());
        QCOMPARE(watcher.expect("<xml>\r\n"), QByteArray("<xml>\r\n"));
        s.fx.makeFile("North/config/plant.xml", "version 1");

        s.peer.send(upload(uploadFile("config/plant.xml", "version 2") + uploadFile("config/new/fresh.ini", "fresh")));
        const QByteArray head = "<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n"
                                "\t<file type=\"reply\" name=\"config/plant.xml\" />\r\n"
                                "\t<file type=\"reply\" name=\"config/new/fresh.ini\" />\r\n</upload>\r\n";
        QCOMPARE(s.peer.expect(head), head);
        QCOMPARE(readAll(s.path("config/plant.xml")), QByteArray("version 2"));
        QCOMPARE(QFileInfo(s.path("config/plant.xml")).lastModified(), QDateTime(QDate(2016, 1, 2), QTime(3, 4, 5)));
        QCOMPARE(readAll(s.path("config/new/fresh.ini")), QByteArray("fresh"));

        // Each version kept is named in the notice and in today's index.
        const QStringList copies = QDir(s.path("backup")).entryList({"plant.xml.*"});
        QCOMPARE(copies.size(), 1);
        QCOMPARE(readAll(s.path("backup/" + copies.first())), QByteArray("version 1"));
        QByteArray notices = s.peer.readLine();
        notices += s.peer.readLine();
        QVERIFY2(notices.startsWith("<update type=\"update\" system=\"North\" name=\"config/plant.xml\" undoname=\""
                                   + copies.first().toUtf8() + "\"/>\r\n"), notices.constData());
        QVERIFY(notices.contains("<update type=\"update\" system=\"North\" name=\"config/new/fresh.ini\" undoname=\"fresh.ini."));
        QCOMPARE(watcher.expect(notices), notices);

        const QString index = s.path("backup/" + QDate::currentDate().toString("yyyyMMdd") + ".backup_index");
        const QList<QByteArray> lines = readAll(index).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(",config/plant.xml,ops,127.0.0.1,backup/" + copies.first().toUtf8() + "\r"));
        // A new file names a copy that does not exist.
        const QByteArray freshCopy = lines.at(1).mid(lines.at(1).lastIndexOf("backup/") + 7).chopped(1);
        QVERIFY(freshCopy.startsWith("fresh.ini."));
        QVERIFY(!QFile::exists(s.path("backup/" + freshCopy)));
    }

    void twoUploadsInOneTickKeepTwoCopies()
    {
        session s("config=" + ops + "\r\n");
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/p.xml", "v1");
        s.peer.send(upload(uploadFile("config/p.xml", "v2") + uploadFile("config/p.xml", "v3")));
        s.peer.expect("<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n");
        QVERIFY(s.peer.readLine().contains("type=\"reply\""));
        QVERIFY(s.peer.readLine().contains("type=\"reply\""));
        QStringList contents;
        for (const QString &copy : QDir(s.path("backup")).entryList({"p.xml.*"}))
            contents << readAll(s.path("backup/" + copy));
        contents.sort();
        QCOMPARE(contents, QStringList({"v1", "v2"}));
        QCOMPARE(readAll(s.path("config/p.xml")), QByteArray("v3"));
    }

    void fileWithoutContentGoesToTheBackups()
    {
        session s("config=" + ops + "\r\n");
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/old.xml", "last version");
        s.peer.send(upload("\t<file name=\"config/old.xml\" ></file>\r\n"));
        const QByteArray expected = "<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n</upload>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QVERIFY(!QFile::exists(s.path("config/old.xml")));
        const QStringList copies = QDir(s.path("backup")).entryList({"old.xml.*"});
        QCOMPARE(copies.size(), 1);
        QCOMPARE(readAll(s.path("backup/" + copies.first())), QByteArray("last version"));
        QVERIFY(s.fx.log.contains("File 'config/old.xml' checked IN (deleted) from 'ops' at '127.0.0.1'"));
        QCOMPARE(s.peer.drain(50), QByteArray()); // no notice
    }

    void failedStoreKeepsTheFile()
    {
        session s("config=" + ops + "\r\n");
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/p.xml", "good");
        s.peer.send(upload("\t<file name=\"config/p.xml\" size=\"3\" date=\"2016-01-02T03:04:05\">" + hexOf("longer") + "</file>"));
        const QByteArray expected = "<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n"
                                    "\t<file type=\"error\" name=\"config/p.xml\" >\r\n\t\t<message>Z_BUF_ERROR - uncompress error"
                                    "</message>\r\n\t</file>\r\n</upload>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QCOMPARE(readAll(s.path("config/p.xml")), QByteArray("good"));
        QCOMPARE(QDir(s.path("backup")).entryList({"p.xml.*"}).size(), 1);
    }

    void oversizedContentIsRefusedAndTheSessionGoesOn()
    {
        sessionLimits limits;
        limits.maxFileHexBytes = 4096;
        session s("config=" + ops + "\r\n", limits);
        QVERIFY(s.ok);
        QByteArray big(100000, '\0');
        QRandomGenerator random(7);
        for (char &c : big)
            c = char(random.bounded(256));
        s.peer.send(upload(uploadFile("config/big.bin", big) + uploadFile("config/small.txt", "small")));
        const QByteArray expected = "<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n"
                                    "\t<file type=\"error\" name=\"config/big.bin\" >\r\n\t\t<message>File content exceeds "
                                    "the transfer limit</message>\r\n\t</file>\r\n"
                                    "\t<file type=\"reply\" name=\"config/small.txt\" />\r\n</upload>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QVERIFY(!QFile::exists(s.path("config/big.bin")));
    }

    void refusedForAnotherOwner()
    {
        session s("config/theirs=" + admin + "\r\n");
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/theirs/a.txt", "theirs");
        s.peer.send(upload(uploadFile("config/theirs/a.txt", "mine") + "<delete name=\"config/theirs/a.txt\" />"
                           + uploadFile("config/unlocked.txt", "x")));
        const QByteArray full = s.path("config/theirs/a.txt").toUtf8();
        const QByteArray expected =
            "<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n"
            "\t<file type=\"error\" name=\"config/theirs/a.txt\">\r\n\t\t<message>File '" + full + "' is checked out to '" + admin
            + "' </message>\r\n</file>\r\n"
              "\t<delete type=\"error\">\r\n\t\t<message>File '" + full + "' is checked out to '" + admin
            + "' </message>\r\n</delete>\r\n"
              "\t<file type=\"error\" name=\"config/unlocked.txt\">\r\n\t\t<message>File '"
            + s.path("config/unlocked.txt").toUtf8() + "' is checked out to '' </message>\r\n</file>\r\n</upload>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QCOMPARE(readAll(s.path("config/theirs/a.txt")), QByteArray("theirs"));
        QVERIFY(!QDir(s.path("backup")).exists());
    }

    void deletes()
    {
        session s("config=" + ops + "\r\n");
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/gone.txt", "x");
        s.peer.send(upload("<delete name=\"config\\gone.txt\" /><delete name=\"config/missing.txt\" />"
                           "<delete name=\"config/../../South/config/keepyard_password.ini\" />"));
        const QByteArray cannot = "\t\t<message>File cannot be deleted (does not exist, or is in use)</message>\r\n\t</delete>\r\n";
        const QByteArray expected = "<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n"
                                    "\t<delete type=\"reply\" name=\"config/gone.txt\" />\r\n"
                                    "\t<delete type=\"error\" name=\"config/missing.txt\" >\r\n" + cannot +
                                    "\t<delete type=\"error\" name=\"config/../../South/config/keepyard_password.ini\" >\r\n" + cannot +
                                    "</upload>\r\n"
                                    "<update type=\"delete\" system=\"North\" name=\"config/gone.txt\" />\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QVERIFY(!QFile::exists(s.path("config/gone.txt")));
        QVERIFY(QFile::exists(s.fx.root() + "/South/config"));
        QCOMPARE(s.peer.drain(50), QByteArray());
    }

    void synclistRequest_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        const QByteArray d = "2015-05-08T14:03:59";
        QTest::newRow("folder") << QByteArray("config/areas")
                                << "\t<data name=\"a&amp;b.ini\" date=\"" + d + "\" size=\"3\"/>\r\n"
                                   "\t<data name=\"pumps\" date=\"\" size=\"0\"/>\r\n"
                                   "\t<data name=\"pumps/p1.xml\" date=\"" + d + "\" size=\"2\"/>\r\n";
        QTest::newRow("missing folder") << QByteArray("config/none") << QByteArray();
        QTest::newRow("leaving the system") << QByteArray("../South") << QByteArray();
    }

    void synclistRequest()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        session s;
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/areas/a&b.ini", "abc");
        s.fx.makeFile("North/config/areas/pumps/p1.xml", "p1");
        // A list of the client's in a request is not looked at.
        s.peer.send("<synclist uid=\"download:p1\" type=\"request\" system=\"North\" path=\"" + path
                    + "\" ><data name=\"x\" date=\"\" size=\"1\"/></synclist>\r\n");
        const QByteArray expected = "<synclist uid=\"download:p1\" type=\"reply\" system=\"North\" path=\"" + path + "\" >\r\n"
                                    + body + "</synclist>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
    }

    void synclistReply_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("requested");
        const auto entry = [](const char *name, const char *date, int size) {
            return "<data name=\"" + QByteArray(name) + "\" date=\"" + date + "\" size=\"" + QByteArray::number(size) + "\"/>";
        };
        QTest::newRow("equal lists ask for nothing")
            << QByteArray("config/areas") << entry("p1.xml", "2015-05-08T14:03:59", 2) << QByteArray();
        QTest::newRow("within two seconds") << QByteArray("config/areas") << entry("P1.XML", "2015-05-08T14:04:01", 2)
                                            << QByteArray();
        QTest::newRow("three seconds, new and server-only")
            << QByteArray("config/areas") << entry("p1.xml", "2015-05-08T14:04:02", 2) + entry("new.ini", "2016-01-01T00:00:00", 4)
            << QByteArray("\t<file name=\"config/areas/new.ini\" />\r\n\t<file name=\"config/areas/p1.xml\" />\r\n");
        QTest::newRow("empty path has no prefix")
            << QByteArray() << entry("config", "", 0) + entry("config/keepyard_password.ini", "2015-05-08T14:03:59", 99)
            << QByteArray("\t<file name=\"config/keepyard_password.ini\" />\r\n");
        QTest::newRow("leaving the system asks for nothing")
            << QByteArray("../South") << entry("x", "2015-05-08T14:03:59", 2) << QByteArray();
    }

    void synclistReply()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, requested);
        session s;
        QVERIFY(s.ok);
        s.fx.makeFile("North/config/areas/p1.xml", "p1");
        s.fx.makeFile("North/config/areas/server-only.xml", "s");
        s.peer.send("<synclist uid=\"upload:p1\" type=\"reply\" system=\"North\" path=\"" + path + "\" >" + data + "</synclist>");
        const QByteArray expected = "<download uid=\"upload:p1\" type=\"request\" system=\"North\" >\r\n" + requested
                                    + "</download>\r\n";
        QCOMPARE(s.peer.expect(expected), expected);
        QCOMPARE(s.peer.drain(30), QByteArray());
    }

    // Every value echoed into a reply or notice is escaped, so that names
    // holding markup characters never break an editor's stream.
    void repliesEscapeEveryValue_data()
    {
        QTest::addColumn<QByteArray>("locks");
        QTest::addColumn<QStringList>("files"); // relative path, content, ...
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArrayList>("fragments");

        const QString raw = QStringLiteral("config/q&a<b>'c\".xml");
        const QByteArray sent = "config/q&amp;a&lt;b&gt;&apos;c&quot;.xml"; // as an editor escapes it
        const QByteArray echoed = sent;                                    // and as it must come back
        const QByteArray theirs = "x&y,10.0.0.1";
        const QByteArray theirsEchoed = "x&amp;y,10.0.0.1";
        const QByteArray full = "/North/" + echoed;
        const auto lockLine = [&](const QByteArray &owner) { return raw.toUtf8() + "=" + owner + "\r\n"; };

        QTest::newRow("lock") << QByteArray() << QStringList()
                              << "<lock uid=\"u&amp;1\" type=\"request\" system=\"North\" ><file name=\"" + sent + "\" /></lock>"
                              << QByteArrayList{"<lock uid=\"u&amp;1\" system=\"North\" type=\"reply\" >\r\n",
                                                "\t<file name=\"" + echoed + "\" type=\"reply\" />\r\n"};
        QTest::newRow("lock refused") << lockLine(theirs) << QStringList() << lockRequest("lock", "file", sent)
                                      << QByteArrayList{refusal("file", echoed, echoed, theirsEchoed)};
        QTest::newRow("unlock") << lockLine(ops) << QStringList() << lockRequest("unlock", "file", sent)
                                << QByteArrayList{"\t<file name=\"" + echoed + "\" type=\"reply\"/>\r\n"};
        QTest::newRow("unlock refused") << lockLine(theirs) << QStringList() << lockRequest("unlock", "dir", sent)
                                        << QByteArrayList{"'" + theirsEchoed + "'</message>"};
        QTest::newRow("locklist") << lockLine(ops) << QStringList()
                                  << QByteArray("<locklist uid=\"a&lt;b\" type=\"request\" system=\"North\" />")
                                  << QByteArrayList{"\t<locklist type=\"reply\" uid=\"a&lt;b\" system=\"North\" >\r\n",
                                                    "\t\t<lock name=\"" + echoed + "\" />\r\n"};
        QTest::newRow("upload and its notice")
            << "config=" + ops + "\r\n" << QStringList()
            << "<upload type=\"request\" uid=\"u&apos;1\" system=\"North\" >" + uploadFile(sent, "new") + "</upload>"
            << QByteArrayList{"<upload uid=\"u&apos;1\" type=\"reply\" system=\"North\">\r\n",
                              "\t<file type=\"reply\" name=\"" + echoed + "\" />\r\n",
                              "<update type=\"update\" system=\"North\" name=\"" + echoed
                                  + "\" undoname=\"q&amp;a&lt;b&gt;&apos;c&quot;.xml."};
        QTest::newRow("upload refused") << QByteArray() << QStringList() << upload(uploadFile(sent, "new"))
                                        << QByteArrayList{"\t<file type=\"error\" name=\"" + echoed + "\">\r\n",
                                                          full + "' is checked out to '' </message>"};
        QTest::newRow("delete and its notice")
            << "config=" + ops + "\r\n" << QStringList{raw, "old"} << upload("<delete name=\"" + sent + "\" />")
            << QByteArrayList{"\t<delete type=\"reply\" name=\"" + echoed + "\" />\r\n",
                              "<update type=\"delete\" system=\"North\" name=\"" + echoed + "\" />\r\n"};
        QTest::newRow("download of a missing file")
            << QByteArray() << QStringList()
            << "<download uid=\"u&quot;1\" type=\"request\" system=\"North\" ><file name=\"" + sent + "\" /></download>"
            << QByteArrayList{"<download uid=\"u&quot;1\" type=\"reply\" system=\"North\" >\r\n",
                              "\t<file name=\"" + echoed + "\" type=\"error\">\r\n", full + "\" cannot be found</message>"};
        QTest::newRow("synclist request")
            << QByteArray() << QStringList{"config/q&a/x.txt", "x"}
            << QByteArray("<synclist uid=\"u&gt;1\" type=\"request\" system=\"North\" path=\"config/q&amp;a\" />")
            << QByteArrayList{"<synclist uid=\"u&gt;1\" type=\"reply\" system=\"North\" path=\"config/q&amp;a\" >\r\n"};
        QTest::newRow("synclist reply")
            << QByteArray() << QStringList()
            << "<synclist uid=\"u1\" type=\"reply\" system=\"North\" path=\"config\" ><data name=\""
                   + sent.mid(7) + "\" date=\"2016-01-01T00:00:00\" size=\"3\"/></synclist>"
            << QByteArrayList{"\t<file name=\"" + echoed + "\" />\r\n"};
        QTest::newRow("dir") << QByteArray() << QStringList{"config/a&b.xml", "x"}
                             << QByteArray("<dir type=\"request\" uid=\"u&amp;1\" system=\"North\" path=\"config\" "
                                           "filter=\"*&amp;*\" recursive=\"false\"/>")
                             << QByteArrayList{"<dir type=\"reply\" uid=\"u&amp;1\" system=\"North\" filter=\"*&amp;*\">\r\n",
                                               ">a&amp;b.xml</item>"};
        QTest::newRow("login") << QByteArray()
                               << QStringList{"config/keepyard_password.ini",
                                              "[Users]\r\na&b=pw\r\n[Level]\r\na&b=<9>\r\n"}
                               << QByteArray("<login type=\"request\" id=\"a&amp;b\" password=\"pw\" system=\"North\" />")
                               << QByteArrayList{"<login type=\"reply\" id=\"a&amp;b\" level=\"&lt;9&gt;\" />\r\n"};
        QTest::newRow("systems") << QByteArray() << QStringList{"../A&B/config/x", ""}
                                 << QByteArray("<systems type=\"request\" />")
                                 << QByteArrayList{"\t<system name=\"A&amp;B\" />\r\n"};
    }

    void repliesEscapeEveryValue()
    {
        QFETCH(QByteArray, locks);
        QFETCH(QStringList, files);
        QFETCH(QByteArray, request);
        QFETCH(QByteArrayList, fragments);
        session s(locks);
        QVERIFY(s.ok);
        for (qsizetype i = 0; i + 1 < files.size(); i += 2)
            s.fx.makeFile("North/" + files.at(i), files.at(i + 1).toUtf8());
        s.peer.send(request);
        QByteArray replies;
        QDeadlineTimer deadline(5000);
        const auto allThere = [&] {
            return std::all_of(fragments.cbegin(), fragments.cend(), [&](const QByteArray &f) {
                return replies.contains(f.startsWith("/North/") ? s.fx.root().toUtf8() + f : f);
            });
        };
        while (!allThere() && !deadline.hasExpired())
            replies += s.peer.drain(5);
        QVERIFY2(allThere(), replies.constData());
        QString error;
        QVERIFY2(wellFormed(replies, &error), qPrintable(error + QLatin1Char('\n') + replies));
    }

    // An empty name is nobody's lock: answered as a path the sender does not hold.
    void emptyNamesAreNotHeld_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("logged");
        const QByteArray notHeld = "\t\t<message>File '%ROOT%/North/' is checked out to '' </message>\r\n";
        const QString checkingIn = "Error on file '%ROOT%/North/' checking IN from 'ops' at '127.0.0.1' already checked out to ''";
        QTest::newRow("uploaded file") << upload(uploadFile("", "x"))
                                       << "\t<file type=\"error\" name=\"\">\r\n" + notHeld + "</file>\r\n" << checkingIn;
        QTest::newRow("file without content") << upload("\t<file name=\"\" ></file>\r\n")
                                              << "\t<file type=\"error\" name=\"\">\r\n" + notHeld + "</file>\r\n" << checkingIn;
        QTest::newRow("delete") << upload("<delete name=\"\" />") << "\t<delete type=\"error\">\r\n" + notHeld + "</delete>\r\n"
                                << QString("Error on file '%ROOT%/North/' deleting file from 'ops' at '127.0.0.1' already "
                                           "checked out to ''");
        QTest::newRow("delivered file")
            << "<download uid=\"p1\" type=\"reply\" system=\"North\" ><file name=\"\" size=\"1\" date=\"\">" + hexOf("x")
                   + "</file></download>"
            << "\t<file type=\"error\">\r\n" + notHeld + "</file>\r\n" << checkingIn;
    }

    void emptyNamesAreNotHeld()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(QString, logged);
        session s("config=" + ops + "\r\n");
        QVERIFY(s.ok);
        s.peer.send(request);
        const QByteArray head = request.left(request.indexOf('>') + 1);
        QByteArray replies = s.peer.readLine();
        replies += s.peer.readLine();
        replies += s.peer.readLine();
        replies += s.peer.readLine();
        answer.replace("%ROOT%", s.fx.root().toUtf8());
        QCOMPARE(replies.mid(replies.indexOf("\r\n") + 2), answer);
        QTRY_VERIFY(s.fx.log.contains(logged.replace("%ROOT%", s.fx.root())));
        QVERIFY(QFileInfo(s.path(QString())).isDir());
        QCOMPARE(QDir(s.path(QString())).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 2); // config, lock file
    }

    // A client's list is held until its end tag, so its size has a bound.
    void longSynclistClosesTheSession()
    {
        sessionLimits limits;
        limits.maxKeptBytes = 20000;
        session s(QByteArray(), limits);
        QVERIFY(s.ok);
        QByteArray data;
        for (int i = 0; i < 200; ++i)
            data += "<data name=\"config/f" + QByteArray::number(i) + "\" date=\"2016-01-01T00:00:00\" size=\"1\"/>";
        s.peer.send("<synclist uid=\"u\" type=\"reply\" system=\"North\" path=\"\" >" + data);
        QVERIFY(s.peer.waitClosed());
        QTRY_VERIFY(s.fx.log.contains("connection errored for \"ops\" on \"127.0.0.1\" - closing"));
    }

    // A notice never lands inside a reply a session is still receiving.
    void noticesWaitForAnOpenReply()
    {
        session s("config=" + ops + "\r\n");
        QVERIFY(s.ok);
        testPeer other(s.fx.port());
        QVERIFY(other.logIn("ops", "secret", "North"));
        other.send("<lock uid=\"o\" type=\"request\" system=\"North\" >");
        QCOMPARE(other.readLine(), QByteArray("<lock uid=\"o\" system=\"North\" type=\"reply\" >\r\n"));
        s.peer.send(upload(uploadFile("config/a.txt", "a")));
        s.peer.expect("<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n\t<file type=\"reply\" name=\"config/a.txt\" />\r\n"
                      "</upload>\r\n");
        QVERIFY(s.peer.readLine().startsWith("<update "));
        QCOMPARE(other.drain(100), QByteArray());
        other.send("</lock>");
        QByteArray rest = other.readLine();
        rest += other.readLine();
        QVERIFY2(rest.startsWith("</lock>\r\n<update type=\"update\" system=\"North\" name=\"config/a.txt\""), rest.constData());
    }

    // Size, date and content of a sent file come from one reading of it, even
    // when the file is replaced between the request and the sending.
    // A requested file is read when the reply reaches it, after the peer has
    // taken most of what went before: the session holds a bounded part of
    // its reply. A file replaced meanwhile by another program goes out in its
    // new version (size, date and content from one read); one checked in or
    // deleted through the server, by this session or another, goes out as it
    // was when asked for.
    void repliesAreReadAsThePeerTakesThem_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("newVersion");
        QTest::newRow("replaced on disk") << "rename" << true;
        QTest::newRow("checked in by the same session") << "upload" << false;
        QTest::newRow("checked in by another session") << "other upload" << false;
        QTest::newRow("deleted by another session") << "other delete" << false;
    }
    void repliesAreReadAsThePeerTakesThem()
    {
        QFETCH(QString, change);
        QFETCH(bool, newVersion);
        sessionLimits limits;
        limits.pauseUnsentBytes = 64 * 1024;
        limits.readAheadBytes = 1; // one file at a time
        session s("config/p.xml=" + ops + "\r\n", limits);
        QVERIFY(s.ok);
        // Incompressible: 24 MiB of hex, more than the kernel buffers of both ends hold.
        QByteArray big(12 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator random(5);
        for (char &c : big)
            c = char(random.bounded(256));
        s.fx.makeFile("North/config/big.bin", big);
        const QByteArray old = "short";
        s.fx.makeFile("North/config/p.xml", old);
        const QByteArray replaced = "a much longer version of the file";
        const QDateTime when(QDate(2020, 2, 3), QTime(4, 5, 6));

        // The peer stops taking replies once a little has arrived.
        s.peer.socket.setReadBufferSize(64 * 1024);
        s.peer.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 64 * 1024);
        s.peer.send("<download uid=\"p1\" type=\"request\" system=\"North\" ><file name=\"config/big.bin\" />"
                    "<file name=\"config/p.xml\" /></download>");
        const QList<client *> sessions = s.fx.server().findChildren<client *>();
        QCOMPARE(sessions.size(), 1);
        client *served = sessions.first();
        QTRY_COMPARE(served->waitingFiles(), 1); // p.xml waits behind big.bin
        QTest::qWait(100);
        QCOMPARE(served->waitingFiles(), 1);
        QVERIFY2(served->heldReplyBytes() <= 2 * big.size() + 4096, QByteArray::number(served->heldReplyBytes()));

        testPeer other(s.fx.port());
        if (change.startsWith("other"))
            QVERIFY(other.logIn("ops", "secret", "North"));
        if (change == "rename") {
            s.fx.makeFile("North/config/p.new", replaced, when);
            QCOMPARE(std::rename(QFile::encodeName(s.path("config/p.new")).constData(),
                                 QFile::encodeName(s.path("config/p.xml")).constData()),
                     0);
        } else if (change == "upload") {
            s.peer.send(upload(uploadFile("config/p.xml", replaced)));
        } else if (change == "other upload") {
            other.send(upload(uploadFile("config/p.xml", replaced)));
            QVERIFY(!other.expect("\t<file type=\"reply\" name=\"config/p.xml\" />\r\n").isEmpty());
        } else {
            other.send("<upload type=\"request\" uid=\"d\" system=\"North\" ><delete name=\"config/p.xml\" /></upload>");
            QVERIFY(!other.expect("\t<delete type=\"reply\" name=\"config/p.xml\" />\r\n").isEmpty());
        }

        s.peer.socket.setReadBufferSize(0);
        const QByteArray bigHex = servedHexOf(big);
        const QByteArray content = newVersion ? replaced : old;
        const QByteArray hex = servedHexOf(content);
        const QByteArray expected =
            "\t<file type=\"reply\" name=\"config/big.bin\" size=\"" + QByteArray::number(big.size()) + "\" compressedsize=\""
            + QByteArray::number(bigHex.size() / 2) + "\" date=\"2015-05-08T14:03:59\" >" + bigHex + "</file>\r\n"
            + "\t<file type=\"reply\" name=\"config/p.xml\" size=\"" + QByteArray::number(content.size())
            + "\" compressedsize=\"" + QByteArray::number(hex.size() / 2) + "\" date=\""
            + (newVersion ? "2020-02-03T04:05:06" : "2015-05-08T14:03:59") + "\" >" + hex + "</file>\r\n</download>\r\n";
        QCOMPARE(s.peer.readLine(), QByteArray("<download uid=\"p1\" type=\"reply\" system=\"North\" >\r\n"));
        const QByteArray got = s.peer.receive(expected.size(), 20000);
        QCOMPARE(got.size(), expected.size());
        QVERIFY(got == expected);
    }

    // A request naming more files than a session keeps waiting pauses the
    // reading of input; the session goes on by itself as the peer takes the
    // reply, through the end of the request and the requests after it.
    void manyWaitingFilesResume_data()
    {
        QTest::addColumn<int>("maxWaiting");
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("fileBytes");
        QTest::addColumn<int>("pauseBytes");
        QTest::newRow("one waiting, small files") << 1 << 300 << 200 << 4 * 1024 * 1024;
        QTest::newRow("four waiting") << 4 << 500 << 2000 << 4 * 1024 * 1024;
        QTest::newRow("sixteen waiting, larger files") << 16 << 200 << 40000 << 4 * 1024 * 1024;
        // The kernel takes all that is queued whenever reading pauses.
        QTest::newRow("pause at every reply") << 4096 << 300 << 2000 << 1024;
    }
    void manyWaitingFilesResume()
    {
        QFETCH(int, maxWaiting);
        QFETCH(int, files);
        QFETCH(int, fileBytes);
        QFETCH(int, pauseBytes);
        sessionLimits limits;
        limits.maxWaitingFiles = maxWaiting;
        limits.pauseUnsentBytes = pauseBytes;
        session s(QByteArray(), limits);
        QVERIFY(s.ok);
        QByteArray request = "<download uid=\"m\" type=\"request\" system=\"North\" >";
        QByteArray expected = "<download uid=\"m\" type=\"reply\" system=\"North\" >\r\n";
        QRandomGenerator random{quint32(files)};
        for (int i = 0; i < files; ++i) {
            QByteArray content(fileBytes, Qt::Uninitialized);
            for (char &c : content)
                c = char('a' + random.bounded(4));
            const QByteArray name = "config/w/f" + QByteArray::number(i) + ".txt";
            s.fx.makeFile("North/" + QString::fromLatin1(name), content);
            request += "<file name=\"" + name + "\" />";
            const QByteArray hex = servedHexOf(content);
            expected += "\t<file type=\"reply\" name=\"" + name + "\" size=\"" + QByteArray::number(content.size())
                        + "\" compressedsize=\"" + QByteArray::number(hex.size() / 2)
                        + "\" date=\"2015-05-08T14:03:59\" >" + hex + "</file>\r\n";
        }
        expected += "</download>\r\n";
        s.peer.send(request + "</download>" + request + "</download>");
        const QByteArray got = s.peer.receive(2 * expected.size(), 20000);
        QCOMPARE(got.size(), 2 * expected.size());
        QVERIFY(got == expected + expected);
    }

    // What the server holds is bounded per element, not per request: an
    // upload of many small files, together far above the markup bound,
    // completes and is answered file by file.
    void uploadOfManySmallFilesCompletes()
    {
        sessionLimits limits;
        limits.maxHeldBytes = 64 * 1024;
        session s("config=" + ops + "\r\n", limits);
        QVERIFY(s.ok);
        constexpr int files = 150;
        QRandomGenerator random(11);
        QByteArray children;
        QByteArray answers;
        QList<QByteArray> contents;
        for (int i = 0; i < files; ++i) {
            QByteArray content(3000, Qt::Uninitialized); // incompressible: about 6 KB of hex each
            for (char &c : content)
                c = char(random.bounded(256));
            contents << content;
            const QByteArray name = "config/many/f" + QByteArray::number(i) + ".bin";
            children += uploadFile(name, content);
            answers += "\t<file type=\"reply\" name=\"" + name + "\" />\r\n";
        }
        QVERIFY(children.size() > 12 * limits.maxHeldBytes);
        s.peer.send(upload(children));
        const QByteArray expected = "<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n" + answers + "</upload>\r\n";
        // The notices of the stored files follow the whole reply.
        QCOMPARE(s.peer.expect(expected, 60000), expected);
        QVERIFY(s.peer.readLine().startsWith("<update type=\"update\" system=\"North\" name=\"config/many/f0.bin\""));
        for (int i = 0; i < files; i += 37)
            QCOMPARE(readAll(s.path("config/many/f" + QString::number(i) + ".bin")), contents.at(i));
    }
};

QTEST_GUILESS_MAIN(tst_keepyard_files)
#include "tst_keepyard_files.moc"
