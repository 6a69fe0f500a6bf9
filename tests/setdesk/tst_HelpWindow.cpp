#include "HelpWindow.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>

#ifdef QT_PRINTSUPPORT_LIB
#include <QPrinter>
#endif

#include <memory>

namespace {

const QString caption = QStringLiteral("Helpviewer - TAVEX Configuration Editor - ");

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray listBytes(const QStringList &list)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << list;
    return bytes;
}

QStringList readList(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<missing>")};
    QStringList list;
    QDataStream in(&file);
    in >> list;
    return list;
}

QStringList pages(const QString &prefix, int from, int to)
{
    QStringList list;
    for (int i = from; i < to; ++i)
        list << prefix + QString::number(i) + QStringLiteral(".html");
    return list;
}

// The page entries of a menu: the texts after the last separator.
QStringList entryTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions()) {
        if (action->isSeparator())
            texts.clear();
        else
            texts << action->text();
    }
    return texts;
}

QStringList boxTexts(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

QAction *menuAction(const HelpWindow &window, const QString &menuTitle, const QString &text)
{
    for (QMenu *menu : window.findChildren<QMenu *>()) {
        if (menu->title() != menuTitle)
            continue;
        for (QAction *action : menu->actions())
            if (action->text() == text)
                return action;
    }
    return nullptr;
}

} // namespace

