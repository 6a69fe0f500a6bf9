#include "config_plugin_base.h"

config_plugin_base::config_plugin_base(QWidget *parent)
    : QWidget(parent)
{
}

config_plugin_base::~config_plugin_base() = default;

void config_plugin_base::dockWindows(QList<QWidget *> &) {}

void config_plugin_base::menus(QList<QMenu *> &) {}

void config_plugin_base::reserved() {}

bool config_plugin_base::isModified()
{
    return false;
}

void config_plugin_base::setActive(bool) {}

void config_plugin_base::navigate(const QString &, const QString &) {}

void config_plugin_base::commsEvent(response &) {}

void config_plugin_base::save() {}

QString config_plugin_base::about()
{
    return QString();
}
