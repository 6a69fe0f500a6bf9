#include "editorOptions.h"

#include <QTest>

class tst_editorOptions : public QObject
{
    Q_OBJECT

private slots:
    void options_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("local");
        QTest::addColumn<int>("filter");
        QTest::addColumn<QStringList>("errors");

        QTest::newRow("none") << QStringList() << false << 0 << QStringList();
        QTest::newRow("lower case") << QStringList{"-debug", "-local"} << true << 1 << QStringList();
        QTest::newRow("mixed case") << QStringList{"-Release", "-LoCaL"} << true << 2 << QStringList();
        QTest::newRow("last filter wins") << QStringList{"-RELEASE", "-DEBUG"} << false << 1 << QStringList();
        QTest::newRow("last filter wins, other order") << QStringList{"-DEBUG", "-release"} << false << 2 << QStringList();
        QTest::newRow("not options") << QStringList{"/x", "North", "", "debug"} << false << 0 << QStringList();
        QTest::newRow("unknown option named as typed")
            << QStringList{"-x"} << false << 0 << QStringList{"Unrecognized option '-x'."};
        // Near misses are unknown too, and the rest is still read.
        QTest::newRow("near misses")
            << QStringList{"-X", "--debug", "-LOCALX", "-", "-release"} << false << 2
            << QStringList{"Unrecognized option '-X'.", "Unrecognized option '--debug'.",
                           "Unrecognized option '-LOCALX'.", "Unrecognized option '-'."};
    }

    void options()
    {
        QFETCH(QStringList, arguments);
        const editorOptions options(arguments);
        QTEST(options.local(), "local");
        QTEST(options.filter(), "filter");
        QTEST(options.errors(), "errors");
    }
};

QTEST_APPLESS_MAIN(tst_editorOptions)
#include "tst_editorOptions.moc"
