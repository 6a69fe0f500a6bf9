#include "AlarmAcqDebugDecorator.h"
#include "AlarmDebugTrace.h"
#include "AlarmEventAcqDebugDecorator.h"
#include "AlarmEventOutDebugDecorator.h"
#include "AlarmEventProcessDebugDecorator.h"
#include "AlarmOutDebugDecorator.h"
#include "CRuleKernel.h"
#include "interface/DebugIdManager.h"
#include "interface/IDebug.h"

#include <QTest>

#include <cstdarg>
#include <functional>

namespace {

class traceLog : public IDebug
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

    QStringList lines;
    QList<int> masks;
};

class fakeInput : public alarms_input_base
{
public:
    fakeInput(QStringList &calls, bool &deleted) : m_calls(calls), m_deleted(deleted) {}
    ~fakeInput() override { m_deleted = true; }

    int getTxCount() override { return record("getTxCount", 11); }
    int getRxCount() override { return record("getRxCount", 12); }
    bool getStatusOk() override { return record("getStatusOk", true); }
    void aboutToClose() override { record("aboutToClose", 0); }
    QDateTime getConfigFileDate() override
    {
        record("getConfigFileDate", 0);
        return QDateTime(QDate(2024, 3, 1), QTime(12, 0, 5));
    }
    QString getClassName() override { return record("getClassName", QStringLiteral("fakeInput")); }
    bool initialise(const QString &, const QString &, int, IAlarmEventAcq *) override
    {
        return record("initialise", true);
    }
    bool getData(int **data, int *length) override
    {
        *data = values;
        *length = 3;
        return record("getData", true);
    }
    void setColouring(int, bool) override { record("setColouring", 0); }
    void getProgress(int *total, int *remaining) override
    {
        *total = 10;
        *remaining = 4;
        record("getProgress", 0);
    }
    void restartPoll() override { record("restartPoll", 0); }
    void pollNow() override { record("pollNow", 0); }

    int values[3] = {0, 0, 1};

private:
    template<typename T>
    T record(const char *call, T result)
    {
        m_calls << QLatin1String(call);
        return result;
    }

    QStringList &m_calls;
    bool &m_deleted;
};

class fakeOutput : public alarms_output_base
{
public:
    fakeOutput(QStringList &calls, bool &deleted) : m_calls(calls), m_deleted(deleted) {}
    ~fakeOutput() override { m_deleted = true; }

    int getTxCount() override { return record("getTxCount", 11); }
    int getRxCount() override { return record("getRxCount", 12); }
    bool getStatusOk() override { return record("getStatusOk", false); }
    void aboutToClose() override { record("aboutToClose", 0); }
    QDateTime getConfigFileDate() override
    {
        record("getConfigFileDate", 0);
        return QDateTime(QDate(2024, 3, 1), QTime(12, 0, 5));
    }
    QString getClassName() override { return record("getClassName", QStringLiteral("fakeOutput")); }
    bool initialise(const QString &, const QString &, const QString &, const QString &, const QStringList &,
                    IAlarmEventOut *) override
    {
        return record("initialise", true);
    }
    int dataReady(const int *, int count) override { return record("dataReady", count * 2); }
    void setOverrideList(const QList<CRuleKernel *> &, QSemaphore *) override { record("setOverrideList", 0); }
    void setIntialStates(const int *, int) override { record("setIntialStates", 0); }
    int setRxOnly() override { return record("setRxOnly", 3); }
    int setTxRx() override { return record("setTxRx", 4); }
    int forceTxRx() override { return record("forceTxRx", 5); }
    bool getTxMode() override { return record("getTxMode", true); }
    void SetNetworkOutput(int) override { record("SetNetworkOutput", 0); }
    void retryConnnection() override { record("retryConnnection", 0); }

private:
    template<typename T>
    T record(const char *call, T result)
    {
        m_calls << QLatin1String(call);
        return result;
    }

    QStringList &m_calls;
    bool &m_deleted;
};

class eventTarget : public IAlarmEventAcq, public IAlarmEventOut, public IAlarmEventProcess
{
public:
    void event(int value) override { received << QString::number(value); }
    void event(const QString &text) override { received << text; }

