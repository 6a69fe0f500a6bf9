#include "CRuleKernel.h"

#include "ruleDefinition.h"
#include "ruleTable.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <set>

namespace {

// Alarm-management states, as the engine shows and stores them.
enum State { Off = 0, On = 1, ForcedOff = 2, ForcedOn = 3, Acknowledged = 4, Shelved = 5, LatchedState = 6 };
enum Error { RuleInvalid = 1, InputInvalid = 2, MaskInvalid = 3, InternalError = 4 };

std::atomic<bool> greening{false};

// Slots for evaluator objects, handed out from large blocks in the order of
// construction and reused after destruction.
class kernelSlots
{
public:
    void *take(size_t size)
    {
        std::lock_guard lock(m_mutex);
        if (size != m_slotSize)
            return ::operator new(size);
        if (!m_free.empty()) {
            void *slot = m_free.back();
            m_free.pop_back();
            return slot;
        }
        if (m_blocks.empty() || m_used == perBlock) {
            m_blocks.push_back(std::make_unique<std::byte[]>(perBlock * m_slotSize));
            m_used = 0;
        }
        return m_blocks.back().get() + m_slotSize * m_used++;
    }

    void give(void *slot, size_t size)
    {
        std::lock_guard lock(m_mutex);
        if (size != m_slotSize) {
            ::operator delete(slot);
            return;
        }
        m_free.push_back(slot);
    }

private:
    static constexpr size_t perBlock = 4096;
    const size_t m_slotSize = (sizeof(CRuleKernel) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t)
                              * alignof(std::max_align_t);
    std::mutex m_mutex;
    std::vector<std::unique_ptr<std::byte[]>> m_blocks;
    size_t m_used = 0;
    std::vector<void *> m_free;
};

kernelSlots &kernelPool()
{
    static kernelSlots *pool = new kernelSlots; // lives to the end of the process
    return *pool;
}

// A process counts as in alarm for the processes that read it while it is
// ON, acknowledged but still in alarm, or forced on.
inline bool inAlarm(int state)
{
    return state == On || state == Acknowledged || state == ForcedOn;
}

} // namespace

struct alignas(64) CRuleKernel::data
{
    // What the alarm does, apart from forces.
    enum Alarm : int8_t { Normal, Unacknowledged, AcknowledgedAlarm, Latched };
    enum Force : int8_t { NoForce, ForceOff, ForceOn, Shelve };

    // What every cycle touches is the first cache line (64 bytes, and the
    // data starts on a line): with many thousand processes each one's cycle
    // then costs one line of memory. The arrays of the cycle and its time are
    // kept once, in the shared table, which the evaluator object points to.
    int *inputs = nullptr; // positions of the processes read, in the table's memory
    int64_t forceEnd = 0;
    int number = 0;
    int checkedCount = -1; // inputs and mask were checked to lie inside arrays of this length
    int inputValue = -1;   // -1: unknown (no value from the module)
    int threshold = 0;
    int block = 0; // Input: acquisition block and 1-based index
    int index = 0;
    int mask = -1;
    int inputCount = 0;
    int state = Off;
    int8_t type = ruleDefinition::Invalid; // of the loaded rule
    Alarm alarm = Normal;
    Force force = NoForce;
    ruleDefinition::Comparison comparison = ruleDefinition::NotEqual;
    bool resolved = false;
    bool unresolvedInput = false;
    bool unresolvedMask = false;
    bool latching = false;

    // Timers of the Time and HOLDOFF rules: when the watched condition last
    // changed, and what came out. Read in the cycle by those rules only.
    bool lastInput = false;
    bool held = false;
    int64_t changedAtMs = 0;
    int64_t pulseEndMs = 0;

    // Everything from here on is read when a process is loaded, resolved,
    // shown or forced, not in the cycle.
    ruleTable *table = nullptr;
    std::unique_ptr<ruleDefinition> rule = std::make_unique<ruleDefinition>();
    QByteArray name;
    QByteArray maskName;

