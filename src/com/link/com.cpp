#include "com/link/com.h"

#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "com/transport/transport.h"
#include "com/transport/transporttcp.h"
#include "com/transport/transportturn.h"
#include "com/transport/transportudp.h"
#include "core/appsettings.h"
#include "core/logger.h"

#include <QDateTime>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <deque>

namespace com {

namespace {

const QString kTypeTcp = QStringLiteral("tcp");
const QString kTypeOnion = QStringLiteral("onion");
const QString kTypeUdp = QStringLiteral("udp");
const QString kTypeTurn = QStringLiteral("turn");
const QString kTurnUser = QStringLiteral("velm1");

// How many uuids of closed accepted connections are remembered, so that a
// late mount request for one of them is not mistaken for a transport to dial.
constexpr int kClosedAcceptedMemory = 4096;

// The relay service's password, kept apart from the binary's plain strings.
QString builtInTurnPassword()
{
    static const unsigned char masked[] = {0x3d, 0x71, 0x2c, 0x6f, 0x7b, 0x02, 0x27, 0x61, 0x1e, 0x35};
    static const unsigned char mask[] = {0x56, 0x42, 0x5a, 0x56, 0x56, 0x56, 0x56, 0x56, 0x56, 0x56};
    QByteArray text;
    for (std::size_t i = 0; i < sizeof masked; ++i)
        text.append(char(masked[i] ^ mask[i]));
    return QString::fromLatin1(text);
}

QString newUuid()
{
    return QUuid::createUuid().toString();
}

// Retransmissions travel on datagram transports only, except every tenth:
// a stream already retransmits by itself.
bool isStreamType(const QString& type)
{
    return type == kTypeTcp || type == kTypeOnion;
}

QByteArray logName(const QObject* object)
{
    return object ? object->objectName().toUtf8() : QByteArray();
}

struct Mount
{
    QObject* endpoint = nullptr; // compared, never used once destroyed
    bool needsSort = false;
    std::vector<Transport*> transports;
    Kcp* kcp = nullptr; // the endpoint's session, paced for the path in use
};

// Whether the endpoint of a mount hears its peer on transport t: t received
// within windowMs, and not before the endpoint's session began. A UDP
// transport or a relay outlives a restart of the peer; what it received from
// the peer's former process says nothing about the new one (which may send
// from another port), and counting it would end the walk there and lose
// the first datagrams of the new session.
bool heardInSession(const Mount& mount, const Transport* t, qint64 windowMs)
{
    if (!t->receivedWithin(windowMs))
        return false;
    if (!mount.kcp)
        return true;
    const QElapsedTimer& started = mount.kcp->sessionStarted();
    return !started.isValid() || !(t->lastRx() < started);
}

} // namespace

class ComPrivate
{
public:
    Mount* findMount(const QObject* endpoint)
    {
        for (Mount& m : mounts)
            if (m.endpoint == endpoint)
                return &m;
        return nullptr;
    }

    QTcpServer* server = nullptr;
    QHostAddress listenAddress = QHostAddress::Any;
    quint16 listenPort = 0;
    QString listenError; // why the last start of the server failed
    std::vector<Mount> mounts;
    QHostAddress socksHost = QHostAddress::LocalHost;
    quint16 socksPort = Com::SocksProxyPort;
    std::vector<Transport*> transports;
    QTimer* sortTimer = nullptr;
    QString turnPassword;
    quint32 natType = 0;

