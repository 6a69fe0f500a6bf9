#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Runs jobs one at a time on a thread of its own, for work of which only the
// newest matters (a file rewritten whole each time): a job handed over while
// another runs replaces any job still waiting. finish() returns once every
// job handed over has run or been replaced; the destructor finishes first.
class latestWork
{
public:
    latestWork();
    ~latestWork();

    latestWork(const latestWork &) = delete;
    latestWork &operator=(const latestWork &) = delete;

    // Returns at once.
    void submit(std::function<void()> job);
    void finish();

    // Jobs run, and jobs replaced before their turn.
    int ran() const;
    int replaced() const;

private:
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::function<void()> m_waiting;
    bool m_running = false;
    bool m_stop = false;
    int m_ran = 0;
    int m_replaced = 0;
    std::thread m_thread; // last: starts once everything above exists
};
