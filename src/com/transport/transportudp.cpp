#include "com/transport/transportudp.h"

#include "com/transport/stunmessage.h"
#include "com/transport/stunmessagewriter.h"
#include "core/logger.h"

#include <QDateTime>
#include <QHostInfo>
#include <QPointer>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

const QString kNullUuid = QStringLiteral("{00000000-0000-0000-0000-000000000000}");

// Addresses compare in their IPv4 form where they have one, so that an
// IPv4 address equals its IPv4-mapped IPv6 form.
QHostAddress plainAddress(const QHostAddress& address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4) : address;
}

bool sameAddress(const QHostAddress& a, const QHostAddress& b)
{
    return plainAddress(a) == plainAddress(b);
}

bool isIpv4(const QHostAddress& address)
{
    return plainAddress(address).protocol() == QAbstractSocket::IPv4Protocol;
}

} // namespace

struct StunServer
{
    QString host;
    quint16 port = 0;
    int lookupId = -1;
    QList<QHostAddress> addresses; // IPv4 only: the socket is bound to IPv4
    QHostAddress mappedAddress;
    quint16 mappedPort = 0;
};

struct StunResult
{
    QHostAddress address;
    quint16 port = 0;
    quint32 votes = 0;
    qint64 time = 0;
};

class TransportUdpPrivate
{
public:
    int state = Transport::StateDown;
    QUdpSocket* socket = nullptr;
    std::array<unsigned char, TransportUdp::RxBufferSize> rxBuffer;
    int requestsSent = 0;
    int serverIndex = 0;
    int pingIndex = 0;
    int phase = TransportUdp::PhaseProbing;
    int natType = TransportUdp::NatUnknown;
    QTimer* timer = nullptr;
    QElapsedTimer phaseTimer;
    std::vector<StunServer> servers;
    std::vector<StunResult> results;
    std::vector<TransportUdp::UdpPeer> peers;
    std::vector<TransportUdp::UdpPeer> unknownPeer;
    // The Binding request waiting for its answer: the server asked and the
    // transaction id; an answer must match both.
    int pendingServer = -1;
    com::StunMessage::TransactionId pendingId{};
    // The candidate whose sealed datagram is being announced, while it is.
    bool delivering = false;
    QHostAddress deliveringAddress;
    quint16 deliveringPort = 0;
    // The candidate the peer's last opened datagram came from: where the
    // peer is now, even while another one still counts as best.
    QHostAddress replyAddress;
    quint16 replyPort = 0;
    QElapsedTimer replySince;
};

TransportUdp::TransportUdp(const TransportDto& dto, int unused, QObject* parent)
    : Transport(dto, parent)
    , d(new TransportUdpPrivate)
{
    Q_UNUSED(unused)
    d->socket = new QUdpSocket(this);
    d->timer = new QTimer(this);
    d->timer->setSingleShot(true);
    connect(d->timer, &QTimer::timeout, this, &TransportUdp::timerFired);
    connect(d->socket, &QUdpSocket::readyRead, this, &TransportUdp::readPendingDatagram);
    d->timer->start(TickMs);
}

TransportUdp::~TransportUdp() = default;

QStringList TransportUdp::defaultStunServers()
{
    return {QStringLiteral("stun.cloudflare.com:3478"),   QStringLiteral("stun.sipgate.net:3478"),
            QStringLiteral("stun.stunprotocol.org:3478"), QStringLiteral("stun.nextcloud.com:3478"),
            QStringLiteral("stun.l.google.com:19302"),    QStringLiteral("stun.services.mozilla.com:3478")};
}

bool TransportUdp::parseStunServer(const QString& text, QString& host, quint16& port)
{
    const QString t = text.trimmed();
    QString h = t;
    QString p;
    if (t.startsWith(QLatin1Char('['))) {
        const int close = t.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        h = t.mid(1, close - 1);
        const QString rest = t.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(QLatin1Char(':')))
                return false;
            p = rest.mid(1);
        }
    } else if (t.count(QLatin1Char(':')) == 1) {
        const int colon = t.indexOf(QLatin1Char(':'));
        h = t.left(colon);
        p = t.mid(colon + 1);
    }
    if (h.isEmpty())
        return false;
    quint16 number = DefaultStunPort;
    if (!p.isNull()) {
        bool ok = false;
        const uint value = p.toUInt(&ok);
        if (!ok || value == 0 || value > 65535)
            return false;
        number = quint16(value);
    }
    host = h;
    port = number;
    return true;
}

