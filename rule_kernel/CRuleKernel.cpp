#include "CRuleKernel.h"

#include "ruleDefinition.h"
#include "ruleTable.h"

#include <QByteArray>

#include <atomic>
#include <set>

namespace {

// Alarm-management states, as the engine shows and stores them.
enum State { Off = 0, On = 1, ForcedOff = 2, ForcedOn = 3, Acknowledged = 4, Shelved = 5, LatchedState = 6 };
enum Error { RuleInvalid = 1, InputInvalid = 2, MaskInvalid = 3, InternalError = 4 };

std::atomic<bool> greening{false};

// A process counts as in alarm for the processes that read it while it is
// ON, acknowledged but still in alarm, or forced on.
inline bool inAlarm(int state)
{
    return state == On || state == Acknowledged || state == ForcedOn;
}

} // namespace

struct CRuleKernel::data
{
    // What the alarm does, apart from forces.
    enum Alarm { Normal, Unacknowledged, AcknowledgedAlarm, Latched };
    enum Force { NoForce, ForceOff, ForceOn, Shelve };

    // What every cycle touches comes first, so that it shares cache lines.
    int *states = nullptr;
    int *done = nullptr;
    int *errors = nullptr;
    int count = 0;
    int number = 0;
    int inputValue = -1; // -1: unknown (no value from the module)
    int type = ruleDefinition::Invalid; // of the loaded rule
    int state = Off;
    Alarm alarm = Normal;
    Force force = NoForce;
    int mask = -1;
    bool resolved = false;
    bool unresolvedInput = false;
    bool unresolvedMask = false;
    bool positionsChecked = false; // inputs and mask lie inside the arrays
    std::vector<int> inputs; // positions of the processes read
    int64_t forceEnd = 0;
    // Timers: when the watched condition last changed, and what came out.
    bool lastInput = false;
    bool held = false;
    int64_t changedAtMs = 0;
    int64_t pulseEndMs = 0;
    ruleTable *clock = nullptr;

    std::shared_ptr<ruleTable> table;
    ruleDefinition rule;
    QByteArray name;
    QByteArray maskName;

    void resolve()
    {
        resolved = true;
        for (const QString &input : rule.inputs) {
            const int position = table->find(input);
            unresolvedInput |= position < 0;
            inputs.push_back(position);
        }
        if (!rule.mask.isEmpty()) {
            mask = table->find(rule.mask);
            unresolvedMask = mask < 0;
        }
    }

    bool positionsInside() const
    {
        for (int position : inputs) {
            if (position >= count)
                return false;
        }
        return mask < count;
    }

    void fail(Error code) const
    {
        if (errors && number >= 0 && number < count)
            errors[number] = code;
    }

    bool inputsDone() const
    {
        for (int position : inputs) {
            if (!done[position])
                return false;
        }
        return true;
    }

