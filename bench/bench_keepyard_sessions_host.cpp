// Headless configuration server for the session load test: serves the
// installation root given on the command line on a free loopback port, prints
// "port N" on its standard output once it accepts connections, and ends when
// its standard input is closed (so it never outlives the load generator).

#include "keepyard.h"
#include "protocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 || !QDir(args.at(1)).exists()) {
        std::fprintf(stderr, "usage: %s ROOT\n  ROOT: existing installation root to serve\n",
                     qPrintable(QFileInfo(args.value(0)).fileName()));
        return 2;
    }

    keepyard server(nullptr, 0, args.at(1));
    // The server binds every local address; a load test has no business
    // being reachable from outside, so it moves to loopback at once.
    server.close();
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::printf("port %u\n", unsigned(server.serverPort()));
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return app.exec();
}
