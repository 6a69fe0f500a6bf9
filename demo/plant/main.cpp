#include "demoPlant.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

// tavex_demo_plant --port N VALUES_FILE
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Modbus TCP device on 127.0.0.1 serving the numbers of a file as holding registers"));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port (default 1502)"),
                                  QStringLiteral("port"), QStringLiteral("1502"));
    parser.addOption(port);
    parser.addPositionalArgument(QStringLiteral("values"), QStringLiteral("text file of integers"));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    demoPlant plant(parser.positionalArguments().constFirst(), 500);
    QString error;
    if (!plant.listen(quint16(parser.value(port).toUInt()), &error)) {
        std::fprintf(stderr, "demo plant: %s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
