#include "tavex_widgetstack.h"

tavex_widgetstack::tavex_widgetstack(QWidget *parent)
    : QWidget(parent)
{
}

tavex_widgetstack::~tavex_widgetstack()
{
    // The widgets are deleted with the stack; their ends are no news to it.
    for (QWidget *widget : std::as_const(m_widgets))
        disconnect(widget, &QObject::destroyed, this, &tavex_widgetstack::destroyed);
}

void tavex_widgetstack::add(QWidget *widget)
{
    if (!widget)
        return;
    disconnect(widget, &QObject::destroyed, this, &tavex_widgetstack::destroyed);
    connect(widget, &QObject::destroyed, this, &tavex_widgetstack::destroyed);
    m_widgets.removeOne(widget);
    m_widgets.prepend(widget);
    if (widget->parentWidget() != this)
        widget->setParent(this);
    widget->setGeometry(0, 0, width(), height());
    showFront();
}

void tavex_widgetstack::destroyed(QObject *object)
{
    // Only the address is used: the widget is already being torn down.
    if (m_current == object)
        m_current = nullptr;
    m_widgets.removeIf([object](QWidget *w) { return static_cast<QObject *>(w) == object; });
    showFront();
}

void tavex_widgetstack::showFront()
{
    QWidget *front = m_widgets.value(0);
    if (m_current) {
        if (m_current != front)
            m_current->hide();
        emit windowDeactivated(m_current);
    }
    if (front)
        front->show();
    m_current = front;
    emit windowActivated(front);
}

void tavex_widgetstack::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    for (QWidget *widget : std::as_const(m_widgets))
        widget->setGeometry(0, 0, width(), height());
}
