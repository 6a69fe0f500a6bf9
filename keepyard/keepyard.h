#pragma once

#include "client.h"
#include "compressedFileCache.h"
#include "listingCache.h"

#include <QList>
#include <QPointer>
#include <QTcpServer>

class QListWidget;

// The listening server: one client session per accepted connection, and the
// relay of broadcast notices to every session.
class keepyard : public QTcpServer
{
    Q_OBJECT

public:
    // Connections the kernel keeps waiting to be accepted: many editors may
    // connect at once after a restart.
    static constexpr int listenBacklog = 128;

    // Listens on `port` on all local addresses (0: any free port); failure,
    // also for a number that is no port, is logged and the server runs on
    // without accepting connections.
    keepyard(QObject *parent, int port, const QString &rootFolder,
             const sessionLimits &limits = sessionLimits());
    ~keepyard() override;

    // Writes `text` to every session, in list order (after the reply of a
    // request a session has open).
    void sendToAll(const QByteArray &text);
    // One line per session: user name, " - ", peer address.
    QStringList userList() const;
    void fillUserList(QListWidget *users) const;

    // Stops listening and ends every session; each leaves the list (with
    // userListChanged()) once its last replies are out.
    void endAllSessions();

    const QList<client *> &sessions() const { return m_clients; }
    compressedFileCache &compressedFiles() { return m_files; }

signals:
    void userListChanged();

public slots:
    void discardClient();

protected:
    void customEvent(QEvent *event) override;
    void incomingConnection(qintptr descriptor) override;

private:
    QString m_rootFolder;
    sessionLimits m_limits;
    listingCache m_listings;
    compressedFileCache m_files;
    QList<client *> m_clients; // owned as child objects
};
