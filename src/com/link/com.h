#pragma once

#include "core/transportdto.h"
#include "core/transportfilter.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QStringList>
#include <QString>

#include <cstddef>
#include <memory>
#include <vector>

class Endpoint;
class Transport;

namespace com {

class ComPrivate;

// The one transport registry of the process, on the io thread. It creates
// transports from TransportDto records and owns them, accepts incoming TCP
// connections, attaches (mounts) transports to endpoints, keeps each
// endpoint's transports in order of preference, and sends every sealed
// datagram an endpoint emits over the right transports of that endpoint. It
// also switches the TURN relay on and off with the NAT type found by the UDP
// transport, and lists the local addresses and transports of this machine.
//
// Accepted connections are transports of their own: they never dial, and
// they are dropped from the registry and from every endpoint once their
// connection has closed. The remote end dials again and brings a new one.
// An accepted connection must prove within a grace period that a peer is
// behind it: an endpoint mounted on it opens one of its datagrams, or a
// receiver of receivedPubkeyEncryptedMessage accepts one as a handshake.
// Otherwise it is closed, and it is the first to go when the incoming limits
// are reached.
//
// No outside address is contacted unless it is configured: the TURN relay
// host is empty by default.
class Com : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 SocksProxyPort = 9350;
    static constexpr quint16 TurnServerPort = 443;
    static constexpr quint16 TurnBindingPort = 3478;
    static constexpr int DefaultSortDelayMs = 2000;
    static constexpr int DefaultFreshReceiveMs = 120000;
    static constexpr int DefaultMaxIncoming = 256;
    static constexpr int DefaultMaxIncomingPerSource = 32;
    static constexpr int DefaultAcceptRetryDelayMs = 1000;
    static constexpr int DefaultAuthenticationGraceMs = 15000;
    // A dropped dialled connection is dialled again before its redial delay
    // when its peer is heard on another transport, at most this often.
    static constexpr int DefaultEarlyRedialIntervalMs = 3000;
    // A dialled "tcp" connection that carried its peer's link and was lost
    // is dialled again this often, for this long after the loss, while the
    // peer is not heard on another of its transports (RedialSchedule).
    static constexpr int DefaultFastRedialIntervalMs = 3000;
    static constexpr int DefaultFastRedialWindowMs = 600000;
    // A peer counts as heard on a transport that is up and received within
    // this time: three of its pings, five seconds apart, may go missing.
    static constexpr int HeardWithinMs = 15000;
    // A direct dial not connected after this is given up and tried again.
    static constexpr int DefaultConnectTimeoutMs = 10000;

    // What localAddresses() needs to know of one network interface.
    struct InterfaceInfo
    {
        QString name; // human-readable name
        bool up = false;
        bool running = false;
        bool loopback = false;
        bool pointToPoint = false;
        QList<QHostAddress> addresses;
    };

    explicit Com(QObject* parent = nullptr);
    ~Com() override;

    // The IPv4 addresses of this machine's real interfaces under which
    // peers may reach it.
    QList<QHostAddress> localAddresses() const;
    // The rule behind localAddresses(), for any list of interfaces.
    static QList<QHostAddress> usableAddresses(const QList<InterfaceInfo>& interfaces);
    // One "tcp" record per local address at the listen port; none while the
    // server does not listen (never started, stopped, or its port was taken).
    std::vector<TransportDto> localTransports() const;
    // The port asked for (the one chosen by the system for port 0).
    quint16 listenPort() const;
    QHostAddress listenAddress() const;
    // True between startTcpServer() and stopTcpServer().
    bool isNetworkEnabled() const;
    bool isListening() const;
    // Why the last startTcpServer() could not listen (the system's words,
    // such as "The bound address is already in use"); empty when it could.
    QString listenError() const;

    // Whether a goes before b in an endpoint's list: up transports first,
    // then non-onion before onion, then lower rtt. A strict weak ordering.
    // Sorting a list also puts the up transports that received recently
    // before the silent ones; a datagram that had to pass silent transports
    // before it reached one that received recently has its list re-sorted in
    // the next pass of the event loop. For an endpoint, only what arrived
    // since its session began counts as received: a transport that outlived
    // a restart of the peer heard its former process, not this session.
    static bool goesBefore(const Transport* a, const Transport* b);

    // Delays, shortened by tests: the redial delay and silence limits given
    // to TCP transports created from now on, the age below which a
    // transport counts as having received recently (filter 16), and the
    // delay between a PONG and the re-sort of the lists.
    void setRedialDelay(int ms);
    void setSilenceLimits(int warningMs, int timeoutMs);
    // The fast redial after a lost link and the connect time-out of direct
    // "tcp" transports created from now on (see the defaults above).
    void setFastRedial(int intervalMs, int windowMs);
    void setConnectTimeout(int ms);
    void setFreshReceiveWindow(int ms);
    void setSortDelay(int ms);

    // Incoming connections that may be open at once: in all, and from one
    // source (see incomingSourceKey), so that strangers cannot use up the
    // process's file descriptors and memory. Defaults 256 and 32. When a new
    // connection would pass a limit, the oldest open one that has not been
    // authenticated (from the same source when that source is full) is
    // closed to make room; an authenticated one is never closed for it. When
    // there is no such connection the new one is closed at once.
    void setIncomingLimits(int total, int perSource);
    // How long an accepted connection may stay unauthenticated before it is
    // closed (default 15000 ms), counted from its start; also for those
    // already open. 0 turns the check off.
    void setAuthenticationGrace(int ms);
    // When accepting fails for want of resources (file descriptors), the
    // server pauses; it tries again after this delay (default 1000 ms).
    void setAcceptRetryDelay(int ms);
    // The source an incoming connection is counted under: its IPv4 address,
    // or the /64 network of an IPv6 address (one machine may use a whole
    // /64). Connections through the local Tor all come from 127.0.0.1.
    static QString incomingSourceKey(const QHostAddress& address);

