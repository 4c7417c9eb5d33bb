#include "com/transport/transportturn.h"

#include "com/transport/stunmessage.h"
#include "com/transport/stunmessagewriter.h"
#include "com/transport/turnstream.h"
#include "core/logger.h"
#include "core/machineclassifier.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QUrl>
#include <QUuid>

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace {

using com::StunMessage;

constexpr quint16 MethodBinding = StunMessage::MethodBinding;
constexpr quint16 MethodAllocate = StunMessage::MethodAllocate;
constexpr quint16 MethodRefresh = StunMessage::MethodRefresh;
constexpr quint16 MethodChannelBind = StunMessage::MethodChannelBind;

// The largest request this transport writes: a ChannelBind with credentials
// whose realm and nonce the relay chose (each at most 763 bytes).
constexpr std::size_t kRequestCapacity = 2048;
// A Binding answer is small; anything longer on the UDP socket is not one.
constexpr qint64 kMaxDatagramBytes = 2048;
constexpr int kLookupTimeoutMs = 10000;
constexpr int kBindingTimeoutMs = 5000;
constexpr int kConnectDelayMs = 1000;
constexpr int kAllocateTimeoutMs = 600000;
constexpr int kAuthenticatedAllocateDelayMs = 500;
constexpr int kNewNonceDelayMs = 1000;
constexpr int kNoPeerRetryMs = 1000;
constexpr int kAfterBindMs = 100;
constexpr int kAfterLookupMs = 100;

const QString kTypeUdp = QStringLiteral("udp");

QByteArray logText(const QString& text)
{
    return text.left(63).toUtf8();
}

com::StunMessage::TransactionId toStunId(const TransportTurn::TransactionId& id)
{
    com::StunMessage::TransactionId out{};
    std::copy(id.begin(), id.end(), out.begin());
    return out;
}

// Appends USERNAME, REALM, NONCE and MESSAGE-INTEGRITY when all credentials
// are there. The header's length already covers the integrity attribute when
// its value is computed over everything before it.
bool addCredentials(com::StunMessageWriter& writer, const QString& user, const QByteArray& realm,
                    const QByteArray& nonce, const QByteArray& key)
{
    if (user.isEmpty() || realm.isEmpty() || nonce.isEmpty() || key.isEmpty())
        return true;
    const QByteArray name = user.toLatin1();
    writer.addAttribute(StunMessage::AttrUsername, name.constData(), std::size_t(name.size()));
    writer.addAttribute(StunMessage::AttrRealm, realm.constData(), std::size_t(realm.size()));
    writer.addAttribute(StunMessage::AttrNonce, nonce.constData(), std::size_t(nonce.size()));
    writer.addMessageIntegrity(key);
    return !writer.hasError();
}

QByteArray finish(const com::StunMessageWriter& writer, const std::array<quint8, kRequestCapacity>& buffer)
{
    if (writer.hasError())
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), int(writer.size()));
}

} // namespace

class TransportTurnPrivate
{
public:
    QString host;
    quint16 port = 0;
    quint16 bindingPort = 0;
    QHostAddress serverAddress;
    QString user;
    QString password;
    QList<QSslCertificate> trusted;
    bool proxyChecked = false;

    quint32 peerIpv4 = 0;
    quint16 peerPort = 0;
    quint16 channel = 0;
    int rtt = TransportTurn::UnmeasuredRtt;
    TransportDto relay;
    QByteArray nonce;
    QByteArray realm;
    quint32 lifetime = 0;
    int refreshAttempts = 0;
    int channelBindAttempts = 0;
    // Whether the Allocate in flight carried credentials: a 401 to one that
    // did means they were refused, and asking again at once would only
    // hammer the relay.
    bool allocateAuthenticated = false;
    QElapsedTimer allocationTimer;
    QElapsedTimer channelTimer;
    TransportTurn::TransactionId transactionId{};
    bool transactionOpen = false;
    int clientState = TransportTurn::Idle;
    bool idleLogged = false;

    QTimer* stateTimer = nullptr;
    QTimer* processTimer = nullptr;
    QSslSocket* socket = nullptr;
    QUdpSocket* udp = nullptr;
    com::TurnStream stream;
    QByteArray message;
    QByteArray txBuffer;
    QHostAddress mapped;
    quint64 dropped = 0;
    quint64 broken = 0;
    quint64 refreshes = 0;
    QByteArray uuidText;
};

