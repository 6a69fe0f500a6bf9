#include "Logger.h"
#include "logFlags.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList echoed;

void captureEcho(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "tavex.wardline.echo")
        echoed << message;
}

} // namespace

class tst_logFlags : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("store");
        QTest::addColumn<QStringList>("messages");
        const QString bad = QStringLiteral("Unable to parse log setting element. Remainder '%1'.");
        QTest::newRow("12") << "12" << 12 << true << QStringList{"Log value = 12, flags = 4,8,"};
        QTest::newRow("+4+8") << "+4+8" << 12 << true << QStringList{"Log value = 12, flags = 4,8,"};
        QTest::newRow("4,,8") << "4,,8" << 12 << true << QStringList{"Log value = 12, flags = 4,8,"};
        QTest::newRow("15-2") << "15-2" << 13 << true << QStringList{"Log value = 13, flags = 1,4,8,"};
        QTest::newRow("4x") << "4x" << 4 << true << QStringList{bad.arg("x"), "Log value = 4, flags = 4,"};
        QTest::newRow("empty") << "" << 0 << true << QStringList{"Log value = 0, flags = "};
        QTest::newRow("leading comma") << ",4" << 0 << true << QStringList{bad.arg(",4"), "Log value = 0, flags = "};
        QTest::newRow("two signs") << "1+-4" << 1 << true << QStringList{bad.arg("+-4"), "Log value = 1, flags = 1,"};
        QTest::newRow("line feed ends the value")
            << "4\n8" << 4 << true << QStringList{bad.arg("\n8"), "Log value = 4, flags = 4,"};
        QTest::newRow("too large to set")
            << "4,99999999999" << 0 << false
            << QStringList{"Unable to parse log setting element. This '99999999999'. Remainder ''."};
        QTest::newRow("too large to clear")
            << "-99999999999x" << 0 << false
            << QStringList{"Unable to parse log setting element. This '99999999999'. Remainder 'x'."};
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        QFETCH(bool, store);
        QFETCH(QStringList, messages);
        const logFlags::ParseResult result = logFlags::parse(text);
        QCOMPARE(result.messages, messages);
        QCOMPARE(result.store, store);
        if (store)
            QCOMPARE(result.value, value);
    }

    void menu()
    {
        QStringList texts;
        QList<bool> settable;
        for (const logFlags::Category &category : logFlags::categories()) {
            texts << logFlags::menuText(category);
            settable << category.settableFromMenu;
        }
        QCOMPARE(texts, (QStringList{"Log 1 (Wardline)", "Log 2 (Plug-ins)", "Log 4 (UDP System)", "Log 8 (Mastership)",
                                     "Log 16 (Per-session Logging)", "Log 32 (Verbose)", "Log 64 (Time Filters)",
                                     "Log 128 (Drivers - command-line only)", "Log 256 (Log-file per hour)",
                                     "Log 512 (Log-file per minute)"}));
        QCOMPARE(settable, (QList<bool>{true, true, true, true, true, true, true, false, false, false}));
    }

    void filters_data()
    {
        QTest::addColumn<int>("mask"); // -1: the main window's debug output
        QTest::addColumn<int>("flags");
        QTest::addColumn<bool>("echo");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<bool>("written");
        QTest::newRow("main window, bit 1") << -1 << 1 << true << "" << true;
        QTest::newRow("main window, other bits: echo only") << -1 << 14 << true << "" << false;
        QTest::newRow("main window, echo off") << -1 << 1 << false << "" << true;
        QTest::newRow("mask 0 always written") << 0 << 0 << true << "" << true;
        QTest::newRow("every bit of the mask set") << 12 << 13 << true << "UDP: " << true;
        QTest::newRow("one bit of the mask missing") << 12 << 4 << true << "UDP: " << false;
        QTest::newRow("echo off, not written") << 8 << 0 << false << "" << false;
    }

    void filters()
    {
        QFETCH(int, mask);
        QFETCH(int, flags);
        QFETCH(bool, echo);
        QFETCH(QString, prefix);
        QFETCH(bool, written);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkdir(QStringLiteral("sys")));
        qputenv("QX_ROOT", QFile::encodeName(root.path()));
        qputenv("QX_SYSTEM", "sys");
        Logger logger;
        logger.setClock([] { return QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9)); });

        echoed.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureEcho);
        if (mask < 0)
            logFlags::mainWindowDebug(logger, QStringLiteral("North"), flags, echo, QStringLiteral("hello"));
        else
            logFlags::interfaceDebug(logger, QStringLiteral("North"), flags, echo, mask, prefix, QStringLiteral("hello"));
        qInstallMessageHandler(previous);

        const QStringList expectedEcho = echo ? QStringList{"TAVEX-WL:North:" + prefix + "hello"} : QStringList();
        QCOMPARE(echoed, expectedEcho);
        QFile file(root.path() + QStringLiteral("/sys/logs/alarms/2024_03_05.log"));
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(),
                 written ? "07:08:09.000 - " + prefix.toUtf8() + "hello\n" : QByteArray());
    }
};

QTEST_GUILESS_MAIN(tst_logFlags)
#include "tst_logFlags.moc"
