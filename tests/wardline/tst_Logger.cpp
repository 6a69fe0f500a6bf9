#include "Logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QDateTime morning(QDate(2024, 3, 5), QTime(7, 8, 9, 10));

} // namespace

// Every test gets a fresh installation tree as $QX_ROOT with the system "sys",
// and a logger whose clock and free-space figure the test sets.
class tst_Logger : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Logger> m_logger;
    QDateTime m_now = morning;
    qint64 m_free = 1LL << 40; // -1: the figure cannot be read

    QString alarms() const { return m_root->path() + QStringLiteral("/sys/logs/alarms"); }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_root->path()).mkdir(QStringLiteral("sys")));
        qputenv("QX_ROOT", QFile::encodeName(m_root->path()));
        qputenv("QX_SYSTEM", "sys");
        m_now = morning;
        m_free = 1LL << 40;
        m_logger = std::make_unique<Logger>();
        m_logger->setClock([this] { return m_now; });
        m_logger->setFreeSpace([this](const QString &) -> std::optional<qint64> {
            if (m_free < 0)
                return std::nullopt;
            return m_free;
        });
    }

    void fileNames_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("kind"); // -1: setFrequency not called
        QTest::addColumn<QString>("name");
        QTest::newRow("per day by default") << 0 << -1 << "2024_03_05";
        QTest::newRow("per hour from bit 256") << 256 << -1 << "2024_03_05_07";
        QTest::newRow("per minute from bit 512") << 512 << -1 << "2024_03_05_07_08";
        QTest::newRow("hour beats minute") << (256 | 512) << -1 << "2024_03_05_07";
        QTest::newRow("kind 1") << 0 << 1 << "2024_03_05_07";
        QTest::newRow("kind 2") << 0 << 2 << "2024_03_05_07_08";
        QTest::newRow("any other kind per day") << 512 << 3 << "2024_03_05";
    }

    void fileNames()
    {
        QFETCH(int, flags);
        QFETCH(int, kind);
        QFETCH(QString, name);
        m_logger->applyLogFlags(flags);
        if (kind >= 0)
            m_logger->setFrequency(kind);
        m_logger->writeLine(QStringLiteral("x"));
        QCOMPARE(readAll(alarms() + QLatin1Char('/') + name + QStringLiteral(".log")), QByteArray("07:08:09.010 - x\n"));
        QCOMPARE(QDir(alarms()).entryList(QDir::Files).size(), 1);
    }

    void dayBoundary()
    {
        m_now = QDateTime(QDate(2024, 3, 31), QTime(23, 59, 59, 999));
        m_logger->writeLine(QStringLiteral("last"));
        m_now = QDateTime(QDate(2024, 4, 1), QTime(0, 0));
        m_logger->writeLine(QStringLiteral("first"));
        QCOMPARE(readAll(alarms() + QStringLiteral("/2024_03_31.log")), QByteArray("23:59:59.999 - last\n"));
        QCOMPARE(readAll(alarms() + QStringLiteral("/2024_04_01.log")), QByteArray("00:00:00.000 - first\n"));
    }

    // The handler hears of each new file once, before its first line, and
    // again after it is set anew.
    void newFileHandler()
    {
        QStringList told;
        m_logger->setNewFileHandler([&](const QString &path) {
            told << QFileInfo(path).fileName() + (QFile::exists(path) ? " exists" : "");
        });
        m_logger->writeLine(QStringLiteral("a"));
        m_logger->writeLine(QStringLiteral("b"));
        m_now = m_now.addDays(1);
        m_logger->writeLine(QStringLiteral("c"));
        m_logger->setSubfolder(QStringLiteral("North"));
        m_logger->writeLine(QStringLiteral("d"));
        m_logger->setNewFileHandler([&](const QString &path) { told << "again " + QFileInfo(path).fileName(); });
        m_logger->writeLine(QStringLiteral("e"));
        QCOMPARE(told, (QStringList{"2024_03_05.log", "2024_03_06.log", "2024_03_06.log", "again 2024_03_06.log"}));
    }

    void freeSpace_data()
    {
        const QString stop = QStringLiteral("WL: Stopping logging due to free space available. Available %1, "
                                            "Minimum 1048576 (0 1048576).");
        const QString restart = QStringLiteral("Restarting logging due to free space available. Available %1, "
                                               "Minimum 1048576 (0 1048576).");
        QTest::addColumn<QList<qint64>>("figures"); // one write, "line <index>", per figure
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("exactly 1 MiB goes on")
            << QList<qint64>{1048576, 1048576} << QStringList{"line 0", "line 1"} << true;
        QTest::newRow("one byte less stops after the line")
            << QList<qint64>{1048575, 1048575} << QStringList{"line 0", stop.arg("1048575 (0 1048575)")} << false;
        QTest::newRow("exactly 1 MiB does not restart, one more does instead of its line")
            << QList<qint64>{0, 1048576, 1048577, 1048577}
            << QStringList{"line 0", stop.arg("0 (0 0)"), restart.arg("1048577 (0 1048577)"), "line 3"} << true;
        QTest::newRow("halves of a large figure as signed ints")
            << QList<qint64>{100, 6442450944}
            << QStringList{"line 0", stop.arg("100 (0 100)"), restart.arg("6442450944 (1 -2147483648)")} << true;
        QTest::newRow("unreadable figure counts as enough")
            << QList<qint64>{-1, 0, -1, -1}
            << QStringList{"line 0", "line 1", stop.arg("0 (0 0)"), restart.arg("-1 (-1 -1)"), "line 3"} << true;
    }

    void freeSpace()
    {
        QFETCH(QList<qint64>, figures);
        QFETCH(QStringList, lines);
        QFETCH(bool, enabled);
        for (qsizetype i = 0; i < figures.size(); ++i) {
            m_free = figures.at(i);
            m_logger->writeLine(QStringLiteral("line %1").arg(i));
        }
        QByteArray expected;
        for (const QString &line : std::as_const(lines))
            expected += "07:08:09.010 - " + line.toUtf8() + '\n';
        QCOMPARE(readAll(alarms() + QStringLiteral("/2024_03_05.log")), expected);
        QCOMPARE(m_logger->isEnabled(), enabled);
    }

    // "Wardline Starting" is logged before and after the alarm system name is known.
    void startLines_data()
    {
        QTest::addColumn<int>("flags");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("plain") << 0 << "/2024_03_05.log" << "/North/2024_03_05.log";
        QTest::newRow("per-session folder") << 16 << "/2024_03_05-07_08_09/2024_03_05.log"
                                            << "/North/2024_03_05-07_08_09/2024_03_05.log";
    }

    void startLines()
    {
        QFETCH(int, flags);
        QFETCH(QString, first);
        QFETCH(QString, second);
        m_logger->applyLogFlags(flags);
        m_now = m_now.addSecs(5); // the session stamp is the start, not the time of the line
        m_logger->directLog("Wardline Starting, AlarmSystem=%s", "North");
        m_logger->setSubfolder(QStringLiteral("North"));
        m_logger->directLog("Wardline Starting, AlarmSystem=%s", "North");
        const QByteArray line = "07:08:14.010 - Wardline Starting, AlarmSystem=North\n";
        QCOMPARE(readAll(alarms() + first), line);
        QCOMPARE(readAll(alarms() + second), line);
    }

    void longNamesAndLines()
    {
        QString root = m_root->path();
        for (int i = 0; i < 5; ++i)
            root += QLatin1Char('/') + QString(60, QLatin1Char('r'));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/sys")));
        qputenv("QX_ROOT", QFile::encodeName(root));
        const QString subfolder(200, QLatin1Char('n'));
        m_logger->setSubfolder(subfolder);
        const QByteArray text(70000, 'x');
        m_logger->directLog("%s", text.constData());
        const QString path = root + QStringLiteral("/sys/logs/alarms/") + subfolder + QStringLiteral("/2024_03_05.log");
        QCOMPARE(readAll(path), "07:08:09.010 - " + text + '\n');
        QCOMPARE(m_logger->fileName(m_now), path);

        // A folder name longer than the system allows loses the line, nothing more.
        qputenv("QX_SYSTEM", QByteArray(5000, 's'));
        m_logger->setSubfolder(QString());
        m_logger->writeLine(QStringLiteral("lost"));
        QVERIFY(m_logger->isEnabled());
    }

    void createPath_data()
    {
        QTest::addColumn<QString>("path"); // below the temporary folder
        QTest::addColumn<bool>("relative");
        QTest::addColumn<QString>("failure"); // empty: success
        QTest::newRow("nested") << "a/b/c" << false << "";
        QTest::newRow("backslashes and doubled separators") << "a\\b//c\\" << false << "";
        QTest::newRow("existing") << "" << false << "";
        QTest::newRow("relative, first folder made too") << "a/b" << true << "";
        QTest::newRow("stops at a file in the way") << "file/b/c" << false << "file";
    }

    void createPath()
    {
        QFETCH(QString, path);
        QFETCH(bool, relative);
        QFETCH(QString, failure);
        QFile file(m_root->filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const QString previous = QDir::currentPath();
        if (relative)
            QVERIFY(QDir::setCurrent(m_root->path()));
        const QString full = relative ? path : m_root->path() + QLatin1Char('/') + path;
        QString error;
        const bool ok = Logger::createPath(full, &error);
        QDir::setCurrent(previous);
        if (failure.isEmpty()) {
            QVERIFY2(ok, qPrintable(error));
            QVERIFY(QFileInfo(m_root->filePath(QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')))).isDir());
        } else {
            QVERIFY(!ok);
            QCOMPARE(error, QStringLiteral("Failed to create directory ") + m_root->filePath(failure));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Logger)
#include "tst_Logger.moc"
