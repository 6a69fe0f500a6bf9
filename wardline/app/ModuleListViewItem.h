#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidgetItem>

// One row of the module list: a module configuration file with its counters,
// its health ("Status") and its load state ("Last Event").
class ModuleListViewItem : public QTreeWidgetItem
{
public:
    enum Column { Type, Module, Instance, Name, Config, TxCount, RxCount, Status, LastEvent, Progress, ColumnCount };
    // The health of the row, for the delegate that colours "Status".
    static constexpr int HealthRole = Qt::UserRole + 1;

    // `moduleType` and `loadState` take the values of moduleListObserver.
    ModuleListViewItem(QTreeWidget *view, int moduleType, const QString &module, const QString &instance,
                       const QString &name, const QString &fileName, int loadState);

    int moduleType() const { return m_moduleType; }
    bool isInput() const;
    QString fileName() const { return text(Config); }

    int health() const { return m_health; }
    void setHealth(int health);
    int loadState() const { return m_loadState; }
    void setLoadState(int loadState);

    static QString healthText(int health);
    static QString loadStateText(int loadState);

private:
    int m_moduleType;
    int m_health = 0;
    int m_loadState = 0;
};

// Paints the "Status" cell in the colours of the row's health, which stay
// visible while the row is selected.
class moduleStatusDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // Sets background, text colour and selection state of a "Status" cell.
    static void applyHealth(QStyleOptionViewItem &option, int health);

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
};
