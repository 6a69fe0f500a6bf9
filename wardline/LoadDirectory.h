#pragma once

#include <QString>

#include <memory>

class AlmConfig;
class DebugIdManager;
class IDebug;
class QLibrary;
class moduleListObserver;

// Finds the module configuration files of one kind in the alarm folder,
// shows a row for each, loads each file's library and makes its record.
// LoadDirectoryInputs and LoadDirectoryOutputs own the records.
class LoadDirectory
{
public:
    struct Settings
    {
        QString alarmFolder;
        QString libraryFolder;
        // Tried for a module the tree does not hold: where the modules
        // installed with the programs are (empty: nowhere else).
        QString installedModules;
        bool dbLib = false; // load the database variant ("db" appended) of each module
        int logFlags = 0;   // 0x80: trace the module calls and events
        IDebug *debug = nullptr;
        DebugIdManager *ids = nullptr;
        moduleListObserver *observer = nullptr; // none: nothing is shown
    };

    // Records are kept by file name, in the order of the folder listing
    // (ignoring case, exact name as tie-break).
    struct fileNameOrder
    {
        bool operator()(const QString &a, const QString &b) const;
    };

    explicit LoadDirectory(const Settings &settings);
    virtual ~LoadDirectory();
    LoadDirectory(const LoadDirectory &) = delete;
    LoadDirectory &operator=(const LoadDirectory &) = delete;

protected:
    // Makes the record of one file and keeps it under `fileName`.
    virtual AlmConfig *createRecord(const QString &fileName, int instance, const QString &moduleName,
                                    const QString &name, std::unique_ptr<QLibrary> library) = 0;

public:
    virtual QString folderName() const = 0; // "inputs" / "outputs"
    virtual QString filePrefix() const = 0; // "al_acq_" / "al_out_"
    virtual int initialLoadState() const;   // of the new rows
    virtual int moduleType() const = 0;     // moduleListObserver::ModuleType

    // Reads the folder once. False when the folder is missing or a library
    // could not be loaded; the records are made all the same.
    bool load();
    // Checks the alarm folder, then loads inputs and outputs; false when the
    // folder is missing or either kind failed. An exception ends the process.
    static bool loadAll(LoadDirectory &inputs, LoadDirectory &outputs);

    // The instance number of a configuration file name, -1 when the name is not one.
    static int instanceOf(const QString &fileName, const QString &prefix);
    // With dbLib, names longer than 2 characters get "db" unless they end in it.
    static QString libraryName(const QString &moduleName, bool dbLib);

    QString folderPath() const;
    // Where a module's library is looked up (QLibrary adds "lib" and ".so").
    QString libraryPath(const QString &moduleName) const;
    // The modules installed beside this program (lib/<arch>/tavex/alarms
    // next to its bin folder), or empty in a build that installs none.
    static QString installedModuleFolder();
    const Settings &settings() const { return m_settings; }

    // Row updates of the initialisation passes; nothing without an observer.
    void reportHealth(const QString &fileName, int health) const;
    void reportLoadState(const QString &fileName, int loadState) const;

protected:
    void log(const QString &line) const;

private:
    Settings m_settings;
};
