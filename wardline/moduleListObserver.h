#pragma once

#include <QString>

// What the module host tells the window: one row per module configuration
// file, its health and load state (rows are found by file name), and the
// lines the window shows in its message pane. Called on the GUI thread.
class moduleListObserver
{
public:
    enum ModuleType { Input = 0, Output = 1 };
    enum Health { NoHealth = 0, HealthOk = 1, HealthFail = 2 };
    enum LoadState { NotLoaded = 0, Initializing = 1, Running = 2, InitFailed = 3 };

    // `instance` is already formatted ("%04d").
    virtual void addRow(int type, const QString &module, const QString &instance, const QString &name,
                        const QString &fileName, int loadState) = 0;
    virtual void setHealth(const QString &fileName, int health) = 0;
    virtual void setLoadState(const QString &fileName, int loadState) = 0;
    // A line for the window's error message list.
    virtual void showMessage(const QString &line) = 0;

protected:
    ~moduleListObserver() = default;
};