TransportTurn::TransportTurn(const TransportDto& dto, int unused, QObject* parent)
    : Transport(dto, parent)
    , d(new TransportTurnPrivate)
{
    Q_UNUSED(unused)
    d->uuidText = logText(dto.uuid);
    d->stateTimer = new QTimer(this);
    d->stateTimer->setSingleShot(true);
    connect(d->stateTimer, &QTimer::timeout, this, &TransportTurn::stateTimerFired);
    d->processTimer = new QTimer(this);
    d->processTimer->setSingleShot(true);
    d->processTimer->setInterval(0);
    connect(d->processTimer, &QTimer::timeout, this, &TransportTurn::processReceivedData);

    d->socket = new QSslSocket(this);
    // The decrypted bytes the socket holds stay bounded; the rest waits in
    // the kernel until the stream has room.
    d->socket->setReadBufferSize(qint64(com::TurnStream::Capacity));
    d->socket->setPeerVerifyMode(QSslSocket::VerifyPeer);
    connect(d->socket, &QSslSocket::encrypted, this, &TransportTurn::onSocketConnected);
    connect(d->socket, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), this,
            &TransportTurn::onSocketSslErrors);
    connect(d->socket, &QAbstractSocket::stateChanged, this, &TransportTurn::onSocketStateChanged);
    connect(d->socket, &QIODevice::readyRead, this, &TransportTurn::onSocketReadyRead);
    connect(d->socket, &QAbstractSocket::errorOccurred, this, &TransportTurn::onSocketError);

    d->udp = new QUdpSocket(this);
    connect(d->udp, &QUdpSocket::readyRead, this, &TransportTurn::onReadPendingDatagram);
    Logger::log(Logger::TURN1, "new TURN transport %s", d->uuidText.constData());
}

TransportTurn::~TransportTurn()
{
    disconnect(d->socket, nullptr, this, nullptr);
    disconnect(d->udp, nullptr, this, nullptr);
    d->socket->abort();
}

void TransportTurn::setServer(const QString& host, quint16 port, quint16 bindingPort, const QString& user,
                              const QString& password)
{
    d->host = host.trimmed();
    d->port = port;
    d->bindingPort = bindingPort;
    d->user = user;
    d->password = password;
    d->proxyChecked = false;
    d->idleLogged = false;
}

QString TransportTurn::serverHost() const
{
    return d->host;
}

quint16 TransportTurn::serverPort() const
{
    return d->port;
}

quint16 TransportTurn::bindingPort() const
{
    return d->bindingPort;
}

QString TransportTurn::userName() const
{
    return d->user;
}

bool TransportTurn::hasPassword() const
{
    return !d->password.isEmpty();
}

void TransportTurn::setTrustedCertificates(const QList<QSslCertificate>& certificates)
{
    d->trusted = certificates;
}

TransportDto TransportTurn::relayDto() const
{
    return d->relay;
}

QHostAddress TransportTurn::peerAddress() const
{
    return d->peerIpv4 ? QHostAddress(d->peerIpv4) : QHostAddress();
}

quint16 TransportTurn::peerPort() const
{
    return d->peerPort;
}

quint16 TransportTurn::channelNumber() const
{
    return d->channel;
}

bool TransportTurn::isChannelBound() const
{
    return d->channelTimer.isValid();
}

int TransportTurn::clientState() const
{
    return d->clientState;
}

quint32 TransportTurn::lifetime() const
{
    return d->lifetime;
}

QHostAddress TransportTurn::mappedAddress() const
{
    return d->mapped;
}

quint64 TransportTurn::droppedMessages() const
{
    return d->dropped;
}

quint64 TransportTurn::allocationRefreshes() const
{
    return d->refreshes;
}

quint64 TransportTurn::brokenStreams() const
{
    return d->broken;
}

void TransportTurn::selectPeer(const std::vector<TransportDto>& peers)
{
    for (const TransportDto& p : peers) {
        if (p.type != kTypeUdp)
            continue;
        bool isIpv4 = false;
        const QHostAddress address(p.host);
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        const quint32 ipv4 = address.toIPv4Address(&isIpv4);
        if (!isIpv4 || ipv4 == 0 || p.port == 0 || isPrivateIPv4Address(ipv4))
            continue;
        if (ipv4 == d->peerIpv4 || p.port == d->peerPort)
            continue;
        Logger::log(Logger::TURN1, "select IPv4 %s : %u %s", qPrintable(address.toString()), unsigned(p.port),
                    d->uuidText.constData());
        d->peerIpv4 = ipv4;
        d->peerPort = p.port;
        d->channelTimer.invalidate();
        d->channel = 0;
        return;
    }
}

