// One calculation cycle as the engine runs it (reset the arrays, set up every
// process and feed the inputs, then passes of CalcNow until all are done) over
// processes of mixed rule types in file order.

#include "CRuleKernel.h"
#include "ruleCycle.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <chrono>
#include <random>
#include <thread>
#include <string>
#include <vector>

namespace {

struct engineState
{
    std::vector<std::unique_ptr<CRuleKernel>> kernels;
    std::vector<int> states, done, errors;
    std::vector<int> inputs; // one acquisition block
    int passes = 0;
};

// Two in five processes read inputs; the rest combine earlier processes.
std::unique_ptr<engineState> makeSystem(int count)
{
    auto s = std::make_unique<engineState>();
    std::mt19937 rng{static_cast<unsigned>(count)};
    // Names are built by appending: GCC 12 warns wrongly on literal + string here.
    const auto name = [](unsigned n) {
        std::string text("p");
        text += std::to_string(n);
        return text;
    };
    const auto earlier = [&](int i) { return name(rng() % unsigned(i)); };
    int inputCount = 0;
    for (int i = 0; i < count; ++i) {
        std::string body;
        const unsigned kind = i < 10 ? 0 : rng() % 10;
        if (kind < 4) {
            body = "Type=Input\nBlock=1\nIndex=" + std::to_string(++inputCount) + "\nAlarm=>= 50\nLatching=yes";
        } else if (kind < 6) {
            body = "Type=AND\nInputs=" + earlier(i) + "," + earlier(i) + "," + earlier(i);
        } else if (kind < 8) {
            body = "Type=OR\nInputs=" + earlier(i) + "," + earlier(i) + "\nMask=" + earlier(i);
        } else if (kind == 8) {
            body = rng() % 2 ? "Type=NOT\nInput=" + earlier(i)
                             : "Type=TRUTH\nInputs=" + earlier(i) + "," + earlier(i) + "\nOn=10,01";
        } else {
            body = rng() % 2 ? "Type=HOLDOFF\nInput=" + earlier(i) + "\nOnDelay=5\nOffDelay=5"
                             : "Type=Time\nWindow=08:00-17:00\nDays=Mon-Fri";
        }
        std::replace(body.begin(), body.end(), '\n', '\0');
        body += '\0';
        auto kernel = std::make_unique<CRuleKernel>(i, name(unsigned(i)).c_str(), false);
        kernel->LoadSettings(body.data(), static_cast<unsigned long>(body.size()));
        s->kernels.push_back(std::move(kernel));
    }
    s->states.assign(size_t(count), -1);
    s->done.assign(size_t(count), 0);
    s->errors.assign(size_t(count), -1);
    s->inputs.resize(size_t(inputCount));
    for (int &v : s->inputs)
        v = int(rng() % 100);
    return s;
}

void cycle(engineState &s)
{
    s.passes = ruleCycle(
        int(s.kernels.size()), [&s](int i) { return s.kernels[size_t(i)].get(); }, s.states, s.done, s.errors, s.inputs);
}

void BM_cycle(benchmark::State &state)
{
    auto s = makeSystem(int(state.range(0)));
    cycle(*s);
    if (!std::all_of(s->done.begin(), s->done.end(), [](int d) { return d != 0; })) {
        state.SkipWithError("not every process was calculated");
        return;
    }
    std::mt19937 rng(7);
    for (auto _ : state) {
        // A few inputs change between cycles, as they would.
        for (int k = 0; k < 20; ++k)
            s->inputs[rng() % s->inputs.size()] = int(rng() % 100);
        cycle(*s);
    }
    state.counters["passes"] = s->passes + 1;
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same cycles at the engine's pace, one every 20 ms: in between, the
// processes' data leaves the caches, as it does in the running engine.
void BM_cycleEvery20ms(benchmark::State &state)
{
    auto s = makeSystem(int(state.range(0)));
    cycle(*s);
    std::mt19937 rng(7);
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int k = 0; k < 20; ++k)
            s->inputs[rng() % s->inputs.size()] = int(rng() % 100);
        state.ResumeTiming();
        cycle(*s);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_cycle)->Arg(5000)->Arg(10000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_cycleEvery20ms)->Arg(5000)->Arg(20000)->Arg(100000)->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
