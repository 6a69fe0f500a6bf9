#include "clientFolder.h"
#include "dialogAnswerer.h"
#include "doWaitDialog.h"
#include "download_list.h"
#include "lock_list.h"
#include "login.h"
#include "protocol.h"
#include "selectsystem.h"
#include "serverFixture.h"
#include "server_comms.h"
#include "xfer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include <zlib.h>

namespace {

const QString north = QStringLiteral("North");
const QString serverName = QStringLiteral("Kestrel");
const QByteArray systemsRequest = "<xml><systems type=\"request\" />\r\n";
const QByteArray dateText = "2015-05-08T14:03:59";
const QDateTime serverDate = serverFixture::fixedDate();

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content, const QDateTime &when = serverDate)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
    f.close();
    serverFixture::setDate(path, when);
}

// A file's content as the server sends it: zlib stream in hex.
QByteArray hexOf(const QByteArray &content)
{
    uLongf size = compressBound(uLong(content.size()));
    QByteArray packed(qsizetype(size), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef *>(packed.data()), &size, reinterpret_cast<const Bytef *>(content.constData()),
             uLong(content.size()));
    return xfer::toHex(QByteArrayView(packed.constData(), qsizetype(size)));
}

// The content of hex text holding a zlib stream, as zlib reads it.
QByteArray contentOf(const QByteArray &hex, qsizetype size)
{
    QByteArray packed;
    xfer::appendFromHex(hex, packed);
    QByteArray content(size, '\0');
    uLongf produced = uLongf(size);
    if (uncompress(reinterpret_cast<Bytef *>(content.data()), &produced, reinterpret_cast<const Bytef *>(packed.constData()),
                   uLong(packed.size())) != Z_OK)
        return QByteArray("(not a zlib stream)");
    content.truncate(qsizetype(produced));
    return content;
}

QByteArray fileReply(const QByteArray &name, const QByteArray &content, int compressedSkew = 0)
{
    const QByteArray hex = hexOf(content);
    return "\t<file type=\"reply\" name=\"" + name + "\" size=\"" + QByteArray::number(content.size())
           + "\" compressedsize=\"" + QByteArray::number(hex.size() / 2 + compressedSkew) + "\" date=\"" + dateText
           + "\" >" + hex + "</file>\r\n";
}

QByteArray downloadReply(const QByteArray &uid, const QByteArray &body, const QByteArray &system = "North")
{
    return "<download uid=\"" + uid + "\" type=\"reply\" system=\"" + system + "\" >\r\n" + body + "</download>\r\n";
}

QByteArray dirReply(const QByteArray &items)
{
    return "<dir type=\"reply\" uid=\"p1\" system=\"North\" filter=\"\">\r\n" + items + "</dir>\r\n";
}

QByteArray item(const QByteArray &type, const QByteArray &path, const QByteArray &name)
{
    return "\t<item type=\"" + type + "\" time=\"" + dateText + "\" path=\"" + path + "\" >" + name + "</item>\r\n";
}

QByteArray data(const QByteArray &name, const QByteArray &date, int size)
{
    return "\t<data name=\"" + name + "\" date=\"" + date + "\" size=\"" + QByteArray::number(size) + "\"/>\r\n";
}

QString describe(const response &result, const QString &uid)
{
    static const char *const names[] = {"Done", "Failed", "DoneReadOnly", "BatchEnd"};
    QString line = QStringLiteral("%1 %2 %3 @%4").arg(QLatin1String(names[result.status]), result.operation, result.path, uid);
    if (!result.message.isEmpty())
        line += QStringLiteral(" | ") + result.message;
    return line;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

struct uiLog
{
    QStringList boxes;
    int quits = 0;
};

// Records the error boxes and the quitting instead of showing and doing them.
class testUi : public commsUi
{
public:
    explicit testUi(uiLog &log)
        : m_log(log)
    {
    }
    void critical(const QString &title, const QString &text) override { m_log.boxes << title + QStringLiteral(": ") + text; }
    void quit() override { ++m_log.quits; }

private:
    uiLog &m_log;
};

// A server whose every byte the test writes, for replies the real one
// never sends or sends only after much preparation.
struct fakeServer
{
    fakeServer() { listener.listen(QHostAddress::LocalHost, 0); }

    void send(const QByteArray &bytes)
    {
        peer->write(bytes);
        peer->flush();
    }
    QByteArray expect(const QByteArray &expected, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (pending.size() < expected.size() && !deadline.hasExpired()) {
            QTest::qWait(2);
            pending += peer->readAll();
        }
        const QByteArray taken = pending.left(expected.size());
        pending.remove(0, taken.size());
        return taken;
    }
    QByteArray drain(int ms = 50)
    {
        QTest::qWait(ms);
        return std::exchange(pending, QByteArray()) + peer->readAll();
    }

    QTcpServer listener;
    QTcpSocket *peer = nullptr;
    QByteArray pending;
};

} // namespace

class tst_server_comms : public QObject
{
    Q_OBJECT

private:
    server_comms *connectTo(quint16 port)
    {
        auto *comms = new server_comms(nullptr, serverName, QStringLiteral("127.0.0.1"), port, std::make_unique<testUi>(m_ui));
        connect(comms, qOverload<response &, QString &>(&server_comms::event), this,
                [this](response &result, QString &uid) { m_events << describe(result, uid); });
        connect(comms, &server_comms::setServer, this,
                [this](const QString &server, const QString &system, const QString &user, const QString &level) {
                    m_servers << QStringList{server, system, user, level}.join(QLatin1Char(','));
                });
        m_comms = comms;
        return comms;
    }

    // Connected to `fake` past the greeting, the system chosen.
    void openFake(fakeServer &fake)
    {
        connectTo(fake.listener.serverPort());
        QTRY_VERIFY(fake.listener.hasPendingConnections());
        fake.peer = fake.listener.nextPendingConnection();
        fake.send(protocol::greeting);
        QCOMPARE(fake.expect(systemsRequest), systemsRequest);
        m_comms->setSystem(north);
    }

    // Logged in to the real server as ops of North.
    void logIn(serverFixture &fx)
    {
        m_answers.expect("selectsystem", chooseSystem(north));
        m_answers.expect("login", enterLogin(QStringLiteral("ops"), QStringLiteral("secret")));
        connectTo(fx.port());
        QTRY_COMPARE_WITH_TIMEOUT(m_servers, QStringList{"Kestrel,North,ops,2"}, 10000);
    }

    QString local(const QString &relative) const { return m_comms->clientDir() + QStringLiteral("/North/") + relative; }

    void waitForBatchEnd(int count = 1)
    {
        QTRY_COMPARE_WITH_TIMEOUT(m_events.filter(QRegularExpression(QStringLiteral("^BatchEnd"))).size(), count, 10000);
    }

    static void setLocks(const QStringList &lines)
    {
        lock_list locks(north);
        for (const QString &line : lines)
            locks.add(line.section(QLatin1Char(','), 0, 0), line.section(QLatin1Char(','), 1));
    }
    static QStringList heldLocks()
    {
        QStringList lines;
        for (const pair &held : lock_list(north).pairs())
            lines << held.key + QLatin1Char(',') + held.path;
        return lines;
    }
    static void setDownloads(const QStringList &lines)
    {
        download_list downloads(north);
        for (const QString &line : lines)
            downloads.add(line.section(QLatin1Char(','), 0, 0), line.section(QLatin1Char(','), 1));
    }
    static QStringList listedDownloads()
    {
        QStringList lines;
        for (const downloadEntry &entry : download_list(north).entries())
            lines << entry.path + QLatin1Char(',') + entry.key;
        return lines;
    }

    // Every file reported as placed in the local copy is in the download list for its plugin.
    void verifyListed(const QString &system = north)
    {
        static const QRegularExpression placed(QStringLiteral("^(Done|DoneReadOnly) download (\\S+) @(\\S+)$"));
        download_list downloads(system);
        for (const QString &line : std::as_const(m_events)) {
            const QRegularExpressionMatch m = placed.match(line);
            if (m.hasMatch())
                QVERIFY2(downloads.pathsFor(m.captured(3)).contains(m.captured(2)), qPrintable(line));
        }
    }

