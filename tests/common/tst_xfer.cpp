#include "hexBuffer.h"
#include "xfer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <zlib.h>

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
    QCOMPARE(f.write(content), content.size());
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator gen(42);
    for (char &c : bytes)
        c = char(gen.bounded(256));
    return bytes;
}

QByteArray hexOf(const QByteArray &content)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("in");
    writeFile(path, content);
    QByteArray hex;
    if (xfer::compressFile(path, hex))
        return QByteArray();
    return hex;
}

} // namespace

Q_DECLARE_METATYPE(xfer::flush)

class tst_xfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("tavex.*.debug=true"));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("text") << QByteArray("[System]\r\nName=North\r\n").repeated(500);
        QTest::newRow("binary with zeros") << QByteArray("\0\1\2\0\xff", 5).repeated(1000);
        QTest::newRow("incompressible 1 MB") << randomBytes(1024 * 1024);
    }

    void roundTrip()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString source = dir.filePath("source.bin");
        writeFile(source, content);

        QByteArray hex;
        QVERIFY(!xfer::compressFile(source, hex));
        QVERIFY(!hex.isEmpty());
        QCOMPARE(hex.size() % 2, 0);
        for (char c : hex)
            QVERIFY(QByteArrayView("0123456789ABCDEF").contains(c));

        QString error;
        const QString folder = dir.filePath("target");
        QVERIFY(!xfer::saveCompressedFile(QByteArrayView(hex), content.size(), folder, "new/sub/copy.bin", &error));
        QVERIFY(error.isEmpty());
        QCOMPARE(readAll(folder + "/new/sub/copy.bin"), content);

        // The same from text that arrived as XML character data.
        QVERIFY(!xfer::saveCompressedFile(QStringView(QString::fromLatin1(hex)), content.size(), folder, "again.bin"));
        QCOMPARE(readAll(folder + "/again.bin"), content);
    }

    // Our streams are ordinary zlib streams, and zlib's are ours: byte for
    // byte both ways, whatever zlib's level.
    void zlibInterop_data()
    {
        QTest::addColumn<QByteArray>("content");
        QByteArray mixed;
        for (int i = 0; mixed.size() < 10 * 1024 * 1024; ++i)
            mixed += i % 3 ? QByteArray("<point id=\"%1\" limit=\"80\"/>\r\n").replace("%1", QByteArray::number(i))
                           : randomBytes(512 + i % 700);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("tiny") << QByteArray("1");
        QTest::newRow("text") << QByteArray("[Valve]\r\nName=Outlet valve V1\r\n").repeated(300);
        QTest::newRow("incompressible") << randomBytes(300 * 1024);
        QTest::newRow("10 MB mixed") << mixed;
    }

    void zlibInterop()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        writeFile(dir.filePath("in"), content);
        QByteArray hex;
        QVERIFY(!xfer::compressFile(dir.filePath("in"), hex));
        QByteArray ours;
        xfer::appendFromHex(QByteArrayView(hex), ours);
        QByteArray unpacked(content.size(), '\0');
        uLongf produced = uLongf(content.size());
        Bytef empty = 0;
        QCOMPARE(uncompress(content.isEmpty() ? &empty : reinterpret_cast<Bytef *>(unpacked.data()), &produced,
                            reinterpret_cast<const Bytef *>(ours.constData()), uLong(ours.size())),
                 Z_OK);
        QCOMPARE(qsizetype(produced), content.size());
        QVERIFY(unpacked == content);

        for (int level : {1, 6, 9}) {
            uLongf size = compressBound(uLong(content.size()));
            QByteArray theirs(qsizetype(size), Qt::Uninitialized);
            QCOMPARE(compress2(reinterpret_cast<Bytef *>(theirs.data()), &size,
                               reinterpret_cast<const Bytef *>(content.constData()), uLong(content.size()), level),
                     Z_OK);
            theirs.truncate(qsizetype(size));
            QString error;
            QVERIFY(!xfer::saveCompressedBytes(theirs, content.size(), dir.path(), "out", &error, xfer::flush::byKernel));
            QVERIFY(readAll(dir.filePath("out")) == content);
        }
    }

    // A damaged stream is answered as zlib's uncompress answers it: the
    // same acceptance and the same words.
    void damagedStreamsAsZlibSaysThem()
    {
        const QByteArray content = QByteArray("some configuration text ").repeated(200) + randomBytes(300);
        QByteArray stream;
        xfer::appendFromHex(QByteArrayView(hexOf(content)), stream);
        QList<std::pair<QByteArray, qint64>> cases;
        for (qsizetype cut : {qsizetype(1), qsizetype(2), qsizetype(4), qsizetype(5), stream.size() / 2, stream.size() - 2})
            cases.append({stream.left(stream.size() - cut), content.size()});
        for (qsizetype at : {qsizetype(0), qsizetype(1), qsizetype(7), stream.size() / 3, stream.size() - 1}) {
            QByteArray flipped = stream;
            flipped[at] = char(flipped[at] ^ 0x55);
            cases.append({flipped, content.size()});
        }
        cases.append({stream + "trailing bytes", content.size()});
        cases.append({stream, content.size() + 10});
        cases.append({stream, content.size() - 1});
        cases.append({QByteArray("\x78\xbb\0\0\0\0\0", 7), content.size()}); // asks for a dictionary
        QTemporaryDir dir;
        for (const auto &[bytes, size] : std::as_const(cases)) {
            QByteArray expected(qMax<qint64>(size, 1), '\0');
            uLongf produced = uLongf(size);
            const int rc = uncompress(reinterpret_cast<Bytef *>(expected.data()), &produced,
                                      reinterpret_cast<const Bytef *>(bytes.constData()), uLong(bytes.size()));
            QString error;
            const bool failed = xfer::saveCompressedBytes(bytes, size, dir.path(), "out", &error, xfer::flush::byKernel);
            QCOMPARE(failed, rc != Z_OK);
            if (rc == Z_OK) {
                QCOMPARE(readAll(dir.filePath("out")), expected.left(qsizetype(produced)));
            } else {
                QCOMPARE(error, rc == Z_BUF_ERROR ? QStringLiteral("Z_BUF_ERROR - uncompress error")
                                                  : QStringLiteral("Z_DATA_ERROR - uncompress error"));
            }
        }
    }

    void emptyFileTravelsAsShortHex()
    {
        const QByteArray hex = hexOf(QByteArray());
        QVERIFY(!hex.isEmpty());
        QByteArray bytes;
        xfer::appendFromHex(QByteArrayView(hex), bytes);
        QCOMPARE(bytes.size() * 2, hex.size());
    }

    void unreadableSourceLeavesHexAlone()
    {
        QByteArray hex("kept");
        QVERIFY(xfer::compressFile("/nonexistent/file", hex));
        QCOMPARE(hex, QByteArray("kept"));
        QTemporaryDir dir;
        QVERIFY(xfer::compressFile(dir.path(), hex)); // a folder is not a file
        QCOMPARE(hex, QByteArray("kept"));
    }

    void failures_data()
    {
        const QByteArray content = QByteArray("some configuration text ").repeated(200);
        const QByteArray hex = hexOf(content);
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("error");
        QTest::newRow("size one byte short") << hex << qint64(content.size() - 1)
                                             << "Z_BUF_ERROR - uncompress error";
        QTest::newRow("hex from the middle of a stream") << hex.mid(20) << qint64(content.size())
                                                         << "Z_DATA_ERROR - uncompress error";
        QTest::newRow("not hexadecimal") << QByteArray("ZZ").repeated(40) << qint64(content.size())
                                         << "Z_DATA_ERROR - uncompress error";
        QTest::newRow("truncated stream") << hex.left(hex.size() - 10) << qint64(content.size())
                                          << "Z_BUF_ERROR - uncompress error";
        QTest::newRow("no content") << QByteArray() << qint64(content.size()) << "Z_DATA_ERROR - uncompress error";
        QTest::newRow("size above the limit") << hex << xfer::maxUncompressedSize + 1
                                              << QStringLiteral("File size %1 is outside the transfer limit of %2 bytes")
                                                     .arg(xfer::maxUncompressedSize + 1)
                                                     .arg(xfer::maxUncompressedSize);
        QTest::newRow("negative size") << hex << qint64(-1)
                                       << QStringLiteral("File size -1 is outside the transfer limit of %1 bytes")
                                              .arg(xfer::maxUncompressedSize);
    }

    void failures()
    {
        QFETCH(QByteArray, hex);
        QFETCH(qint64, size);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString existing = dir.filePath("keep/file.txt");
        xfer::makePath(existing);
        writeFile(existing, "previous version");

        QString text;
        QVERIFY(xfer::saveCompressedFile(QByteArrayView(hex), size, dir.path(), "new.txt", &text));
        QCOMPARE(text, error);
        QVERIFY(!QFile::exists(dir.filePath("new.txt")));
        // A failed transfer over an existing file leaves it as it was.
        QVERIFY(xfer::saveCompressedFile(QByteArrayView(hex), size, dir.path(), "keep/file.txt"));
        QCOMPARE(readAll(existing), QByteArray("previous version"));
    }

    void readOnlyTarget()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath("ro.txt");
        writeFile(target, "old");
        QVERIFY(QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        QString error;
        QVERIFY(xfer::saveCompressedFile(QByteArrayView(hexOf("new")), 3, dir.path(), "ro.txt", &error));
        QCOMPARE(error, QStringLiteral("Cannot open output file for writing"));
        QCOMPARE(readAll(target), QByteArray("old"));

        QDir().mkpath(dir.filePath("adir"));
        QVERIFY(xfer::saveCompressedFile(QByteArrayView(hexOf("new")), 3, dir.path(), "adir", &error));
        QCOMPARE(error, QStringLiteral("Cannot open output file for writing"));
    }

    void writeModes_data()
    {
        QTest::addColumn<xfer::flush>("mode");
        QTest::newRow("to disk") << xfer::flush::toDisk;
        QTest::newRow("by kernel") << xfer::flush::byKernel;
    }

    // Both ways of writing replace whole files, keep the permissions of the
    // file they replace, give new files the usual ones and leave nothing else.
    void writeModes()
    {
        QFETCH(xfer::flush, mode);
        QTemporaryDir dir;
        const QByteArray packed = QByteArray::fromHex(hexOf("new"));
        const QString target = dir.filePath("script.sh");
        writeFile(target, "old");
        const auto perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QVERIFY(QFile::setPermissions(target, perms));
        QVERIFY(!xfer::saveCompressedBytes(packed, 3, dir.path(), "script.sh", nullptr, mode));
        QCOMPARE(readAll(target), QByteArray("new"));
        const auto ownerBits = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QCOMPARE(QFileInfo(target).permissions() & ownerBits, perms);

        const mode_t mask = ::umask(022);
        QVERIFY(!xfer::saveCompressedBytes(packed, 3, dir.path(), "sub/fresh.txt", nullptr, mode));
        ::umask(mask);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(dir.filePath("sub/fresh.txt")).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0644));

        const QString readOnly = dir.filePath("ro.txt");
        writeFile(readOnly, "old");
        QVERIFY(QFile::setPermissions(readOnly, QFileDevice::ReadOwner));
        QString error;
        QVERIFY(xfer::saveCompressedBytes(packed, 3, dir.path(), "ro.txt", &error, mode));
        QCOMPARE(error, QStringLiteral("Cannot open output file for writing"));
        QCOMPARE(readAll(readOnly), QByteArray("old"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
        QCOMPARE(QDir(dir.filePath("sub")).entryList(QDir::Files | QDir::Hidden), QStringList{"fresh.txt"});
    }

    void hexText_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("upper") << QByteArray("00FF7A10") << QByteArray("\x00\xff\x7a\x10", 4);
        QTest::newRow("lower accepted") << QByteArray("ab0c") << QByteArray("\xab\x0c", 2);
        QTest::newRow("odd trailing digit ignored") << QByteArray("414") << QByteArray("A");
        QTest::newRow("bad first digit reads 0") << QByteArray("G1") << QByteArray("\0", 1);
        QTest::newRow("bad second digit reads the first") << QByteArray("1G") << QByteArray("\x01", 1);
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }

    void hexText()
    {
        QFETCH(QByteArray, hex);
        QFETCH(QByteArray, bytes);
        QByteArray out("pre");
        xfer::appendFromHex(QByteArrayView(hex), out);
        QCOMPARE(out, "pre" + bytes);
        QByteArray fromText;
        xfer::appendFromHex(QStringView(QString::fromLatin1(hex)), fromText);
        QCOMPARE(fromText, bytes);
    }

    void hexEncodingIsUpperCase()
    {
        QCOMPARE(xfer::toHex(QByteArrayView("\x00\x0f\xa0\xff", 4)), QByteArray("000FA0FF"));
        const QByteArray all = randomBytes(4096);
        QByteArray back;
        xfer::appendFromHex(QByteArrayView(xfer::toHex(all)), back);
        QCOMPARE(back, all);
    }

    // Hex text arriving in pieces of any length decodes as a whole would.
    void hexBufferAcrossPieces()
    {
        const QByteArray bytes = randomBytes(999);
        const QString hex = QString::fromLatin1(xfer::toHex(bytes));
        for (qsizetype piece : {1, 3, 64, 1998}) {
            hexBuffer buffer;
            for (qsizetype at = 0; at < hex.size(); at += piece)
                buffer.append(QStringView(hex).mid(at, piece));
            QCOMPARE(buffer.bytes(), bytes);
            QCOMPARE(buffer.textLength(), hex.size());
        }

        hexBuffer small(10);
        QVERIFY(small.isEmpty());
        small.append(u"0102030405");
        QVERIFY(!small.overflowed());
        small.append(u"06");
        QVERIFY(small.overflowed());
        QVERIFY(small.bytes().isEmpty());
        small.clear();
        QVERIFY(small.isEmpty() && !small.overflowed());
        small.append(u"");
        QVERIFY(small.isEmpty());
    }

    void setFileDate()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("dated.txt");
        writeFile(path, "content");
        const QDateTime when(QDate(2015, 5, 8), QTime(14, 3, 59));
        QVERIFY(!xfer::setFileDate(path, when));
        QCOMPARE(QFileInfo(path).lastModified(), when);
        QCOMPARE(readAll(path), QByteArray("content"));

        // Either separator is accepted.
        const QDateTime later = when.addDays(1);
        QVERIFY(!xfer::setFileDate(QString(path).replace('/', '\\'), later));
        QCOMPARE(QFileInfo(path).lastModified(), later);

        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("couldn't open file %1 to set date ")
                                                        .arg(dir.filePath("missing.txt"))));
        QVERIFY(xfer::setFileDate(dir.filePath("missing.txt"), when));
    }

    void renameToBackup()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("a.cfg");
        writeFile(path, "one");
        QVERIFY(!xfer::renameToBackup(path));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(readAll(path + ".tavex_configbackup"), QByteArray("one"));

        // An existing backup stays; the file stays where it was.
        writeFile(path, "two");
        QVERIFY(!xfer::renameToBackup(path));
        QCOMPARE(readAll(path), QByteArray("two"));
        QCOMPARE(readAll(path + ".tavex_configbackup"), QByteArray("one"));
        QVERIFY(!xfer::renameToBackup(dir.filePath("missing")));
    }

    void makePathCreatesEveryFolder()
    {
        QTemporaryDir dir;
        xfer::makePath(dir.filePath("a/b/c/file.txt"));
        QVERIFY(QFileInfo(dir.filePath("a/b/c")).isDir());
        QVERIFY(!QFile::exists(dir.filePath("a/b/c/file.txt")));
        xfer::makePath(dir.filePath("a/b/c/file.txt")); // existing folders are fine
    }
};

QTEST_GUILESS_MAIN(tst_xfer)
#include "tst_xfer.moc"
