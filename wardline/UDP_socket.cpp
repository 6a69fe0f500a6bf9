#include "UDP_socket.h"

#include "interface/IDebug.h"
#include "profileFile.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimerEvent>

#include <sys/socket.h>

namespace {

constexpr int mastershipMask = 8;
constexpr int udpSystemMask = 4;
// Datagrams of this size or more are not ours.
constexpr qint64 maxDatagram = 256;

// Received text as it is logged: control characters (line breaks above
// all) are written as "\xhh", so that no peer can add lines of its own to the log.
QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            shown += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

int toInt(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : 0;
}

} // namespace

mastershipSettings mastershipSettings::fromProfile(const profileFile &system, QStringList *messages)
{
    const QString network = QStringLiteral("Network");
    mastershipSettings options;
    const QString address = system.readString(network, QStringLiteral("BroadcastAddress"));
    if (!address.isEmpty())
        options.broadcastAddress = QHostAddress(address);
    const QString portKey = QStringLiteral("MastershipPort");
    const int port = system.readInt(network, portKey, defaultPort);
    if (port >= 1 && port <= 65535) {
        options.port = quint16(port);
    } else if (messages) {
        // Cut to 16 bits it would be some other port, or any free one.
        *messages << QStringLiteral("MastershipPort == %1 is out of range 1..65535. Using %2.")
                         .arg(system.readString(network, portKey))
                         .arg(defaultPort);
    }
    return options;
}

