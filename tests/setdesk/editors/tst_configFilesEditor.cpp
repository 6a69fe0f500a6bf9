#include "backupIndex.h"
#include "configFilesEditor.h"
#include "configHighlighter.h"
#include "editorFixture.h"
#include "serverLockFile.h"
#include "server_comms.h"
#include "setdeskMainWindow.h"

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

namespace {

const QString filesKey = QStringLiteral("Files/Configuration");

// The configuration files editor of a logged-in fixture, driven through its widgets.
struct filesEditor
{
    explicit filesEditor(editorFixture &fx)
        : fx(fx)
        , editor(fx.open(filesKey))
    {
    }

    template<typename T> T *find(const char *name) const { return editor->findChild<T *>(QLatin1String(name)); }
    QTreeWidget *tree() const { return find<QTreeWidget>("fileTree"); }
    QPlainTextEdit *text() const { return find<QPlainTextEdit>("textEditor"); }
    QPushButton *button(const char *name) const { return find<QPushButton>(name); }
    QString message() const { return find<QLabel>("messageBar")->text(); }
    QString state() const { return find<QLabel>("fileState")->text(); }
    QListWidget *backups() const { return find<QListWidget>("backupList"); }

    QTreeWidgetItem *item(const QString &path) const
    {
        for (QTreeWidgetItemIterator it(tree()); *it; ++it) {
            if ((*it)->data(0, Qt::UserRole).toString() == path)
                return *it;
        }
        return nullptr;
    }
    // Waits for the file in the tree and double-clicks it.
    bool doubleClick(const QString &path) const
    {
        if (!QTest::qWaitFor([&] { return item(path) != nullptr; }))
            return false;
        emit tree()->itemDoubleClicked(item(path), 0);
        return true;
    }
    bool select(const QString &path) const
    {
        if (!QTest::qWaitFor([&] { return item(path) != nullptr; }))
            return false;
        tree()->setCurrentItem(item(path));
        return true;
    }
    // Types at the end of the text as a user would.
    void type(const QString &keys) const
    {
        text()->moveCursor(QTextCursor::End);
        QTest::keyClicks(text(), keys);
    }

    editorFixture &fx;
    config_plugin_base *editor;
};

QString msgHeld(const QString &path)
{
    return path + QStringLiteral(" is checked out to Admin at 127.0.0.1: opened read-only");
}

} // namespace

class tst_configFilesEditor : public QObject
{
    Q_OBJECT

private slots:
    void lockFileGoverning_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("owner");