int TransportTurn::state() const
{
    if (!isMounted())
        return StateDown;
    return d->clientState > TearDown ? StateUp : StateConnecting;
}

int TransportTurn::rtt() const
{
    return d->rtt;
}

void TransportTurn::setRtt(int rtt)
{
    d->rtt = rtt;
}

void TransportTurn::mount()
{
    if (isMounted())
        return;
    setMounted(true);
    enterState(Idle, 0);
}

void TransportTurn::unmount()
{
    if (!isMounted())
        return;
    setMounted(false);
    enterState(TearDown, 0);
}

void TransportTurn::enterState(int state, int timerMs)
{
    const bool changed = (d->clientState > TearDown) != (state > TearDown);
    d->clientState = state;
    if (timerMs >= 0)
        d->stateTimer->start(timerMs);
    if (changed)
        emit stateChanged();
}

TransportTurn::TransactionId TransportTurn::newTransactionId()
{
    randombytes_buf(d->transactionId.data(), d->transactionId.size());
    d->transactionOpen = true;
    return d->transactionId;
}

void TransportTurn::resetAllocation()
{
    d->channelBindAttempts = 0;
    d->refreshAttempts = 0;
    d->channel = 0;
    d->nonce.clear();
    d->realm.clear();
    d->allocationTimer.invalidate();
    d->channelTimer.invalidate();
    d->transactionOpen = false;
    invalidateLastRx();
    d->stream.release();
    d->processTimer->stop();
}

void TransportTurn::stateTimerFired()
{
    switch (d->clientState) {
    case Idle:
        if (d->host.isEmpty()) {
            // No relay configured: nothing is ever sent.
            if (!d->idleLogged)
                Logger::log(Logger::TURN1, "no relay host, stay idle %s", d->uuidText.constData());
            d->idleLogged = true;
            return;
        }
        if (d->peerPort == 0) {
            d->stateTimer->start(kNoPeerRetryMs);
            return;
        }
        resetAllocation();
        {
            // An address needs no lookup (which would ask for its name).
            const QHostAddress literal(d->host);
            if (!literal.isNull()) {
                d->serverAddress = literal;
                enterState(ServerKnown, kAfterLookupMs);
                return;
            }
        }
        enterState(LookingUp, kLookupTimeoutMs);
        QHostInfo::lookupHost(d->host, this, SLOT(onLookedUpHostinfo(QHostInfo)));
        return;
    case LookingUp:
        enterState(TearDown, 0);
        return;
    case ServerKnown:
        enterState(BindingSent, kBindingTimeoutMs);
        sendStunBindRequest(false);
        return;
    case BindingSent:
        enterState(ReadyToConnect, kConnectDelayMs);
        return;
    case ReadyToConnect: {
        enterState(Connecting, -1);
        d->nonce.clear();
        d->realm.clear();
        d->stream.release();
        if (!d->proxyChecked) {
            d->proxyChecked = true;
            QUrl url;
            url.setScheme(QStringLiteral("https"));
            url.setHost(d->host);
            url.setPort(d->port);
            const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
            if (!proxies.isEmpty())
                d->socket->setProxy(proxies.first());
        }
        if (!d->trusted.isEmpty()) {
            QSslConfiguration configuration = d->socket->sslConfiguration();
            configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + d->trusted);
            d->socket->setSslConfiguration(configuration);
        }
        Logger::log(Logger::TURN1, "connect to %s : %u %s", qPrintable(d->host), unsigned(d->port),
                    d->uuidText.constData());
        d->socket->connectToHostEncrypted(d->host, d->port);
        return;
    }
    case Connecting:
        return;
    case Connected:
        enterState(AllocateSent, kAllocateTimeoutMs);
        sendTurnAllocateRequest();
        return;
    case AllocateSent:
        enterState(TearDown, 0);
        return;
    case Allocated: {
        d->stateTimer->start(AllocatedTickMs);
        const qint64 allocationAge = d->allocationTimer.isValid() ? d->allocationTimer.elapsed() : -1;
        const qint64 channelAge = d->channelTimer.isValid() ? d->channelTimer.elapsed() : -1;
        switch (dueRenewal(allocationAge, channelAge, d->lifetime, d->peerIpv4 != 0 && d->peerPort != 0)) {
        case RefreshDue:
            Logger::log(Logger::TURN1, "refresh after dt: %lld seconds %s",
                        allocationAge < 0 ? -1LL : allocationAge / 1000, d->uuidText.constData());
            ++d->refreshAttempts;
            enterState(RefreshSent, -1);
            sendTurnRefreshRequest();
            break;
        case ChannelBindDue:
            ++d->channelBindAttempts;
            enterState(ChannelBindSent, -1);
            sendChannelBindRequest();
            break;
        default:
            break;
        }
        return;
    }
    case ChannelBindSent:
        enterState(d->channelBindAttempts >= MaxAttempts ? TearDown : Allocated, 0);
        return;
    case RefreshSent:
        enterState(d->refreshAttempts >= MaxAttempts ? TearDown : Allocated, 0);
        return;
    case TearDown:
        Logger::log(Logger::TURN1, "disconnect, enter init state %s", d->uuidText.constData());
        enterState(Idle, -1);
        d->stateTimer->stop();
        d->transactionOpen = false;
        d->stream.release();
        d->processTimer->stop();
        if (d->socket->state() != QAbstractSocket::UnconnectedState)
            d->socket->disconnectFromHost();
        if (isMounted())
            d->stateTimer->start(RestartDelayMs);
        return;
    default:
        return;
    }
}

