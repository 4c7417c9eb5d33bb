#include "com/link/endpoint.h"

#include "com/wire/circularbuffer.h"
#include "com/kcp/kcp.h"
#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"
#include "core/idatabase.h"
#include "core/logger.h"

#include <QDateTime>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>

#include <sodium.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>

namespace com {

int encodePing(quint8* buf, std::size_t* len, std::size_t blobLength, quint32 random, quint64 seconds)
{
    if (!buf || !len || blobLength > PingBlobLength)
        return 1;
    quint8 blob[PingBlobLength];
    for (std::size_t i = 0; i < blobLength; ++i)
        blob[i] = quint8((random + i) & 0xFF);
    TermStreamWriter writer(buf, *len);
    writer.writeU8(PkiChannel);
    writer.writeU8(PkiPing);
    writer.writeU64(seconds);
    if (writer.writeBlob(blob, blobLength) != 0)
        return 1;
    *len = writer.size();
    return 0;
}

int encodePong(quint8* buf, std::size_t* len, quint64 timestamp)
{
    if (!buf || !len)
        return 1;
    TermStreamWriter writer(buf, *len);
    writer.writeU8(PkiChannel);
    writer.writeU8(PkiPong);
    if (writer.writeU64(timestamp) != 0)
        return 1;
    *len = writer.size();
    return 0;
}

} // namespace com

namespace {

constexpr int kPingIntervalMs = 5000;
constexpr int kPingQuietMs = 60000;
constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSealRoom = 1024;

bool isZero(const quint8* key)
{
    return sodium_is_zero(key, kKeyBytes) == 1;
}

bool isSessionKeyId(crypto::KeyId id)
{
    return id >= crypto::MinSessionKeyId && id <= crypto::MaxSessionKeyId;
}

quint32 readLe32(const quint8* p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

void registerTypes()
{
    static const bool registered = [] {
        IDatabase::registerMetaTypes();
        qRegisterMetaType<std::vector<unsigned char>>("std::vector<unsigned char>");
        return true;
    }();
    Q_UNUSED(registered);
}

} // namespace

class EndpointPrivate
{
public:
    explicit EndpointPrivate(Endpoint* q)
        : kcp(new Kcp(q))
        , buddyTimer(new QTimer(q))
        , frameBuffer(Endpoint::FrameBufferCapacity)
    {
        sodium_memzero(ownPk, sizeof ownPk);
        sodium_memzero(ownSk, sizeof ownSk);
        sodium_memzero(peerPk, sizeof peerPk);
        sodium_memzero(rxKey, sizeof rxKey);
        sodium_memzero(txKey, sizeof txKey);
        sodium_memzero(pkiSender, sizeof pkiSender);
    }
    ~EndpointPrivate()
    {
        sodium_memzero(ownSk, sizeof ownSk);
        sodium_memzero(rxKey, sizeof rxKey);
        sodium_memzero(txKey, sizeof txKey);
        if (!rxBuffer.empty())
            sodium_memzero(rxBuffer.data(), rxBuffer.size());
    }

    void ensure(std::vector<quint8>& buffer, std::size_t size)
    {
        if (buffer.size() < size)
            buffer.resize(size);
    }

    Kcp* kcp;
    QPointer<Endpoint> buddy;
    crypto::KeyId rxKeyId = 1;
    crypto::KeyId txKeyId = 1;
    quint8 ownPk[kKeyBytes];
    quint8 ownSk[kKeyBytes];
    quint8 peerPk[kKeyBytes];
    quint8 rxKey[kKeyBytes];
    quint8 txKey[kKeyBytes];
    QTimer* buddyTimer;
    std::deque<std::vector<quint8>> buddyQueue;
    std::vector<quint8> rxBuffer;
    std::vector<quint8> txBuffer;
    CircularBuffer frameBuffer;
    QTimer* pingTimer = nullptr;
    int pingCountdown = 0;
    quint64 lastPingTimestamp = 0; // last PING answered
    quint64 lastPingSent = 0;      // seconds in our last PING
    bool pingSent = false;
    quint32 pingSentAt = 0; // on the session clock
    quint8 pkiSender[kKeyBytes];
    quint64 framingErrors = 0;
    quint64 droppedMessages = 0;
    // Vectors that carried frames to the receivers, kept for the next ones
    // so that no frame costs an allocation. A receiver that runs the event
    // loop may see another frame while it holds one: that takes another.
    std::vector<std::vector<unsigned char>> spareFrames;