class tst_HelpWindow : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_help;

    QString storage(const char *name) const { return m_dir->filePath(QLatin1String(name)); }
    std::unique_ptr<HelpWindow> window(const QString &home = QStringLiteral("index.html"))
    {
        return std::make_unique<HelpWindow>(home, m_help);
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        HelpWindow::setStorageFolder(m_dir->path());
        m_help = m_dir->filePath(QStringLiteral("help"));
        writeFile(m_help + "/index.html",
                  "<html><head><title>Help Index</title></head><body><a href=\"sub/page.html\">sub</a></body></html>");
        writeFile(m_help + "/notitle.html", "<html><body>No title here</body></html>");
        writeFile(m_help + "/sub/page.html", "<html><head><title>Sub Page</title></head><body>sub</body></html>");
        writeFile(m_help + "/not_found.html", "<html><head><title>Not Found</title></head><body>none</body></html>");
        writeFile(m_dir->filePath("outside.html"), "<html><head><title>Outside</title></head><body>o</body></html>");
    }

    void showPage_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("title");
        QTest::newRow("index") << "index.html" << "index.html" << caption + "Help Index";
        QTest::newRow("in a subfolder") << "sub/page.html" << "sub/page.html" << caption + "Sub Page";
        QTest::newRow("no title: page name") << "notitle.html" << "notitle.html" << caption + "notitle.html";
        QTest::newRow("missing") << "missing.html" << "not_found.html" << caption + "Not Found";
        QTest::newRow("missing context page") << "plugin1/index.html" << "not_found.html" << caption + "Not Found";
        QTest::newRow("a folder") << "sub" << "not_found.html" << caption + "Not Found";
        QTest::newRow("empty") << "" << "not_found.html" << caption + "Not Found";
    }

    void showPage()
    {
        QFETCH(QString, name);
        auto help = window(QString());
        QCOMPARE(help->currentPage(), QString());
        help->showPage(name);
        QTEST(help->currentPage(), "page");
        QTEST(help->windowTitle(), "title");
        QTEST(help->pathBox()->currentText(), "page");
        QVERIFY(!help->browser()->toPlainText().isEmpty());
    }

    void menusAndToolBar()
    {
        auto help = window();
        QCOMPARE(help->size(), QSize(640, 700));
        QCOMPARE(help->centralWidget(), help->browser());
        QStringList menus;
        for (const QAction *menu : help->menuBar()->actions()) {
            QStringList entries;
            for (const QAction *action : menu->menu()->actions())
                entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
            menus << menu->text() + ": " + entries.join(", ");
        }
        QCOMPARE(menus, (QStringList{"&File: &New Window, &Open File, &Print, -, &Close, E&xit",
                                     "&Go: &Backward, &Forward, &Home", "History: index.html",
                                     "Bookmarks: Add Bookmark, -"}));
        auto *toolBar = help->findChild<QToolBar *>("Toolbar");
        QVERIFY(toolBar);
        QCOMPARE(toolBar->windowTitle(), QStringLiteral("Toolbar"));
        QVERIFY(toolBar->actions().contains(help->backwardAction()));
        QCOMPARE(toolBar->widgetForAction(toolBar->actions().last()), help->pathBox());
#ifdef QT_PRINTSUPPORT_LIB
        QVERIFY(help->printAction()->isEnabled());
#else
        QVERIFY(!help->printAction()->isEnabled());
#endif
    }

    void navigation()
    {
        auto help = window();
        QVERIFY(!help->backwardAction()->isEnabled());
        QVERIFY(!help->forwardAction()->isEnabled());
        help->showPage("sub/page.html");
        help->showPage("notitle.html");
        QVERIFY(help->backwardAction()->isEnabled());
        help->backwardAction()->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("sub/page.html"));
        QVERIFY(help->forwardAction()->isEnabled());
        menuAction(*help, "&Go", "&Home")->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("index.html"));

        // Newest first in the path box; a page seen before is selected, not added.
        QCOMPARE(boxTexts(help->pathBox()), (QStringList{"notitle.html", "sub/page.html", "index.html"}));
        QCOMPARE(help->pathBox()->currentIndex(), 2);
        QCOMPARE(help->history(), (QStringList{"index.html", "sub/page.html", "notitle.html"}));
        QCOMPARE(entryTexts(help->historyMenu()), help->history());

        // Choosing an entry of the box shows its page.
        help->show();
        QVERIFY(QTest::qWaitForWindowExposed(help.get()));
        help->pathBox()->setFocus();
        QTest::keyClick(help->pathBox(), Qt::Key_Up);
        QCOMPARE(help->currentPage(), QStringLiteral("sub/page.html"));

        // So does a history entry, and an outside page leaves help names working.
        help->historyMenu()->actions().at(2)->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("notitle.html"));
        help->browser()->setSource(QUrl::fromLocalFile(m_dir->filePath("outside.html")));
        QCOMPARE(help->currentPage(), m_dir->filePath("outside.html"));
        help->showPage("index.html");
        QCOMPARE(help->windowTitle(), caption + "Help Index");
    }

    void listsWrittenBack()
    {
        writeFile(storage(".history"), listBytes(pages("old", 0, 25)));
        writeFile(storage(".bookmarks"), listBytes({"sub/page.html"}));
        auto help = window();
        help->showPage("notitle.html");
        help->showPage("index.html");
        help->addBookmark();
        help.reset();
        QCOMPARE(readList(storage(".history")), pages("old", 5, 25) << "index.html" << "notitle.html");
        QCOMPARE(readList(storage(".bookmarks")), (QStringList{"sub/page.html", "index.html"}));
    }

    void bookmarks()
    {
        writeFile(storage(".bookmarks"), listBytes({"notitle.html", "gone.html", "a&b.html"}));
        auto help = window();
        // Stored bookmarks show their page; "&" is no mnemonic.
        QCOMPARE(entryTexts(help->bookmarksMenu()), (QStringList{"notitle.html", "gone.html", "a&&b.html"}));
        help->showPage("sub/page.html");
        help->addBookmark();
        QCOMPARE(help->bookmarksMenu()->actions().last()->text(), caption + "Sub Page");
        QCOMPARE(help->bookmarks(), (QStringList{"notitle.html", "gone.html", "a&b.html", "sub/page.html"}));

        help->bookmarksMenu()->actions().at(2)->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("notitle.html"));
        help->bookmarksMenu()->actions().last()->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("sub/page.html"));
        // A page removed since leads to the not-found page.
        help->bookmarksMenu()->actions().at(3)->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("not_found.html"));
        // "Add Bookmark" itself leads nowhere but adds.
        help->bookmarksMenu()->actions().at(0)->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("not_found.html"));
        QCOMPARE(help->bookmarks().size(), 5);
    }

    // Both files are read alike; the history keeps its last 20 entries. A
    // damaged file gives the entries before the damage.
    void listFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("history");
        QTest::addColumn<QStringList>("bookmarks");
        const QByteArray two = listBytes({"a.html", "b.html"});
        const QStringList ab{"a.html", "b.html"};
        QTest::newRow("no entries") << listBytes({}) << QStringList() << QStringList();
        QTest::newRow("3") << listBytes(pages("p", 0, 3)) << pages("p", 0, 3) << pages("p", 0, 3);
        QTest::newRow("20") << listBytes(pages("p", 0, 20)) << pages("p", 0, 20) << pages("p", 0, 20);
        QTest::newRow("21") << listBytes(pages("p", 0, 21)) << pages("p", 1, 21) << pages("p", 0, 21);
        QTest::newRow("25") << listBytes(pages("p", 0, 25)) << pages("p", 5, 25) << pages("p", 0, 25);
        QTest::newRow("empty file") << QByteArray() << QStringList() << QStringList();
        QTest::newRow("cut in the count") << QByteArray("\0\0", 2) << QStringList() << QStringList();
        QTest::newRow("huge count, no entries") << QByteArray("\xff\xff\xff\xff", 4) << QStringList() << QStringList();
        QTest::newRow("huge count, two entries") << QByteArray("\xff\xff\xff\xff", 4) + two.mid(4) << ab << ab;
        QTest::newRow("cut in the second entry") << two.left(two.size() - 3) << ab.mid(0, 1) << ab.mid(0, 1);
        QTest::newRow("cut in a length") << two.left(4 + 4 + 12 + 2) << ab.mid(0, 1) << ab.mid(0, 1);
        QTest::newRow("string longer than the file")
                << two.left(4 + 4 + 12) + QByteArray("\x7f\xff\xff\xfe", 4) << ab.mid(0, 1) << ab.mid(0, 1);
        QTest::newRow("odd string length") << two.left(4) + QByteArray("\0\0\0\x03xyz", 7) << QStringList()
                                           << QStringList();
        QTest::newRow("trailing bytes") << two + "junk" << ab << ab;
        QTest::newRow("too large") << listBytes({QString(600 * 1024, QLatin1Char('x'))}) << QStringList()
                                   << QStringList();
        QTest::newRow("text") << QByteArray("index.html\nsub/page.html\n") << QStringList() << QStringList();
    }

    void listFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, history);
        writeFile(storage(".history"), content);
        writeFile(storage(".bookmarks"), content);
        auto help = window(QString());
        QCOMPARE(help->history(), history);
        QCOMPARE(entryTexts(help->historyMenu()), history);
        QTEST(help->bookmarks(), "bookmarks");
        QTEST(entryTexts(help->bookmarksMenu()), "bookmarks");
        // The path box lists this window's visits only.
        QCOMPARE(help->pathBox()->count(), 0);
        // What was read is written back whole.
        help.reset();
        QCOMPARE(readList(storage(".history")), history);
        QTEST(readList(storage(".bookmarks")), "bookmarks");
    }

    void openFile()
    {
        auto help = window();
        const QString outside = m_dir->filePath("outside.html");
        QTimer::singleShot(0, help.get(), [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QCOMPARE(dialog->directory().absolutePath(), QDir(m_help).absolutePath());
            dialog->selectFile(outside);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QTimer::singleShot(5000, help.get(), [] {
            if (QWidget *modal = QApplication::activeModalWidget())
                modal->close();
        });
        menuAction(*help, "&File", "&Open File")->trigger();
        QCOMPARE(help->currentPage(), outside);
        QCOMPARE(help->windowTitle(), caption + "Outside");
        menuAction(*help, "&Go", "&Home")->trigger();
        QCOMPARE(help->currentPage(), QStringLiteral("index.html"));
    }

    void newWindow()
    {
        QWidget owner;
        auto *help = new HelpWindow("index.html", m_help, &owner);
        help->showPage("sub/page.html");
        const QWidgetList windows = QApplication::topLevelWidgets();
        const QSet<QWidget *> before(windows.cbegin(), windows.cend());
        menuAction(*help, "&File", "&New Window")->trigger();
        HelpWindow *second = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (!before.contains(widget) && qobject_cast<HelpWindow *>(widget))
                second = static_cast<HelpWindow *>(widget);
        QVERIFY(second);
        QVERIFY(second->isVisible());
        QCOMPARE(second->parentWidget(), &owner);
        QCOMPARE(second->currentPage(), QStringLiteral("sub/page.html"));
        QCOMPARE(second->helpFolder(), m_help);

        // Closing the new window deletes it; closing the first only hides it.
        QPointer<HelpWindow> guard(second);
        menuAction(*second, "&File", "&Close")->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!guard);
        help->show();
        menuAction(*help, "&File", "&Close")->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!help->isVisible());
        QCOMPARE(owner.findChildren<HelpWindow *>().size(), 1);
    }

    void print()
    {
#ifdef QT_PRINTSUPPORT_LIB
        auto help = window();
        QPrinter printer;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(storage("page.pdf"));
        QVERIFY(help->printTo(&printer));
        QFile pdf(storage("page.pdf"));
        QVERIFY(pdf.open(QIODevice::ReadOnly));
        QVERIFY(pdf.read(5) == "%PDF-");
#else
        QSKIP("built without print support");
#endif
    }
};

QTEST_MAIN(tst_HelpWindow)
#include "tst_HelpWindow.moc"
