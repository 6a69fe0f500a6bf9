#include "serverlist.h"

#include "serverPictures.h"
#include "serverlist_edit.h"
#include "setdesk_log.h"

#include <QCursor>
#include <QHostInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSettings>

#include <sys/socket.h>

#include <algorithm>
#include <memory>

namespace {

const QString serversGroup = QStringLiteral("QX_ConfigEdit/Servers");
const QString lastServerKey = QStringLiteral("QX_ConfigEdit/LastServer");
const QString discoveryAddressKey = QStringLiteral("QX_ConfigEdit/DiscoveryAddress");
const QString discoveryPortKey = QStringLiteral("QX_ConfigEdit/DiscoveryPort");

// Discovery answers are far shorter; anything this long or longer is no answer.
constexpr qint64 answerLimit = 256;

QSettings editorSettings()
{
    return QSettings(QStringLiteral("Tarnwell"), QStringLiteral("setdesk"));
}

// "Server2" before "Server10": the stored numbers give the list order.
bool storedBefore(const QString &a, const QString &b)
{
    static const QRegularExpression numbered(QStringLiteral("^Server(\\d+)$"));
    const QRegularExpressionMatch ma = numbered.match(a);
    const QRegularExpressionMatch mb = numbered.match(b);
    if (ma.hasMatch() != mb.hasMatch())
        return ma.hasMatch();
    if (ma.hasMatch()) {
        const QString na = ma.captured(1), nb = mb.captured(1);
        if (na.size() != nb.size())
            return na.size() < nb.size();
        if (na != nb)
            return na < nb;
    }
    return a < b;
}

serverlist::entry *asEntry(QListWidgetItem *item)
{
    return item && item->type() == serverlist::entry::Type ? static_cast<serverlist::entry *>(item) : nullptr;
}

QString msgCannotResolve(const QString &address)
{
    return QStringLiteral("The address '%1' cannot be resolved.").arg(address);
}

} // namespace

serverlist::entry::entry(QListWidget *list, const QString &address, int port, const QString &description,
                         bool automatic)
    : QListWidgetItem(automatic ? automaticServerIcon() : manualServerIcon(), label(description, address), list,
                      Type),
      m_address(address), m_port(port), m_description(description), m_automatic(automatic)
{
}

QString serverlist::entry::label(const QString &description, const QString &address)
{
    return description + QStringLiteral(" (") + address + QLatin1Char(')');
}

