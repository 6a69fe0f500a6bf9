#pragma once

#include "ui_editSettingsBase.h"

#include <QDialog>

// The settings dialog: server name and both ports, as free text.
class editSettings : public QDialog, public Ui::editSettingsBase
{
    Q_OBJECT

public:
    explicit editSettings(QWidget *parent = nullptr);
};
