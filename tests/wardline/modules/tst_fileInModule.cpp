#include "moduleFakes.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using values = QList<int>;

class tst_fileInModule : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    fakeDebug m_debug;
    fakeLog m_log;
    fakeAcqSink m_sink;
    DebugIdManager m_ids;
    createNewInputFunction m_create = nullptr;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // A module reading `valuesPath`, polled by the test (the timer is slow).
    std::unique_ptr<alarms_input_base> start(const QByteArray &valuesPath, int colouring = 0,
                                             const QByteArray &pollMs = "60000")
    {
        const QString config = writeConfig(path("alarms/inputs/al_acq_0001.cfg"),
                                           "Path=" + valuesPath + "\nPollMs=" + pollMs + "\n");
        std::unique_ptr<alarms_input_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        if (!module->initialise(config, m_dir->path(), colouring, &m_sink))
            return nullptr;
        return module;
    }

    static values read(alarms_input_base *module)
    {
        int *data = nullptr;
        int length = -1;
        if (!module->getData(&data, &length))
            return {values{-999}};
        return values(data, data + length);
    }

    static void deliverEvents() { QCoreApplication::sendPostedEvents(); }

private slots:
    void initTestCase()
    {
        m_create = resolveEntryPoint<createNewInputFunction>(FILEIN_LIBRARY, "createNewInput");
        QVERIFY(m_create);
    }

    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_debug = fakeDebug();
        m_log = fakeLog();
        m_sink = fakeAcqSink();
    }

    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("healthy");
        QTest::addColumn<values>("expected");
        QTest::newRow("commas") << QByteArray("1,2,3") << true << values{1, 2, 3};
        QTest::newRow("mixed separators")
            << QByteArray("1, 2\n3\t4 ,,5\r\n6   7\n\n") << true << values{1, 2, 3, 4, 5, 6, 7};
        QTest::newRow("signs") << QByteArray("-1,+2,-0") << true << values{-1, 2, 0};
        QTest::newRow("int limits") << QByteArray("2147483647 -2147483648") << true
                                    << values{2147483647, -2147483647 - 1};
        QTest::newRow("leading separators") << QByteArray(",\n 8") << true << values{8};
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF" "4,5") << true << values{4, 5};
        QTest::newRow("empty file") << QByteArray() << true << values{};
        QTest::newRow("only separators") << QByteArray(" ,\r\n") << true << values{};
        QTest::newRow("letter") << QByteArray("1,x,3") << false << values{};
        QTest::newRow("too large") << QByteArray("1,2147483648") << false << values{};
        QTest::newRow("semicolon") << QByteArray("1;2") << false << values{};
        QTest::newRow("decimal") << QByteArray("1.5") << false << values{};
        QTest::newRow("lone sign") << QByteArray("3,-") << false << values{};
    }

    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, healthy);
        QFETCH(values, expected);
        QVERIFY(writeBytes(path("alarms/inputs/values.txt"), text));
        auto module = start("values.txt");
        QVERIFY(module);
        QCOMPARE(module->getStatusOk(), healthy);
        if (healthy) {
            QCOMPARE(read(module.get()), expected);
        } else {
            int *data = reinterpret_cast<int *>(1);
            int length = -1;
            QVERIFY(!module->getData(&data, &length));
            QCOMPARE(data, nullptr);
            QCOMPARE(length, 0);
            QCOMPARE(m_log.count("rejected"), 1);
            module->pollNow(); // the same fault is not logged again
            QCOMPARE(m_log.count("rejected"), 1);
        }
    }

    void valuesPath_data()
    {
        QTest::addColumn<QByteArray>("configured");
        QTest::addColumn<QString>("stored"); // below the temporary folder
        QTest::newRow("beside the configuration") << QByteArray("v.txt") << "alarms/inputs/v.txt";
        QTest::newRow("subfolder") << QByteArray("data/v.txt") << "alarms/inputs/data/v.txt";
        QTest::newRow("backslashes") << QByteArray("data\\v.txt") << "alarms/inputs/data/v.txt";
        QTest::newRow("parent folder") << QByteArray("../../plant/v.txt") << "plant/v.txt";
        QTest::newRow("absolute") << QByteArray("@/elsewhere/v.txt") << "elsewhere/v.txt";
    }

    void valuesPath()
    {
        QFETCH(QByteArray, configured);
        QFETCH(QString, stored);
        configured.replace("@", m_dir->path().toUtf8());
        QVERIFY(writeBytes(path(stored), "11 12"));
        QVERIFY(writeBytes(path("v.txt"), "99")); // the working folder must not matter
        auto module = start(configured);
        QVERIFY(module);
        QVERIFY(module->getStatusOk());
        QCOMPARE(read(module.get()), (values{11, 12}));
    }

    void badConfiguration_data()
    {
        QTest::addColumn<QByteArray>("fileSection");
        QTest::newRow("no Path") << QByteArray("PollMs=100\n");
        QTest::newRow("empty Path") << QByteArray("Path=  \n");
    }

    void badConfiguration()
    {
        QFETCH(QByteArray, fileSection);
        const QString config = writeConfig(path("al_acq_0002.cfg"), fileSection);
        std::unique_ptr<alarms_input_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        QVERIFY(!module->initialise(config, m_dir->path(), 0, &m_sink));
        QVERIFY(!module->getStatusOk());
        QCOMPARE(m_log.count("No Path"), 1);

        std::unique_ptr<alarms_input_base> orphan(m_create(&m_debug, &m_log, 2, &m_ids));
        QVERIFY(!orphan->initialise(path("none.cfg"), m_dir->path(), 0, &m_sink));
        QVERIFY(!orphan->getStatusOk());
    }

    void missingFile()
    {
        const QString file = path("alarms/inputs/v.txt");
        auto module = start("v.txt");
        QVERIFY(module);
        QVERIFY(!module->getStatusOk());
        QCOMPARE(read(module.get()), values{-999});
        int total = -1, remaining = -1;
        module->getProgress(&total, &remaining);
        QCOMPARE(total, 1);
        QCOMPARE(remaining, 0);
        module->pollNow();
        QCOMPARE(m_log.count("missing"), 1);

        QVERIFY(writeBytes(file, "1,2"));
        module->pollNow();
        QVERIFY(module->getStatusOk());
        QCOMPARE(read(module.get()), (values{1, 2}));
        QCOMPARE(m_log.count("read: 2 values"), 1);
        QCOMPARE(module->getRxCount(), 1);

        QVERIFY(QFile::remove(file));
        module->restartPoll();
        QVERIFY(!module->getStatusOk());
        QCOMPARE(m_log.count("missing"), 2);

        QVERIFY(QDir().mkpath(file)); // a folder in its place cannot be read either
        module->pollNow();
        QVERIFY(!module->getStatusOk());
        QCOMPARE(m_log.count("cannot be read"), 1);
        QVERIFY(QDir(file).removeRecursively());
        QVERIFY(writeBytes(file, "1,2,3"));
        module->pollNow();
        QVERIFY(module->getStatusOk());
        QCOMPARE(m_log.count("back: 3 values"), 1);
        QCOMPARE(module->getRxCount(), 2);

        for (int mask : std::as_const(m_debug.masks))
            QCOMPARE(mask, 2);
    }

    void changeRaisesOneEvent()
    {
        const QString file = path("alarms/inputs/v.txt");
        QVERIFY(writeBytes(file, "1,2,3"));
        auto module = start("v.txt");
        QVERIFY(module);
        QVERIFY(m_sink.values.isEmpty()); // never from inside a call of the engine
        deliverEvents();
        QCOMPARE(m_sink.values, values{3}); // the first values

        module->pollNow();
        deliverEvents();
        QCOMPARE(m_sink.values.size(), 1); // unchanged file

        QVERIFY(writeBytes(file, "1\n5\n3\n"));
        module->pollNow();
        QCOMPARE(m_sink.values.size(), 1);
        deliverEvents();
        QCOMPARE(m_sink.values, (values{3, 1}));
        QCOMPARE(m_log.count("1 of 3 values changed"), 1);

        // Changes before the event goes out make one event.
        QVERIFY(writeBytes(file, "0,0,3"));
        module->pollNow();
        QVERIFY(writeBytes(file, "0,0,3,4"));
        module->pollNow();
        deliverEvents();
        QCOMPARE(m_sink.values, (values{3, 1, 3}));

        // Gone and back with the same values: the engine reads nothing new.
        QVERIFY(QFile::remove(file));
        module->pollNow();
        QVERIFY(writeBytes(file, "0 0 3 4"));
        module->pollNow();
        deliverEvents();
        QCOMPARE(m_sink.values.size(), 3);
    }

    void timerPolls()
    {
        const QString file = path("alarms/inputs/v.txt");
        QVERIFY(writeBytes(file, "1"));
        auto module = start("v.txt", 0, "20");
        QVERIFY(module);
        QVERIFY(writeBytes(file, "2"));
        QTRY_COMPARE(read(module.get()), values{2});
        QTRY_COMPARE(m_sink.values.size(), 2);
        module->aboutToClose();
        QVERIFY(writeBytes(file, "3"));
        QTest::qWait(100);
        QCOMPARE(read(module.get()), values{2});
    }

    void colouring_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<values>("coloured");
        QTest::newRow("greening") << 1 << values{0, 0, 0};
        QTest::newRow("redding") << 2 << values{1, 1, 1};
    }

    void colouring()
    {
        QFETCH(int, mode);
        QFETCH(values, coloured);
        const QString file = path("alarms/inputs/v.txt");
        QVERIFY(writeBytes(file, "0,1,7"));
        auto module = start("v.txt");
        QVERIFY(module);
        deliverEvents();
        const int events = m_sink.values.size();

        module->setColouring(mode, true);
        QCOMPARE(read(module.get()), coloured);
        deliverEvents();
        QCOMPARE(m_sink.values.size(), events + 1);

        module->setColouring(3 - mode, false); // the other mode is not on
        QCOMPARE(read(module.get()), coloured);

        QVERIFY(writeBytes(file, "5,1,7"));
        module->pollNow();
        QCOMPARE(read(module.get()), coloured); // held while colouring
        QVERIFY(writeBytes(file, "5,1,7,9"));
        module->pollNow();
        QCOMPARE(read(module.get()), coloured + values{coloured.first()});

        module->setColouring(mode, false);
        QCOMPARE(read(module.get()), (values{5, 1, 7, 9}));
    }

    void colouringFromStart()
    {
        QVERIFY(writeBytes(path("alarms/inputs/v.txt"), "4,4"));
        auto module = start("v.txt", 2);
        QVERIFY(module);
        QCOMPARE(read(module.get()), (values{1, 1}));
        module->setColouring(2, false);
        QCOMPARE(read(module.get()), (values{4, 4}));
    }

    // The engine keeps the pointer from getData and reads through it on
    // later cycles, also while the module is unhealthy and not asked again.
    void pointerStability()
    {
        const QString file = path("alarms/inputs/v.txt");
        QVERIFY(writeBytes(file, "1,2,3"));
        auto module = start("v.txt");
        QVERIFY(module);
        int *held = nullptr;
        int length = 0;
        QVERIFY(module->getData(&held, &length));

        QVERIFY(writeBytes(file, "4,5,6"));
        module->pollNow();
        QCOMPARE(values(held, held + 3), (values{4, 5, 6})); // same length: same array
        int *again = nullptr;
        QVERIFY(module->getData(&again, &length));
        QCOMPARE(again, held);

        // A new length: the held array stays whole until the next getData.
        QVERIFY(writeBytes(file, "7,8,9,10,11"));
        module->pollNow();
        QVERIFY(QFile::remove(file));
        module->pollNow(); // unhealthy: the engine skips getData
        QCOMPARE(values(held, held + 3), (values{4, 5, 6}));
        QVERIFY(writeBytes(file, "7,8,9,10,11"));
        module->pollNow();
        QVERIFY(module->getData(&held, &length));
        QCOMPARE(values(held, held + length), (values{7, 8, 9, 10, 11}));

        // Colouring rewrites the held array in place.
        module->setColouring(1, true);
        QCOMPARE(values(held, held + length), (values{0, 0, 0, 0, 0}));
        module->setColouring(1, false);
        QCOMPARE(values(held, held + length), (values{7, 8, 9, 10, 11}));
    }

    void identity()
    {
        QVERIFY(writeBytes(path("alarms/inputs/v.txt"), "1"));
        auto module = start("v.txt");
        QVERIFY(module);
        QCOMPARE(module->getClassName(), QStringLiteral("fileInModule"));
        QCOMPARE(module->getConfigFileDate(),
                 QFileInfo(path("alarms/inputs/al_acq_0001.cfg")).lastModified());
        QVERIFY(!module->initialise(path("alarms/inputs/al_acq_0001.cfg"), m_dir->path(), 0, &m_sink));
    }
};

QTEST_GUILESS_MAIN(tst_fileInModule)
#include "tst_fileInModule.moc"
