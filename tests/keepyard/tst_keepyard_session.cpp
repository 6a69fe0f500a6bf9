#include "serverFixture.h"

#include "client.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray greeting("<xml>\r\n");
const QByteArray refusal("<login type=\"error\">\r\n\t<message>Unknown username or password</message>\r\n</login>\r\n"
                         "<login type=\"request\" />\r\n");
const QByteArray systemsReply("<systems type=\"reply\">\r\n\t<system name=\"alpha\" />\r\n\t<system name=\"North\" />\r\n"
                              "\t<system name=\"South\" />\r\n</systems>\r\n");
const QByteArray systemsRequest("<systems type=\"request\" />");

QByteArray loginRequest(const QString &id, const QString &password, const QString &system)
{
    return QStringLiteral("<login type=\"request\" id=\"%1\" password=\"%2\" system=\"%3\" />")
        .arg(id, password, system)
        .toUtf8();
}

} // namespace

class tst_keepyard_session : public QObject
{
    Q_OBJECT

private slots:
    void greetingAndSystemsList()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        QCOMPARE(peer.expect(greeting), greeting);
        QTRY_VERIFY(fx.log.contains(QStringLiteral("New client on '127.0.0.1/%1'").arg(peer.socket.localPort())));
        QCOMPARE(fx.server().userList(), QStringList({" - 127.0.0.1"}));
        // Folders without "config", hidden folders and files are no systems.
        peer.send("<xml>" + systemsRequest + "\r\n");
        QCOMPARE(peer.expect(systemsReply), systemsReply);
    }

    void login_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("user");
        QTest::newRow("accepted") << loginRequest("ops", "secret", "North")
                                  << QByteArray("<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n") << "ops";
        QTest::newRow("key without regard to case, capitals kept")
            << loginRequest("OPS", "secret", "North") << QByteArray("<login type=\"reply\" id=\"OPS\" level=\"2\" />\r\n")
            << "OPS";
        QTest::newRow("empty level sent as stored")
            << loginRequest("nolevel", "pw", "North") << QByteArray("<login type=\"reply\" id=\"nolevel\" level=\"\" />\r\n")
            << "nolevel";
        QTest::newRow("no blank before the end") << QByteArray("<login type=\"request\" id=\"ops\" password=\"secret\" system=\"North\"/>")
                                                 << QByteArray("<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n") << "ops";
        QTest::newRow("wrong password") << loginRequest("ops", "SECRET", "North") << refusal << "";
        QTest::newRow("empty stored password") << loginRequest("empty", "", "North") << refusal << "";
        QTest::newRow("empty id") << loginRequest("", "", "North") << refusal << "";
        QTest::newRow("unknown user") << loginRequest("nobody", "x", "North") << refusal << "";
        QTest::newRow("system without password file") << loginRequest("ops", "secret", "South") << refusal << "";
        QTest::newRow("unknown system") << loginRequest("ops", "secret", "Nowhere") << refusal << "";
        QTest::newRow("system leaving the root") << loginRequest("ops", "secret", "../tmp") << refusal << "";
        QTest::newRow("system with separator") << loginRequest("ops", "secret", "North/config/..") << refusal << "";
        QTest::newRow("system with backslash") << loginRequest("ops", "secret", "x\\..\\North") << refusal << "";
        QTest::newRow("absolute system") << loginRequest("ops", "secret", "/etc") << refusal << "";
    }

    void login()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        QFETCH(QString, user);
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        peer.send("<xml>" + request);
        QCOMPARE(peer.expect(reply), reply);
        QCOMPARE(peer.drain(50), QByteArray());
        QCOMPARE(fx.server().userList(), QStringList({user + " - 127.0.0.1"}));
        if (!user.isEmpty())
            QVERIFY(fx.log.contains(QStringLiteral("User '%1' at '127.0.0.1/%2' logged in").arg(user).arg(peer.socket.localPort())));
        else
            QVERIFY(fx.log.contains(QStringLiteral("password does not match")));
    }

    void loginOfTypeReplyIsIgnored()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        peer.send("<xml><login type=\"reply\" id=\"ops\" password=\"secret\" system=\"North\" />" + systemsRequest);
        QCOMPARE(peer.expect(systemsReply), systemsReply);
    }

    // Only login and systems are served before a login, and again after a
    // refused one; a request that is not served gets no answer at all.
    void gating()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        const QByteArray dir("<dir type=\"request\" uid=\"u\" system=\"North\" path=\"config\" filter=\"\" recursive=\"false\"/>");
        peer.send("<xml>" + dir + "<download uid=\"u\" type=\"request\" system=\"North\" ><file name=\"config/x\" /></download>"
                  + systemsRequest);
        QCOMPARE(peer.expect(systemsReply), systemsReply);

        peer.send(loginRequest("ops", "secret", "North") + dir);
        QVERIFY(peer.readLine().startsWith("<login type=\"reply\""));
        QVERIFY(peer.readLine().startsWith("<dir type=\"reply\""));
        peer.drain(50);

        peer.send(loginRequest("ops", "wrong", "North") + dir + systemsRequest);
        QCOMPARE(peer.expect(refusal + systemsReply), refusal + systemsReply);
        // The name of the earlier login stays for the user list and log lines.
        QCOMPARE(fx.server().userList(), QStringList({"ops - 127.0.0.1"}));
    }

    void requestSplitAtEveryByte()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        const QByteArray stream = "<xml>\r\n" + loginRequest("ops", "secret", "North") + "\r\n" + systemsRequest;
        const qsizetype loginEnd = stream.indexOf("/>") + 1;
        for (qsizetype i = 0; i < stream.size(); ++i) {
            peer.send(stream.mid(i, 1));
            QTest::qWait(1);
            // Nothing is answered before the last byte of the login has arrived.
            if (i < loginEnd)
                QCOMPARE(peer.socket.bytesAvailable(), 0);
        }
        QCOMPARE(peer.expect("<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n" + systemsReply),
                 "<login type=\"reply\" id=\"ops\" level=\"2\" />\r\n" + systemsReply);
    }

    void requestCarriedOutOnlyAtItsEndTag()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        peer.send("<xml><systems type=\"request\">");
        QCOMPARE(peer.drain(100), QByteArray());
        peer.send("</systems>" + systemsRequest);
        QCOMPARE(peer.expect(systemsReply + systemsReply), systemsReply + systemsReply);
    }

    void unknownElementsAreIgnored_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("with children") << QByteArray("<update type=\"update\" system=\"North\" name=\"x\"><file name=\"y\"/></update>")
                                       << systemsReply;
        QTest::newRow("a request inside is still served")
            << QByteArray("<wrapper>" + systemsRequest + "</wrapper>") << systemsReply + systemsReply;
        QTest::newRow("systems of another type") << QByteArray("<systems type=\"reply\" />") << systemsReply;
        QTest::newRow("whitespace and comments") << QByteArray("\r\n  <!-- note -->\t\r\n") << systemsReply;
    }

    void unknownElementsAreIgnored()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, reply);
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        peer.send("<xml>" + input + systemsRequest);
        QCOMPARE(peer.expect(reply), reply);
        QCOMPARE(peer.drain(50), QByteArray());
    }

    void endOfDocumentClosesTheConnection()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        QVERIFY(peer.logIn("ops", "secret", "North"));
        const QString where = QStringLiteral("127.0.0.1/%1").arg(peer.socket.localPort());
        peer.send(systemsRequest + "</xml>");
        QCOMPARE(peer.expect(systemsReply), systemsReply);
        QVERIFY(peer.waitClosed());
        QTRY_VERIFY(fx.log.contains(QStringLiteral("User 'ops' at '%1' disconnected").arg(where)));
        QTRY_VERIFY(fx.log.contains(QStringLiteral("Deleting user 'ops' on '%1'").arg(where)));
        QTRY_VERIFY(fx.server().sessions().isEmpty());
    }

    void malformedInputClosesOnlyItsSession()
    {
        serverFixture fx;
        testPeer good(fx.port());
        testPeer bad(fx.port());
        good.expect(greeting);
        bad.expect(greeting);
        const quint16 badPort = bad.socket.localPort();
        bad.send("<xml><login type=\"request\" id=\"a&b\" />");
        QVERIFY(bad.waitClosed());
        QTRY_VERIFY(fx.log.contains(QStringLiteral("connection errored for \"\" on \"127.0.0.1\" - closing")));
        QTRY_VERIFY(fx.log.contains(QStringLiteral("Deleting client on '127.0.0.1/%1'").arg(badPort)));
        good.send("<xml>" + systemsRequest);
        QCOMPARE(good.expect(systemsReply), systemsReply);
        QCOMPARE(fx.server().sessions().size(), 1);
    }

    void peerThatDisappearsLeavesTheList()
    {
        serverFixture fx;
        {
            testPeer peer(fx.port());
            peer.expect(greeting);
            QCOMPARE(fx.server().sessions().size(), 1);
            peer.socket.abort();
        }
        QTRY_VERIFY(fx.server().sessions().isEmpty());
    }

    // Connections beyond the session bound are closed unanswered; once a
    // session has gone, the next one is served.
    void sessionsAreBounded()
    {
        sessionLimits limits;
        limits.maxSessions = 2;
        serverFixture fx(limits);
        testPeer first(fx.port());
        testPeer second(fx.port());
        QCOMPARE(first.expect(greeting), greeting);
        QCOMPARE(second.expect(greeting), greeting);
        testPeer third(fx.port());
        QVERIFY(third.socket.waitForConnected(5000));
        const quint16 thirdPort = third.socket.localPort();
        QVERIFY(third.waitClosed());
        QVERIFY(third.pending.isEmpty());
        QTRY_VERIFY(fx.log.contains(
            QStringLiteral("Refused client on '127.0.0.1/%1': 2 sessions already open").arg(thirdPort)));
        QCOMPARE(fx.server().sessions().size(), 2);

        first.send("<xml></xml>");
        QTRY_COMPARE(fx.server().sessions().size(), 1);
        testPeer fourth(fx.port());
        QCOMPARE(fourth.expect(greeting), greeting);
        fourth.send("<xml>" + systemsRequest);
        QCOMPARE(fourth.expect(systemsReply), systemsReply);
    }

    void oversizedRequestClosesTheSession_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("huge attribute") << QByteArray("<login type=\"request\" id=\"" + QByteArray(5000, 'x') + "\"");
        // Text the parser has to hold (entities, line breaks); long plain runs are
        // handed on as they arrive and need no bound here.
        QTest::newRow("endless text in a request") << QByteArray("<systems type=\"request\">" + QByteArray("&amp;").repeated(1000));
        QTest::newRow("endless text between requests") << QByteArray("\r\n").repeated(2500);
        QTest::newRow("endless unknown element") << QByteArray("<junk a=\"" + QByteArray(5000, 'x'));
        QTest::newRow("endless comment") << QByteArray("<!--" + QByteArray(5000, '-'));
        // Unknown elements that start no handler, nested without end.
        QTest::newRow("nesting beyond the limit") << QByteArray("<abcdefgh>").repeated(64);
        QTest::newRow("nesting inside a request") << "<systems type=\"request\">" + QByteArray("<x>").repeated(64);
    }

    void oversizedRequestClosesTheSession()
    {
        QFETCH(QByteArray, input);
        sessionLimits limits;
        limits.maxHeldBytes = 2048;
        serverFixture fx(limits);
        testPeer peer(fx.port());
        peer.expect(greeting);
        // Many small requests in a row are fine.
        QByteArray many = "<xml>";
        for (int i = 0; i < 40; ++i)
            many += systemsRequest;
        peer.send(many);
        QCOMPARE(peer.receive(40 * systemsReply.size()), systemsReply.repeated(40));
        peer.send(input);
        QVERIFY(peer.waitClosed());
        QTRY_VERIFY(fx.log.contains(QStringLiteral("connection errored for \"\" on \"127.0.0.1\" - closing")));
    }

    void nestingUpToTheLimitIsServed()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        // The root and 62 unknown levels, then a request at level 64.
        peer.send("<xml>" + QByteArray("<a>").repeated(62) + systemsRequest + QByteArray("</a>").repeated(62));
        QCOMPARE(peer.expect(systemsReply), systemsReply);
        peer.send(QByteArray("<a>").repeated(63) + "<b>");
        QVERIFY(peer.waitClosed());
    }

    // Replies already produced go out before a session closed on bad input
    // ends; the log line still comes.
    void repliesBeforeMalformedInputAreSent_data()
    {
        QTest::addColumn<int>("requests");
        QTest::addColumn<QByteArray>("bad");
        QTest::newRow("one reply") << 1 << QByteArray("<login id=\"a&b\" />");
        QTest::newRow("many replies") << 5000 << QByteArray("</systems>");
        QTest::newRow("too deep") << 3 << QByteArray("<a>").repeated(70);
    }

    void repliesBeforeMalformedInputAreSent()
    {
        QFETCH(int, requests);
        QFETCH(QByteArray, bad);
        serverFixture fx;
        testPeer peer(fx.port());
        peer.expect(greeting);
        peer.send("<xml>" + systemsRequest.repeated(requests) + bad + systemsRequest);
        QVERIFY(peer.waitClosed(10000));
        QCOMPARE(peer.drain(0), systemsReply.repeated(requests));
        QTRY_VERIFY(fx.log.contains(QStringLiteral("connection errored for \"\" on \"127.0.0.1\" - closing")));
        QTRY_VERIFY(fx.server().sessions().isEmpty());
    }

    // A peer that neither reads nor closes is not waited for long.
    void closingWaitIsBounded()
    {
        sessionLimits limits;
        limits.closeWaitMs = 1000;
        serverFixture fx(limits);
        // A small receive window, set before connecting, keeps the replies
        // in the server's own buffer.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int window = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(fx.port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        const QByteArray input = "<xml>" + systemsRequest.repeated(20000) + "<&>";
        QCOMPARE(::send(fd, input.constData(), size_t(input.size()), MSG_NOSIGNAL), ssize_t(input.size()));
        QTRY_VERIFY(fx.log.contains(QStringLiteral("connection errored for \"\" on \"127.0.0.1\" - closing")));
        QVERIFY(!fx.server().sessions().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(fx.server().sessions().isEmpty(), 3000);
        ::close(fd);
    }

    void unsentRepliesAreBounded()
    {
        sessionLimits limits;
        limits.maxUnsentBytes = systemsReply.size() * 3 + 10;
        serverFixture fx(limits);
        testPeer peer(fx.port());
        peer.expect(greeting);
        // All replies of one segment are written before any of them can leave.
        peer.send("<xml>" + systemsRequest.repeated(10));
        QVERIFY(peer.waitClosed());
        QTRY_VERIFY(fx.log.contains(QStringLiteral("connection errored for \"\" on \"127.0.0.1\" - closing")));
    }

    void broadcastsFollowTheReplyInOrder()
    {
        serverFixture fx;
        testPeer first(fx.port());
        testPeer second(fx.port());
        QVERIFY(first.logIn("ops", "secret", "North"));
        QVERIFY(second.logIn("Admin", "adminpw", "North"));
        QCOMPARE(fx.server().userList(), QStringList({"ops - 127.0.0.1", "Admin - 127.0.0.1"}));

        // What a request handler does: its reply, then two notices posted.
        client *session = fx.server().sessions().first();
        session->send("<reply/>\r\n");
        session->postBroadcast("<update n=\"1\"/>\r\n");
        session->postBroadcast("<update n=\"2\"/>\r\n");
        QCOMPARE(first.expect("<reply/>\r\n<update n=\"1\"/>\r\n<update n=\"2\"/>\r\n"),
                 "<reply/>\r\n<update n=\"1\"/>\r\n<update n=\"2\"/>\r\n");
        QCOMPARE(second.expect("<update n=\"1\"/>\r\n<update n=\"2\"/>\r\n"), "<update n=\"1\"/>\r\n<update n=\"2\"/>\r\n");
    }

    void dirListing_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray t = "2015-05-08T14:03:59";
        const auto item = [&](const char *type, const QByteArray &path, const QByteArray &name) {
            return "\t<item type=\"" + QByteArray(type) + "\" time=\"" + t + "\" path=\"" + path + "\" >" + name
                   + "</item>\r\n";
        };
        const auto dir = [](const QByteArray &path, const QByteArray &filter, bool recursive, const QByteArray &type = "request",
                            const QByteArray &system = "North") {
            return "<dir type=\"" + type + "\" uid=\"p1\" system=\"" + system + "\" path=\"" + path + "\" filter=\""
                   + filter + "\" recursive=\"" + (recursive ? "true" : "false") + "\"/>";
        };
        const QByteArray head = "<dir type=\"reply\" uid=\"p1\" system=\"North\" filter=\"";
        const QByteArray none = "<dir></dir>\r\n";

        QTest::newRow("flat") << dir("config", "", false)
                              << head + "\">\r\n" + item("file", "config", "a&amp;b.xml") + item("dir", "config", "Areas")
                                     + item("file", "config", "keepyard_password.ini") + item("file", "config", "z.ini")
                                     + "</dir>\r\n";
        QTest::newRow("recursive, folders before their items")
            << dir("config/Areas", "", true)
            << head + "\">\r\n" + item("dir", "config/Areas", "East") + item("file", "config/Areas/East", "e.xml")
                   + item("file", "config/Areas", "top.xml") + "</dir>\r\n";
        QTest::newRow("filter at every level, folders included")
            << dir("config", "*.xml", true)
            << head + "*.xml\">\r\n" + item("file", "config", "a&amp;b.xml") + "</dir>\r\n";
        QTest::newRow("empty path lists the system folder")
            << dir("", "", false) << head + "\">\r\n" + item("dir", "", "config") + "</dir>\r\n";
        QTest::newRow("missing folder") << dir("config/none", "", false) << none;
        QTest::newRow("unknown system") << dir("config", "", false, "request", "Nowhere") << none;
        QTest::newRow("path leaving the system") << dir("../South", "", false) << none;
        QTest::newRow("backslash path leaving the system") << dir("config\\..\\..\\South", "", false) << none;
        QTest::newRow("system leaving the root") << dir("", "", false, "request", "..") << none;
        QTest::newRow("system with a separator") << dir("", "", false, "request", "North/config") << none;
    }

    void dirListing()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        serverFixture fx;
        fx.makeFile("North/config/z.ini", "z");
        fx.makeFile("North/config/a&b.xml", "a");
        fx.makeFile("North/config/Areas/top.xml", "t");
        fx.makeFile("North/config/Areas/East/e.xml", "e");
        fx.makeFile("North/config/.hidden", "h");
        fx.makeFolder("North/config/Areas/East");
        fx.makeFolder("North/config/Areas");
        fx.makeFolder("North/config");
        testPeer peer(fx.port());
        QVERIFY(peer.logIn("ops", "secret", "North"));
        peer.send(request);
        QCOMPARE(peer.expect(reply), reply);
        QCOMPARE(peer.drain(50), QByteArray());
    }

    void dirOfTypeReplyIsNotAnswered()
    {
        serverFixture fx;
        testPeer peer(fx.port());
        QVERIFY(peer.logIn("ops", "secret", "North"));
        peer.send("<dir type=\"reply\" uid=\"p1\" system=\"North\" path=\"config\" filter=\"\" recursive=\"false\"/>"
                  + systemsRequest);
        QCOMPARE(peer.expect(systemsReply), systemsReply);
    }

    void systemNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << "North" << true;
        QTest::newRow("with blank and dots") << "Plant 1.2" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("dot") << "." << false;
        QTest::newRow("parent") << ".." << false;
        QTest::newRow("holding two dots") << "a..b" << false;
        QTest::newRow("slash") << "a/b" << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("absolute") << "/etc" << false;
    }

    void systemNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, valid);
        QCOMPARE(client::isSystemName(name), valid);
    }
};

QTEST_GUILESS_MAIN(tst_keepyard_session)
#include "tst_keepyard_session.moc"
