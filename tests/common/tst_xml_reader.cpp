#include "xml_handler.h"
#include "xml_reader.h"

#include <QTest>

namespace {

// Writes every event as one line; adjacent character pieces are joined, since
// a run of text may arrive in several pieces.
class recorder : public xml_handler
{
public:
    QStringList events;
    std::function<bool(QStringView)> onStart;

    bool startDocument() override
    {
        events << QStringLiteral("doc");
        return true;
    }
    bool endDocument() override
    {
        events << QStringLiteral("/doc");
        return true;
    }
    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override
    {
        QString line = QLatin1Char('<') + name.toString();
        for (const QXmlStreamAttribute &a : attributes)
            line += QLatin1Char(' ') + a.qualifiedName().toString() + QLatin1Char('=') + a.value().toString();
        events << line;
        return onStart ? onStart(name) : true;
    }
    bool endElement(QStringView name) override
    {
        events << QStringLiteral("</") + name.toString();
        return true;
    }
    bool characters(QStringView text) override
    {
        if (!events.isEmpty() && events.back().startsWith(QLatin1Char('#')))
            events.back() += text.toString();
        else
            events << QLatin1Char('#') + text.toString();
        return true;
    }
};

const QByteArray stream = "<xml><systems type=\"request\" />\r\n"
                          "<login type=\"request\" id=\"ops\" password=\"a&amp;b\" system=\"North\"/>"
                          "<upload uid=\"p1\"><file name=\"a.txt\">789CABCDEF</file><delete name=\"b\"/></upload>\r\n"
                          "<unknown><nested a='1'/></unknown>";

QStringList expectedEvents()
{
    return {QStringLiteral("doc"),
            QStringLiteral("<xml"),
            QStringLiteral("<systems type=request"),
            QStringLiteral("</systems"),
            QStringLiteral("#\n"),
            QStringLiteral("<login type=request id=ops password=a&b system=North"),
            QStringLiteral("</login"),
            QStringLiteral("<upload uid=p1"),
            QStringLiteral("<file name=a.txt"),
            QStringLiteral("#789CABCDEF"),
            QStringLiteral("</file"),
            QStringLiteral("<delete name=b"),
            QStringLiteral("</delete"),
            QStringLiteral("</upload"),
            QStringLiteral("#\n"),
            QStringLiteral("<unknown"),
            QStringLiteral("<nested a=1"),
            QStringLiteral("</nested"),
            QStringLiteral("</unknown")};
}

} // namespace

class tst_xml_reader : public QObject
{
    Q_OBJECT

private slots:
    void wholeStreamAtOnce()
    {
        recorder r;
        xml_reader reader(&r);
        QCOMPARE(reader.feed(stream), xml_reader::NeedMore);
        QCOMPARE(r.events, expectedEvents());
        QCOMPARE(reader.bytesFed(), stream.size());
    }

    void oneByteAtATime()
    {
        recorder r;
        xml_reader reader(&r);
        for (char c : stream)
            QCOMPARE(reader.feed(QByteArrayView(&c, 1)), xml_reader::NeedMore);
        QCOMPARE(r.events, expectedEvents());
    }

    void splitAtEveryByte()
    {
        for (qsizetype cut = 1; cut < stream.size(); ++cut) {
            recorder r;
            xml_reader reader(&r);
            reader.feed(stream.left(cut));
            reader.feed(stream.mid(cut));
            QVERIFY2(r.events == expectedEvents(), qPrintable(QStringLiteral("split at %1").arg(cut)));
        }
    }

    void eventsArriveAsSoonAsTheirBytesDo()
    {
        recorder r;
        xml_reader reader(&r);
        reader.feed("<xml><lock uid=\"1\"><file name=\"a\"/>");
        QCOMPARE(r.events.back(), QStringLiteral("</file"));
        reader.feed("</lock>");
        QCOMPARE(r.events.back(), QStringLiteral("</lock"));
    }

    void endOfRootFinishesTheDocument()
    {
        recorder r;
        xml_reader reader(&r);
        QCOMPARE(reader.feed("<xml><systems type=\"request\"/></xml>"), xml_reader::Finished);
        QCOMPARE(r.events.back(), QStringLiteral("/doc"));
        QCOMPARE(r.events.at(r.events.size() - 2), QStringLiteral("</xml"));
        // Nothing more is read once the document has ended.
        QCOMPARE(reader.feed("<login/>"), xml_reader::Finished);
        QVERIFY(!r.events.contains(QStringLiteral("<login")));
    }