    void perform(const QString &operation, const QString &path, const QString &uid)
    {
        using request = void (server_comms::*)(const QString &, const QString &);
        static const QHash<QString, request> requests{
            {QStringLiteral("downloadFile"), &server_comms::downloadFile},
            {QStringLiteral("lock"), &server_comms::lock},
            {QStringLiteral("lockDir"), &server_comms::lockDir},
            {QStringLiteral("checkoutFile"), &server_comms::checkoutFile},
            {QStringLiteral("checkoutDir"), &server_comms::checkoutDir},
            {QStringLiteral("syncDirDownload"), &server_comms::syncDirDownload},
            {QStringLiteral("syncDirUpload"), &server_comms::syncDirUpload},
            {QStringLiteral("dir"), &server_comms::dir},
            {QStringLiteral("unlock"), &server_comms::unlock},
            {QStringLiteral("unlockDir"), &server_comms::unlockDir},
        };
        if (operation == u"uploadFile")
            m_comms->uploadFile(path, uid, m_comms->clientDir() + QLatin1Char('/') + m_comms->system());
        else
            (m_comms->*requests.value(operation))(path, uid);
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        // Remembered logins and systems stay with this process, also when
        // other tests run at the same time.
        QVERIFY(m_settings.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        qRegisterMetaType<QList<int>>();
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        clientFolder::setOverride(m_root->path() + QStringLiteral("/client"));
        QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk")).clear();
        m_answers.clear();
        m_ui = uiLog();
        m_events.clear();
        m_servers.clear();
    }

    void cleanup()
    {
        delete m_comms.data();
        QCOMPARE(m_answers.unexpected, QStringList());
        QVERIFY(m_answers.done());
        QCOMPARE(lock_list::handleCount(), 0);
        QCOMPARE(download_list::handleCount(), 0);
        clientFolder::setOverride(QString());
    }

    void requests_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("locks");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("locksAfter");
        QTest::addColumn<int>("waits");

        for (const char *op : {"downloadFile", "lock", "lockDir", "checkoutFile", "checkoutDir", "syncDirDownload",
                               "unlock", "unlockDir", "uploadFile"}) {
            QTest::addRow("%s: empty path", op) << op << QString() << QStringList{"p1,config"} << QByteArray()
                                                << QStringList() << QStringList{"p1,config"} << 0;
        }
        QTest::newRow("dir: empty path") << "dir" << QString() << QStringList() << QByteArray(
            "<synclist uid=\"dir:p1\" type=\"request\" system=\"North\" path=\"\" />\r\n") << QStringList() << QStringList() << 0;
        QTest::newRow("syncDirUpload: empty path") << "syncDirUpload" << QString() << QStringList() << QByteArray(
            "<synclist uid=\"upload:p1\" type=\"request\" system=\"North\" path=\"\" />\r\n") << QStringList() << QStringList() << 0;

        const QByteArray lockA = "<lock uid=\"p1\" type=\"request\" system=\"North\" >\t<file name=\"config/a.txt\" /></lock>";
        const QByteArray downloadA = "<download uid=\"p1\" type=\"request\" system=\"North\" >\t<file name=\"config/a.txt\" />"
                                     "</download>\r\n";
        const QByteArray checkoutA = lockA + "<download uid=\"config/a.txt:p1\" type=\"request\" system=\"North\" >"
                                             "\t<file name=\"config/a.txt\" /></download>\r\n";
        const QStringList none;
        QTest::newRow("downloadFile") << "downloadFile" << "config/a.txt" << none << downloadA << none << none << 1;
        QTest::newRow("downloadFile: markup in the name escaped")
            << "downloadFile" << "config/a&b<c>\"d'.txt" << none
            << QByteArray("<download uid=\"p1\" type=\"request\" system=\"North\" >\t<file name=\"config/a&amp;b&lt;c&gt;"
                          "&quot;d&apos;.txt\" /></download>\r\n") << none << none << 1;
        QTest::newRow("downloadFile: held exactly") << "downloadFile" << "config/a.txt" << QStringList{"p2,config/a.txt"}
            << QByteArray() << QStringList{"DoneReadOnly download config/a.txt @p1", "BatchEnd download  @p1"}
            << QStringList{"p2,config/a.txt"} << 0;
        QTest::newRow("lock") << "lock" << "config/a.txt" << none << lockA << none << none << 0;
        QTest::newRow("lock: held exactly by another plugin") << "lock" << "config/a.txt" << QStringList{"p2,config/a.txt"}
            << QByteArray() << QStringList{"Done lock config/a.txt @p1"} << QStringList{"p2,config/a.txt", "p1,config/a.txt"} << 0;
        QTest::newRow("lock: inside a held folder") << "lock" << "config/a.txt" << QStringList{"p2,config"} << lockA << none
                                                    << QStringList{"p2,config"} << 0;
        QTest::newRow("lockDir") << "lockDir" << "config" << none
            << QByteArray("<lock uid=\"p1\" type=\"request\" system=\"North\" >\t<dir name=\"config\" /></lock>") << none << none << 0;
        QTest::newRow("lockDir: held exactly") << "lockDir" << "config" << QStringList{"p2,config"} << QByteArray()
            << QStringList{"Done lockDir config @p1"} << QStringList{"p2,config", "p1,config"} << 0;
        QTest::newRow("checkoutFile") << "checkoutFile" << "config/a.txt" << none << checkoutA << none << none << 1;
        QTest::newRow("checkoutFile: held exactly") << "checkoutFile" << "config/a.txt" << QStringList{"p2,config/a.txt"}
            << QByteArray()
            << QStringList{"Done lock config/a.txt @p1", "Done download config/a.txt @p1", "BatchEnd download config/a.txt @p1"}
            << QStringList{"p2,config/a.txt", "p1,config/a.txt"} << 0;
        QTest::newRow("checkoutFile: inside a held folder") << "checkoutFile" << "config/a.txt" << QStringList{"p2,config"}
                                                            << checkoutA << none << QStringList{"p2,config"} << 1;
        QTest::newRow("checkoutDir") << "checkoutDir" << "config/d" << none
            << QByteArray("<lock uid=\"p1\" type=\"request\" system=\"North\" >\t<dir name=\"config/d\" /></lock>"
                          "<synclist uid=\"download:p1\" type=\"request\" system=\"North\" path=\"config/d\" />\r\n")
            << none << none << 0;
        QTest::newRow("syncDirDownload") << "syncDirDownload" << "config/d" << none
            << QByteArray("<synclist uid=\"download:p1\" type=\"request\" system=\"North\" path=\"config/d\" />\r\n")
            << none << none << 0;
        QTest::newRow("unlock") << "unlock" << "config/a.txt" << QStringList{"p1,config/a.txt"}
            << QByteArray("<unlock type=\"request\" uid=\"p1\" system=\"North\" >\r\n\t<file name=\"config/a.txt\"/>\r\n</unlock>\r\n")
            << none << none << 0;
        QTest::newRow("unlock: still held by another plugin") << "unlock" << "config/a.txt"
            << QStringList{"p1,config/a.txt", "p2,config/a.txt"} << QByteArray() << QStringList{"Done unlock config/a.txt @p1"}
            << QStringList{"p2,config/a.txt"} << 0;
        QTest::newRow("unlockDir") << "unlockDir" << "config" << QStringList{"p1,config"}
            << QByteArray("<unlock type=\"request\" uid=\"p1\" system=\"North\" >\r\n\t<dir name=\"config\"/>\r\n</unlock>\r\n")
            << none << none << 0;
        QTest::newRow("unlockDir: still held by another plugin") << "unlockDir" << "config"
            << QStringList{"p1,config", "p2,config"} << QByteArray() << none << QStringList{"p2,config"} << 0;
        QTest::newRow("uploadFile: a file the editor lacks") << "uploadFile" << "config/gone.txt" << none
            << QByteArray("<upload type=\"request\" uid=\"p1\" system=\"North\" >\r\n\t<file name=\"config/gone.txt\" >"
                          "</file>\r\n</upload>\r\n") << none << none << 1;
    }