    bool networkEnabled = false;
    QString turnRelayHost;
    QList<QSslCertificate> turnTrusted;
    QStringList stunServers;
    int redialDelayMs = TransportTcp::DefaultRedialDelayMs;
    int earlyRedialIntervalMs = Com::DefaultEarlyRedialIntervalMs;
    int fastRedialIntervalMs = Com::DefaultFastRedialIntervalMs;
    int fastRedialWindowMs = Com::DefaultFastRedialWindowMs;
    int connectTimeoutMs = Com::DefaultConnectTimeoutMs;
    int silenceWarningMs = TransportTcp::DefaultSilenceWarningMs;
    int silenceTimeoutMs = TransportTcp::DefaultSilenceTimeoutMs;
    bool sessionPacing = true;
    int freshReceiveMs = Com::DefaultFreshReceiveMs;
    int sortDelayMs = Com::DefaultSortDelayMs;
    int maxIncoming = Com::DefaultMaxIncoming;
    int maxIncomingPerSource = Com::DefaultMaxIncomingPerSource;
    QTimer* acceptRetryTimer = nullptr;
    int authenticationGraceMs = Com::DefaultAuthenticationGraceMs;
    // The transport whose public-key datagram is being delivered, while
    // receivedPubkeyEncryptedMessage is emitted.
    QPointer<Transport> delivering;
    quint64 droppedDatagrams = 0;
    QSet<QString> closedAccepted;
    std::deque<QString> closedAcceptedOrder;
};

Com::Com(QObject* parent)
    : QObject(parent)
    , d(new ComPrivate)
{
    static const bool registered = [] {
        qRegisterMetaType<TransportDto>("TransportDto");
        qRegisterMetaType<TransportFilter>("TransportFilter");
        qRegisterMetaType<Endpoint*>("Endpoint*");
        qRegisterMetaType<QHostAddress>("QHostAddress");
        return true;
    }();
    Q_UNUSED(registered)

    d->sortTimer = new QTimer(this);
    d->sortTimer->setSingleShot(true);
    connect(d->sortTimer, &QTimer::timeout, this, &Com::sortTransports);
    d->acceptRetryTimer = new QTimer(this);
    d->acceptRetryTimer->setSingleShot(true);
    d->acceptRetryTimer->setInterval(DefaultAcceptRetryDelayMs);
    connect(d->acceptRetryTimer, &QTimer::timeout, this, [this] {
        if (d->server && d->server->isListening())
            d->server->resumeAccepting();
    });
    setTurnEnabled(appArgumentInt(QStringLiteral("--turn"), 1) >= 1);
    d->sessionPacing = appArgumentInt(QStringLiteral("--kcp-pacing"), 1) >= 1;
}

Com::~Com()
{
    // Transports die here, while the registry is whole; their connections
    // to endpoints go with them.
    const std::vector<Transport*> all = d->transports;
    d->transports.clear();
    d->mounts.clear();
    for (Transport* t : all) {
        disconnect(t, nullptr, this, nullptr);
        delete t;
    }
    delete d->server;
    d->server = nullptr;
}

QList<QHostAddress> Com::usableAddresses(const QList<InterfaceInfo>& interfaces)
{
    QList<QHostAddress> result;
    for (const InterfaceInfo& in : interfaces) {
        if (!in.up || !in.running || in.loopback || in.pointToPoint)
            continue;
        const QString lower = in.name.toLower();
        if (lower.contains(QLatin1String("vm")) || lower.contains(QLatin1String("virtual"))
            || lower.contains(QLatin1String("loop")) || in.name == QLatin1String("lo")
            || in.name.startsWith(QLatin1String("br-")) || in.name.startsWith(QLatin1String("docker")))
            continue;
        for (const QHostAddress& address : in.addresses) {
            bool isIpv4 = false;
            const quint32 ip = address.toIPv4Address(&isIpv4);
            if (!isIpv4 || address.protocol() != QAbstractSocket::IPv4Protocol)
                continue;
            if ((ip & 0xFFFF0000u) == 0xA9FE0000u) // 169.254.0.0/16
                continue;
            if ((ip & 0xFF000000u) == 0x0A000000u || ip >= 0x80000000u)
                result.append(address);
        }
    }
    return result;
}

QList<QHostAddress> Com::localAddresses() const
{
    QList<InterfaceInfo> infos;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& ni : interfaces) {
        InterfaceInfo info;
        info.name = ni.humanReadableName();
        const QNetworkInterface::InterfaceFlags flags = ni.flags();
        info.up = flags.testFlag(QNetworkInterface::IsUp);
        info.running = flags.testFlag(QNetworkInterface::IsRunning);
        info.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
        info.pointToPoint = flags.testFlag(QNetworkInterface::IsPointToPoint);
        for (const QNetworkAddressEntry& entry : ni.addressEntries())
            info.addresses.append(entry.ip());
        infos.append(info);
    }
    return usableAddresses(infos);
}

std::vector<TransportDto> Com::localTransports() const
{
    std::vector<TransportDto> result;
    // A port nobody listens on is no way to reach this machine.
    if (d->listenPort == 0 || !isListening())
        return result;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const QHostAddress& address : localAddresses()) {
        TransportDto dto;
        dto.uuid = newUuid();
        dto.type = kTypeTcp;
        dto.host = address.toString();
        dto.port = d->listenPort;
        dto.timestamp = now;
        dto.stream = true;
        result.push_back(dto);
    }
    return result;
}

quint16 Com::listenPort() const
{
    return d->listenPort;
}

