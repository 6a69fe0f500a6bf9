#include "listingCache.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <utime.h>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

void setDate(const QString &path, qint64 secs)
{
    struct utimbuf times;
    times.actime = times.modtime = static_cast<time_t>(secs);
    ::utime(QFile::encodeName(path).constData(), &times);
}

using change = std::function<void(const QString &root)>;

} // namespace

Q_DECLARE_METATYPE(change)

// Kept listings never outlive a change to what they show.
class tst_keepyard_listings : public QObject
{
    Q_OBJECT

private slots:
    void changesAreSeenAtOnce_data()
    {
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<change>("mutate");
        QTest::newRow("new file") << true << change([](const QString &r) { writeFile(r + "/config/new.txt", "n"); });
        QTest::newRow("deleted file") << true << change([](const QString &r) { QFile::remove(r + "/config/a.xml"); });
        QTest::newRow("file date") << true << change([](const QString &r) { setDate(r + "/config/a.xml", 1500000000); });
        QTest::newRow("file rewritten in place") << true << change([](const QString &r) {
            QFile f(r + "/config/sub/deep/d.xml");
            f.open(QIODevice::Append);
            f.write("more");
            f.close();
            setDate(r + "/config/sub/deep/d.xml", 1600000000);
        });
        QTest::newRow("folder renamed") << true << change([](const QString &r) {
            QDir().rename(r + "/config/sub", r + "/config/moved");
        });
        QTest::newRow("deep file added") << true << change([](const QString &r) {
            writeFile(r + "/config/sub/deep/x.xml", "x");
        });
        QTest::newRow("flat: date of a shown folder") << false << change([](const QString &r) {
            setDate(r + "/config/sub", 1400000000);
        });
        QTest::newRow("flat: entry created in a shown folder") << false << change([](const QString &r) {
            writeFile(r + "/config/sub/y.xml", "y");
            setDate(r + "/config/sub", 1300000000);
        });
    }

    void changesAreSeenAtOnce()
    {
        QFETCH(bool, recursive);
        QFETCH(change, mutate);
        QTemporaryDir root;
        writeFile(root.filePath("config/a.xml"), "a");
        writeFile(root.filePath("config/sub/b.xml"), "b");
        writeFile(root.filePath("config/sub/deep/d.xml"), "d");
        for (const char *path : {"config/a.xml", "config/sub/b.xml", "config/sub/deep/d.xml", "config/sub/deep", "config/sub", "config"})
            setDate(root.filePath(path), 1431093839);

        listingCache cache;
        QVERIFY(cache.isWatching());
        QByteArray first;
        QVERIFY(cache.items(root.path(), "config", "", recursive, first));
        QByteArray again;
        QVERIFY(cache.items(root.path(), "config", "", recursive, again));
        QCOMPARE(again, first);
        QCOMPARE(cache.listings(), 1);

        mutate(root.path());
        QByteArray cached;
        QVERIFY(cache.items(root.path(), "config", "", recursive, cached));
        listingCache fresh;
        QByteArray expected;
        QVERIFY(fresh.items(root.path(), "config", "", recursive, expected));
        QVERIFY(expected != first);
        QCOMPARE(cached, expected);
    }

    // Renaming or replacing a folder above the listed one, up to the system
    // folder, makes the next listing show what is there now.
    void ancestorsRenamed_data()
    {
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<change>("mutate");
        QTest::newRow("listed folder moved away") << true << change([](const QString &r) {
            QDir().rename(r + "/North/config/areas", r + "/North/config/areas.old");
            writeFile(r + "/North/config/areas/new.xml", "n");
        });
        QTest::newRow("parent moved away") << true << change([](const QString &r) {
            QDir().rename(r + "/North/config", r + "/North/config.old");
            writeFile(r + "/North/config/areas/new.xml", "n");
        });
        QTest::newRow("system moved away") << false << change([](const QString &r) {
            QDir().rename(r + "/North", r + "/North.old");
            writeFile(r + "/North/config/areas/new.xml", "n");
        });
        QTest::newRow("parent replaced by a moved-in folder") << false << change([](const QString &r) {
            writeFile(r + "/other/areas/other.xml", "o");
            QDir().rename(r + "/North/config", r + "/North/config.old");
            QDir().rename(r + "/other", r + "/North/config");
        });
    }