void TransportUdp::setStunServers(const QStringList& servers)
{
    d->servers.clear();
    for (const QString& text : servers) {
        StunServer s;
        if (!parseStunServer(text, s.host, s.port)) {
            if (!text.trimmed().isEmpty())
                Logger::log(Logger::UDP1, "skip stun server %s", qUtf8Printable(text));
            continue;
        }
        // An address needs no lookup; a lookup of one would even ask the
        // resolver for its name.
        const QHostAddress literal(s.host);
        if (!literal.isNull()) {
            if (!isIpv4(literal)) {
                Logger::log(Logger::UDP1, "skip stun server %s: not IPv4", qUtf8Printable(text));
                continue;
            }
            s.addresses.append(plainAddress(literal));
        }
        d->servers.push_back(s);
    }
    d->requestsSent = 0;
    d->pendingServer = -1;
    if (d->phase != PhasePinging && d->phase != PhasePingSent)
        d->phase = PhaseProbing;
}

int TransportUdp::state() const
{
    return d->state;
}

int TransportUdp::rtt() const
{
    if (!isMounted() || d->state != StateUp || d->peers.empty())
        return UnusableRtt;
    return int(meanRtt(d->peers.front()));
}

void TransportUdp::setRtt(int rtt)
{
    if (!isMounted() || d->state != StateUp || d->peers.empty())
        return;
    UdpPeer& p = d->peers.front();
    p.rtt[p.sampleIndex % RttSamples] = quint32(std::max(rtt, 0));
}

int TransportUdp::natType() const
{
    return d->natType;
}

void TransportUdp::setNatType(int natType)
{
    if (natType == d->natType)
        return;
    d->natType = natType;
    emit natTypeChanged();
}

int TransportUdp::phase() const
{
    return d->phase;
}

const std::vector<TransportUdp::UdpPeer>& TransportUdp::peers() const
{
    return d->peers;
}

quint16 TransportUdp::localPort() const
{
    return d->socket->state() == QAbstractSocket::BoundState ? d->socket->localPort() : 0;
}

quint32 TransportUdp::meanRtt(const UdpPeer& peer)
{
    quint64 sum = 0;
    quint32 count = 0;
    for (quint32 sample : peer.rtt) {
        if (sample < LostRtt) {
            sum += sample;
            ++count;
        }
    }
    return count ? quint32(sum / count) : LostRtt;
}

const TransportUdp::UdpPeer* TransportUdp::findPeer(const std::vector<UdpPeer>& list, const QHostAddress& address,
                                                    quint16 port)
{
    for (const UdpPeer& p : list) {
        if (p.port == port && sameAddress(p.address, address))
            return &p;
    }
    return nullptr;
}

TransportUdp::UdpPeer* TransportUdp::findPeer(const QHostAddress& address, quint16 port)
{
    return const_cast<UdpPeer*>(findPeer(d->peers, address, port));
}

void TransportUdp::setState(int state)
{
    if (state == d->state)
        return;
    invalidateLastRx();
    d->state = state;
    emit stateChanged();
}

void TransportUdp::mount()
{
    setMounted(true);
    // Bound at once rather than at the next tick: the handshake that follows
    // the mounting of a new peer's transports announces this port, and a
    // handshake without it would leave the peer without a UDP candidate
    // until the next one, minutes later.
    if (d->socket->state() != QAbstractSocket::BoundState)
        bindSocket();
}

void TransportUdp::unmount()
{
    setMounted(false);
    if (d->socket->state() != QAbstractSocket::UnconnectedState)
        d->socket->close();
}

void TransportUdp::transmit(const quint8* buf, size_t length, int waitSend)
{
    Q_UNUSED(waitSend)
    if (!isMounted() || d->state != StateUp || d->peers.empty())
        return;
    const UdpPeer& best = d->peers.front();
    // While the peer is heard from a candidate, answer there: the best by
    // round-trip time may be the port of a process of the peer that is gone.
    const bool reply = d->replySince.isValid() && d->replySince.elapsed() < freshnessMs();
    const QHostAddress& address = reply ? d->replyAddress : best.address;
    const quint16 port = reply ? d->replyPort : best.port;
    const qint64 sent = d->socket->writeDatagram(reinterpret_cast<const char*>(buf), qint64(length), address, port);
    if (sent != qint64(length))
        Logger::log(Logger::UDP1, "failed to send to %s : %u", qPrintable(address.toString()), unsigned(port));
}

