#include "keepyardDialog.h"
#include "keepyardService.h"
#include "protocol.h"
#include "unixSignals.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

namespace {

const char *const headlessOption = "--headless";

// Without a window: asked for, or nothing to show one on (no display, and
// no platform chosen through QT_QPA_PLATFORM).
bool runHeadless(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], headlessOption) == 0)
            return true;
    }
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
           && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Headless, every log line goes to standard output with its time stamp, one
// line at a time, so that a service manager's journal gets them as they come.
void toStandardOutput(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString line = qFormatLogMessage(type, context, message);
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

int serveHeadless(int argc, char *argv[], const QString &root)
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-dd hh:mm:ss.zzz} "
                                      "%{if-warning}warning: %{endif}%{if-critical}error: %{endif}%{message}"));
    qInstallMessageHandler(toStandardOutput);

    keepyardService service(nullptr, root);
    unixSignals catcher(nullptr, true);
    QObject::connect(&catcher, &unixSignals::quitRequested, &service, [&service](int number) {
        qInfo().noquote() << unixSignals::name(number) << "received";
        service.stop();
    });
    QObject::connect(&catcher, &unixSignals::hangUp, &service, &keepyardService::reloadSettings);
    QObject::connect(&service, &keepyardService::stopped, &app, &QCoreApplication::quit);
    qInfo().noquote() << QStringLiteral("Serving '%1' on TCP port %2, discovery on UDP port %3 (\"%4\")")
                             .arg(root)
                             .arg(service.port())
                             .arg(service.broadcastPort())
                             .arg(service.description());
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    const QString missingRoot =
        QStringLiteral("Your TAVEX environment variable QX_ROOT has not been set. You must run the installer");
    const QString root = qEnvironmentVariable("QX_ROOT");

    if (runHeadless(argc, argv)) {
        if (root.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(missingRoot));
            return 0;
        }
        return serveHeadless(argc, argv, root);
    }

    QApplication app(argc, argv);
    if (root.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(missingRoot));
        // Without a screen nobody could dismiss the box.
        const QString platform = QGuiApplication::platformName();
        if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
            QMessageBox::critical(nullptr, QStringLiteral("Configuration Server"), missingRoot);
        return 0;
    }

    keepyardDialog window;
    // SIGTERM and SIGINT close the window, which stops the server in order;
    // SIGHUP re-reads the settings.
    unixSignals catcher(nullptr, true);
    QObject::connect(&catcher, &unixSignals::quitRequested, &window, [&window](int number) {
        qInfo().noquote() << unixSignals::name(number) << "received";
        window.close();
    });
    QObject::connect(&catcher, &unixSignals::hangUp, window.service(), &keepyardService::reloadSettings);
    // The window closes once the server has stopped; the program ends then.
    QObject::connect(window.service(), &keepyardService::stopped, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    app.exec();
    return 0;
}
