#pragma once

#include "ui_keepyardDialogBase.h"

#include <QMainWindow>

class keepyard;
class keepyardService;
class udp_server;

// The server's window: the log view, the list of sessions, the settings
// dialog and the About box, around the server and the discovery responder.
class keepyardDialog : public QMainWindow, public Ui::keepyardDialogBase
{
    Q_OBJECT

public:
    static constexpr int maxLogLines = 200;

    // Reads Keepyard.ini below QX_ROOT and starts serving the tree there.
    explicit keepyardDialog(QWidget *parent = nullptr);
    ~keepyardDialog() override;

    keepyard *server() const;
    udp_server *discovery() const;
    keepyardService *service() const { return m_service; }

public slots:
    void userListChanged();
    void llt_clear();
    void doConfigure();
    void doHelpAbout();

protected:
    // Closing the window stops the server in order first: every session is
    // ended with its log line, then the window closes.
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void showTitle();
    // The About box text for the program file at `programPath`.
    static QString aboutText(const QString &programPath);

    keepyardService *m_service = nullptr; // child
};