    std::vector<unsigned char> takeFrameVector()
    {
        if (spareFrames.empty())
            return {};
        std::vector<unsigned char> v = std::move(spareFrames.back());
        spareFrames.pop_back();
        return v;
    }
    void giveBackFrameVector(std::vector<unsigned char>&& v)
    {
        if (spareFrames.size() < 2)
            spareFrames.push_back(std::move(v));
    }
};

Endpoint::Endpoint(QObject* parent)
    : QObject(parent)
    , d(new EndpointPrivate(this))
{
    registerTypes();
    connect(d->kcp, &Kcp::output, this, &Endpoint::kcpOutput);
    connect(d->kcp, &Kcp::received, this, &Endpoint::kcpReceived);
    connect(d->kcp, &Kcp::newSession, this, &Endpoint::kcpNewSession);
    d->buddyTimer->setSingleShot(true);
    d->buddyTimer->setInterval(0);
    connect(d->buddyTimer, &QTimer::timeout, this, &Endpoint::buddyTxTimerFired);
}

Endpoint::~Endpoint() = default;

Kcp* Endpoint::kcp() const
{
    return d->kcp;
}

crypto::KeyId Endpoint::rxKeyId() const
{
    return d->rxKeyId;
}

crypto::KeyId Endpoint::txKeyId() const
{
    return d->txKeyId;
}

const quint8* Endpoint::rxKey() const
{
    return d->rxKey;
}

const quint8* Endpoint::ownPublicKey() const
{
    return d->ownPk;
}

const quint8* Endpoint::pkiSenderKey() const
{
    return d->pkiSender;
}

quint64 Endpoint::framingErrors() const
{
    return d->framingErrors;
}

quint64 Endpoint::droppedMessages() const
{
    return d->droppedMessages;
}

void Endpoint::setCryptoKey(const CryptoKeyDto& key)
{
    const auto* bytes = reinterpret_cast<const quint8*>(key.key.constData());
    if (key.type == QLatin1String("pksk")) {
        if (std::size_t(key.key.size()) != 2 * kKeyBytes) {
            Logger::log(Logger::ERR1, "%p ignored key pair of %d bytes", static_cast<void*>(this),
                        int(key.key.size()));
            return;
        }
        std::memcpy(d->ownPk, bytes, kKeyBytes);
        std::memcpy(d->ownSk, bytes + kKeyBytes, kKeyBytes);
    } else if (key.type == QLatin1String("pk")) {
        if (std::size_t(key.key.size()) != kKeyBytes) {
            Logger::log(Logger::ERR1, "%p ignored public key of %d bytes", static_cast<void*>(this),
                        int(key.key.size()));
            return;
        }
        std::memcpy(d->peerPk, bytes, kKeyBytes);
    }
}

void Endpoint::setBuddy(Endpoint* buddy)
{
    d->buddy = buddy;
}

void Endpoint::setKcpSession(quint32 conv)
{
    if (d->kcp->hasSession()) {
        if (d->kcp->conv() == conv)
            return;
        Logger::log(Logger::HSK1, "%p replace session %u -> %u", static_cast<void*>(this), d->kcp->conv(), conv);
    }
    d->kcp->setSession(conv);
}

void Endpoint::setRxKey(crypto::KeyId keyId, const quint8* key)
{
    if (!key)
        return;
    d->rxKeyId = keyId;
    std::memcpy(d->rxKey, key, kKeyBytes);
}

void Endpoint::setTxKey(crypto::KeyId keyId, const quint8* key)
{
    if (!key)
        return;
    d->txKeyId = keyId;
    std::memcpy(d->txKey, key, kKeyBytes);
}

void Endpoint::startPingTimer()
{
    if (d->pingTimer)
        return;
    d->pingTimer = new QTimer(this);
    d->pingTimer->setObjectName(QStringLiteral("pingTimer"));
    d->pingTimer->setInterval(kPingIntervalMs);
    connect(d->pingTimer, &QTimer::timeout, this, &Endpoint::pingTimerFired);
    d->pingTimer->start();
}

int Endpoint::send(const quint8* buf, std::size_t len)
{
    if (!buf || len == 0)
        return SendEmpty;
    if (len > MaxMessageSize) {
        Logger::log(Logger::ERR1, "%s: refused message of %zu bytes, at most %zu", qPrintable(objectName()), len,
                    MaxMessageSize);
        return SendTooLarge;
    }
    if (d->buddy) {
        d->buddyQueue.emplace_back(buf, buf + len);
        if (!d->buddyTimer->isActive())
            d->buddyTimer->start();
        return SendOk;
    }
    if (!d->kcp->hasSession())
        return SendNoSession;
    if (d->kcp->send(reinterpret_cast<const char*>(buf), int(len)) != 0) {
        Logger::log(Logger::ERR1, "%s: kcp refused message of %zu bytes", qPrintable(objectName()), len);
        return SendRefused;
    }
    return SendOk;
}

void Endpoint::buddyTxTimerFired()
{
    // Sends made by receivers of these messages wait for the next pass.
    std::deque<std::vector<quint8>> queue;
    queue.swap(d->buddyQueue);
    for (std::vector<quint8>& message : queue) {
        if (!d->buddy)
            return;
        emit d->buddy->receivedMessage(std::move(message));
    }
}

void Endpoint::kcpOutput(const char* m, int mlen, int xmit, int waitSend)
{
    if (!m || mlen <= 0)
        return;
    d->ensure(d->txBuffer, std::size_t(mlen) + kSealRoom);
    unsigned long long clen = d->txBuffer.size();
    const int result = crypto::encryptMessage(d->txKeyId, d->txKey, reinterpret_cast<const quint8*>(m),
                                              (unsigned long long)mlen, d->txBuffer.data(), &clen);
    if (result != crypto::EncryptMsgOk) {
        Logger::log(Logger::KCP1, "%p failed to seal %d bytes, key id %u: %d", static_cast<void*>(this), mlen,
                    unsigned(d->txKeyId), result);
        return;
    }
    // A datagram whose data has gone out twenty times or more tries every transport.
    const TransportFilter filter = (xmit > 19 && xmit != 1000) ? TransportFilterAll : TransportFilterBest;
    emit transmit(filter, d->txBuffer.data(), std::size_t(clen), xmit, waitSend);
}

void Endpoint::receivedEncryptedMessage(TransportDto transport, crypto::KeyId keyId, const quint8* buf, size_t len)
{
    // Only the endpoint that holds this key id opens the datagram; before a
    // key is set no session datagram matches.
    if (keyId != d->rxKeyId || !isSessionKeyId(d->rxKeyId))
        return;
    if (!buf || len < crypto::SessionOverhead || len > crypto::MaxDatagramBytes)
        return;

    d->ensure(d->rxBuffer, len);
    unsigned long long mlen = 0;
    if (crypto::decryptMessage(d->rxKey, buf, len, d->rxBuffer.data(), &mlen) != crypto::DecryptMsgOk) {
        Logger::log(Logger::NFO1, "%p failed decrypt message keyid = %u", static_cast<void*>(this), unsigned(keyId));
        return;
    }
    emit openedDatagram(transport);
    if (mlen == 0)
        return;

    const quint8* plain = d->rxBuffer.data();
    const bool rawFrames = plain[0] == com::TagU32 && (mlen < 4 || readLe32(plain) != d->kcp->conv());
    if (rawFrames) {
        pushAndTakeFrames(plain, std::size_t(mlen));
        return;
    }

    const int result = d->kcp->input(reinterpret_cast<const char*>(plain), int(mlen));
    if (result == -2) {
        Logger::log(Logger::HSK1, "%s: datagram of another kcp session (%u)", qPrintable(objectName()),
                    mlen >= 4 ? readLe32(plain) : 0u);
        emit sessionBroken();
    } else if (result != 0) {
        Logger::log(Logger::KCP1, "%p kcp input failed: %d", static_cast<void*>(this), result);
    }
}

void Endpoint::kcpReceived()
{
    // A message is usually one whole frame: with nothing held before it, it
    // is read straight into the vector handed on.
    const int peek = d->kcp->peekSize();
    if (peek > 0 && std::size_t(peek) <= FrameBufferCapacity && d->frameBuffer.used() == 0) {
        std::vector<unsigned char> frame = d->takeFrameVector();
        frame.resize(std::size_t(peek));
        const int n = d->kcp->read(frame.data(), frame.size(), nullptr);
        if (n > 0) {
            if (CircularBuffer::statedFrameLength(frame.data(), std::size_t(n)) == std::size_t(n)) {
                frame.resize(std::size_t(n));
                emit receivedMessage(frame);
            } else {
                pushAndTakeFrames(frame.data(), std::size_t(n));
            }
        }
        d->giveBackFrameVector(std::move(frame));
        return;
    }
    // Any frame the frame buffer can hold fits the read buffer.
    d->ensure(d->rxBuffer, FrameBufferCapacity);
    int peekSize = -1;
    const int n = d->kcp->read(d->rxBuffer.data(), d->rxBuffer.size(), &peekSize);
    if (n > 0) {
        pushAndTakeFrames(d->rxBuffer.data(), std::size_t(n));
    } else if (n == -3) {
        // Larger than any frame buffer: no peer of ours sends this. Drop it so
        // that the messages behind it are read.
        d->kcp->discard();
        ++d->droppedMessages;
        Logger::log(Logger::ERR1, "%s: dropped message of %d bytes", qPrintable(objectName()), peekSize);
    }
}

void Endpoint::pushAndTakeFrames(const quint8* data, std::size_t len)
{
    if (d->frameBuffer.push(data, len) != 0) {
        Logger::log(Logger::NFO1, "failed to add %d bytes to circular buffer (msg parser)", int(len));
        if (len > d->frameBuffer.capacity()) {
            ++d->droppedMessages;
            return;
        }
        // What is held is a frame that can no longer be completed: the bytes
        // that would complete it did not come. Start over at this message.
        ++d->framingErrors;
        d->frameBuffer.clear();
        d->frameBuffer.push(data, len);
    }
    takeFrames();
}

void Endpoint::takeFrames()
{
    for (;;) {
        int status = CircularBuffer::FrameNone;
        std::vector<unsigned char> frame = d->takeFrameVector();
        if (d->frameBuffer.takeFrame(frame, FrameBufferCapacity, &status) > 0) {
            emit receivedMessage(frame);
            d->giveBackFrameVector(std::move(frame));
            continue;
        }
        d->giveBackFrameVector(std::move(frame));
        if (status == CircularBuffer::FrameBadHeader || status == CircularBuffer::FrameTooLong
            || status == CircularBuffer::FrameOutputTooSmall) {
            d->frameBuffer.clear();
            ++d->framingErrors;
            Logger::log(Logger::ERR1, "%s: impossible frame header (%d), frame buffer cleared",
                        qPrintable(objectName()), status);
        }
        return;
    }
}

void Endpoint::kcpNewSession()
{
    d->frameBuffer.clear();
}

bool Endpoint::sendPKI(const quint8* m, std::size_t mlen)
{
    return sendPKIVia(QString(), m, mlen);
}

bool Endpoint::sendPKIVia(const QString& transportUuid, const quint8* m, std::size_t mlen)
{
    if (!m || isZero(d->ownPk) || isZero(d->ownSk) || isZero(d->peerPk))
        return false;
    d->ensure(d->txBuffer, mlen + kSealRoom);
    unsigned long long clen = d->txBuffer.size();
    if (crypto::encryptMessagePKI(d->ownPk, d->ownSk, d->peerPk, m, mlen, d->txBuffer.data(), &clen)
        != crypto::EncryptMsgOk)
        return false;
    if (transportUuid.isEmpty()) {
        if (d->pingTimer)
            d->pingCountdown = kPingQuietMs / std::max(1, d->pingTimer->interval());
        emit transmit(TransportFilterAll, d->txBuffer.data(), std::size_t(clen), 1, 0);
    } else {
        emit transmitVia(transportUuid, d->txBuffer.data(), std::size_t(clen));
    }
    return true;
}

void Endpoint::receivedPubkeyEncryptedMessage(TransportDto dto, const quint8* c, size_t clen)
{
    if (!c || clen < crypto::PublicKeyOverhead || clen > crypto::MaxDatagramBytes)
        return;
    if (isZero(d->ownPk) || isZero(d->ownSk))
        return;
    d->ensure(d->rxBuffer, clen);
    unsigned long long mlen = d->rxBuffer.size();
    quint8 sender[kKeyBytes];
    if (crypto::decryptMessagePKI(d->ownPk, d->ownSk, c, clen, d->rxBuffer.data(), &mlen, sender)
        != crypto::DecryptMsgOk)
        return;
    // An endpoint of a peer link hears only its peer; anyone else who knows
    // our public key must go through the authenticator.
    if (!isZero(d->peerPk) && sodium_memcmp(sender, d->peerPk, kKeyBytes) != 0) {
        Logger::log(Logger::HSK1, "%s: public-key message from another key dropped", qPrintable(objectName()));
        return;
    }
    std::memcpy(d->pkiSender, sender, kKeyBytes);
    if (!isZero(d->peerPk))
        emit openedDatagram(dto);

    // The handlers below may send and reuse the buffers: work on a copy.
    const std::vector<quint8> plain(d->rxBuffer.data(), d->rxBuffer.data() + mlen);
    if (d->pingTimer) {
        com::TermStreamReader rd(plain.data(), plain.size());
        quint8 channel = 0;
        quint8 type = 0;
        rd.readU8(channel);
        rd.readU8(type);
        if (!rd.hasError() && channel == com::PkiChannel) {
            if (type == com::PkiPing)
                onReceivedPing(dto, rd);
            else if (type == com::PkiPong)
                onReceivedPong(dto, rd);
        }
    }
    emit receivedMessagePKI(dto, plain.data(), plain.size());
    sodium_memzero(d->pkiSender, sizeof d->pkiSender);
}

void Endpoint::pingTimerFired()
{
    --d->pingCountdown;
    if (d->pingCountdown < 1)
        sendPing();
}

void Endpoint::sendPing()
{
    const quint64 seconds = quint64(QDateTime::currentSecsSinceEpoch());
    quint8 buf[512];
    std::size_t len = sizeof buf;
    if (com::encodePing(buf, &len, com::PingBlobLength, QRandomGenerator::global()->generate(), seconds) != 0)
        return;
    d->pingSent = true;
    d->pingSentAt = d->kcp->clockNow();
    d->lastPingSent = seconds;
    Logger::log(Logger::NFO2, "send PING to %s", qPrintable(objectName()));
    sendPKI(buf, len);
}

void Endpoint::sendPong(qulonglong timestamp)
{
    quint8 buf[64];
    std::size_t len = sizeof buf;
    if (com::encodePong(buf, &len, timestamp) != 0)
        return;
    Logger::log(Logger::NFO2, "send PONG to %s", qPrintable(objectName()));
    sendPKI(buf, len);
}

void Endpoint::onReceivedPing(TransportDto dto, com::TermStreamReader& rd)
{
    quint64 timestamp = 0;
    if (rd.readU64(timestamp) != 0)
        return;
    Logger::log(Logger::NFO2, "received PING from %s (%s) timestamp: %llu", qPrintable(objectName()),
                qPrintable(dto.host), (unsigned long long)timestamp);
    // The same PING arrives on every transport; answer it once.
    if (timestamp == d->lastPingTimestamp)
        return;
    d->lastPingTimestamp = timestamp;
    sendPong(timestamp);
}

void Endpoint::onReceivedPong(TransportDto dto, com::TermStreamReader& rd)
{
    quint64 timestamp = 0;
    if (rd.readU64(timestamp) != 0)
        return;
    // Only an answer to our last PING measures anything.
    if (!d->pingSent || timestamp != d->lastPingSent) {
        Logger::log(Logger::NFO2, "%s: PONG for no PING of ours (%llu)", qPrintable(objectName()),
                    (unsigned long long)timestamp);
        return;
    }
    const quint32 elapsed = d->kcp->clockNow() - d->pingSentAt;
    const int rtt = elapsed > quint32(INT_MAX) ? INT_MAX : int(elapsed);
    Logger::log(Logger::NFO2, "received PONG from %s (%s) dt: %lld ms", qPrintable(objectName()),
                qPrintable(dto.host), (long long)rtt);
    emit receivedPong(dto, rtt);
}
