#include "com/kcp.h"

#include "com/ikcp.h"
#include "core/logger.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QTimerEvent>

#include <climits>

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

bool Kcp::setSession(quint32 conv)
{
    if (d->kcb && d->kcb->conv == conv)
        return false;
    if (d->kcb) {
        ikcp_release(d->kcb);
        d->kcb = nullptr;
    }
    d->pending = 0;
    d->kcb = createSession(conv, this);
    if (!d->kcb) {
        Logger::log(Logger::ERR1, "%p no memory for kcp session %u", static_cast<void*>(this), conv);
        return false;
    }
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

int Kcp::outputCallback(const char* buf, int len, int xmit, IKCPCB* kcb, void* user)
{
    Kcp* self = static_cast<Kcp*>(user);
    emit self->output(buf, len, xmit, ikcp_waitsnd(kcb));
    return 0;
}

int Kcp::send(const char* buf, int len)
{
    if (!d->kcb)
        return -1;
    if (ikcp_waitsnd(d->kcb) >= MaxWaitSend)
        return -3;
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
    return ikcp_recv(d->kcb, reinterpret_cast<char*>(buf), buf ? capacity : 0);
}

int Kcp::discard()
{
    if (!d->kcb)
        return -1;
    return ikcp_recv(d->kcb, nullptr, INT_MAX);
}

void Kcp::updateClock()
{
    d->current = clockNow();
    ikcp_update(d->kcb, d->current);
}

void Kcp::tick()
{
    if (!d->kcb)
        return;
    updateClock();
    checkReceived();
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
    updateClock();
    if (d->pending > 0) {
        ikcp_flush(d->kcb);
        d->pending = 0;
    }
    checkReceived();
}

void Kcp::checkReceived()
{
    if (!d->kcb)
        return;
    // An empty message has nothing to deliver but would block every message
    // behind it; no sender of ours makes one.
    int peek = ikcp_peeksize(d->kcb);
    while (peek == 0) {
        ikcp_recv(d->kcb, nullptr, 0);
        Logger::log(Logger::KCP1, "%p dropped empty message", static_cast<void*>(this));
        peek = ikcp_peeksize(d->kcb);
    }
    if (peek >= 1)
        emit received();
}