TransportTurn::Due TransportTurn::dueRenewal(qint64 allocationAgeMs, qint64 channelAgeMs, quint32 lifetimeSeconds,
                                             bool havePeer)
{
    const qint64 lifetime = lifetimeSeconds > 0 ? qint64(lifetimeSeconds) : qint64(DefaultLifetimeSeconds);
    if (allocationAgeMs < 0 || allocationAgeMs >= lifetime * 1000 / 3)
        return RefreshDue;
    if (!havePeer)
        return NothingDue;
    const qint64 channelLimitMs = qint64(std::min(PermissionLifetimeSeconds, ChannelLifetimeSeconds)) * 1000 / 3;
    if (channelAgeMs < 0 || channelAgeMs >= channelLimitMs)
        return ChannelBindDue;
    return NothingDue;
}

void TransportTurn::onLookedUpHostinfo(const QHostInfo& info)
{
    if (d->clientState != LookingUp)
        return;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        Logger::log(Logger::TURN1, "lookup of %s failed: %s %s", qPrintable(d->host), qPrintable(info.errorString()),
                    d->uuidText.constData());
        return;
    }
    QHostAddress chosen = info.addresses().first();
    for (const QHostAddress& a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            chosen = a;
            break;
        }
    }
    d->serverAddress = chosen;
    enterState(ServerKnown, kAfterLookupMs);
}

void TransportTurn::onSocketConnected()
{
    Logger::log(Logger::TURN1, "connected to %s %s", qPrintable(d->host), d->uuidText.constData());
    d->socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (d->clientState == Connecting)
        enterState(Connected, 0);
}

void TransportTurn::onSocketSslErrors(const QList<QSslError>& errors)
{
    // Not ignored: a relay whose certificate does not verify gets no
    // credentials and carries nothing.
    for (const QSslError& e : errors)
        Logger::log(Logger::TURN1, "ssl error: %s %s", qPrintable(e.errorString()), d->uuidText.constData());
}

void TransportTurn::onSocketStateChanged(QAbstractSocket::SocketState state)
{
    Logger::log(Logger::TURN1, "turn socket state changed, state:  %d: error: %s  (channel bound: %u)", int(state),
                qPrintable(d->socket->errorString()), unsigned(isChannelBound()));
    if (state == QAbstractSocket::UnconnectedState && isMounted()) {
        d->stream.release();
        d->processTimer->stop();
        d->transactionOpen = false;
        enterState(Idle, RestartDelayMs);
    }
}

void TransportTurn::onSocketError(QAbstractSocket::SocketError error)
{
    Logger::log(Logger::TURN1, "turn socket error: %d (channel bound: %u)", int(error), unsigned(isChannelBound()));
}

bool TransportTurn::writeStream(const QByteArray& bytes, const char* what)
{
    if (bytes.isEmpty() || d->socket->state() != QAbstractSocket::ConnectedState || !d->socket->isEncrypted()) {
        Logger::log(Logger::TURN1, "failed to send %s request", what);
        return false;
    }
    if (d->socket->write(bytes) != bytes.size()) {
        Logger::log(Logger::TURN1, "failed to send %s request", what);
        return false;
    }
    Logger::log(Logger::TURN1, "send %s request (%u bytes) to %s %s", what, unsigned(bytes.size()),
                qPrintable(d->host), d->uuidText.constData());
    return true;
}

