#include "editSettings.h"

editSettings::editSettings(QWidget *parent)
    : QDialog(parent)
{
    setupUi(this);
}
