#pragma once

#include "com/transport/redialschedule.h"
#include "com/transport/transport.h"

#include <QAbstractSocket>

#include <functional>
#include <memory>

class QTcpSocket;
class TransportTcpPrivate;

// Sealed datagrams over one TCP connection: back to back on the stream, each
// one's length taken from its own header. Either dials out (types "tcp" and
// "onion", the latter through a SOCKS5 proxy set on the socket by the
// registry) and redials after reconnectDelayMs whenever the connection drops
// while mounted, or wraps a connection accepted by the registry's server
// (reconnectDelayMs below 0): such a transport never dials, and once its
// connection has closed it is finished for good (connectionClosed()).
//
// A receiver of the signals may close the connection or replace the socket;
// delivery then stops at once. The transport itself is deleted with
// deleteLater(), never from within one of its own signals.
class TransportTcp : public Transport
{
    Q_OBJECT
public:
    // Size of the receive buffer; also the longest datagram transmit() sends.
    static constexpr int RxBufferSize = 179200;
    // Most datagrams handled in one pass of the event loop, so that one busy
    // connection cannot hold the io thread; the rest follow in the next pass.
    static constexpr int MaxDatagramsPerPass = 999;
    // Wanted size of the kernel's send and receive buffers.
    static constexpr int SocketBufferSize = 1433600;
    static constexpr int DefaultRedialDelayMs = 30000;
    static constexpr int DefaultSilenceWarningMs = 120000;
    static constexpr int DefaultSilenceTimeoutMs = 300000;
    // Most bytes held for sending beyond what the kernel took. A peer that
    // stops reading makes transmit() drop datagrams above this (the reliable
    // layer above resends what matters); when nothing has left for the
    // silence time-out, the connection is closed.
    static constexpr qint64 MaxUnsentBytes = 2 * 1024 * 1024;
    // rtt before any measurement and after every change of the connection.
    static constexpr int UnmeasuredRtt = 2147483647;

    TransportTcp(const TransportDto& dto, int reconnectDelayMs, QObject* parent = nullptr);
    ~TransportTcp() override;

    // Adopts socket as a child (null only forgets the current one). The
    // socket's own proxy is set to none; a caller that wants a proxy sets it
    // afterwards.
    void setSocket(QTcpSocket* socket);
    QTcpSocket* socket() const;
    // Bytes given to transmit() that the kernel has not taken yet: those
    // gathered for a run that has not ended and those waiting in the socket.
    qint64 bytesToWrite() const;

    // Built around an accepted connection: never dials.
    bool isAccepted() const;
    // A dialling transport whose connection is down and that waits for its
    // redial dials at once, unless it dialled less than minIntervalMs ago.
    // For when the remote end has shown that the network is back. True when
    // it dialled.
    bool redialNow(int minIntervalMs);
    int reconnectDelayMs() const;
    // Dials again every intervalMs (counted from the start of the previous
    // dial) instead of after the redial delay, for windowMs after a
    // connection that had been authenticated was lost, while heardElsewhere
    // says the peer is not heard on another way; that is asked again every
    // intervalMs while the transport waits (see RedialSchedule). Off until
    // set; an empty function turns it off.
    void setFastRedial(int intervalMs, int windowMs, std::function<bool()> heardElsewhere);
    // A dial still not connected after ms is given up, so that the next one
    // (see above) is not held back by a connection attempt into a network
    // that drops everything. 0 or below: no limit (the default; the system
    // gives up after minutes).
    void setConnectTimeout(int ms);
    // Milliseconds until the waiting redial, or until the transport next
    // looks whether to dial early; -1 when none waits.
    int redialInMs() const;

    // A transmit finding nothing received for more than warningMs logs a
    // warning; for more than timeoutMs it closes the connection instead of
    // sending. Defaults 120000 and 300000 ms.
    void setSilenceLimits(int warningMs, int timeoutMs);

    // A connection this transport accepted must be authenticated (see
    // Transport::isAuthenticated) within ms of its start, or it is closed, so
    // that a stranger cannot hold it open by saying nothing. 0 or below turns
    // the check off (the default; the registry sets it for what it accepts).
    // Counted from the start of the connection, also when set later.
    void setAuthenticationGrace(int ms);
    int authenticationGrace() const;
    // Closes the connection at once, without waiting for unsent bytes.
    void dropConnection(const char* reason);

    // Datagrams received and connections closed because of a broken stream,
    // since construction.
    quint64 receivedDatagrams() const;
    quint64 brokenStreams() const;
    // Bytes of an incomplete datagram waiting for the rest.
    std::size_t heldBytes() const;
    // Bytes given to transmit() that have not been handed to the kernel yet;
    // at most MaxUnsentBytes.
    qint64 unsentBytes() const;
    // Datagrams transmit() dropped because the peer did not take what it had
    // been sent, since construction.
    quint64 droppedDatagrams() const;

    int state() const override;
    int rtt() const override;
    void setRtt(int rtt) override;
    bool isDatagram() const override { return false; }

signals:
    // The connection has reached the unconnected state, or its socket was
    // destroyed.
    void connectionClosed();

public slots:
    void mount() override;
    void unmount() override;
    void transmit(const quint8* buf, size_t length, int waitSend) override;

    void connectToRemote();
    void onSocketDestroyed(QObject* object);
    void onSocketStateChanged(QAbstractSocket::SocketState state);
    void onSocketReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void releaseRxBuffer();
    // Writes the datagrams gathered for one run.
    void writePending();
    void closeBrokenStream(int checkResult);
    void armAuthenticationTimer();
    void onAuthenticationGraceOver();
    void onConnectTimeout();
    void onRedialTimer();
    RedialSchedule::Situation redialSituation() const;
    // 0: dial now; otherwise when to look again.
    int redialWaitMs() const;

    std::unique_ptr<TransportTcpPrivate> d;
};
