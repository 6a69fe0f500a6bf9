#pragma once

#include "rule_kernel_global.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// The evaluator of one alarm process: its rule (from the section body of
// proc_def.cfg, see docs/rules.md), its alarm state, and the operator's
// forces. Evaluators of one load share a table of process names.
class RULE_KERNEL_EXPORT CRuleKernel
{
public:
    CRuleKernel(int number, const char *name, bool unused);
    ~CRuleKernel();

    CRuleKernel(const CRuleKernel &) = delete;
    CRuleKernel &operator=(const CRuleKernel &) = delete;

    // Evaluators made one after the other lie next to each other in memory,
    // so that a cycle over many thousand of them stays in the caches.
    static void *operator new(size_t size);
    static void operator delete(void *object, size_t size);

    const char *ProcName() const;
    bool LoadSettings(char *body, unsigned long length);
    void setInitialState(int state);
    void SetOverrideEndTime(int64_t secondsSince1970);
    int64_t GetOverrideEndTime() const;
    void InitProc(int *states, int *done, int *errors, int count);
    bool getAcqSettings(int &block, int &index) const;
    void SetInputState(int value);
    void CalcNow();
    int GetProcessNumber() const;
    int ProcessType() const;
    const char *ProcMaskName() const;
    int GetCurrentState() const;
    void Override(int code, int reserved);
    QStringList getInputProcessNames() const;

    static void SetGreeningRequired(bool required);
    static bool greeningRequired();
    // Where evaluators take the time from (milliseconds since 1970-01-01Z);
    // the system clock by default, a fixed clock in tests.
    static void setTimeSource(std::function<int64_t()> source);

private:
    struct data;
    std::shared_ptr<class ruleTable> m_table;
    data *d; // in the table's memory, next to the other processes' data
};
