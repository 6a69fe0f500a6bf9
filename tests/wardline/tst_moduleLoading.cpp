#include "AlarmAcqDebugDecorator.h"
#include "AlarmOutDebugDecorator.h"
#include "LoadDirectoryInputs.h"
#include "LoadDirectoryOutputs.h"
#include "interface/DebugIdManager.h"
#include "interface/IDebug.h"
#include "moduleListObserver.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdarg>
#include <thread>

namespace {

// The engine side as the module host sees it: trace lines, events, rows.
class engineRecorder : public IDebug,
                       public IAlarmEventAcqFull,
                       public IAlarmEventOutFull,
                       public moduleListObserver
{
public:
    void debug(int mask, const QString &prefix, const QString &text) override
    {
        lines << prefix + text;
        masks << mask;
    }
    void debugf(int mask, const char *prefix, const char *format, ...) override
    {
        va_list args;
        va_start(args, format);
        debug(mask, QString::fromLatin1(prefix), QString::vasprintf(format, args));
        va_end(args);
    }
    void event(int instance, int value) override
    {
        acqEvents << QString::number(instance) + '/' + QString::number(value);
    }
    void event(int instance, const QString &text) override { outEvents << QString::number(instance) + '/' + text; }
    void addRow(int type, const QString &module, const QString &instance, const QString &name,
                const QString &fileName, int loadState) override
    {
        rows << QStringList{QString::number(type), module, instance, name, fileName, QString::number(loadState)};
    }
    void setHealth(const QString &, int) override {}
    void setLoadState(const QString &, int) override {}
    void showMessage(const QString &line) override { shown << line; }

    void clearLines()
    {
        lines.clear();
        masks.clear();
    }
    int maskOf(const QString &line) const
    {
        const qsizetype at = lines.indexOf(line);
        return at < 0 ? -1 : masks.at(at);
    }
    QStringList linesStartingWith(const QString &start) const
    {
        QStringList found;
        for (const QString &line : lines)
            if (line.startsWith(start))
                found << line;
        return found;
    }

    QStringList lines;
    QList<int> masks;
    QStringList acqEvents;
    QStringList outEvents;
    QList<QStringList> rows;
    QStringList shown;
};

// An installation: alarm folder with its module folders, library folder with
// the test modules under the names the configuration files use.
class installation
{
public:
    installation()
    {
        QDir().mkpath(alarmFolder() + "/inputs");
        QDir().mkpath(alarmFolder() + "/outputs");
        QDir().mkpath(moduleFolder());
        addLibrary("alarmx", TEST_MODULE_BOTH);
        addLibrary("alarmxdb", TEST_MODULE_BOTH);
        addLibrary("noentry", TEST_MODULE_NONE);
        QFile garbage(moduleFolder() + "/libgarbage.so");
        if (garbage.open(QIODevice::WriteOnly))
            garbage.write("not a library\n");
    }

    QString alarmFolder() const { return m_root.path() + "/alarms/north"; }
    QString libraryFolder() const { return m_root.path() + "/lib"; }
    QString moduleFolder() const { return libraryFolder() + "/windows/lib/alarms"; }

