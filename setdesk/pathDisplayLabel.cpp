#include "pathDisplayLabel.h"

#include <QMouseEvent>

pathDisplayLabel::pathDisplayLabel(const QString &text, const QString &path, QWidget *parent)
    : QLabel(text, parent)
    , m_path(path)
{
    // The text is a path part, never markup.
    setTextFormat(Qt::PlainText);
}

void pathDisplayLabel::mouseReleaseEvent(QMouseEvent *event)
{
    QLabel::mouseReleaseEvent(event);
    // A press dragged off the label and released elsewhere is no click.
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}