void TransportTurn::sendStunBindRequest(bool alternateServer)
{
    const QByteArray request = bindingRequest(newTransactionId(), alternateServer);
    if (d->serverAddress.isNull() || request.isEmpty()
        || d->udp->writeDatagram(request, d->serverAddress, d->bindingPort) != request.size()) {
        Logger::log(Logger::TURN1, "failed to send bind request");
        return;
    }
    Logger::log(Logger::TURN1, "send bind request to %s %s", qPrintable(d->serverAddress.toString()),
                d->uuidText.constData());
}

void TransportTurn::sendTurnAllocateRequest()
{
    const QByteArray key = longTermKey(d->user, d->realm, d->password);
    d->allocateAuthenticated = !d->user.isEmpty() && !d->realm.isEmpty() && !d->nonce.isEmpty() && !key.isEmpty();
    writeStream(allocateRequest(newTransactionId(), d->user, d->realm, d->nonce, key), "allocate");
}

void TransportTurn::sendTurnRefreshRequest()
{
    writeStream(refreshRequest(newTransactionId(), d->user, d->realm, d->nonce,
                               longTermKey(d->user, d->realm, d->password)),
                "refresh");
}

void TransportTurn::sendChannelBindRequest()
{
    if (d->peerIpv4 == 0 || d->peerPort == 0)
        return;
    if (d->channel == 0)
        d->channel = channelFor(d->peerIpv4);
    Logger::log(Logger::TURN1, "send channel 0x%04X bind request %s", unsigned(d->channel), d->uuidText.constData());
    writeStream(channelBindRequest(newTransactionId(), d->channel, d->peerIpv4, d->peerPort, d->user, d->realm,
                                   d->nonce, longTermKey(d->user, d->realm, d->password)),
                "channel bind");
}

void TransportTurn::transmit(const quint8* buf, size_t length, int waitSend)
{
    if (!isMounted() || d->clientState <= TearDown)
        return;
    if (!d->channelTimer.isValid()) {
        Logger::log(Logger::TURN1, "skip tx, channel not bound %s", d->uuidText.constData());
        return;
    }
    if (d->peerIpv4 == 0 || d->peerPort == 0 || !buf || length == 0 || length > 0xFFFF)
        return;
    const std::size_t whole = com::TurnStream::channelDataSize(length);
    if (std::size_t(d->txBuffer.size()) < whole)
        d->txBuffer.resize(int(length) + 64);
    const std::size_t written = com::TurnStream::writeChannelData(
        d->channel, buf, length, reinterpret_cast<quint8*>(d->txBuffer.data()));
    if (written == 0 || d->socket->write(d->txBuffer.constData(), qint64(written)) != qint64(written)) {
        Logger::log(Logger::TURN1, "failed to send channel data %u bytes %s", unsigned(length),
                    d->uuidText.constData());
        return;
    }
    if (waitSend < 2)
        d->socket->flush();
}

void TransportTurn::onReadPendingDatagram()
{
    // Only Binding answers come this way; they are whole in one datagram
    // and never touch the stream's bytes.
    while (d->udp->hasPendingDatagrams()) {
        const qint64 pending = d->udp->pendingDatagramSize();
        QByteArray datagram(int(qBound<qint64>(0, pending, kMaxDatagramBytes)), '\0');
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 got = d->udp->readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
        if (got < 0)
            break;
        if (pending > kMaxDatagramBytes || got < qint64(com::TurnStream::StunHeaderBytes)) {
            ++d->dropped;
            continue;
        }
        Logger::log(Logger::TURN1, "datagram from %s : %u", qPrintable(from.toString()), unsigned(fromPort));
        const Answer answer = readAnswer(reinterpret_cast<const quint8*>(datagram.constData()), std::size_t(got));
        if (answer.method != MethodBinding) {
            ++d->dropped;
            continue;
        }
        handleAnswer(answer, false);
    }
}

void TransportTurn::fillStream()
{
    while (d->stream.freeSpace() > 0 && d->socket->bytesAvailable() > 0) {
        const qint64 want = qMin<qint64>(qint64(d->stream.freeSpace()), d->socket->bytesAvailable());
        const qint64 got = d->socket->read(reinterpret_cast<char*>(d->stream.writePointer()), want);
        if (got <= 0)
            return;
        d->stream.commit(std::size_t(got));
    }
}

void TransportTurn::onSocketReadyRead()
{
    processReceivedData();
}

void TransportTurn::breakStream(const char* why)
{
    Logger::log(Logger::TURN1, "broken stream (%s), reconnect %s", why, d->uuidText.constData());
    ++d->broken;
    d->stream.release();
    d->processTimer->stop();
    d->socket->abort();
}

