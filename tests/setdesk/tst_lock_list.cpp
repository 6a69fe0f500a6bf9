#include "clientFolder.h"
#include "lock_list.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>

namespace {

const QString plant = QStringLiteral("Plant");
// A line every load drops, so a file that still has it was not rewritten.
const QByteArray junkLine = "a line without a separator\r\n";

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

QByteArray fileOf(const QStringList &lines)
{
    QByteArray content;
    for (const QString &line : lines)
        content += line.toUtf8() + "\r\n";
    return content;
}

QStringList linesOf(const QList<pair> &pairs)
{
    QStringList lines;
    for (const pair &lock : pairs)
        lines.append(lock.key + QLatin1Char(',') + lock.path);
    return lines;
}

} // namespace

class tst_lock_list : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QLoggingCategory::setFilterRules(QStringLiteral("tavex.setdesk.debug=true"));
    }

    void init()
    {
        m_client = std::make_unique<QTemporaryDir>();
        QVERIFY(m_client->isValid());
        clientFolder::setOverride(m_client->path());
        m_file = lock_list::filePath(plant);
    }

    void cleanup()
    {
        // Every handle of a test is gone, so the next one loads afresh.
        QCOMPARE(lock_list::handleCount(), 0);
        clientFolder::setOverride(QString());
    }

    void clientFolderPlaces_data()
    {
        QTest::addColumn<QByteArray>("temp");
        QTest::addColumn<QString>("expected");
        QTest::newRow("TEMP set") << QByteArray("/var/tmp/user7") << "/var/tmp/user7/Tarnwell/ConfigurationClient";
        QTest::newRow("TEMP with a trailing separator")
            << QByteArray("/var/tmp/user7/") << "/var/tmp/user7/Tarnwell/ConfigurationClient";
        QTest::newRow("TEMP in Windows form") << QByteArray("C:\\Temp") << "C:/Temp/Tarnwell/ConfigurationClient";
        QTest::newRow("TEMP unset: the user's cache")
            << QByteArray() << QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                                   + "/Tarnwell/ConfigurationClient";
    }

    void clientFolderPlaces()
    {
        QFETCH(QByteArray, temp);
        const QByteArray saved = qgetenv("TEMP");
        const bool wasSet = qEnvironmentVariableIsSet("TEMP");
        if (temp.isEmpty())
            qunsetenv("TEMP");
        else
            qputenv("TEMP", temp);
        clientFolder::setOverride(QString());
        const QString folder = clientFolder::path();
        if (wasSet)
            qputenv("TEMP", saved);
        else
            qunsetenv("TEMP");
        QTEST(folder, "expected");
    }

    void filePaths_data()
    {
        QTest::addColumn<QString>("system");
        QTest::addColumn<QString>("below"); // empty: no file
        QTest::newRow("plain name") << "Plant" << "/lockLists/Plant/lock_list.txt";
        QTest::newRow("blank in name") << "Plant B" << "/lockLists/Plant B/lock_list.txt";
        QTest::newRow("leads upwards") << "../Plant" << QString();
        QTest::newRow("absolute") << "/etc" << QString();
    }

    void filePaths()
    {
        QFETCH(QString, system);
        QFETCH(QString, below);
        const QString path = lock_list::filePath(system);
        QCOMPARE(path, below.isEmpty() ? QString() : m_client->path() + below);
        if (!below.isEmpty())
            return;
        // Such a list is kept, but never touches the disk.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("locks are kept in memory only"));
        {
            lock_list locks(system);
            QVERIFY(locks.add("p1", "cfg/a.txt"));
            QVERIFY(locks.isLocked("cfg/a.txt"));
        }
        QCOMPARE(QDir(m_client->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void lockedBy_data()
    {
        QTest::addColumn<QStringList>("held");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("lockedBy");
        QTest::addColumn<bool>("locked");
        QTest::addColumn<QString>("debugLine");
        QTest::newRow("folder held by the key") << QStringList{"p1,cfg/a"} << "p1" << "cfg/a/b.txt" << true << false
                                                << "LL: starts with: cfg/a/ key=p1";
        QTest::newRow("folder held by another key")
            << QStringList{"p2,cfg/a"} << "p1" << "cfg/a/b.txt" << false << false << QString();
        QTest::newRow("held name only starts alike")
            << QStringList{"p1,cfg/ab"} << "p1" << "cfg/a/b.txt" << false << false << QString();
        QTest::newRow("asked name only starts alike")
            << QStringList{"p1,cfg/a"} << "p1" << "cfg/ab.txt" << false << false << QString();
        QTest::newRow("exact file") << QStringList{"p2,cfg/x", "p1,cfg/a/b.txt"} << "p1" << "cfg/a/b.txt" << true
                                    << true << "LL: exact match";
        QTest::newRow("exact file, other key")
            << QStringList{"p2,cfg/a/b.txt"} << "p1" << "cfg/a/b.txt" << false << true << QString();
        QTest::newRow("two levels below") << QStringList{"p1,cfg"} << "p1" << "cfg/a/b.txt" << true << false
                                          << "LL: starts with: cfg/ key=p1";
        QTest::newRow("folder above the held file")
            << QStringList{"p1,cfg/a/b.txt"} << "p1" << "cfg/a" << false << false << QString();
        QTest::newRow("case of the path counts")
            << QStringList{"p1,Cfg/a"} << "p1" << "cfg/a/b.txt" << false << false << QString();
        QTest::newRow("case of the key counts")
            << QStringList{"P1,cfg/a/b.txt"} << "p1" << "cfg/a/b.txt" << false << true << QString();
        QTest::newRow("empty list") << QStringList() << "p1" << "cfg/a" << false << false << QString();
    }

    void lockedBy()
    {
        QFETCH(QStringList, held);
        QFETCH(QString, key);
        QFETCH(QString, path);
        QFETCH(QString, debugLine);
        writeFile(m_file, fileOf(held));
        lock_list locks(plant);
        QCOMPARE(linesOf(locks.pairs()), held);
        if (!debugLine.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, debugLine.toUtf8());
        QTEST(locks.isLockedBy(key, path), "lockedBy");
        QTEST(locks.isLocked(path), "locked");
    }

    void add_data()
    {
        QTest::addColumn<QStringList>("held");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("appended") << QStringList{"p2,cfg/x"} << "p1" << "cfg/a.txt" << true
                                  << QStringList{"p2,cfg/x", "p1,cfg/a.txt"};
        QTest::newRow("inside a folder the key holds")
            << QStringList{"p1,cfg/a"} << "p1" << "cfg/a/b.txt" << true << QStringList{"p1,cfg/a"};
        QTest::newRow("inside a folder another key holds")
            << QStringList{"p2,cfg/a"} << "p1" << "cfg/a/b.txt" << true << QStringList{"p2,cfg/a", "p1,cfg/a/b.txt"};
        QTest::newRow("same lock again") << QStringList{"p1,cfg/a.txt"} << "p1" << "cfg/a.txt" << true
                                         << QStringList{"p1,cfg/a.txt"};
        QTest::newRow("same path, other key") << QStringList{"p1,cfg/a.txt"} << "p2" << "cfg/a.txt" << true
                                              << QStringList{"p1,cfg/a.txt", "p2,cfg/a.txt"};
        QTest::newRow("folder above a held file") << QStringList{"p1,cfg/a/b.txt"} << "p1" << "cfg/a" << true
                                                  << QStringList{"p1,cfg/a/b.txt", "p1,cfg/a"};
        QTest::newRow("empty key") << QStringList{"p1,cfg/x"} << "" << "cfg/a.txt" << false << QStringList{"p1,cfg/x"};
        QTest::newRow("empty path") << QStringList{"p1,cfg/x"} << "p1" << "" << false << QStringList{"p1,cfg/x"};
        QTest::newRow("comma in path") << QStringList{"p1,cfg/x"} << "p1" << "cfg/a,b.txt" << false
                                       << QStringList{"p1,cfg/x"};
        QTest::newRow("comma in key") << QStringList{"p1,cfg/x"} << "p,1" << "cfg/a.txt" << false
                                      << QStringList{"p1,cfg/x"};
        QTest::newRow("line break in path") << QStringList{"p1,cfg/x"} << "p1" << "cfg/a\nb.txt" << false
                                            << QStringList{"p1,cfg/x"};
        QTest::newRow("carriage return in key") << QStringList{"p1,cfg/x"} << "p1\r" << "cfg/a.txt" << false
                                                << QStringList{"p1,cfg/x"};
    }

    void add()
    {
        QFETCH(QStringList, held);
        QFETCH(QString, key);
        QFETCH(QString, path);
        QFETCH(QStringList, after);
        writeFile(m_file, fileOf(held) + junkLine);
        {
            lock_list locks(plant);
            QTEST(locks.add(key, path), "accepted");
            QCOMPARE(linesOf(locks.pairs()), after);
        }
        // Every add marks the list changed, also one that stores nothing.
        QCOMPARE(readAll(m_file), fileOf(after));
        lock_list again(plant);
        QCOMPARE(linesOf(again.pairs()), after);
    }

    void removals_data()
    {
        QTest::addColumn<QStringList>("held");
        QTest::addColumn<QString>("key"); // null: removePath
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<bool>("rewritten");
        QTest::newRow("path under two keys side by side")
            << QStringList{"p1,cfg/a.txt", "p2,cfg/a.txt", "p1,cfg/b.txt"} << QString() << "cfg/a.txt"
            << QStringList{"p1,cfg/b.txt"} << true;
        QTest::newRow("path leaves what lies below it")
            << QStringList{"p1,cfg/a", "p1,cfg/a/b.txt"} << QString() << "cfg/a" << QStringList{"p1,cfg/a/b.txt"}
            << true;
        QTest::newRow("path not held") << QStringList{"p1,cfg/a"} << QString() << "cfg/b" << QStringList{"p1,cfg/a"}
                                       << false;
        QTest::newRow("empty path") << QStringList{"p1,cfg/a"} << QString() << "" << QStringList{"p1,cfg/a"} << false;
        QTest::newRow("key and path") << QStringList{"p1,cfg/a", "p2,cfg/a", "p1,cfg/a"} << "p1" << "cfg/a"
                                      << QStringList{"p2,cfg/a"} << true;
        QTest::newRow("key does not hold it")
            << QStringList{"p2,cfg/a"} << "p1" << "cfg/a" << QStringList{"p2,cfg/a"} << false;
        QTest::newRow("file inside a held folder is no pair")
            << QStringList{"p1,cfg/a"} << "p1" << "cfg/a/b.txt" << QStringList{"p1,cfg/a"} << false;
        QTest::newRow("empty key") << QStringList{"p1,cfg/a"} << "" << "cfg/a" << QStringList{"p1,cfg/a"} << false;
    }

    void removals()
    {
        QFETCH(QStringList, held);
        QFETCH(QString, key);
        QFETCH(QString, path);
        QFETCH(QStringList, after);
        QFETCH(bool, rewritten);
        writeFile(m_file, fileOf(held) + junkLine);
        {
            lock_list locks(plant);
            if (key.isNull())
                locks.removePath(path);
            else
                locks.remove(key, path);
            QCOMPARE(linesOf(locks.pairs()), after);
        }
        QCOMPARE(readAll(m_file), rewritten ? fileOf(after) : fileOf(held) + junkLine);
    }

    void loading_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("loaded");
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("CR LF lines") << QByteArray("p1,cfg/a.txt\r\np2,cfg/b\r\n")
                                     << QStringList{"p1,cfg/a.txt", "p2,cfg/b"};
        QTest::newRow("LF lines, no final line end") << QByteArray("p1,cfg/a.txt\np2,cfg/b")
                                                     << QStringList{"p1,cfg/a.txt", "p2,cfg/b"};
        QTest::newRow("blanks in the path simplified")
            << QByteArray("p1, cfg/my  file.txt\r\n") << QStringList{"p1,cfg/my file.txt"};
        QTest::newRow("blanks in the key kept") << QByteArray(" p1,cfg/a\r\n") << QStringList{" p1,cfg/a"};
        QTest::newRow("no comma") << QByteArray("p1 cfg/a\r\np2,cfg/b\r\n") << QStringList{"p2,cfg/b"};
        QTest::newRow("three parts") << QByteArray("p1,cfg/a,b\r\np2,cfg/b\r\n") << QStringList{"p2,cfg/b"};
        QTest::newRow("empty key or path") << QByteArray(",cfg/a\r\np1,\r\np1, \r\n\r\n") << QStringList();
        QTest::newRow("line over 512 characters")
            << QByteArray("p1,cfg/" + QByteArray(600, 'x') + "\r\np2,cfg/b\r\n")
            << QStringList{"p1,cfg/" + QString(600, 'x'), "p2,cfg/b"};
        QTest::newRow("UTF-8 names") << QByteArray("p\xc3\xbc,cfg/\xc3\xa9t\xc3\xa9\r\n")
                                     << QStringList{QString::fromUtf8("p\xc3\xbc,cfg/\xc3\xa9t\xc3\xa9")};
    }

    void loading()
    {
        QFETCH(QByteArray, content);
        writeFile(m_file, content);
        {
            lock_list locks(plant);
            QTEST(linesOf(locks.pairs()), "loaded");
        }
        // Nothing changed, nothing written.
        QCOMPARE(readAll(m_file), content);
    }

    void missingFileGivesEmptyListAndFolders()
    {
        {
            lock_list locks(plant);
            QVERIFY(locks.isEmpty());
            QVERIFY(QFileInfo(QFileInfo(m_file).absolutePath()).isDir());
        }
        QVERIFY(!QFile::exists(m_file));
        {
            lock_list locks(plant);
            locks.add("p1", "cfg/a.txt");
        }
        QCOMPARE(readAll(m_file), QByteArray("p1,cfg/a.txt\r\n"));
        // Only the file itself is left behind: it is renamed into place whole.
        QCOMPARE(QDir(QFileInfo(m_file).absolutePath()).entryList(QDir::Files), QStringList{"lock_list.txt"});
    }

    // A change is written when the handle that made it goes, even while
    // another handle (a download reply) still holds the list.
    void handlesShareOneListSavedByTheChanger()
    {
        writeFile(m_file, "p1,cfg/a\r\n");
        const QString otherFile = lock_list::filePath("Other");
        auto first = std::make_unique<lock_list>(plant);
        {
            // Another system's name still gives the list already loaded.
            lock_list second("Other");
            QCOMPARE(lock_list::handleCount(), 2);
            QVERIFY(second.isLockedBy("p1", "cfg/a/b.txt"));
            second.add("p2", "cfg/b");
        }
        QCOMPARE(lock_list::handleCount(), 1);
        QCOMPARE(readAll(m_file), QByteArray("p1,cfg/a\r\np2,cfg/b\r\n"));
        QCOMPARE(linesOf(first->pairs()), (QStringList{"p1,cfg/a", "p2,cfg/b"}));
        writeFile(m_file, "edited elsewhere\r\n");
        first.reset(); // it changed nothing: nothing to write
        QCOMPARE(readAll(m_file), QByteArray("edited elsewhere\r\n"));
        QVERIFY(!QFile::exists(otherFile));
    }

    void pairsAreASnapshot()
    {
        lock_list locks(plant);
        locks.add("p1", "cfg/a");
        locks.add("p2", "cfg/a");
        locks.add("p1", "cfg/b");
        // Removing while walking, as the start-up check does.
        for (const pair &lock : locks.pairs()) {
            if (lock.key == "p1")
                locks.remove(lock.key, lock.path);
        }
        QCOMPARE(linesOf(locks.pairs()), QStringList{"p2,cfg/a"});
    }

    void report()
    {
        lock_list locks(plant);
        locks.add("p1", "cfg/a.txt");
        locks.add("p<2>", "cfg/R&D");
        QCOMPARE(locks.locksReport(),
                 QStringLiteral("<p>This configuration editor still has locks on the following paths:</p>"
                                "<qt><table border=1><tr><th>File</th><th>Plugin</th></tr>"
                                "<tr><td>cfg/a.txt </td><td>p1</td></tr>"
                                "<tr><td>cfg/R&amp;D </td><td>p&lt;2&gt;</td></tr>"
                                "</table><p>This information is provided as plugins should not leave any files "
                                "locked out of the server with this version of the configuration editor</p></qt>"));
    }

    void reportBoxOnlyWithLocks_data()
    {
        QTest::addColumn<QStringList>("held");
        QTest::newRow("no locks") << QStringList();
        QTest::newRow("one lock") << QStringList{"p1,cfg/a.txt"};
    }

    void reportBoxOnlyWithLocks()
    {
        QFETCH(QStringList, held);
        writeFile(m_file, fileOf(held));
        lock_list locks(plant);
        QString title;
        QString text;
        int boxes = 0;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                ++boxes;
                title = box->windowTitle();
                text = box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        answer.start(10);
        QCOMPARE(locks.showLocksReport(), !held.isEmpty());
        QCOMPARE(boxes, held.isEmpty() ? 0 : 1);
        if (!held.isEmpty()) {
            QCOMPARE(title, QStringLiteral("TAVEX - Configuration Editor - Information"));
            QCOMPARE(text, locks.locksReport());
        }
    }

private:
    std::unique_ptr<QTemporaryDir> m_client;
    QString m_file;
};

QTEST_MAIN(tst_lock_list)
#include "tst_lock_list.moc"
