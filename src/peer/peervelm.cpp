#include "peer/peervelm.h"
#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "com/wire/termstreamreader.h"
#include "core/logger.h"
#include "core/machineclassifier.h"
#include "peer/ipeerhost.h"
#include "peer/ipeermodelfactory.h"
#include "peer/peeraclmodel.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/server/vfsservervelm.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <sodium.h>

#include <algorithm>
#include <array>
#include <atomic>

namespace {

// Fragments waiting in a server endpoint's session (sent, not yet
// acknowledged, or not sent yet) above which the file-system server stops
// answering: about 1.4 MB, many times what a client that reads its replies
// ever leaves outstanding.
constexpr int kServerBacklogSegments = 1024;

QMutex s_ownNameMutex;
QString s_ownName;

bool sameTransport(const TransportDto& a, const TransportDto& b)
{
    return a.type == b.type && a.host == b.host && a.port == b.port;
}

bool containsTransport(const std::vector<TransportDto>& list, const TransportDto& t)
{
    for (const TransportDto& known : list) {
        if (sameTransport(known, t))
            return true;
    }
    return false;
}

} // namespace

QString ownPeerUuid()
{
    return QUuid().toString();
}

class PeerVelmPrivate
{
public:
    PeerVelmPrivate(PeerVelm* q, const PeerDto& dto, quint32 ownListenPort, IPeerHost* host)
        : q(q), uuid(dto.uuid), type(dto.type), timestamp(dto.timestamp), host(host),
          ownListenPort(ownListenPort)
    {
    }

    QByteArray nameBytes() const { return q->name().toUtf8(); }

    // Restarts the count of silence; any thread.
    void restartPingTimer() { lastMessageMs.store(host->monotonicMs()); }
    void invalidatePingTimer() { lastMessageMs.store(-1); }

    void generateKcpSession();
    void buildEndpoints(QObject* ioParent);
    void mountStoredTransport(const TransportDto& transport);
    void sendFrame(std::vector<Endpoint*>& endpoints, std::atomic<quint64>& index, const QByteArray& data,
                   const char* ignoredMessage);
    void handleFrame(const std::vector<unsigned char>& data, quint8 magic, quint16 version, bool client);
    // The link state changes only from the state the caller saw; the change
    // happens under the link mutex, so a handshake processed meanwhile on
    // the io thread is never overwritten.
    bool transition(IPeer::LinkState from, IPeer::LinkState to);

    PeerVelm* q;
    const QString uuid;
    const QString type;
    const QDateTime timestamp;
    IPeerHost* const host;

    std::vector<Endpoint*> clientEndpoints;
    std::vector<Endpoint*> serverEndpoints;
    std::atomic<quint64> serverIndex{0};
    std::atomic<quint64> clientIndex{0};
    quint32 localSessionId = 0;
    std::atomic<quint32> remoteSessionId{0};
    std::atomic<qint64> lastMessageMs{-1}; // monotonic ms of the last accepted message; -1 none
    std::atomic<qint64> lastHandshakeSecs{0};
    quint64 lastHandshakeTime = 0; // the time field of the last handshake sent; under the link mutex
    int udpHandshakeRetries = 0;   // handshakes sent again for want of our UDP ports; under the link mutex
    const quint32 ownListenPort;
    // Owned by the io parent, which may go first when the program ends: the
    // window's models ask for the client after that and must see none.
    QPointer<VfsClientVelm> client;
    VfsServerVelm* server = nullptr;
    PeerAclModel* aclModel = nullptr;
    VfsMirkCommand command;
    VfsMirkCommandParser* parser = nullptr;
    std::array<quint8, 32> sessionKey{};
    IPeer::DeviceType localDeviceType = IPeer::DeviceUnknown;

    mutable QMutex linkMutex; // endpoints' keys, attributes, transports; taken before the property mutex
    std::vector<PeerAttributeDto> attributes;
    std::vector<TransportDto> transports;
    QByteArray peerKey; // the peer's public key, once stored
};

void PeerVelmPrivate::generateKcpSession()
{
    crypto_aead_chacha20poly1305_ietf_keygen(sessionKey.data());
    localSessionId = quint32(sessionKey[0]) | quint32(sessionKey[1]) << 8 | quint32(sessionKey[2]) << 16
                     | quint32(sessionKey[3]) << 24;
    Logger::log(Logger::HSK1, "generated kcp session %u, uuid %s %s", localSessionId,
                qUtf8Printable(q->name()), qUtf8Printable(uuid));
}