    void resolve()
    {
        resolved = true;
        inputCount = int(rule->inputs.size());
        // Packed next to the lists of the processes resolved before.
        inputs = static_cast<int *>(table->allocate(sizeof(int) * size_t(std::max(inputCount, 1)), alignof(int)));
        for (int i = 0; i < inputCount; ++i) {
            inputs[i] = table->find(rule->inputs.at(i));
            unresolvedInput |= inputs[i] < 0;
        }
        if (!rule->mask.isEmpty()) {
            mask = table->find(rule->mask);
            unresolvedMask = mask < 0;
        }
    }

    bool positionsInside(int count) const
    {
        for (int i = 0; i < inputCount; ++i) {
            if (inputs[i] >= count)
                return false;
        }
        return mask < count;
    }

    void fail(const ruleTable &cycle, Error code) const
    {
        if (cycle.errors && number >= 0 && number < cycle.count)
            cycle.errors[number] = code;
    }

    bool inputsDone(const int *done) const
    {
        for (int i = 0; i < inputCount; ++i) {
            if (!done[inputs[i]])
                return false;
        }
        return true;
    }

    bool condition(const ruleTable &cycle)
    {
        const int64_t now = cycle.nowMs();
        const int *states = cycle.states;
        switch (type) {
        case ruleDefinition::Input:
            switch (comparison) {
            case ruleDefinition::Equal: return inputValue == threshold;
            case ruleDefinition::NotEqual: return inputValue != threshold;
            case ruleDefinition::AtLeast: return inputValue >= threshold;
            case ruleDefinition::AtMost: return inputValue <= threshold;
            case ruleDefinition::Above: return inputValue > threshold;
            case ruleDefinition::Below: return inputValue < threshold;
            }
            return false;
        case ruleDefinition::And:
            for (int i = 0; i < inputCount; ++i) {
                if (!inAlarm(states[inputs[i]]))
                    return false;
            }
            return true;
        case ruleDefinition::Or:
            for (int i = 0; i < inputCount; ++i) {
                if (inAlarm(states[inputs[i]]))
                    return true;
            }
            return false;
        case ruleDefinition::Not:
            return !inAlarm(states[inputs[0]]);
        case ruleDefinition::Truth:
            for (const QString &row : rule->onRows) {
                bool match = true;
                for (int i = 0; i < inputCount && match; ++i) {
                    const QChar want = row.at(qsizetype(i));
                    match = want == u'x' || (want == u'1') == inAlarm(states[inputs[i]]);
                }
                if (match)
                    return true;
            }
            return false;
        case ruleDefinition::Time: {
            if (rule->window) {
                const int minute = cycle.localMinute();
                int day = cycle.localWeekday();
                const bool wraps = rule->toMinute <= rule->fromMinute;
                // After midnight a window that began the day before still counts for that day.
                if (wraps && minute < rule->toMinute)
                    day = (day + 6) % 7;
                const bool inTime = wraps ? minute >= rule->fromMinute || minute < rule->toMinute
                                          : minute >= rule->fromMinute && minute < rule->toMinute;
                return inTime && (rule->days & (1 << day));
            }
            const bool input = inAlarm(states[inputs[0]]);
            if (input && !lastInput)
                pulseEndMs = now + int64_t(rule->pulseSeconds) * 1000;
            lastInput = input;
            return now < pulseEndMs;
        }
        case ruleDefinition::Holdoff: {
            const bool input = inAlarm(states[inputs[0]]);
            if (input != lastInput) {
                lastInput = input;
                changedAtMs = now;
            }
            const int64_t steady = now - changedAtMs;
            if (!held && input && steady >= int64_t(rule->onDelaySeconds) * 1000)
                held = true;
            else if (held && !input && steady >= int64_t(rule->offDelaySeconds) * 1000)
                held = false;
            return held;
        }
        case ruleDefinition::Invalid:
            break;
        }
        return false;
    }

    void step(bool alarmed)
    {
        switch (alarm) {
        case Normal:
            if (alarmed)
                alarm = Unacknowledged;
            break;
        case Unacknowledged:
            if (!alarmed)
                alarm = latching ? Latched : Normal;
            break;
        case AcknowledgedAlarm:
            if (!alarmed)
                alarm = Normal;
            break;
        case Latched:
            if (alarmed)
                alarm = Unacknowledged;
            break;
        }
    }

