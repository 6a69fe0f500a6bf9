#include "Logger.h"
#include "WardlineMainWindow.h"
#include "faultHandler.h"
#include "protocol.h"
#include "wardline_log.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// SIGTERM and SIGINT close the window like "Exit": the states are saved and
// the twins told. The handler only writes to a socket pair; the event loop
// does the rest.
int quitPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(quitPipe[1], &byte, 1);
    (void)ignored;
}

void closeOnQuitSignals(QWidget *window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, quitPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window, notifier] {
        char byte;
        const ssize_t ignored = ::read(quitPipe[0], &byte, 1);
        (void)ignored;
        notifier->setEnabled(false);
        window->close();
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    faultHandler::install();
    int result = 0;
    try {
        QApplication app(argc, argv);
        auto window = std::make_unique<WardlineMainWindow>();
        window->show();
        closeOnQuitSignals(window.get());
        if (window->Start())
            result = app.exec();
        Logger::instance().directLog("Wardline Closing.");
        window.reset();
    } catch (...) {
        const QString line = QStringLiteral("Wardline Main - unknown exception");
        qCCritical(lcWardline).noquote() << line;
        Logger::instance().directLog(line);
    }
    Logger::instance().directLog("Wardline Closing. End.");
    return result;
}
