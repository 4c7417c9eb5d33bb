#pragma once

#include "core/transportdto.h"
#include "crypto/crypto.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstddef>

// One way of carrying whole sealed datagrams between this instance and one
// remote address. The transport registry (com::Com) creates, owns, mounts and
// routes over transports; the concrete kinds are TCP (also through Tor), UDP
// and a TURN relay. Everything runs on the io thread.
//
// Received datagrams are announced by direct signal with a pointer into the
// transport's own receive buffer: it is valid only during the call, so
// receivers open or copy the bytes before they return.
class Transport : public QObject
{
    Q_OBJECT
public:
    enum State {
        StateUp = 0,
        StateDown = 1,
        StateConnecting = 2,
    };

    // The rtt() of a transport that cannot be used now.
    static constexpr int UnusableRtt = 1000000;

    explicit Transport(const TransportDto& dto, QObject* parent = nullptr);
    ~Transport() override;

    const TransportDto& dto() const { return m_dto; }
    // Only mounted transports carry datagrams.
    bool isMounted() const { return m_mounted; }
    // Restarted whenever a complete, well-formed datagram arrives; invalid
    // until the first one.
    const QElapsedTimer& lastRx() const { return m_lastRx; }
    // True when a datagram arrived within the last windowMs milliseconds.
    bool receivedWithin(qint64 windowMs) const;
    // Whether the current connection has carried a datagram that only a
    // trusted sender can have made: one an endpoint opened with its session
    // key or its peer's public key, or a handshake that was accepted. The
    // registry marks it; an accepted connection that stays unmarked for long
    // is a stranger's and is closed.
    bool isAuthenticated() const { return m_authenticated; }
    void markAuthenticated() { m_authenticated = true; }
    // Called by the registry while this transport is announcing a datagram
    // that an endpoint has just opened: it came from the peer itself.
    virtual void datagramOpened() {}

    // 0 up, 1 down, 2 connecting (State).
    virtual int state() const = 0;
    // Round-trip time in milliseconds by which transports are ordered.
    virtual int rtt() const = 0;
    // Stores a measured round-trip time.
    virtual void setRtt(int rtt) = 0;
    // True when datagrams sent here may be lost (UDP, a relay's channel
    // data); false for a reliable stream with congestion control of its
    // own (TCP, a relay over TLS). Sessions pace themselves by it.
    virtual bool isDatagram() const { return !m_dto.stream; }

signals:
    // A whole session datagram (key id 10 to 127); buf and length cover
    // exactly that datagram.
    void receivedEncryptedMessage(TransportDto dto, crypto::KeyId keyId, const quint8* buf, size_t length);
    // A whole public-key datagram (key id 0).
    void receivedPubkeyEncryptedMessage(TransportDto dto, const quint8* buf, size_t length);
    void stateChanged();

public slots:
    // Starts using the transport.
    virtual void mount() = 0;
    // Stops using it.
    virtual void unmount() = 0;
    // Sends one sealed datagram. A waitSend of 1 or less asks for the bytes
    // to leave at once; larger values say more datagrams follow soon.
    virtual void transmit(const quint8* buf, size_t length, int waitSend) = 0;

protected:
    void setMounted(bool mounted) { m_mounted = mounted; }
    void restartLastRx() { m_lastRx.start(); }
    void invalidateLastRx() { m_lastRx.invalidate(); }
    // A new connection has proved nothing yet.
    void clearAuthenticated() { m_authenticated = false; }

private:
    TransportDto m_dto;
    bool m_mounted = false;
    QElapsedTimer m_lastRx;
    bool m_authenticated = false;
};
