#pragma once

#include "core/cryptokeydto.h"
#include "core/transportdto.h"
#include "core/transportfilter.h"
#include "crypto/crypto.h"

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class EndpointPrivate;
class Kcp;

namespace com {
class TermStreamReader;

// Public-key control messages travel on channel 0x40.
constexpr quint8 PkiChannel = 0x40;
constexpr quint8 PkiHandshake = 0;
constexpr quint8 PkiPing = 2;
constexpr quint8 PkiPong = 5;
constexpr std::size_t PingBlobLength = 200;

// PING: u8 0x40, u8 2, u64 seconds since the epoch, blob of blobLength bytes
// whose byte i is (random + i) mod 256. On entry *len is the capacity of buf,
// on success the size written. Returns 0, or 1 when buf or len is null,
// blobLength exceeds 200 or the record does not fit.
int encodePing(quint8* buf, std::size_t* len, std::size_t blobLength, quint32 random, quint64 seconds);

// PONG: u8 0x40, u8 5, u64 the time stamp of the PING it answers. Results as
// for encodePing.
int encodePong(quint8* buf, std::size_t* len, quint64 timestamp);
} // namespace com

// One end of an encrypted, reliable message channel to one peer. Messages
// given to send() travel in a KCP session whose datagrams are sealed with the
// transmit key and leave through transmit(); sealed datagrams from the
// transports are opened with the receive key, fed to KCP, and the delivered
// bytes are cut into frames, each emitted as receivedMessage(). Besides that,
// public-key sealed control messages (handshake, PING, PONG) keep NAT
// bindings alive and measure the round-trip time of every transport.
class Endpoint : public QObject
{
    Q_OBJECT
public:
    // What send() did with a message.
    enum SendResult {
        SendOk = 0,        // queued for the peer
        SendEmpty = 1,     // nothing to send
        SendTooLarge = 2,  // longer than MaxMessageSize: the peer could not read it
        SendNoSession = 3, // no KCP session yet
        SendRefused = 4,   // KCP refused it
    };

    // The longest message a peer is sure to read in one piece.
    static constexpr std::size_t MaxMessageSize = 96600;
    // Capacity of the frame buffer; no frame can be longer.
    static constexpr std::size_t FrameBufferCapacity = 128800;

    explicit Endpoint(QObject* parent = nullptr);
    ~Endpoint() override;

    // "pksk" (64 bytes: public then secret key) sets the own key pair, "pk"
    // (32 bytes) the peer's public key; other types and sizes are ignored.
    void setCryptoKey(const CryptoKeyDto& key);
    void setBuddy(Endpoint* buddy);
    // The same conv keeps the running session; another one replaces it.
    void setKcpSession(quint32 conv);
    void setRxKey(crypto::KeyId keyId, const quint8* key);
    void setTxKey(crypto::KeyId keyId, const quint8* key);
    void startPingTimer();

    // Sends one message (one or more whole frames) to the peer, or to the
    // buddy in the next pass of the event loop. Returns a SendResult; only
    // SendOk means the message is on its way.
    int send(const quint8* buf, std::size_t len);
    // Seals one control message for the peer's public key and sends it on
    // every transport. Returns false when nothing was sent (a key is missing
    // or sealing failed).
    bool sendPKI(const quint8* m, std::size_t mlen);
    // As sendPKI, on the one transport with that uuid (transmitVia), when it
    // is this endpoint's and up.
    bool sendPKIVia(const QString& transportUuid, const quint8* m, std::size_t mlen);

    Kcp* kcp() const;
    crypto::KeyId rxKeyId() const;
    crypto::KeyId txKeyId() const;
    // The receive session key and the own public key, 32 bytes each, owned
    // by the endpoint; what a handshake tells the peer.
    const quint8* rxKey() const;
    const quint8* ownPublicKey() const;
    // The sender key that authenticated the PKI message being emitted by
    // receivedMessagePKI (32 bytes); valid only during that emission.
    const quint8* pkiSenderKey() const;

    // Frame headers that could never give a frame; each cleared the frame
    // buffer so that the session carries on.
    quint64 framingErrors() const;
    // Delivered messages that could not be taken into the frame buffer.
    quint64 droppedMessages() const;

signals:
    void transmit(TransportFilter filter, const quint8* buf, size_t length, int xmit, int waitSend);
    void transmitVia(const QString& transportUuid, const quint8* buf, size_t length);
    // The vector is the endpoint's own and reused: receivers copy what they keep.
    void receivedMessage(const std::vector<unsigned char>& data);
    void receivedMessagePKI(TransportDto dto, const quint8* buf, size_t length);
    void sessionBroken();
    void receivedPong(TransportDto dto, int rtt);
    // A datagram that only the peer can have sealed was opened: a session
    // datagram under the receive key, or a public-key datagram from the
    // peer's own key (an endpoint that has no peer key, such as the one
    // that hears handshakes from anyone, never emits this for those).
    // transport is the one it came in on; the registry takes this as proof
    // that the connection is the peer's.
    void openedDatagram(TransportDto transport);

public slots:
    void receivedEncryptedMessage(TransportDto transport, crypto::KeyId keyId, const quint8* buf, size_t len);
    void receivedPubkeyEncryptedMessage(TransportDto dto, const quint8* c, size_t clen);
    void kcpOutput(const char* m, int mlen, int xmit, int waitSend);
    void kcpReceived();
    void kcpNewSession();
    void buddyTxTimerFired();
    void pingTimerFired();
    void sendPing();
    void sendPong(qulonglong timestamp);
    void onReceivedPing(TransportDto dto, com::TermStreamReader& rd);
    void onReceivedPong(TransportDto dto, com::TermStreamReader& rd);

private:
    void pushAndTakeFrames(const quint8* data, std::size_t len);
    void takeFrames();

    std::unique_ptr<EndpointPrivate> d;
};
