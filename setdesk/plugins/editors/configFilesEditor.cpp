#include "configFilesEditor.h"

configFilesEditor::configFilesEditor(const QString &workingFolder, bool mayEdit, QWidget *parent)
    : config_plugin_base(parent), m_workingFolder(workingFolder), m_mayEdit(mayEdit)
{
}
