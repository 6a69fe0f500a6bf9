#include "moduleFakes.h"

#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_fileOutModule : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    fakeDebug m_debug;
    fakeLog m_log;
    DebugIdManager m_ids;
    createNewOutputFunction m_create = nullptr;
    const QStringList m_names{"Zeta pump", "alpha", "Mid.level"};

    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<alarms_output_base> start(const QByteArray &statesPath)
    {
        const QString config = writeConfig(path("alarms/outputs/al_out_0001.cfg"), "Path=" + statesPath + "\n");
        std::unique_ptr<alarms_output_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        if (!module->initialise(config, "plant", m_dir->path(), m_dir->path(), m_names, nullptr))
            return nullptr;
        return module;
    }

    static int send(alarms_output_base *module, std::initializer_list<int> states)
    {
        const std::vector<int> array(states);
        return module->dataReady(array.data(), int(array.size()));
    }

    // Sends the same states cycle after cycle until the module starts a
    // write; what dataReady said then (0 when none started within 5 s).
    static int sendUntilWritten(alarms_output_base *module, std::initializer_list<int> states)
    {
        const QDeadlineTimer deadline(5000);
        int result = 0;
        while ((result = send(module, states)) == 0 && !deadline.hasExpired())
            QTest::qWait(5);
        return result;
    }