serverlist::serverlist(QWidget *parent)
    : QDialog(parent)
{
    setupUi(this);
    buttonOk->setEnabled(false);
    connect(list, &QListWidget::itemSelectionChanged, this,
            [this] { listSelectionChanged(list->selectedItems().value(0)); });
    connect(list, &QListWidget::itemDoubleClicked, this, &serverlist::listReturnPressed);
    // Return is taken here rather than through itemActivated, which some
    // styles also emit for a single click.
    list->installEventFilter(this);
    connect(list, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { doContextMenuRequested(list->itemAt(pos)); });
    connect(addServer, &QPushButton::clicked, this, &serverlist::doNewEntry);
    connect(deleteServer, &QPushButton::clicked, this, &serverlist::doDeleteEntry);
    connect(refresh, &QPushButton::clicked, this, &serverlist::broadcast);

    loadServers();
    const QSettings settings = editorSettings();
    m_lastServer = settings.value(lastServerKey).toString();
    selectLastServer();

    m_discoveryAddress = QHostAddress(settings.value(discoveryAddressKey, QStringLiteral("255.255.255.255")).toString());
    m_discoveryPort = settings.value(discoveryPortKey, serverlist_edit::defaultPort).toInt();

    if (!m_socket.bind(QHostAddress::AnyIPv4, 0)) {
        qCDebug(lcSetdesk).noquote() << "Can't create UDP listen socket";
    } else {
        const int on = 1;
        if (::setsockopt(int(m_socket.socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
            qCDebug(lcSetdesk).noquote() << "can't set UDP sockopt";
    }
    connect(&m_socket, &QUdpSocket::readyRead, this, &serverlist::rxdata);

    broadcast();
}

serverlist::~serverlist()
{
    abortLookup();
}

serverlist::entry *serverlist::addEntry(const QString &address, int port, const QString &description, bool automatic)
{
    return new entry(list, address, port, description, automatic);
}

serverlist::entry *serverlist::currentEntry() const
{
    return asEntry(list->selectedItems().value(0));
}

QList<serverlist::entry *> serverlist::entries() const
{
    QList<entry *> all;
    for (int row = 0; row < list->count(); ++row) {
        if (entry *e = asEntry(list->item(row)))
            all.append(e);
    }
    return all;
}

void serverlist::loadServers()
{
    QSettings settings = editorSettings();
    settings.beginGroup(serversGroup);
    QStringList keys = settings.childKeys();
    std::sort(keys.begin(), keys.end(), storedBefore);
    for (const QString &key : keys) {
        // A value written by hand without quotes reads as a list.
        const QVariant value = settings.value(key);
        const QString text = value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                                        : value.toString();
        const QStringList parts = text.split(QLatin1Char(','));
        if (parts.size() == 3)
            addEntry(parts[0], serverlist_edit::portFromText(parts[1]), parts[2], false);
        else
            qCDebug(lcSetdesk).noquote() << QStringLiteral(" got servers entry of ") + text;
    }
}

// Selects the server accepted last time, unless the user has chosen one.
void serverlist::selectLastServer()
{
    if (currentEntry())
        return;
    for (entry *e : entries()) {
        if (e->text().compare(m_lastServer, Qt::CaseInsensitive) == 0) {
            list->setCurrentItem(e);
            return;
        }
    }
}

void serverlist::listSelectionChanged(QListWidgetItem *item)
{
    const entry *e = asEntry(item);
    // OK stands for a server that can be connected to, never for none.
    if (!e || e->address().isEmpty()) {
        buttonOk->setEnabled(false);
        return;
    }
    buttonOk->setEnabled(true);
    m_description = e->description();
    m_addressText = e->address();
    m_address = QHostAddress(m_addressText);
    m_port = e->port();
}

void serverlist::listReturnPressed(QListWidgetItem *item)
{
    if (!item)
        return;
    list->setCurrentItem(item);
    accept();
}

void serverlist::rxdata()
{
    while (m_socket.hasPendingDatagrams()) {
        const qint64 size = m_socket.pendingDatagramSize();
        const QNetworkDatagram datagram = m_socket.receiveDatagram(answerLimit);
        if (!datagram.isValid())
            break;
        if (size >= answerLimit || datagram.data().size() >= answerLimit)
            continue;
        answerReceived(datagram.data(), datagram.senderAddress());
    }
}

// An answer is "host,port,description"; the entry's address is the sender's,
// not the host name, which may not resolve here.
void serverlist::answerReceived(const QByteArray &data, const QHostAddress &sender)
{
    const QStringList parts = QString::fromUtf8(data).split(QLatin1Char(','));
    if (parts.size() != 3)
        return;
    const QString address = sender.toString();
    const QString description = parts[2];
    // Labels are matched, not kinds: a manual entry for this server goes too.
    const QString label = entry::label(description, address);
    bool wasChosen = false;
    for (int row = list->count() - 1; row >= 0; --row) {
        QListWidgetItem *item = list->item(row);
        if (item->text().startsWith(label, Qt::CaseInsensitive)) {
            wasChosen = wasChosen || item->isSelected();
            delete item;
        }
    }
    entry *added = addEntry(address, serverlist_edit::portFromText(parts[1]), description, true);
    if (wasChosen)
        list->setCurrentItem(added);
    selectLastServer();
}

void serverlist::broadcast()
{
    const bool portValid = m_discoveryPort >= 1 && m_discoveryPort <= 65535;
    if (!portValid || m_socket.writeDatagram("A", 1, m_discoveryAddress, quint16(m_discoveryPort)) != 1)
        qCDebug(lcSetdesk).noquote() << "UDP client socket write error";
}

QMenu *serverlist::contextMenu(QListWidgetItem *item)
{
    entry *e = asEntry(item);
    if (e && e->isAutomatic())
        return nullptr;
    auto *menu = new QMenu(this);
    if (e) {
        list->setCurrentItem(e);
        connect(menu->addAction(QStringLiteral("Delete")), &QAction::triggered, this, &serverlist::doDeleteEntry);
        // Copies: the entry may be gone by the time the action is chosen.
        connect(menu->addAction(QStringLiteral("Edit")), &QAction::triggered, this,
                [this, address = e->address(), port = e->port(), desc = e->description()] {
                    doEditEntry(address, port, desc);
                });
    }
    connect(menu->addAction(QStringLiteral("New")), &QAction::triggered, this, &serverlist::doNewEntry);
    return menu;
}

void serverlist::doContextMenuRequested(QListWidgetItem *item)
{
    const std::unique_ptr<QMenu> menu(contextMenu(item));
    if (menu)
        menu->exec(QCursor::pos());
}

void serverlist::doNewEntry()
{
    serverlist_edit dialog(this);
    if (dialog.exec() == QDialog::Accepted)
        addEntry(dialog.address(), dialog.port(), dialog.description(), false);
}

void serverlist::doEditEntry(const QString &address, int port, const QString &desc)
{
    const entry *current = currentEntry();
    if (!current)
        return;
    // Discovery answers may replace entries while the editor is open.
    const QPersistentModelIndex edited(list->indexFromItem(current));
    serverlist_edit dialog(this);
    dialog.setFields(address, port, desc);
    if (dialog.exec() != QDialog::Accepted)
        return;
    bool wasChosen = false;
    if (QListWidgetItem *old = edited.isValid() ? list->itemFromIndex(edited) : nullptr) {
        wasChosen = old->isSelected();
        delete old;
    }
    entry *changed = addEntry(dialog.address(), dialog.port(), dialog.description(), false);
    if (wasChosen)
        list->setCurrentItem(changed);
}

void serverlist::doDeleteEntry()
{
    delete currentEntry();
}

void serverlist::accept()
{
    entry *chosen = currentEntry();
    if (!chosen || chosen->address().isEmpty())
        return;
    listSelectionChanged(chosen);
    if (!m_address.isNull()) {
        finishAccept();
        return;
    }
    if (m_lookupId != -1 && m_lookupName == m_addressText)
        return; // already being looked up
    abortLookup();
    m_lookupName = m_addressText;
    m_lookupId = QHostInfo::lookupHost(m_lookupName, this, &serverlist::hostLookedUp);
}

void serverlist::hostLookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    // The user may have chosen another server meanwhile; OK asks again.
    const entry *chosen = currentEntry();
    if (!chosen || chosen->address() != m_lookupName)
        return;
    const QList<QHostAddress> addresses = info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>();
    if (addresses.isEmpty()) {
        qCDebug(lcSetdesk).noquote() << QStringLiteral("cannot resolve %1: %2").arg(m_lookupName, info.errorString());
        QMessageBox::warning(this, QStringLiteral("Error"), msgCannotResolve(m_lookupName));
        return;
    }
    // The servers' own answers give IPv4 addresses; keep to those when there are any.
    const auto ipv4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress &a) {
        return a.protocol() == QAbstractSocket::IPv4Protocol;
    });
    m_address = ipv4 != addresses.end() ? *ipv4 : addresses.first();
    finishAccept();
}

void serverlist::abortLookup()
{
    if (m_lookupId != -1)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
}

void serverlist::finishAccept()
{
    QSettings settings = editorSettings();
    if (const entry *chosen = currentEntry())
        settings.setValue(lastServerKey, chosen->text());
    settings.remove(serversGroup);
    int number = 0;
    for (const entry *e : entries()) {
        if (e->isAutomatic())
            continue;
        settings.setValue(serversGroup + QStringLiteral("/Server%1").arg(++number),
                          QStringLiteral("%1,%2,%3").arg(e->address(), QString::number(e->port()), e->description()));
    }
    QDialog::accept();
}

void serverlist::reject()
{
    abortLookup();
    QDialog::reject();
}

bool serverlist::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            listReturnPressed(list->currentItem());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
