#include "clientFolder.h"
#include "downloadListView.h"
#include "download_list.h"
#include "lock_list.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

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

QStringList linesOf(const QList<downloadEntry> &entries)
{
    QStringList lines;
    for (const downloadEntry &entry : entries)
        lines.append(entry.path + QLatin1Char(',') + entry.key);
    return lines;
}

// A tree as "top>child|child;top>child", in display order.
QString treeText(const QTreeWidget *tree)
{
    QStringList tops;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *top = tree->topLevelItem(i);
        QStringList children;
        for (int c = 0; c < top->childCount(); ++c)
            children.append(top->child(c)->text(0));
        tops.append(top->text(0) + QLatin1Char('>') + children.join(QLatin1Char('|')));
    }
    return tops.join(QLatin1Char(';'));
}

} // namespace

class tst_download_list : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("tavex.setdesk.debug=true"));
    }

    void init()
    {
        m_client = std::make_unique<QTemporaryDir>();
        QVERIFY(m_client->isValid());
        clientFolder::setOverride(m_client->path());
        m_file = download_list::filePath(plant);
    }

    void cleanup()
    {
        QCOMPARE(download_list::handleCount(), 0);
        clientFolder::setOverride(QString());
    }

    void filePath()
    {
        QCOMPARE(m_file, m_client->path() + "/downloadLists/Plant/download_list.txt");
        QCOMPARE(download_list::filePath("../Plant"), QString());
    }

    void loading_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("loaded");
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("path first, CR LF") << QByteArray("cfg/a.txt,plugA\r\ncfg/b.txt,plugB\r\n")
                                           << QStringList{"cfg/a.txt,plugA", "cfg/b.txt,plugB"};
        QTest::newRow("LF lines, no final line end") << QByteArray("cfg/a.txt,plugA\ncfg/b.txt,plugB")
                                                     << QStringList{"cfg/a.txt,plugA", "cfg/b.txt,plugB"};
        QTest::newRow("stray carriage return dropped") << QByteArray("cfg/a.txt,plu\rgA\r\n")
                                                       << QStringList{"cfg/a.txt,plugA"};
        QTest::newRow("blanks kept as they are") << QByteArray("cfg/my  file.txt, plugA\r\n")
                                                 << QStringList{"cfg/my  file.txt, plugA"};
        QTest::newRow("no comma") << QByteArray("cfg/a.txt plugA\r\ncfg/b.txt,plugB\r\n")
                                  << QStringList{"cfg/b.txt,plugB"};
        QTest::newRow("three parts") << QByteArray("cfg/a,b.txt,plugA\r\ncfg/b.txt,plugB\r\n")
                                     << QStringList{"cfg/b.txt,plugB"};
        QTest::newRow("empty path or key") << QByteArray(",plugA\r\ncfg/a.txt,\r\n\r\n") << QStringList();
        QTest::newRow("line over 512 characters")
            << QByteArray("cfg/" + QByteArray(600, 'x') + ",plugA\r\n")
            << QStringList{"cfg/" + QString(600, 'x') + ",plugA"};
    }

    void loading()
    {
        QFETCH(QByteArray, content);
        writeFile(m_file, content);
        {
            download_list downloads(plant);
            QTEST(linesOf(downloads.entries()), "loaded");
        }
        QCOMPARE(readAll(m_file), content);
    }

    void add_data()
    {
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("appended") << QStringList{"cfg/x,plugB"} << "cfg/a.txt" << "plugA" << true
                                  << QStringList{"cfg/x,plugB", "cfg/a.txt,plugA"};
        QTest::newRow("same entry again") << QStringList{"cfg/a.txt,plugA"} << "cfg/a.txt" << "plugA" << true
                                          << QStringList{"cfg/a.txt,plugA"};
        QTest::newRow("same path, other key") << QStringList{"cfg/a.txt,plugA"} << "cfg/a.txt" << "plugB" << true
                                              << QStringList{"cfg/a.txt,plugA", "cfg/a.txt,plugB"};
        QTest::newRow("empty path") << QStringList{"cfg/x,plugB"} << "" << "plugA" << false
                                    << QStringList{"cfg/x,plugB"};
        QTest::newRow("empty key") << QStringList{"cfg/x,plugB"} << "cfg/a.txt" << "" << false
                                   << QStringList{"cfg/x,plugB"};
        QTest::newRow("comma in path") << QStringList{"cfg/x,plugB"} << "cfg/a,b.txt" << "plugA" << false
                                       << QStringList{"cfg/x,plugB"};
        QTest::newRow("line break in key") << QStringList{"cfg/x,plugB"} << "cfg/a.txt" << "plug\nA" << false
                                           << QStringList{"cfg/x,plugB"};
    }

    void add()
    {
        QFETCH(QStringList, listed);
        QFETCH(QString, path);
        QFETCH(QString, key);
        QFETCH(QStringList, after);
        writeFile(m_file, fileOf(listed) + junkLine);
        {
            download_list downloads(plant);
            QTEST(downloads.add(path, key), "accepted");
            QCOMPARE(linesOf(downloads.entries()), after);
        }
        // Written back even when the add stored nothing; each entry is the
        // line it was read from.
        QCOMPARE(readAll(m_file), fileOf(after));
    }

    // Adds through any handle are kept and written when their handle goes,
    // also while another handle (a download reply) holds the list.
    void addThroughASharingHandleIsKept()
    {
        writeFile(m_file, "cfg/x,plugB\r\n" + junkLine);
        download_list loading(plant);
        {
            download_list sharing(plant);
            QVERIFY(loading.isLoadingHandle());
            QVERIFY(!sharing.isLoadingHandle());
            QVERIFY(sharing.add("cfg/a.txt", "plugA"));
        }
        QCOMPARE(readAll(m_file), QByteArray("cfg/x,plugB\r\ncfg/a.txt,plugA\r\n"));
        QVERIFY(loading.add("cfg/b.txt", "plugA"));
        QCOMPARE(linesOf(loading.entries()), (QStringList{"cfg/x,plugB", "cfg/a.txt,plugA", "cfg/b.txt,plugA"}));
    }

    void savedToTheLoadingHandlesFile()
    {
        const QString otherFile = download_list::filePath("Other");
        auto loading = std::make_unique<download_list>(plant);
        auto sharing = std::make_unique<download_list>("Other");
        QVERIFY(loading->add("cfg/a.txt", "plugA"));
        loading.reset();
        QCOMPARE(readAll(m_file), QByteArray("cfg/a.txt,plugA\r\n"));
        QCOMPARE(sharing->pathsFor("plugA"), QStringList{"cfg/a.txt"});
        sharing.reset();
        QCOMPARE(readAll(m_file), QByteArray("cfg/a.txt,plugA\r\n"));
        QVERIFY(!QFile::exists(otherFile));
    }

    void removeAndPathsFor_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<bool>("rewritten");
        QTest::newRow("every matching entry") << "cfg/a.txt" << "plugA"
                                              << QStringList{"cfg/a.txt,plugB", "cfg/b.txt,plugA"} << true;
        QTest::newRow("no match still counts as a change")
            << "cfg/c.txt" << "plugA"
            << QStringList{"cfg/a.txt,plugA", "cfg/a.txt,plugB", "cfg/b.txt,plugA", "cfg/a.txt,plugA"} << true;
        QTest::newRow("empty path") << "" << "plugA"
                                    << QStringList{"cfg/a.txt,plugA", "cfg/a.txt,plugB", "cfg/b.txt,plugA",
                                                   "cfg/a.txt,plugA"}
                                    << false;
    }

    void removeAndPathsFor()
    {
        QFETCH(QString, path);
        QFETCH(QString, key);
        QFETCH(QStringList, after);
        QFETCH(bool, rewritten);
        const QByteArray before =
            "cfg/a.txt,plugA\r\ncfg/a.txt,plugB\r\ncfg/b.txt,plugA\r\ncfg/a.txt,plugA\r\n" + junkLine;
        writeFile(m_file, before);
        {
            download_list downloads(plant);
            QCOMPARE(downloads.pathsFor("plugA"), (QStringList{"cfg/a.txt", "cfg/b.txt", "cfg/a.txt"}));
            QCOMPARE(downloads.pathsFor("plugB"), QStringList{"cfg/a.txt"});
            QCOMPARE(downloads.pathsFor("plugC"), QStringList());
            downloads.remove(path, key);
            QCOMPARE(linesOf(downloads.entries()), after);
        }
        // A rewritten file has lost the line it could not read.
        QCOMPARE(readAll(m_file), rewritten ? fileOf(after) : before);
    }

    void missingFile()
    {
        QTest::ignoreMessage(QtDebugMsg, ("Can't open download list file of " + m_file).toUtf8());
        {
            download_list downloads(plant);
            QVERIFY(downloads.isEmpty());
        }
        QVERIFY(QFileInfo(QFileInfo(m_file).absolutePath()).isDir());
        QVERIFY(!QFile::exists(m_file));
    }

    void viewer_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("caption");
        // Paths as stored: the viewer shows the file, blanks included.
        QTest::newRow("locked files") << int(downloadListView::lockedFiles)
                                      << QByteArray("plugA,cfg/a.txt\r\nplugA,cfg/b.txt\r\nplugB,cfg/a.txt\r\nnone\r\n"
                                                    "plugb,cfg/c.txt\r\nplugC, cfg/my  d.txt\r\n")
                                      << "List of locked files";
        QTest::newRow("downloaded files")
            << int(downloadListView::downloadedFiles)
            << QByteArray("cfg/a.txt,plugA\r\ncfg/b.txt,plugA\r\ncfg/a.txt,plugB\r\nnone\r\ncfg/c.txt,plugb\r\n"
                          " cfg/my  d.txt,plugC\r\n")
            << "List of downloaded files";
    }

    void viewer()
    {
        QFETCH(int, mode);
        QFETCH(QByteArray, content);
        if (mode == downloadListView::lockedFiles)
            m_file = lock_list::filePath(plant);
        writeFile(m_file, content);
        downloadListView view(mode, plant);
        QTEST(view.windowTitle(), "caption");
        QCOMPARE(view.filePath(), m_file);
        QCOMPARE(view.pluginListView->headerItem()->text(0), QStringLiteral("Plugin > File"));
        QCOMPARE(view.fileListView->headerItem()->text(0), QStringLiteral("File > Plugin"));
        QCOMPARE(view.whatsThis(),
                 QStringLiteral("<p>This is a display of those files that are marked as \"downloaded\" by this "
                                "configuration tool. </p>\n<p>Two different views of the same data is possible - "
                                "sorted by plugin or by file name</p>"));
        // The raw page shows the file's lines as they are (line ends aside).
        QTRY_COMPARE_WITH_TIMEOUT(view.fileView->toPlainText(), QString::fromUtf8(content).remove('\r'), 1000);
        // Plugins are told apart by case; the line without separator shows nowhere.
        QCOMPARE(treeText(view.pluginListView),
                 QStringLiteral("plugA>cfg/a.txt|cfg/b.txt;plugB>cfg/a.txt;plugb>cfg/c.txt;plugC> cfg/my  d.txt"));
        QCOMPARE(treeText(view.fileListView),
                 QStringLiteral("cfg/a.txt>plugA|plugB;cfg/b.txt>plugA;cfg/c.txt>plugb; cfg/my  d.txt>plugC"));
        QVERIFY(view.pluginListView->topLevelItem(0)->isExpanded());
        QVERIFY(view.fileListView->topLevelItem(0)->isExpanded());
    }

    void viewerFollowsTheFileAndKeepsScrollPositions()
    {
        QByteArray content;
        for (int i = 0; i < 300; ++i)
            content += QStringLiteral("cfg/f%1.txt,plug%2\r\n").arg(i, 3, 10, QLatin1Char('0')).arg(i % 3).toUtf8();
        writeFile(m_file, content);
        downloadListView view(downloadListView::downloadedFiles, plant);
        view.resize(400, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QTRY_COMPARE_WITH_TIMEOUT(view.fileListView->topLevelItemCount(), 300, 1000);

        // Every page must have been laid out once for its scroll bar to move.
        for (int page = 0; page < 3; ++page) {
            view.tabWidget->setCurrentIndex(page);
            QCoreApplication::processEvents();
        }
        QScrollBar *byPlugin = view.pluginListView->verticalScrollBar();
        QScrollBar *byFile = view.fileListView->verticalScrollBar();
        QScrollBar *raw = view.fileView->verticalScrollBar();
        byPlugin->setValue(120);
        byFile->setValue(80);
        raw->setValue(40);
        QCOMPARE(byPlugin->value(), 120);
        QCOMPARE(byFile->value(), 80);
        QCOMPARE(raw->value(), 40);

        // The reload comes while the by-plugin page is shown; the other pages
        // show their positions once chosen again.
        view.tabWidget->setCurrentIndex(0);
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::Append));
        file.write("cfg/new.txt,plugA\r\n");
        file.close();
        QElapsedTimer changed;
        changed.start();
        QTRY_COMPARE_WITH_TIMEOUT(view.fileListView->topLevelItemCount(), 301, 3000);
        QVERIFY(changed.elapsed() < 2500);
        QCoreApplication::processEvents();
        QCOMPARE(byPlugin->value(), 120);
        view.tabWidget->setCurrentIndex(1);
        QCoreApplication::processEvents();
        QCOMPARE(byFile->value(), 80);
        view.tabWidget->setCurrentIndex(2);
        QCoreApplication::processEvents();
        QCOMPARE(raw->value(), 40);
    }

    void viewerOfAMissingFile()
    {
        const QByteArray line = "Config. Editor: file \"" + m_file.toUtf8() + "\" does not exist";
        QTest::ignoreMessage(QtDebugMsg, line);
        downloadListView view(downloadListView::downloadedFiles, plant);
        QTest::qWait(50);
        QCOMPARE(view.pluginListView->topLevelItemCount(), 0);
        // The file appearing later is picked up at the next look.
        writeFile(m_file, "cfg/a.txt,plugA\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(view.pluginListView->topLevelItemCount(), 1, 3000);
    }

private:
    std::unique_ptr<QTemporaryDir> m_client;
    QString m_file;
};

QTEST_MAIN(tst_download_list)
#include "tst_download_list.moc"
