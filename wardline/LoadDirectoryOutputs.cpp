#include "LoadDirectoryOutputs.h"

#include "interface/alarms_output_base.h"
#include "logFlags.h"
#include "moduleListObserver.h"

#include <QLibrary>

LoadDirectoryOutputs::LoadDirectoryOutputs(const Settings &settings, IAlarmEventOutFull *engine,
                                           processStateSource states)
    : LoadDirectory(settings), m_engine(engine), m_states(std::move(states))
{
}

LoadDirectoryOutputs::~LoadDirectoryOutputs()
{
    clear();
}

AlmConfig *LoadDirectoryOutputs::createRecord(const QString &fileName, int instance, const QString &moduleName,
                                              const QString &name, std::unique_ptr<QLibrary> library)
{
    auto record = std::make_unique<OutConfig>(fileName, folderPath() + QLatin1Char('/') + fileName, instance,
                                              moduleName, name, std::move(library), settings().debug, m_engine);
    if (settings().logFlags & logFlags::Drivers)
        record->setEventDecorator(std::make_unique<AlarmEventOutDebugDecorator>(
            record.get(), instance, settings().debug, settings().ids, m_states));
    OutConfig *kept = record.get();
    m_records[fileName] = std::move(record);
    return kept;
}

QString LoadDirectoryOutputs::folderName() const
{
    return QStringLiteral("outputs");
}

QString LoadDirectoryOutputs::filePrefix() const
{
    return QStringLiteral("al_out_");
}

int LoadDirectoryOutputs::moduleType() const
{
    return moduleListObserver::Output;
}

OutConfig *LoadDirectoryOutputs::find(const QString &fileName) const
{
    const auto found = m_records.find(fileName);
    return found == m_records.end() ? nullptr : found->second.get();
}

// In file order, so that the records' closing lines come in a known order.
void LoadDirectoryOutputs::clear()
{
    while (!m_records.empty())
        m_records.erase(m_records.begin());
}