    void ancestorsRenamed()
    {
        QFETCH(bool, recursive);
        QFETCH(change, mutate);
        QTemporaryDir root;
        writeFile(root.filePath("North/config/areas/a.xml"), "a");
        writeFile(root.filePath("North/config/areas/sub/b.xml"), "b");
        listingCache cache;
        const QString system = root.filePath("North");
        QByteArray first;
        QVERIFY(cache.items(system, "config/areas", "", recursive, first));
        QVERIFY(first.contains(">a.xml<"));
        // Busy siblings on the way down do not make the listing stale.
        writeFile(root.filePath("North/server_lock_list.txt"), "x");
        writeFile(root.filePath("North/config/other.txt"), "x");
        QByteArray kept;
        QVERIFY(cache.items(system, "config/areas", "", recursive, kept));
        QCOMPARE(cache.listings(), 1);

        mutate(root.path());
        QByteArray now;
        QVERIFY(cache.items(system, "config/areas", "", recursive, now));
        listingCache fresh;
        QByteArray expected;
        QVERIFY(fresh.items(system, "config/areas", "", recursive, expected));
        QVERIFY(!now.contains(">a.xml<"));
        QCOMPARE(now, expected);
    }

    // Watches go with the listings they serve.
    void watchesAreReleased()
    {
        QTemporaryDir root;
        writeFile(root.filePath("North/config/a/x.xml"), "x");
        writeFile(root.filePath("North/config/b/y.xml"), "y");
        listingCache cache;
        QByteArray out;
        QVERIFY(cache.items(root.filePath("North"), "config/a", "", true, out));
        QVERIFY(cache.items(root.filePath("North"), "config", "", true, out));
        const qsizetype both = cache.watches();
        QVERIFY(both >= 4);
        // A change below config/b leaves only the listing of config/a.
        writeFile(root.filePath("North/config/b/z.xml"), "z");
        QVERIFY(!cache.items(root.filePath("North"), "missing", "", false, out));
        QCOMPARE(cache.listings(), 1);
        QVERIFY(cache.watches() < both);
        QFile::remove(root.filePath("North/config/a/x.xml"));
        QVERIFY(!cache.items(root.filePath("North"), "missing", "", false, out));
        QCOMPARE(cache.listings(), 0);
        QCOMPARE(cache.watches(), 0);
        // Listings that cannot be listed keep no watches either.
        QVERIFY(!cache.items(root.filePath("North"), "missing/deeper", "", false, out));
        QCOMPARE(cache.watches(), 0);
    }

    // A folder the kernel will not watch is read at every request.
    void refusedWatchMeansNoCaching()
    {
        struct refusing : listingCache
        {
            int watchFolder(const QString &folder) override
            {
                return folder.endsWith(QLatin1String("/config")) ? -1 : listingCache::watchFolder(folder);
            }
        } cache;
        QTemporaryDir root;
        writeFile(root.filePath("North/config/areas/a.xml"), "a");
        QByteArray out;
        QVERIFY(cache.items(root.filePath("North"), "config/areas", "", false, out));
        QCOMPARE(cache.listings(), 0);
        QCOMPARE(cache.watches(), 0);
        QDir().rename(root.filePath("North/config"), root.filePath("North/config.old"));
        writeFile(root.filePath("North/config/areas/b.xml"), "b");
        QByteArray now;
        QVERIFY(cache.items(root.filePath("North"), "config/areas", "", false, now));
        QVERIFY(now.contains(">b.xml<") && !now.contains(">a.xml<"));
    }

    void filtersAndPathsAreKeptApart()
    {
        QTemporaryDir root;
        writeFile(root.filePath("config/a.xml"), "a");
        writeFile(root.filePath("config/b.ini"), "b");
        listingCache cache;
        QByteArray xml;
        QByteArray ini;
        QByteArray slash;
        QVERIFY(cache.items(root.path(), "config", "*.XML", false, xml));
        QVERIFY(cache.items(root.path(), "config", "*.ini", false, ini));
        QVERIFY(cache.items(root.path(), "/config", "", false, slash));
        QVERIFY(xml.contains(">a.xml<") && !xml.contains("b.ini"));
        QVERIFY(ini.contains(">b.ini<") && !ini.contains("a.xml"));
        QVERIFY(slash.contains("path=\"/config\""));
        QCOMPARE(cache.listings(), 3);
        QByteArray none;
        QVERIFY(!cache.items(root.path(), "missing", "", false, none));
        writeFile(root.filePath("missing/now.txt"), "");
        QVERIFY(cache.items(root.path(), "missing", "", false, none));
    }
};

QTEST_GUILESS_MAIN(tst_keepyard_listings)
#include "tst_keepyard_listings.moc"