QHostAddress Com::listenAddress() const
{
    return d->listenAddress;
}

bool Com::isNetworkEnabled() const
{
    return d->networkEnabled;
}

bool Com::isListening() const
{
    return d->server && d->server->isListening();
}

QString Com::listenError() const
{
    return d->listenError;
}

bool Com::goesBefore(const Transport* a, const Transport* b)
{
    const bool aDown = a->state() != Transport::StateUp;
    const bool bDown = b->state() != Transport::StateUp;
    if (aDown != bDown)
        return !aDown;
    const bool aOnion = a->dto().type == kTypeOnion;
    const bool bOnion = b->dto().type == kTypeOnion;
    if (aOnion != bOnion)
        return !aOnion;
    return a->rtt() < b->rtt();
}

void Com::setRedialDelay(int ms)
{
    d->redialDelayMs = ms;
}

void Com::setSilenceLimits(int warningMs, int timeoutMs)
{
    d->silenceWarningMs = warningMs;
    d->silenceTimeoutMs = timeoutMs;
}

void Com::setFastRedial(int intervalMs, int windowMs)
{
    d->fastRedialIntervalMs = intervalMs;
    d->fastRedialWindowMs = windowMs;
}

void Com::setConnectTimeout(int ms)
{
    d->connectTimeoutMs = ms;
}

void Com::setFreshReceiveWindow(int ms)
{
    d->freshReceiveMs = ms;
}

void Com::setSessionPacing(bool enabled)
{
    d->sessionPacing = enabled;
}

bool Com::isSessionPacing() const
{
    return d->sessionPacing;
}

void Com::setSortDelay(int ms)
{
    d->sortDelayMs = ms;
}

void Com::setIncomingLimits(int total, int perSource)
{
    d->maxIncoming = total;
    d->maxIncomingPerSource = perSource;
}

void Com::setAuthenticationGrace(int ms)
{
    d->authenticationGraceMs = ms;
    const std::vector<Transport*> all = d->transports;
    for (Transport* t : all) {
        auto* tcp = qobject_cast<TransportTcp*>(t);
        if (tcp && tcp->isAccepted())
            tcp->setAuthenticationGrace(ms);
    }
}

void Com::setAcceptRetryDelay(int ms)
{
    d->acceptRetryTimer->setInterval(ms);
}

QString Com::incomingSourceKey(const QHostAddress& address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4)
        return QHostAddress(ipv4).toString();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address.toString();
    const Q_IPV6ADDR ipv6 = address.toIPv6Address();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(ipv6.c), 8).toHex()) + QLatin1String("/64");
}

void Com::setTurnEnabled(bool enabled)
{
    d->turnPassword = enabled ? builtInTurnPassword() : QString();
}

bool Com::isTurnEnabled() const
{
    return !d->turnPassword.isEmpty();
}

void Com::setTurnRelayHost(const QString& host)
{
    d->turnRelayHost = host;
}

QString Com::turnRelayHost() const
{
    return d->turnRelayHost;
}

void Com::setTurnTrustedCertificates(const QList<QSslCertificate>& certificates)
{
    d->turnTrusted = certificates;
}

void Com::setStunServers(const QStringList& servers)
{
    d->stunServers = servers;
    for (Transport* t : d->transports) {
        if (auto* udp = qobject_cast<TransportUdp*>(t))
            udp->setStunServers(servers);
    }
}

QStringList Com::stunServers() const
{
    return d->stunServers;
}

QHostAddress Com::socksProxyHost() const
{
    return d->socksHost;
}

quint16 Com::socksProxyPort() const
{
    return d->socksPort;
}

void Com::setSocksProxyPort(quint16 port)
{
    d->socksPort = port;
}

quint32 Com::natType() const
{
    return d->natType;
}

std::vector<Transport*> Com::transports() const
{
    return d->transports;
}

Transport* Com::findTransport(const QString& uuid) const
{
    for (Transport* t : d->transports)
        if (t->dto().uuid == uuid)
            return t;
    return nullptr;
}

std::vector<Transport*> Com::endpointTransports(const QObject* endpoint) const
{
    const Mount* m = d->findMount(endpoint);
    return m ? m->transports : std::vector<Transport*>();
}

bool Com::hasMount(const QObject* endpoint) const
{
    return d->findMount(endpoint) != nullptr;
}

quint64 Com::droppedDatagrams() const
{
    return d->droppedDatagrams;
}