void PeerVelmPrivate::buildEndpoints(QObject* ioParent)
{
    const bool own = uuid == ownPeerUuid();
    for (int i = 0; i < PeerVelm::PairCount; ++i) {
        auto* cli = new Endpoint(ioParent);
        clientEndpoints.push_back(cli);
        cli->setRxKey(crypto::KeyId(PeerVelm::BaseKeyId + 2 * i), sessionKey.data());
        QObject::connect(cli, &Endpoint::receivedMessage, q, &PeerVelm::onReceivedMessageCli, Qt::DirectConnection);
        QObject::connect(cli, &Endpoint::sessionBroken, q, &PeerVelm::sessionBroken, Qt::DirectConnection);
        if (i == 0) {
            QObject::connect(cli, &Endpoint::receivedMessagePKI, q, &PeerVelm::onReceivedMessagePKI,
                             Qt::DirectConnection);
            cli->startPingTimer();
        }
        auto* srv = new Endpoint(ioParent);
        serverEndpoints.push_back(srv);
        srv->setRxKey(crypto::KeyId(PeerVelm::BaseKeyId + 1 + 2 * i), sessionKey.data());
        QObject::connect(srv, &Endpoint::receivedMessage, q, &PeerVelm::onReceivedMessageSrv, Qt::DirectConnection);
        QObject::connect(srv, &Endpoint::sessionBroken, q, &PeerVelm::sessionBroken, Qt::DirectConnection);
        // The own machine talks to itself in memory, without KCP or sealing.
        if (own) {
            cli->setBuddy(srv);
            srv->setBuddy(cli);
        }
    }
}

bool PeerVelmPrivate::transition(IPeer::LinkState from, IPeer::LinkState to)
{
    QMutexLocker lock(&linkMutex);
    return q->compareAndSetLinkState(from, to);
}

PeerVelm::PeerVelm(const PeerDto& dto, quint32 ownListenPort, IPeerHost* host, QObject* parent)
    : IPeer(parent), d(new PeerVelmPrivate(this, dto, ownListenPort, host))
{
    QCoreApplication* app = QCoreApplication::instance();
    d->aclModel = new PeerAclModel;
    if (app)
        d->aclModel->moveToThread(app->thread());

    d->generateKcpSession();
    QObject* ioParent = host->ioParent();
    d->buildEndpoints(ioParent);

    setId(d->uuid);
    setType(d->type);
    setLinkState(LinkDown);

    d->client = new VfsClientVelm(ioParent);
    connect(d->client, &VfsClientVelm::fsoTransmit, this, &PeerVelm::fsoTransmitCLi, Qt::DirectConnection);
    // Requests in flight when the link goes are lost with it: fail them at
    // once rather than after their time-outs, so that whoever waits for them
    // can start over as soon as the link is back. Direct: a request queued
    // after the link came up again must not be failed by a late call.
    connect(this, &IPeer::linkStateChanged, this, [this, client = d->client] {
        if (client && linkState() != LinkUp)
            client->failPending();
    }, Qt::DirectConnection);
    if (IPeerModelFactory* factory = IPeerModelFactory::installed())
        factory->connectClient(this, d->client);

    const bool own = isOwnPeer();
    d->server = new VfsServerVelm(own ? 1 : 0, ioParent);
    connect(d->server, &VfsServerVelm::fsoTransmit, this, &PeerVelm::fsoTransmitSrv, Qt::DirectConnection);
    d->parser = new VfsMirkCommandParser(d->server);
    // A peer that takes nothing of what it is sent (nothing acknowledged)
    // gets no more replies: each would wait in the session's send queue.
    d->server->setBacklogCheck([this] {
        for (const Endpoint* endpoint : d->serverEndpoints) {
            if (endpoint->kcp()->waitSend() >= kServerBacklogSegments)
                return true;
        }
        return false;
    });

    switch (host->machineClass()) {
    case MachineClassifier::Laptop:
        d->localDeviceType = DeviceLaptop;
        break;
    case MachineClassifier::Desktop:
    case MachineClassifier::Unknown:
        d->localDeviceType = DeviceDesktop;
        break;
    default:
        d->localDeviceType = DeviceUnknown;
        break;
    }

    if (own) {
        setDeviceType(d->localDeviceType);
        //% "This PC"
        setDisplayName(qtTrId("label-this-pc"));
        setLinkState(LinkUp);
        d->client->setProtocolVersion(3);
        d->server->setPeerVersion(3);
    }
    vfsDriveModel()->setObjectName(d->uuid);
    if (app)
        moveToThread(app->thread());
}

