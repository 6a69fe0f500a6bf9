#pragma once

#include <QStyledItemDelegate>

// Paints a selected process row in the selection colours of its state
// (processListModel's selection roles), so that the state still shows.
class processRowDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;
};
