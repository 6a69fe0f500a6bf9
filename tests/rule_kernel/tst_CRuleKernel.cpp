#include "CRuleKernel.h"

#include <QDateTime>
#include <QTest>

#include <map>
#include <memory>
#include <vector>

namespace {

int64_t fakeNow = 0;

// The engine's use of the evaluators, in miniature: processes from
// "[name]" sections, and cycles that reset the arrays, set up every process,
// feed the inputs and run passes of CalcNow until all are done (at most 200).
class engine
{
public:
    explicit engine(const QString &config)
    {
        QString name;
        QByteArray body;
        const auto flush = [&] {
            if (name.isNull())
                return;
            auto kernel = std::make_unique<CRuleKernel>(int(kernels.size()), name.toUtf8().constData(), false);
            body += '\0';
            loaded.push_back(kernel->LoadSettings(body.data(), static_cast<unsigned long>(body.size())));
            kernels.push_back(std::move(kernel));
            body.clear();
        };
        for (const QString &raw : config.split(QLatin1Char('\n'))) {
            const QString line = raw.trimmed();
            if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
                flush();
                name = line.mid(1, line.size() - 2);
            } else {
                body += line.toUtf8() + '\0';
            }
        }
        flush();
        const size_t n = kernels.size();
        states.assign(n, -1);
        done.assign(n, 0);
        errors.assign(n, -1);
    }

    void cycle()
    {
        const int n = int(kernels.size());
        std::fill(states.begin(), states.end(), -1);
        std::fill(done.begin(), done.end(), 0);
        std::fill(errors.begin(), errors.end(), -1);
        for (auto &kernel : kernels) {
            kernel->InitProc(states.data(), done.data(), errors.data(), n);
            int block = 0;
            int index = 0;
            if (kernel->getAcqSettings(block, index) && block && index) {
                const auto values = blocks.find(block);
                const bool known = values != blocks.end() && index <= int(values->second.size());
                kernel->SetInputState(known ? values->second[size_t(index - 1)] : -1);
            }
        }
        extraPasses = 200;
        for (int pass = 0; pass < 200; ++pass) {
            for (int i = 0; i < n; ++i) {
                if (!done[size_t(i)])
                    kernels[size_t(i)]->CalcNow();
            }
            if (std::all_of(done.begin(), done.end(), [](int d) { return d != 0; })) {
                extraPasses = pass;
                break;
            }
        }
    }

    int state(const char *name) const { return states[size_t(at(name))]; }
    int error(const char *name) const { return errors[size_t(at(name))]; }
    CRuleKernel &kernel(const char *name) { return *kernels[size_t(at(name))]; }
    int at(const char *name) const
    {
        for (size_t i = 0; i < kernels.size(); ++i)
            if (qstrcmp(kernels[i]->ProcName(), name) == 0)
                return int(i);
        return -1;
    }

    std::vector<std::unique_ptr<CRuleKernel>> kernels;
    std::vector<bool> loaded;
    std::vector<int> states;
    std::vector<int> done;
    std::vector<int> errors;
    std::map<int, std::vector<int>> blocks;
    int extraPasses = 0;
};

// Monday 2026-12-07 08:30 local time.
const QDateTime monday(QDate(2026, 12, 7), QTime(8, 30));

void setTime(const QDateTime &when)
{
    fakeNow = when.toMSecsSinceEpoch();
}

} // namespace

