// filelist::compare on lists of 2,000 and 20,000 entries: the master as a scan
// produces it, the slave as received from the peer, in another order and with
// some entries changed, missing or extra. At the end the time for ten times the
// entries is printed relative to the smaller list.

#include "filelist.h"
#include "protocol.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

namespace {

struct Lists
{
    filelist master;
    filelist slave;
    // What compare must find.
    qsizetype added = 0;
    qsizetype changed = 0;
    qsizetype removed = 0;
};

QString number(unsigned n)
{
    return QString::number(n);
}

// A local time of day well away from daylight-saving changes, so that it
// survives the trip through text unaltered.
QDateTime officeHours(std::mt19937 &rng)
{
    const QDate day = QDate(2013, 1, 1).addDays(rng() % (3 * 365));
    return QDateTime(day, QTime(8 + rng() % 10, rng() % 60, rng() % 60));
}

// Folders config/areaA/unitU, each followed by its files, in scan order.
QList<file> masterEntries(qsizetype count, std::mt19937 &rng)
{
    static const char *const stems[] = {"file", "Settings", "channels", "Alarm_Limits", "io-map"};
    static const char *const extensions[] = {".cfg", ".INI", ".xml", ".cfg", ".dat"};

    QList<file> entries;
    entries.reserve(count);
    entries.append(file{QStringLiteral("config"), QDateTime(), 0});
    for (unsigned area = 0; entries.size() < count; ++area) {
        const QString areaName = QStringLiteral("config/area") + number(area);
        entries.append(file{areaName, QDateTime(), 0});
        for (unsigned unit = 0; unit < 25 && entries.size() < count; ++unit) {
            const QString unitName = areaName + QStringLiteral("/unit") + number(unit);
            entries.append(file{unitName, QDateTime(), 0});
            for (unsigned f = 0; f < 40 && entries.size() < count; ++f) {
                const unsigned kind = rng() % std::size(stems);
                entries.append(file{unitName + QLatin1Char('/') + QLatin1String(stems[kind]) + number(f)
                                        + QLatin1String(extensions[kind]),
                                    QDateTime::fromSecsSinceEpoch(officeHours(rng).toSecsSinceEpoch()),
                                    qint64(200 + rng() % 200000)});
            }
        }
    }
    return entries;
}

// Dates go over the wire as text; the slave's are read back from it.
QDateTime received(const QDateTime &when)
{
    return protocol::parseIsoDate(protocol::isoDate(when));
}

Lists makeLists(qsizetype count)
{
    std::mt19937 rng(static_cast<unsigned>(count));
    Lists lists;
    lists.master.entries = masterEntries(count, rng);
    lists.master.setValid();

    QList<file> slave;
    slave.reserve(count + count / 50);
    for (const file &entry : std::as_const(lists.master.entries)) {
        file copy{entry.name, received(entry.modified), entry.size};
        const unsigned roll = rng() % 100;
        const bool isFile = !entry.modified.isNull();
        if (roll < 2) {
            ++lists.added; // missing at the slave
            continue;
        }
        if (isFile && roll < 6) {
            copy.modified = copy.modified.addSecs(3600 * (1 + rng() % 48));
            ++lists.changed;
        } else if (isFile && roll < 8) {
            copy.size += 1 + rng() % 1000;
            ++lists.changed;
        } else if (isFile && roll < 9) {
            copy.modified = copy.modified.addSecs(1 + rng() % 2); // within the tolerance
        } else if (roll < 10) {
            copy.name = copy.name.toUpper(); // names match without regard to case
        }
        slave.append(copy);
    }
    // Files the master no longer has.
    for (qsizetype i = 0; i < count / 50; ++i) {
        const QString name = QStringLiteral("config/area%1/unit%2/old%3.cfg").arg(rng() % 8).arg(rng() % 25).arg(i);
        slave.append(file{name, received(officeHours(rng)), 1000});
        ++lists.removed;
    }
    std::shuffle(slave.begin(), slave.end(), rng);
    lists.slave.entries = slave;
    lists.slave.setValid();
    return lists;
}

void BM_compare(benchmark::State &state, bool skipUnchanged)
{
    const qsizetype count = state.range(0);
    Lists lists = makeLists(count);
    for (auto _ : state) {
        lists.master.compare(lists.slave, skipUnchanged);
        benchmark::DoNotOptimize(lists.master.added.data());
        benchmark::DoNotOptimize(lists.master.changed.data());
    }
    // The differences that decide what is transferred must come out as made.
    const filelist &m = lists.master;
    if (m.added.size() != lists.added || m.changed.size() != lists.changed || m.removed.size() != lists.removed)
        state.SkipWithError("compare found other differences than were made");
    state.SetItemsProcessed(state.iterations() * count);
}

// Console output plus, at the end, time(20000) / time(2000) per benchmark.
class ScalingReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (!run.error_occurred)
                m_times[run.run_name.function_name][run.run_name.args].add(run);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const auto &[name, byArgs] : m_times) {
            const auto small = byArgs.find("2000");
            const auto large = byArgs.find("20000");
            if (small != byArgs.end() && large != byArgs.end() && small->second.value() > 0)
                GetOutputStream() << "ratio time(20000) / time(2000), " << name << ": "
                                  << large->second.value() / small->second.value() << '\n';
        }
    }

private:
    // The mean of the repetitions; taken from the "mean" line when only
    // aggregates are reported.
    struct Mean
    {
        double sum = 0;
        int count = 0;
        double aggregate = -1;

        void add(const Run &run)
        {
            if (run.run_type == Run::RT_Iteration) {
                sum += run.GetAdjustedRealTime();
                ++count;
            } else if (run.aggregate_name == "mean") {
                aggregate = run.GetAdjustedRealTime();
            }
        }
        double value() const { return aggregate >= 0 ? aggregate : count > 0 ? sum / count : 0.0; }
    };
    std::map<std::string, std::map<std::string, Mean>> m_times;
};

} // namespace

int main(int argc, char **argv)
{
    for (const bool skip : {false, true}) {
        benchmark::RegisterBenchmark(skip ? "filelist/compare/skip_unchanged" : "filelist/compare/keep_unchanged",
                                     BM_compare, skip)
            ->Arg(2000)
            ->Arg(20000)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ScalingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
