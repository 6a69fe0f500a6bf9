#pragma once

#include "setdesk_plugin.h"

#include <QLibrary>
#include <QString>

#include <functional>
#include <memory>

// One editor plugin library: loaded, its entry points resolved, its build
// checked against the editor's -DEBUG / -RELEASE choice. A library that fails
// a step is unloaded at once and says why in one line.
class pluginLibrary
{
public:
    enum class buildFilter { none = 0, debug = 1, release = 2 };

    explicit pluginLibrary(const QString &path);
    ~pluginLibrary();
    pluginLibrary(const pluginLibrary &) = delete;
    pluginLibrary &operator=(const pluginLibrary &) = delete;

    // Loads and checks the library; false (and unloaded, errorString() set)
    // when it cannot be used.
    bool load(buildFilter filter);
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }
    QString fileName() const;

    // A new description from the library's entry point (null when it gives
    // none or throws); the caller owns it.
    std::unique_ptr<config_plugin_desc> description();

    // Runs a call into the plugin: an exception it throws is caught and
    // reported in the debug output with the library's name. False when it threw.
    bool guarded(const char *what, const std::function<void()> &call) const { return guard(fileName(), what, call); }
    // The same for any plugin code, reported under `who`.
    static bool guard(const QString &who, const char *what, const std::function<void()> &call);

private:
    bool refuse(const QString &reason);

    QString m_path;
    QLibrary m_library;
    load_tavex_config_plugin_desc_t m_describe = nullptr;
    QString m_error;
};
