#include "processEditor.h"

processEditor::processEditor(const QString &workingFolder, bool mayEdit, QWidget *parent)
    : config_plugin_base(parent), m_workingFolder(workingFolder), m_mayEdit(mayEdit)
{
}
