#pragma once

#include "config_plugin_base.h"

class configFilesEditor : public config_plugin_base
{
    Q_OBJECT

public:
    configFilesEditor(const QString &workingFolder, bool mayEdit, QWidget *parent = nullptr);

private:
    QString m_workingFolder;
    bool m_mayEdit;
};
