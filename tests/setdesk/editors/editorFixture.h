#pragma once

#include "dialogAnswerer.h"
#include "serverFixture.h"
#include "server_comms.h"

#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class config_plugin_base;
class setdeskMainWindow;

// A configuration editor logged in to a keepyard server in this process. The
// server's system North serves the editors plugin and its help pages from
// config/plugins; the editor fetches and loads them at login as from any
// server. Users of North: ops/secret (level 2), Admin/adminpw (level 9),
// nolevel/pw (no level: looks, edits nothing).
class editorFixture
{
public:
    editorFixture();
    // An editor of a server that runs elsewhere on this machine, on `port`,
    // whose installation root is `root`: files are made and read there.
    editorFixture(const QString &root, quint16 port);
    ~editorFixture();

    serverFixture &server() { return *m_server; }
    // A file of North on the server, `path` relative to the system folder.
    void makeFile(const QString &path, const QByteArray &content);
    QString stored(const QString &path) const;
    QByteArray storedContent(const QString &path) const;
    // The backup copies of North on the server (names in backup/).
    QStringList backups() const;
    // The editor's local copy of a path of North.
    QString local(const QString &path) const;

    // Logs in through the system choice and login dialogs and waits until the
    // plugins are loaded and the start page is open. False when that fails.
    bool logIn(const QString &user = QStringLiteral("ops"), const QString &password = QStringLiteral("secret"));
    setdeskMainWindow &window() { return *m_window; }
    server_comms *comms() const { return m_comms; }
    // Navigates to an editor as a link or the tree would, and returns it.
    config_plugin_base *open(const QString &key);

    // Puts the editors plugin and its help pages into a system's plugin folder.
    static void installPlugin(const QString &systemFolder);

    // Another user (Admin, from the same address) takes a lock on a path of
    // North through a connection of its own; true when the server granted it.
    bool lockAsOtherUser(const QString &path);

    // Boxes the main window would have shown, "title: text".
    QStringList boxes;
    // Error boxes of the connection.
    QStringList connectionErrors;
    dialogAnswerer answers;

private:
    void prepare();

    QTemporaryDir m_work;
    std::unique_ptr<serverFixture> m_server;
    QString m_root;
    quint16 m_port = 0;
    QPointer<server_comms> m_comms;
    std::unique_ptr<setdeskMainWindow> m_window;
    std::unique_ptr<testPeer> m_other;
};