    int shownState() const
    {
        switch (force) {
        case ForceOff: return ForcedOff;
        case ForceOn: return ForcedOn;
        case Shelve: return Shelved;
        case NoForce: break;
        }
        switch (alarm) {
        case Unacknowledged: return On;
        case AcknowledgedAlarm: return Acknowledged;
        case Latched: return LatchedState;
        case Normal: break;
        }
        return Off;
    }

    void acknowledge()
    {
        if (alarm == Unacknowledged)
            alarm = AcknowledgedAlarm;
        else if (alarm == Latched)
            alarm = Normal;
        state = shownState();
    }
};

void *CRuleKernel::operator new(size_t size)
{
    return kernelPool().take(size);
}

void CRuleKernel::operator delete(void *object, size_t size)
{
    kernelPool().give(object, size);
}

CRuleKernel::CRuleKernel(int number, const char *name, bool)
{
    static_assert(offsetof(data, lastInput) <= ruleTable::cacheLine, "the per-cycle fields fill one cache line");
    const QByteArray ownName = name ? QByteArray(name) : QByteArray();
    m_table = ruleTable::join(number, this, QString::fromUtf8(ownName));
    d = new (m_table->allocate(sizeof(data))) data;
    d->number = number;
    d->name = ownName;
    d->table = m_table.get();
}

CRuleKernel::~CRuleKernel()
{
    m_table->leave(d->number, this);
    d->~data(); // its memory goes with the table
}

const char *CRuleKernel::ProcName() const
{
    return d->name.constData();
}

bool CRuleKernel::LoadSettings(char *body, unsigned long length)
{
    const bool loaded = ruleDefinition::parse(body, length, *d->rule);
    if (!loaded)
        *d->rule = ruleDefinition();
    d->latching = d->rule->latching;
    d->comparison = d->rule->comparison;
    d->threshold = d->rule->threshold;
    d->block = d->rule->block;
    d->index = d->rule->index;
    d->type = int8_t(loaded ? d->rule->type : ruleDefinition::Invalid);
    d->maskName = d->rule->mask.toUtf8();
    d->resolved = false;
    d->checkedCount = -1;
    d->inputs = nullptr;
    d->inputCount = 0;
    d->unresolvedInput = d->unresolvedMask = false;
    d->mask = -1;
    return loaded;
}

void CRuleKernel::setInitialState(int state)
{
    d->state = state;
    d->force = data::NoForce;
    d->alarm = data::Normal;
    switch (state) {
    case On: d->alarm = data::Unacknowledged; break;
    case Acknowledged: d->alarm = data::AcknowledgedAlarm; break;
    case LatchedState: d->alarm = d->latching ? data::Latched : data::Normal; break;
    case ForcedOff: d->force = data::ForceOff; break;
    case ForcedOn: d->force = data::ForceOn; break;
    case Shelved: d->force = data::Shelve; break;
    default: d->state = Off; break;
    }
    // A saved alarm also restarts the timers of the rules that have them.
    d->lastInput = d->held = state == On || state == Acknowledged;
    d->changedAtMs = d->table->nowMs();
}

void CRuleKernel::SetOverrideEndTime(int64_t secondsSince1970)
{
    d->forceEnd = secondsSince1970 > 0 ? secondsSince1970 : 0;
}

int64_t CRuleKernel::GetOverrideEndTime() const
{
    return d->force == data::NoForce ? 0 : d->forceEnd;
}

void CRuleKernel::InitProc(int *states, int *done, int *errors, int count)
{
    ruleTable &table = *m_table;
    table.states = states;
    table.done = done;
    table.errors = errors;
    table.count = count;
    d->inputValue = -1;
    // The first process of the list sets the time for the whole cycle.
    if (d->number == 0)
        table.startCycle();
}

bool CRuleKernel::getAcqSettings(int &block, int &index) const
{
    if (d->type != ruleDefinition::Input)
        return false;
    block = d->block;
    index = d->index;
    return true;
}

void CRuleKernel::SetInputState(int value)
{
    d->inputValue = value;
}

