#include "filelist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <fcntl.h>
#include <sys/stat.h>
#include <utime.h>

namespace {

const QDateTime base(QDate(2015, 5, 8), QTime(14, 3, 59));

void makeFile(const QString &path, const QByteArray &content, const QDateTime &when = base)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    struct utimbuf times;
    times.actime = times.modtime = static_cast<time_t>(when.toSecsSinceEpoch());
    QCOMPARE(::utime(QFile::encodeName(path).constData(), &times), 0);
}

QStringList names(const QList<file> &files)
{
    QStringList result;
    for (const file &f : files)
        result << f.name;
    return result;
}

filelist listOf(const QList<file> &entries)
{
    filelist list;
    list.entries = entries;
    list.setValid();
    return list;
}

} // namespace

class tst_filelist : public QObject
{
    Q_OBJECT

private slots:
    void scanListsFoldersBeforeTheirContents()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        makeFile(root + "/b.txt", "bb");
        makeFile(root + "/A.txt", "a");
        makeFile(root + "/sub/Z.cfg", "zzz");
        makeFile(root + "/sub/deep/x.xml", "x");
        makeFile(root + "/.hidden", "h");
        QDir().mkpath(root + "/empty");

        filelist list;
        list.scan(root);
        QVERIFY(list.isValid());
        QCOMPARE(names(list.entries),
                 QStringList({"A.txt", "b.txt", "empty", "sub", "sub/deep", "sub/deep/x.xml", "sub/Z.cfg"}));
        const file &a = list.entries.at(0);
        QCOMPARE(a.size, 1);
        QCOMPARE(a.modified, base);
        const file &empty = list.entries.at(2);
        QVERIFY(empty.modified.isNull());
        QCOMPARE(empty.size, 0);
    }

    void scanOfARelativeFolderKeepsThePrefix()
    {
        QTemporaryDir dir;
        makeFile(dir.path() + "/config/plugins/p.so", "p");
        filelist list;
        list.scan(dir.path(), "config");
        QCOMPARE(names(list.entries), QStringList({"config/plugins", "config/plugins/p.so"}));
    }

    void scanDropsSubSecondTimes()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + "/f";
        makeFile(path, "x");
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(base.toSecsSinceEpoch());
        times[0].tv_nsec = times[1].tv_nsec = 700000000;
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        filelist list;
        list.scan(dir.path());
        QCOMPARE(list.entries.at(0).modified, base);
    }

    void missingRootIsInvalidAndWritesNothing()
    {
        filelist list;
        list.scan("/nonexistent/tavex/root");
        QVERIFY(!list.isValid());
        QVERIFY(list.entries.isEmpty());
        QString text;
        QTextStream out(&text);
        list.write(out);
        out.flush();
        QVERIFY(text.isEmpty());
        QVERIFY(list.toData().isEmpty());
    }

    void exclusions()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        makeFile(root + "/Skip.me", "1");
        makeFile(root + "/sub/skip.me", "1");
        makeFile(root + "/keep.bak", "1");
        makeFile(root + "/sub/old.bak", "1");
        makeFile(root + "/tmp_file", "1");
        makeFile(root + "/sub/my_tmp_x", "1");
        makeFile(root + "/sub/keep.txt", "1");

        filelist list;
        list.addExcludedName("skip.me");
        list.addExclusion("*.bak", true);
        list.addExclusion("tmp_", false);
        list.scan(root);
        // The excluded name counts at the top level only; patterns at every depth,
        // wildcards over the whole name, other patterns anywhere in it.
        QCOMPARE(names(list.entries), QStringList({"sub", "sub/keep.txt", "sub/skip.me"}));
    }

    void compare_data()
    {
        QTest::addColumn<QList<file>>("master");
        QTest::addColumn<QList<file>>("slave");
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QStringList>("changed");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QStringList>("unchanged");

        const auto f = [](const QString &name, int secs, qint64 size) { return file{name, base.addSecs(secs), size}; };
        const auto d = [](const QString &name) { return file{name, QDateTime(), 0}; };

        QTest::newRow("names match without regard to case")
            << QList<file>{f("A.txt", 0, 5)} << QList<file>{f("a.TXT", 0, 5)}
            << QStringList() << QStringList() << QStringList() << QStringList({"A.txt"});
        for (int secs : {1, 2, -1, -2}) {
            QTest::newRow(qPrintable(QStringLiteral("%1 s apart is no change").arg(secs)))
                << QList<file>{f("a", 0, 5)} << QList<file>{f("a", secs, 5)}
                << QStringList() << QStringList() << QStringList() << QStringList();
        }
        for (int secs : {3, -3, 3600}) {
            QTest::newRow(qPrintable(QStringLiteral("%1 s apart is a change").arg(secs)))
                << QList<file>{f("a", 0, 5)} << QList<file>{f("a", secs, 5)}
                << QStringList() << QStringList({"a"}) << QStringList() << QStringList();
        }
        QTest::newRow("same date, other size")
            << QList<file>{f("a", 0, 5)} << QList<file>{f("a", 0, 6)}
            << QStringList() << QStringList({"a"}) << QStringList() << QStringList();
        QTest::newRow("1 s apart and other size is in no list")
            << QList<file>{f("a", 0, 5)} << QList<file>{f("a", 1, 6)}
            << QStringList() << QStringList() << QStringList() << QStringList();
        QTest::newRow("folders on both sides are unchanged")
            << QList<file>{d("sub")} << QList<file>{d("SUB")}
            << QStringList() << QStringList() << QStringList() << QStringList({"sub"});
        QTest::newRow("folder against file is a change")
            << QList<file>{d("x")} << QList<file>{f("x", 0, 0)}
            << QStringList() << QStringList({"x"}) << QStringList() << QStringList();
        QTest::newRow("added and removed, removed in lower case")
            << QList<file>{f("New.txt", 0, 1), d("Dir")} << QList<file>{f("Old.TXT", 0, 1), d("OnlySlave")}
            << QStringList({"New.txt", "Dir"}) << QStringList() << QStringList({"old.txt", "onlyslave"})
            << QStringList();
        QTest::newRow("duplicate names match in order")
            << QList<file>{f("a", 0, 1), f("A", 0, 2), f("a", 0, 3)} << QList<file>{f("a", 0, 1), f("a", 0, 9)}
            << QStringList({"a"}) << QStringList({"A"}) << QStringList() << QStringList({"a"});
        QTest::newRow("empty lists") << QList<file>{} << QList<file>{}
            << QStringList() << QStringList() << QStringList() << QStringList();
    }

    void compare()
    {
        QFETCH(QList<file>, master);
        QFETCH(QList<file>, slave);
        filelist m = listOf(master);
        const filelist s = listOf(slave);
        m.compare(s, false);
        QTEST(names(m.added), "added");
        QTEST(names(m.changed), "changed");
        QTEST(names(m.removed), "removed");
        QTEST(names(m.unchanged), "unchanged");

        filelist skipping = listOf(master);
        skipping.compare(s, true);
        QVERIFY(skipping.unchanged.isEmpty());
        QCOMPARE(names(skipping.changed), names(m.changed));
    }

    void compareRunsAgainOnFreshLists()
    {
        filelist m = listOf({file{"a", base, 1}});
        const filelist s = listOf({});
        m.compare(s, false);
        m.compare(s, false);
        QCOMPARE(m.added.size(), 1);
    }

    void writeEscapesNames()
    {
        filelist list = listOf({file{"a&b<c>.xml", base, 12}, file{"dir \"q\" 'x'", QDateTime(), 0}});
        QString text;
        QTextStream out(&text);
        list.write(out);
        out.flush();
        const QString expected = QStringLiteral(
            "\t<data name=\"a&amp;b&lt;c&gt;.xml\" date=\"2015-05-08T14:03:59\" size=\"12\"/>\r\n"
            "\t<data name=\"dir &quot;q&quot; &apos;x&apos;\" date=\"\" size=\"0\"/>\r\n");
        QCOMPARE(text, expected);
        QCOMPARE(list.toData(), expected.toUtf8());
        // Writing twice gives the same lines: the list itself is not changed.
        QCOMPARE(list.toData(), expected.toUtf8());
    }
};

QTEST_GUILESS_MAIN(tst_filelist)
#include "tst_filelist.moc"
