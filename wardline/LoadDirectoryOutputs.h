#pragma once

#include "AlarmEventOutDebugDecorator.h"
#include "LoadDirectory.h"
#include "OutConfig.h"

#include <map>
#include <memory>

// The output modules: alarm folder + "/outputs/al_out_NNNN.cfg".
class LoadDirectoryOutputs : public LoadDirectory
{
public:
    using Records = std::map<QString, std::unique_ptr<OutConfig>, fileNameOrder>;

    // `engine` receives every module event; `states` feeds the event trace
    // (log flag 0x80) and may be empty.
    LoadDirectoryOutputs(const Settings &settings, IAlarmEventOutFull *engine, processStateSource states = {});
    ~LoadDirectoryOutputs() override;

protected:
    AlmConfig *createRecord(const QString &fileName, int instance, const QString &moduleName, const QString &name,
                            std::unique_ptr<QLibrary> library) override;

public:
    QString folderName() const override;
    QString filePrefix() const override;
    int moduleType() const override;

    const Records &records() const { return m_records; }
    OutConfig *find(const QString &fileName) const;
    // Deletes every record with its module.
    void clear();

private:
    IAlarmEventOutFull *m_engine;
    processStateSource m_states;
    Records m_records;
};
