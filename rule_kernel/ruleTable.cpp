#include "ruleTable.h"

#include <QDateTime>

#include <algorithm>
#include <ctime>

namespace {

std::weak_ptr<ruleTable> &current()
{
    static std::weak_ptr<ruleTable> table;
    return table;
}

std::function<int64_t()> &timeSource()
{
    static std::function<int64_t()> source = [] { return QDateTime::currentMSecsSinceEpoch(); };
    return source;
}

} // namespace

void ruleTable::setClock(std::function<int64_t()> source)
{
    timeSource() = source ? std::move(source) : [] { return QDateTime::currentMSecsSinceEpoch(); };
}

std::shared_ptr<ruleTable> ruleTable::join(int position, CRuleKernel *kernel, const QString &name)
{
    std::shared_ptr<ruleTable> table = current().lock();
    if (!table || position == 0) {
        table = std::make_shared<ruleTable>();
        table->startCycle();
        current() = table;
    }
    if (position >= 0) {
        if (size_t(position) >= table->m_kernels.size())
            table->m_kernels.resize(size_t(position) + 1, nullptr);
        table->m_kernels[size_t(position)] = kernel;
        if (!table->m_positions.contains(name))
            table->m_positions.insert(name, position);
    }
    return table;
}

void ruleTable::leave(int position, CRuleKernel *kernel)
{
    if (position >= 0 && size_t(position) < m_kernels.size() && m_kernels[size_t(position)] == kernel)
        m_kernels[size_t(position)] = nullptr;
}

void *ruleTable::allocate(size_t size, size_t alignment)
{
    constexpr size_t blockSize = 256 * 1024;
    const auto roundUp = [alignment](size_t n) { return (n + alignment - 1) / alignment * alignment; };
    const auto newBlock = [this](size_t bytes) {
        m_blocks.emplace_back(new (std::align_val_t(cacheLine)) std::byte[bytes]);
        return m_blocks.back().get();
    };
    size = roundUp(std::max<size_t>(size, 1));
    if (size > blockSize)
        return newBlock(size);
    m_blockUsed = roundUp(m_blockUsed);
    if (m_blocks.empty() || m_blockUsed + size > blockSize) {
        newBlock(blockSize);
        m_blockUsed = 0;
    }
    void *at = m_blocks.back().get() + m_blockUsed;
    m_blockUsed += size;
    return at;
}

int ruleTable::find(const QString &name) const
{
    return m_positions.value(name, -1);
}

CRuleKernel *ruleTable::at(int position) const
{
    return position >= 0 && size_t(position) < m_kernels.size() ? m_kernels[size_t(position)] : nullptr;
}

void ruleTable::startCycle()
{
    m_nowMs = timeSource()();
    // localtime_r, unlike a local QDateTime, does not look at the zone file
    // again every time: this runs once per cycle.
    const std::time_t seconds = std::time_t(m_nowMs / 1000);
    struct tm local;
    if (localtime_r(&seconds, &local)) {
        m_localMinute = local.tm_hour * 60 + local.tm_min;
        m_localWeekday = (local.tm_wday + 6) % 7; // Monday first
    }
}
