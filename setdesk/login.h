#pragma once

#include "ui_loginBase.h"

#include <QDialog>

// Asks for the user name and password of a login; starts with the last ones
// accepted and remembers them when accepted again.
class login : public QDialog, public Ui::loginBase
{
    Q_OBJECT

public:
    explicit login(QWidget *parent = nullptr);

    QString userName() const;
    QString password() const;

    // Remembers the credentials; still QDialog's accept() slot, so the form
    // declares no slot of its own.
    void accept() override;
};