    bool condition()
    {
        const int64_t now = clock->nowMs();
        switch (type) {
        case ruleDefinition::Input:
            switch (rule.comparison) {
            case ruleDefinition::Equal: return inputValue == rule.threshold;
            case ruleDefinition::NotEqual: return inputValue != rule.threshold;
            case ruleDefinition::AtLeast: return inputValue >= rule.threshold;
            case ruleDefinition::AtMost: return inputValue <= rule.threshold;
            case ruleDefinition::Above: return inputValue > rule.threshold;
            case ruleDefinition::Below: return inputValue < rule.threshold;
            }
            return false;
        case ruleDefinition::And:
            for (int position : inputs) {
                if (!inAlarm(states[position]))
                    return false;
            }
            return true;
        case ruleDefinition::Or:
            for (int position : inputs) {
                if (inAlarm(states[position]))
                    return true;
            }
            return false;
        case ruleDefinition::Not:
            return !inAlarm(states[inputs.front()]);
        case ruleDefinition::Truth:
            for (const QString &row : rule.onRows) {
                bool match = true;
                for (size_t i = 0; i < inputs.size() && match; ++i) {
                    const QChar want = row.at(qsizetype(i));
                    match = want == u'x' || (want == u'1') == inAlarm(states[inputs[i]]);
                }
                if (match)
                    return true;
            }
            return false;
        case ruleDefinition::Time: {
            if (rule.window) {
                const int minute = clock->localMinute();
                int day = clock->localWeekday();
                const bool wraps = rule.toMinute <= rule.fromMinute;
                // After midnight a window that began the day before still counts for that day.
                if (wraps && minute < rule.toMinute)
                    day = (day + 6) % 7;
                const bool inTime = wraps ? minute >= rule.fromMinute || minute < rule.toMinute
                                          : minute >= rule.fromMinute && minute < rule.toMinute;
                return inTime && (rule.days & (1 << day));
            }
            const bool input = inAlarm(states[inputs.front()]);
            if (input && !lastInput)
                pulseEndMs = now + int64_t(rule.pulseSeconds) * 1000;
            lastInput = input;
            return now < pulseEndMs;
        }
        case ruleDefinition::Holdoff: {
            const bool input = inAlarm(states[inputs.front()]);
            if (input != lastInput) {
                lastInput = input;
                changedAtMs = now;
            }
            const int64_t steady = now - changedAtMs;
            if (!held && input && steady >= int64_t(rule.onDelaySeconds) * 1000)
                held = true;
            else if (held && !input && steady >= int64_t(rule.offDelaySeconds) * 1000)
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
                alarm = rule.latching ? Latched : Normal;
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

CRuleKernel::CRuleKernel(int number, const char *name, bool)
    : d(std::make_unique<data>())
{
    d->number = number;
    d->name = name ? QByteArray(name) : QByteArray();
    d->table = ruleTable::join(number, this, QString::fromUtf8(d->name));
    d->clock = d->table.get();
}

CRuleKernel::~CRuleKernel()
{
    d->table->leave(d->number, this);
}

const char *CRuleKernel::ProcName() const
{
    return d->name.constData();
}

bool CRuleKernel::LoadSettings(char *body, unsigned long length)
{
    const bool loaded = ruleDefinition::parse(body, length, d->rule);
    if (!loaded)
        d->rule = ruleDefinition();
    d->type = loaded ? d->rule.type : ruleDefinition::Invalid;
    d->maskName = d->rule.mask.toUtf8();
    d->resolved = false;
    d->positionsChecked = false;
    d->inputs.clear();
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
    case LatchedState: d->alarm = d->rule.latching ? data::Latched : data::Normal; break;
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
    d->states = states;
    d->done = done;
    d->errors = errors;
    if (d->count != count)
        d->positionsChecked = false;
    d->count = count;
    d->inputValue = -1;
    // The first process of the list sets the time for the whole cycle.
    if (d->number == 0)
        d->table->startCycle();
}

bool CRuleKernel::getAcqSettings(int &block, int &index) const
{
    if (d->type != ruleDefinition::Input)
        return false;
    block = d->rule.block;
    index = d->rule.index;
    return true;
}

void CRuleKernel::SetInputState(int value)
{
    d->inputValue = value;
}

void CRuleKernel::CalcNow()
{
    data &p = *d;
    if (!p.states || !p.done || p.number < 0 || p.number >= p.count) {
        p.fail(InternalError);
        return;
    }
    if (p.type == ruleDefinition::Invalid) {
        p.fail(RuleInvalid);
        return;
    }
    if (!p.positionsChecked) {
        if (!p.resolved)
            p.resolve();
        if (!p.positionsInside()) {
            p.fail(InternalError);
            return;
        }
        p.positionsChecked = true;
    }
    // Reads wait until what they read is calculated in this cycle.
    if (p.unresolvedInput || !p.inputsDone() || (p.type == ruleDefinition::Input && p.inputValue == -1)) {
        p.fail(InputInvalid);
        return;
    }
    if (p.unresolvedMask || (p.mask >= 0 && !p.done[p.mask])) {
        p.fail(MaskInvalid);
        return;
    }

    if (p.force != data::NoForce && p.forceEnd > 0 && p.clock->nowSeconds() >= p.forceEnd) {
        p.force = data::NoForce;
        p.forceEnd = 0;
    }
    const bool alarmed = p.condition();

    if (p.type == ruleDefinition::Input && greening.load(std::memory_order_relaxed)) {
        // A colouring run must be seen to reach every output: inputs show
        // what the modules report, without latches or forces.
        p.alarm = alarmed ? data::Unacknowledged : data::Normal;
        p.state = alarmed ? On : Off;
    } else if (p.mask >= 0 && inAlarm(p.states[p.mask])) {
        // Suppressed: no alarm, and none remembered for when the mask clears.
        p.alarm = data::Normal;
        p.state = p.shownState();
    } else {
        p.step(alarmed);
        p.state = p.shownState();
    }
    p.states[p.number] = p.state;
    p.done[p.number] = 1;
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
        p.forceEnd = p.rule.forceTimeoutSeconds > 0 ? p.table->nowSeconds() + p.rule.forceTimeoutSeconds : 0;
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
            for (int input : kernel->d->inputs) {
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
    QStringList names = d->rule.inputs;
    if (!d->rule.mask.isEmpty())
        names << d->rule.mask;
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