void TransportUdp::datagramOpened()
{
    // Only a datagram the peer sealed moves the answers: anyone can send
    // one with a made-up source, but not one that opens.
    if (!d->delivering)
        return;
    d->replyAddress = d->deliveringAddress;
    d->replyPort = d->deliveringPort;
    d->replySince.start();
}

qint64 TransportUdp::freshnessMs() const
{
    return std::max<qint64>(60000, 5000 * qint64(d->peers.size()));
}

bool TransportUdp::bindSocket()
{
    int port = dto().port;
    if (port < 1025)
        port = 0;
    if (port >= 65535)
        return false;
    int attempts = 0;
    bool bound = false;
    while (attempts < BindAttempts) {
        ++attempts;
        // Not shared: a port taken by another socket must fail here, so that
        // the next one is tried rather than both receiving half the traffic.
        if (d->socket->bind(QHostAddress::AnyIPv4, quint16(port), QAbstractSocket::DontShareAddress)) {
            bound = true;
            break;
        }
        if (port != 0) {
            if (port + 1 > 65534)
                break;
            ++port;
        }
    }
    if (bound) {
        // The default buffer holds some 90 datagrams: less than one flush of
        // a peer's sessions at copy speed. Datagrams that arrive while the io
        // thread opens the ones before would be dropped by the kernel, and a
        // session that loses most of a window waits out its resend times.
        for (auto option : {QAbstractSocket::ReceiveBufferSizeSocketOption, QAbstractSocket::SendBufferSizeSocketOption})
            if (d->socket->socketOption(option).toInt() < SocketBufferSize)
                d->socket->setSocketOption(option, SocketBufferSize);
        Logger::log(Logger::UDP1, "bound to port %u, attempts: %d, receive buffer %d bytes",
                    unsigned(d->socket->localPort()), attempts,
                    d->socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt());
    }
    else
        Logger::log(Logger::UDP1, "bind failed after %d attempts: %s", attempts,
                    qPrintable(d->socket->errorString()));
    return bound;
}

void TransportUdp::timerFired()
{
    if (!isMounted()) {
        d->timer->start(IdleTickMs);
        return;
    }
    if (d->socket->state() != QAbstractSocket::BoundState)
        bindSocket();

    switch (d->phase) {
    case PhaseProbing: {
        int answered = 0;
        for (const StunServer& s : d->servers) {
            if (s.mappedPort != 0 && isIpv4(s.mappedAddress))
                ++answered;
        }
        if (d->requestsSent < int(d->servers.size()) && answered <= 2) {
            sendStunBindRequest();
        } else {
            d->phaseTimer.start();
            d->phase = PhasePinging;
            checkStunResults();
        }
        break;
    }
    case PhaseRequestSent:
        // No answer by now: the request has had its turn.
        d->phase = PhaseProbing;
        d->pendingServer = -1;
        break;
    case PhaseLookup:
        break;
    case PhasePinging:
        if (d->phaseTimer.elapsed() <= ProbeAgainMs) {
            checkPing();
        } else {
            for (StunServer& s : d->servers)
                s.mappedPort = 0;
            d->requestsSent = 0;
            d->phase = PhaseProbing;
        }
        break;
    case PhasePingSent:
        d->phase = PhasePinging;
        ++d->pingIndex;
        break;
    default:
        d->phase = PhaseProbing;
        break;
    }
    d->timer->start(TickMs);
}

void TransportUdp::sendStunBindRequest()
{
    if (d->servers.empty())
        return;
    const int index = d->serverIndex % int(d->servers.size());
    StunServer& server = d->servers[size_t(index)];
    if (server.addresses.isEmpty()) {
        d->phase = PhaseLookup;
        if (server.lookupId == -1)
            server.lookupId = QHostInfo::lookupHost(server.host, this, SLOT(lookedUpHostinfo(QHostInfo)));
        return;
    }
    com::StunMessage::TransactionId id;
    com::StunMessageWriter::randomTransactionId(id);
    std::uint8_t request[com::StunMessage::HeaderSize];
    com::StunMessageWriter writer(request, sizeof request,
                                  com::StunMessage::MethodBinding | com::StunMessage::ClassRequest, id);
    const QHostAddress& to = server.addresses.front();
    Logger::log(Logger::UDP1, "send bind request to %s ", qPrintable(to.toString()));
    ++d->requestsSent;
    d->phase = PhaseRequestSent;
    d->pendingServer = index;
    d->pendingId = id;
    if (d->socket->writeDatagram(reinterpret_cast<const char*>(request), qint64(writer.size()), to, server.port)
        != qint64(writer.size()))
        Logger::log(Logger::UDP1, "failed to send bind request");
    ++d->serverIndex;
}

