#include "clientFolder.h"
#include "editorOptions.h"
#include "lock_list.h"
#include "protocol.h"
#include "server_comms.h"
#include "serverlist.h"
#include "setdeskMainWindow.h"
#include "unattendedDialogs.h"
#include "xfer.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include <memory>

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    QApplication app(argc, argv);
    // The editor ends when its connection does (after the window has closed
    // the document, or on a connection failure), not when a dialog closes
    // before the main window has shown.
    app.setQuitOnLastWindowClosed(false);
    std::unique_ptr<unattendedDialogs> unattended;
    if (unattendedDialogs::wanted())
        unattended = std::make_unique<unattendedDialogs>();

    const QString systemFolder = qEnvironmentVariable("QX_ROOT") + QLatin1Char('/') + qEnvironmentVariable("QX_SYSTEM");
    QCoreApplication::addLibraryPath(systemFolder + QStringLiteral("/windows/lib/qt_plugins"));
    const QString clientDir = clientFolder::path();
    if (clientDir.isEmpty())
        QMessageBox::critical(nullptr, QStringLiteral("Error"),
                              QStringLiteral("Your TEMP environment variable is not set - run the TAVEX Installer"));

    const editorOptions options(app.arguments().mid(1));
    for (const QString &error : options.errors())
        QMessageBox::critical(nullptr, editorOptions::errorTitle(), error);
    if (!clientDir.isEmpty())
        xfer::makePath(clientDir + QStringLiteral("/downloadLists/"));

    QString server;
    QString address;
    int port = 0;
    {
        serverlist servers;
        if (servers.exec() != QDialog::Accepted)
            return 0;
        server = servers.selectedDescription();
        address = servers.selectedAddress().toString();
        port = servers.selectedPort();
    }

    QPointer<server_comms> comms = new server_comms(nullptr, server, address, quint16(port));
    auto window = std::make_unique<setdeskMainWindow>(comms, options.local(),
                                                      pluginLibrary::buildFilter(options.filter()));
    QObject::connect(comms, &server_comms::setServer, window.get(), &setdeskMainWindow::setServer);
    QObject::connect(comms, qOverload<response &, QString &>(&server_comms::event), window.get(),
                     &setdeskMainWindow::commsEvent);
    const int result = app.exec();

    // Locks still held are worth a word before the editor goes.
    if (comms && !comms->system().isEmpty())
        lock_list(comms->system()).showLocksReport(nullptr);
    window.reset();
    delete comms.data();
    return result;
}