PeerVelm::~PeerVelm()
{
    // The models' owner is the main thread; the acl model has no parent.
    if (d->aclModel->thread() == QThread::currentThread())
        delete d->aclModel;
    else
        d->aclModel->deleteLater();
}

PeerDto PeerVelm::identity() const
{
    // Runs under the property mutex: reads only what never changes.
    return PeerDto{d->uuid, d->type, d->timestamp};
}

VfsClient* PeerVelm::vfsClient() const
{
    return d->client;
}

bool PeerVelm::isOwnPeer() const
{
    return d->uuid == ownPeerUuid();
}

PeerAclModel* PeerVelm::aclModel() const
{
    return d->aclModel;
}

VfsClientVelm* PeerVelm::client() const
{
    return d->client;
}

VfsServerVelm* PeerVelm::server() const
{
    return d->server;
}

const std::vector<Endpoint*>& PeerVelm::clientEndpoints() const
{
    return d->clientEndpoints;
}

const std::vector<Endpoint*>& PeerVelm::serverEndpoints() const
{
    return d->serverEndpoints;
}

quint32 PeerVelm::localSessionId() const
{
    return d->localSessionId;
}

quint32 PeerVelm::remoteSessionId() const
{
    return d->remoteSessionId.load();
}

qint64 PeerVelm::lastHandshakeSecs() const
{
    return d->lastHandshakeSecs.load();
}

qint64 PeerVelm::msSinceLastMessage() const
{
    const qint64 last = d->lastMessageMs.load();
    return last < 0 ? -1 : d->host->monotonicMs() - last;
}

IPeer::DeviceType PeerVelm::localDeviceType() const
{
    return d->localDeviceType;
}

std::vector<TransportDto> PeerVelm::transports() const
{
    QMutexLocker lock(&d->linkMutex);
    return d->transports;
}

std::vector<PeerAttributeDto> PeerVelm::attributes() const
{
    QMutexLocker lock(&d->linkMutex);
    return d->attributes;
}

QString PeerVelm::ownName()
{
    QMutexLocker lock(&s_ownNameMutex);
    return s_ownName;
}

void PeerVelm::setOwnName(const QString& name)
{
    QMutexLocker lock(&s_ownNameMutex);
    s_ownName = name;
}

void PeerVelm::testSendTimer()
{
    if (isOwnPeer())
        return;
    const QByteArray name = d->nameBytes();
    const qint64 sinceHandshake = d->host->currentSecsSinceEpoch() - d->lastHandshakeSecs.load();
    switch (linkState()) {
    case LinkUp: {
        const qint64 silence = msSinceLastMessage();
        if (silence >= 0 && silence <= d->host->linkSilenceLimitMs()) {
            if (sinceHandshake > RehandshakeSecs)
                emit requestSendHandshakeRequest(0);
        } else if (d->transition(LinkUp, LinkDown)) {
            Logger::log(Logger::NFO1, "peer ping timeout LinkUp --> LinkDown, uuid %s %s", name.constData(),
                        qUtf8Printable(d->uuid));
        }
        break;
    }
    case LinkConnecting:
        if (sinceHandshake >= ConnectTimeoutSecs) {
            QMutexLocker lock(&d->linkMutex);
            if (compareAndSetLinkState(LinkConnecting, LinkDown)) {
                d->invalidatePingTimer();
                Logger::log(Logger::HSK1, "no handshake response LinkConnecting --> LinkDown, uuid %s %s",
                            name.constData(), qUtf8Printable(d->uuid));
            }
        }
        break;
    case LinkDown:
        if (d->host->localAddresses().isEmpty()) {
            Logger::log(Logger::DBG1, "skip connect peer: no network, uuid %s %s", name.constData(),
                        qUtf8Printable(d->uuid));
        } else if (d->host->systemSleeping()) {
            Logger::log(Logger::DBG1, "skip connect peer system is sleeping, uuid %s %s", name.constData(),
                        qUtf8Printable(d->uuid));
        } else if (sinceHandshake >= RetrySecs && d->transition(LinkDown, LinkConnecting)) {
            // The state is Connecting before the request leaves, so a fast
            // answer's LinkUp is never overwritten; the time counts from the
            // request, so the next run does not give up on it before it left.
            d->lastHandshakeSecs.store(d->host->currentSecsSinceEpoch());
            Logger::log(Logger::HSK1, "connect LinkDown --> LinkConnecting, uuid %s %s", name.constData(),
                        qUtf8Printable(d->uuid));
            emit requestSendHandshakeRequest(0);
        }
        break;
    case LinkReachable:
        break;
    }
    QTimer::singleShot(SupervisorIntervalMs, Qt::CoarseTimer, this, &PeerVelm::testSendTimer);
}