void TransportUdp::lookedUpHostinfo(const QHostInfo& info)
{
    if (d->phase == PhaseLookup)
        d->phase = PhaseProbing;
    auto server = std::find_if(d->servers.begin(), d->servers.end(),
                               [&](const StunServer& s) { return s.lookupId == info.lookupId(); });
    if (server == d->servers.end()) {
        ++d->serverIndex;
        return;
    }
    server->lookupId = -1;
    QList<QHostAddress> ipv4;
    if (info.error() == QHostInfo::NoError) {
        // The socket speaks IPv4 only: the first IPv4 address is the one
        // asked, whatever order the resolver gave.
        for (const QHostAddress& a : info.addresses()) {
            if (isIpv4(a))
                ipv4.append(plainAddress(a));
        }
    }
    if (ipv4.isEmpty()) {
        Logger::log(Logger::UDP1, "no IPv4 address for stun server %s", qUtf8Printable(server->host));
        ++d->serverIndex;
        return;
    }
    server->addresses = ipv4;
}

void TransportUdp::readPendingDatagram()
{
    QPointer<TransportUdp> guard(this);
    while (d->socket->hasPendingDatagrams()) {
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 size = d->socket->readDatagram(reinterpret_cast<char*>(d->rxBuffer.data()),
                                                    qint64(RxBufferSize - 1), &from, &fromPort);
        if (size < 0)
            break;
        if (size == 0)
            continue;
        const unsigned char* buf = d->rxBuffer.data();
        if (d->phase == PhaseRequestSent && checkStunBindResponse(buf, size, from, fromPort)) {
            d->timer->start(NextRequestMs);
            continue;
        }
        if (size == 4 && checkPingPong(buf, size, from, fromPort))
            continue;
        if (isMounted())
            checkEncryptedMessage(buf, size, from, fromPort);
        // A receiver may have unmounted or deleted this transport.
        if (guard.isNull() || d->socket->state() != QAbstractSocket::BoundState)
            return;
    }
}

bool TransportUdp::checkStunBindResponse(const unsigned char* buf, qlonglong size, const QHostAddress& peerAddr,
                                         ushort peerPort)
{
    Q_UNUSED(peerPort)
    if (d->pendingServer < 0 || d->pendingServer >= int(d->servers.size()))
        return false;
    StunServer& server = d->servers[size_t(d->pendingServer)];
    const QHostAddress sender = plainAddress(peerAddr);
    if (!server.addresses.contains(sender))
        return false;
    com::StunMessage message(buf, std::size_t(size));
    if (!message.isValid())
        return false;
    // Only the answer to the request we sent counts; anyone can send a
    // datagram that looks like an answer.
    if (message.transactionId() != d->pendingId)
        return false;
    d->phase = PhaseProbing;
    d->pendingServer = -1;
    if ((message.type() & 0xFEEF) != com::StunMessage::MethodBinding)
        return false;

    QHostAddress mapped;
    quint16 mappedPort = 0;
    com::StunMessage::Attribute attribute;
    while (message.nextAttribute(attribute)) {
        QHostAddress address;
        quint16 port = 0;
        switch (attribute.type) {
        case com::StunMessage::AttrMappedAddress:
        case com::StunMessage::AttrXorMappedAddress:
            if (message.readAddress(attribute, attribute.type == com::StunMessage::AttrXorMappedAddress, address,
                                    port)) {
                mapped = address;
                mappedPort = port;
            }
            break;
        case com::StunMessage::AttrChangedAddress:
        case com::StunMessage::AttrOtherAddress:
            if (message.readAddress(attribute, false, address, port))
                Logger::log(Logger::UDP1, "\tother-address(IPv4): %s : %u", qPrintable(address.toString()),
                            unsigned(port));
            break;
        default:
            break;
        }
    }
    // An answer whose attributes do not fit the message is not believed.
    if (message.error() != com::StunMessage::NoError) {
        Logger::log(Logger::UDP1, "malformed bind response from %s", qPrintable(sender.toString()));
        return true;
    }
    if (mappedPort != 0) {
        server.mappedAddress = plainAddress(mapped);
        server.mappedPort = mappedPort;
        Logger::log(Logger::UDP1, "\tmapped-address: %s : %u", qPrintable(server.mappedAddress.toString()),
                    unsigned(mappedPort));
    }
    return true;
}

