#include "procDefDocument.h"

#include <QTest>

// The proc_def.cfg document of the alarm process editor: what it leaves
// alone it gives back byte for byte, and what it edits it edits in place.
class tst_procDefDocument : public QObject
{
    Q_OBJECT

private slots:
    void roundTripIsByteExact_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("names");

        QTest::newRow("empty") << QByteArray() << QStringList();
        QTest::newRow("comments only") << QByteArray("; nothing yet\n\n# really\n") << QStringList();
        QTest::newRow("preamble, comments, blanks")
            << QByteArray("; Pumps\n\n[a]\nType=Input\n; why\nBlock=1\n\n\n[b]\nType=NOT\nInput=a\n") << QStringList{"a", "b"};
        QTest::newRow("crlf") << QByteArray("[a]\r\nType=AND\r\nInputs=b, c\r\n\r\n[b]\r\n") << QStringList{"a", "b"};
        QTest::newRow("bom and crlf") << QByteArray("\xEF\xBB\xBF[T\xC3\xBCr]\r\nType=Input\r\n") << QStringList{"Tür"};
        QTest::newRow("no final line end") << QByteArray("[a]\nType=OR") << QStringList{"a"};
        QTest::newRow("mixed line ends") << QByteArray("[a]\r\nType=OR\nInputs=b\r\n") << QStringList{"a"};
        QTest::newRow("spacing, spelling, unknown keys")
            << QByteArray("  [ spaced ]  \n\tTYPE =  and \ninputs=x,y\nColour=red\nnot a key line\n") << QStringList{" spaced "};
        QTest::newRow("not utf-8, nul") << QByteArray("[caf\xE9]\nType=In\0put\n\xFF\xFE\n", 22) << QStringList{"caf\uFFFD"};
        QTest::newRow("bracket lines that are not headers") << QByteArray("[a\n]\n[]\n[x]y]\n") << QStringList{"", "x]y"};
    }

    void roundTripIsByteExact()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, names);
        procDefDocument doc;
        QVERIFY(doc.load(content));
        QCOMPARE(doc.text(), content);
        QStringList found;
        for (int i = 0; i < doc.count(); ++i)
            found << doc.name(i);
        QCOMPARE(found, names);
    }

    void setValueEditsInPlace_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("process");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("rewrites, keeping spelling and spacing")
            << QByteArray("[a]\nTYPE = and\ninputs =  x\n[b]\nInputs=x\n") << 0 << "Inputs" << "y, z"
            << QByteArray("[a]\nTYPE = and\ninputs =  y, z\n[b]\nInputs=x\n");
        QTest::newRow("appends after the last key line")
            << QByteArray("[a]\nType=AND\nInputs=b\n\n; about b\n[b]\n") << 0 << "Mask" << "m"
            << QByteArray("[a]\nType=AND\nInputs=b\nMask=m\n\n; about b\n[b]\n");
        QTest::newRow("appends under a bare header")
            << QByteArray("[a]\n[b]\nType=OR\n") << 0 << "Type" << "Time"
            << QByteArray("[a]\nType=Time\n[b]\nType=OR\n");
        QTest::newRow("new line takes crlf") << QByteArray("[a]\r\nType=AND\r\n") << 0 << "Inputs" << "b"
                                             << QByteArray("[a]\r\nType=AND\r\nInputs=b\r\n");
        QTest::newRow("file without final line end") << QByteArray("[a]\nType=AND") << 0 << "Mask" << "m"
                                                     << QByteArray("[a]\nType=AND\nMask=m");
        QTest::newRow("empty value removes") << QByteArray("[a]\nType=Input\nAlarm=1\nBlock=2\n") << 0 << "alarm" << " "
                                             << QByteArray("[a]\nType=Input\nBlock=2\n");
        QTest::newRow("a key given twice becomes one")
            << QByteArray("[a]\nMask=x\nType=OR\nmask=y\n") << 0 << "Mask" << "z" << QByteArray("[a]\nMask=z\nType=OR\n");
        QTest::newRow("utf-8 value, last process")
            << QByteArray("[a]\n[b]\nType=NOT\n") << 1 << "Input" << "Pumpe Tür"
            << QByteArray("[a]\n[b]\nType=NOT\nInput=Pumpe T\xC3\xBCr\n");
    }

    void setValueEditsInPlace()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, process);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, expected);
        procDefDocument doc;
        QVERIFY(doc.load(content));
        QVERIFY(doc.setValue(process, key, value));
        QCOMPARE(doc.text(), expected);
        QCOMPARE(doc.value(process, key), value.trimmed());
        // The headers moved with the lines.
        procDefDocument reread;
        reread.load(expected);
        for (int i = 0; i < doc.count(); ++i)
            QCOMPARE(doc.line(i), reread.line(i));
    }

    void setValueRefusesWhatWouldBreakLines()
    {
        const QByteArray content("[a]\nType=AND\n");
        procDefDocument doc;
        doc.load(content);
        QString error;
        QVERIFY(!doc.setValue(0, QStringLiteral("Inputs"), QStringLiteral("b\n[evil]"), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!doc.setValue(0, QStringLiteral("In=puts"), QStringLiteral("b"), &error));
        QVERIFY(!doc.setValue(0, QStringLiteral("[x"), QStringLiteral("b"), &error));
        QCOMPARE(doc.text(), content);
    }

    void renameUpdatesExactReferences_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("process");
        QTest::addColumn<QString>("newName");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("inputs, input, mask; look-alikes kept")
            << QByteArray("[P1]\nType=Input\n[P1 running]\nType=Input\n"
                          "[f]\nType=AND\nInputs = P1 running,P1 ,XP1, p1\nMask=P1\n"
                          "[g]\nType=NOT\ninput=  P1\n")
            << 0 << "Pump 1"
            << QByteArray("[Pump 1]\nType=Input\n[P1 running]\nType=Input\n"
                          "[f]\nType=AND\nInputs = P1 running,Pump 1 ,XP1, p1\nMask=Pump 1\n"
                          "[g]\nType=NOT\ninput=  Pump 1\n");
        QTest::newRow("other keys and comments untouched")
            << QByteArray("[a]\n[b]\nType=OR\n; Inputs=a\nOn=a\nInputs=a, a\n")
            << 0 << "c" << QByteArray("[c]\n[b]\nType=OR\n; Inputs=a\nOn=a\nInputs=c, c\n");
        QTest::newRow("reads itself") << QByteArray("[a]\r\nType=NOT\r\nInput=a\r\n") << 0 << "b"
                                      << QByteArray("[b]\r\nType=NOT\r\nInput=b\r\n");
        QTest::newRow("second of a name is read by nobody")
            << QByteArray("[a]\n[a]\n[r]\nInput=a\n") << 1 << "z" << QByteArray("[a]\n[z]\n[r]\nInput=a\n");
        QTest::newRow("header spacing kept, name not utf-8 fixed")
            << QByteArray(" [caf\xE9] \nType=OR\n") << 0 << "café" << QByteArray(" [caf\xC3\xA9] \nType=OR\n");
    }

    void renameUpdatesExactReferences()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, process);
        QFETCH(QString, newName);
        QFETCH(QByteArray, expected);
        procDefDocument doc;
        doc.load(content);
        QString error;
        QVERIFY2(doc.rename(process, newName, &error), qPrintable(error));
        QCOMPARE(doc.text(), expected);
        QCOMPARE(doc.name(process), newName);
        QVERIFY(doc.nameIsUtf8(process));
        QCOMPARE(doc.indexOf(newName), process);
    }

    void refusedNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << "";
        QTest::newRow("blank") << "  ";
        QTest::newRow("leading blank") << " x";
        QTest::newRow("opening bracket") << "a[1";
        QTest::newRow("closing bracket") << "a]";
        QTest::newRow("comma") << "a,b";
        QTest::newRow("line break") << "a\nb";
        QTest::newRow("carriage return") << "a\rb";
        QTest::newRow("existing") << "b";
    }

    void refusedNames()
    {
        QFETCH(QString, name);
        const QByteArray content("[a]\nType=OR\nInputs=b\n[b]\nType=Input\n");
        procDefDocument doc;
        doc.load(content);
        QString error;
        QVERIFY(!doc.rename(0, name, &error));
        QVERIFY(!error.isEmpty());
        error.clear();
        QCOMPARE(doc.add(name, {}, &error), -1);
        QVERIFY(!error.isEmpty());
        QCOMPARE(doc.text(), content);
        QCOMPARE(doc.count(), 2);
    }

    void addAppendsAProcess_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("empty") << QByteArray() << QByteArray("[New process 1]\nType=Input\n");
        QTest::newRow("line end at the end") << QByteArray("[a]\nType=OR\n")
                                             << QByteArray("[a]\nType=OR\n\n[New process 1]\nType=Input\n");
        QTest::newRow("crlf, blank at the end") << QByteArray("[a]\r\n\r\n")
                                                << QByteArray("[a]\r\n\r\n[New process 1]\r\nType=Input\r\n");
        QTest::newRow("no line end at the end") << QByteArray("[New process 1]")
                                                << QByteArray("[New process 1]\n\n[New process 2]\nType=Input");
    }

    void addAppendsAProcess()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, expected);
        procDefDocument doc;
        doc.load(content);
        const QString name = doc.freeName(QStringLiteral("New process"));
        const int at = doc.add(name, {{QStringLiteral("Type"), QStringLiteral("Input")}, {QStringLiteral("Mask"), QString()}});
        QCOMPARE(at, doc.count() - 1);
        QCOMPARE(doc.text(), expected);
        QCOMPARE(doc.indexOf(name), at);
        QCOMPARE(doc.value(at, u"type"), QStringLiteral("Input"));
        QCOMPARE(doc.indexAtLine(doc.line(at)), at);
    }

    void removeKeepsTheNeighboursComments_data()
    {
        QTest::addColumn<int>("process");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray head("; file\n\n");
        QTest::newRow("first") << 0 << head + "; about b\n[b]\nType=OR\n\n[c]\nType=NOT\n";
        QTest::newRow("middle") << 1 << head + "[a]\nType=AND\n\n[c]\nType=NOT\n";
        QTest::newRow("last") << 2 << head + "[a]\nType=AND\n\n; about b\n[b]\nType=OR\n";
    }

    void removeKeepsTheNeighboursComments()
    {
        QFETCH(int, process);
        QFETCH(QByteArray, expected);
        procDefDocument doc;
        doc.load("; file\n\n[a]\nType=AND\n\n; about b\n[b]\nType=OR\n\n[c]\nType=NOT\n");
        const QString removed = doc.name(process);
        doc.remove(process);
        QCOMPARE(doc.text(), expected);
        QCOMPARE(doc.count(), 2);
        QCOMPARE(doc.indexOf(removed), -1);
        for (int i = 0; i < doc.count(); ++i)
            QCOMPARE(doc.indexOf(doc.name(i)), i);
    }

    void readersAndCheckPointAtProcesses()
    {
        procDefDocument doc;
        doc.load("[a]\nType=Input\nBlock=1\nIndex=1\n\n[b]\nType=AND\n\n[c]\nType=NOT\nInput=a\nMask=b\n");
        QCOMPARE(doc.readers(QStringLiteral("a")), QList<int>{2});
        QCOMPARE(doc.readers(QStringLiteral("b")), QList<int>{2});
        const QList<procDefCheck::problem> problems = doc.check();
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.first().process, QStringLiteral("b"));
        QCOMPARE(doc.indexAtLine(problems.first().line), 1);
        QCOMPARE(doc.indexAtLine(problems.first().line + 1), -1);
    }

    void oversizedContentIsRefused()
    {
        procDefDocument doc;
        QString error;
        QVERIFY(!doc.load(QByteArray(procDefDocument::maxBytes + 1, 'x'), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!doc.load(QByteArray(procDefDocument::maxLines, '\n'), &error));
        QCOMPARE(doc.count(), 0);
        QVERIFY(doc.text().isEmpty());
    }
};

QTEST_MAIN(tst_procDefDocument)
#include "tst_procDefDocument.moc"
