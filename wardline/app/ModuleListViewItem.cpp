#include "ModuleListViewItem.h"

#include "moduleListObserver.h"

ModuleListViewItem::ModuleListViewItem(QTreeWidget *view, int moduleType, const QString &module,
                                       const QString &instance, const QString &name, const QString &fileName,
                                       int loadState)
    : QTreeWidgetItem(view), m_moduleType(moduleType)
{
    setText(Type, isInput() ? QStringLiteral("Acquisition") : QStringLiteral("Output"));
    setText(Module, module);
    setText(Instance, instance);
    setText(Name, name);
    setText(Config, fileName);
    setText(TxCount, QStringLiteral("00000000"));
    setText(RxCount, QStringLiteral("00000000"));
    setHealth(moduleListObserver::NoHealth);
    setLoadState(loadState);
}

bool ModuleListViewItem::isInput() const
{
    return m_moduleType == moduleListObserver::Input;
}

void ModuleListViewItem::setHealth(int health)
{
    m_health = health;
    setText(Status, healthText(health));
    setData(Status, HealthRole, health);
}

void ModuleListViewItem::setLoadState(int loadState)
{
    m_loadState = loadState;
    setText(LastEvent, loadStateText(loadState));
}

QString ModuleListViewItem::healthText(int health)
{
    switch (health) {
    case moduleListObserver::HealthOk:
        return QStringLiteral("OK");
    case moduleListObserver::HealthFail:
        return QStringLiteral("Fail");
    default:
        return QString();
    }
}

QString ModuleListViewItem::loadStateText(int loadState)
{
    switch (loadState) {
    case moduleListObserver::NotLoaded:
        return QStringLiteral("NotLoaded");
    case moduleListObserver::Initializing:
        return QStringLiteral("Initializing");
    case moduleListObserver::Running:
        return QStringLiteral("Running");
    case moduleListObserver::InitFailed:
        return QStringLiteral("DLL Init Failed");
    default:
        return QString();
    }
}

// Healthy: white on dark green, selected or not. Failed: red with the normal
// text colour, and a darker red with black text when selected, so that the
// selection still shows without hiding the failure.
void moduleStatusDelegate::applyHealth(QStyleOptionViewItem &option, int health)
{
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    QColor background;
    QColor text;
    if (health == moduleListObserver::HealthOk) {
        background = Qt::darkGreen;
        text = Qt::white;
    } else if (health == moduleListObserver::HealthFail) {
        background = selected ? QColor(0xc0, 0x00, 0x00) : QColor(Qt::red);
        text = selected ? QColor(Qt::black) : option.palette.color(QPalette::Text);
    } else {
        return;
    }
    option.state &= ~QStyle::State_Selected;
    option.backgroundBrush = background;
    option.palette.setColor(QPalette::Text, text);
    option.palette.setColor(QPalette::HighlightedText, text);
}

void moduleStatusDelegate::initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() == ModuleListViewItem::Status)
        applyHealth(*option, index.data(ModuleListViewItem::HealthRole).toInt());
}
