// The editors of an installation: the start page, the configuration files
// and the alarm processes. Built as any plugin is, against the plugin
// interface only; the alarm process editor carries the rule library's reader
// and checker of proc_def.cfg.
#include "configFilesEditor.h"
#include "homePage.h"
#include "processEditor.h"
#include "setdesk_plugin.h"

#include <QApplication>
#include <QStyle>

namespace {

const QString homeKey = QStringLiteral("Home");
const QString filesKey = QStringLiteral("Files/Configuration");
const QString processesKey = QStringLiteral("Alarms/Processes");

// Users below this level look at the configuration but check nothing out.
constexpr int editingLevel = 2;

class editorsDescription : public config_plugin_desc
{
public:
    QStringList keys(const QString &, const QString &) override { return {homeKey, filesKey, processesKey}; }

    QPixmap icon(const QString &key) override
    {
        const QStyle::StandardPixmap picture = key == homeKey    ? QStyle::SP_DirHomeIcon
                                               : key == filesKey ? QStyle::SP_FileIcon
                                                                 : QStyle::SP_MessageBoxWarning;
        return QApplication::style()->standardIcon(picture).pixmap(16, 16);
    }

    config_plugin_base *create(const QString &workingFolder, const QString &key, const QString &userLevel) override
    {
        const bool mayEdit = userLevel.trimmed().toInt() >= editingLevel;
        if (key == homeKey)
            return new homePage;
        if (key == filesKey)
            return new configFilesEditor(workingFolder, mayEdit);
        if (key == processesKey)
            return new processEditor(workingFolder, mayEdit);
        return nullptr;
    }
};

} // namespace

extern "C" SETDESK_PLUGIN_ENTRY config_plugin_desc *load_tavex_config_plugin_desc()
{
    return new editorsDescription;
}

extern "C" SETDESK_PLUGIN_ENTRY bool tavex_config_plugin_debug()
{
#ifdef QT_DEBUG
    return true;
#else
    return false;
#endif
}