class tst_CRuleKernel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        CRuleKernel::setTimeSource([] { return fakeNow; });
    }

    void init()
    {
        setTime(monday);
        CRuleKernel::SetGreeningRequired(false);
    }

    void inputConditions_data()
    {
        QTest::addColumn<QString>("alarm");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("state");
        QTest::newRow("default: not 0") << "" << 0 << 0;
        QTest::newRow("default: 3") << "" << 3 << 1;
        QTest::newRow("equal") << "Alarm=2" << 2 << 1;
        QTest::newRow("equal, other") << "Alarm== 2" << 1 << 0;
        QTest::newRow("not equal") << "Alarm=<> 1" << 0 << 1;
        QTest::newRow("at or above, at") << "Alarm=>= 80" << 80 << 1;
        QTest::newRow("at or above, below") << "Alarm=>=80" << 79 << 0;
        QTest::newRow("at or below") << "Alarm=<= -5" << -5 << 1;
        QTest::newRow("above") << "Alarm=> 10" << 10 << 0;
        QTest::newRow("below") << "Alarm=< 10" << 9 << 1;
    }

    void inputConditions()
    {
        QFETCH(QString, alarm);
        QFETCH(int, value);
        QFETCH(int, state);
        engine e("[level]\nType=Input\nBlock=3\nIndex=2\n" + alarm);
        e.blocks[3] = {7, value};
        e.cycle();
        QCOMPARE(e.state("level"), state);
        QCOMPARE(e.error("level"), -1);
        QCOMPARE(e.kernel("level").ProcessType(), 1);
        int block = 0;
        int index = 0;
        QVERIFY(e.kernel("level").getAcqSettings(block, index));
        QCOMPARE(block, 3);
        QCOMPARE(index, 2);
    }

    void invalidInputIsNotCalculated()
    {
        engine e("[a]\nType=Input\nBlock=1\nIndex=5\n[b]\nType=OR\nInputs=a\n");
        e.blocks[1] = {1, 1}; // index 5 is beyond the block
        e.cycle();
        QCOMPARE(e.state("a"), -1);
        QCOMPARE(e.done[0], 0);
        QCOMPARE(e.error("a"), 2);
        QCOMPARE(e.error("b"), 2);
        QCOMPARE(e.extraPasses, 200);
    }

    void logic_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QList<int>>("inputs");
        QTest::addColumn<int>("state");
        QTest::newRow("AND all") << "Type=AND\nInputs=i1, i2, i3" << QList<int>{1, 1, 1} << 1;
        QTest::newRow("AND one off") << "Type=AND\nInputs=i1,i2,i3" << QList<int>{1, 0, 1} << 0;
        QTest::newRow("OR one") << "Type=OR\nInputs=i1,i2,i3" << QList<int>{0, 0, 1} << 1;
        QTest::newRow("OR none") << "Type=OR\nInputs=i1,i2,i3" << QList<int>{0, 0, 0} << 0;
        QTest::newRow("NOT off") << "Type=NOT\nInput=i1" << QList<int>{0, 1, 1} << 1;
        QTest::newRow("NOT on") << "Type=NOT\nInputs=i1" << QList<int>{1, 0, 0} << 0;
        QTest::newRow("TRUTH row") << "Type=TRUTH\nInputs=i1,i2,i3\nOn=101, 011" << QList<int>{0, 1, 1} << 1;
        QTest::newRow("TRUTH don't care") << "Type=TRUTH\nInputs=i1,i2,i3\nOn=1x0" << QList<int>{1, 1, 0} << 1;
        QTest::newRow("TRUTH no row") << "Type=TRUTH\nInputs=i1,i2,i3\nOn=1x0" << QList<int>{1, 1, 1} << 0;
        QTest::newRow("TRUTH without rows") << "Type=TRUTH\nInputs=i1,i2,i3" << QList<int>{1, 1, 1} << 0;
    }

    void logic()
    {
        QFETCH(QString, rule);
        QFETCH(QList<int>, inputs);
        QFETCH(int, state);
        engine e("[i1]\nType=Input\nBlock=1\nIndex=1\n[i2]\nType=Input\nBlock=1\nIndex=2\n"
                 "[i3]\nType=Input\nBlock=1\nIndex=3\n[out]\n" + rule);
        e.blocks[1] = std::vector<int>(inputs.begin(), inputs.end());
        e.cycle();
        QCOMPARE(e.state("out"), state);
    }

    // Acknowledged alarms and forced-on inputs count as in alarm for the
    // processes that read them; shelved and latched ones do not.
    void whatCountsAsInAlarm()
    {
        engine e("[a]\nType=Input\nBlock=1\nIndex=1\n[b]\nType=OR\nInputs=a\n");
        e.blocks[1] = {1};
        e.cycle();
        e.kernel("a").Override(4, 0);
        e.cycle();
        QCOMPARE(e.state("a"), 4);
        QCOMPARE(e.state("b"), 1);
        e.kernel("a").Override(5, 0);
        e.cycle();
        QCOMPARE(e.state("a"), 5);
        QCOMPARE(e.state("b"), 0);
        e.kernel("a").Override(0, 0);
        e.blocks[1] = {0};
        e.kernel("a").Override(3, 0);
        e.cycle();
        QCOMPARE(e.state("a"), 3);
        QCOMPARE(e.state("b"), 1);
    }

    void alarmSequences_data()
    {
        QTest::addColumn<bool>("latching");
        QTest::addColumn<QString>("steps"); // v<value>: a cycle with that input; a, c: acknowledge, clear
        QTest::addColumn<QList<int>>("states");
        QTest::newRow("alarm, ack, return to normal") << false << "v1 a v1 v0" << QList<int>{1, 4, 4, 0};
        QTest::newRow("alarm, return to normal") << false << "v1 v0" << QList<int>{1, 0};
        QTest::newRow("latched: alarm, normal, ack") << true << "v1 v0 v0 a v0" << QList<int>{1, 6, 6, 0, 0};
        QTest::newRow("latched: acknowledged alarm does not latch") << true << "v1 a v0" << QList<int>{1, 4, 0};
        QTest::newRow("latched: alarm again") << true << "v1 v0 v1" << QList<int>{1, 6, 1};
        QTest::newRow("latched: clear") << true << "v1 v0 c" << QList<int>{1, 6, 0};
        QTest::newRow("clear leaves an alarm") << true << "v1 c" << QList<int>{1, 1};
    }

    void alarmSequences()
    {
        QFETCH(bool, latching);
        QFETCH(QString, steps);
        QFETCH(QList<int>, states);
        engine e(QStringLiteral("[p]\nType=Input\nBlock=1\nIndex=1\nLatching=%1").arg(latching ? "yes" : "no"));
        QList<int> seen;
        for (const QString &step : steps.split(QLatin1Char(' '))) {
            if (step.startsWith(QLatin1Char('v'))) {
                e.blocks[1] = {step.mid(1).toInt()};
                e.cycle();
                seen << e.state("p");
            } else {
                e.kernel("p").Override(step == u"a" ? 4 : 8, 0);
                seen << e.kernel("p").GetCurrentState();
            }
        }
        QCOMPARE(seen, states);
    }

    void forces_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("state");
        QTest::newRow("force off an alarm") << 2 << 1 << 2;
        QTest::newRow("force on a normal input") << 3 << 0 << 3;
        QTest::newRow("ignore") << 5 << 1 << 5;
        QTest::newRow("acknowledge all") << 7 << 1 << 4;
    }

    void forces()
    {
        QFETCH(int, code);
        QFETCH(int, value);
        QFETCH(int, state);
        engine e("[p]\nType=Input\nBlock=1\nIndex=1");
        e.blocks[1] = {value};
        e.cycle();
        e.kernel("p").Override(code, 0);
        e.cycle();
        QCOMPARE(e.state("p"), state);
        QCOMPARE(e.kernel("p").GetOverrideEndTime(), 0);
        // Normal ends a force and shows the alarm as it stands.
        e.kernel("p").Override(0, 0);
        e.cycle();
        QCOMPARE(e.state("p"), code == 7 ? 4 : value);
    }

    void forceEndsAtItsEndTime()
    {
        engine e("[p]\nType=Input\nBlock=1\nIndex=1\nForceTimeout=10");
        e.blocks[1] = {1};
        e.cycle();
        e.kernel("p").Override(2, 0);
        const int64_t end = monday.toSecsSinceEpoch() + 10;
        QCOMPARE(e.kernel("p").GetOverrideEndTime(), end);
        setTime(monday.addSecs(9));
        e.cycle();
        QCOMPARE(e.state("p"), 2);
        setTime(monday.addSecs(10));
        e.cycle();
        QCOMPARE(e.state("p"), 1);
        QCOMPARE(e.kernel("p").GetOverrideEndTime(), 0);

        // An end time restored from the state file works the same way.
        engine again("[p]\nType=Input\nBlock=1\nIndex=1");
        again.kernel("p").setInitialState(5);
        again.kernel("p").SetOverrideEndTime(end + 5);
        again.blocks[1] = {0};
        again.cycle();
        QCOMPARE(again.state("p"), 5);
        QCOMPARE(again.kernel("p").GetOverrideEndTime(), end + 5);
        setTime(monday.addSecs(15));
        again.cycle();
        QCOMPARE(again.state("p"), 0);
    }

    void acknowledgingContributors()
    {
        const QString config = "[a]\nType=Input\nBlock=1\nIndex=1\n[b]\nType=OR\nInputs=a\n[c]\nType=OR\nInputs=b\n";
        for (int code : {9, 10}) {
            engine e(config);
            e.blocks[1] = {1};
            e.cycle();
            e.kernel("c").Override(code, 0);
            e.cycle();
            QCOMPARE(e.state("c"), 4);
            QCOMPARE(e.state("b"), 4);
            QCOMPARE(e.state("a"), code == 10 ? 4 : 1);
        }
    }

    void mask()
    {
        engine e("[m]\nType=Input\nBlock=1\nIndex=1\n[p]\nType=Input\nBlock=1\nIndex=2\nMask=m\nLatching=yes\n");
        QCOMPARE(QByteArray(e.kernel("p").ProcMaskName()), QByteArray("m"));
        e.blocks[1] = {1, 1};
        e.cycle();
        QCOMPARE(e.state("p"), 0);
        e.blocks[1] = {0, 1};
        e.cycle();
        QCOMPARE(e.state("p"), 1);
        // Masked again: no alarm, and nothing latched for later.
        e.blocks[1] = {1, 0};
        e.cycle();
        QCOMPARE(e.state("p"), 0);
        e.blocks[1] = {0, 0};
        e.cycle();
        QCOMPARE(e.state("p"), 0);

        engine broken("[p]\nType=Input\nBlock=1\nIndex=1\nMask=nothing\n");
        broken.blocks[1] = {1};
        broken.cycle();
        QCOMPARE(broken.error("p"), 3);
    }

    void timeWindow_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<int>("state");
        const QString office = "Window=08:00-17:00\nDays=Mon-Fri";
        QTest::newRow("office hours") << office << monday << 1;
        QTest::newRow("before") << office << QDateTime(monday.date(), QTime(7, 59)) << 0;
        QTest::newRow("end is outside") << office << QDateTime(monday.date(), QTime(17, 0)) << 0;
        QTest::newRow("saturday") << office << monday.addDays(5) << 0;
        QTest::newRow("night across midnight, counted for monday") << "Window=22:00-06:00\nDays=Mon"
                                                                   << QDateTime(monday.date().addDays(1), QTime(1, 0)) << 1;
        QTest::newRow("night, monday morning belongs to sunday") << "Window=22:00-06:00\nDays=Mon"
                                                                 << QDateTime(monday.date(), QTime(1, 0)) << 0;
        QTest::newRow("weekend list") << "Window=00:00-24:00\nDays=Sat,Sun" << monday.addDays(6) << 1;
    }

    void timeWindow()
    {
        QFETCH(QString, rule);
        QFETCH(QDateTime, when);
        QFETCH(int, state);
        setTime(when);
        engine e("[t]\nType=Time\n" + rule);
        e.cycle();
        QCOMPARE(e.state("t"), state);
    }

    void pulseAndHoldoff()
    {
        engine e("[x]\nType=Input\nBlock=1\nIndex=1\n"
                 "[pulse]\nType=Time\nInput=x\nPulse=5\n"
                 "[hold]\nType=HOLDOFF\nInput=x\nOnDelay=3\nOffDelay=2\n");
        const auto at = [&](int secs, int value) {
            setTime(monday.addSecs(secs));
            e.blocks[1] = {value};
            e.cycle();
            return QList<int>{e.state("pulse"), e.state("hold")};
        };
        QCOMPARE(at(0, 0), QList<int>({0, 0}));
        QCOMPARE(at(1, 1), QList<int>({1, 0}));  // pulse starts, hold waits
        QCOMPARE(at(3, 1), QList<int>({1, 0}));
        QCOMPARE(at(4, 1), QList<int>({1, 1}));  // in alarm for 3 s
        QCOMPARE(at(6, 1), QList<int>({0, 1}));  // pulse over though x stays
        QCOMPARE(at(7, 0), QList<int>({0, 1}));  // clear, hold keeps for 2 s
        QCOMPARE(at(8, 1), QList<int>({1, 1}));  // new pulse; a short clear
        QCOMPARE(at(9, 0), QList<int>({1, 1}));
        QCOMPARE(at(11, 0), QList<int>({1, 0})); // clear for 2 s
        QCOMPARE(at(13, 0), QList<int>({0, 0}));
    }

    void reverseChainNeedsOnePassPerLink()
    {
        engine e("[d]\nType=OR\nInputs=c\n[c]\nType=OR\nInputs=b\n[b]\nType=NOT\nInput=a\n[a]\nType=Input\nBlock=1\nIndex=1\n");
        e.blocks[1] = {0};
        e.cycle();
        QCOMPARE(e.extraPasses, 3);
        QCOMPARE(e.state("d"), 1);
        engine ordered("[a]\nType=Input\nBlock=1\nIndex=1\n[b]\nType=NOT\nInput=a\n[c]\nType=OR\nInputs=b\n");
        ordered.blocks[1] = {0};
        ordered.cycle();
        QCOMPARE(ordered.extraPasses, 0);
    }

    void dependencyCycleNeverConverges()
    {
        engine e("[a]\nType=OR\nInputs=b\n[b]\nType=OR\nInputs=a\n[c]\nType=Time\nWindow=00:00-24:00\n");
        e.cycle();
        QCOMPARE(e.extraPasses, 200);
        QCOMPARE(e.done, std::vector<int>({0, 0, 1}));
        QCOMPARE(e.error("a"), 2);
        QCOMPARE(e.state("a"), -1);
    }

    void malformedBodies_data()
    {
        QTest::addColumn<QString>("body");
        QTest::newRow("empty") << "";
        QTest::newRow("no type") << "Block=1\nIndex=1";
        QTest::newRow("unknown type") << "Type=XOR\nInputs=a,b";
        QTest::newRow("not key=value") << "Type=OR\nInputs a";
        QTest::newRow("key twice") << "Type=OR\nInputs=a\ninputs=b";
        QTest::newRow("unknown key") << "Type=OR\nInputs=a\nColour=red";
        QTest::newRow("input without index") << "Type=Input\nBlock=1";
        QTest::newRow("index 0") << "Type=Input\nBlock=1\nIndex=0";
        QTest::newRow("bad comparison") << "Type=Input\nBlock=1\nIndex=1\nAlarm=~3";
        QTest::newRow("empty name in list") << "Type=AND\nInputs=a,,b";
        QTest::newRow("NOT of two") << "Type=NOT\nInputs=a,b";
        QTest::newRow("truth row too short") << "Type=TRUTH\nInputs=a,b\nOn=1";
        QTest::newRow("truth row bad character") << "Type=TRUTH\nInputs=a,b\nOn=12";
        QTest::newRow("window and pulse") << "Type=Time\nWindow=08:00-09:00\nInput=a\nPulse=3";
        QTest::newRow("bad window") << "Type=Time\nWindow=8-9";
        QTest::newRow("bad day") << "Type=Time\nWindow=08:00-09:00\nDays=Funday";
        QTest::newRow("holdoff without input") << "Type=HOLDOFF\nOnDelay=3";
        QTest::newRow("negative delay") << "Type=HOLDOFF\nInput=a\nOnDelay=-1";
        QTest::newRow("latching maybe") << "Type=OR\nInputs=a\nLatching=maybe";
    }

    void malformedBodies()
    {
        QFETCH(QString, body);
        engine e("[a]\nType=Input\nBlock=1\nIndex=1\n[p]\n" + body);
        QCOMPARE(e.loaded[1], false);
        QCOMPARE(e.kernel("p").ProcessType(), -1);
        e.blocks[1] = {1};
        e.cycle();
        QCOMPARE(e.error("p"), 1);
        QCOMPARE(e.state("p"), -1);
    }

    void rawBodiesNeverCrash()
    {
        CRuleKernel k(0, "k", false);
        QVERIFY(!k.LoadSettings(nullptr, 0));
        char noNul[] = {'T', 'y', 'p', 'e', '=', 'O', 'R'};
        QVERIFY(!k.LoadSettings(noNul, sizeof noNul)); // no inputs
        char body[] = "Type=NOT\0Input=x\0";
        QVERIFY(k.LoadSettings(body, sizeof body));
        QCOMPARE(k.ProcessType(), 4);
        QCOMPARE(k.getInputProcessNames(), QStringList({"x"}));
        // Not set up for a cycle: an internal error, no crash.
        k.CalcNow();
    }

    void unknownInputName()
    {
        engine e("[p]\nType=OR\nInputs=ghost\nMask=m\n[m]\nType=Time\nWindow=00:00-24:00\n");
        e.cycle();
        QCOMPARE(e.error("p"), 2);
        QCOMPARE(e.kernel("p").getInputProcessNames(), QStringList({"ghost", "m"}));
    }

    void greeningShowsTheModulesValues()
    {
        engine e("[p]\nType=Input\nBlock=1\nIndex=1\nLatching=yes\n[q]\nType=OR\nInputs=p\n");
        e.blocks[1] = {0};
        e.cycle();
        e.kernel("p").Override(2, 0);
        CRuleKernel::SetGreeningRequired(true);
        QVERIFY(CRuleKernel::greeningRequired());
        e.blocks[1] = {1};
        e.cycle();
        QCOMPARE(e.state("p"), 1);
        QCOMPARE(e.state("q"), 1);
        e.blocks[1] = {0};
        e.cycle();
        QCOMPARE(e.state("p"), 0); // no latch while colouring
        CRuleKernel::SetGreeningRequired(false);
        e.cycle();
        QCOMPARE(e.state("p"), 2); // the force is back
    }

    void initialStates_data()
    {
        QTest::addColumn<int>("saved");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("state");
        QTest::newRow("alarm stays unacknowledged") << 1 << 1 << 1;
        QTest::newRow("acknowledged stays") << 4 << 1 << 4;
        QTest::newRow("latched stays") << 6 << 0 << 6;
        QTest::newRow("force stays") << 3 << 0 << 3;
        QTest::newRow("nothing saved") << -1 << 0 << 0;
    }

    void initialStates()
    {
        QFETCH(int, saved);
        QFETCH(int, value);
        QFETCH(int, state);
        engine e("[p]\nType=Input\nBlock=1\nIndex=1\nLatching=yes");
        e.kernel("p").setInitialState(saved);
        e.blocks[1] = {value};
        e.cycle();
        QCOMPARE(e.state("p"), state);
    }
};

QTEST_GUILESS_MAIN(tst_CRuleKernel)
#include "tst_CRuleKernel.moc"
