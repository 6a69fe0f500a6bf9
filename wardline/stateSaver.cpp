#include "stateSaver.h"

stateSaver::stateSaver(stateFile file)
    : m_file(std::move(file)), m_thread([this] { run(); })
{
}

stateSaver::~stateSaver()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join(); // the thread writes what is waiting before it ends
}

void stateSaver::save(std::vector<stateFile::entry> snapshot)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_waiting)
            ++m_replaced;
        m_waiting = std::move(snapshot);
    }
    m_wake.notify_one();
}

void stateSaver::finish()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_waiting && !m_writing; });
}

int stateSaver::written() const
{
    std::lock_guard lock(m_mutex);
    return m_written;
}

int stateSaver::replaced() const
{
    std::lock_guard lock(m_mutex);
    return m_replaced;
}

void stateSaver::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_waiting || m_stop; });
        if (!m_waiting)
            return; // stopped with nothing left to write
        std::vector<stateFile::entry> snapshot = std::move(*m_waiting);
        m_waiting.reset();
        m_writing = true;
        lock.unlock();
        m_file.save(snapshot);
        snapshot = {}; // freed outside the lock
        lock.lock();
        m_writing = false;
        ++m_written;
        if (!m_waiting)
            m_idle.notify_all();
    }
}
