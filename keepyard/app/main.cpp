#include "keepyardDialog.h"
#include "protocol.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char *argv[])
{
    protocol::prepareLocalTime();
    QApplication app(argc, argv);

    if (qEnvironmentVariableIsEmpty("QX_ROOT")) {
        const QString text =
            QStringLiteral("Your TAVEX environment variable QX_ROOT has not been set. You must run the installer");
        std::fprintf(stderr, "%s\n", qPrintable(text));
        // Without a screen nobody could dismiss the box.
        const QString platform = QGuiApplication::platformName();
        if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
            QMessageBox::critical(nullptr, QStringLiteral("Configuration Server"), text);
        return 0;
    }

    keepyardDialog window;
    window.show();
    app.exec();
    return 0;
}
