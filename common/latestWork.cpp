#include "latestWork.h"

#include <utility>

latestWork::latestWork()
    : m_thread([this] { run(); })
{
}

latestWork::~latestWork()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join(); // the thread runs what is waiting before it ends
}

void latestWork::submit(std::function<void()> job)
{
    std::function<void()> dropped;
    {
        std::lock_guard lock(m_mutex);
        if (m_waiting)
            ++m_replaced;
        dropped = std::exchange(m_waiting, std::move(job));
    }
    m_wake.notify_one();
    // `dropped` (and what it holds) goes here, outside the lock.
}

void latestWork::finish()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_waiting && !m_running; });
}

int latestWork::ran() const
{
    std::lock_guard lock(m_mutex);
    return m_ran;
}

int latestWork::replaced() const
{
    std::lock_guard lock(m_mutex);
    return m_replaced;
}

void latestWork::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_waiting || m_stop; });
        if (!m_waiting)
            return; // stopped with nothing left to run
        std::function<void()> job = std::exchange(m_waiting, nullptr);
        m_running = true;
        lock.unlock();
        job();
        job = nullptr; // what it held goes outside the lock
        lock.lock();
        m_running = false;
        ++m_ran;
        if (!m_waiting)
            m_idle.notify_all();
    }
}