void PeerVelm::sessionBroken()
{
    if (d->host->currentSecsSinceEpoch() - d->lastHandshakeSecs.load() <= BrokenSessionGraceSecs)
        return;
    Logger::log(Logger::HSK1, "%s session broken", d->nameBytes().constData());
    emit requestSendHandshakeRequest(0);
}

// --- Handshake ---------------------------------------------------------------

void PeerVelm::onStreamConnected(TransportDto dto)
{
    if (isOwnPeer())
        return;
    {
        QMutexLocker lock(&d->linkMutex);
        if (std::none_of(d->transports.begin(), d->transports.end(),
                         [&dto](const TransportDto& t) { return t.uuid == dto.uuid; }))
            return;
    }
    Logger::log(Logger::HSK1, "connected %s : %u, handshake over it for %s", qUtf8Printable(dto.host),
                unsigned(dto.port), qUtf8Printable(d->uuid));
    sendHandshakeRequest(0, dto.uuid);
}

void PeerVelm::sendHandshakeRequest(int flags, const QString& viaTransport)
{
    QMutexLocker lock(&d->linkMutex);
    HandshakeDto hs(*d->clientEndpoints.front());
    hs.flags = quint32(flags);
    hs.values = {3, 2, 1};
    hs.attributes["greeting"] = std::string("hello world");
    hs.attributes["name"] = ownName().toStdString();
    if (linkState() != LinkUp) {
        // The invitation we were admitted with, until the link has come up.
        const PeerAttributeDto* invitation = nullptr;
        for (const PeerAttributeDto& a : d->attributes) {
            if (a.key == QLatin1String("invitation") && a.timestamp > (invitation ? invitation->timestamp : 0))
                invitation = &a;
        }
        if (invitation)
            hs.attributes["invitation"] = invitation->value.toStdString();
    }
    if (d->localDeviceType == DeviceDesktop)
        hs.attributes["device"] = std::string("desktop");
    else if (d->localDeviceType == DeviceLaptop)
        hs.attributes["device"] = std::string("laptop");
    hs.keyId = BaseKeyId;
    hs.session = d->localSessionId;

    QElapsedTimer stopwatch;
    stopwatch.start();
    for (const TransportDto& transport : d->transports)
        emit getTransportHosts(transport, hs.transports);
    const QByteArray name = d->nameBytes();
    Logger::log(Logger::HSK1, "rx transports %u for %s", unsigned(hs.transports.size()), name.constData());
    for (const TransportDto& t : hs.transports)
        Logger::log(Logger::HSK1, "rx transport %s : %u (%s)", qUtf8Printable(t.host), unsigned(t.port),
                    qUtf8Printable(t.type));
    Logger::log(Logger::HSK1, "get transports in %lld ms", stopwatch.elapsed());

    // The peer learns our UDP ports only from a handshake. One built before
    // our UDP transport for this peer is bound names none, and the next
    // periodic handshake is minutes away: ask once a second, a few times,
    // until one goes out with them.
    const auto isUdp = [](const TransportDto& t) { return t.type == QLatin1String("udp"); };
    const bool udpWanted = std::any_of(d->transports.begin(), d->transports.end(), isUdp);
    const bool udpNamed = std::any_of(hs.transports.begin(), hs.transports.end(), isUdp);
    if (!udpWanted || udpNamed) {
        d->udpHandshakeRetries = 0;
    } else if (d->udpHandshakeRetries < MaxUdpHandshakeRetries) {
        ++d->udpHandshakeRetries;
        QTimer::singleShot(UdpHandshakeRetryMs, d->clientEndpoints.front(),
                           [this, flags] { emit requestSendHandshakeRequest(flags & 1); });
    }

    std::array<quint8, 512> buffer;
    std::size_t length = buffer.size();
    const qint64 now = d->host->currentSecsSinceEpoch();
    const quint64 time = std::max(quint64(now), d->lastHandshakeTime + 1);
    if (hs.serialize(buffer.data(), &length, time) != HandshakeDto::SerializeOk) {
        Logger::log(Logger::ERR1, "handshake for %s does not fit, not sent", qUtf8Printable(d->uuid));
        return;
    }
    Logger::log(Logger::HSK1, "send handshake request to %s (%s)", name.constData(), qUtf8Printable(d->uuid));
    d->lastHandshakeTime = time;
    d->lastHandshakeSecs.store(now);
    d->clientEndpoints.front()->sendPKIVia(viaTransport, buffer.data(), length);
}

