#pragma once

#include "com/transport/transport.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslError>
#include <QString>

#include <array>
#include <memory>
#include <vector>

class QHostInfo;
class QSslCertificate;
class TransportTurnPrivate;

// Reaches a peer through a TURN relay when direct UDP is not possible. The
// relay is asked once for this machine's public address (a Binding request
// over UDP), then over one TLS connection for an allocation with long-term
// credentials; a channel is bound to the one peer address chosen by
// selectPeer(), and sealed datagrams travel as ChannelData on the TLS
// connection. The remote peer needs no relay of its own: it sends plain UDP
// to the relayed address, which this transport advertises (relayDto()).
//
// Nothing is sent while the server host is empty. The relay's certificate
// is verified against the system's authorities and any given by
// setTrustedCertificates(). Lives on the io thread.
class TransportTurn : public Transport
{
    Q_OBJECT
public:
    using TransactionId = std::array<quint8, 12>;

    // Client states: each names what the state timer does when it fires.
    enum ClientState {
        Idle = 0,
        LookingUp = 1,
        ServerKnown = 2,
        BindingSent = 3,
        ReadyToConnect = 6,
        Connecting = 7,
        TearDown = 8,
        Allocated = 9,
        Connected = 10,
        AllocateSent = 11,
        ChannelBindSent = 13,
        RefreshSent = 14,
    };

    // Failed Refresh or ChannelBind attempts after which the allocation is
    // given up and made again.
    static constexpr int MaxAttempts = 6;
    // Lifetimes a relay grants to a permission and to a channel binding; a
    // ChannelBind renews both.
    static constexpr int PermissionLifetimeSeconds = 300;
    static constexpr int ChannelLifetimeSeconds = 600;
    // Allocation lifetime assumed until the relay states one.
    static constexpr int DefaultLifetimeSeconds = 600;
    static constexpr int AllocatedTickMs = 10000;
    static constexpr int RestartDelayMs = 30000;
    // rtt before any measurement: behind every measured path.
    static constexpr int UnmeasuredRtt = 2147483647;

    // What an answer from the relay says, read in full before anything acts
    // on it, so that the order of its attributes does not matter.
    struct Answer
    {
        bool valid = false;
        quint16 type = 0;
        quint16 method = 0;
        // 0 request, 1 indication, 2 success, 3 error.
        int messageClass = 0;
        TransactionId transactionId{};
        // class * 256 + number (0x401 for 401, 0x426 for 438); 0 when absent.
        int errorCode = 0;
        bool hasNonce = false;
        QByteArray nonce;
        bool hasRealm = false;
        QByteArray realm;
        bool hasLifetime = false;
        quint32 lifetime = 0;
        QHostAddress mappedAddress;
        quint16 mappedPort = 0;
        QHostAddress relayedAddress;
        quint16 relayedPort = 0;
    };

    // What the allocated state does on its tick.
    enum Due { NothingDue = 0, RefreshDue = 1, ChannelBindDue = 2 };

    // The int is not used.
    TransportTurn(const TransportDto& dto, int unused, QObject* parent = nullptr);
    ~TransportTurn() override;

    void setServer(const QString& host, quint16 port, quint16 bindingPort, const QString& user,
                   const QString& password);
    QString serverHost() const;
    quint16 serverPort() const;
    quint16 bindingPort() const;
    QString userName() const;
    bool hasPassword() const;
    // Authorities accepted for the relay's certificate besides the system's.
    void setTrustedCertificates(const QList<QSslCertificate>& certificates);

    // The relayed address under which the peer reaches this machine; empty
    // until the relay has granted one.
    TransportDto relayDto() const;
    // Picks the peer address the relay channel is bound to: the first "udp"
    // entry with a public IPv4 address that differs from the current one in
    // both address and port.
    void selectPeer(const std::vector<TransportDto>& peers);
    QHostAddress peerAddress() const;
    quint16 peerPort() const;
    quint16 channelNumber() const;
    bool isChannelBound() const;
    int clientState() const;
    // Allocation lifetime in seconds as the relay last stated it (0 before).
    quint32 lifetime() const;
    // This machine's address as the relay's Binding answer showed it.
    QHostAddress mappedAddress() const;
    // Messages the relay sent that were dropped (unknown transaction, wrong
    // channel, malformed) and connections closed because the stream broke.
    quint64 droppedMessages() const;
    // Refresh requests the relay has granted since construction.
    quint64 allocationRefreshes() const;
    quint64 brokenStreams() const;

    int state() const override;
    int rtt() const override;
    void setRtt(int rtt) override;

    // Reads a STUN message in full; valid is false for anything that is not
    // a well-formed STUN message with the magic cookie.
    static Answer readAnswer(const quint8* data, std::size_t size);
    // The long-term credential key: MD5 of "user:realm:password" (Latin-1).
    static QByteArray longTermKey(const QString& user, const QByteArray& realm, const QString& password);
    // The channel number for a peer: 0x4000 plus the low 14 bits of its
    // IPv4 address.
    static quint16 channelFor(quint32 ipv4);
    // The requests. Credentials are added only when user, realm, nonce and
    // key are all non-empty; then USERNAME, REALM, NONCE and
    // MESSAGE-INTEGRITY end the message.
    static QByteArray bindingRequest(const TransactionId& id, bool changeRequest);
    static QByteArray allocateRequest(const TransactionId& id, const QString& user, const QByteArray& realm,
                                      const QByteArray& nonce, const QByteArray& key);
    static QByteArray refreshRequest(const TransactionId& id, const QString& user, const QByteArray& realm,
                                     const QByteArray& nonce, const QByteArray& key);
    static QByteArray channelBindRequest(const TransactionId& id, quint16 channel, quint32 peerIpv4,
                                         quint16 peerPort, const QString& user, const QByteArray& realm,
                                         const QByteArray& nonce, const QByteArray& key);
    // Whether the allocation (refreshed allocationAgeMs ago, -1 never) or the
    // channel (bound channelAgeMs ago, -1 never) must be renewed now. The
    // allocation is renewed after a third of its lifetime; the channel, with
    // the permission a ChannelBind renews, after a third of the shorter of
    // the permission's and the channel's lifetime.
    static Due dueRenewal(qint64 allocationAgeMs, qint64 channelAgeMs, quint32 lifetimeSeconds, bool havePeer);

public slots:
    void mount() override;
    void unmount() override;
    void transmit(const quint8* buf, size_t length, int waitSend) override;

    void onSocketConnected();
    void onSocketSslErrors(const QList<QSslError>& errors);
    void onSocketStateChanged(QAbstractSocket::SocketState state);
    void onSocketError(QAbstractSocket::SocketError error);
    void onSocketReadyRead();
    void onLookedUpHostinfo(const QHostInfo& info);
    void onReadPendingDatagram();
    void processReceivedData();
    bool checkEncryptedMessage(const unsigned char* buf, qlonglong size);
    void sendStunBindRequest(bool alternateServer);
    void sendTurnAllocateRequest();
    void sendTurnRefreshRequest();
    void sendChannelBindRequest();
    void stateTimerFired();

private:
    void enterState(int state, int timerMs);
    void handleAnswer(const Answer& answer, bool fromStream);
    void handleChannelData(const quint8* data, std::size_t size);
    bool writeStream(const QByteArray& bytes, const char* what);
    void fillStream();
    void breakStream(const char* why);
    void resetAllocation();
    TransactionId newTransactionId();

    std::unique_ptr<TransportTurnPrivate> d;
};
