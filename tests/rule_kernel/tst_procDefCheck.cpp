#include "procDefCheck.h"

#include <QFile>
#include <QTest>

// The checker of proc_def.cfg: every kind of problem, found at its process
// and line, in the rule library's words.
class tst_procDefCheck : public QObject
{
    Q_OBJECT

private slots:
    void findsEachKindOfProblem_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("problems");

        const QByteArray input("Type=Input\nBlock=1\nIndex=1\n");
        QTest::newRow("empty file") << QByteArray() << QStringList();
        QTest::newRow("sound chain") << "[a]\n" + input + "[b]\nType=NOT\nInput=a\nMask=a\n" << QStringList();
        QTest::newRow("body the parser refuses")
            << "[a]\n" + input + "[b]\nType=AND\n\n[c]\nType=XOR\n[d]\nType=OR\nInputs=a\nLatching=maybe\n"
            << QStringList{"Process b (line 5): AND needs Inputs", "Process c (line 8): unknown Type XOR",
                           "Process d (line 10): Latching must be yes or no"};
        QTest::newRow("key twice, no key line")
            << QByteArray("[a]\nType=OR\nInputs=b\ninputs=b\n[b]\nType=Input\nBlock 1\n")
            << QStringList{"Process a (line 1): inputs given twice", "Process b (line 5): not a Key=Value line: Block 1"};
        QTest::newRow("name not utf-8") << "[caf\xE9]\n" + input << QStringList{"Process caf\uFFFD (line 1): the name is not UTF-8 text"};
        QTest::newRow("no name") << "[ ]\n" + input << QStringList{"Process   (line 1): the process has no name"};
        QTest::newRow("name twice")
            << "[a]\n" + input + "[a]\n" + input << QStringList{"Process a (line 5): the name is given twice (first at line 1)"};
        QTest::newRow("input and mask naming no process")
            << "[a]\nType=NOT\nInput=A\n[b]\n" + input + "Mask=nobody\n"
            << QStringList{"Process a (line 1): its input A is no process", "Process b (line 4): its mask nobody is no process"};
        QTest::newRow("circle, and a reader outside it")
            << QByteArray("[a]\nType=NOT\nInput=b\n[b]\nType=HOLDOFF\nInput=a\n[c]\nType=NOT\nInput=a\n")
            << QStringList{"Process a (line 1): it is never calculated: it reads itself through the processes it reads",
                           "Process b (line 4): it is never calculated: it reads itself through the processes it reads"};
        QTest::newRow("masked by itself")
            << "[a]\n" + input + "Mask=a\n"
            << QStringList{"Process a (line 1): it is never calculated: it reads itself through the processes it reads"};
        QTest::newRow("reader of a broken process is not blamed")
            << QByteArray("[a]\nType=AND\n[b]\nType=NOT\nInput=a\n") << QStringList{"Process a (line 1): AND needs Inputs"};
        QTest::newRow("lines counted after bom, crlf and a preamble")
            << QByteArray("\xEF\xBB\xBF; Pumps\r\n\r\n[a]\r\nType=OR\r\n") << QStringList{"Process a (line 3): OR needs Inputs"};
    }

    void findsEachKindOfProblem()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, problems);
        QStringList found;
        for (const procDefCheck::problem &p : procDefCheck::check(content))
            found << procDefCheck::describe(p);
        QCOMPARE(found, problems);
    }

    void theDemoAlarmSystemHasNoProblem()
    {
        const QString path = QFINDTESTDATA("../../demo/root/North/config/alarms/Pumps/proc_def.cfg");
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        const QByteArray content = file.readAll();
        QVERIFY(content.contains("[Any plant alarm]"));
        const QList<procDefCheck::problem> problems = procDefCheck::check(content);
        QVERIFY2(problems.isEmpty(), qPrintable(procDefCheck::describe(problems.value(0))));
    }
};

QTEST_MAIN(tst_procDefCheck)
#include "tst_procDefCheck.moc"
