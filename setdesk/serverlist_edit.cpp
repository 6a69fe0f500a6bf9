#include "serverlist_edit.h"

#include <QIntValidator>

serverlist_edit::serverlist_edit(QWidget *parent)
    : QDialog(parent)
{
    setupUi(this);
    serverPort->setValidator(new QIntValidator(0, 65535, serverPort));
}

void serverlist_edit::setFields(const QString &address, int port, const QString &description)
{
    serverName->setText(address);
    serverDesc->setText(description);
    serverPort->setText(QStringLiteral("%1").arg(port));
}

QString serverlist_edit::address() const
{
    return serverName->text().trimmed();
}

QString serverlist_edit::description() const
{
    return serverDesc->text();
}

int serverlist_edit::port() const
{
    return portFromText(serverPort->text());
}

int serverlist_edit::portFromText(const QString &text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok, 10);
    return ok && port >= 1 && port <= 65535 ? port : defaultPort;
}
