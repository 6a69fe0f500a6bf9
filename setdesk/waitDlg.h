#pragma once

#include "ui_waitDlgBase.h"

#include <QDialog>

// The progress window of file transfers: a read-only log of the last lines,
// centred on the screen. It never blocks; it is shown without modality.
class waitDlg : public QDialog, public Ui::waitDlgBase
{
    Q_OBJECT

public:
    static constexpr int maxLogLines = 50;

    explicit waitDlg(QWidget *parent = nullptr);
};
