#include "LoadDirectoryInputs.h"

#include "interface/alarms_input_base.h"
#include "logFlags.h"
#include "moduleListObserver.h"

#include <QLibrary>

LoadDirectoryInputs::LoadDirectoryInputs(const Settings &settings, IAlarmEventAcqFull *engine,
                                         inputValueSource values)
    : LoadDirectory(settings), m_engine(engine), m_values(std::move(values))
{
}

LoadDirectoryInputs::~LoadDirectoryInputs()
{
    clear();
}

AlmConfig *LoadDirectoryInputs::createRecord(const QString &fileName, int instance, const QString &moduleName,
                                             const QString &name, std::unique_ptr<QLibrary> library)
{
    auto record = std::make_unique<AcqConfig>(fileName, folderPath() + QLatin1Char('/') + fileName, instance,
                                              moduleName, name, std::move(library), settings().debug, m_engine);
    if (settings().logFlags & logFlags::Drivers)
        record->setEventDecorator(std::make_unique<AlarmEventAcqDebugDecorator>(
            record.get(), instance, settings().debug, settings().ids, m_values));
    AcqConfig *kept = record.get();
    m_records[fileName] = std::move(record);
    return kept;
}

QString LoadDirectoryInputs::folderName() const
{
    return QStringLiteral("inputs");
}

QString LoadDirectoryInputs::filePrefix() const
{
    return QStringLiteral("al_acq_");
}

int LoadDirectoryInputs::moduleType() const
{
    return moduleListObserver::Input;
}

AcqConfig *LoadDirectoryInputs::find(const QString &fileName) const
{
    const auto found = m_records.find(fileName);
    return found == m_records.end() ? nullptr : found->second.get();
}

// In file order, so that the records' closing lines come in a known order.
void LoadDirectoryInputs::clear()
{
    while (!m_records.empty())
        m_records.erase(m_records.begin());
}

bool LoadDirectoryInputs::acquisitionStartupOk() const
{
    for (const auto &[fileName, record] : m_records) {
        if (!record->module() || !record->module()->getStatusOk())
            return false;
    }
    return true;
}