private slots:
    void initTestCase()
    {
        m_create = resolveEntryPoint<createNewOutputFunction>(FILEOUT_LIBRARY, "createNewOutput");
        QVERIFY(m_create);
    }

    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_debug = fakeDebug();
        m_log = fakeLog();
    }

    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void writesOnlyWhileTransmittingAndOnChange()
    {
        const QString file = path("alarms/outputs/states.txt");
        auto module = start("states.txt");
        QVERIFY(module);
        QVERIFY(module->getStatusOk());
        QVERIFY(!module->getTxMode());
        QCOMPARE(send(module.get(), {1, 0, -1}), 0);
        QVERIFY(!QFile::exists(file));

        QCOMPARE(module->setTxRx(), 1);
        QVERIFY(module->getTxMode());
        // Taking over publishes the states already known (the file is
        // written on the module's thread: the counter follows the writes).
        QTRY_COMPARE(module->getTxCount(), 1);
        QCOMPARE(readBytes(file), QByteArray("Zeta pump=1\nalpha=0\nMid.level=-1\n"));
        QCOMPARE(send(module.get(), {1, 0, -1}), 0);
        QCOMPARE(module->setTxRx(), 1);
        QCOMPARE(module->getTxCount(), 1);

        QCOMPARE(send(module.get(), {1, 2, -1}), 1);
        QTRY_COMPARE(module->getTxCount(), 2);
        QCOMPARE(readBytes(file), QByteArray("Zeta pump=1\nalpha=2\nMid.level=-1\n"));

        QCOMPARE(module->setRxOnly(), 0);
        QVERIFY(!module->getTxMode());
        QCOMPARE(send(module.get(), {3, 3, 3}), 0);
        QCOMPARE(readBytes(file), QByteArray("Zeta pump=1\nalpha=2\nMid.level=-1\n"));

        // Someone else may have written the file meanwhile: the first states
        // after taking over are written even when unchanged.
        QVERIFY(writeBytes(file, "twin\n"));
        QCOMPARE(module->forceTxRx(), 1);
        QTRY_COMPARE(module->getTxCount(), 3);
        QCOMPARE(readBytes(file), QByteArray("Zeta pump=3\nalpha=3\nMid.level=3\n"));
        QCOMPARE(QDir(path("alarms/outputs")).entryList(QDir::Files),
                 (QStringList{"al_out_0001.cfg", "states.txt"})); // no temporary files left
    }

    void stateCount_data()
    {
        QTest::addColumn<QList<int>>("states");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("too few: -1 for the rest") << QList<int>{7} << QByteArray("Zeta pump=7\nalpha=-1\nMid.level=-1\n");
        QTest::newRow("too many: extra ignored")
            << QList<int>{1, 2, 3, 4} << QByteArray("Zeta pump=1\nalpha=2\nMid.level=3\n");
        QTest::newRow("none") << QList<int>{} << QByteArray("Zeta pump=-1\nalpha=-1\nMid.level=-1\n");
    }

    void stateCount()
    {
        QFETCH(QList<int>, states);
        QFETCH(QByteArray, written);
        auto module = start("states.txt");
        QVERIFY(module);
        module->setTxRx();
        QCOMPARE(module->dataReady(states.isEmpty() ? nullptr : states.constData(), int(states.size())), 1);
        QTRY_COMPARE(readBytes(path("alarms/outputs/states.txt")), written);
    }

    void replacesAtomically()
    {
        const QString file = path("alarms/outputs/states.txt");
        auto module = start("states.txt");
        QVERIFY(module);
        module->setTxRx();
        QCOMPARE(send(module.get(), {1, 1, 1}), 1);
        QTRY_COMPARE(module->getTxCount(), 1);
        // A reader that has the old file open keeps reading the old file:
        // the new one is renamed over it, not written into it.
        QFile reader(file);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        QCOMPARE(send(module.get(), {2, 2, 2}), 1);
        QTRY_COMPARE(module->getTxCount(), 2);
        QCOMPARE(reader.readAll(), QByteArray("Zeta pump=1\nalpha=1\nMid.level=1\n"));
        QCOMPARE(readBytes(file), QByteArray("Zeta pump=2\nalpha=2\nMid.level=2\n"));
    }

    void statesPath_data()
    {
        QTest::addColumn<QByteArray>("configured");
        QTest::addColumn<QString>("stored"); // below the temporary folder
        QTest::newRow("beside the configuration") << QByteArray("s.txt") << "alarms/outputs/s.txt";
        QTest::newRow("parent folder, backslashes") << QByteArray("..\\..\\record\\s.txt") << "record/s.txt";
        QTest::newRow("absolute") << QByteArray("@/s.txt") << "s.txt";
    }

    void statesPath()
    {
        QFETCH(QByteArray, configured);
        QFETCH(QString, stored);
        configured.replace("@", m_dir->path().toUtf8());
        QVERIFY(QDir().mkpath(QFileInfo(path(stored)).absolutePath()));
        auto module = start(configured);
        QVERIFY(module);
        module->setTxRx();
        QCOMPARE(send(module.get(), {0, 1, 0}), 1);
        QTRY_COMPARE(readBytes(path(stored)), QByteArray("Zeta pump=0\nalpha=1\nMid.level=0\n"));
    }

    void writeFailure()
    {
        const QString folder = path("alarms/outputs/missing");
        auto module = start("missing/states.txt");
        QVERIFY(module);
        module->setTxRx();
        QCOMPARE(send(module.get(), {1, 2, 3}), 1); // started; it fails on the module's thread
        QTRY_VERIFY(!module->getStatusOk());
        // Retried at every cycle after a failure has come back, logged once.
        QCOMPARE(send(module.get(), {1, 2, 3}), -1);
        QCOMPARE(sendUntilWritten(module.get(), {1, 2, 3}), -1);
        QCOMPARE(sendUntilWritten(module.get(), {1, 2, 3}), -1);
        QTest::qWait(50);
        QCOMPARE(m_log.count("Cannot write"), 1);
        QCOMPARE(module->getTxCount(), 0);

        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(send(module.get(), {1, 2, 3}), -1); // started while the last write had failed
        QTRY_VERIFY(module->getStatusOk());
        QCOMPARE(m_log.count("again"), 1);
        QCOMPARE(module->getTxCount(), 1);

        QVERIFY(QDir(folder).removeRecursively());
        QCOMPARE(send(module.get(), {1, 2, 4}), 1);
        QTRY_VERIFY(!module->getStatusOk());
        QVERIFY(QDir().mkpath(folder));
        module->retryConnnection();
        QTRY_VERIFY(module->getStatusOk());
        QCOMPARE(readBytes(folder + "/states.txt"), QByteArray("Zeta pump=1\nalpha=2\nMid.level=4\n"));
    }

    void badConfiguration()
    {
        const QString config = writeConfig(path("al_out_0002.cfg"), "PollMs=5\n");
        std::unique_ptr<alarms_output_base> module(m_create(&m_debug, &m_log, 2, &m_ids));
        QVERIFY(!module->initialise(config, "plant", m_dir->path(), m_dir->path(), m_names, nullptr));
        QVERIFY(!module->getStatusOk());
        QCOMPARE(m_log.count("No Path"), 1);
        module->setTxRx();
        QCOMPARE(send(module.get(), {1, 1, 1}), 0);

        std::unique_ptr<alarms_output_base> orphan(m_create(&m_debug, &m_log, 2, &m_ids));
        QVERIFY(!orphan->initialise(path("none.cfg"), "plant", m_dir->path(), m_dir->path(), m_names, nullptr));
        QCOMPARE(orphan->getClassName(), QStringLiteral("fileOutModule"));
    }
};

QTEST_GUILESS_MAIN(tst_fileOutModule)
#include "tst_fileOutModule.moc"