void PeerVelm::onHandshakeRequest(const HandshakeDto& dto)
{
    QMutexLocker lock(&d->linkMutex);
    Logger::log(Logger::HSK1,
                "process handshake request: kcp-session: %u, flags 0x%08x, link state: %d, uuid: %s %s",
                dto.session, dto.flags, int(linkState()), d->nameBytes().constData(), qUtf8Printable(d->uuid));

    for (const auto& attribute : dto.attributes) {
        if (!attribute.second || attribute.second->empty())
            continue;
        const QString value = QString::fromStdString(*attribute.second);
        if (attribute.first == "name") {
            setName(value);
            // The peer object lives on the main thread: name it there.
            QMetaObject::invokeMethod(this, [this, value] { setObjectName(value); }, Qt::QueuedConnection);
            for (int i = 0; i < PairCount; ++i) {
                d->clientEndpoints[size_t(i)]->setObjectName(QStringLiteral("cli %1%2").arg(value).arg(i));
                d->serverEndpoints[size_t(i)]->setObjectName(QStringLiteral("srv %1%2").arg(value).arg(i));
            }
        } else if (attribute.first == "device") {
            if (value == QLatin1String("desktop")) {
                setDeviceType(DeviceDesktop);
                if (icon().isEmpty())
                    setIcon(QStringLiteral("dev-desktop"));
            } else if (value == QLatin1String("laptop")) {
                setDeviceType(DeviceLaptop);
                if (icon().isEmpty())
                    setIcon(QStringLiteral("dev-laptop"));
            }
        }
    }

    d->restartPingTimer();
    if (!dto.values.empty()) {
        if (d->client)
            d->client->setProtocolVersion(dto.values.front());
        d->server->setPeerVersion(dto.values.front());
    }

    std::vector<TransportDto> udpPeers;
    for (const TransportDto& transport : dto.transports) {
        Logger::log(Logger::HSK1, "\ttransport %s %s : %u", qUtf8Printable(transport.type),
                    qUtf8Printable(transport.host), unsigned(transport.port));
        if (transport.type == QLatin1String("udp")) {
            if (!transport.host.isEmpty())
                udpPeers.push_back(transport);
            continue;
        }
        auto known = std::find_if(d->transports.begin(), d->transports.end(),
                                  [&](const TransportDto& t) { return sameTransport(t, transport); });
        if (known != d->transports.end()) {
            // A stored address on another port than ours reached only the
            // client endpoints; the handshake shows it leads to the peer, so
            // our server answers on it too (the same transport, not a second
            // connection to the same address).
            for (Endpoint* srv : d->serverEndpoints)
                emit mountTransport(*known, srv);
            continue;
        }
        d->transports.push_back(transport);
        // A peer announcing our own listener on loopback is this machine:
        // it may reach our server endpoints, our clients need not dial it.
        const bool ownListener = transport.host.contains(QLatin1String("127.0.0.1"))
                                 && transport.port == d->ownListenPort;
        for (int i = 0; i < PairCount; ++i) {
            if (!ownListener)
                emit mountTransport(transport, d->clientEndpoints[size_t(i)]);
            emit mountTransport(transport, d->serverEndpoints[size_t(i)]);
        }
    }
    for (const TransportDto& transport : d->transports) {
        if (transport.type == QLatin1String("udp") || transport.type == QLatin1String("turn"))
            emit configureTransportPeers(transport, udpPeers);
    }

    if (!(dto.flags & 1)) {
        if (linkState() == LinkUp && d->remoteSessionId.load() != dto.session) {
            Logger::log(Logger::HSK1, "establish a new session, LinkUp --> LinkDown %s", d->nameBytes().constData());
            compareAndSetLinkState(LinkUp, LinkDown);
        }
        Logger::log(Logger::HSK1, "invoke handshake response uuid %s %s", d->nameBytes().constData(),
                    qUtf8Printable(d->uuid));
        emit requestSendHandshakeRequest(1);
    }

    Logger::log(Logger::HSK1, "kcp.session: %u", dto.session);
    d->remoteSessionId.store(dto.session);
    const quint32 conv = dto.session ^ d->localSessionId;
    for (int i = 0; i < PairCount; ++i) {
        Endpoint* cli = d->clientEndpoints[size_t(i)];
        Endpoint* srv = d->serverEndpoints[size_t(i)];
        cli->setKcpSession(conv);
        srv->setKcpSession(conv);
        srv->setTxKey(crypto::KeyId(quint8(dto.keyId + 2 * i)), dto.sessionKey.data());
        cli->setTxKey(crypto::KeyId(quint8(dto.keyId + 2 * i + 1)), dto.sessionKey.data());
    }

    if (linkState() != LinkUp) {
        Logger::log(Logger::NFO1, "set LinkUp %s", d->nameBytes().constData());
        setLinkState(LinkUp);
        d->restartPingTimer();
    }
}