    void addConfig(const QString &folder, const QString &fileName, const QString &module,
                   const QString &name = QString())
    {
        QFile file(alarmFolder() + '/' + folder + '/' + fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[System]\r\nModule=%1\r\nName=%2\r\n").arg(module, name).toUtf8());
    }
    void addLibrary(const QString &name, const QString &source)
    {
        QVERIFY(QFile::copy(source, moduleFolder() + "/lib" + name + ".so"));
    }

    // Where the modules installed with the programs would be.
    QString installedFolder() const { return m_root.path() + "/installed"; }
    void addInstalled(const QString &name, const QString &source)
    {
        QDir().mkpath(installedFolder());
        QVERIFY(QFile::copy(source, installedFolder() + "/lib" + name + ".so"));
    }

    LoadDirectory::Settings settings(engineRecorder &engine, int logFlags = 0, bool dbLib = false) const
    {
        LoadDirectory::Settings result;
        result.alarmFolder = alarmFolder();
        result.libraryFolder = libraryFolder();
        result.dbLib = dbLib;
        result.logFlags = logFlags;
        result.debug = &engine;
        result.ids = &m_ids;
        result.observer = &engine;
        return result;
    }

private:
    QTemporaryDir m_root;
    mutable DebugIdManager m_ids;
};

QString hexAddress(const void *pointer)
{
    return QString::number(reinterpret_cast<quintptr>(pointer), 16);
}

} // namespace

class tst_moduleLoading : public QObject
{
    Q_OBJECT

private slots:
    void instanceOf_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<int>("instance");
        QTest::newRow("upper case") << "AL_ACQ_0003.CFG" << "al_acq_" << 3;
        QTest::newRow("output") << "al_out_0120.cfg" << "al_out_" << 120;
        QTest::newRow("largest") << "al_acq_9999.cfg" << "al_acq_" << 9999;
        QTest::newRow("zero") << "al_acq_0000.cfg" << "al_acq_" << 0;
        QTest::newRow("any character before cfg") << "al_acq_0001_cfg" << "al_acq_" << 1;
        QTest::newRow("two digits") << "al_acq_03.cfg" << "al_acq_" << -1;
        QTest::newRow("five digits") << "al_acq_00003.cfg" << "al_acq_" << -1;
        QTest::newRow("backup") << "al_acq_0003.cfg.bak" << "al_acq_" << -1;
        QTest::newRow("trailing line feed") << "al_acq_0003.cfg\n" << "al_acq_" << -1;
        QTest::newRow("leading text") << "xal_acq_0003.cfg" << "al_acq_" << -1;
        QTest::newRow("other kind") << "al_out_0003.cfg" << "al_acq_" << -1;
        QTest::newRow("non-ASCII digits")
            << QString::fromUtf8("al_acq_\u0661\u0662\u0663\u0664.cfg") << "al_acq_" << -1;
        QTest::newRow("empty") << "" << "al_acq_" << -1;
    }