    QStringList received;
};

const int states[2] = {1, 0};

using outputCall = std::function<QVariant(alarms_output_base &)>;

QString hexAddress(const void *pointer)
{
    return QString::number(reinterpret_cast<quintptr>(pointer), 16);
}

} // namespace

Q_DECLARE_METATYPE(outputCall)

class tst_debugDecorators : public QObject
{
    Q_OBJECT

private slots:
    void describeValues_data()
    {
        QTest::addColumn<QList<int>>("values");
        QTest::addColumn<int>("firstIndex");
        QTest::addColumn<QString>("description");
        QTest::newRow("none") << QList<int>{} << 1 << "(0)";
        QTest::newRow("one") << QList<int>{5} << 1 << "(1)1:5,";
        QTest::newRow("one run") << QList<int>{5, 5, 5} << 1 << "(3)1-3:5,";
        QTest::newRow("mixed from 1") << QList<int>{1, 2, 2, 3} << 1 << "(4)1:1,2-3:2,4:3,";
        QTest::newRow("mixed from 0") << QList<int>{1, 2, 2, 3} << 0 << "(4)0:1,1-2:2,3:3,";
        QTest::newRow("negative") << QList<int>{-1, -1, 0} << 0 << "(3)0-1:-1,2:0,";
        QTest::newRow("run at the end") << QList<int>{7, 8, 8} << 1 << "(3)1:7,2-3:8,";
    }

    void describeValues()
    {
        QFETCH(QList<int>, values);
        QFETCH(int, firstIndex);
        QFETCH(QString, description);
        QCOMPARE(AlarmDebugTrace::describeValues(std::vector<int>(values.begin(), values.end()), firstIndex),
                 description);
    }

