#pragma once

#include "response.h"
#include "xml_handler.h"
#include "xml_reader.h"

#include <QPointer>
#include <QTcpSocket>

#include <memory>

class doWaitDialog;

namespace setdesk {
class reply_handler;
}

// What the connection shows the user and how it ends the program; tests
// put their own in place.
class commsUi
{
public:
    virtual ~commsUi();
    virtual void critical(const QString &title, const QString &text);
    virtual void quit();
};

// The editor's one connection to a configuration server: a TCP socket whose
// whole input is one XML document. Each reply (a direct child of the
// server's "xml" element) goes to a handler made for its name; outcomes
// reach the plugins as event(response, uid).
class server_comms : public QTcpSocket, public xml_handler
{
    Q_OBJECT

public:
    server_comms(QObject *parent, const QString &serverName, const QString &host, quint16 port,
                 std::unique_ptr<commsUi> ui = nullptr);
    ~server_comms() override;

    // Request operations: `path` is server-relative with "/" separators,
    // `uid` the plugin's identifier.
    void downloadFile(const QString &path, const QString &uid);
    void lock(const QString &path, const QString &uid);
    void lockDir(const QString &path, const QString &uid);
    void checkoutFile(const QString &path, const QString &uid);
    void checkoutDir(const QString &path, const QString &uid);
    void syncDirDownload(const QString &path, const QString &uid);
    void syncDirUpload(const QString &path, const QString &uid);
    void dir(const QString &path, const QString &uid);
    void unlock(const QString &path, const QString &uid);
    void unlockDir(const QString &path, const QString &uid);
    // Gives a lock back whichever plugin holds it: every local entry of the
    // path goes, and the server is asked to release it.
    void releaseLock(const QString &path, const QString &uid);
    // `folder` is the local copy of the system the path is taken from.
    void uploadFile(const QString &path, const QString &uid, const QString &folder);
    // Ends the editor's document; a server close is then no error.
    void closeDocument();

    QString system() const { return m_system; }
    void setSystem(const QString &system) { m_system = system; }
    QString clientDir() const { return m_clientDir; }
    QString serverName() const { return m_serverName; }
    QString userId() const { return m_userId; }
    QString userLevel() const { return m_userLevel; }
    bool isDocumentOpen() const { return m_documentOpen; }
    doWaitDialog *waitDialog() const { return m_waitDialog.get(); }
    commsUi &ui() const { return *m_ui; }

    // For the reply handlers.
    void send(const QByteArray &text);
    void report(int status, const QString &operation, const QString &path, const QString &message,
                const QString &uid);
    void loggedIn(const QString &id, const QString &level);
    // The local file of a server-relative path of `system`; empty when the
    // system or the path would lead outside the editor's local copy of it.
    QString localPath(const QString &system, const QString &path) const;
    // The local copy of a system; empty for a name that is no system.
    QString systemFolder(const QString &system) const;

    // What a reply handler may keep of one reply (listing text, file list,
    // names), and the length of one message text. Beyond them the server is
    // not to be trusted: the connection ends.
    static constexpr qint64 maxKeptBytes = 64 * 1024 * 1024;
    static constexpr qint64 maxMessageBytes = 64 * 1024;
    // Ends the connection after a reply beyond a bound: one box, then quit.
    void failBound(const QString &reason);

    // Attribute values written into requests.
    static QString escaped(const QString &value);

    // The "file" element of an upload of the local file `local` under the
    // server name `name`, size and date taken from the same reading as the
    // content. Empty, with `reason` set, when the file exists but cannot be
    // read or is too large to send: it must not be sent at all, since a file
    // element without content makes the server retire its copy.
    static QByteArray uploadElement(const QString &name, const QString &local, QString *reason);

signals:
    void setServer(const QString &server, const QString &system, const QString &user, const QString &userLevel);
    void event(response &result, QString &uid);
    // A file of this editor's system was stored ("update", with the name of
    // the backup copy the server made) or deleted ("delete") on the server.
    void notice(const QString &type, const QString &path, const QString &undoName);

public slots:
    void socketRead();
    void socketError(QAbstractSocket::SocketError error);
    void socketClosed();
    void socketConnected();

protected:
    bool startElement(QStringView name, const QXmlStreamAttributes &attributes) override;
    bool endElement(QStringView name) override;
    bool characters(QStringView text) override;
    bool endDocument() override;
    void timerEvent(QTimerEvent *event) override;

private:
    std::unique_ptr<setdesk::reply_handler> createHandler(QStringView name);
    void sendLockRequest(const QString &element, const QString &child, const QString &path, const QString &uid);
    void sendSynclist(const QString &mode, const QString &path, const QString &uid);
    void walkLocalCopy(const QString &path, const QString &uid);
    // Ends the connection after bad input (quietly) or a broken bound.
    void endConnection(const QString &reason, bool tellUser);

    std::unique_ptr<commsUi> m_ui;
    xml_reader m_reader;
    bool m_documentOpen = true;
    std::unique_ptr<doWaitDialog> m_waitDialog;
    QString m_userId;
    QString m_userLevel;
    QString m_system;
    QString m_clientDir;
    QString m_serverName;
    std::unique_ptr<setdesk::reply_handler> m_handler;
    int m_depth = 0;
    int m_correctiveTimer = 0;
    bool m_failed = false;
    bool m_ended = false; // an error box was shown and the program told to quit
};
