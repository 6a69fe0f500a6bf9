#include "waitDlg.h"

#include <QScreen>

waitDlg::waitDlg(QWidget *parent)
    : QDialog(parent)
{
    setupUi(this);
    setModal(false);
    progressLog->setMaximumBlockCount(maxLogLines);
    if (const QScreen *display = screen()) {
        QRect frame = geometry();
        frame.moveCenter(display->availableGeometry().center());
        move(frame.topLeft());
    }
}
