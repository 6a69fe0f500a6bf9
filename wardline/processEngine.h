#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CRuleKernel;

// The alarm processes of one alarm system: one evaluator per section of
// proc_def.cfg, the arrays they share, and the steps of a calculation cycle.
// The caller holds the process lock around every call, and the
// acquisition-store lock around setUpProcesses().
class processEngine
{
public:
    // Where the engine's messages go: debug output, log file, and the
    // window's message list.
    struct output
    {
        std::function<void(const QString &)> debug;
        std::function<void(const QString &)> logFile;
        std::function<void(int line, int lines)> progress; // while loading
        std::function<void(const QString &)> show;
    };

    // What one cycle found.
    struct cycleResult
    {
        int extraPasses = 0;
        bool allCalculated = true;
        int64_t nextEndTime = 0; // earliest override end still ahead, seconds since 1970 (0: none)
    };

    static constexpr int maxPasses = 200;
    // Start-up delay before the first cycle: per process, and its bounds.
    static constexpr int startupMsPerProcess = 4;
    static constexpr int minStartupDelayMs = 5000;
    static constexpr int maxStartupDelayMs = 45000;

    explicit processEngine(output out = output());
    ~processEngine();

    // Loads alarmFolder/proc_def.cfg; false when it does not exist. Saved
    // states and override end times are handed to the processes of those names.
    bool load(const QString &alarmFolder, const QHash<QString, int> &savedStates,
              const QHash<QString, int64_t> &overrideEndTimes);
    void clear();

    int count() const { return int(m_kernels.size()); }
    const QStringList &names() const { return m_names; }
    const QList<CRuleKernel *> &processes() const { return m_processList; }
    // 4 ms per process, between 5 and 45 seconds.
    int startupDelayMs() const;
    bool hasSavedStates() const { return m_hasSavedStates; }

    // Cycle, in order: reset the arrays; set every process up and feed the
    // inputs (`input(block, index)` gives a value or -1; `now` in seconds
    // since 1970); run the passes.
    void resetArrays();
    void setUpProcesses(const std::function<int(int block, int index)> &input, int64_t now, cycleResult &result);
    void calculate(cycleResult &result);

    // Arrays, by process position.
    const std::vector<int> &states() const { return m_states; }
    const std::vector<int> &done() const { return m_done; }
    const std::vector<int> &errors() const { return m_errors; }
    const std::vector<int> &displayedStates() const { return m_displayed; }
    const std::vector<int> &savedStates() const { return m_saved; }
    // What the state file keeps: the last calculated state, or, for a process
    // not calculated since the start, the state it was loaded with.
    int stateToKeep(int position) const;
    // False for a process whose name is not UTF-8: its state is neither
    // restored nor saved, since the name cannot tell it from others.
    bool keepsState(int position) const { return m_keepsState[size_t(position)]; }
    int64_t overrideEndTime(int position) const;

    CRuleKernel *process(int position) const { return m_kernels[size_t(position)].get(); }
    int find(const QString &name) const { return m_names.indexOf(name); }

private:
    output m_out;
    std::vector<std::unique_ptr<CRuleKernel>> m_kernels;
    QList<CRuleKernel *> m_processList;
    QStringList m_names;
    std::vector<int> m_states;
    std::vector<int> m_done;
    std::vector<int> m_errors;
    std::vector<int> m_displayed;
    std::vector<int> m_saved;
    std::vector<bool> m_keepsState;
    bool m_hasSavedStates = false;
};
