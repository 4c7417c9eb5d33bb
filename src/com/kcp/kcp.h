#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>

struct IKCPCB;
class QTimerEvent;
class KcpPrivate;

// One KCP session on the io thread. The engine's clock is driven by a 10 ms
// tick; every successful send or input also arms a zero-delay flush, so that
// acknowledgements and new data leave in the next pass of the event loop and
// everything handled in one pass shares one flush. Datagrams to send come out
// of output(); received() says a whole message can be read. Before a flush
// lets acknowledgements go, received() is emitted again for as long as its
// receivers read messages, so the window they advertise is what is free.
//
// The datagrams of one flush leave together: every one but the last is
// announced with a waitSend of at least 2 (more follow at once), the last
// with at most 1 (send now), so a stream transport writes them all with one
// system call and without waiting for another pass of the event loop.
//
// How the session paces itself is this side's own choice and never shows on
// the wire; setPath() picks it for the kind of transport the datagrams take.
class Kcp : public QObject
{
    Q_OBJECT
public:
    // Milliseconds on some monotonic scale, wrapping at 2^32.
    using Clock = std::function<quint32()>;

    // Most fragments waiting to be sent or acknowledged (about 11 MB).
    static constexpr int MaxWaitSend = 8192;

    enum Path {
        // Not known yet: the conservative pacing every peer starts with
        // (congestion window, no fast resend, 40 ms flush interval).
        PathUnknown = 0,
        // A stream (TCP, TURN over TLS) that is reliable and has its own
        // congestion control: no congestion window in the session.
        PathStream = 1,
        // Datagrams that may be lost (UDP, TURN channel data): quick resend
        // mode, a resend after two acknowledgements that skip a segment, no
        // congestion window of the engine's (it takes every loss for
        // congestion), and a send window that follows the path's round trip
        // (DatagramWindow).
        PathDatagram = 2,
    };

    explicit Kcp(QObject* parent = nullptr);
    ~Kcp() override;

    // Starts a session with conversation id conv. The running session is kept
    // when it has the same conv; another conv replaces it, dropping its queues,
    // and emits newSession(). Returns true when a new session was made.
    bool setSession(quint32 conv);
    bool hasSession() const;
    // The session's conv, 0 without a session.
    quint32 conv() const;
    // Fragments waiting to be sent or acknowledged, 0 without a session.
    int waitSend() const;
    // The engine of the running session (null without one); for inspection.
    const IKCPCB* controlBlock() const;
    // Started when the running session was made; invalid without one. What
    // a transport carried before it came from the peer's previous session,
    // perhaps from a process of the peer that is gone: the registry does not
    // count it as a sign that the peer hears this session there.
    const QElapsedTimer& sessionStarted() const;

    // Paces the running session and every later one for this path.
    void setPath(Path path);
    Path path() const;

    // Length of the next whole message, or a negative number when none is
    // whole yet.
    int peekSize() const;

    // Drops the next whole message unread (one that fits no reader). Returns
    // its length, or what read() would have returned when there is none.
    int discard();

    // Milliseconds since the process started.
    static quint32 processClock();
    // The session's clock now: processClock() unless replaced.
    quint32 clockNow() const;
    // Replaces the clock (tests run sessions on virtual time); an empty
    // function restores processClock().
    void setClock(Clock clock);
    // The tick timer runs from construction; a test that drives the clock
    // itself stops it and calls tick().
    void setTickTimerActive(bool active);
    bool isTickTimerActive() const;
    // What one tick of the timer does: advance the engine's clock, flush when
    // due, and announce a readable message.
    void tick();

signals:
    void output(const char* buf, int len, int xmit, int waitSend);
    void received();
    void newSession();

public slots:
    // Queues one message. Returns 0, -1 without a session, -2 when the
    // message is too large (127 fragments of 1376 bytes at most), -3 when
    // MaxWaitSend fragments already wait: a peer that acknowledges nothing
    // must not make the queue grow without bound.
    int send(const char* buf, int len);
    // Feeds one datagram. Returns 0; -1 without a session; -2 when the
    // datagram belongs to another session (its conv differs); -3 when it is
    // rejected although it names this session.
    int input(const char* buf, int len);
    // Reads one whole message into buf. Returns its length, -1 without a
    // session or with nothing queued, -2 when no whole message is there yet,
    // -3 when len is smaller than the message; *peekSize gets the length of
    // the next message (-1 when there is none).
    int read(unsigned char* buf, qulonglong len, int* peekSize);
    void kcpInputTimerFired();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    static IKCPCB* createSession(quint32 conv, Kcp* owner);
    static int outputCallback(const char* buf, int len, int xmit, IKCPCB* kcb, void* user);
    void updateClock();
    void checkReceived();
    void applyPath();
    void sizeDatagramWindow();
    // Runs one engine call that may emit datagrams, holding back the last
    // one so that the ones before it are known not to be the last.
    template <class F>
    void emitting(F engineCall);
    void releaseHeld(int waitSend);

    std::unique_ptr<KcpPrivate> d;
};
