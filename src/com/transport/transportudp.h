#pragma once

#include "com/transport/transport.h"

#include <QHostAddress>
#include <QStringList>

#include <memory>
#include <vector>

class QHostInfo;
class TransportUdpPrivate;

// UDP transport to the candidate addresses of one remote peer. It keeps the
// candidates sorted by measured round-trip time, keeps NAT mappings open
// with 4-byte "ping"/"pong" datagrams and sends sealed datagrams to the best
// candidate, or, while the peer's own datagrams come in, to the candidate
// they come from: a peer that was restarted sends from a new port while its
// old one still counts as answered for a while. The same socket asks STUN servers (a setting; none means no
// probing) for this machine's public address and votes on the NAT type in
// front of it.
//
// A 1 s tick drives everything: binding the socket (also done at once on
// mounting), then the probing
// phases: 0 probing (one Binding request per turn until three servers have
// answered with IPv4 or each was asked once), 1 request sent, 2 host name
// lookup running, 3 pinging (one peer per tick at most, for 600 s before
// probing starts over), 4 ping sent, pong not yet in.
class TransportUdp : public Transport
{
    Q_OBJECT
public:
    enum NatType {
        NatUnknown = 0,
        NatCone = 1,
        NatSymmetric = 2,
        NatNoStunResult = 3,
    };

    enum Phase {
        PhaseProbing = 0,
        PhaseRequestSent = 1,
        PhaseLookup = 2,
        PhasePinging = 3,
        PhasePingSent = 4,
    };

    static constexpr int RxBufferSize = 327680;
    // Wanted size of the kernel's send and receive buffers (the system's
    // limit may cut it).
    static constexpr int SocketBufferSize = 4 * 1024 * 1024;
    static constexpr int TickMs = 1000;
    static constexpr int IdleTickMs = 5000;
    static constexpr int NextRequestMs = 50;
    static constexpr int BindAttempts = 20;
    static constexpr qint64 PingIntervalMs = 15000;
    static constexpr qint64 ProbeAgainMs = 600000;
    static constexpr quint32 LostRtt = 100000;
    static constexpr int RttSamples = 5;
    static constexpr quint16 DefaultStunPort = 3478;

    struct UdpPeer
    {
        QHostAddress address;
        quint16 port = 0;
        quint32 rtt[RttSamples] = {LostRtt, LostRtt, LostRtt, LostRtt, LostRtt};
        quint32 sampleIndex = 0;
        QElapsedTimer pingSent;
        QElapsedTimer lastRx;
    };

    // The int is not used.
    TransportUdp(const TransportDto& dto, int unused, QObject* parent = nullptr);
    ~TransportUdp() override;

    // Six public STUN servers that answer Binding requests, asked in order.
    static QStringList defaultStunServers();
    // Splits "host", "host:port", "[v6]:port" into host and port (3478 when
    // none is given). False for an empty host or a bad port.
    static bool parseStunServer(const QString& text, QString& host, quint16& port);
    // Replaces the STUN servers ("host:port" texts); entries that do not
    // parse are skipped. An empty list turns probing off: the NAT vote then
    // finds no answer and nothing is sent.
    void setStunServers(const QStringList& servers);

    int state() const override;
    int rtt() const override;
    void setRtt(int rtt) override;

    int natType() const;
    // Stores the NAT type and emits natTypeChanged() when it changed.
    void setNatType(int natType);
    int phase() const;

    // Adds candidate addresses of the remote peer; addresses already known
    // are skipped, and so are hosts that are not IPv4 addresses (the socket
    // is bound to IPv4 only).
    void addPeer(const std::vector<TransportDto>& peers);
    const std::vector<UdpPeer>& peers() const;

    // This machine's public addresses as STUN found them, only behind a
    // cone NAT.
    std::vector<TransportDto> publicHosts() const;
    // The local port of the UDP socket, 0 while it is not bound.
    quint16 localPort() const;

    // The integer mean of the samples below LostRtt; LostRtt when none is.
    static quint32 meanRtt(const UdpPeer& peer);
    // The first record with an equal address (an IPv4 address equals its
    // IPv4-mapped IPv6 form) and the same port; nullptr when none.
    static const UdpPeer* findPeer(const std::vector<UdpPeer>& list, const QHostAddress& address, quint16 port);

signals:
    void natTypeChanged();

public slots:
    void mount() override;
    void unmount() override;
    void transmit(const quint8* buf, size_t length, int waitSend) override;
    void datagramOpened() override;

private slots:
    void timerFired();
    void sendStunBindRequest();
    void lookedUpHostinfo(const QHostInfo& info);
    void checkStunResults();
    void sortPeers();
    void readPendingDatagram();

private:
    bool bindSocket();
    bool checkStunBindResponse(const unsigned char* buf, qlonglong size, const QHostAddress& peerAddr,
                               ushort peerPort);
    bool checkPingPong(const unsigned char* buf, qlonglong size, const QHostAddress& peerAddr, ushort peerPort);
    bool checkEncryptedMessage(const unsigned char* buf, qlonglong size, const QHostAddress& peerAddr,
                               ushort peerPort);
    bool checkPing();
    UdpPeer* findPeer(const QHostAddress& address, quint16 port);
    void setState(int state);
    // How long a candidate counts as answering after it was last heard.
    qint64 freshnessMs() const;

    std::unique_ptr<TransportUdpPrivate> d;
};