void TransportTurn::processReceivedData()
{
    if (d->socket->state() != QAbstractSocket::ConnectedState || !d->socket->isEncrypted()) {
        d->stream.release();
        return;
    }
    fillStream();
    const com::TurnStream::Frame frame = d->stream.front();
    if (frame.kind == com::TurnStream::Frame::Broken) {
        breakStream("no message starts here");
        return;
    }
    if (frame.kind == com::TurnStream::Frame::Incomplete)
        return;

    // One message per pass; a copy, so that whatever its receivers do to the
    // stream cannot pull the bytes from under them.
    d->message = QByteArray(reinterpret_cast<const char*>(d->stream.data()), int(frame.size));
    d->stream.consume(frame.size);
    if (d->stream.size() > 0 || d->socket->bytesAvailable() > 0)
        d->processTimer->start();

    const auto* bytes = reinterpret_cast<const quint8*>(d->message.constData());
    if (frame.kind == com::TurnStream::Frame::Stun) {
        const Answer answer = readAnswer(bytes, frame.size);
        if (answer.method == MethodBinding) {
            ++d->dropped;
            return;
        }
        handleAnswer(answer, true);
    } else {
        const quint16 channel = quint16((bytes[0] << 8) | bytes[1]);
        if (channel != d->channel || d->channel == 0) {
            Logger::log(Logger::TURN1, "invalid channel 0x%04X expected 0x%04X", unsigned(channel),
                        unsigned(d->channel));
            ++d->dropped;
            return;
        }
        handleChannelData(bytes + com::TurnStream::ChannelDataHeaderBytes, frame.length);
    }
}

void TransportTurn::handleChannelData(const quint8* data, std::size_t size)
{
    if (!isMounted())
        return;
    QPointer<TransportTurn> guard(this);
    if (checkEncryptedMessage(data, qlonglong(size)))
        return;
    if (!guard)
        return;
    if (size == 4 && std::memcmp(data, "ping", 4) == 0) {
        Logger::log(Logger::TURN1, "rx ping, send pong");
        static const quint8 pong[4] = {'p', 'o', 'n', 'g'};
        transmit(pong, 4, 1);
        return;
    }
    Logger::log(Logger::TURN1, "couldn't decrypt message, %u bytes dropped", unsigned(size));
    ++d->dropped;
}

bool TransportTurn::checkEncryptedMessage(const unsigned char* buf, qlonglong size)
{
    if (!buf || size <= 0)
        return false;
    crypto::KeyId keyId = 0;
    unsigned long long length = 0;
    if (crypto::checkEncryptedMessage(buf, quint64(size), &keyId, &length) != crypto::CheckMsgOk)
        return false;
    // One datagram carries exactly one sealed message.
    const unsigned long long least =
        keyId == crypto::MsgPublicKeyId ? crypto::PublicKeyOverhead : crypto::SessionOverhead;
    if (length < least || length != quint64(size))
        return false;
    if (keyId >= crypto::MinSessionKeyId && keyId <= crypto::MaxSessionKeyId) {
        restartLastRx();
        emit receivedEncryptedMessage(dto(), keyId, buf, std::size_t(length));
        return true;
    }
    if (keyId == crypto::MsgPublicKeyId) {
        restartLastRx();
        Logger::log(Logger::TURN1, "PKI message from 0%08X : %u", d->peerIpv4, unsigned(d->peerPort));
        emit receivedPubkeyEncryptedMessage(dto(), buf, std::size_t(length));
        return true;
    }
    return false;
}

