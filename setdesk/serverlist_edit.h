#pragma once

#include "ui_serverlist_editBase.h"

#include <QDialog>

// Asks for the address, description and port of a server entered by hand.
class serverlist_edit : public QDialog, public Ui::serverlist_editBase
{
    Q_OBJECT

public:
    // The port a server is reached on when none is given.
    static constexpr int defaultPort = 23;

    explicit serverlist_edit(QWidget *parent = nullptr);

    // Fills the fields, the port written as a decimal number.
    void setFields(const QString &address, int port, const QString &description);

    // The address as typed, without surrounding blanks.
    QString address() const;
    QString description() const;
    // The port field read as a decimal number; see portFromText().
    int port() const;

    // A port number in 1..65535 read from text; defaultPort for anything else
    // (empty, zero, out of range, not a number), which is the port the
    // editor would have used anyway.
    static int portFromText(const QString &text);
};
