#include "Logger.h"
#include "WardlineMainWindow.h"
#include "faultHandler.h"
#include "protocol.h"
#include "unixSignals.h"
#include "wardline_log.h"

#include <QApplication>

#include <memory>

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    faultHandler::install();
    int result = 0;
    try {
        QApplication app(argc, argv);
        auto window = std::make_unique<WardlineMainWindow>();
        window->show();
        // SIGTERM and SIGINT close the window like "Exit": the states are
        // saved and the twins told.
        unixSignals quitSignals;
        QObject::connect(
            &quitSignals, &unixSignals::quitRequested, window.get(),
            [&window](int signalNumber) {
                Logger::instance().directLog(
                    QStringLiteral("Wardline: %1 received, closing.").arg(unixSignals::name(signalNumber)));
                window->close();
                QCoreApplication::quit();
            },
            Qt::SingleShotConnection);
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