TransportTurn::Answer TransportTurn::readAnswer(const quint8* data, std::size_t size)
{
    Answer answer;
    com::StunMessage message(data, size);
    if (!message.isValid() || size < com::StunMessage::HeaderSize + message.length())
        return answer;
    answer.type = message.type();
    answer.method = quint16(message.type() & 0xFEEF);
    answer.messageClass = ((message.type() >> 4) & 1) | (((message.type() >> 8) & 1) << 1);
    std::copy(message.transactionId().begin(), message.transactionId().end(), answer.transactionId.begin());
    com::StunMessage::Attribute attribute;
    while (message.nextAttribute(attribute)) {
        switch (attribute.type) {
        case StunMessage::AttrErrorCode:
            if (attribute.length >= 4)
                answer.errorCode = ((attribute.value[2] & 0x07) << 8) | attribute.value[3];
            break;
        case StunMessage::AttrNonce:
            answer.hasNonce = attribute.length > 0;
            answer.nonce = QByteArray(reinterpret_cast<const char*>(attribute.value), int(attribute.length));
            break;
        case StunMessage::AttrRealm:
            answer.hasRealm = attribute.length > 0;
            answer.realm = QByteArray(reinterpret_cast<const char*>(attribute.value), int(attribute.length));
            break;
        case StunMessage::AttrLifetime:
            if (attribute.length == 4) {
                answer.hasLifetime = true;
                answer.lifetime = (quint32(attribute.value[0]) << 24) | (quint32(attribute.value[1]) << 16)
                    | (quint32(attribute.value[2]) << 8) | quint32(attribute.value[3]);
            }
            break;
        case StunMessage::AttrXorMappedAddress:
            message.readAddress(attribute, true, answer.mappedAddress, answer.mappedPort);
            break;
        case StunMessage::AttrXorRelayedAddress:
            message.readAddress(attribute, true, answer.relayedAddress, answer.relayedPort);
            break;
        default:
            break;
        }
    }
    // A message whose attributes run past its end is not taken at all.
    if (message.error() != com::StunMessage::NoError)
        return Answer();
    answer.valid = true;
    return answer;
}

void TransportTurn::handleAnswer(const Answer& answer, bool fromStream)
{
    Q_UNUSED(fromStream)
    if (!answer.valid) {
        Logger::log(Logger::TURN1, "RX ignore malformed message %s", d->uuidText.constData());
        ++d->dropped;
        return;
    }
    // Only the answer to the request in flight counts: anything else is late
    // or forged.
    if (!d->transactionOpen || answer.transactionId != d->transactionId
        || (answer.messageClass != 2 && answer.messageClass != 3)) {
        Logger::log(Logger::TURN1, "RX ignore method 0x%04X: not the answer to our request %s",
                    unsigned(answer.method), d->uuidText.constData());
        ++d->dropped;
        return;
    }
    d->transactionOpen = false;
    Logger::log(Logger::TURN1, "received method: 0x%04X, type: 0x%04X, class: %x, error-code: %x %s",
                unsigned(answer.method), unsigned(answer.type), unsigned(answer.messageClass),
                unsigned(answer.errorCode), d->uuidText.constData());
    const bool success = answer.messageClass == 2;
    const bool error = answer.messageClass == 3;
    if (answer.hasNonce)
        d->nonce = answer.nonce;
    if (answer.hasRealm)
        d->realm = answer.realm;
    if (answer.hasLifetime) {
        d->lifetime = answer.lifetime;
        Logger::log(Logger::TURN1, "\tlifetime: %u", unsigned(answer.lifetime));
    }

    switch (answer.method) {
    case MethodBinding:
        if (success && !answer.mappedAddress.isNull()) {
            d->mapped = answer.mappedAddress;
            Logger::log(Logger::TURN1, "\txor-mapped-address: %s : %u", qPrintable(answer.mappedAddress.toString()),
                        unsigned(answer.mappedPort));
        }
        // The timer armed with the request still runs and connects.
        if (success && d->clientState == BindingSent)
            d->clientState = ReadyToConnect;
        return;
    case MethodAllocate:
        if (d->clientState != AllocateSent)
            return;
        if (success) {
            if (answer.relayedAddress.protocol() == QAbstractSocket::IPv4Protocol) {
                const QString host = answer.relayedAddress.toString();
                Logger::log(Logger::TURN1, "\txor-relayed-address(IPv4): %s : %u", qPrintable(host),
                            unsigned(answer.relayedPort));
                if (d->relay.host != host || d->relay.port != answer.relayedPort) {
                    Logger::log(Logger::TURN1, "\tcreate new TURN relayed transport for %s : %u %s",
                                qPrintable(host), unsigned(answer.relayedPort), d->uuidText.constData());
                    d->relay.uuid = QUuid::createUuid().toString();
                    d->relay.type = kTypeUdp;
                    d->relay.host = host;
                    d->relay.port = answer.relayedPort;
                    d->relay.timestamp = QDateTime::currentSecsSinceEpoch();
                    d->relay.stream = false;
                }
            }
            d->allocationTimer.start();
            d->refreshAttempts = 0;
            enterState(Allocated, AllocatedTickMs);
            // Bind the channel at once rather than a tick later.
            d->stateTimer->start(0);
            return;
        }
        if (error && answer.errorCode == 0x401) {
            if (d->allocateAuthenticated) {
                Logger::log(Logger::TURN1, "relay refused the credentials %s", d->uuidText.constData());
                enterState(TearDown, 0);
                return;
            }
            if (!d->nonce.isEmpty() && !d->realm.isEmpty()) {
                d->refreshAttempts = 0;
                enterState(Connected, kAuthenticatedAllocateDelayMs);
            }
        } else if (error && answer.errorCode == 0x426 && answer.hasNonce && !d->realm.isEmpty()) {
            // The nonce went stale on the way: ask again with the new one.
            enterState(Connected, kAuthenticatedAllocateDelayMs);
        }
        return;
    case MethodRefresh:
        if (d->clientState != RefreshSent)
            return;
        if (success) {
            ++d->refreshes;
            d->allocationTimer.start();
            d->refreshAttempts = 0;
            enterState(Allocated, 0);
            return;
        }
        if (error && answer.errorCode == 0x426 && answer.hasNonce) {
            Logger::log(Logger::TURN1, "\trefreshed nonce");
            d->refreshAttempts = 0;
            d->allocationTimer.invalidate();
            enterState(Allocated, kNewNonceDelayMs);
        }
        return;
    case MethodChannelBind:
        if (d->clientState != ChannelBindSent)
            return;
        if (success) {
            Logger::log(Logger::TURN1, "channel 0x%04X bind success %s", unsigned(d->channel),
                        d->uuidText.constData());
            d->channelBindAttempts = 0;
            d->channelTimer.start();
            enterState(Allocated, kAfterBindMs);
        } else if (error && answer.errorCode == 0x426 && answer.hasNonce) {
            // A stale nonce: bind again with the new one.
            enterState(Allocated, kNewNonceDelayMs);
        } else {
            Logger::log(Logger::TURN1, "channel 0x%04X bind failed %s", unsigned(d->channel),
                        d->uuidText.constData());
            enterState(TearDown, kAfterBindMs);
        }
        return;
    default:
        return;
    }
}

