#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUdpSocket>

class IDebug;
class profileFile;

// Where mastership datagrams go and how often: installers on segmented
// networks change the address and port, tests the timer lengths.
struct mastershipSettings
{
    static constexpr quint16 defaultPort = 9208;

    QHostAddress broadcastAddress{QStringLiteral("255.255.255.255")};
    quint16 port = defaultPort;
    int transmitMs = 3000;
    int receiveMs = 15000;

    // The keys "BroadcastAddress" and "MastershipPort" of section "Network"
    // of tavex_system.ini over the defaults; a refused value is reported in
    // `messages`.
    static mastershipSettings fromProfile(const profileFile &system, QStringList *messages = nullptr);
};

// Settles which of the twin engines of one alarm system and channel is
// master (drives the outputs) by broadcasting short datagrams
// "code:QX system:alarm system:workstation:channel:OK|Fail".
class UDP_socket : public QObject
{
    Q_OBJECT

public:
    using settings = mastershipSettings;

    UDP_socket(const QString &qxSystem, const QString &alarmSystem, int workstation, int channel, IDebug *log,
               const settings &options = settings(), QObject *parent = nullptr);
    // Sends "NC": the peers take over at once.
    ~UDP_socket() override;

    bool isSetUp() const { return m_setUp; }
    void startTransmitTimer();
    void setStatus(bool ok);
    bool isMaster() const { return m_master; }
    bool status() const { return m_status; }
    int masterWorkstation() const { return m_masterWorkstation; }
    // The operator takes this engine off the outputs: slave, and "NU" sent.
    void forceRxOnly();
    void sendMessage(const QString &code);

public slots:
    void rxData(int socket = 0);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    void handle(const QByteArray &datagram, const QHostAddress &sender, quint16 senderPort);
    void goMaster();
    void goSlave();
    // Lines beginning "Changing mastership." or "Received NA" are of the
    // "Mastership" category, all others of "UDP System".
    void log(const QString &line);

    int m_ownWorkstation;
    int m_masterWorkstation = 0;
    int m_receiveTimer = 0;
    int m_transmitTimer = 0;
    bool m_status = false;
    bool m_master = false;
    QString m_qxSystem;
    QString m_alarmSystem;
    int m_channel;
    QUdpSocket m_socket;
    IDebug *m_log;
    settings m_options;
    bool m_setUp = true;
};