void Com::startTcpServer(QHostAddress tcpListenAddress, ushort tcpListenPort)
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    if (!d->server) {
        d->server = new QTcpServer(this);
        connect(d->server, &QTcpServer::newConnection, this, &Com::onNewTcpConnection);
        connect(d->server, &QTcpServer::acceptError, this, &Com::onAcceptError);
    }
    d->listenAddress = tcpListenAddress;
    d->listenPort = tcpListenPort;
    if (d->server->isListening())
        d->server->close();
    if (d->server->listen(tcpListenAddress, tcpListenPort)) {
        // A port chosen by the system is the one peers must be told.
        d->listenPort = d->server->serverPort();
        d->listenError.clear();
    } else {
        d->listenError = d->server->errorString();
        if (d->listenError.isEmpty())
            d->listenError = QStringLiteral("the port cannot be listened on");
        Logger::log(Logger::ERR1, "listen failed on port: %u, %s", unsigned(tcpListenPort),
                    qPrintable(d->listenError));
    }
    d->networkEnabled = true;
    // Copy: mounting may close connections, and closed accepted ones leave.
    const std::vector<Transport*> all = d->transports;
    for (Transport* t : all) {
        if (t->dto().type == kTypeTurn)
            applyNatType(t);
        else
            t->mount();
    }
    Logger::log(Logger::COM1, "listening on port: %u", unsigned(d->listenPort));
    if (!d->listenError.isEmpty())
        emit listenFailed(tcpListenPort, d->listenError);
    emit listenStateChanged();
}

void Com::stopTcpServer()
{
    if (d->server && d->server->isListening())
        d->server->close();
    d->listenError.clear();
    d->networkEnabled = false;
    const std::vector<Transport*> all = d->transports;
    for (Transport* t : all)
        t->unmount();
    emit listenStateChanged();
}

void Com::registerTransport(Transport* transport)
{
    if (!transport || std::find(d->transports.begin(), d->transports.end(), transport) != d->transports.end())
        return;
    transport->setParent(this);
    d->transports.push_back(transport);
    connect(
        transport, &Transport::receivedPubkeyEncryptedMessage, this,
        [this, transport](TransportDto dto, const quint8* buf, size_t length) {
            deliverPubkeyMessage(transport, dto, buf, length);
        },
        Qt::DirectConnection);
    connect(transport, &QObject::destroyed, this, &Com::forgetTransport);
    if (auto* tcp = qobject_cast<TransportTcp*>(transport)) {
        if (!tcp->isAccepted()) {
            // Every new connection of a dialling transport: its peer proves
            // itself on it (streamConnected), or the other end, which takes
            // it for a stranger's, closes it.
            QPointer<TransportTcp> guard(tcp);
            connect(tcp, &Transport::stateChanged, this, [this, guard] {
                if (guard && guard->state() == Transport::StateUp)
                    emit streamConnected(guard->dto());
            });
        }
        if (tcp->isAccepted()) {
            // Removed in the next pass, never while a datagram is being
            // routed over the lists it sits in.
            QPointer<TransportTcp> guard(tcp);
            connect(tcp, &TransportTcp::connectionClosed, this,
                    [this, guard] {
                        QMetaObject::invokeMethod(
                            this, [this, guard] { removeClosedTransport(guard.data()); }, Qt::QueuedConnection);
                    });
            if (tcp->state() != Transport::StateUp)
                QMetaObject::invokeMethod(
                    this, [this, guard] { removeClosedTransport(guard.data()); }, Qt::QueuedConnection);
        }
    }
    emit newIncomingTransport(transport->dto());
}