    // Whether each endpoint's session is paced for the kind of transport
    // that carries it (wider windows on a stream, quick resends on
    // datagrams). Off, every session keeps the settings it started with, as
    // a peer that never re-paces has them. On unless the option
    // --kcp-pacing is below 1.
    void setSessionPacing(bool enabled);
    bool isSessionPacing() const;

    // With TURN disabled no "turn" transport is created. Enabled unless the
    // option --turn is below 1.
    void setTurnEnabled(bool enabled);
    bool isTurnEnabled() const;
    // The relay service's host name; empty (nothing is contacted) unless set.
    void setTurnRelayHost(const QString& host);
    QString turnRelayHost() const;
    // Authorities accepted for the relay's certificate besides the system's
    // (for a relay with a certificate of its own making); for transports
    // made from now on.
    void setTurnTrustedCertificates(const QList<QSslCertificate>& certificates);
    // The STUN servers ("host:port") that every UDP transport asks for this
    // machine's public address; empty (no probing, nothing sent) unless set.
    void setStunServers(const QStringList& servers);
    QStringList stunServers() const;
    // The SOCKS proxy of the local Tor through which "onion" transports dial:
    // 127.0.0.1 at port 9350 unless set before they are created.
    QHostAddress socksProxyHost() const;
    quint16 socksProxyPort() const;
    void setSocksProxyPort(quint16 port);

    // The last NAT type reported by a UDP transport (0 until then).
    quint32 natType() const;

    // Registered transports, in order of registration.
    std::vector<Transport*> transports() const;
    Transport* findTransport(const QString& uuid) const;
    // The transports mounted on an endpoint, in order of preference; empty
    // when it has none.
    std::vector<Transport*> endpointTransports(const QObject* endpoint) const;
    bool hasMount(const QObject* endpoint) const;
    // Datagrams dropped because their endpoint had no usable transport.
    quint64 droppedDatagrams() const;

    // Called by a receiver of receivedPubkeyEncryptedMessage while that
    // signal is being emitted, when it has accepted the message as a
    // handshake from a key it trusts: the connection the message came in on
    // counts as authenticated. Does nothing at any other time.
    void acceptPubkeyMessage();

    // What transmit() does for the endpoint that emitted the datagram.
    void transmitFrom(const QObject* endpoint, TransportFilter filter, const quint8* buf, size_t length, int xmit,
                      int waitSend);

signals:
    // A transport was registered (created by a mount or by an accepted
    // connection).
    void newIncomingTransport(TransportDto dto);
    // A public-key datagram arrived on any registered transport.
    void receivedPubkeyEncryptedMessage(TransportDto dto, const quint8* buf, size_t length);
    // A dialling TCP or onion transport has connected (again). The peer
    // whose endpoints use it proves itself on it with a handshake sent over
    // that very connection, which the other end takes for a stranger's until
    // then.
    void streamConnected(TransportDto dto);
    // startTcpServer() could not listen on port; reason as listenError().
    void listenFailed(quint16 port, const QString& reason);
    // The server started or stopped listening, or failed to.
    void listenStateChanged();

public slots:
    void startTcpServer(QHostAddress tcpListenAddress, ushort tcpListenPort);
    void stopTcpServer();
    void mountTransport(TransportDto dto, Endpoint* endpoint);
    void unmountTransport(TransportDto dto, Endpoint* endpoint);
    void configureTransportPeers(TransportDto dto, std::vector<TransportDto> peers);
    void getTransportHosts(TransportDto dto, std::vector<TransportDto>& hosts);
    void onNewTcpConnection();
    void onEndpointDeleted(QObject* obj);
    // Sends for the endpoint that emitted the signal (sender()).
    void transmit(TransportFilter filter, const quint8* buf, size_t length, int xmit, int waitSend);
    // Sends on that one transport of the sending endpoint, when it is up.
    void transmitVia(const QString& transportUuid, const quint8* buf, size_t length);
    void onReceivedPong(TransportDto dto, int rtt);
    void sortTransports();
    void registerTransport(Transport* transport);
    void natTypeChanged();
    // An endpoint opened a datagram that came in on the transport with dto's
    // uuid (Endpoint::openedDatagram): the transport is authenticated.
    void transportAuthenticated(TransportDto dto);

private:
    void applyNatType(Transport* turn);
    void onAcceptError(QAbstractSocket::SocketError error);
    void removeClosedTransport(Transport* transport);
    void redialSiblings(const Transport* transport);
    // Whether an endpoint that uses transport has another transport that is
    // up and received within HeardWithinMs.
    bool heardElsewhere(const Transport* transport) const;
    void deliverPubkeyMessage(Transport* transport, const TransportDto& dto, const quint8* buf, size_t length);
    bool makeRoomForIncoming(const QString& source, const TransportDto& dto);
    void forgetTransport(QObject* transport);

    std::unique_ptr<ComPrivate> d;
};

} // namespace com