void TransportUdp::checkStunResults()
{
    d->results.clear();
    for (const StunServer& s : d->servers) {
        if (s.mappedAddress.isNull() || s.mappedPort == 0)
            continue;
        auto known = std::find_if(d->results.begin(), d->results.end(), [&](const StunResult& r) {
            return r.port == s.mappedPort && sameAddress(r.address, s.mappedAddress);
        });
        if (known != d->results.end())
            ++known->votes;
        else
            d->results.push_back({s.mappedAddress, s.mappedPort, 1, QDateTime::currentSecsSinceEpoch()});
    }
    Logger::log(Logger::UDP1, "stun count of results: %u", unsigned(d->results.size()));
    if (d->results.empty()) {
        setNatType(NatNoStunResult);
        return;
    }
    quint16 minPort = 65535;
    quint16 maxPort = 0;
    quint32 maxVotes = 0;
    for (const StunResult& r : d->results) {
        minPort = std::min(minPort, r.port);
        maxPort = std::max(maxPort, r.port);
        maxVotes = std::max(maxVotes, r.votes);
    }
    Logger::log(Logger::UDP1, "stun results: min port: %u, max port: %u", unsigned(minPort), unsigned(maxPort));
    if (minPort == maxPort && maxVotes >= 2) {
        Logger::log(Logger::UDP1, "stun detected cone nat, max votes: %u", unsigned(maxVotes));
        setNatType(NatCone);
        return;
    }
    Logger::log(Logger::UDP1, "stun detected symmetric nat");
    d->results.clear();
    setNatType(NatSymmetric);
}

std::vector<TransportDto> TransportUdp::publicHosts() const
{
    std::vector<TransportDto> hosts;
    if (d->natType != NatCone)
        return hosts;
    for (const StunResult& r : d->results) {
        TransportDto h;
        h.uuid = kNullUuid;
        h.type = QStringLiteral("udp");
        h.host = r.address.toString();
        h.port = r.port;
        h.timestamp = r.time;
        h.stream = false;
        hosts.push_back(h);
    }
    return hosts;
}

bool TransportUdp::checkPing()
{
    if (d->peers.empty())
        return false;
    if (d->pingIndex >= int(d->peers.size())) {
        d->pingIndex = 0;
        sortPeers();
        if (d->peers.empty())
            return false;
    }
    UdpPeer& p = d->peers[size_t(d->pingIndex)];
    if ((p.lastRx.isValid() && p.lastRx.elapsed() <= PingIntervalMs)
        || (p.pingSent.isValid() && p.pingSent.elapsed() <= PingIntervalMs)) {
        ++d->pingIndex;
        return false;
    }
    const qint64 since = p.pingSent.isValid() ? p.pingSent.elapsed() : -1;
    p.pingSent.start();
    p.rtt[p.sampleIndex % RttSamples] = LostRtt;
    d->phase = PhasePingSent;
    Logger::log(Logger::UDP1, "ping %s : %u after %lld ms, udp.peers.size %u %s", qPrintable(p.address.toString()),
                unsigned(p.port), since, unsigned(d->peers.size()), qPrintable(dto().uuid));
    d->socket->writeDatagram("ping", 4, p.address, p.port);
    return true;
}

bool TransportUdp::checkPingPong(const unsigned char* buf, qlonglong size, const QHostAddress& peerAddr,
                                 ushort peerPort)
{
    if (size != 4)
        return false;
    if (std::memcmp(buf, "ping", 4) == 0) {
        Logger::log(Logger::UDP1, "ping from %s : %u", qPrintable(peerAddr.toString()), unsigned(peerPort));
        d->socket->writeDatagram("pong", 4, peerAddr, peerPort);
        return true;
    }
    if (std::memcmp(buf, "pong", 4) != 0)
        return false;
    Logger::log(Logger::UDP1, "pong from %s : %u", qPrintable(peerAddr.toString()), unsigned(peerPort));
    UdpPeer* p = findPeer(peerAddr, peerPort);
    if (!p)
        return true;
    p->lastRx.start();
    if (d->phase == PhasePingSent && d->pingIndex < int(d->peers.size()) && &d->peers[size_t(d->pingIndex)] == p) {
        p->rtt[p->sampleIndex % RttSamples] = quint32(std::min<qint64>(p->pingSent.elapsed(), LostRtt - 1));
        p->sampleIndex = (p->sampleIndex + 1) % RttSamples;
        ++d->pingIndex;
        d->phase = PhasePinging;
        sortPeers();
    }
    return true;
}

