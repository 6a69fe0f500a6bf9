#pragma once

#include "latestWork.h"
#include "stateFile.h"

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
    // Writes what is still waiting.
    ~stateSaver() = default;

    // Hands a snapshot over to be written; returns at once.
    void save(std::vector<stateFile::entry> snapshot);
    // Returns once every snapshot handed over has been written.
    void finish() { m_work.finish(); }

    // Snapshots written, and those replaced before their turn.
    int written() const { return m_work.ran(); }
    int replaced() const { return m_work.replaced(); }

private:
    stateFile m_file;
    latestWork m_work; // last: its thread ends before the file goes
};
