#include "keepyardDialog.h"

#include "cTavexVersion.h"
#include "editSettings.h"
#include "keepyard.h"
#include "keepyardPictures.h"
#include "keepyardService.h"
#include "logLine.h"
#include "serverSettings.h"
#include "udp_server.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QMenuBar>
#include <QMessageBox>

keepyardDialog::keepyardDialog(QWidget *parent)
    : QMainWindow(parent)
{
    setupUi(this);
    setWindowIcon(QIcon(keepyardWindowIcon()));

    // Every part of the server logs into this view while the window exists.
    setLogSink([this](const QString &text) { log->appendPlainText(text); });

    m_service = new keepyardService(this, qEnvironmentVariable("QX_ROOT"));
    showTitle();
    connect(m_service, &keepyardService::descriptionChanged, this, &keepyardDialog::showTitle);
    connect(m_service, &keepyardService::stopped, this, &QWidget::close);
    connect(server(), &keepyard::userListChanged, this, &keepyardDialog::userListChanged);
    connect(clear, &QPushButton::clicked, this, &keepyardDialog::llt_clear);

    log->setMaximumBlockCount(maxLogLines);
    buildMenus();
}

keepyardDialog::~keepyardDialog()
{
    setLogSink({});
    // Sessions closed while the children go must not call back into a
    // half-destroyed window.
    disconnect(server(), nullptr, this, nullptr);
}

keepyard *keepyardDialog::server() const
{
    return m_service->server();
}

udp_server *keepyardDialog::discovery() const
{
    return m_service->discovery();
}

void keepyardDialog::showTitle()
{
    // One pass, so that a "%1" in the description stays as it is.
    setWindowTitle(QStringLiteral("TAVEX Configuration Server - (\"%1\" - Ports %2/%3)")
                       .arg(m_service->description(), QString::number(m_service->port()),
                            QString::number(m_service->broadcastPort())));
}

void keepyardDialog::closeEvent(QCloseEvent *event)
{
    if (m_service->isStopped()) {
        event->accept();
        return;
    }
    // Closes again once the sessions have gone.
    m_service->stop();
    event->ignore();
}

void keepyardDialog::buildMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    connect(file->addAction(tr("&Configure Server")), &QAction::triggered, this, &keepyardDialog::doConfigure);
    connect(file->addAction(tr("E&xit")), &QAction::triggered, this, &QWidget::close);
    QMenu *help = menuBar()->addMenu(tr("&Help"));
    connect(help->addAction(tr("&About")), &QAction::triggered, this, &keepyardDialog::doHelpAbout);
}

void keepyardDialog::userListChanged()
{
    server()->fillUserList(users);
}

void keepyardDialog::llt_clear()
{
    log->clear();
}

void keepyardDialog::doConfigure()
{
    editSettings dialog(this);
    dialog.serverName->setText(m_service->description());
    dialog.serverPort->setText(QString::number(m_service->port()));
    dialog.serverBroadcastPort->setText(QString::number(m_service->broadcastPort()));
    if (dialog.exec() != QDialog::Accepted)
        return;

    // Stored as typed; the running server keeps its ports until the next start.
    if (!serverSettings::save(m_service->root(), dialog.serverPort->text(), dialog.serverBroadcastPort->text(),
                              dialog.serverName->text())) {
        QMessageBox::warning(this, tr("Configuration Server"),
                             tr("The settings could not be written to %1")
                                 .arg(QDir::toNativeSeparators(serverSettings::filePath(m_service->root()))));
        return;
    }
    QMessageBox::information(this, tr("Information"),
                             tr("You need to restart this application for these changes to take effect"));
}

QString keepyardDialog::aboutText(const QString &programPath)
{
    const QString version = cTavexVersion(programPath).productVersion().trimmed();
    return QStringLiteral("<h3>About TAVEX Configuration Server</h3><p>Version: %1</p>")
        .arg(version.toHtmlEscaped());
}

void keepyardDialog::doHelpAbout()
{
    QMessageBox box(this);
    box.setWindowTitle(tr("QX Configuration Server - Application About...."));
    box.setTextFormat(Qt::RichText);
    box.setText(aboutText(QCoreApplication::applicationFilePath()));
    box.setIconPixmap(keepyardAboutLogo());
    box.exec();
}
