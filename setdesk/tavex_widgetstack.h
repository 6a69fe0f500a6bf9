#pragma once

#include <QList>
#include <QWidget>

// Shows one of its widgets at a time, filling itself, and keeps them all in a
// list, the most recently raised first. Raising a widget deactivates the
// current one and activates the new front one (also when they are the same).
class tavex_widgetstack : public QWidget
{
    Q_OBJECT

public:
    explicit tavex_widgetstack(QWidget *parent = nullptr);
    ~tavex_widgetstack() override;

    // Adds a widget, or raises one already held.
    void add(QWidget *widget);
    // The visible widget, or null.
    QWidget *first() const { return m_current; }
    QList<QWidget *> windowList() const { return m_widgets; }

signals:
    void windowActivated(QWidget *widget);
    void windowDeactivated(QWidget *widget);

public slots:
    // A held widget is being destroyed: the next one comes to the front.
    void destroyed(QObject *object);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void showFront();

    QList<QWidget *> m_widgets;
    QWidget *m_current = nullptr;
};
