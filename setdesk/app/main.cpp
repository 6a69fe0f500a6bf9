#include "clientFolder.h"
#include "editorOptions.h"
#include "lock_list.h"
#include "protocol.h"
#include "server_comms.h"
#include "serverlist.h"
#include "setdeskMainWindow.h"
#include "setdesk_log.h"
#include "unattendedDialogs.h"
#include "unixSignals.h"
#include "xfer.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTextDocumentFragment>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {

// How long an editor ending on a signal waits for the server to close the
// connection before it goes anyway.
constexpr int signalEndWaitMs = 5000;

// Ends the editor on a signal once no dialog runs: a dialog's own event
// loop is closed first (as if cancelled), so that the window is not taken
// apart under code that waits for the dialog.
void endWhenNoDialog(const QPointer<setdeskMainWindow> &window, const QString &signalName)
{
    if (QWidget *modal = QApplication::activeModalWidget()) {
        modal->close();
        QTimer::singleShot(10, [window, signalName] { endWhenNoDialog(window, signalName); });
        return;
    }
    if (QThread::currentThread()->loopLevel() > 1) {
        QTimer::singleShot(10, [window, signalName] { endWhenNoDialog(window, signalName); });
        return;
    }
    if (window)
        window->endOnSignal(signalName);
    // A window still open waits for the server to close the connection.
    if (!window || !window->isVisible())
        QCoreApplication::quit();
}

} // namespace

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    QApplication app(argc, argv);
    // The editor ends when its connection does (after the window has closed
    // the document, or on a connection failure), not when a dialog closes
    // before the main window has shown.
    app.setQuitOnLastWindowClosed(false);
    // SIGTERM and SIGINT end the editor as closing its window does, except
    // that nothing may hold them up.
    QPointer<setdeskMainWindow> shownWindow;
    bool ending = false;
    unixSignals catcher;
    QObject::connect(&catcher, &unixSignals::quitRequested, &app, [&](int number) {
        if (std::exchange(ending, true))
            return;
        QTimer::singleShot(signalEndWaitMs, &app, &QCoreApplication::quit);
        endWhenNoDialog(shownWindow, unixSignals::name(number));
    });
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
        if (servers.exec() != QDialog::Accepted || ending)
            return 0;
        server = servers.selectedDescription();
        address = servers.selectedAddress().toString();
        port = servers.selectedPort();
    }

    QPointer<server_comms> comms = new server_comms(nullptr, server, address, quint16(port));
    auto window = std::make_unique<setdeskMainWindow>(comms, options.local(),
                                                      pluginLibrary::buildFilter(options.filter()));
    shownWindow = window.get();
    QObject::connect(comms, &server_comms::setServer, window.get(), &setdeskMainWindow::setServer);
    QObject::connect(comms, qOverload<response &, QString &>(&server_comms::event), window.get(),
                     &setdeskMainWindow::commsEvent);
    const int result = app.exec();

    // Locks still held are worth a word before the editor goes.
    if (comms && !comms->system().isEmpty()) {
        const lock_list locks(comms->system());
        if (!ending)
            locks.showLocksReport(nullptr);
        else if (!locks.isEmpty())
            qCWarning(lcSetdesk).noquote() << QTextDocumentFragment::fromHtml(locks.locksReport()).toPlainText();
    }
    window.reset();
    delete comms.data();
    return result;
}