UDP_socket::UDP_socket(const QString &qxSystem, const QString &alarmSystem, int workstation, int channel, IDebug *log,
                       const settings &options, QObject *parent)
    : QObject(parent), m_ownWorkstation(workstation), m_qxSystem(qxSystem), m_alarmSystem(alarmSystem),
      m_channel(channel), m_socket(this), m_log(log), m_options(options)
{
    this->log(QStringLiteral("Changing mastership. Starting as slave."));
    if (m_options.broadcastAddress.isNull() || m_options.broadcastAddress.protocol() != QAbstractSocket::IPv4Protocol) {
        this->log(QStringLiteral("Can't set socket address"));
        m_setUp = false;
    }

    QStringList addresses;
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            addresses << address.toString();
    }
    this->log(QStringLiteral("List of addresses is ") + addresses.join(QLatin1Char('/')));

    // Shared, so that several engines on one host can listen on the port.
    if (!m_socket.bind(QHostAddress::AnyIPv4, m_options.port,
                       QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        this->log(QStringLiteral("Can't bind UDP listen socket"));
        m_setUp = false;
    } else {
        const int on = 1;
        if (::setsockopt(int(m_socket.socketDescriptor()), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            this->log(QStringLiteral("can't set UDP sockopt - Broadcast"));
            m_setUp = false;
        }
        connect(&m_socket, &QUdpSocket::readyRead, this, [this] { rxData(int(m_socket.socketDescriptor())); });
    }

    if (!m_receiveTimer)
        m_receiveTimer = startTimer(m_options.receiveMs);
    this->log(QStringLiteral("Receive Timer started"));
}

UDP_socket::~UDP_socket()
{
    if (m_transmitTimer)
        killTimer(m_transmitTimer);
    if (m_receiveTimer)
        killTimer(m_receiveTimer);
    sendMessage(QStringLiteral("NC"));
}

void UDP_socket::log(const QString &line)
{
    if (!m_log)
        return;
    const bool mastership = line.startsWith(QLatin1String("Changing mastership."))
                            || line.startsWith(QLatin1String("Received NA"));
    m_log->debug(mastership ? mastershipMask : udpSystemMask, QStringLiteral("UDP:"), line);
}

void UDP_socket::startTransmitTimer()
{
    if (m_transmitTimer)
        return;
    m_transmitTimer = startTimer(m_options.transmitMs);
    log(QStringLiteral("Send Timer started"));
}

void UDP_socket::setStatus(bool ok)
{
    if (ok != m_status)
        log(QStringLiteral("set Status %1").arg(m_status ? 1 : 0, 0, 16));
    m_status = ok;
}

void UDP_socket::forceRxOnly()
{
    log(QStringLiteral("Forcing Rx Only, from %1. Send NU.").arg(m_master ? 1 : 0));
    m_master = false;
    sendMessage(QStringLiteral("NU"));
}

void UDP_socket::sendMessage(const QString &code)
{
    const QString message = QStringList{code,
                                        m_qxSystem,
                                        m_alarmSystem,
                                        QString::number(m_ownWorkstation),
                                        QString::number(m_channel),
                                        m_status ? QStringLiteral("OK") : QStringLiteral("Fail")}
                                .join(QLatin1Char(':'));
    const QByteArray bytes = message.toLatin1();
    if (m_socket.writeDatagram(bytes, m_options.broadcastAddress, m_options.port) != bytes.size())
        log(QStringLiteral("client socket write error"));
    else
        log(QStringLiteral("**Broadcasting WS:%1 Master:%2 '%3'")
                .arg(QString::number(m_ownWorkstation), QString::number(m_masterWorkstation), message));
}

void UDP_socket::rxData(int)
{
    // Every datagram waiting is taken, so that none is left behind a notification.
    while (m_socket.hasPendingDatagrams()) {
        const qint64 size = m_socket.pendingDatagramSize();
        const QNetworkDatagram datagram = m_socket.receiveDatagram(maxDatagram);
        if (!datagram.isValid()) {
            log(QStringLiteral("Receive error: %1. Datagram dropped.").arg(m_socket.errorString()));
            break;
        }
        if (size >= maxDatagram) {
            log(QStringLiteral("Received datagram of %1 bytes from %2:%3 is too long so ignore.")
                    .arg(QString::number(size), datagram.senderAddress().toString(),
                         QString::number(datagram.senderPort())));
            continue;
        }
        handle(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

void UDP_socket::handle(const QByteArray &datagram, const QHostAddress &senderAddress, quint16 senderPort)
{
    const QString text = QString::fromLatin1(datagram);
    const QString shown = printable(text);
    const QString from = QStringLiteral("%1:%2 0").arg(senderAddress.toString(), QString::number(senderPort));
    const auto drop = [&](const char *why) {
        log(QStringLiteral("Received Data is '%1'. %2 %3").arg(shown, QLatin1String(why), from));
    };
    const QStringList fields = text.split(QLatin1Char(':'));
    if (fields.size() != 6)
        return drop("Not current format so ignore.");
    if (fields.at(1).toUpper() != m_qxSystem.toUpper())
        return drop("Not our QX system so ignore.");
    if (fields.at(2).toUpper() != m_alarmSystem.toUpper())
        return drop("Not our alarm system so ignore.");
    const int sender = toInt(fields.at(3));
    if (sender == m_ownWorkstation)
        return drop("It's from me so ignore.");
    if (toInt(fields.at(4)) != m_channel)
        return drop("Not my channel so ignore.");

    log(QStringLiteral("Received Data is '%1'. Address %2. TxRx %3").arg(shown, from, QString::number(m_master ? 1 : 0)));
    const QString &code = fields.at(0);
    const bool senderOk = fields.at(5) == u"OK";
    const QString mode = QString::number(m_master ? 1 : 0);
    const QString ws = QString::number(m_masterWorkstation);

    if (code == u"NA") {
        if (m_master && m_status) {
            if (senderOk && sender < m_ownWorkstation) {
                // Two healthy masters: the lower workstation number keeps
                // the outputs. Both answering "NO" could leave both slaves
                // and, with their timers in step, take over together again.
                log(QStringLiteral(" NA. Both masters and OK; ws %1 is the lower number and stays master.").arg(sender));
                log(QStringLiteral("Received NA+OK and we're OK. Changing mastership. Going to slave from mode %1. ws %2 "
                                   "is master")
                        .arg(mode, QString::number(sender)));
                m_masterWorkstation = sender;
                goSlave();
            } else {
                log(QStringLiteral(" NA. We are master - tell other to go slave. Send NO."));
                log(QStringLiteral("Received NA and we're OK. We are master - tell other to go slave. Send NO."));
                sendMessage(QStringLiteral("NO"));
            }
        } else if (m_master && senderOk) {
            log(QStringLiteral(" NA. We are failing so going to Slave. ws %1 is master").arg(sender));
            log(QStringLiteral("Received NA+OK and we're not OK. Changing mastership. Going to slave from mode %1. ws %2 "
                               "is master")
                    .arg(mode, QString::number(sender)));
            m_masterWorkstation = sender;
            goSlave();
        } else if (m_master) {
            log(QStringLiteral(" NA. They are not Ok too so stay as master. Send NO."));
            log(QStringLiteral("Received NA and we're not OK. They are not Ok too so stay as master. Send NO."));
            sendMessage(QStringLiteral("NO"));
        } else {
            log(QStringLiteral(" NA. We are slave. ws %1 is master").arg(sender));
            m_masterWorkstation = sender;
        }
    } else if (code == u"NU") {
        if (m_status) {
            log(QStringLiteral(" NU. Someone else is master and not happy. We'll go into master"));
            log(QStringLiteral("Changing mastership. Going to master from mode %1. ws %2 is master. NU").arg(mode, ws));
            goMaster();
            m_masterWorkstation = 0;
        } else if (m_master) {
            log(QStringLiteral(" NU. We were master. Go to slave."));
            log(QStringLiteral("Changing mastership. Going to slave from mode %1. ws %2 is master. NU").arg(mode, ws));
            goSlave();
        } else {
            log(QStringLiteral(" NU. Someone else is master and not happy. We're not happy either, nor master. Do nothing."));
            m_masterWorkstation = sender;
        }
    } else if (code == u"NO") {
        if (m_master && m_status && senderOk && sender > m_ownWorkstation) {
            // The healthy master with the lower number keeps the outputs; the
            // sender goes slave on our "NO" (or on our "NA").
            log(QStringLiteral(" NO. Both masters and OK; we are the lower number so stay master."));
            return;
        }
        log(QStringLiteral(" NO. go to slave"));
        log(QStringLiteral("Changing mastership. Going to slave from mode %1. ws %2 is master. NO").arg(mode, ws));
        goSlave();
        m_masterWorkstation = sender;
    } else if (code == u"NC") {
        log(QStringLiteral(" NC. go master"));
        log(QStringLiteral("Changing mastership. Going to master from mode %1. ws %2 is master. NC").arg(mode, ws));
        goMaster();
        m_masterWorkstation = 0;
    } else {
        log(QStringLiteral(" UNKNOWN MESSAGE CODE RECEIVED '%1'").arg(printable(code)));
    }
}

void UDP_socket::goMaster()
{
    m_master = true;
}

void UDP_socket::goSlave()
{
    m_master = false;
}

void UDP_socket::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_transmitTimer) {
        if (m_master && m_status) {
            log(QStringLiteral(" Tx Timer. Master + Happy. Send NA"));
            sendMessage(QStringLiteral("NA"));
        } else if (m_master) {
            log(QStringLiteral(" Tx Timer. Master + Unhappy. Send NU"));
            sendMessage(QStringLiteral("NU"));
        } else {
            log(QStringLiteral(" Tx Timer. Slave. (ws %1 is master)").arg(m_masterWorkstation));
        }
    } else if (event->timerId() == m_receiveTimer) {
        if (m_master) {
            log(QStringLiteral(" Rx Timer. We are master. Master ws is %1").arg(m_masterWorkstation));
        } else if (m_masterWorkstation != 0 && m_masterWorkstation != m_ownWorkstation) {
            log(QStringLiteral(" Rx Timer. Master ws is %1").arg(m_masterWorkstation));
            m_masterWorkstation = 0; // a master must be heard again before the next tick
        } else {
            log(QStringLiteral(" Rx Timer. Ws %1 is master. No master (ie timeout) or we are already. Trying Going To "
                               "Master")
                    .arg(m_masterWorkstation));
            log(QStringLiteral("Changing mastership. Going to master from mode %1. Ws %2 is master. Timeout")
                    .arg(m_master ? 1 : 0)
                    .arg(m_masterWorkstation));
            m_masterWorkstation = 0;
            goMaster();
            sendMessage(m_status ? QStringLiteral("NA") : QStringLiteral("NU"));
        }
    }
}