    void instanceOf()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, prefix);
        QFETCH(int, instance);
        QCOMPARE(LoadDirectory::instanceOf(fileName, prefix), instance);
    }

    void libraryName_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<bool>("dbLib");
        QTest::addColumn<QString>("library");
        QTest::newRow("appended") << "alarmx" << true << "alarmxdb";
        QTest::newRow("three letters") << "abc" << true << "abcdb";
        QTest::newRow("ends in DB") << "alarmxDB" << true << "alarmxDB";
        QTest::newRow("ends in Db") << "alarmxDb" << true << "alarmxDb";
        QTest::newRow("two letters") << "ab" << true << "ab";
        QTest::newRow("empty") << "" << true << "";
        QTest::newRow("without the qualifier") << "alarmx" << false << "alarmx";
    }

    void libraryName()
    {
        QFETCH(QString, module);
        QFETCH(bool, dbLib);
        QFETCH(QString, library);
        QCOMPARE(LoadDirectory::libraryName(module, dbLib), library);
    }

    // Matching files become records in listing order, the rest is passed over;
    // the module objects get the record and the engine's interfaces.
    void loadsInputs()
    {
        installation site;
        site.addConfig("inputs", "AL_ACQ_0003.CFG", "alarmx", "Third");
        site.addConfig("inputs", "al_acq_0001.cfg", "alarmx", "First");
        site.addConfig("inputs", "al_acq_03.cfg", "alarmx");
        site.addConfig("inputs", "al_acq_0003.cfg.bak", "alarmx");
        QVERIFY(QDir().mkpath(site.alarmFolder() + "/inputs/al_acq_0009.cfg"));
        engineRecorder engine;
        auto inputs = std::make_unique<LoadDirectoryInputs>(site.settings(engine), &engine);
        QVERIFY(inputs->load());

        QCOMPARE(engine.rows, (QList<QStringList>{{"0", "alarmx", "0001", "First", "al_acq_0001.cfg", "0"},
                                                  {"0", "alarmx", "0003", "Third", "AL_ACQ_0003.CFG", "0"}}));
        QStringList keys;
        for (const auto &[fileName, record] : inputs->records())
            keys << fileName;
        QCOMPARE(keys, (QStringList{"al_acq_0001.cfg", "AL_ACQ_0003.CFG"}));
        AcqConfig *third = inputs->find("AL_ACQ_0003.CFG");
        QVERIFY(third);
        QVERIFY(!inputs->find("al_acq_0003.cfg"));
        QCOMPARE(third->instance(), 3);
        QCOMPARE(third->filePath(), site.alarmFolder() + "/inputs/AL_ACQ_0003.CFG");
        QCOMPARE(third->eventSink(), static_cast<IAlarmEventAcq *>(third));
        QCOMPARE(engine.linesStartingWith("Load Directory Inputs took: ").size(), 1);
        QVERIFY(!inputs->acquisitionStartupOk());

        engine.clearLines();
        QVERIFY(third->createModule(0, site.settings(engine).ids));
        QVERIFY(third->module());
        QVERIFY(!dynamic_cast<AlarmAcqDebugDecorator *>(third->module()));
        const QStringList loaded = engine.linesStartingWith("Loaded 'createNewInput' at ");
        QCOMPARE(loaded.size(), 1);
        QVERIFY(loaded.first() != "Loaded 'createNewInput' at 0");
        QVERIFY(engine.lines.contains("test:createNewInput flags 0 ids set"));
        QVERIFY(third->module()->initialise(third->filePath(), "/cfg", 2, third->eventSink()));
        QCOMPARE(engine.acqEvents, QStringList{"3/7"});
        const QStringList log = third->takeLog();
        QCOMPARE(log.size(), 2);
        QVERIFY(log.at(0).endsWith(" createNewInput flags 0 ids set"));
        QVERIFY(log.at(1).endsWith(" initialise " + third->filePath() + " /cfg 2"));

        QVERIFY(inputs->find("al_acq_0001.cfg")->createModule(0, nullptr));
        QVERIFY(inputs->acquisitionStartupOk());

        const QString first = hexAddress(static_cast<AlmConfig *>(inputs->find("al_acq_0001.cfg")));
        const QString second = hexAddress(static_cast<AlmConfig *>(third));
        engine.clearLines();
        inputs.reset();
        QCOMPARE(engine.lines,
                 (QStringList{"AlmConfig destructor " + first, "AlmConfig destructor " + second}));
    }

    void loadsOutputs()
    {
        installation site;
        site.addConfig("outputs", "al_out_0002.cfg", "alarmx", "Panel");
        engineRecorder engine;
        LoadDirectoryOutputs outputs(site.settings(engine), &engine);
        QVERIFY(outputs.load());
        QCOMPARE(engine.rows, (QList<QStringList>{{"1", "alarmx", "0002", "Panel", "al_out_0002.cfg", "0"}}));
        OutConfig *record = outputs.find("al_out_0002.cfg");
        QVERIFY(record);
        QVERIFY(record->createModule(5, nullptr));
        QVERIFY(engine.lines.contains("test:createNewOutput flags 5 ids none"));
        QVERIFY(record->module()->initialise(record->filePath(), "north", "/sys", "/cfg", {"p1", "p2"},
                                             record->eventSink()));
        QCOMPARE(engine.outEvents, QStringList{"2/init"});
        QVERIFY(record->takeLog().last().endsWith(" initialise " + record->filePath() + " north p1,p2"));
    }

    void databaseVariant()
    {
        installation site;
        site.addConfig("inputs", "al_acq_0001.cfg", "alarmx");
        engineRecorder engine;
        LoadDirectoryInputs inputs(site.settings(engine, 0, true), &engine);
        QVERIFY(inputs.load());
        QCOMPARE(engine.rows.first().at(1), QStringLiteral("alarmxdb"));
        AcqConfig *record = inputs.find("al_acq_0001.cfg");
        QCOMPARE(record->library()->fileName(), site.moduleFolder() + "/libalarmxdb.so");
        QVERIFY(record->createModule(0, nullptr));
    }

    // Failed libraries are reported, the records stay (so do their rows), and
    // no module object is made.
    void failures_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("module");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QString>("entryPoint");
        QTest::newRow("missing library") << "inputs" << "nosuch" << false << "createNewInput";
        QTest::newRow("not a library") << "inputs" << "garbage" << false << "createNewInput";
        QTest::newRow("empty module name") << "inputs" << "" << false << "createNewInput";
        QTest::newRow("no input entry point") << "inputs" << "noentry" << true << "createNewInput";
        QTest::newRow("no output entry point") << "outputs" << "noentry" << true << "createNewOutput";
        QTest::newRow("missing output library") << "outputs" << "nosuch" << false << "createNewOutput";
        // The library exists there, but a name may not reach outside the module folders.
        QTest::newRow("path in the name") << "inputs" << "../alarms/alarmx" << false << "createNewInput";
        QTest::newRow("Windows path in the name") << "outputs" << "..\\alarms\\alarmx" << false << "createNewOutput";
    }

    void failures()
    {
        QFETCH(QString, folder);
        QFETCH(QString, module);
        QFETCH(bool, loads);
        QFETCH(QString, entryPoint);
        installation site;
        const QString fileName = folder == "inputs" ? "al_acq_0004.cfg" : "al_out_0004.cfg";
        site.addConfig(folder, fileName, module);
        engineRecorder engine;
        std::unique_ptr<LoadDirectory> loader;
        AlmConfig *record = nullptr;
        const auto create = [&] {
            if (auto *inputs = dynamic_cast<LoadDirectoryInputs *>(loader.get())) {
                const bool made = inputs->find(fileName)->createModule(0, nullptr);
                return made || inputs->find(fileName)->module();
            }
            auto *outputs = static_cast<LoadDirectoryOutputs *>(loader.get());
            const bool made = outputs->find(fileName)->createModule(0, nullptr);
            return made || outputs->find(fileName)->module();
        };
        if (folder == "inputs") {
            auto inputs = std::make_unique<LoadDirectoryInputs>(site.settings(engine), &engine);
            QCOMPARE(inputs->load(), loads);
            record = inputs->find(fileName);
            loader = std::move(inputs);
        } else {
            auto outputs = std::make_unique<LoadDirectoryOutputs>(site.settings(engine), &engine);
            QCOMPARE(outputs->load(), loads);
            record = outputs->find(fileName);
            loader = std::move(outputs);
        }
        QVERIFY(record);
        QCOMPARE(engine.rows.size(), 1);
        const QString unable = QStringLiteral("Unable to load %1 '%2' from /windows/lib/alarms/ in '%3'")
                                   .arg(folder, module, site.libraryFolder());
        QCOMPARE(engine.lines.contains(unable), !loads);
        // The loader's reason reaches the record's message log.
        QCOMPARE(record->takeLog().size(), loads ? 0 : 1);

        engine.clearLines();
        QVERIFY(!create());
        QStringList expected;
        if (!loads)
            expected << "Unable to load input/output library !";
        expected << "Loaded '" + entryPoint + "' at 0";
        QString notFound = entryPoint + " NOT FOUND";
        notFound[0] = 'C';
        expected << notFound;
        QCOMPARE(engine.lines, expected);
        QCOMPARE(engine.maskOf(notFound), 0);
    }

    // A module the tree does not hold is looked for among the installed
    // ones; the tree's own comes first.
    void installedModules_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<bool>("fromInstalled");
        QTest::newRow("tree only") << "alarmx" << false << true << false;
        QTest::newRow("tree first") << "alarmx" << true << true << false;
        QTest::newRow("installed only") << "shipped" << true << true << true;
        QTest::newRow("tree's is no library") << "garbage" << true << true << true;
        QTest::newRow("nowhere") << "shipped" << false << false << false;
    }

    void installedModules()
    {
        QFETCH(QString, module);
        QFETCH(bool, installed);
        QFETCH(bool, loads);
        QFETCH(bool, fromInstalled);
        installation site;
        site.addConfig("inputs", "al_acq_0001.cfg", module);
        if (installed)
            site.addInstalled(module, TEST_MODULE_BOTH);
        engineRecorder engine;
        LoadDirectory::Settings settings = site.settings(engine);
        settings.installedModules = site.installedFolder();
        LoadDirectoryInputs inputs(settings, &engine);
        QCOMPARE(inputs.load(), loads);
        const QString from = QStringLiteral("Loaded inputs '%1' from '%2'").arg(module, site.installedFolder());
        QCOMPARE(engine.lines.contains(from), fromInstalled);
        QVERIFY(inputs.find("al_acq_0001.cfg"));
        QCOMPARE(inputs.find("al_acq_0001.cfg")->takeLog().isEmpty(), loads);
        if (loads)
            QVERIFY(inputs.find("al_acq_0001.cfg")->createModule(0, nullptr));
    }

    void missingFolders()
    {
        installation site;
        QVERIFY(QDir(site.alarmFolder() + "/inputs").removeRecursively());
        site.addConfig("outputs", "al_out_0001.cfg", "alarmx");
        engineRecorder engine;
        LoadDirectoryInputs inputs(site.settings(engine), &engine);
        LoadDirectoryOutputs outputs(site.settings(engine), &engine);
        QVERIFY(!LoadDirectory::loadAll(inputs, outputs));
        QCOMPARE(engine.shown,
                 QStringList{"ERROR: Cannot find inputs config directory '" + site.alarmFolder() + "/inputs'"});
        QVERIFY(engine.lines.contains("No alarms inputs directory"));
        QCOMPARE(engine.linesStartingWith("Load Directory Inputs took: ").size(), 1);
        QCOMPARE(engine.linesStartingWith("Load Directory Outputs took: ").size(), 1);
        QVERIFY(inputs.records().empty());
        QCOMPARE(outputs.records().size(), std::size_t(1));

        // Without the alarm folder nothing is read.
        engineRecorder again;
        LoadDirectory::Settings settings = site.settings(again);
        settings.alarmFolder += "/missing";
        LoadDirectoryInputs noInputs(settings, &again);
        LoadDirectoryOutputs noOutputs(settings, &again);
        QVERIFY(!LoadDirectory::loadAll(noInputs, noOutputs));
        const QString line = "Can't find config folder '" + settings.alarmFolder + "'";
        QCOMPARE(again.lines, QStringList{line});
        QCOMPARE(again.maskOf(line), 0);
        QVERIFY(again.rows.isEmpty());
    }

    void emptyInputFolder()
    {
        installation site;
        site.addConfig("inputs", "readme.txt", "alarmx");
        engineRecorder engine;
        LoadDirectoryInputs inputs(site.settings(engine), &engine);
        LoadDirectoryOutputs outputs(site.settings(engine), &engine);
        QVERIFY(LoadDirectory::loadAll(inputs, outputs));
        QVERIFY(inputs.records().empty());
        QVERIFY(inputs.acquisitionStartupOk());
    }

    // With log flag 0x80 the module and its event sink are traced.
    void tracing()
    {
        installation site;
        site.addConfig("inputs", "al_acq_0003.cfg", "alarmx");
        site.addConfig("outputs", "al_out_0002.cfg", "alarmx");
        engineRecorder engine;
        LoadDirectoryInputs inputs(site.settings(engine, 0x80), &engine, [](int instance) {
            return instance == 3 ? std::vector<int>{4, 4} : std::vector<int>{};
        });
        LoadDirectoryOutputs outputs(site.settings(engine, 0x80), &engine, [] { return std::vector<int>{1}; });
        QVERIFY(LoadDirectory::loadAll(inputs, outputs));
        AcqConfig *input = inputs.find("al_acq_0003.cfg");
        OutConfig *output = outputs.find("al_out_0002.cfg");
        QVERIFY(input->eventSink() != static_cast<IAlarmEventAcq *>(input));
        QVERIFY(input->createModule(0x80, site.settings(engine).ids));
        QVERIFY(output->createModule(0x80, site.settings(engine).ids));
        QVERIFY(dynamic_cast<AlarmAcqDebugDecorator *>(input->module()));
        QVERIFY(dynamic_cast<AlarmOutDebugDecorator *>(output->module()));

        engine.clearLines();
        QVERIFY(input->module()->initialise(input->filePath(), "/cfg", 0, input->eventSink()));
        QVERIFY(output->module()->initialise(output->filePath(), "north", "/sys", "/cfg", {}, output->eventSink()));
        QCOMPARE(engine.lines, (QStringList{"DriverE3:(1) moduleChangeEventInput. 3/7 [9](2)1-2:4,",
                                            "DriverE2:(2) moduleChangeEventOutput. init [7](1)0:1,"}));
        QCOMPARE(engine.acqEvents, QStringList{"3/7"});
        QCOMPARE(engine.outEvents, QStringList{"2/init"});
    }

    void messageLogLimit()
    {
        AlmConfig record("al_acq_0001.cfg", "/a/inputs/al_acq_0001.cfg", 1, "m", "n", nullptr, nullptr);
        QVERIFY(!record.logChanged());
        for (int i = 0; i < AlmConfig::MaxLogLines + 5; ++i)
            record.appendLog(QStringLiteral("line %1").arg(i));
        QVERIFY(record.logChanged());
        const QStringList log = record.takeLog();
        QVERIFY(!record.logChanged());
        QCOMPARE(log.size(), AlmConfig::MaxLogLines);
        static const QRegularExpression stamped(
            QStringLiteral("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d line 5$"));
        QVERIFY2(stamped.match(log.first()).hasMatch(), qPrintable(log.first()));
        QVERIFY(log.last().endsWith(" line 1004"));
        record.appendLog("again");
        QVERIFY(record.logChanged());
        QCOMPARE(record.takeLog().size(), AlmConfig::MaxLogLines);
    }

    // Modules write from threads of their own.
    void messageLogFromThreads()
    {
        AlmConfig record("al_acq_0001.cfg", "/a/inputs/al_acq_0001.cfg", 1, "m", "n", nullptr, nullptr);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([&record, t] {
                for (int i = 0; i < 600; ++i)
                    record.appendLog(QStringLiteral("%1/%2").arg(t).arg(i));
            });
        for (int i = 0; i < 200; ++i)
            QVERIFY(record.takeLog().size() <= AlmConfig::MaxLogLines);
        for (std::thread &writer : writers)
            writer.join();
        QCOMPARE(record.takeLog().size(), AlmConfig::MaxLogLines);
    }
};

QTEST_GUILESS_MAIN(tst_moduleLoading)
#include "tst_moduleLoading.moc"
