#pragma once

#include "stateFile.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// Writes the states file on a thread of its own, so that a calculation cycle
// only takes a snapshot of the states. Snapshots are written whole, in the
// order given; one handed over while a write runs replaces any snapshot
// still waiting (only the latest matters). Every write goes through
// stateFile::save, which replaces the file only once the new one is
// complete.
class stateSaver
{
public:
    explicit stateSaver(stateFile file);
    // Writes what is still waiting, then ends the thread.
    ~stateSaver();

    stateSaver(const stateSaver &) = delete;
    stateSaver &operator=(const stateSaver &) = delete;

    // Hands a snapshot over to be written; returns at once.
    void save(std::vector<stateFile::entry> snapshot);
    // Returns once every snapshot handed over has been written.
    void finish();

    // Snapshots written, and those replaced before their turn.
    int written() const;
    int replaced() const;

private:
    void run();

    stateFile m_file;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::optional<std::vector<stateFile::entry>> m_waiting;
    bool m_writing = false;
    bool m_stop = false;
    int m_written = 0;
    int m_replaced = 0;
    std::thread m_thread; // last: starts once everything above exists
};
