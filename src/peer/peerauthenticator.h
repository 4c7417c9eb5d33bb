#pragma once

#include "com/link/handshakedto.h"
#include "core/peerdto.h"
#include "core/transportdto.h"

#include <QObject>

#include <cstddef>
#include <functional>
#include <memory>

class Endpoint;
class IDatabase;
class PeerAuthenticatorPrivate;

// The gate every handshake passes first. Its endpoint ("AUTH") opens the
// public-key sealed messages addressed to this machine's own key pair; a
// handshake is accepted when the key that sealed it is stored for a known
// peer, or when it names a stored, unexpired invitation, which is then used
// up and a new peer is made from the sender's key. Accepted handshakes, with
// at most MaxTransports transports, are emitted with the peer they belong to;
// the transports they name are stored for the peer on the way.
//
// Lives on the io thread and uses the store from there. Refusals are silent
// towards the sender and leave only a log line.
class PeerAuthenticator : public QObject
{
    Q_OBJECT
public:
    // The most transports taken from one handshake, the arrival transport
    // included; the rest are ignored.
    static constexpr std::size_t MaxTransports = 16;
    // A stored transport named again is written anew only when it is older
    // than this (seconds, about 41.7 days).
    static constexpr qint64 TransportRefreshSecs = 3600000;
    // A handshake must be newer than the last one accepted from its peer,
    // unless it starts a session never seen from that peer and is at most
    // this much older: a peer started again writes its clock's time, which
    // may lie behind the times its former process wrote (each of a burst of
    // handshakes within one second is written one second later).
    static constexpr quint64 RestartToleranceSecs = 60;
    // Sessions remembered per peer for that check.
    static constexpr int RememberedSessions = 16;

    // Reads the own "pksk" key pair from db once, here; a pair stored later
    // is not picked up.
    explicit PeerAuthenticator(IDatabase* db, QObject* parent = nullptr);
    ~PeerAuthenticator() override;

    // The endpoint that opens public-key messages for this machine; the
    // transport registry feeds it.
    Endpoint* endpoint() const;

    // Replaces the clock, in seconds since the epoch (the system clock by
    // default).
    void setClock(std::function<qint64()> secondsSinceEpoch);

signals:
    void receivedHandshakeRequest(PeerDto peer, HandshakeDto handshake);

public slots:
    // m and mlen: a message opened by the endpoint, rxTransport the transport
    // it came in on. Only a call made while the endpoint emits
    // receivedMessagePKI can be accepted: the record must carry the key that
    // sealed it.
    void receivedMessagePKI(TransportDto rxTransport, const quint8* m, size_t mlen);

private:
    std::unique_ptr<PeerAuthenticatorPrivate> d;
};
