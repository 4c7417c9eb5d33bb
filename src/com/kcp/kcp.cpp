#include "com/kcp/kcp.h"

#include "com/kcp/datagramwindow.h"
#include "com/kcp/ikcp.h"
#include "core/logger.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QTimerEvent>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <vector>

namespace {

// Started during static initialisation, before main.
struct ProcessStart
{
    ProcessStart() { timer.start(); }
    QElapsedTimer timer;
};
const ProcessStart s_processStart;

constexpr int kTickMs = 10;
constexpr int kFlushIntervalMs = 40;
constexpr int kSendWindow = 64;
constexpr int kReceiveWindow = 128;
// Datagram paths flush every tick so that a time-out is noticed early.
constexpr int kDatagramFlushIntervalMs = 10;
constexpr int kDatagramFastResend = 2;
// A stream loses nothing and paces itself; what bounds the session there is
// how much one round trip carries, a round trip that on a busy machine
// includes waiting for the processor. So on a stream both windows are wider:
// this side offers more room, and fills what the peer offers (a peer that
// offers the usual 128 gets at most that). Over datagrams this side offers
// the same room; its send window there follows the path.
constexpr int kStreamWindow = 1024;
static_assert(kStreamWindow == DatagramWindow::Ceiling, "a datagram path's window grows up to a stream's");
// Messages stay within what any peer reassembles: fewer fragments than the
// usual receive window, whatever ours is.
constexpr int kMaxFragments = kReceiveWindow - 1;

// The engine allocates a segment for every fragment it queues, sends or
// receives, and frees it when done: thousands a second at copy speed. Blocks
// up to one datagram's size come from a per-thread free list instead. They
// are ordinary malloc blocks (their usable size tells them apart), so freeing
// one with free() is always right, whoever installed which allocator when.
constexpr size_t kPoolBlock = sizeof(IKCPSEG) + 1400 + 24;
constexpr int kPoolKeep = 2048; // blocks a thread keeps, about 3 MB

struct FreeBlock
{
    FreeBlock* next;
};

thread_local bool t_poolGone = false;

struct SegmentPool
{
    ~SegmentPool()
    {
        t_poolGone = true;
        while (head) {
            FreeBlock* next = head->next;
            std::free(head);
            head = next;
        }
    }
    FreeBlock* head = nullptr;
    int count = 0;
};

thread_local SegmentPool t_pool;

void* poolMalloc(size_t size)
{
    if (size > kPoolBlock)
        return std::malloc(size);
    if (!t_poolGone && t_pool.head) {
        FreeBlock* block = t_pool.head;
        t_pool.head = block->next;
        --t_pool.count;
        return block;
    }
    return std::malloc(kPoolBlock);
}

void poolFree(void* ptr)
{
    if (!ptr)
        return;
    const size_t usable = malloc_usable_size(ptr);
    if (t_poolGone || usable < kPoolBlock || usable >= 2 * kPoolBlock || t_pool.count >= kPoolKeep) {
        std::free(ptr);
        return;
    }
    FreeBlock* block = static_cast<FreeBlock*>(ptr);
    block->next = t_pool.head;
    t_pool.head = block;
    ++t_pool.count;
}

struct PoolInstaller
{
    PoolInstaller() { ikcp_allocator(poolMalloc, poolFree); }
};
const PoolInstaller s_poolInstaller;

} // namespace

class KcpPrivate
{
public:
    ikcpcb* kcb = nullptr;
    int pending = 0;
    int tickTimerId = 0;
    quint32 current = 0;
    QTimer* flushTimer = nullptr;
    Kcp::Clock clock;
    Kcp::Path path = Kcp::PathUnknown;
    QElapsedTimer sessionStarted;
    quint64 reads = 0; // messages taken off the receive queue
    // The datagram held back while the engine may still emit more.
    bool holding = false;
    std::vector<char> held;
    std::vector<char> releasing;
    int heldLen = 0;
    int heldXmit = 0;
    DatagramWindow window;
};

Kcp::Kcp(QObject* parent)
    : QObject(parent)
    , d(new KcpPrivate)
{
    d->tickTimerId = startTimer(kTickMs, Qt::PreciseTimer);
    d->flushTimer = new QTimer(this);
    d->flushTimer->setSingleShot(true);
    d->flushTimer->setTimerType(Qt::PreciseTimer);
    d->flushTimer->setInterval(0);
    connect(d->flushTimer, &QTimer::timeout, this, &Kcp::kcpInputTimerFired);
}

Kcp::~Kcp()
{
    ikcp_release(d->kcb);
}

quint32 Kcp::processClock()
{
    return static_cast<quint32>(s_processStart.timer.elapsed());
}

quint32 Kcp::clockNow() const
{
    return d->clock ? d->clock() : processClock();
}