// --- File-system frames ------------------------------------------------------

void PeerVelmPrivate::handleFrame(const std::vector<unsigned char>& data, quint8 wantedMagic, quint16 version,
                                  bool toClient)
{
    com::TermStreamReader reader(data.data(), data.size());
    quint32 length = 0;
    quint8 magic = 0;
    quint8 commandCode = 0;
    reader.readU32(length);
    reader.readU8(magic);
    reader.readU8(commandCode);
    if (reader.hasError())
        return;
    if (toClient && q->linkState() != IPeer::LinkUp) {
        Logger::log(Logger::HSK1, "cli received while link state (%d) != Up (ignore message)", int(q->linkState()));
        return;
    }
    restartPingTimer();
    if (magic != wantedMagic)
        return;
    if (!parser->processCommand(data.data(), data.size(), &command, version))
        return;
    if (toClient) {
        if (client)
            client->processIncomingCommand(&command);
    } else {
        server->processIncomingCommand(&command);
    }
}

void PeerVelm::onReceivedMessageCli(const std::vector<unsigned char>& data)
{
    if (d->client)
        d->handleFrame(data, VfsMirkCommand::MagicReply, d->client->protocolVersion(), true);
}

void PeerVelm::onReceivedMessageSrv(const std::vector<unsigned char>& data)
{
    d->handleFrame(data, VfsMirkCommand::MagicRequest, d->server->peerVersion(), false);
}

void PeerVelm::onReceivedMessagePKI(TransportDto, const quint8*, size_t)
{
    // Only the peer's own key counts as a sign of life: anyone who knows our
    // public key can seal a message that client endpoint 0 opens.
    const quint8* sender = d->clientEndpoints.front()->pkiSenderKey();
    bool fromPeer = false;
    {
        QMutexLocker lock(&d->linkMutex);
        fromPeer = sender && d->peerKey.size() == crypto_box_PUBLICKEYBYTES
                   && sodium_memcmp(sender, d->peerKey.constData(), crypto_box_PUBLICKEYBYTES) == 0;
    }
    if (fromPeer && linkState() == LinkUp)
        d->restartPingTimer();
}

void PeerVelmPrivate::sendFrame(std::vector<Endpoint*>& endpoints, std::atomic<quint64>& index,
                                const QByteArray& data, const char* ignoredMessage)
{
    if (q->linkState() != IPeer::LinkUp) {
        Logger::log(Logger::NFO2, ignoredMessage, unsigned(data.size()), int(q->linkState()));
        return;
    }
    const quint64 i = index.fetch_add(1) % endpoints.size();
    endpoints[size_t(i)]->send(reinterpret_cast<const quint8*>(data.constData()), std::size_t(data.size()));
}

void PeerVelm::fsoTransmitCLi(const QByteArray& data)
{
    d->sendFrame(d->clientEndpoints, d->clientIndex, data, "cli transmit %u bytes (ignored), link state %d");
}

void PeerVelm::fsoTransmitSrv(const QByteArray& data)
{
    d->sendFrame(d->serverEndpoints, d->serverIndex, data, "srv transmit %u bytes (ignored), link state %d");
}

