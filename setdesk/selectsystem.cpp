#include "selectsystem.h"

#include <QKeyEvent>
#include <QSettings>

namespace {

const QString lastSystemKey = QStringLiteral("QX_ConfigEdit/LastSystem");

} // namespace

selectsystem::selectsystem(QWidget *parent)
    : QDialog(parent)
{
    setupUi(this);
    connect(list, &QListWidget::itemSelectionChanged, this,
            [this] { listSelectionChanged(list->selectedItems().value(0)); });
    connect(list, &QListWidget::itemDoubleClicked, this, &selectsystem::listReturnPressed);
    // Return is taken here rather than through itemActivated, which some
    // styles also emit for a single click.
    list->installEventFilter(this);
    buttonOk->setEnabled(false);
    m_lastSystem = QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk")).value(lastSystemKey).toString();
}

void selectsystem::addSystem(const QString &name)
{
    auto *item = new QListWidgetItem(name, list);
    // No remembered system is no reason to preselect an unnamed one.
    if (!m_lastSystem.isEmpty() && name == m_lastSystem) {
        list->setCurrentItem(item);
        buttonOk->setEnabled(true);
    }
}

QString selectsystem::chosenSystem() const
{
    const QListWidgetItem *item = list->currentItem();
    return item ? item->text() : QString();
}

void selectsystem::listSelectionChanged(QListWidgetItem *item)
{
    if (item && !item->text().isEmpty())
        buttonOk->setEnabled(true);
}

void selectsystem::listReturnPressed(QListWidgetItem *item)
{
    if (item)
        accept();
}

void selectsystem::accept()
{
    if (const QListWidgetItem *item = list->currentItem())
        QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk")).setValue(lastSystemKey, item->text());
    QDialog::accept();
}

bool selectsystem::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            listReturnPressed(list->currentItem());
            // Consumed either way: the dialog's default button must not take
            // Return as well (OK may stand for no system at all).
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
