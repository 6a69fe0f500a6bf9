#include "protocol.h"

#include <QTest>

class tst_protocol : public QObject
{
    Q_OBJECT

private slots:
    void escape_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("escaped");
        QTest::newRow("plain") << "config/a.xml" << "config/a.xml";
        QTest::newRow("ampersand") << "a&b.xml" << "a&amp;b.xml";
        QTest::newRow("all five") << "<&>\"'" << "&lt;&amp;&gt;&quot;&apos;";
        QTest::newRow("entity text is escaped again") << "&amp;" << "&amp;amp;";
        QTest::newRow("empty") << "" << "";
    }

    void escape()
    {
        QFETCH(QString, raw);
        QFETCH(QString, escaped);
        QCOMPARE(protocol::escape(raw), escaped);
        QCOMPARE(protocol::escape(QByteArrayView(raw.toUtf8())), escaped.toUtf8());
    }

    void isoDateBothWays()
    {
        const QDateTime when(QDate(2015, 5, 8), QTime(14, 3, 59));
        QCOMPARE(protocol::isoDate(when), QStringLiteral("2015-05-08T14:03:59"));
        QCOMPARE(protocol::parseIsoDate(u"2015-05-08T14:03:59"), when);
        QCOMPARE(protocol::isoDate(QDateTime(QDate(2015, 5, 8), QTime(14, 3, 59, 999))),
                 QStringLiteral("2015-05-08T14:03:59"));
        QCOMPARE(protocol::isoDate(QDateTime()), QString());
        QVERIFY(!protocol::parseIsoDate(u"").isValid());
        QVERIFY(!protocol::parseIsoDate(u"yesterday").isValid());
        QCOMPARE(protocol::parseIsoDate(u"2015-05-08T14:03:59").timeSpec(), Qt::LocalTime);
        QCOMPARE(protocol::parseIsoDate(u" 2015-05-08T14:03:59\r\n"), when);
        QVERIFY(!protocol::parseIsoDate(u"2015-02-30T10:00:00").isValid());
        QVERIFY(!protocol::parseIsoDate(u"2015-05-08T25:00:00").isValid());
        QVERIFY(!protocol::parseIsoDate(u"2015-05-08X14:03:59").isValid());
        QCOMPARE(protocol::parseIsoDate(u"2015-05-08T14:03"), QDateTime(QDate(2015, 5, 8), QTime(14, 3)));
    }

    void paths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("wire");
        QTest::addColumn<bool>("below");
        QTest::newRow("plain") << "config/a.xml" << "config/a.xml" << true;
        QTest::newRow("backslashes") << "config\\sub\\a.xml" << "config/sub/a.xml" << true;
        QTest::newRow("empty") << "" << "" << true;
        QTest::newRow("dots in names") << "config/..a/b..c" << "config/..a/b..c" << true;
        QTest::newRow("parent") << "config/../../etc" << "config/../../etc" << false;
        QTest::newRow("parent with backslash") << "config\\..\\x" << "config/../x" << false;
        QTest::newRow("bare parent") << ".." << ".." << false;
        QTest::newRow("absolute") << "/etc/passwd" << "/etc/passwd" << false;
        QTest::newRow("absolute backslash") << "\\etc" << "/etc" << false;
        QTest::newRow("drive") << "C:\\x" << "C:/x" << false;
    }

    void paths()
    {
        QFETCH(QString, path);
        QFETCH(QString, wire);
        QFETCH(bool, below);
        QCOMPARE(protocol::wirePath(path), wire);
        QCOMPARE(protocol::staysBelow(path), below);
    }

    void joinPath()
    {
        QCOMPARE(protocol::joinPath("/root", "a/b"), QStringLiteral("/root/a/b"));
        QCOMPARE(protocol::joinPath("/root/", "a"), QStringLiteral("/root/a"));
        QCOMPARE(protocol::joinPath("/root", ""), QStringLiteral("/root"));
    }
};

QTEST_GUILESS_MAIN(tst_protocol)
#include "tst_protocol.moc"
