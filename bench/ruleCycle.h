#pragma once

// One calculation cycle as the rule library runs it, shared by the library's
// benchmark and the engine's, so that both time the same loop: reset the
// arrays, set up every process and feed the Input processes their values
// (1-based indexes into `inputs`), then passes of CalcNow until every process
// is done. `kernelAt(i)` gives the i-th of `count` evaluators. Returns the
// last pass run, counted from 0.

#include "CRuleKernel.h"

#include <algorithm>
#include <vector>

template <typename KernelAt>
int ruleCycle(int count, KernelAt kernelAt, std::vector<int> &states, std::vector<int> &done,
              std::vector<int> &errors, const std::vector<int> &inputs)
{
    std::fill(states.begin(), states.end(), -1);
    std::fill(done.begin(), done.end(), 0);
    std::fill(errors.begin(), errors.end(), -1);
    for (int i = 0; i < count; ++i) {
        CRuleKernel *kernel = kernelAt(i);
        kernel->InitProc(states.data(), done.data(), errors.data(), count);
        int block = 0;
        int index = 0;
        if (kernel->getAcqSettings(block, index) && block && index)
            kernel->SetInputState(index <= int(inputs.size()) ? inputs[size_t(index - 1)] : -1);
    }
    int pass = 0;
    for (; pass < 200; ++pass) {
        bool all = true;
        for (int i = 0; i < count; ++i) {
            if (!done[size_t(i)])
                kernelAt(i)->CalcNow();
            all = all && done[size_t(i)];
        }
        if (all)
            break;
    }
    return pass;
}
