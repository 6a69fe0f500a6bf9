#include "processRowDelegate.h"

#include "processListModel.h"

void processRowDelegate::initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (!option->state.testFlag(QStyle::State_Selected))
        return;
    const QVariant selection = index.data(processListModel::SelectionBackgroundRole);
    if (!selection.isValid())
        return;
    // The cell is painted as unselected on the state's own selection colour;
    // "normal" selected text stays the style's.
    const QVariant text = index.data(processListModel::SelectedTextRole);
    const QColor textColour = text.isValid() ? text.value<QColor>() : option->palette.color(QPalette::HighlightedText);
    option->state &= ~QStyle::State_Selected;
    option->backgroundBrush = selection.value<QColor>();
    option->palette.setColor(QPalette::Text, textColour);
    option->palette.setColor(QPalette::HighlightedText, textColour);
}
