#include "compressedFileCache.h"
#include "serverFixture.h"
#include "xfer.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Long enough for a file written now to count as settled.
void waitUntilSettled()
{
    QThread::msleep(compressedFileCache::settleNs / 1000000 + 50);
}

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator rng(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(rng.bounded(256));
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

// Overwrites the file in place and puts its modification time back, so
// that only the change time (and the content) tell the versions apart.
bool overwriteKeepingTimes(const QString &path, const QByteArray &content)
{
    struct stat before {};
    if (::stat(QFile::encodeName(path).constData(), &before) != 0)
        return false;
    QFile f(path);
    if (!f.open(QIODevice::ReadWrite) || f.write(content) != content.size())
        return false;
    f.close();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

QByteArray hexOfFile(const QString &path)
{
    QByteArray hex;
    return xfer::compressFile(path, hex) ? QByteArray() : hex;
}

// The content carried by the only file element of a download reply.
QByteArray contentOfReply(const QByteArray &reply, qint64 size)
{
    const qsizetype open = reply.indexOf("\t<file type=\"reply\"");
    const qsizetype start = reply.indexOf('>', open) + 1;
    const qsizetype end = reply.indexOf("</file>", start);
    if (open < 0 || end < 0)
        return QByteArray();
    QByteArray packed;
    const char header[4] = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
    packed.append(header, 4);
    xfer::appendFromHex(QByteArrayView(reply).sliced(start, end - start), packed);
    return qUncompress(packed);
}

} // namespace

class tst_compressedFileCache : public QObject
{
    Q_OBJECT

private slots:
    void keepsSettledContentOnly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.ini");
        QVERIFY(writeFile(path, QByteArray("[Unit]\r\nName=pump\r\n").repeated(50)));
        compressedFileCache cache;
        QByteArray hex;
        xfer::readStamp stamp;
        // Written just now: a write within the same clock tick would not show.
        QVERIFY(!cache.compressedFile(path, hex, stamp));
        QCOMPARE(hex, hexOfFile(path));
        QCOMPARE(cache.entries(), 0);

        waitUntilSettled();
        QVERIFY(!cache.compressedFile(path, hex, stamp));
        QVERIFY(cache.contains(path));
        QByteArray again;
        xfer::readStamp againStamp;
        QVERIFY(!cache.compressedFile(path, again, againStamp));
        QCOMPARE(cache.hits(), 1u);
        QCOMPARE(again, hex);
        QVERIFY(againStamp.sameVersion(stamp));
        QCOMPARE(againStamp.modified, stamp.modified);

        QVERIFY(cache.compressedFile(dir.filePath("missing"), hex, stamp));
        QVERIFY(cache.compressedFile(dir.path(), hex, stamp));
    }

    void changedFileIsReadAgain_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("in place, same size and modification time") << "in place";
        QTest::newRow("renamed over") << "rename";
        QTest::newRow("deleted and written anew") << "recreate";
    }
    void changedFileIsReadAgain()
    {
        QFETCH(QString, change);
        QTemporaryDir dir;
        const QString path = dir.filePath("a.ini");
        const QString other = dir.filePath("b.ini");
        const QByteArray first = QByteArray("Address=192.168.1.1\r\n").repeated(40);
        QByteArray second = first;
        second[100] = 'X';
        QVERIFY(writeFile(path, first));
        QVERIFY(writeFile(other, second));
        QVERIFY(xfer::setFileDate(path, QDateTime(QDate(2016, 1, 2), QTime(3, 4, 5))) == false);
        QVERIFY(xfer::setFileDate(other, QDateTime(QDate(2016, 1, 2), QTime(3, 4, 5))) == false);
        waitUntilSettled();

        compressedFileCache cache;
        QByteArray hex;
        xfer::readStamp stamp;
        QVERIFY(!cache.compressedFile(path, hex, stamp));
        QVERIFY(cache.contains(path));

        if (change == u"in place") {
            QVERIFY(overwriteKeepingTimes(path, second));
        } else if (change == u"rename") {
            QVERIFY(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()) == 0);
        } else {
            QVERIFY(QFile::remove(path));
            QVERIFY(writeFile(path, second));
            QVERIFY(xfer::setFileDate(path, QDateTime(QDate(2016, 1, 2), QTime(3, 4, 5))) == false);
        }
        QVERIFY(!cache.contains(path));
        xfer::readStamp changed;
        QVERIFY(!cache.compressedFile(path, hex, changed));
        QCOMPARE(hex, hexOfFile(path));
        QCOMPARE(cache.hits(), 0u);
        QCOMPARE(changed.modified, stamp.modified);
        // The old version's entry is gone, not merely shadowed.
        QVERIFY(cache.entries() <= 1);
        QVERIFY(cache.bytes() <= hex.size());
    }

    // Random accesses over files of several sizes, against a model of a
    // least-recently-used list under the same bound.
    void boundAndLeastRecentlyUsedOrder_data()
    {
        QTest::addColumn<int>("boundFiles"); // how many of the average file fit
        QTest::addColumn<quint32>("seed");
        QTest::newRow("two fit") << 2 << 1u;
        QTest::newRow("five fit") << 5 << 2u;
        QTest::newRow("none fits") << 0 << 3u;
    }
    void boundAndLeastRecentlyUsedOrder()
    {
        QFETCH(int, boundFiles);
        QFETCH(quint32, seed);
        QTemporaryDir dir;
        QStringList paths;
        QList<qsizetype> sizes;
        for (int i = 0; i < 8; ++i) {
            paths << dir.filePath(QStringLiteral("f%1.bin").arg(i));
            QVERIFY(writeFile(paths.last(), randomBytes(1000 + 700 * i, seed + quint32(i))));
            sizes << hexOfFile(paths.last()).size();
        }
        waitUntilSettled();
        const qint64 bound = boundFiles * (2 * 1000 + 2 * 700 * 4) + 100;
        compressedFileCache cache(bound);

        QList<int> model; // least recently used first
        const auto modelBytes = [&] {
            qint64 sum = 0;
            for (int i : model)
                sum += sizes[i];
            return sum;
        };
        QRandomGenerator rng(seed);
        for (int step = 0; step < 200; ++step) {
            const int i = int(rng.bounded(8));
            if (model.contains(i)) {
                model.removeOne(i);
                model.append(i);
            } else if (sizes[i] <= bound) {
                while (modelBytes() + sizes[i] > bound)
                    model.removeFirst();
                model.append(i);
            }
            QByteArray hex;
            xfer::readStamp stamp;
            QVERIFY(!cache.compressedFile(paths[i], hex, stamp));
            QCOMPARE(hex.size(), sizes[i]);
            QVERIFY2(cache.bytes() <= bound, qPrintable(QString::number(cache.bytes())));
            QCOMPARE(cache.bytes(), modelBytes());
            for (int f = 0; f < 8; ++f)
                QVERIFY2(cache.contains(paths[f]) == model.contains(f), qPrintable(QStringLiteral("step %1 file %2").arg(step).arg(f)));
        }
    }

    void dropForgetsTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.ini");
        QVERIFY(writeFile(path, "Enabled=1\r\n"));
        waitUntilSettled();
        compressedFileCache cache;
        QByteArray hex;
        xfer::readStamp stamp;
        QVERIFY(!cache.compressedFile(path, hex, stamp));
        cache.drop(dir.filePath("missing"));
        QCOMPARE(cache.entries(), 1);
        cache.drop(path);
        QCOMPARE(cache.entries(), 0);
        QCOMPARE(cache.bytes(), 0);
    }

    // Downloads, uploads and deletes through a running server.
    void servedThroughTheServer()
    {
        serverFixture fx(sessionLimits{});
        const QByteArray content = QByteArray("[Area1.Unit7]\r\nPort=5012\r\n").repeated(300);
        QByteArray changed = content;
        changed[17] = '9';
        for (const char *name : {"config/same.ini", "config/changed.ini", "config/uploaded.ini", "config/deleted.ini",
                                 "config/emptied.ini"})
            fx.makeFile(QStringLiteral("North/") + name, content);
        fx.makeFile("North/server_lock_list.txt",
                    "config/uploaded.ini=ops,127.0.0.1\r\nconfig/deleted.ini=ops,127.0.0.1\r\n"
                    "config/emptied.ini=ops,127.0.0.1\r\n");
        waitUntilSettled();
        compressedFileCache &cache = fx.server().compressedFiles();
        testPeer peer(fx.port());
        QVERIFY(peer.logIn("ops", "secret", "North"));
        const auto download = [&](const QByteArray &name) {
            peer.send("<download uid=\"d\" type=\"request\" system=\"North\" ><file name=\"" + name + "\" /></download>");
            QByteArray reply;
            while (!reply.endsWith("</download>\r\n")) {
                const QByteArray line = peer.readLine();
                if (line.isEmpty())
                    break;
                reply += line;
            }
            return reply;
        };
        const auto exchange = [&](const QByteArray &request, const QByteArray &last) {
            peer.send(request);
            QByteArray reply;
            while (!reply.endsWith(last)) {
                const QByteArray line = peer.readLine();
                if (line.isEmpty())
                    break;
                reply += line;
            }
            return reply;
        };

        const QByteArray first = download("config/same.ini");
        QCOMPARE(contentOfReply(first, content.size()), content);
        QCOMPARE(cache.misses(), 1u);
        QCOMPARE(download("config/same.ini"), first);
        QCOMPARE(cache.hits(), 1u);

        QVERIFY(!download("config/changed.ini").isEmpty());
        QVERIFY(overwriteKeepingTimes(fx.root() + "/North/config/changed.ini", changed));
        const QByteArray second = download("config/changed.ini");
        QCOMPARE(contentOfReply(second, changed.size()), changed);
        QCOMPARE(cache.hits(), 1u);

        for (const char *name : {"config/uploaded.ini", "config/deleted.ini", "config/emptied.ini"})
            QVERIFY(!download(name).isEmpty());
        const QString uploaded = fx.root() + "/North/config/uploaded.ini";
        const QString deleted = fx.root() + "/North/config/deleted.ini";
        const QString emptied = fx.root() + "/North/config/emptied.ini";
        QVERIFY(cache.contains(uploaded) && cache.contains(deleted) && cache.contains(emptied));
        const qsizetype before = cache.entries();

        const QByteArray packed = qCompress(changed).mid(4);
        QVERIFY(exchange("<upload uid=\"u\" type=\"request\" system=\"North\" ><file name=\"config/uploaded.ini\" size=\""
                             + QByteArray::number(changed.size()) + "\" date=\"2016-01-02T03:04:05\">"
                             + xfer::toHex(packed) + "</file></upload>",
                         "</upload>\r\n")
                    .contains("<file type=\"reply\" name=\"config/uploaded.ini\" />"));
        QCOMPARE(cache.entries(), before - 1);
        QVERIFY(exchange("<upload uid=\"u\" type=\"request\" system=\"North\" ><delete name=\"config/deleted.ini\" />"
                         "</upload>",
                         "</upload>\r\n")
                    .contains("<delete type=\"reply\" name=\"config/deleted.ini\" />"));
        QCOMPARE(cache.entries(), before - 2);
        // A file element without content: the peer no longer has the file.
        exchange("<upload uid=\"u\" type=\"request\" system=\"North\" ><file name=\"config/emptied.ini\" size=\"0\" "
                 "date=\"2016-01-02T03:04:05\"></file></upload>",
                 "</upload>\r\n");
        QCOMPARE(cache.entries(), before - 3);
        QVERIFY(!QFile::exists(emptied));
        QCOMPARE(contentOfReply(download("config/uploaded.ini"), changed.size()), changed);
    }
};

QTEST_GUILESS_MAIN(tst_compressedFileCache)
#include "tst_compressedFileCache.moc"