void CRuleKernel::CalcNow()
{
    data &p = *d;
    const ruleTable &table = *m_table;
    int *states = table.states;
    int *done = table.done;
    if (!states || !done || p.number < 0 || p.number >= table.count) {
        p.fail(table, InternalError);
        return;
    }
    if (p.type == ruleDefinition::Invalid) {
        p.fail(table, RuleInvalid);
        return;
    }
    if (p.checkedCount != table.count) {
        if (!p.resolved)
            p.resolve();
        if (!p.positionsInside(table.count)) {
            p.fail(table, InternalError);
            return;
        }
        p.checkedCount = table.count;
    }
    // Reads wait until what they read is calculated in this cycle.
    if (p.unresolvedInput || !p.inputsDone(done) || (p.type == ruleDefinition::Input && p.inputValue == -1)) {
        p.fail(table, InputInvalid);
        return;
    }
    if (p.unresolvedMask || (p.mask >= 0 && !done[p.mask])) {
        p.fail(table, MaskInvalid);
        return;
    }

    if (p.force != data::NoForce && p.forceEnd > 0 && table.nowSeconds() >= p.forceEnd) {
        p.force = data::NoForce;
        p.forceEnd = 0;
    }
    const bool alarmed = p.condition(table);

    if (p.type == ruleDefinition::Input && greening.load(std::memory_order_relaxed)) {
        // A colouring run must be seen to reach every output: inputs show
        // what the modules report, without latches or forces.
        p.alarm = alarmed ? data::Unacknowledged : data::Normal;
        p.state = alarmed ? On : Off;
    } else if (p.mask >= 0 && inAlarm(states[p.mask])) {
        // Suppressed: no alarm, and none remembered for when the mask clears.
        p.alarm = data::Normal;
        p.state = p.shownState();
    } else {
        p.step(alarmed);
        p.state = p.shownState();
    }
    states[p.number] = p.state;
    done[p.number] = 1;
}

int CRuleKernel::GetProcessNumber() const
{
    return d->number;
}

int CRuleKernel::ProcessType() const
{
    return d->type;
}

const char *CRuleKernel::ProcMaskName() const
{
    return d->maskName.constData();
}

int CRuleKernel::GetCurrentState() const
{
    return d->state;
}

void CRuleKernel::Override(int code, int)
{
    data &p = *d;
    const auto setForce = [&](data::Force force) {
        p.force = force;
        p.forceEnd = p.rule->forceTimeoutSeconds > 0 ? p.table->nowSeconds() + p.rule->forceTimeoutSeconds : 0;
        p.state = p.shownState();
    };
    switch (code) {
    case 0: // Normal: any force or shelving ends
        p.force = data::NoForce;
        p.forceEnd = 0;
        p.state = p.shownState();
        break;
    case 2: setForce(data::ForceOff); break;
    case 3: setForce(data::ForceOn); break;
    case 5: setForce(data::Shelve); break;
    case 4: // Acknowledge (inputs, from the diagnostics window)
    case 7: // Acknowledge All (any rule)
        p.acknowledge();
        break;
    case 8: // Clear a latch
        if (p.alarm == data::Latched) {
            p.alarm = data::Normal;
            p.state = p.shownState();
        }
        break;
    case 9:
    case 10: {
        // Acknowledge this process and what feeds it: the direct inputs, or
        // the whole chain of them.
        if (!p.resolved)
            p.resolve();
        std::set<int> seen{p.number};
        std::vector<int> pending{p.number};
        while (!pending.empty()) {
            CRuleKernel *kernel = p.table->at(pending.back());
            pending.pop_back();
            if (!kernel)
                continue;
            kernel->d->acknowledge();
            if (kernel != this && code == 9)
                continue;
            if (!kernel->d->resolved)
                kernel->d->resolve();
            for (int i = 0; i < kernel->d->inputCount; ++i) {
                const int input = kernel->d->inputs[i];
                if (input >= 0 && seen.insert(input).second)
                    pending.push_back(input);
            }
        }
        break;
    }
    default:
        break;
    }
}

QStringList CRuleKernel::getInputProcessNames() const
{
    QStringList names = d->rule->inputs;
    if (!d->rule->mask.isEmpty())
        names << d->rule->mask;
    return names;
}

void CRuleKernel::SetGreeningRequired(bool required)
{
    greening = required;
}

bool CRuleKernel::greeningRequired()
{
    return greening;
}

void CRuleKernel::setTimeSource(std::function<int64_t()> source)
{
    ruleTable::setClock(std::move(source));
}