// --- Fed by the loader -----------------------------------------------------------

void PeerVelm::updateAcls(const std::vector<PeerAclDto>& acls)
{
    QMutexLocker lock(&d->linkMutex);
    d->aclModel->updateAcls(acls);
    d->server->setShares(acls);
}

void PeerVelm::setCryptoKey(const CryptoKeyDto& key)
{
    QMutexLocker lock(&d->linkMutex);
    if (key.type == QLatin1String("pk") && key.key.size() == crypto_box_PUBLICKEYBYTES)
        d->peerKey = key.key;
    for (Endpoint* endpoint : d->clientEndpoints)
        endpoint->setCryptoKey(key);
}

void PeerVelm::applyAttributes(const std::vector<PeerAttributeDto>& attributes)
{
    QMutexLocker lock(&d->linkMutex);
    d->attributes = attributes;
    for (const PeerAttributeDto& a : attributes) {
        if (a.key == QLatin1String("name") && name().isEmpty()) {
            setName(a.value);
            if (isOwnPeer())
                setOwnName(a.value);
        } else if (a.key == QLatin1String("icon") && icon().isEmpty()) {
            setIcon(a.value);
        } else if (a.key == QLatin1String("displayname") && displayName().isEmpty()) {
            setDisplayName(a.value);
        } else if (a.key == QLatin1String("devicetype") && deviceType() == DeviceUnknown) {
            if (a.value == QLatin1String("laptop"))
                setDeviceType(DeviceLaptop);
            else if (a.value == QLatin1String("desktop"))
                setDeviceType(DeviceDesktop);
        }
    }
    if (deviceType() == DeviceUnknown)
        setDeviceType(DeviceDesktop);
    if (icon().isEmpty())
        setIcon(QStringLiteral("dev-desktop"));
}

void PeerVelm::addTransports(const std::vector<TransportDto>& transports)
{
    QMutexLocker lock(&d->linkMutex);
    std::vector<TransportDto> udpPeers;
    for (const TransportDto& transport : transports) {
        if (transport.type == QLatin1String("udp")) {
            udpPeers.push_back(transport);
            continue;
        }
        if (containsTransport(d->transports, transport))
            continue;
        d->transports.push_back(transport);
        // The own machine's transports are what others use to reach it; its
        // own endpoints talk in memory and never dial them.
        if (isOwnPeer())
            continue;
        const bool serverToo = !transport.host.contains(QLatin1String("127.0.0.1"))
                               && transport.port == d->ownListenPort;
        for (int i = 0; i < PairCount; ++i) {
            emit mountTransport(transport, d->clientEndpoints[size_t(i)]);
            if (serverToo)
                emit mountTransport(transport, d->serverEndpoints[size_t(i)]);
        }
    }
    for (const TransportDto& transport : d->transports) {
        if (transport.type == QLatin1String("udp")) {
            emit configureTransportPeers(transport, udpPeers);
            break;
        }
    }
}

namespace {

TransportDto syntheticTransport(const QString& type, bool withPort)
{
    TransportDto t;
    t.uuid = QUuid::createUuid().toString();
    t.type = type;
    // A port that is stable for the transport and never below 0x0400.
    t.port = withPort ? quint16((qHash(t.uuid, 0) & 0xffff) | 0x0400) : 0;
    t.timestamp = QDateTime::currentSecsSinceEpoch();
    t.stream = false;
    return t;
}

} // namespace

void PeerVelm::addUdpTransport()
{
    QMutexLocker lock(&d->linkMutex);
    const TransportDto t = syntheticTransport(QStringLiteral("udp"), true);
    d->transports.push_back(t);
    for (int i = 0; i < PairCount; ++i) {
        emit mountTransport(t, d->clientEndpoints[size_t(i)]);
        emit mountTransport(t, d->serverEndpoints[size_t(i)]);
    }
}

void PeerVelm::addTurnTransport()
{
    QMutexLocker lock(&d->linkMutex);
    const TransportDto t = syntheticTransport(QStringLiteral("turn"), false);
    d->transports.push_back(t);
    for (int i = 0; i < PairCount; ++i) {
        emit mountTransport(t, d->clientEndpoints[size_t(i)]);
        emit mountTransport(t, d->serverEndpoints[size_t(i)]);
    }
}