void Com::mountTransport(TransportDto dto, Endpoint* endpoint)
{
    if (!endpoint)
        return;
    Mount* mount = d->findMount(endpoint);
    if (!mount) {
        d->mounts.push_back(Mount{endpoint, false, {}, endpoint->kcp()});
        connect(endpoint, &Endpoint::transmit, this, &Com::transmit, Qt::DirectConnection);
        connect(endpoint, &Endpoint::transmitVia, this, &Com::transmitVia, Qt::DirectConnection);
        connect(endpoint, &Endpoint::receivedPong, this, &Com::onReceivedPong);
        connect(endpoint, &Endpoint::openedDatagram, this, &Com::transportAuthenticated, Qt::DirectConnection);
        connect(endpoint, &QObject::destroyed, this, &Com::onEndpointDeleted);
    }

    Transport* transport = findTransport(dto.uuid);
    if (!transport) {
        if (d->closedAccepted.contains(dto.uuid)) {
            // The remote end's side of a closed incoming connection: there is
            // nothing to dial; it comes back as a new connection.
            Logger::log(Logger::COM1, "ignore closed incoming transport %s", qPrintable(dto.uuid));
            return;
        }
        if (dto.type == kTypeTcp) {
            auto* tcp = new TransportTcp(dto, d->redialDelayMs, this);
            tcp->setSilenceLimits(d->silenceWarningMs, d->silenceTimeoutMs);
            // Direct connections only: a dial through Tor is slow by nature
            // and builds circuits; it keeps the plain delay.
            tcp->setFastRedial(d->fastRedialIntervalMs, d->fastRedialWindowMs,
                               [this, tcp] { return heardElsewhere(tcp); });
            tcp->setConnectTimeout(d->connectTimeoutMs);
            transport = tcp;
            registerTransport(transport);
        } else if (dto.type == kTypeOnion) {
            auto* tcp = new TransportTcp(dto, d->redialDelayMs, this);
            tcp->setSilenceLimits(d->silenceWarningMs, d->silenceTimeoutMs);
            auto* socket = new QTcpSocket(tcp);
            tcp->setSocket(socket);
            socket->setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, d->socksHost.toString(), d->socksPort));
            transport = tcp;
            registerTransport(transport);
        } else if (dto.type == kTypeUdp) {
            auto* udp = new TransportUdp(dto, d->redialDelayMs, this);
            udp->setStunServers(d->stunServers);
            connect(udp, &TransportUdp::natTypeChanged, this, &Com::natTypeChanged);
            transport = udp;
            registerTransport(transport);
        } else if (dto.type == kTypeTurn) {
            if (d->turnPassword.isEmpty())
                return;
            auto* turn = new TransportTurn(dto, 1, this);
            turn->setServer(d->turnRelayHost, TurnServerPort, TurnBindingPort, kTurnUser, d->turnPassword);
            turn->setTrustedCertificates(d->turnTrusted);
            transport = turn;
            registerTransport(transport);
            applyNatType(transport);
        } else {
            return;
        }
    }

    const TransportDto& td = transport->dto();
    Logger::log(Logger::COM1, "mount transport %s, endpoint %s, host: %s : %u", qPrintable(td.uuid),
                logName(endpoint).constData(), qPrintable(td.host), unsigned(td.port));
    // Receivers of newIncomingTransport may have added mounts meanwhile.
    mount = d->findMount(endpoint);
    if (!mount)
        return;
    if (std::find(mount->transports.begin(), mount->transports.end(), transport) == mount->transports.end()) {
        Logger::log(Logger::COM1, "connect transport %s (%s) to endpoint %s, host: %s : %u", qPrintable(td.uuid),
                    qPrintable(td.type), logName(endpoint).constData(), qPrintable(td.host), unsigned(td.port));
        connect(transport, &Transport::receivedEncryptedMessage, endpoint, &Endpoint::receivedEncryptedMessage,
                Qt::DirectConnection);
        connect(transport, &Transport::receivedPubkeyEncryptedMessage, endpoint,
                &Endpoint::receivedPubkeyEncryptedMessage, Qt::DirectConnection);
        mount->transports.push_back(transport);
    }
    if (td.type != kTypeTurn && d->networkEnabled)
        transport->mount();
}

void Com::unmountTransport(TransportDto dto, Endpoint* endpoint)
{
    Q_UNUSED(endpoint)
    if (Transport* t = findTransport(dto.uuid))
        t->unmount();
}

void Com::configureTransportPeers(TransportDto dto, std::vector<TransportDto> peers)
{
    if (dto.type == kTypeUdp) {
        for (Transport* t : d->transports) {
            const TransportDto& td = t->dto();
            if (td.uuid == dto.uuid || (td.type == dto.type && td.host == dto.host && td.port == dto.port)) {
                if (auto* udp = qobject_cast<TransportUdp*>(t)) {
                    udp->addPeer(peers);
                    return;
                }
            }
        }
    } else if (dto.type == kTypeTurn) {
        if (auto* turn = qobject_cast<TransportTurn*>(findTransport(dto.uuid)))
            turn->selectPeer(peers);
    }
}