        QTest::newRow("empty file") << QByteArray() << "config/a.xml" << "";
        QTest::newRow("exact entry") << QByteArray("config/a.xml=Admin,10.0.0.1\r\n") << "config/a.xml" << "Admin,10.0.0.1";
        QTest::newRow("exact entry beats a folder listed first")
            << QByteArray("config=Admin,1\r\nconfig/a.xml=ops,2\r\n") << "config/a.xml" << "ops,2";
        QTest::newRow("shortest folder first, whatever the order")
            << QByteArray("config/sub=ops,2\r\nconfig=Admin,1\r\n") << "config/sub/a.xml" << "Admin,1";
        QTest::newRow("first of equal keys") << QByteArray("config/a=ops,2\r\nconfig/a=Admin,1\r\n") << "config/a/b" << "ops,2";
        QTest::newRow("a name prefix is no folder") << QByteArray("config/a=Admin,1\r\n") << "config/ab.xml" << "";
        QTest::newRow("a lock below does not govern the folder") << QByteArray("config/a/b=Admin,1\n") << "config/a" << "";
        QTest::newRow("owner white space simplified")
            << QByteArray("config/x=  Admin,10.0.0.1   \r\n") << "config/x" << "Admin,10.0.0.1";
        QTest::newRow("empty pieces dropped") << QByteArray("=config/x==Admin,1\n") << "config/x" << "Admin,1";
        QTest::newRow("a key with = is lost") << QByteArray("config/a=b=Admin,1\n") << "config/a=b" << "";
        QTest::newRow("letter case counts") << QByteArray("Config/A.xml=Admin,1\n") << "config/a.xml" << "";
        QTest::newRow("binary and no final line end")
            << QByteArray("\0", 1) + "\xff\xfe=\x01\n\ncorrupt\nconfig/z=Admin,1" << "config/z" << "Admin,1";
    }

    void lockFileGoverning()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, path);
        QFETCH(QString, owner);
        const std::optional<serverLockFile::entry> lock = serverLockFile::parse(file).governing(path);
        QCOMPARE(lock ? lock->owner : QString(), owner);
        QCOMPARE(serverLockFile::describe(QStringLiteral("Admin,127.0.0.1")), QStringLiteral("Admin at 127.0.0.1"));
    }

    void backupIndexNewestFirst_data()
    {
        QTest::addColumn<QByteArray>("index");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("copies");

        const QByteArray two = "2024-03-01T10:00:00,config/a.xml,ops,10.0.0.1,backup/a.xml.1\r\n"
                               "2024-03-01T11:30:00,config/a.xml,Admin,10.0.0.2,backup/a.xml.2\r\n"
                               "2024-03-01T11:00:00,config/b/a.xml,ops,10.0.0.1,backup/a.xml.3\r\n";
        QTest::newRow("newest first, other folders apart") << two << "config/a.xml" << QStringList{"backup/a.xml.2", "backup/a.xml.1"};
        QTest::newRow("same last name elsewhere") << two << "config/b/a.xml" << QStringList{"backup/a.xml.3"};
        QTest::newRow("unknown path") << two << "config/c.xml" << QStringList();
        QTest::newRow("same second: the later line first")
            << QByteArray("2024-03-01T10:00:00,config/a.xml,ops,1,backup/a.xml.5\n"
                          "2024-03-01T10:00:00,config/a.xml,ops,1,backup/a.xml.6\n")
            << "config/a.xml" << QStringList{"backup/a.xml.6", "backup/a.xml.5"};
        QTest::newRow("comma in the path") << QByteArray("2024-03-01T10:00:00,config/x,y.ini,ops,1,backup/x,y.ini.9\r\n")
                                           << "config/x,y.ini" << QStringList{"backup/x,y.ini.9"};
        QTest::newRow("malformed lines skipped")
            << QByteArray("2024-03-01T10:00:00,config/a.xml,ops,backup/a.xml.1\r\n" // four fields
                          "yesterday,config/a.xml,ops,1,backup/a.xml.2\r\n")       // no date
                   + QByteArray("\0\xff,,,,\r\n", 8) + "2024-03-01T10:00:00,config/a.xml,ops,1,backup/a.xml.3"
            << "config/a.xml" << QStringList{"backup/a.xml.3"};
    }

    void backupIndexNewestFirst()
    {
        QFETCH(QByteArray, index);
        QFETCH(QString, path);
        QFETCH(QStringList, copies);
        backupIndex backups;
        backups.setFile(QStringLiteral("backup/20240301.backup_index"), index);
        QStringList found;
        for (const backupIndex::entry &e : backups.backupsOf(path))
            found << e.copy;
        QCOMPARE(found, copies);
    }

    void backupIndexFilesAndNotices()
    {
        backupIndex backups;
        const QString day = QStringLiteral("backup/20240301.backup_index");
        backups.setFile(day, "2024-03-01T10:00:00,config/a.xml,ops,10.0.0.1,backup/a.xml.1\r\n");
        backups.setFile(QStringLiteral("backup/20240302.backup_index"),
                        "2024-03-02T08:00:00,config/a.xml,Admin,10.0.0.2,backup/a.xml.2\r\n");
        // A notice of a copy the index knows adds nothing; the index line keeps its owner.
        backups.add({QDateTime(QDate(2024, 3, 2), QTime(8, 0, 1)), QStringLiteral("config/a.xml"), {}, {},
                     QStringLiteral("backup/a.xml.2")});
        backups.add({QDateTime(QDate(2024, 3, 3), QTime(9, 0)), QStringLiteral("config/a.xml"), {}, {},
                     QStringLiteral("backup/a.xml.3")});
        // A file read again replaces what it said before.
        backups.setFile(day, "2024-03-01T10:00:00,config/a.xml,ops,10.0.0.1,backup/a.xml.1\r\n"
                             "2024-03-01T12:00:00,config/a.xml,ops,10.0.0.1,backup/a.xml.4\r\n");
        const QList<backupIndex::entry> found = backups.backupsOf(QStringLiteral("config/a.xml"));
        QStringList copies;
        for (const backupIndex::entry &e : found)
            copies << e.copy;
        QCOMPARE(copies, (QStringList{"backup/a.xml.3", "backup/a.xml.2", "backup/a.xml.4", "backup/a.xml.1"}));
        QCOMPARE(found.at(1).user, QStringLiteral("Admin"));
        QCOMPARE(found.at(1).address, QStringLiteral("10.0.0.2"));
    }

    // Highlighting carries XML state from line to line and keeps INI lines apart.
    void highlighting_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("expected"); // comment, tag, value or plain

        const QString xml = QStringLiteral("<a b=\"x\">text<!-- one\ntwo --><c d='multi\nline'/>\n<e/>");
        QTest::newRow("xml tag") << "plant.xml" << xml << 0 << 1 << "tag";
        QTest::newRow("xml value") << "plant.xml" << xml << 0 << 6 << "value";
        QTest::newRow("xml text") << "plant.xml" << xml << 0 << 10 << "plain";
        QTest::newRow("xml comment on its second line") << "plant.xml" << xml << 1 << 1 << "comment";
        QTest::newRow("xml tag after the comment") << "plant.xml" << xml << 1 << 8 << "tag";
        QTest::newRow("xml value on its second line") << "plant.xml" << xml << 2 << 1 << "value";
        QTest::newRow("xml after a value across lines") << "plant.xml" << xml << 3 << 1 << "tag";
        const QString ini = QStringLiteral("[main]\n; note\nkey = value\n  # indented note");
        QTest::newRow("ini section") << "site.ini" << ini << 0 << 1 << "tag";
        QTest::newRow("ini comment") << "site.cfg" << ini << 1 << 2 << "comment";
        QTest::newRow("ini value") << "site.ini" << ini << 2 << 8 << "value";
        QTest::newRow("ini indented comment") << "site.ini" << ini << 3 << 4 << "comment";
        QTest::newRow("txt is plain") << "notes.txt" << xml << 1 << 1 << "plain";
    }

    void highlighting()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, text);
        QFETCH(int, line);
        QFETCH(int, column);
        QFETCH(QString, expected);
        QTextDocument document(text);
        configHighlighter highlighter(&document);
        highlighter.setLanguage(configHighlighter::languageFor(fileName));
        QTextCharFormat format;
        for (const QTextLayout::FormatRange &range : document.findBlockByNumber(line).layout()->formats()) {
            if (column >= range.start && column < range.start + range.length)
                format = range.format;
        }
        const QString found = format.fontItalic()                   ? QStringLiteral("comment")
                              : format.fontWeight() == QFont::Bold  ? QStringLiteral("tag")
                              : format.hasProperty(QTextFormat::ForegroundBrush) ? QStringLiteral("value")
                                                                                 : QStringLiteral("plain");
        if (expected == u"value")
            QVERIFY2(found == u"value", qPrintable(found)); // attribute and value colours both count
        else
            QCOMPARE(found, expected);
    }

    void checkOutEditSaveKeepsABackup()
    {
        editorFixture fx;
        // CR LF line ends and a non-breaking space must come back as they were.
        const QByteArray original = "<plant name=\"N\xc2\xa0" "1\"/>\r\n";
        fx.makeFile(QStringLiteral("config/plant.xml"), original);
        QVERIFY(fx.logIn());
        filesEditor ed(fx);
        QVERIFY(ed.doubleClick(QStringLiteral("config/plant.xml")));
        QTRY_COMPARE(ed.state(), QStringLiteral("Checked out: edit and save"));
        QTRY_COMPARE(ed.item(QStringLiteral("config/plant.xml"))->text(1), QStringLiteral("you (Files/Configuration)"));
        QVERIFY(!ed.text()->isReadOnly());
        QVERIFY(!ed.button("saveButton")->isEnabled());

        ed.type(QStringLiteral("<!-- x -->"));
        QVERIFY(ed.editor->isModified());
        QVERIFY(ed.button("saveButton")->isEnabled());
        QVERIFY(fx.window().action(QStringLiteral("Save"))->isEnabled()); // told the window it is dirty

        ed.button("saveButton")->click();
        QTRY_COMPARE(ed.message(), QStringLiteral("config/plant.xml stored on the server"));
        QCOMPARE(fx.storedContent(QStringLiteral("config/plant.xml")), original + "<!-- x -->");
        QVERIFY(!ed.editor->isModified());
        QVERIFY(!fx.window().action(QStringLiteral("Save"))->isEnabled());
        QCOMPARE(fx.backups().size(), 1);
        QFile copy(fx.stored(QStringLiteral("backup/") + fx.backups().first()));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), original);
        // From the update notice at once, with its owner once the day's index is read.
        QTRY_COMPARE(ed.backups()->count(), 1);
        QVERIFY(ed.backups()->item(0)->text().contains(fx.backups().first()));
        QTRY_VERIFY(ed.backups()->item(0)->text().contains(QLatin1String("ops at 127.0.0.1")));
        QCOMPARE(ed.backups()->count(), 1);

        // Check in gives the lock back and leaves the file read-only.
        ed.button("checkinButton")->click();
        QTRY_COMPARE(ed.message(), QStringLiteral("config/plant.xml checked in"));
        QTRY_VERIFY(!fx.storedContent(QStringLiteral("server_lock_list.txt")).contains("plant.xml"));
        QCOMPARE(ed.state(), QStringLiteral("Read-only"));
        QVERIFY(ed.text()->isReadOnly());
        QTRY_COMPARE(ed.item(QStringLiteral("config/plant.xml"))->text(1), QString());
    }

    void opensReadOnlyWithTheReason_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("otherLocks"); // 0 no, 1 before the editor looks, 2 after it looked
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("state");

        QTest::newRow("held by Admin, known") << "ops" << "secret" << 1 << msgHeld(QStringLiteral("config/a.xml"))
                                              << "Read-only: checked out to Admin at 127.0.0.1";
        QTest::newRow("held by Admin, refused by the server")
            << "ops" << "secret" << 2 << msgHeld(QStringLiteral("config/a.xml")) << "Read-only: checked out to Admin at 127.0.0.1";
        QTest::newRow("user without level") << "nolevel" << "pw" << 0
                                            << "config/a.xml opened read-only: your user level does not allow editing"
                                            << "Read-only";
    }

    void opensReadOnlyWithTheReason()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(int, otherLocks);
        QFETCH(QString, message);
        QFETCH(QString, state);
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/a.xml"), "<a/>");
        fx.makeFile(QStringLiteral("config/seen.xml"), "<seen/>");
        QVERIFY(fx.lockAsOtherUser(QStringLiteral("config/seen.xml")));
        if (otherLocks == 1)
            QVERIFY(fx.lockAsOtherUser(QStringLiteral("config/a.xml")));
        QVERIFY(fx.logIn(user, password));
        filesEditor ed(fx);
        QVERIFY(ed.select(QStringLiteral("config/a.xml")));
        // The editor has read the server's locks.
        QTRY_COMPARE(ed.item(QStringLiteral("config/seen.xml"))->text(1), QStringLiteral("Admin at 127.0.0.1"));
        QCOMPARE(ed.item(QStringLiteral("config/a.xml"))->text(1),
                 otherLocks == 1 ? QStringLiteral("Admin at 127.0.0.1") : QString());
        if (otherLocks == 2) {
            QVERIFY(fx.lockAsOtherUser(QStringLiteral("config/a.xml")));
            QVERIFY(ed.button("checkoutButton")->isEnabled()); // the editor does not know yet
            ed.button("checkoutButton")->click();
        } else {
            QCOMPARE(ed.button("checkoutButton")->isEnabled(), false);
            emit ed.tree()->itemDoubleClicked(ed.item(QStringLiteral("config/a.xml")), 0);
        }
        QTRY_COMPARE(ed.text()->toPlainText(), QStringLiteral("<a/>"));
        QCOMPARE(ed.message(), message);
        QTRY_COMPARE(ed.state(), state);
        QVERIFY(ed.text()->isReadOnly());
        QTRY_VERIFY(!ed.button("checkoutButton")->isEnabled());
        QVERIFY(!ed.button("saveButton")->isEnabled());
        QVERIFY(!ed.button("checkinButton")->isEnabled());
    }

    void refusedSaveKeepsTheText()
    {
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/a.xml"), "<a/>");
        QVERIFY(fx.logIn());
        filesEditor ed(fx);
        QVERIFY(ed.doubleClick(QStringLiteral("config/a.xml")));
        QTRY_COMPARE(ed.state(), QStringLiteral("Checked out: edit and save"));
        // The lock is taken away on the server behind the editor's back.
        fx.makeFile(QStringLiteral("server_lock_list.txt"), "config/a.xml=Admin,127.0.0.1\r\n");
        ed.type(QStringLiteral("<b/>"));
        ed.editor->save();
        QTRY_VERIFY2(ed.message().startsWith(QLatin1String("config/a.xml was not stored: File '")), qPrintable(ed.message()));
        QVERIFY2(ed.message().contains(QLatin1String("checked out to 'Admin,127.0.0.1'")), qPrintable(ed.message()));
        QVERIFY(ed.editor->isModified());
        QCOMPARE(ed.text()->toPlainText(), QStringLiteral("<a/><b/>"));
        QCOMPARE(fx.storedContent(QStringLiteral("config/a.xml")), QByteArray("<a/>"));
        QVERIFY(fx.backups().isEmpty());
        QVERIFY(ed.button("saveButton")->isEnabled()); // may be tried again
    }

    void restoresABackup()
    {
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/a.xml"), "<now/>");
        fx.makeFile(QStringLiteral("backup/a.xml.77"), "<old/>");
        // One copy that exists and one the server no longer has.
        fx.makeFile(QStringLiteral("backup/20240101.backup_index"),
                    "2024-01-01T10:00:00,config/a.xml,Admin,10.0.0.5,backup/a.xml.77\r\n"
                    "2024-01-01T11:00:00,config/a.xml,Admin,10.0.0.5,backup/a.xml.78\r\n");
        QVERIFY(fx.logIn());
        filesEditor ed(fx);
        QVERIFY(ed.doubleClick(QStringLiteral("config/a.xml")));
        QTRY_COMPARE(ed.state(), QStringLiteral("Checked out: edit and save"));
        QTRY_COMPARE(ed.backups()->count(), 1);
        QVERIFY(ed.backups()->item(0)->text().contains(QLatin1String("a.xml.77")));
        QVERIFY(ed.backups()->item(0)->text().contains(QLatin1String("Admin at 10.0.0.5")));

        ed.backups()->setCurrentRow(0);
        ed.button("restoreButton")->click();
        QTRY_COMPARE(ed.message(), QStringLiteral("Backup a.xml.77 loaded: save to store it on the server"));
        QCOMPARE(ed.text()->toPlainText(), QStringLiteral("<old/>"));
        QVERIFY(ed.editor->isModified());
        ed.button("saveButton")->click();
        QTRY_COMPARE(fx.storedContent(QStringLiteral("config/a.xml")), QByteArray("<old/>"));
        // The version it replaced is offered now as well, newest first.
        QTRY_COMPARE(ed.backups()->count(), 2);
        QVERIFY(!ed.backups()->item(0)->text().contains(QLatin1String("a.xml.77")));

        // Restoring needs the file checked out.
        ed.button("releaseButton")->click();
        QTRY_COMPARE(ed.message(), QStringLiteral("config/a.xml released: the server's copy is shown read-only"));
        ed.backups()->setCurrentRow(1);
        ed.button("restoreButton")->click();
        QCOMPARE(ed.message(), QStringLiteral("Check out config/a.xml to restore one of its backups"));
        QCOMPARE(ed.text()->toPlainText(), QStringLiteral("<old/>"));
    }

    void releaseDropsTheChanges()
    {
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/site.ini"), "[main]\nkey=1\n");
        QVERIFY(fx.logIn());
        filesEditor ed(fx);
        QVERIFY(ed.doubleClick(QStringLiteral("config/site.ini")));
        QTRY_COMPARE(ed.state(), QStringLiteral("Checked out: edit and save"));
        ed.type(QStringLiteral("other=2"));
        // Another file is not opened over unsaved changes.
        fx.makeFile(QStringLiteral("config/b.xml"), "<b/>");
        ed.button("refreshButton")->click();
        QVERIFY(ed.select(QStringLiteral("config/b.xml")));
        ed.button("viewButton")->click();
        QCOMPARE(ed.message(), QStringLiteral("config/site.ini has unsaved changes: save, check in or release it before "
                                              "opening another file"));
        ed.button("releaseButton")->click();
        QTRY_COMPARE(ed.state(), QStringLiteral("Read-only"));
        QTRY_COMPARE(ed.text()->toPlainText(), QStringLiteral("[main]\nkey=1\n"));
        QVERIFY(!ed.editor->isModified());
        QTRY_VERIFY(!fx.storedContent(QStringLiteral("server_lock_list.txt")).contains("site.ini"));
        QCOMPARE(fx.storedContent(QStringLiteral("config/site.ini")), QByteArray("[main]\nkey=1\n"));
    }

    void noticesOfTheOpenFile()
    {
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/a.xml"), "<a/>");
        fx.makeFile(QStringLiteral("config/b.xml"), "<b/>");
        QVERIFY(fx.logIn());
        filesEditor ed(fx);

        // Changed elsewhere while open read-only: shown again.
        QVERIFY(ed.select(QStringLiteral("config/b.xml")));
        ed.button("viewButton")->click();
        QTRY_COMPARE(ed.text()->toPlainText(), QStringLiteral("<b/>"));
        fx.makeFile(QStringLiteral("config/b.xml"), "<b2/>");
        emit fx.comms()->notice(QStringLiteral("update"), QStringLiteral("config/b.xml"), QStringLiteral("b.xml.5"));
        QTRY_COMPARE(ed.text()->toPlainText(), QStringLiteral("<b2/>"));
        QCOMPARE(ed.message(), QStringLiteral("config/b.xml was changed on the server: reloaded"));

        // Deleted elsewhere while checked out: the text stays and saving stores it again.
        QVERIFY(ed.doubleClick(QStringLiteral("config/a.xml")));
        QTRY_COMPARE(ed.state(), QStringLiteral("Checked out: edit and save"));
        QVERIFY(QFile::remove(fx.stored(QStringLiteral("config/a.xml"))));
        emit fx.comms()->notice(QStringLiteral("delete"), QStringLiteral("config/a.xml"), QString());
        QCOMPARE(ed.message(),
                 QStringLiteral("config/a.xml was deleted on the server: your text is kept; save to store it again"));
        QCOMPARE(ed.text()->toPlainText(), QStringLiteral("<a/>"));
        QVERIFY(ed.editor->isModified());
        QTRY_VERIFY(!ed.item(QStringLiteral("config/a.xml")));
        ed.button("saveButton")->click();
        QTRY_COMPARE(fx.storedContent(QStringLiteral("config/a.xml")), QByteArray("<a/>"));
        QTRY_VERIFY(!ed.editor->isModified());
    }

    void filesNotShown_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("placeholder");

        QTest::newRow("NUL bytes") << QByteArray("<a>\0</a>", 8) << "binary file, not shown";
        QTest::newRow("not UTF-8") << QByteArray("caf\xe9 au lait") << "binary file, not shown";
        QTest::newRow("above the limit") << QByteArray(configFilesEditor::maxEditableSize + 1, 'a') << "file too large, not shown";
    }

    void filesNotShown()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, placeholder);
        editorFixture fx;
        fx.makeFile(QStringLiteral("config/data.xml"), content);
        QVERIFY(fx.logIn());
        filesEditor ed(fx);
        QVERIFY(ed.doubleClick(QStringLiteral("config/data.xml")));
        QTRY_COMPARE(ed.state(), QStringLiteral("Checked out: edit and save"));
        QCOMPARE(ed.text()->placeholderText(), placeholder);
        QVERIFY(ed.text()->toPlainText().isEmpty());
        QVERIFY(ed.text()->isReadOnly());
        QVERIFY(ed.message().startsWith(QLatin1String("config/data.xml")));
        // The deleted notice must not turn the empty editor into a save of nothing.
        emit fx.comms()->notice(QStringLiteral("delete"), QStringLiteral("config/data.xml"), QString());
        QVERIFY(!ed.editor->isModified());
        QVERIFY(!ed.button("saveButton")->isEnabled());
    }
};

QTEST_MAIN(tst_configFilesEditor)
#include "tst_configFilesEditor.moc"
