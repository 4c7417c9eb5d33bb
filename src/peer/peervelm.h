#pragma once

#include "com/link/handshakedto.h"
#include "core/cryptokeydto.h"
#include "core/peeracldto.h"
#include "core/peerattributedto.h"
#include "core/peerdto.h"
#include "core/transportdto.h"
#include "peer/ipeer.h"

#include <QString>

#include <memory>
#include <vector>

class Endpoint;
class IPeerHost;
class PeerAclModel;
class PeerVelmPrivate;
class VfsClientVelm;
class VfsServerVelm;

// The uuid of the own machine: the null uuid in braces.
QString ownPeerUuid();

// A peer of this program, the own machine included. It owns the link to the
// peer: four pairs of client and server endpoints sharing one freshly made
// session key, the file-system client and server that talk over them, and
// the supervisor that brings the link up by handshake and takes it down when
// the peer falls silent.
//
// Built on the io thread, the peer object then lives on the main thread,
// where its supervisor runs; its endpoints, client and server stay on the io
// thread (children of the host's io parent), and the receive, transmit and
// handshake code runs there through direct connections.
class PeerVelm : public IPeer
{
    Q_OBJECT
    Q_PROPERTY(PeerAclModel* aclModel READ aclModel NOTIFY aclModelChanged)

public:
    static constexpr int PairCount = 4;
    static constexpr quint8 BaseKeyId = 10;
    // Supervisor timings.
    static constexpr int SupervisorIntervalMs = 2000;
    // An up link falls silent after the host's linkSilenceLimitMs().
    static constexpr qint64 RehandshakeSecs = 180;    // new handshake on an up link after
    static constexpr qint64 ConnectTimeoutSecs = 6;   // no answer to a request
    static constexpr qint64 RetrySecs = 31;           // next request after a failed one
    static constexpr qint64 BrokenSessionGraceSecs = 5;
    // A handshake that could not name our UDP ports yet is sent again.
    static constexpr int UdpHandshakeRetryMs = 1000;
    static constexpr int MaxUdpHandshakeRetries = 5;

    PeerVelm(const PeerDto& dto, quint32 ownListenPort, IPeerHost* host, QObject* parent = nullptr);
    ~PeerVelm() override;

    PeerDto identity() const override;
    VfsClient* vfsClient() const override;

    bool isOwnPeer() const;
    PeerAclModel* aclModel() const;
    VfsClientVelm* client() const;
    VfsServerVelm* server() const;
    const std::vector<Endpoint*>& clientEndpoints() const;
    const std::vector<Endpoint*>& serverEndpoints() const;
    quint32 localSessionId() const;
    quint32 remoteSessionId() const;
    // Seconds since the epoch of the last handshake sent; 0 before the first.
    qint64 lastHandshakeSecs() const;
    // Milliseconds since the last accepted message; -1 when none counts.
    qint64 msSinceLastMessage() const;
    IPeer::DeviceType localDeviceType() const;
    std::vector<TransportDto> transports() const;
    std::vector<PeerAttributeDto> attributes() const;

    // The process-wide own name, sent in every handshake.
    static QString ownName();
    static void setOwnName(const QString& name);

    // Builds and sends a handshake on client endpoint 0 (0 request,
    // 1 response), on every transport, or only on the one with the uuid
    // viaTransport. Io thread. Each handshake carries a later time than the
    // one before, so that the other end, which takes only newer ones,
    // accepts two sent within one second.
    void sendHandshakeRequest(int flags, const QString& viaTransport = QString());

    // Fed by the peer loader from the database; io thread.
    void updateAcls(const std::vector<PeerAclDto>& acls);
    void setCryptoKey(const CryptoKeyDto& key);
    void applyAttributes(const std::vector<PeerAttributeDto>& attributes);
    void addTransports(const std::vector<TransportDto>& transports);
    void addUdpTransport();
    void addTurnTransport();

signals:
    void mountTransport(TransportDto dto, Endpoint* endpoint);
    void unmountTransport(TransportDto dto, Endpoint* endpoint);
    void getTransportHosts(TransportDto dto, std::vector<TransportDto>& hosts);
    void configureTransportPeers(TransportDto dto, std::vector<TransportDto> peers);
    void aclModelChanged();
    void requestSendHandshakeRequest(int flags);

public slots:
    void onHandshakeRequest(const HandshakeDto& dto);
    void onReceivedMessageCli(const std::vector<unsigned char>& data);
    void onReceivedMessageSrv(const std::vector<unsigned char>& data);
    void onReceivedMessagePKI(TransportDto dto, const quint8* buf, size_t length);
    // A dialled connection came up (com::Com::streamConnected); when it is
    // one of this peer's, a handshake goes over it at once: the other end
    // lets a connection it accepted carry the link only once a handshake
    // from a known key arrived on it. Io thread.
    void onStreamConnected(TransportDto dto);
    // The link supervisor: one run, then (except for the own peer) the next
    // in SupervisorIntervalMs.
    void testSendTimer();
    void fsoTransmitCLi(const QByteArray& data);
    void fsoTransmitSrv(const QByteArray& data);
    void sessionBroken();

private:
    friend class PeerVelmPrivate;
    std::unique_ptr<PeerVelmPrivate> d;
};