    void malformedInput_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("bare ampersand in attribute") << QByteArray("<xml><login id=\"a&b\"/>");
        QTest::newRow("mismatched end tag") << QByteArray("<xml><dir></file>");
        QTest::newRow("undeclared entity") << QByteArray("<xml><a>&nope;</a>");
        QTest::newRow("second root") << QByteArray("<xml/><xml/>");
        QTest::newRow("text before root") << QByteArray("hello<xml>");
        QTest::newRow("unquoted attribute") << QByteArray("<xml><a b=c/>");
    }

    void malformedInput()
    {
        QFETCH(QByteArray, input);
        recorder r;
        xml_reader reader(&r);
        QCOMPARE(reader.feed(input), xml_reader::Failed);
        QVERIFY(!reader.errorString().isEmpty());
        QCOMPARE(reader.feed("<more/>"), xml_reader::Failed);
    }

    void handlerCanStopTheReader()
    {
        recorder r;
        r.onStart = [](QStringView name) { return name != u"stop"; };
        xml_reader reader(&r);
        QCOMPARE(reader.feed("<xml><a/><stop/><b/>"), xml_reader::Failed);
        QVERIFY(!r.events.contains(QStringLiteral("<b")));
    }

    // Bytes that arrive while a callback runs (e.g. in a modal dialog) are
    // parsed after the callback has returned, never from inside it.
    void feedFromInsideACallbackIsDeferred()
    {
        recorder r;
        xml_reader reader(&r);
        int depth = 0;
        int maxDepth = 0;
        r.onStart = [&](QStringView name) {
            ++depth;
            maxDepth = qMax(maxDepth, depth);
            if (name == u"first")
                reader.feed("<second/>");
            --depth;
            return true;
        };
        reader.feed("<xml><first/>");
        QCOMPARE(maxDepth, 1);
        QCOMPARE(r.events.mid(2), QStringList({"<first", "</first", "<second", "</second"}));
    }

    // Long runs of plain text reach the handler as they arrive, in order with
    // the markup around them, whatever the chunking.
    void longTextRuns_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("events");
        const QByteArray hex = QByteArray("0123456789ABCDEF").repeated(8000);
        QTest::newRow("hex content") << "<xml><upload><file name=\"a\">" + hex + "</file></upload>"
                                     << QStringList({"doc", "<xml", "<upload", "<file name=a", "#" + hex, "</file", "</upload"});
        QTest::newRow("entity far into the run")
            << "<xml><file>" + hex + "&amp;" + hex + "</file>"
            << QStringList({"doc", "<xml", "<file", "#" + hex + "&" + hex, "</file"});
        QTest::newRow("line breaks far into the run")
            << "<xml><file>" + hex + "\r\nmore</file>"
            << QStringList({"doc", "<xml", "<file", "#" + hex + "\nmore", "</file"});
        QTest::newRow("markup characters in comments, sections and quotes")
            << "<xml><!-- <not a=\"tag\"> --><a t=\"x>'y\" u='\">'><![CDATA[<b>]]>" + hex + "</a><?pi a>b?><c/>"
            << QStringList({"doc", "<xml", "<a t=x>'y u=\">", "#<b>" + hex, "</a", "<c", "</c"});
        QTest::newRow("a doctype hands everything to the parser")
            << "<!DOCTYPE xml [<!ENTITY e \"E\">]><xml><a>&e;" + hex + "</a>"
            << QStringList({"doc", "<xml", "<a", "#E" + hex, "</a"});
    }

    void longTextRuns()
    {
        QFETCH(QByteArray, input);
        QFETCH(QStringList, events);
        for (qsizetype chunk : {qsizetype(1), qsizetype(7), qsizetype(4096), input.size()}) {
            recorder r;
            xml_reader reader(&r);
            for (qsizetype at = 0; at < input.size(); at += chunk)
                QCOMPARE(reader.feed(input.mid(at, chunk)), xml_reader::NeedMore);
            QVERIFY2(r.events == events, qPrintable(QStringLiteral("chunks of %1").arg(chunk)));
        }
    }

    void longRunsAreNotHeldByTheParser()
    {
        recorder r;
        xml_reader reader(&r);
        reader.feed("<xml><file>");
        const QByteArray piece = QByteArray("AB").repeated(32 * 1024);
        for (int i = 0; i < 64; ++i)
            reader.feed(piece);
        QVERIFY(reader.bytesFed() > 4 * 1024 * 1024);
        QVERIFY(reader.parsedBytes() < 64);
        QCOMPARE(r.events.back().size(), 1 + 64 * piece.size());
    }

    void longTextOutsideTheRootIsAnError()
    {
        recorder r;
        xml_reader reader(&r);
        QCOMPARE(reader.feed(QByteArray(20000, 'x') + "<xml>"), xml_reader::Failed);
    }

    // Whatever the structure, the reader holds bounded nesting and a bounded
    // amount of unparsed markup; legitimate streams of any length pass.
    void boundsHold_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("fails");
        const QByteArray hex = QByteArray("0123456789ABCDEF").repeated(4096);
        QTest::newRow("64 levels") << "<xml>" + QByteArray("<a>").repeated(63) << false;
        QTest::newRow("65 levels") << "<xml>" + QByteArray("<a>").repeated(64) << true;
        QTest::newRow("closed elements never add up") << "<xml>" + QByteArray("<a><b/></a>").repeated(200000) << false;
        QTest::newRow("long start tag") << "<xml><a b=\"" + QByteArray(5000, 'x') << true;
        QTest::newRow("long text with entities") << "<xml><a>" + QByteArray("&amp;").repeated(1000) << true;
        QTest::newRow("long comment") << "<xml><!--" + QByteArray(5000, 'x') << true;
        QTest::newRow("doctype without end") << "<!DOCTYPE x [" + QByteArray(5000, ' ') << true;
        QTest::newRow("long plain text passes through") << "<xml><file>" + hex.repeated(8) + "</file>" << false;
        QTest::newRow("many files of short text") << "<xml><up>" + ("<file n=\"x\">" + hex.left(3000) + "</file>").repeated(500)
                                                  << false;
    }

    void boundsHold()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, fails);
        for (qsizetype chunk : {qsizetype(1000), input.size()}) {
            if (chunk == 1000 && input.size() > 200000)
                continue; // fed in one piece only: slices of the parser's input are what is counted
            recorder r;
            xml_reader reader(&r);
            reader.setLimits(64, 4096);
            xml_reader::Status status = xml_reader::NeedMore;
            for (qsizetype at = 0; at < input.size() && status == xml_reader::NeedMore; at += chunk)
                status = reader.feed(input.mid(at, chunk));
            QCOMPARE(status, fails ? xml_reader::Failed : xml_reader::NeedMore);
            QVERIFY(reader.heldBytes() <= 4096 + 1024);
        }
    }

    // Bytes that arrive while a handler is busy (a dialog open in a
    // callback) are kept up to the held-bytes bound; beyond it the reading ends.
    void bytesQueuedInACallbackAreBounded_data()
    {
        QTest::addColumn<int>("pieces");
        QTest::addColumn<bool>("fails");
        QTest::newRow("within the bound") << 3 << false;
        QTest::newRow("beyond the bound") << 5 << true;
    }

    void bytesQueuedInACallbackAreBounded()
    {
        QFETCH(int, pieces);
        QFETCH(bool, fails);
        recorder r;
        xml_reader reader(&r);
        reader.setLimits(64, 4096);
        r.onStart = [&](QStringView name) {
            if (name == u"dialog") {
                for (int i = 0; i < pieces; ++i)
                    reader.feed("<a>" + QByteArray(1000, 'x') + "</a>");
            }
            return true;
        };
        QCOMPARE(reader.feed("<xml><dialog/>"), fails ? xml_reader::Failed : xml_reader::NeedMore);
        QCOMPARE(reader.boundExceeded(), fails);
        QCOMPARE(r.events.count(QStringLiteral("</a")), fails ? 0 : pieces);
    }

    void handlerCanBeSwappedBetweenMessages()
    {
        recorder first;
        recorder second;
        xml_reader reader(&first);
        reader.feed("<xml><a/>");
        reader.setHandler(&second);
        reader.feed("<b/>");
        QCOMPARE(first.events.back(), QStringLiteral("</a"));
        QCOMPARE(second.events, QStringList({"<b", "</b"}));
    }
};

QTEST_GUILESS_MAIN(tst_xml_reader)
#include "tst_xml_reader.moc"