    void lengthLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("reported");
        QTest::newRow("empty") << 0 << false;
        QTest::newRow("at the limit") << 13000 << false;
        QTest::newRow("one over") << 13001 << true;
        QTest::newRow("far over") << 20000 << true;
    }

    void lengthLimit()
    {
        QFETCH(int, length);
        QFETCH(bool, reported);
        traceLog log;
        const AlarmDebugTrace trace("X9", &log, nullptr);
        const QString text(length, QLatin1Char('a'));
        trace.write(4, text);
        QStringList expected;
        if (reported)
            expected << QStringLiteral("Driver--:(-1) *** Assert fail *** String length %1 exceeds 13000").arg(length);
        expected << "DriverX9:(4) " + text.left(13000);
        QCOMPARE(log.lines, expected);
        QCOMPARE(log.masks, QList<int>(expected.size(), 0));
    }

    // Inputs trace getData only and forward everything.
    void inputModule()
    {
        QStringList calls;
        bool deleted = false;
        traceLog log;
        DebugIdManager ids;
        auto owned = std::make_unique<fakeInput>(calls, deleted);
        fakeInput *module = owned.get();
        {
            AlarmAcqDebugDecorator decorator(std::move(owned), 3, &log, &ids);
            QCOMPARE(decorator.wrapped(), module);
            QCOMPARE(decorator.getTxCount(), 11);
            QCOMPARE(decorator.getRxCount(), 12);
            QVERIFY(decorator.getStatusOk());
            decorator.aboutToClose();
            QCOMPARE(decorator.getConfigFileDate(), QDateTime(QDate(2024, 3, 1), QTime(12, 0, 5)));
            QCOMPARE(decorator.getClassName(), QStringLiteral("fakeInput"));
            QVERIFY(decorator.initialise("f", "c", 1, nullptr));
            decorator.setColouring(1, true);
            int total = 0;
            int remaining = 0;
            decorator.getProgress(&total, &remaining);
            QCOMPARE(total, 10);
            QCOMPARE(remaining, 4);
            decorator.restartPoll();
            decorator.pollNow();
            QVERIFY(log.lines.isEmpty());

            int *data = nullptr;
            int length = 0;
            QVERIFY(decorator.getData(&data, &length));
            QCOMPARE(data, module->values);
            QCOMPARE(length, 3);
            QCOMPARE(log.lines, (QStringList{"DriverA3:(1) getData.",
                                             "DriverA3:(1) getData ends. data " + hexAddress(module->values) +
                                                 ", length 3"}));
            QCOMPARE(calls, (QStringList{"getTxCount", "getRxCount", "getStatusOk", "aboutToClose",
                                         "getConfigFileDate", "getClassName", "initialise", "setColouring",
                                         "getProgress", "restartPoll", "pollNow", "getData"}));
            QVERIFY(!deleted);
        }
        QVERIFY(deleted);
    }

    void outputModule_data()
    {
        QTest::addColumn<outputCall>("call");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<QStringList>("lines");
        const QString data = hexAddress(states);
        const auto row = [](const char *name, outputCall call, QVariant result, QStringList lines) {
            for (QString &line : lines)
                line.prepend("DriverO5:(1) ");
            QTest::newRow(name) << call << result << lines;
        };
        row("getTxCount", [](alarms_output_base &m) { return QVariant(m.getTxCount()); }, 11,
            {"getTxCount.", "getTxCount ends. return 11"});
        row("getRxCount", [](alarms_output_base &m) { return QVariant(m.getRxCount()); }, 12,
            {"getRxCount.", "getRxCount ends. return 12"});
        row("getStatusOk", [](alarms_output_base &m) { return QVariant(m.getStatusOk()); }, false,
            {"getStatusOk.", "getStatusOk ends. return 0"});
        row("aboutToClose", [](alarms_output_base &m) { m.aboutToClose(); return QVariant(); }, QVariant(),
            {"aboutToClose.", "aboutToClose ends."});
        row("getConfigFileDate", [](alarms_output_base &m) { return QVariant(m.getConfigFileDate()); },
            QDateTime(QDate(2024, 3, 1), QTime(12, 0, 5)),
            {"getConfigFileDate.", "getConfigFileDate ends. return Fri Mar 1 12:00:05 2024."});
        row("getClassName", [](alarms_output_base &m) { return QVariant(m.getClassName()); }, "fakeOutput",
            {"getClassName.", "getClassName ends. fakeOutput."});
        row("dataReady", [](alarms_output_base &m) { return QVariant(m.dataReady(states, 2)); }, 4,
            {"dataReady. data " + data + ", length 2",
             "dataReady ends. ready 4. data " + data + ", length 2. return 4"});
        row("setOverrideList",
            [](alarms_output_base &m) { m.setOverrideList({nullptr, nullptr, nullptr}, nullptr); return QVariant(); },
            QVariant(), {"setOverrideList. size 3", "setOverrideList ends. size 3"});
        row("setIntialStates", [](alarms_output_base &m) { m.setIntialStates(states, 2); return QVariant(); },
            QVariant(),
            {"setIntialStates. data " + data + ", length 2", "setIntialStates ends. data " + data + ", length 2"});
        row("setRxOnly", [](alarms_output_base &m) { return QVariant(m.setRxOnly()); }, 3,
            {"setRxOnly.", "setRxOnly ends. return 3"});
        row("setTxRx", [](alarms_output_base &m) { return QVariant(m.setTxRx()); }, 4,
            {"setTxRx.", "setTxRx ends. return 4"});
        row("forceTxRx", [](alarms_output_base &m) { return QVariant(m.forceTxRx()); }, 5,
            {"forceTxRx.", "forceTxRx ends. return 5"});
        row("getTxMode", [](alarms_output_base &m) { return QVariant(m.getTxMode()); }, true,
            {"getTxMode.", "getTxMode ends. return 1"});
        row("SetNetworkOutput", [](alarms_output_base &m) { m.SetNetworkOutput(1); return QVariant(); }, QVariant(),
            {"SetNetworkOutput. 1.", "SetNetworkOutput ends. 1."});
        row("retryConnnection", [](alarms_output_base &m) { m.retryConnnection(); return QVariant(); }, QVariant(),
            {"retryConnnection.", "retryConnnection ends."});
        row("initialise", [](alarms_output_base &m) { return QVariant(m.initialise("f", "s", "y", "c", {}, nullptr)); },
            true, {});
    }

    void outputModule()
    {
        QFETCH(outputCall, call);
        QFETCH(QVariant, result);
        QFETCH(QStringList, lines);
        QStringList calls;
        bool deleted = false;
        traceLog log;
        DebugIdManager ids;
        {
            AlarmOutDebugDecorator decorator(std::make_unique<fakeOutput>(calls, deleted), 5, &log, &ids);
            QCOMPARE(call(decorator), result);
            QCOMPARE(calls, QStringList{QTest::currentDataTag()});
            QCOMPARE(log.lines, lines);
            QCOMPARE(log.masks, QList<int>(lines.size(), 0));
        }
        QVERIFY(deleted);
    }

    // One counter for every decorator; silent calls take no number.
    void numbering()
    {
        QStringList calls;
        bool deleted = false;
        traceLog log;
        DebugIdManager ids;
        AlarmAcqDebugDecorator input(std::make_unique<fakeInput>(calls, deleted), 1, &log, &ids);
        AlarmOutDebugDecorator output(std::make_unique<fakeOutput>(calls, deleted), 2, &log, &ids);
        eventTarget target;
        AlarmEventAcqDebugDecorator event(&target, 1, &log, &ids, {});
        int *data = nullptr;
        int length = 0;
        input.getData(&data, &length);
        input.getStatusOk();
        output.getTxMode();
        event.event(9);
        output.initialise("f", "s", "y", "c", {}, nullptr);
        output.setTxRx();
        QStringList numbers;
        for (const QString &line : std::as_const(log.lines))
            numbers << line.section(' ', 0, 0);
        QCOMPARE(numbers, (QStringList{"DriverA1:(1)", "DriverA1:(1)", "DriverO2:(2)", "DriverO2:(2)",
                                       "DriverE1:(3)", "DriverO2:(4)", "DriverO2:(4)"}));
        QCOMPARE(ids.nextId(), 5);
    }

    void inputEvents()
    {
        traceLog log;
        DebugIdManager ids;
        eventTarget target;
        QList<int> asked;
        AlarmEventAcqDebugDecorator decorator(&target, 12, &log, &ids, [&asked](int instance) {
            asked << instance;
            return std::vector<int>{0, 0, 1, 0};
        });
        decorator.event(-3);
        AlarmEventAcqDebugDecorator withoutValues(&target, 4, &log, &ids, {});
        withoutValues.event(8);
        QCOMPARE(log.lines, (QStringList{"DriverE12:(1) moduleChangeEventInput. 12/-3 [17](4)1-2:0,3:1,4:0,",
                                         "DriverE4:(2) moduleChangeEventInput. 4/8 [3](0)"}));
        QCOMPARE(asked, QList<int>{12});
        QCOMPARE(target.received, (QStringList{"-3", "8"}));
    }

    void outputAndProcessEvents()
    {
        traceLog log;
        DebugIdManager ids;
        eventTarget target;
        const auto source = [] { return std::vector<int>{2, 2, 2, -1}; };
        AlarmEventOutDebugDecorator output(&target, 7, &log, &ids, source);
        AlarmEventProcessDebugDecorator process(&target, &log, &ids, source);
        output.event("link %2 up");
        process.event(QString());
        QCOMPARE(log.lines, (QStringList{"DriverE7:(1) moduleChangeEventOutput. link %2 up [14](4)0-2:2,3:-1,",
                                         "DriverP0:(2) moduleChangeEventOutput.  [14](4)0-2:2,3:-1,"}));
        QCOMPARE(target.received, (QStringList{"link %2 up", QString()}));
    }

    void currentStates()
    {
        CRuleKernel first(1, "first", false);
        CRuleKernel second(2, "second", false);
        first.setInitialState(1);
        second.setInitialState(0);
        QCOMPARE(AlarmEventOutDebugDecorator::currentStates({&first, &second, nullptr}), (std::vector<int>{1, 0, -1}));
    }
};

QTEST_GUILESS_MAIN(tst_debugDecorators)
#include "tst_debugDecorators.moc"
