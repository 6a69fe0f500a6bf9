#include "pluginLibrary.h"

#include "setdesk_log.h"

#include <QFileInfo>

#include <exception>

pluginLibrary::pluginLibrary(const QString &path)
    : m_path(path), m_library(path)
{
}

pluginLibrary::~pluginLibrary()
{
    if (m_library.isLoaded())
        m_library.unload();
}

QString pluginLibrary::fileName() const
{
    return QFileInfo(m_path).fileName();
}

bool pluginLibrary::refuse(const QString &reason)
{
    m_error = reason;
    qCDebug(lcSetdesk).noquote() << reason;
    m_library.unload();
    m_describe = nullptr;
    return false;
}

bool pluginLibrary::load(buildFilter filter)
{
    if (!m_library.load())
        return refuse(QStringLiteral("Library %1 cannot be loaded: %2").arg(m_path, m_library.errorString()));
    m_describe = reinterpret_cast<load_tavex_config_plugin_desc_t>(m_library.resolve("load_tavex_config_plugin_desc"));
    if (!m_describe)
        return refuse(
            QStringLiteral("Library %1 does not have entry point \"load_tavex_config_plugin_desc\"").arg(m_path));
    const auto isDebug = reinterpret_cast<tavex_config_plugin_debug_t>(m_library.resolve("tavex_config_plugin_debug"));
    if (isDebug && filter != buildFilter::none) {
        bool debugBuild = false;
        if (!guarded("tavex_config_plugin_debug", [&] { debugBuild = isDebug(); }))
            return refuse(QStringLiteral("Library %1 failed to say its build.").arg(m_path));
        if ((filter == buildFilter::debug && !debugBuild) || (filter == buildFilter::release && debugBuild))
            return refuse(QStringLiteral("Library %1 is not requested configuration.").arg(m_path));
    }
    return true;
}

std::unique_ptr<config_plugin_desc> pluginLibrary::description()
{
    config_plugin_desc *desc = nullptr;
    if (m_describe)
        guarded("load_tavex_config_plugin_desc", [&] { desc = m_describe(); });
    return std::unique_ptr<config_plugin_desc>(desc);
}

bool pluginLibrary::guard(const QString &who, const char *what, const std::function<void()> &call)
{
    try {
        call();
        return true;
    } catch (const std::exception &e) {
        qCWarning(lcSetdesk).noquote()
            << QStringLiteral("Plugin %1: %2 threw an exception: %3").arg(who, QLatin1String(what), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        qCWarning(lcSetdesk).noquote() << QStringLiteral("Plugin %1: %2 threw an exception").arg(who, QLatin1String(what));
    }
    return false;
}
