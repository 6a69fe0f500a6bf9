#pragma once

#include "ui_keepyardDialogBase.h"

#include <QMainWindow>

class keepyard;
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

    keepyard *server() const { return m_server; }
    udp_server *discovery() const { return m_discovery; }

public slots:
    void userListChanged();
    void llt_clear();
    void doConfigure();
    void doHelpAbout();

private:
    void buildMenus();
    // The About box text for the program file at `programPath`.
    static QString aboutText(const QString &programPath);

    QString m_root;
    QString m_description;
    int m_port = 0;
    int m_broadcastPort = 0;
    keepyard *m_server = nullptr;       // child
    udp_server *m_discovery = nullptr;  // child
};