QByteArray TransportTurn::longTermKey(const QString& user, const QByteArray& realm, const QString& password)
{
    if (user.isEmpty() || realm.isEmpty() || password.isEmpty())
        return QByteArray();
    return com::StunMessageWriter::longTermKey(user.toLatin1(), realm, password.toLatin1());
}

quint16 TransportTurn::channelFor(quint32 ipv4)
{
    return quint16(0x4000 | (ipv4 & 0x3FFF));
}

QByteArray TransportTurn::bindingRequest(const TransactionId& id, bool changeRequest)
{
    std::array<quint8, kRequestCapacity> buffer;
    com::StunMessageWriter writer(buffer.data(), buffer.size(), MethodBinding, toStunId(id));
    if (changeRequest)
        writer.addU32(StunMessage::AttrChangeRequest, 0x00000006);
    return finish(writer, buffer);
}

QByteArray TransportTurn::allocateRequest(const TransactionId& id, const QString& user, const QByteArray& realm,
                                          const QByteArray& nonce, const QByteArray& key)
{
    std::array<quint8, kRequestCapacity> buffer;
    com::StunMessageWriter writer(buffer.data(), buffer.size(), MethodAllocate, toStunId(id));
    // UDP (17) and three reserved bytes.
    writer.addU32(StunMessage::AttrRequestedTransport, 17u << 24);
    addCredentials(writer, user, realm, nonce, key);
    return finish(writer, buffer);
}

QByteArray TransportTurn::refreshRequest(const TransactionId& id, const QString& user, const QByteArray& realm,
                                         const QByteArray& nonce, const QByteArray& key)
{
    std::array<quint8, kRequestCapacity> buffer;
    com::StunMessageWriter writer(buffer.data(), buffer.size(), MethodRefresh, toStunId(id));
    addCredentials(writer, user, realm, nonce, key);
    return finish(writer, buffer);
}

QByteArray TransportTurn::channelBindRequest(const TransactionId& id, quint16 channel, quint32 peerIpv4,
                                             quint16 peerPort, const QString& user, const QByteArray& realm,
                                             const QByteArray& nonce, const QByteArray& key)
{
    std::array<quint8, kRequestCapacity> buffer;
    com::StunMessageWriter writer(buffer.data(), buffer.size(), MethodChannelBind, toStunId(id));
    writer.addU32(StunMessage::AttrChannelNumber, quint32(channel) << 16);
    writer.addAddress(StunMessage::AttrXorPeerAddress, QHostAddress(peerIpv4), peerPort, true);
    addCredentials(writer, user, realm, nonce, key);
    return finish(writer, buffer);
}
