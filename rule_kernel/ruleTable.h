#pragma once

#include <QHash>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <vector>

class CRuleKernel;

// The evaluators of one load of proc_def.cfg by position and by name, and the
// time of the cycle under way. A load begins with the evaluator of position 0;
// every evaluator keeps its load's table alive.
class ruleTable
{
public:
    // The table a new evaluator of `position` joins.
    static std::shared_ptr<ruleTable> join(int position, CRuleKernel *kernel, const QString &name);
    void leave(int position, CRuleKernel *kernel);

    // Position of the process of that name, or -1 (the first of a name counts).
    int find(const QString &name) const;
    CRuleKernel *at(int position) const;

    // Wall-clock time, read once per cycle (when the first process is set up).
    void startCycle();
    int64_t nowMs() const { return m_nowMs; }
    int64_t nowSeconds() const { return m_nowMs / 1000; }
    // Local minute of the day and day of the week (0 Monday) of the cycle.
    int localMinute() const { return m_localMinute; }
    int localWeekday() const { return m_localWeekday; }

    // Where the time comes from: milliseconds since 1970-01-01T00:00:00Z.
    static void setClock(std::function<int64_t()> clock);

    // Memory for the evaluators' per-cycle data, handed out in file order from
    // large blocks: neighbouring processes then share pages and cache lines,
    // which keeps a cycle over many thousand processes fast. With the default
    // alignment every piece starts on a cache line and fills whole lines.
    // Freed with the table.
    void *allocate(size_t size, size_t alignment = cacheLine);

    static constexpr size_t cacheLine = 64;

    // The engine's arrays of the cycle under way, shared by all its processes.
    int *states = nullptr;
    int *done = nullptr;
    int *errors = nullptr;
    int count = 0;

private:
    struct lineAlignedDelete
    {
        void operator()(std::byte *memory) const { ::operator delete[](memory, std::align_val_t(cacheLine)); }
    };
    std::vector<std::unique_ptr<std::byte[], lineAlignedDelete>> m_blocks;
    size_t m_blockUsed = 0;
    std::vector<CRuleKernel *> m_kernels;
    QHash<QString, int> m_positions;
    int64_t m_nowMs = 0;
    int m_localMinute = 0;
    int m_localWeekday = 0;
};