bool TransportUdp::checkEncryptedMessage(const unsigned char* buf, qlonglong size, const QHostAddress& peerAddr,
                                         ushort peerPort)
{
    crypto::KeyId keyId = 0;
    unsigned long long length = 0;
    if (crypto::checkEncryptedMessage(buf, quint64(size), &keyId, &length) != crypto::CheckMsgOk)
        return false;
    // The header check refuses lengths below the smallest datagram; the
    // bounds are checked here again so that nothing short or longer than
    // what arrived is ever handed on.
    const bool session = keyId >= crypto::MinSessionKeyId && keyId <= crypto::MaxSessionKeyId;
    const bool pubkey = keyId == crypto::MsgPublicKeyId;
    if ((!session && !pubkey) || length > quint64(size)
        || length < (pubkey ? crypto::PublicKeyOverhead : crypto::SessionOverhead))
        return false;
    restartLastRx();
    // Answers may go to where the datagram came from once an endpoint has
    // opened it, provided that is one of the peer's candidates.
    const UdpPeer* known = findPeer(peerAddr, peerPort);
    d->delivering = known != nullptr;
    if (known) {
        d->deliveringAddress = known->address;
        d->deliveringPort = known->port;
    }
    QPointer<TransportUdp> guard(this);
    if (session) {
        emit receivedEncryptedMessage(dto(), keyId, buf, std::size_t(length));
        if (guard)
            d->delivering = false;
        return true;
    }
    Logger::log(Logger::UDP1, "PKI message from %s : %u", qPrintable(peerAddr.toString()), unsigned(peerPort));
    if (!known) {
        UdpPeer stranger;
        stranger.address = plainAddress(peerAddr);
        stranger.port = peerPort;
        stranger.lastRx.start();
        d->unknownPeer.assign(1, stranger);
    }
    emit receivedPubkeyEncryptedMessage(dto(), buf, std::size_t(length));
    if (guard)
        d->delivering = false;
    return true;
}

void TransportUdp::addPeer(const std::vector<TransportDto>& peers)
{
    for (const TransportDto& dto : peers) {
        const QHostAddress parsed(dto.host);
        if (!isIpv4(parsed) || dto.port == 0) {
            Logger::log(Logger::UDP1, "skip peer %s : %u", qUtf8Printable(dto.host), unsigned(dto.port));
            continue;
        }
        const QHostAddress address = plainAddress(parsed);
        if (findPeer(address, dto.port))
            continue;
        UdpPeer p;
        p.address = address;
        p.port = dto.port;
        if (const UdpPeer* stranger = findPeer(d->unknownPeer, address, dto.port)) {
            if (stranger->lastRx.isValid() && stranger->lastRx.elapsed() < 1000)
                p.lastRx.start();
        }
        Logger::log(Logger::UDP1, "add peer %s : %u", qPrintable(address.toString()), unsigned(dto.port));
        d->peers.push_back(p);
    }
    d->unknownPeer.clear();
    sortPeers();
    if (d->state == StateDown) {
        d->state = StateConnecting;
        emit stateChanged();
    }
}

void TransportUdp::sortPeers()
{
    if (d->peers.empty()) {
        setState(StateDown);
        return;
    }
    const qint64 threshold = freshnessMs();
    // Keys are taken once: the clock must not move under the sort.
    struct Keyed
    {
        bool fresh;
        quint32 mean;
        UdpPeer peer;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(d->peers.size());
    for (const UdpPeer& p : d->peers)
        keyed.push_back({p.lastRx.isValid() && p.lastRx.elapsed() <= threshold, meanRtt(p), p});
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.fresh != b.fresh)
            return a.fresh;
        return a.fresh && a.mean < b.mean;
    });
    for (std::size_t i = 0; i < keyed.size(); ++i)
        d->peers[i] = keyed[i].peer;
    const UdpPeer& best = d->peers.front();
    setState(best.lastRx.isValid() && best.lastRx.elapsed() < threshold ? StateUp : StateDown);
}
