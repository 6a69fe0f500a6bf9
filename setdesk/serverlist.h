#pragma once

#include "ui_serverlistBase.h"

#include <QDialog>
#include <QHostAddress>
#include <QListWidgetItem>
#include <QUdpSocket>

class QHostInfo;
class QMenu;

// Lets the user choose the configuration server to connect to: servers that
// answer a discovery broadcast (automatic entries) and servers entered by
// hand (manual entries, kept in the user's settings).
class serverlist : public QDialog, public Ui::serverlistBase
{
    Q_OBJECT

public:
    // One server of the list; its text is "description (address)".
    class entry : public QListWidgetItem
    {
    public:
        enum { Type = QListWidgetItem::UserType + 1 };

        entry(QListWidget *list, const QString &address, int port, const QString &description, bool automatic);

        // The address as typed, or the sender of the discovery answer.
        QString address() const { return m_address; }
        int port() const { return m_port; }
        QString description() const { return m_description; }
        // Found by broadcast rather than entered by hand.
        bool isAutomatic() const { return m_automatic; }

        static QString label(const QString &description, const QString &address);

    private:
        QString m_address;
        int m_port;
        QString m_description;
        bool m_automatic;
    };

    // Loads the manual entries, selects the server chosen last time and
    // broadcasts the first discovery query.
    explicit serverlist(QWidget *parent = nullptr);
    ~serverlist() override;

    // The chosen server, valid once the dialog has been accepted: its
    // description (the connection's server name), its address as text and
    // as an address (a host name resolved), and its port.
    QString selectedDescription() const { return m_description; }
    QString selectedAddressText() const { return m_addressText; }
    QHostAddress selectedAddress() const { return m_address; }
    int selectedPort() const { return m_port; }

    // The label of the server accepted last time (empty when none).
    QString lastServer() const { return m_lastServer; }
    // Where discovery queries go.
    QHostAddress discoveryAddress() const { return m_discoveryAddress; }
    int discoveryPort() const { return m_discoveryPort; }

    // Appends an entry to the list.
    entry *addEntry(const QString &address, int port, const QString &description, bool automatic);
    // The selected entry; null when none is.
    entry *currentEntry() const;
    QList<entry *> entries() const;
    // The popup for an entry (null: empty space), owned by the caller; null
    // for an automatic entry, which has none. A manual entry is made the
    // current one, as "Delete" and "Edit" act on that.
    QMenu *contextMenu(QListWidgetItem *item);

    // Stores the list and closes the dialog as accepted; a host name is
    // resolved first, and one that cannot be keeps the dialog open.
    void accept() override;
    void reject() override;

public slots:
    void listSelectionChanged(QListWidgetItem *item);
    void listReturnPressed(QListWidgetItem *item);
    // Reads the discovery answers waiting.
    void rxdata();
    // Sends the discovery query.
    void broadcast();
    void doContextMenuRequested(QListWidgetItem *item);
    void doNewEntry();
    void doDeleteEntry();
    void doEditEntry(const QString &address, int port, const QString &desc);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void loadServers();
    void selectLastServer();
    void answerReceived(const QByteArray &data, const QHostAddress &sender);
    void hostLookedUp(const QHostInfo &info);
    void abortLookup();
    void finishAccept();

    QUdpSocket m_socket;
    QHostAddress m_discoveryAddress;
    int m_discoveryPort = 0;
    QString m_lastServer;

    QString m_description;
    QString m_addressText;
    QHostAddress m_address;
    int m_port = 0;

    // The host name being looked up for accept(), and the lookup's id.
    QString m_lookupName;
    int m_lookupId = -1;
};