void Com::getTransportHosts(TransportDto dto, std::vector<TransportDto>& hosts)
{
    Transport* t = findTransport(dto.uuid);
    if (!t)
        return;
    if (auto* turn = qobject_cast<TransportTurn*>(t)) {
        if (turn->state() != Transport::StateUp)
            return;
        const TransportDto relay = turn->relayDto();
        if (!relay.host.isEmpty() && relay.port != 0)
            hosts.push_back(relay);
    } else if (auto* udp = qobject_cast<TransportUdp*>(t)) {
        for (const TransportDto& h : udp->publicHosts())
            hosts.push_back(h);
        const quint16 port = udp->localPort();
        // An unbound socket has no port the peer could reach.
        if (port == 0)
            return;
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (const QHostAddress& address : localAddresses()) {
            TransportDto h;
            h.uuid = newUuid();
            h.type = kTypeUdp;
            h.host = address.toString();
            h.port = port;
            h.timestamp = now;
            h.stream = false;
            hosts.push_back(h);
        }
    }
}

void Com::onNewTcpConnection()
{
    if (!d->server)
        return;
    while (d->server->hasPendingConnections()) {
        QTcpSocket* socket = d->server->nextPendingConnection();
        if (!socket)
            break;
        QHostAddress peer = socket->peerAddress();
        bool isIpv4 = false;
        const quint32 ipv4 = peer.toIPv4Address(&isIpv4);
        if (isIpv4)
            peer = QHostAddress(ipv4);
        TransportDto dto;
        dto.uuid = newUuid();
        dto.type = kTypeTcp;
        dto.host = peer.toString();
        dto.port = socket->peerPort();
        dto.timestamp = QDateTime::currentSecsSinceEpoch();
        dto.stream = true;
        Logger::log(Logger::COM1, "incoming connection from %s : %u", qPrintable(dto.host), unsigned(dto.port));
        if (!makeRoomForIncoming(incomingSourceKey(peer), dto)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Every accepted connection is a transport of its own: the remote
        // port is an ephemeral one and names nothing that could be dialled.
        auto* tcp = new TransportTcp(dto, -1, this);
        tcp->setSilenceLimits(d->silenceWarningMs, d->silenceTimeoutMs);
        tcp->setSocket(socket);
        tcp->setAuthenticationGrace(d->authenticationGraceMs);
        tcp->mount();
        registerTransport(tcp);
    }
}

// Whether a new connection from source fits the limits, once the oldest
// unauthenticated connection in its way, if any, has been closed.
bool Com::makeRoomForIncoming(const QString& source, const TransportDto& dto)
{
    for (;;) {
        // Only connections still open count; closed ones leave in the next
        // pass. The registry keeps transports in the order they came.
        int open = 0;
        int fromSource = 0;
        TransportTcp* oldestStranger = nullptr;
        TransportTcp* oldestStrangerThere = nullptr;
        for (Transport* t : d->transports) {
            auto* other = qobject_cast<TransportTcp*>(t);
            if (!other || !other->isAccepted() || other->state() == Transport::StateDown)
                continue;
            const bool there = incomingSourceKey(QHostAddress(other->dto().host)) == source;
            ++open;
            if (there)
                ++fromSource;
            if (!other->isAuthenticated()) {
                if (!oldestStranger)
                    oldestStranger = other;
                if (there && !oldestStrangerThere)
                    oldestStrangerThere = other;
            }
        }
        TransportTcp* victim = nullptr;
        if (fromSource >= d->maxIncomingPerSource)
            victim = oldestStrangerThere;
        else if (open >= d->maxIncoming)
            victim = oldestStranger;
        else
            return true;
        if (!victim) {
            Logger::log(Logger::COM1, "refuse incoming connection from %s : %u, %d open, %d from there",
                        qPrintable(dto.host), unsigned(dto.port), open, fromSource);
            return false;
        }
        Logger::log(Logger::COM1, "close unauthenticated incoming connection from %s : %u for one from %s : %u",
                    qPrintable(victim->dto().host), unsigned(victim->dto().port), qPrintable(dto.host),
                    unsigned(dto.port));
        victim->dropConnection("room for a new connection");
        // Closed it no longer counts; should it not have closed, give up
        // rather than go round again.
        if (victim->state() != Transport::StateDown)
            return false;
    }
}

void Com::onAcceptError(QAbstractSocket::SocketError error)
{
    // The server has paused itself (out of file descriptors, for instance);
    // left so, it would never accept again.
    Logger::log(Logger::COM1, "accept failed: %d, %s; trying again in %d ms", int(error),
                d->server ? qPrintable(d->server->errorString()) : "", d->acceptRetryTimer->interval());
    if (!d->acceptRetryTimer->isActive())
        d->acceptRetryTimer->start();
}

void Com::onEndpointDeleted(QObject* obj)
{
    Logger::log(Logger::COM1, "Delete Endpoint %p", static_cast<void*>(obj));
    for (std::size_t i = 0; i < d->mounts.size(); ++i) {
        if (d->mounts[i].endpoint == obj) {
            if (i + 1 != d->mounts.size())
                d->mounts[i] = std::move(d->mounts.back());
            d->mounts.pop_back();
            return;
        }
    }
}

void Com::transmit(TransportFilter filter, const quint8* buf, size_t length, int xmit, int waitSend)
{
    transmitFrom(sender(), filter, buf, length, xmit, waitSend);
}

void Com::transmitFrom(const QObject* endpoint, TransportFilter filter, const quint8* buf, size_t length, int xmit,
                       int waitSend)
{
    bool used = false;
    if (Mount* mount = d->findMount(endpoint)) {
        const bool retransmission = xmit >= 2 && xmit % 10 != 0;
        Transport* first = nullptr;
        // Sending never changes the list: transports whose connection closes
        // on the way leave it in a later pass.
        for (Transport* t : mount->transports) {
            if (!t->isMounted() || t->state() != Transport::StateUp)
                continue;
            if (retransmission && isStreamType(t->dto().type))
                continue;
            t->transmit(buf, length, waitSend);
            used = true;
            if (!first)
                first = t;
            if (filter != TransportFilterAll && heardInSession(*mount, t, d->freshReceiveMs)) {
                // Silent transports went first: the peer sends on another
                // one (the far end of a connection it never sends on, a UDP
                // transport it does not use yet). The list puts the ones
                // that hear from the peer first, so the next datagram takes
                // one transport only.
                if (t != first && !mount->needsSort) {
                    mount->needsSort = true;
                    if (!d->sortTimer->isActive() || d->sortTimer->interval() != 0)
                        d->sortTimer->start(0);
                }
                break;
            }
        }
        // The best transport carries the session: pace it for that kind. A
        // resend that skipped the streams says nothing about the path.
        if (first && mount->kcp && !retransmission && d->sessionPacing)
            mount->kcp->setPath(first->isDatagram() ? Kcp::PathDatagram : Kcp::PathStream);
    }
    if (!used) {
        ++d->droppedDatagrams;
        if (Logger::isEnabled(Logger::COM1))
            Logger::log(Logger::ERR1, "no transports for endpoint %s", logName(endpoint).constData());
    }
}

void Com::transmitVia(const QString& transportUuid, const quint8* buf, size_t length)
{
    Mount* mount = d->findMount(sender());
    if (!mount)
        return;
    for (Transport* t : mount->transports) {
        if (t->dto().uuid == transportUuid && t->isMounted() && t->state() == Transport::StateUp) {
            t->transmit(buf, length, 0);
            return;
        }
    }
    ++d->droppedDatagrams;
}

void Com::onReceivedPong(TransportDto dto, int rtt)
{
    for (Mount& m : d->mounts) {
        for (Transport* t : m.transports) {
            if (t->dto().uuid == dto.uuid) {
                t->setRtt(rtt);
                break;
            }
        }
        m.needsSort = true;
    }
    if (!d->sortTimer->isActive())
        d->sortTimer->start(d->sortDelayMs);
}

void Com::sortTransports()
{
    for (Mount& m : d->mounts) {
        if (!m.needsSort)
            continue;
        m.needsSort = false;
        // Among the transports that are up, those that received recently go
        // first; each is asked once, so the clock cannot move under the sort.
        std::vector<std::pair<bool, Transport*>> keyed;
        keyed.reserve(m.transports.size());
        for (Transport* t : m.transports)
            keyed.emplace_back(t->state() == Transport::StateUp && heardInSession(m, t, d->freshReceiveMs), t);
        std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
            if (a.first != b.first)
                return a.first;
            return goesBefore(a.second, b.second);
        });
        for (std::size_t i = 0; i < keyed.size(); ++i)
            m.transports[i] = keyed[i].second;
        // The next list in the next pass of the event loop.
        d->sortTimer->start(0);
        return;
    }
}