    void requests()
    {
        QFETCH(QString, operation);
        QFETCH(QString, path);
        QFETCH(QStringList, locks);
        QFETCH(QByteArray, sent);
        QFETCH(int, waits);
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        setLocks(locks);
        perform(operation, path, QStringLiteral("p1"));
        if (!sent.isEmpty())
            QCOMPARE(fake.expect(sent), sent);
        QCOMPARE(fake.drain(), QByteArray());
        QTEST(m_events, "events");
        QTEST(heldLocks(), "locksAfter");
        verifyListed();
        QCOMPARE(m_comms->waitDialog()->count(), waits);
    }

    // Notices of stored and deleted files reach the editor for its own system
    // only; releasing a lock drops it for every plugin and asks the server.
    void noticesAndRelease()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        QStringList notices;
        connect(m_comms, &server_comms::notice, this, [&](const QString &type, const QString &path, const QString &undo) {
            notices << type + QLatin1Char(' ') + path + QLatin1Char(' ') + undo;
        });
        fake.send("<update type=\"update\" system=\"North\" name=\"config/a&amp;b.xml\" undoname=\"a&amp;b.xml.7\"/>\r\n"
                  "<update type=\"update\" system=\"South\" name=\"config/s.xml\" undoname=\"s.xml.8\"/>\r\n"
                  "<update type=\"rename\" system=\"North\" name=\"config/r.xml\"/>\r\n"
                  "<update type=\"delete\" system=\"North\" name=\"config/b.xml\" />\r\n");
        QTRY_COMPARE(notices, QStringList({"update config/a&b.xml a&b.xml.7", "delete config/b.xml "}));
        QVERIFY(m_events.isEmpty());

