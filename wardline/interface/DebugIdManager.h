#pragma once

#include <atomic>

// Numbers the traced calls of all debug decorators, from 1.
class DebugIdManager
{
public:
    int nextId() { return ++m_last; }

private:
    std::atomic<int> m_last{0};
};