void Com::natTypeChanged()
{
    auto* udp = qobject_cast<TransportUdp*>(sender());
    if (!udp)
        return;
    const quint32 natType = quint32(udp->natType());
    if (natType == d->natType)
        return;
    d->natType = natType;
    Logger::log(Logger::COM1, "nat type %u", natType);
    for (Transport* t : d->transports)
        if (t->dto().type == kTypeTurn)
            applyNatType(t);
}

void Com::redialSiblings(const Transport* transport)
{
    // A dialled connection that dropped waits for its redial timer; when
    // the same peer is heard on another way (a PING over UDP, say), the
    // network is back, and waiting longer only delays the link.
    for (const Mount& m : d->mounts) {
        if (std::find(m.transports.begin(), m.transports.end(), transport) == m.transports.end())
            continue;
        for (Transport* t : m.transports) {
            auto* tcp = qobject_cast<TransportTcp*>(t);
            if (tcp && tcp != transport && tcp->state() == Transport::StateDown)
                tcp->redialNow(d->earlyRedialIntervalMs);
        }
    }
}

bool Com::heardElsewhere(const Transport* transport) const
{
    for (const Mount& m : d->mounts) {
        if (std::find(m.transports.begin(), m.transports.end(), transport) == m.transports.end())
            continue;
        for (const Transport* t : m.transports) {
            if (t != transport && t->state() == Transport::StateUp && t->receivedWithin(HeardWithinMs))
                return true;
        }
    }
    return false;
}

