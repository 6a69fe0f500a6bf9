#pragma once

#include "AcqConfig.h"
#include "AlarmEventAcqDebugDecorator.h"
#include "LoadDirectory.h"

#include <map>
#include <memory>

// The input modules: alarm folder + "/inputs/al_acq_NNNN.cfg".
class LoadDirectoryInputs : public LoadDirectory
{
public:
    using Records = std::map<QString, std::unique_ptr<AcqConfig>, fileNameOrder>;

    // `engine` receives every module event; `values` feeds the event trace
    // (log flag 0x80) and may be empty.
    LoadDirectoryInputs(const Settings &settings, IAlarmEventAcqFull *engine, inputValueSource values = {});
    ~LoadDirectoryInputs() override;

protected:
    AlmConfig *createRecord(const QString &fileName, int instance, const QString &moduleName, const QString &name,
                            std::unique_ptr<QLibrary> library) override;

public:
    QString folderName() const override;
    QString filePrefix() const override;
    int moduleType() const override;

    const Records &records() const { return m_records; }
    AcqConfig *find(const QString &fileName) const;
    // Deletes every record with its module.
    void clear();
    // Every record has a module object and its module reports a good status
    // (true when there are no records).
    bool acquisitionStartupOk() const;

private:
    IAlarmEventAcqFull *m_engine;
    inputValueSource m_values;
    Records m_records;
};