void Kcp::setClock(Clock clock)
{
    d->clock = std::move(clock);
}

void Kcp::setTickTimerActive(bool active)
{
    if (active && d->tickTimerId == 0) {
        d->tickTimerId = startTimer(kTickMs, Qt::PreciseTimer);
    } else if (!active && d->tickTimerId != 0) {
        killTimer(d->tickTimerId);
        d->tickTimerId = 0;
    }
}

bool Kcp::isTickTimerActive() const
{
    return d->tickTimerId != 0;
}

IKCPCB* Kcp::createSession(quint32 conv, Kcp* owner)
{
    ikcpcb* kcb = ikcp_create(conv, owner);
    if (!kcb)
        return nullptr;
    ikcp_nodelay(kcb, 0, kFlushIntervalMs, 0, 0);
    ikcp_wndsize(kcb, kSendWindow, kReceiveWindow);
    ikcp_setoutput(kcb, &Kcp::outputCallback);
    return kcb;
}

void Kcp::setPath(Path path)
{
    if (path == d->path)
        return;
    d->path = path;
    applyPath();
}

Kcp::Path Kcp::path() const
{
    return d->path;
}

void Kcp::applyPath()
{
    if (!d->kcb)
        return;
    switch (d->path) {
    case PathUnknown:
        ikcp_nodelay(d->kcb, 0, kFlushIntervalMs, 0, 0);
        ikcp_wndsize(d->kcb, kSendWindow, kReceiveWindow);
        ikcp_setmtu(d->kcb, IKCP_MTU_DEF);
        break;
    case PathStream:
        ikcp_nodelay(d->kcb, 0, kFlushIntervalMs, 0, 1);
        ikcp_wndsize(d->kcb, kStreamWindow, kStreamWindow);
        // A stream cuts nothing into IP packets of its own: larger segments
        // mean fewer datagrams to seal, open and acknowledge.
        ikcp_setmtu(d->kcb, IKCP_MTU_MAX);
        break;
    case PathDatagram:
        // The send window follows the path (DatagramWindow); this side
        // offers as much room as on a stream, so that a peer that sizes its
        // window the same way can fill a long path.
        ikcp_nodelay(d->kcb, 1, kDatagramFlushIntervalMs, kDatagramFastResend, 1);
        // New segments fit one IP packet again; those cut on a stream go out
        // as they are.
        ikcp_setmtu(d->kcb, IKCP_MTU_DEF);
        d->window = DatagramWindow();
        ikcp_wndsize(d->kcb, d->window.window(), kStreamWindow);
        break;
    }
    // Paced sessions acknowledge what arrived in order with one ACK a flush
    // (una covers the rest): on a bulk transfer one ACK of 24 bytes for every
    // 1376 bytes received was 1.7 % of the wire.
    d->kcb->ackcoalesce = d->path == PathUnknown ? 0 : 1;
}

bool Kcp::setSession(quint32 conv)
{
    if (d->kcb && d->kcb->conv == conv)
        return false;
    if (d->kcb) {
        ikcp_release(d->kcb);
        d->kcb = nullptr;
    }
    d->pending = 0;
    d->sessionStarted.invalidate();
    d->kcb = createSession(conv, this);
    if (!d->kcb) {
        Logger::log(Logger::ERR1, "%p no memory for kcp session %u", static_cast<void*>(this), conv);
        return false;
    }
    d->sessionStarted.start();
    applyPath();
    emit newSession();
    return true;
}

bool Kcp::hasSession() const
{
    return d->kcb != nullptr;
}

quint32 Kcp::conv() const
{
    return d->kcb ? d->kcb->conv : 0;
}

int Kcp::waitSend() const
{
    return d->kcb ? ikcp_waitsnd(d->kcb) : 0;
}

const IKCPCB* Kcp::controlBlock() const
{
    return d->kcb;
}

const QElapsedTimer& Kcp::sessionStarted() const
{
    return d->sessionStarted;
}

int Kcp::outputCallback(const char* buf, int len, int xmit, IKCPCB* kcb, void* user)
{
    Kcp* self = static_cast<Kcp*>(user);
    KcpPrivate* d = self->d.get();
    if (!d->holding || len <= 0) {
        emit self->output(buf, len, xmit, ikcp_waitsnd(kcb));
        return 0;
    }
    // This one follows: the one held back was not the last.
    if (d->heldLen > 0)
        self->releaseHeld(std::max(ikcp_waitsnd(kcb), 2));
    if (d->held.size() < size_t(len))
        d->held.resize(size_t(len));
    std::memcpy(d->held.data(), buf, size_t(len));
    d->heldLen = len;
    d->heldXmit = xmit;
    return 0;
}