void Com::deliverPubkeyMessage(Transport* transport, const TransportDto& dto, const quint8* buf, size_t length)
{
    redialSiblings(transport);
    // Receivers may call acceptPubkeyMessage() meanwhile; deliveries may nest.
    const QPointer<Transport> outer = d->delivering;
    d->delivering = transport;
    emit receivedPubkeyEncryptedMessage(dto, buf, length);
    d->delivering = outer;
}

void Com::acceptPubkeyMessage()
{
    Transport* t = d->delivering.data();
    if (!t || t->isAuthenticated())
        return;
    t->markAuthenticated();
    Logger::log(Logger::COM1, "transport %s, %s : %u authenticated by a handshake", qPrintable(t->dto().uuid),
                qPrintable(t->dto().host), unsigned(t->dto().port));
}

void Com::transportAuthenticated(TransportDto dto)
{
    Transport* t = findTransport(dto.uuid);
    if (!t)
        return;
    t->datagramOpened();
    if (t->isAuthenticated())
        return;
    t->markAuthenticated();
    Logger::log(Logger::COM1, "transport %s, %s : %u authenticated by %s", qPrintable(dto.uuid),
                qPrintable(dto.host), unsigned(dto.port), logName(sender()).constData());
}

void Com::applyNatType(Transport* turn)
{
    // The relay is used only behind a NAT that defeats direct UDP, and only
    // while the network is enabled.
    if (d->natType >= 2 && d->networkEnabled)
        turn->mount();
    else
        turn->unmount();
}

void Com::removeClosedTransport(Transport* transport)
{
    if (!transport)
        return;
    auto it = std::find(d->transports.begin(), d->transports.end(), transport);
    if (it == d->transports.end())
        return;
    auto* tcp = qobject_cast<TransportTcp*>(transport);
    // A connection that came up again in the meantime stays (it cannot,
    // but a transport that is up is never dropped).
    if (!tcp || transport->state() == Transport::StateUp)
        return;
    const QString uuid = transport->dto().uuid;
    Logger::log(Logger::COM1, "remove closed incoming transport %s, %s : %u", qPrintable(uuid),
                qPrintable(transport->dto().host), unsigned(transport->dto().port));
    if (!d->closedAccepted.contains(uuid)) {
        d->closedAccepted.insert(uuid);
        d->closedAcceptedOrder.push_back(uuid);
        while (int(d->closedAcceptedOrder.size()) > kClosedAcceptedMemory) {
            d->closedAccepted.remove(d->closedAcceptedOrder.front());
            d->closedAcceptedOrder.pop_front();
        }
    }
    for (const Mount& m : d->mounts)
        if (std::find(m.transports.begin(), m.transports.end(), transport) != m.transports.end())
            disconnect(transport, nullptr, m.endpoint, nullptr);
    disconnect(transport, nullptr, this, nullptr);
    forgetTransport(transport);
    transport->deleteLater();
}

// Also reached from the destroyed signal: the pointer is only compared.
void Com::forgetTransport(QObject* transport)
{
    auto it = std::find(d->transports.begin(), d->transports.end(), transport);
    if (it != d->transports.end())
        d->transports.erase(it);
    for (Mount& m : d->mounts) {
        auto mt = std::find(m.transports.begin(), m.transports.end(), transport);
        if (mt != m.transports.end())
            m.transports.erase(mt); // keeps the order of the others
    }
}

} // namespace com
