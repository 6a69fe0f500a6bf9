#pragma once

#include "ui_selectsystemBase.h"

#include <QDialog>

class QListWidgetItem;

// Lets the user choose one of the server's systems. The system accepted last
// time is selected as soon as the server lists it.
class selectsystem : public QDialog, public Ui::selectsystemBase
{
    Q_OBJECT

public:
    explicit selectsystem(QWidget *parent = nullptr);

    // Adds a system to the list; selects it when it is the remembered one.
    void addSystem(const QString &name);

    // The system accepted last time (empty when none).
    QString lastSystem() const { return m_lastSystem; }
    // The text of the list's current item; empty when there is none.
    QString chosenSystem() const;

public slots:
    void listSelectionChanged(QListWidgetItem *item);
    void listReturnPressed(QListWidgetItem *item);
    void accept() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString m_lastSystem;
};