        setLocks({"p1,config/d", "p2,config/d", "p2,config/e"});
        m_comms->releaseLock(QStringLiteral("config/d"), QStringLiteral("Home"));
        const QByteArray unlock = "<unlock type=\"request\" uid=\"Home\" system=\"North\" >\r\n\t<file name=\"config/d\"/>\r\n"
                                  "</unlock>\r\n";
        QCOMPARE(fake.expect(unlock), unlock);
        QCOMPARE(heldLocks(), QStringList({"p2,config/e"}));
    }

    // Also what "deleteDir" and "delete" do: the main window calls checkoutDir for them.
    void checkoutDirOfAHeldFolderWalksTheLocalCopy()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        setLocks({"p2,config/d"});
        writeFile(local("config/d/x.txt"), "x");
        writeFile(local("config/d/sub/y.txt"), "y");
        writeFile(local("config/other.txt"), "o");
        m_comms->checkoutDir(QStringLiteral("config/d"), QStringLiteral("p1"));
        QCOMPARE(fake.drain(), QByteArray());
        QCOMPARE(m_events.size(), 4);
        QCOMPARE(m_events.first(), QStringLiteral("Done lock config/d @p1"));
        QCOMPARE(sorted(m_events.mid(1, 2)),
                 QStringList({"Done download config/d/sub/y.txt @p1", "Done download config/d/x.txt @p1"}));
        QCOMPARE(m_events.last(), QStringLiteral("BatchEnd download config/d @p1"));
        QCOMPARE(heldLocks(), QStringList({"p2,config/d", "p1,config/d"}));
        QCOMPARE(sorted(listedDownloads()), QStringList({"config/d/sub/y.txt,p1", "config/d/x.txt,p1"}));
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("locks");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("locksAfter");
        const QStringList none;

        QTest::newRow("upload: stored, failed, refused, a deletion")
            << QByteArray("<upload uid=\"p1\" type=\"reply\" system=\"North\">\r\n"
                          "\t<file type=\"reply\" name=\"config/a.txt\" />\r\n"
                          "\t<file type=\"error\" name=\"config/b.txt\" >\r\n\t\t<message>Z_BUF_ERROR - uncompress error"
                          "</message>\r\n\t</file>\r\n"
                          "\t<file type=\"error\">\r\n\t\t<message>File '/srv/North/config/c.txt' is checked out to "
                          "'Admin,127.0.0.1' </message>\r\n</file>\r\n"
                          "\t<delete type=\"reply\" name=\"config/d.txt\" />\r\n</upload>\r\n")
            << none
            << QStringList{"Done upload config/a.txt @p1", "Failed upload config/b.txt @p1 | Z_BUF_ERROR - uncompress error",
                           "Failed upload  @p1 | File '/srv/North/config/c.txt' is checked out to 'Admin,127.0.0.1' ",
                           "BatchEnd upload  @p1"}
            << none;
        QTest::newRow("dir listing") << dirReply(item("file", "a", "x") + item("dir", "b", "y")) << none
                                     << QStringList{"Done dir file:a/x,dir:b/y, @p1"} << none;
        QTest::newRow("dir listing: escaped names") << dirReply(item("file", "c&amp;d", "e&amp;f&lt;g")) << none
                                                    << QStringList{"Done dir file:c&d/e&f<g, @p1"} << none;
        QTest::newRow("dir listing: folder not listable") << QByteArray("<dir></dir>\r\n") << none
                                                          << QStringList{"Done dir  @"} << none;
        QTest::newRow("skipped: notices, unknown elements, comments, text")
            << "<update type=\"update\" system=\"North\" name=\"config/a\" undoname=\"a.1\"/>\r\n"
               "<news type=\"reply\"><item type=\"file\" path=\"p\">n</item></news>\r\n<!-- note -->\r\n  \r\n"
               + dirReply(item("file", "a", "x"))
            << none << QStringList{"Done dir file:a/x, @p1"} << none;
        QTest::newRow("two replies in one segment") << dirReply(item("file", "a", "x")) + dirReply(item("file", "b", "y"))
                                                    << none << QStringList{"Done dir file:a/x, @p1", "Done dir file:b/y, @p1"}
                                                    << none;

        const QByteArray lockOpen = "<lock uid=\"p1\" system=\"North\" type=\"reply\" >\r\n";
        const QByteArray unlockOpen = "<unlock uid=\"p1\" system=\"North\" type=\"reply\" >\r\n";
        QTest::newRow("lock granted") << lockOpen + "\t<file name=\"config/a.txt\" type=\"reply\" />\r\n</lock>\r\n" << none
                                      << QStringList{"Done lock config/a.txt @p1"} << QStringList{"p1,config/a.txt"};
        QTest::newRow("lock granted for a dir child") << lockOpen + "\t<dir name=\"config\" type=\"reply\" />\r\n</lock>\r\n"
                                                      << none << QStringList{"Done lockDir config @p1"} << QStringList{"p1,config"};
        QTest::newRow("lock refused") << lockOpen + "\t<dir name=\"config\" type=\"error\" >\r\n\t\t<message>The Path "
                                                    "'config/a' is already checked out to 'Admin,127.0.0.1'</message>\r\n"
                                                    "\t</dir>\r\n</lock>\r\n"
                                      << none
                                      << QStringList{"Failed lock config @p1 | The Path 'config/a' is already checked out to "
                                                     "'Admin,127.0.0.1'"}
                                      << none;
        QTest::newRow("unlock granted: every key's pair goes")
            << unlockOpen + "\t<file name=\"config/a.txt\" type=\"reply\"/>\r\n</unlock>\r\n"
            << QStringList{"p1,config/a.txt", "p2,config/a.txt", "p1,config"} << QStringList{"Done unlock config/a.txt @p1"}
            << QStringList{"p1,config"};
        QTest::newRow("unlock refused: the pair goes too")
            << unlockOpen + "\t<file name=\"config/a.txt\" type=\"error\" >\r\n\t\t<message>Path was not checked out to "
                            "this user ''</message>\r\n\t</file>\r\n</unlock>\r\n"
            << QStringList{"p1,config/a.txt"}
            << QStringList{"Failed unlock config/a.txt @p1 | Path was not checked out to this user ''"} << none;
    }

    void replies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, locks);
        QFETCH(QStringList, events);
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        setLocks(locks);
        fake.send(reply);
        QTRY_COMPARE(m_events, events);
        QCOMPARE(fake.drain(20), QByteArray());
        QCOMPARE(m_events, events);
        QTEST(heldLocks(), "locksAfter");
        if (reply.startsWith("<upload"))
            QCOMPARE(listedDownloads(), QStringList{"config/a.txt,p1"});
    }

    void downloadReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("locks");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("files");  // below the test's root: path=content
        QTest::addColumn<QStringList>("absent"); // below the test's root
        const QStringList none;
        const QString leaves = QStringLiteral(" | The path leaves the local copy of the system");

        QTest::newRow("no dir elements")
            << downloadReply("p1", fileReply("config/a.txt", "alpha") + fileReply("config/deep/er/b.txt", "beta")) << none
            << QStringList{"DoneReadOnly download config/a.txt @p1", "DoneReadOnly download config/deep/er/b.txt @p1",
                           "BatchEnd download  @p1"}
            << QStringList{"client/North/config/a.txt=alpha", "client/North/config/deep/er/b.txt=beta"} << none;
        QTest::newRow("check-out: to the plugin, held")
            << downloadReply("config/a.txt:plug", fileReply("config/a.txt", "alpha")) << QStringList{"plug,config"}
            << QStringList{"Done download config/a.txt @plug", "BatchEnd download config/a.txt @plug"}
            << QStringList{"client/North/config/a.txt=alpha"} << none;
        QTest::newRow("uid of three parts stays whole")
            << downloadReply("x:y:z", fileReply("config/a.txt", "alpha")) << none
            << QStringList{"DoneReadOnly download config/a.txt @x:y:z", "BatchEnd download  @x:y:z"}
            << QStringList{"client/North/config/a.txt=alpha"} << none;
        QTest::newRow("dir elements")
            << downloadReply("p1", "<dir name=\"root\"><dir name=\"sub\">" + fileReply("f.txt", "f") + "</dir>"
                                       + fileReply("g.txt", "g") + "</dir>")
            << none << QStringList{"DoneReadOnly download f.txt @p1", "DoneReadOnly download g.txt @p1", "BatchEnd download  @p1"}
            << QStringList{"client/North/root/sub/f.txt=f", "client/North/root/g.txt=g"} << none;
        const int packed = int(hexOf("bad content").size() / 2);
        QTest::newRow("compressed size differs; the rest is stored")
            << downloadReply("p1", fileReply("config/bad.txt", "bad content", 1) + fileReply("config/a.txt", "alpha")) << none
            << QStringList{QStringLiteral("Failed download config/bad.txt @p1 | Compressed data size (%1) is different "
                                          "from reported size (%2)").arg(packed).arg(packed + 1),
                           "DoneReadOnly download config/a.txt @p1", "BatchEnd download  @p1"}
            << QStringList{"client/North/config/a.txt=alpha"} << QStringList{"client/North/config/bad.txt"};
        QTest::newRow("error entry")
            << downloadReply("p1", "\t<file name=\"config/x.txt\" type=\"error\">\r\n\t\t<message>File \"/srv/North/config/"
                                   "x.txt\" cannot be found</message>\r\n\t</file>\r\n")
            << none
            << QStringList{"Failed download config/x.txt @p1 | File \"/srv/North/config/x.txt\" cannot be found",
                           "BatchEnd download  @p1"}
            << none << none;
        QTest::newRow("entry without content") << downloadReply("p1", "\t<file type=\"reply\" name=\"config/e.txt\" size=\"0\" "
                                                                      "compressedsize=\"0\" date=\"" + dateText + "\" ></file>\r\n")
                                               << none << QStringList{"BatchEnd download  @p1"} << none
                                               << QStringList{"client/North/config/e.txt"};
        QTest::newRow("empty file") << downloadReply("p1", fileReply("config/empty.txt", "")) << none
                                    << QStringList{"DoneReadOnly download config/empty.txt @p1", "BatchEnd download  @p1"}
                                    << QStringList{"client/North/config/empty.txt="} << none;
        QTest::newRow("name leaving the local copy")
            << downloadReply("p1", fileReply("../../outside.txt", "x") + fileReply("..\\..\\outside2.txt", "x")
                                       + fileReply("/abs.txt", "x"))
            << none
            << QStringList{"Failed download ../../outside.txt @p1" + leaves, "Failed download ..\\..\\outside2.txt @p1" + leaves,
                           "Failed download /abs.txt @p1" + leaves, "BatchEnd download  @p1"}
            << none << QStringList{"outside.txt", "outside2.txt", "client/outside.txt"};
        QTest::newRow("dir element leaving the local copy")
            << downloadReply("p1", "<dir name=\"..\"><dir name=\"..\">" + fileReply("x.txt", "x") + "</dir></dir>") << none
            << QStringList{"Failed download x.txt @p1" + leaves, "BatchEnd download  @p1"} << none
            << QStringList{"x.txt", "client/x.txt"};
        QTest::newRow("system leaving the client folder")
            << downloadReply("p1", fileReply("x.txt", "x"), "..") << none
            << QStringList{"Failed download x.txt @p1" + leaves, "BatchEnd download  @p1"} << none << QStringList{"client/x.txt"};
    }

    void downloadReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, locks);
        QFETCH(QStringList, events);
        QFETCH(QStringList, files);
        QFETCH(QStringList, absent);
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        setLocks(locks);
        fake.send(reply);
        waitForBatchEnd();
        QCOMPARE(m_events, events);
        for (const QString &expected : std::as_const(files)) {
            const QString path = m_root->path() + QLatin1Char('/') + expected.section(QLatin1Char('='), 0, 0);
            QCOMPARE(readAll(path), expected.section(QLatin1Char('='), 1).toUtf8());
            QCOMPARE(QFileInfo(path).lastModified(), serverDate);
        }
        for (const QString &path : std::as_const(absent))
            QVERIFY2(!QFile::exists(m_root->path() + QLatin1Char('/') + path), qPrintable(path));
        verifyListed();
    }

    void replySplitOverSegments_data()
    {
        QTest::addColumn<QList<int>>("cuts"); // negative: from the end
        QTest::newRow("in the start tag") << QList<int>{12};
        QTest::newRow("in the file's start tag") << QList<int>{75};
        QTest::newRow("in the hex text, twice") << QList<int>{300, 20000};
        QTest::newRow("past the pass-through length") << QList<int>{9000, 9001, 9003};
        QTest::newRow("in the closing tags") << QList<int>{-20, -8, -3};
    }

    void replySplitOverSegments()
    {
        QFETCH(QList<int>, cuts);
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        QByteArray content(16 * 1024, '\0');
        QRandomGenerator random(5);
        for (char &c : content)
            c = char(random.bounded(256));
        const QByteArray reply = downloadReply("p1", fileReply("config/big.bin", content));
        qsizetype from = 0;
        for (int cut : std::as_const(cuts)) {
            const qsizetype to = cut < 0 ? reply.size() + cut : cut;
            fake.send(reply.mid(from, to - from));
            from = to;
            QTest::qWait(30);
            QCOMPARE(m_events.filter(QStringLiteral("BatchEnd")), QStringList());
        }
        fake.send(reply.mid(from));
        waitForBatchEnd();
        QCOMPARE(m_events, QStringList({"DoneReadOnly download config/big.bin @p1", "BatchEnd download  @p1"}));
        QCOMPARE(readAll(local("config/big.bin")), content);
    }

    void correctiveReadOnTheTimer()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        // Without the read on arrival, only the timer gets the bytes parsed.
        disconnect(m_comms.data(), &QIODevice::readyRead, m_comms.data(), &server_comms::socketRead);
        fake.send(dirReply(item("file", "a", "x")));
        QTRY_COMPARE_WITH_TIMEOUT(m_events, QStringList{"Done dir file:a/x, @p1"}, 2500);
    }

    void inputDuringADialogWaitsForTheHandler()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        int eventsInDialog = -1;
        qint64 unreadInDialog = -1;
        m_answers.expect("selectsystem", [&](QWidget *dialog) {
            fake.send(dirReply(item("file", "a", "x")));
            // No readyRead inside its own slot: the corrective timer takes the bytes.
            const auto waitFor = [](const std::function<bool()> &condition) {
                QDeadlineTimer deadline(3000);
                while (!condition() && !deadline.hasExpired())
                    QTest::qWait(5);
            };
            waitFor([&] { return m_comms->bytesAvailable() > 0; });
            waitFor([&] { return m_comms->bytesAvailable() == 0; });
            unreadInDialog = m_comms->bytesAvailable();
            eventsInDialog = m_events.size();
            chooseSystem(north)(dialog);
        });
        m_answers.expect("login", enterLogin(QStringLiteral("ops"), QStringLiteral("pw")));
        fake.send("<systems type=\"reply\">\r\n\t<system name=\"North\" />\r\n</systems>\r\n");
        const QByteArray request = "<login type=\"request\" id=\"ops\" password=\"pw\" system=\"North\" />";
        QCOMPARE(fake.expect(request), request);
        QTRY_COMPARE(m_events, QStringList{"Done dir file:a/x, @p1"});
        QCOMPARE(unreadInDialog, 0); // read from the socket while the dialog was open...
        QCOMPARE(eventsInDialog, 0); // ...but parsed only after the handler returned
    }

    void loginRequests()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        QStringList offered;
        m_answers.expect("selectsystem", chooseSystem(QStringLiteral("South")));
        m_answers.expect("login", enterLogin(QStringLiteral("o&ps"), QStringLiteral("pw\"1"), &offered));
        m_answers.expect("login", enterLogin(QStringLiteral("ops"), QStringLiteral("pw2"), &offered));
        fake.send("<systems type=\"reply\">\r\n\t<system name=\"North\" />\r\n\t<system name=\"South\" />\r\n</systems>\r\n");
        const QByteArray first = "<login type=\"request\" id=\"o&amp;ps\" password=\"pw&quot;1\" system=\"South\" />";
        QCOMPARE(fake.expect(first), first);
        fake.send("<login type=\"error\">\r\n\t<message>Unknown username or password</message>\r\n</login>\r\n"
                  "<login type=\"request\" />\r\n");
        const QByteArray again = "<login type=\"request\" id=\"ops\" password=\"pw2\" system=\"South\"/>";
        QCOMPARE(fake.expect(again), again);
        QCOMPARE(m_ui.boxes, QStringList{"Error: Unknown username or password"});
        QCOMPARE(offered, QStringList({"/", "o&ps/pw\"1"}));
        QVERIFY(m_servers.isEmpty());
        fake.send("<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n");
        QTRY_COMPARE(m_servers, QStringList{"Kestrel,South,ops,2"});
        QCOMPARE(fake.drain(), QByteArray());
        QCOMPARE(m_servers.size(), 1);
        QCOMPARE(m_ui.quits, 0);
    }

    void refusedDialogsQuit_data()
    {
        QTest::addColumn<bool>("chooseSystem");
        QTest::newRow("system choice refused") << false;
        QTest::newRow("login refused") << true;
    }

    void refusedDialogsQuit()
    {
        QFETCH(bool, chooseSystem);
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        if (chooseSystem) {
            m_answers.expect("selectsystem", ::chooseSystem(north));
            m_answers.expect("login", cancel());
        } else {
            m_answers.expect("selectsystem", cancel());
        }
        fake.send("<systems type=\"reply\">\r\n\t<system name=\"North\" />\r\n</systems>\r\n");
        QTRY_COMPARE(m_ui.quits, 1);
        QCOMPARE(fake.drain(), QByteArray());
        QVERIFY(m_servers.isEmpty());
    }

    void loginToTheServerIsRemembered()
    {
        serverFixture fx;
        QStringList offered;
        QString offeredSystem;
        m_answers.expect("selectsystem", chooseSystem(north));
        m_answers.expect("login", enterLogin(QStringLiteral("ops"), QStringLiteral("wrong"), &offered));
        m_answers.expect("login", enterLogin(QStringLiteral("ops"), QStringLiteral("secret"), &offered));
        connectTo(fx.port());
        QTRY_COMPARE_WITH_TIMEOUT(m_servers, QStringList{"Kestrel,North,ops,2"}, 10000);
        QCOMPARE(m_ui.boxes, QStringList{"Error: Unknown username or password"});
        QCOMPARE(offered, QStringList({"/", "ops/wrong"}));
        QCOMPARE(m_comms->userId(), QStringLiteral("ops"));
        QCOMPARE(m_comms->userLevel(), QStringLiteral("2"));
        QVERIFY(QFile::exists(m_settings.path() + QStringLiteral("/Tarnwell/setdesk.conf")));
        delete m_comms.data();

        // The next start offers what was accepted last.
        m_answers.expect("selectsystem", chooseSystem(QString(), &offeredSystem));
        m_answers.expect("login", enterLogin(QString(), QString(), &offered));
        connectTo(fx.port());
        QTRY_COMPARE_WITH_TIMEOUT(m_servers.size(), 2, 10000);
        QCOMPARE(m_servers.last(), QStringLiteral("Kestrel,North,ops,2"));
        QCOMPARE(offeredSystem, north);
        QCOMPARE(offered.last(), QStringLiteral("ops/secret"));
        QCOMPARE(m_ui.boxes.size(), 1);
    }

    void downloadSync()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        setLocks({"p1,config/s/sub"});
        writeFile(local("config/s/same.txt"), "SAME");
        writeFile(local("config/s/later2.txt"), "LLLL", serverDate.addSecs(2));
        writeFile(local("config/s/later3.txt"), "MMMM", serverDate.addSecs(3));
        writeFile(local("config/s/Local.TXT"), "only here");
        writeFile(local("config/s/sub/kept.txt"), "KEPT");
        writeFile(local("config/keep.txt"), "outside the folder");
        fake.send("<synclist uid=\"download:p1\" type=\"reply\" system=\"North\" path=\"config/s\" >\r\n"
                  + data("same.txt", dateText, 4) + data("later2.txt", dateText, 4) + data("later3.txt", dateText, 4)
                  + data("new.txt", dateText, 3) + data("newdir", "", 0) + data("sub", "", 0)
                  + data("sub/kept.txt", dateText, 4) + "</synclist>\r\n");
        const QByteArray request = "<download uid=\"config/s:p1\" type=\"request\" system=\"North\" >"
                                   "\t<file name=\"config/s/new.txt\" />\t<file name=\"config/s/later3.txt\" />"
                                   "</download>\r\n";
        QCOMPARE(fake.expect(request), request);
        QCOMPARE(fake.drain(), QByteArray());
        QCOMPARE(m_events, QStringList({"DoneReadOnly download config/s/same.txt @p1", "Done download config/s/sub @p1",
                                        "Done download config/s/sub/kept.txt @p1"}));
        verifyListed();
        QVERIFY(!QFile::exists(local("config/s/Local.TXT")));
        QCOMPARE(readAll(local("config/s/later2.txt")), QByteArray("LLLL"));
        QCOMPARE(readAll(local("config/keep.txt")), QByteArray("outside the folder"));

        m_events.clear();
        fake.send(downloadReply("config/s:p1", fileReply("config/s/new.txt", "new") + fileReply("config/s/later3.txt", "3333")));
        waitForBatchEnd();
        QCOMPARE(m_events, QStringList({"DoneReadOnly download config/s/new.txt @p1",
                                        "DoneReadOnly download config/s/later3.txt @p1", "BatchEnd download config/s @p1"}));
        QCOMPARE(readAll(local("config/s/later3.txt")), QByteArray("3333"));
        QCOMPARE(m_comms->waitDialog()->count(), 0);

        // A folder outside the local copy is neither scanned nor asked for.
        m_events.clear();
        writeFile(m_comms->clientDir() + QStringLiteral("/South/x.txt"), "x");
        fake.send("<synclist uid=\"download:p1\" type=\"reply\" system=\"North\" path=\"../South\" >\r\n"
                  + data("y.txt", dateText, 1) + "</synclist>\r\n");
        const QByteArray nothing = "<download uid=\"../South:p1\" type=\"request\" system=\"North\" ></download>\r\n";
        QCOMPARE(fake.expect(nothing), nothing);
        QVERIFY(QFile::exists(m_comms->clientDir() + QStringLiteral("/South/x.txt")));
        QCOMPARE(m_events, QStringList());
    }

    void uploadSync()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        setLocks({"p1,config/s/locked.txt"});
        writeFile(local("config/s/same.txt"), "SAME");
        writeFile(local("config/s/locked.txt"), "LOCK");
        writeFile(local("config/s/later2.txt"), "LLLL", serverDate.addSecs(-2));
        writeFile(local("config/s/changed.txt"), "new!", serverDate.addSecs(60));
        writeFile(local("config/s/added.txt"), "added");
        const QByteArray serverList = data("same.txt", dateText, 4) + data("locked.txt", dateText, 4)
                                      + data("later2.txt", dateText, 4) + data("changed.txt", dateText, 4)
                                      + data("Gone.TXT", dateText, 3) + data("olddir", "", 0);
        fake.send("<synclist uid=\"upload:p1\" type=\"reply\" system=\"North\" path=\"config/s\" >\r\n" + serverList
                  + "</synclist>\r\n");
        const auto fileElement = [&](const QString &name) {
            QByteArray hex;
            xfer::compressFile(local(name), hex);
            const QFileInfo info(local(name));
            return "\t<file name=\"" + name.toUtf8() + "\" size=\"" + QByteArray::number(info.size()) + "\" date=\""
                   + protocol::isoDate(info.lastModified()).toUtf8() + "\">" + hex + "</file>\r\n";
        };
        const QByteArray head = "<upload type=\"request\" uid=\"p1\" system=\"North\" >\r\n";
        const QByteArray request = head + fileElement(QStringLiteral("config/s/added.txt"))
                                   + fileElement(QStringLiteral("config/s/changed.txt"))
                                   + "<delete name=\"config/s/Gone.TXT\" />\r\n</upload>\r\n";
        QCOMPARE(fake.expect(request), request);
        QCOMPARE(fake.drain(), QByteArray());
        QCOMPARE(sorted(m_events), QStringList({"Done upload config/s/locked.txt @p1",
                                                "Failed upload config/s/same.txt @p1 | This path not locked to this user"}));

        // Without a local copy to compare with, nothing is deleted on the server.
        m_events.clear();
        fake.send("<synclist uid=\"upload:p1\" type=\"reply\" system=\"North\" path=\"config/none\" >\r\n" + serverList
                  + "</synclist>\r\n");
        QCOMPARE(fake.expect(head + "</upload>\r\n"), head + "</upload>\r\n");
        QCOMPARE(m_events, QStringList());
    }

    // A local file that exists but cannot be read is never sent: a file
    // element without content would retire the server's copy.
    void unreadableFilesAreNotSent_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("a folder in its place") << "folder" << "The local file '%1' cannot be read";
        QTest::newRow("a link to nothing") << "dangling" << "The local file '%1' cannot be read";
        QTest::newRow("beyond the transfer limit")
            << "huge" << QStringLiteral("File size %1 is outside the transfer limit of %2 bytes")
                             .arg(xfer::maxUncompressedSize + 1)
                             .arg(xfer::maxUncompressedSize);
    }

    void unreadableFilesAreNotSent()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        const QString bad = local("config/s/bad.txt");
        QDir().mkpath(QFileInfo(bad).absolutePath());
        if (kind == u"folder") {
            QDir().mkpath(bad);
        } else if (kind == u"dangling") {
            QVERIFY(QFile::link(local("config/s/nothing"), bad));
        } else {
            QFile sparse(bad);
            QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(xfer::maxUncompressedSize + 1));
        }
        m_comms->uploadFile(QStringLiteral("config/s/bad.txt"), QStringLiteral("p1"), m_comms->clientDir() + "/North");
        QCOMPARE(fake.drain(), QByteArray());
        QCOMPARE(m_events, QStringList({"Failed upload config/s/bad.txt @p1 | " + reason.arg(bad), "BatchEnd upload  @p1"}));
        if (kind != u"huge")
            return;

        // In a synchronisation it is reported, and the rest of the batch goes on.
        m_events.clear();
        writeFile(local("config/s/good.txt"), "good");
        fake.send("<synclist uid=\"upload:p1\" type=\"reply\" system=\"North\" path=\"config/s\" ></synclist>");
        // Any zlib stream of the content will do; zlib itself must read it.
        QByteArray sent;
        QTRY_VERIFY((sent += fake.drain(20)).contains("</upload>\r\n"));
        static const QRegularExpression hexPart(QStringLiteral("\">([0-9A-F]+)</file>"));
        const QByteArray hex = hexPart.match(QString::fromLatin1(sent)).captured(1).toLatin1();
        QCOMPARE(contentOf(hex, 4), QByteArray("good"));
        QCOMPARE(sent.replace(hex, "HEX"), "<upload type=\"request\" uid=\"p1\" system=\"North\" >\r\n\t<file "
                                          "name=\"config/s/good.txt\" size=\"4\" date=\"" + dateText
                                              + "\">HEX</file>\r\n</upload>\r\n");
        QCOMPARE(m_events, QStringList{"Failed upload config/s/bad.txt @p1 | " + reason});
    }

    // The plugin uid of a synchronisation list is the second part of its uid.
    void synclistUidSecondPart()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        fake.send("<synclist uid=\"dir:a:b\" type=\"reply\" system=\"North\" path=\"config\" ></synclist>");
        QTRY_COMPARE(m_events, QStringList{"Done dir config @a | <dir>\r\n</dir>\r\n"});
    }

    void dirSync()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        const QByteArray entries = data("a&amp;b.ini", dateText, 3) + data("pumps", "", 0);
        fake.send("<synclist uid=\"dir:p1\" type=\"reply\" system=\"North\" path=\"config\" >\r\n" + entries + "</synclist>\r\n"
                  "<synclist uid=\"dir:p1\" type=\"reply\" system=\"North\" path=\"none\" >\r\n</synclist>\r\n");
        QTRY_COMPARE(m_events, QStringList({"Done dir config @p1 | <dir>\r\n" + QString::fromUtf8(entries) + "</dir>\r\n",
                                            "Done dir none @p1 | <dir>\r\n</dir>\r\n"}));
    }

    void checkOutAFileAndCheckItIn()
    {
        serverFixture fx;
        fx.makeFile(QStringLiteral("North/config/a.txt"), "alpha");
        logIn(fx);
        if (QTest::currentTestFailed())
            return;
        m_comms->checkoutFile(QStringLiteral("config/a.txt"), QStringLiteral("plug"));
        waitForBatchEnd();
        QCOMPARE(m_events, QStringList({"Done lock config/a.txt @plug", "Done download config/a.txt @plug",
                                        "BatchEnd download config/a.txt @plug"}));
        QCOMPARE(readAll(local("config/a.txt")), QByteArray("alpha"));
        QCOMPARE(QFileInfo(local("config/a.txt")).lastModified(), serverDate);
        QCOMPARE(m_comms->waitDialog()->count(), 0);
        verifyListed();

        m_events.clear();
        writeFile(local("config/a.txt"), "alpha 2", serverDate.addDays(1));
        m_comms->uploadFile(QStringLiteral("config/a.txt"), QStringLiteral("plug"), m_comms->clientDir() + "/North");
        waitForBatchEnd();
        QCOMPARE(m_events, QStringList({"Done upload config/a.txt @plug", "BatchEnd upload  @plug"}));
        QCOMPARE(readAll(fx.root() + "/North/config/a.txt"), QByteArray("alpha 2"));

        m_events.clear();
        m_comms->downloadFile(QStringLiteral("config/missing.txt"), QStringLiteral("p1"));
        waitForBatchEnd();
        QCOMPARE(m_events, QStringList({"Failed download config/missing.txt @p1 | File \"" + fx.root()
                                            + "/North/config/missing.txt\" cannot be found",
                                        "BatchEnd download  @p1"}));
        QCOMPARE(m_comms->waitDialog()->count(), 0);
    }

    void checkOutAFolderChangeAndCheckIn()
    {
        serverFixture fx;
        fx.makeFile(QStringLiteral("North/config/u/a.txt"), "alpha");
        fx.makeFile(QStringLiteral("North/config/u/b.txt"), "beta");
        fx.makeFile(QStringLiteral("North/config/u/sub/c.txt"), "gamma");
        logIn(fx);
        if (QTest::currentTestFailed())
            return;
        m_comms->checkoutDir(QStringLiteral("config/u"), QStringLiteral("p1"));
        waitForBatchEnd();
        // The server answers a dir child as a file; the folder "sub" is not asked for.
        QCOMPARE(sorted(m_events), QStringList({"BatchEnd download config/u @p1", "Done download config/u/a.txt @p1",
                                                "Done download config/u/b.txt @p1", "Done download config/u/sub/c.txt @p1",
                                                "Done lock config/u @p1"}));
        QCOMPARE(readAll(local("config/u/sub/c.txt")), QByteArray("gamma"));

        m_events.clear();
        writeFile(local("config/u/a.txt"), "alpha 2", serverDate.addSecs(60));
        QFile::remove(local("config/u/b.txt"));
        writeFile(local("config/u/d.txt"), "delta");
        m_comms->syncDirUpload(QStringLiteral("config/u"), QStringLiteral("p1"));
        waitForBatchEnd();
        QCOMPARE(sorted(m_events), QStringList({"BatchEnd upload  @p1", "Done upload config/u/a.txt @p1",
                                                "Done upload config/u/d.txt @p1", "Done upload config/u/sub @p1",
                                                "Done upload config/u/sub/c.txt @p1"}));
        QCOMPARE(readAll(fx.root() + "/North/config/u/a.txt"), QByteArray("alpha 2"));
        QCOMPARE(readAll(fx.root() + "/North/config/u/d.txt"), QByteArray("delta"));
        QTRY_VERIFY(!QFile::exists(fx.root() + "/North/config/u/b.txt"));

        m_events.clear();
        m_comms->unlockDir(QStringLiteral("config/u"), QStringLiteral("p1"));
        QTRY_COMPARE(m_events, QStringList{"Done unlock config/u @p1"});
        QCOMPARE(readAll(fx.root() + "/North/server_lock_list.txt"), QByteArray());
        QCOMPARE(heldLocks(), QStringList());
    }

    void pluginBootstrap()
    {
        serverFixture fx;
        fx.makeFile(QStringLiteral("North/config/plugins/libone.so"), "one");
        fx.makeFile(QStringLiteral("North/config/plugins/two/libtwo.so"), "two");
        logIn(fx);
        if (QTest::currentTestFailed())
            return;
        m_comms->syncDirDownload(QStringLiteral("config/plugins"), QStringLiteral("config/plugins/*"));
        waitForBatchEnd();
        QCOMPARE(sorted(m_events), QStringList({"BatchEnd download config/plugins @config/plugins/*",
                                                "DoneReadOnly download config/plugins/libone.so @config/plugins/*",
                                                "DoneReadOnly download config/plugins/two/libtwo.so @config/plugins/*"}));
        QCOMPARE(readAll(local("config/plugins/two/libtwo.so")), QByteArray("two"));
    }

    void startupReconciliation_data()
    {
        QTest::addColumn<QByteArray>("serverLocks");
        QTest::addColumn<QStringList>("localLocks");
        QTest::addColumn<QStringList>("downloads");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QByteArray>("serverLocksAfter");
        QTest::addColumn<QStringList>("localLocksAfter");
        QTest::addColumn<QStringList>("downloadsAfter");
        QTest::addColumn<bool>("report");
        const QByteArray theirs = "config/c=Admin,127.0.0.1\r\n";
        QTest::newRow("forgotten lock released, stale lock dropped")
            << "config/a=ops,127.0.0.1\r\nconfig/b=ops,127.0.0.1\r\n" + theirs
            << QStringList{"p1,config/a", "p2,config/stale"}
            << QStringList{"config/a/x.txt,p1", "config/other.txt,p1", "config/stale/y.txt,p2"}
            << QStringList{"Done unlock config/b @startup"} << "config/a=ops,127.0.0.1\r\n" + theirs
            << QStringList{"p1,config/a"} << QStringList{"config/a/x.txt,p1"} << true;
        QTest::newRow("nothing left: no report") << theirs << QStringList{"p2,config/stale"}
                                                 << QStringList{"config/stale/y.txt,p2"} << QStringList() << theirs
                                                 << QStringList() << QStringList() << false;
    }

    void startupReconciliation()
    {
        QFETCH(QByteArray, serverLocks);
        QFETCH(QStringList, localLocks);
        QFETCH(QStringList, downloads);
        QFETCH(bool, report);
        serverFixture fx;
        fx.makeFile(QStringLiteral("North/server_lock_list.txt"), serverLocks);
        setLocks(localLocks);
        setDownloads(downloads);
        logIn(fx);
        if (QTest::currentTestFailed())
            return;
        QString reportText;
        if (report)
            m_answers.expect("QMessageBox", pressOk(&reportText));
        m_comms->send("<locklist uid=\"startup\" type=\"request\" system=\"North\" />\r\n");
        // Answered in order: the first listing follows the lock list, the
        // second the unlock request written while the lock list was handled.
        for (int round = 0; round < 2; ++round) {
            m_comms->dir(QStringLiteral("config"), QStringLiteral("sync"));
            QTRY_VERIFY(!m_events.isEmpty() && m_events.last().startsWith(QStringLiteral("Done dir config @sync")));
            m_events.removeLast();
        }
        QTEST(m_events, "events");
        QTEST(readAll(fx.root() + "/North/server_lock_list.txt"), "serverLocksAfter");
        QTEST(heldLocks(), "localLocksAfter");
        QTEST(listedDownloads(), "downloadsAfter");
        if (report)
            QVERIFY2(reportText.contains(QStringLiteral("<tr><td>config/a </td><td>p1</td></tr>")), qPrintable(reportText));
    }

    void twoDownloadsKeepTheWaitCountAtZero()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        m_comms->downloadFile(QStringLiteral("config/a.txt"), QStringLiteral("p1"));
        QCOMPARE(m_comms->waitDialog()->count(), 1);
        fake.send(downloadReply("p1", fileReply("config/a.txt", "a")) + downloadReply("p1", fileReply("config/b.txt", "b")));
        waitForBatchEnd(2);
        QCOMPARE(m_comms->waitDialog()->count(), 0);
        QVERIFY(m_comms->waitDialog()->isHidden());
        m_comms->downloadFile(QStringLiteral("config/c.txt"), QStringLiteral("p1"));
        QCOMPARE(m_comms->waitDialog()->count(), 1); // the extra end was not saved up
    }

    // A reply of many files writes the download list once, and it is on disk
    // when the plugin hears of the end of the batch.
    void downloadListStoredByTheEndOfTheBatch()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        setDownloads({"config/old.txt,p2"});
        QStringList atEnd;
        int handlesAtEnd = -1;
        connect(m_comms, qOverload<response &, QString &>(&server_comms::event), this,
                [&](response &result, QString &) {
                    if (result.status != response::BatchEnd)
                        return;
                    handlesAtEnd = download_list::handleCount();
                    QFile list(download_list::filePath(north));
                    if (list.open(QIODevice::ReadOnly))
                        atEnd = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                });
        QByteArray files;
        for (int i = 0; i < 20; ++i)
            files += fileReply("config/many/f" + QByteArray::number(i) + ".txt", "x");
        fake.send(downloadReply("config/many:p1", files));
        waitForBatchEnd();
        QCOMPARE(handlesAtEnd, 0);
        QCOMPARE(atEnd.size(), 21);
        QVERIFY(atEnd.first().startsWith(QStringLiteral("config/old.txt")));
        QVERIFY(atEnd.last().startsWith(QStringLiteral("config/many/f19.txt")));
        verifyListed();
    }

    // Many files in one reply, large ones among them that are still being
    // inflated while later ones arrive, mixed with every kind of failure: the
    // events come in the order of the reply, each failure alone with its
    // text, and when the batch ends every good file is written, dated and
    // listed, in order. A file sent twice keeps its later content. Files
    // come a few to a new folder, so that saves race to make it.
    void manyFilesKeepTheirOrder()
    {
        fakeServer fake;
        openFake(fake);
        if (QTest::currentTestFailed())
            return;
        const auto nameOf = [](int i) {
            return "config/many/d" + QByteArray::number(i / 3) + "/f" + QByteArray::number(i).rightJustified(3, '0') + ".txt";
        };
        setLocks({QStringLiteral("p1,") + QString::fromLatin1(nameOf(7))});
        const auto raw = [](const QByteArray &name, qint64 size, const QByteArray &hex) {
            return "\t<file type=\"reply\" name=\"" + name + "\" size=\"" + QByteArray::number(size)
                   + "\" compressedsize=\"" + QByteArray::number(hex.size() / 2) + "\" date=\"" + dateText + "\" >" + hex
                   + "</file>\r\n";
        };
        const QString leaves = QStringLiteral(" | The path leaves the local copy of the system");
        QRandomGenerator random(11);
        QByteArray body;
        QStringList expected;
        QStringList written; // name=content, in order
        for (int i = 0; i < 240; ++i) {
            const QByteArray name = nameOf(i);
            const QString line = QString::fromLatin1(name) + QStringLiteral(" @p1");
            QByteArray content = "file " + QByteArray::number(i) + "\n";
            switch (i % 12) {
            case 1: // not a zlib stream at all
                body += raw(name, 10, xfer::toHex("not a zlib stream"));
                expected << "Failed download " + line + " | Z_DATA_ERROR - uncompress error";
                continue;
            case 2: // inflates to more than the size sent
                body += raw(name, content.size() - 1, hexOf(content));
                expected << "Failed download " + line + " | Z_BUF_ERROR - uncompress error";
                continue;
            case 3:
                body += "\t<file name=\"" + name + "\" type=\"error\"><message>gone</message></file>\r\n";
                expected << "Failed download " + line + " | gone";
                continue;
            case 4: {
                body += fileReply(name, content, -1);
                const int packed = int(hexOf(content).size() / 2);
                expected << QStringLiteral("Failed download %1 | Compressed data size (%2) is different from reported "
                                           "size (%3)").arg(line).arg(packed).arg(packed - 1);
                continue;
            }
            case 5:
                body += fileReply("../" + name, content);
                expected << "Failed download ../" + line + leaves;
                continue;
            case 6: // large and incompressible: slow to inflate and write
                content.resize(256 * 1024);
                for (char &c : content)
                    c = char(random.bounded(256));
                break;
            default:
                content = content.repeated(1 + i % 5);
            }
            body += fileReply(name, content);
            expected << (i == 7 ? "Done download " : "DoneReadOnly download ") + line;
            written << QString::fromLatin1(name) + QLatin1Char('=') + QString::fromLatin1(content.toHex());
        }
        // The same file again: the later content wins.
        body += fileReply(nameOf(0), "second");
        expected << "DoneReadOnly download " + QString::fromLatin1(nameOf(0)) + " @p1"
                 << "BatchEnd download config/many @p1";
        written[0] = QString::fromLatin1(nameOf(0) + '=' + QByteArray("second").toHex());

        QStringList wrongAtEnd;
        connect(m_comms, qOverload<response &, QString &>(&server_comms::event), this, [&](response &result, QString &) {
            if (result.status != response::BatchEnd)
                return;
            for (const QString &file : std::as_const(written)) {
                const QString path = local(file.section(QLatin1Char('='), 0, 0));
                if (readAll(path).toHex() != file.section(QLatin1Char('='), 1).toLatin1()
                    || QFileInfo(path).lastModified() != serverDate)
                    wrongAtEnd << path;
            }
        });
        fake.send(downloadReply("config/many:p1", body));
        waitForBatchEnd();
        QCOMPARE(m_events, expected);
        QCOMPARE(wrongAtEnd, QStringList());
        QStringList listed;
        for (const QString &file : std::as_const(written))
            listed << file.section(QLatin1Char('='), 0, 0) + QStringLiteral(",p1");
        QCOMPARE(listedDownloads(), listed);
        for (int i = 1; i < 240; i += 12)
            QVERIFY(!QFile::exists(local(QString::fromLatin1(nameOf(i)))));
    }

    void connectionEnds_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<int>("quits");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("connection refused") << "refused" << QStringList{"Error: Connection refused"} << 1 << false;
        QTest::newRow("server closes") << "close" << QStringList{"Error: Server Closed"} << 1 << false;
        QTest::newRow("read error, then the close") << "read error, close" << QStringList{"Error: Socket Read"} << 1 << false;
        QTest::newRow("message text beyond its bound")
            << "long message" << QStringList{"Error: Server reply too large"} << 1 << true;
        QTest::newRow("nesting beyond its bound") << "deep" << QStringList{"Error: Server reply too large"} << 1 << true;
        QTest::newRow("server closes after the editor's end") << "end, close" << QStringList() << 1 << false;
        QTest::newRow("malformed input") << "malformed" << QStringList() << 0 << true;
        QTest::newRow("server ends its document") << "</xml>" << QStringList() << 0 << true;
    }

    void connectionEnds()
    {
        QFETCH(QString, how);
        QFETCH(int, quits);
        QFETCH(bool, deleted);
        fakeServer fake;
        if (how == u"refused") {
            const quint16 port = fake.listener.serverPort();
            fake.listener.close();
            connectTo(port);
        } else {
            openFake(fake);
            if (QTest::currentTestFailed())
                return;
        }
        if (how == u"end, close") {
            m_comms->closeDocument();
            QCOMPARE(fake.expect("</xml>"), QByteArray("</xml>"));
        }
        if (how == u"read error, close")
            m_comms->socketError(QAbstractSocket::NetworkError);
        if (how.endsWith(u"close"))
            fake.peer->disconnectFromHost();
        if (how == u"long message" || how == u"deep") {
            QTest::ignoreMessage(QtWarningMsg, "ConfigClient: connection errored for \"Kestrel\" on \"127.0.0.1\" - closing");
            fake.send(how == u"deep" ? QByteArray("<dir>").repeated(70)
                                     : "<download uid=\"p1\" type=\"reply\" system=\"North\" ><file name=\"a\" type=\"error\" >"
                                       "<message>" + QByteArray(server_comms::maxMessageBytes / 4, 'x')
                                           + QByteArray("&amp;").repeated(server_comms::maxMessageBytes) + "</message>");
        }
        if (how == u"malformed") {
            QTest::ignoreMessage(QtWarningMsg, "ConfigClient: connection errored for \"Kestrel\" on \"127.0.0.1\" - closing");
            fake.send("<dir type=\"reply\"></item>");
        }
        if (how == u"</xml>")
            fake.send("</xml>\r\n");
        if (deleted)
            QTRY_VERIFY_WITH_TIMEOUT(m_comms.isNull(), 10000);
        else
            QTRY_COMPARE(m_ui.quits, quits);
        QTest::qWait(20);
        QTEST(m_ui.boxes, "boxes");
        QCOMPARE(m_ui.quits, quits);
        QCOMPARE(m_events, QStringList());
    }

private:
    QTemporaryDir m_settings;
    std::unique_ptr<QTemporaryDir> m_root;
    dialogAnswerer m_answers;
    uiLog m_ui;
    QStringList m_events;
    QStringList m_servers;
    QPointer<server_comms> m_comms;
};

QTEST_MAIN(tst_server_comms)
#include "tst_server_comms.moc"
