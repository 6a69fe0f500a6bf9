#include "stateSaver.h"

#include <memory>

stateSaver::stateSaver(stateFile file)
    : m_file(std::move(file))
{
}

void stateSaver::save(std::vector<stateFile::entry> snapshot)
{
    // Shared, so that the job stays cheap to move around.
    auto entries = std::make_shared<const std::vector<stateFile::entry>>(std::move(snapshot));
    m_work.submit([this, entries] { m_file.save(*entries); });
}