void Kcp::releaseHeld(int waitSend)
{
    if (d->heldLen <= 0)
        return;
    // A receiver that makes the engine emit again while this one is out
    // fills the other buffer.
    d->releasing.swap(d->held);
    const int len = d->heldLen;
    d->heldLen = 0;
    emit output(d->releasing.data(), len, d->heldXmit, waitSend);
}

template <class F>
void Kcp::emitting(F engineCall)
{
    if (d->holding) {
        engineCall();
        return;
    }
    d->holding = true;
    engineCall();
    d->holding = false;
    // Nothing follows the last one in this pass: it and those before it
    // leave now.
    releaseHeld(d->kcb ? std::min(ikcp_waitsnd(d->kcb), 1) : 0);
}

int Kcp::send(const char* buf, int len)
{
    if (!d->kcb)
        return -1;
    if (ikcp_waitsnd(d->kcb) >= MaxWaitSend)
        return -3;
    if (len > kMaxFragments * int(d->kcb->mss))
        return -2;
    const int result = ikcp_send(d->kcb, buf, len);
    if (result == 0) {
        ++d->pending;
        if (!d->flushTimer->isActive())
            d->flushTimer->start();
    }
    return result;
}

int Kcp::input(const char* buf, int len)
{
    if (!d->kcb)
        return -1;
    const int result = ikcp_input(d->kcb, buf, len);
    if (result == 0) {
        ++d->pending;
        if (!d->flushTimer->isActive())
            d->flushTimer->start();
        return 0;
    }
    // Too short to name a session: a damaged datagram, not another session.
    if (!buf || len < 4)
        return -3;
    return ikcp_getconv(buf) != d->kcb->conv ? -2 : -3;
}

int Kcp::read(unsigned char* buf, qulonglong len, int* peekSize)
{
    if (!d->kcb)
        return -1;
    const int peek = ikcp_peeksize(d->kcb);
    if (peekSize)
        *peekSize = peek;
    const int capacity = len > qulonglong(INT_MAX) ? INT_MAX : int(len);
    const int n = ikcp_recv(d->kcb, reinterpret_cast<char*>(buf), buf ? capacity : 0);
    if (n >= 0)
        ++d->reads;
    return n;
}

int Kcp::peekSize() const
{
    return d->kcb ? ikcp_peeksize(d->kcb) : -1;
}

int Kcp::discard()
{
    if (!d->kcb)
        return -1;
    const int n = ikcp_recv(d->kcb, nullptr, INT_MAX);
    if (n >= 0)
        ++d->reads;
    return n;
}

void Kcp::updateClock()
{
    d->current = clockNow();
    emitting([this] { ikcp_update(d->kcb, d->current); });
}

void Kcp::tick()
{
    if (!d->kcb)
        return;
    // Read first: acknowledgements that leave now tell the window that is free.
    checkReceived();
    if (!d->kcb)
        return;
    updateClock();
    if (d->path == PathDatagram)
        sizeDatagramWindow();
}

void Kcp::sizeDatagramWindow()
{
    ikcpcb* kcb = d->kcb;
    DatagramWindow::Sample sample;
    sample.now = d->current;
    sample.srtt = kcb->rx_srtt;
    sample.limited = kcb->nsnd_que > 0 && kcb->snd_nxt - kcb->snd_una >= kcb->snd_wnd;
    sample.timeouts = kcb->xmit;
    const int window = d->window.update(sample);
    if (quint32(window) != kcb->snd_wnd)
        ikcp_wndsize(kcb, window, 0);
}

void Kcp::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == d->tickTimerId) {
        tick();
        return;
    }
    QObject::timerEvent(event);
}

void Kcp::kcpInputTimerFired()
{
    if (!d->kcb)
        return;
    // Read first: acknowledgements that leave now tell the window that is free.
    checkReceived();
    if (!d->kcb)
        return;
    d->current = clockNow();
    emitting([this] {
        ikcp_update(d->kcb, d->current);
        if (d->pending > 0) {
            ikcp_flush(d->kcb);
            d->pending = 0;
        }
    });
}

void Kcp::checkReceived()
{
    // received() again for as long as its receivers take messages: one read
    // per signal is enough for a receiver to empty the queue.
    while (d->kcb) {
        // An empty message has nothing to deliver but would block every
        // message behind it; no sender of ours makes one.
        int peek = ikcp_peeksize(d->kcb);
        while (peek == 0) {
            ikcp_recv(d->kcb, nullptr, 0);
            Logger::log(Logger::KCP1, "%p dropped empty message", static_cast<void*>(this));
            peek = ikcp_peeksize(d->kcb);
        }
        if (peek < 1)
            return;
        const ikcpcb* session = d->kcb;
        const quint64 readsBefore = d->reads;
        emit received();
        if (d->kcb != session || d->reads == readsBefore)
            return;
    }
}
