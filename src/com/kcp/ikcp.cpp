#include "com/kcp/ikcp.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

void* (*s_malloc)(size_t) = nullptr;
void (*s_free)(void*) = nullptr;

void* kmalloc(size_t size)
{
    return s_malloc ? s_malloc(size) : std::malloc(size);
}

void kfree(void* ptr)
{
    if (!ptr)
        return;
    if (s_free)
        s_free(ptr);
    else
        std::free(ptr);
}

// Sequence numbers and times wrap around; they are compared on their signed
// 32-bit difference.
inline IINT32 timediff(IUINT32 later, IUINT32 earlier)
{
    return static_cast<IINT32>(later - earlier);
}

inline IUINT32 umin(IUINT32 a, IUINT32 b)
{
    return a < b ? a : b;
}

inline IUINT32 umax(IUINT32 a, IUINT32 b)
{
    return a > b ? a : b;
}

// --- byte order ------------------------------------------------------------

inline unsigned char* encode8(unsigned char* p, IUINT32 v)
{
    *p = static_cast<unsigned char>(v);
    return p + 1;
}

inline unsigned char* encode16(unsigned char* p, IUINT32 v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    return p + 2;
}

inline unsigned char* encode32(unsigned char* p, IUINT32 v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
    return p + 4;
}

inline IUINT32 decode16(const unsigned char* p)
{
    return IUINT32(p[0]) | (IUINT32(p[1]) << 8);
}

inline IUINT32 decode32(const unsigned char* p)
{
    return IUINT32(p[0]) | (IUINT32(p[1]) << 8) | (IUINT32(p[2]) << 16) | (IUINT32(p[3]) << 24);
}

// --- queues ----------------------------------------------------------------

inline void qinit(IQUEUEHEAD* head)
{
    head->next = head;
    head->prev = head;
}

inline bool qempty(const IQUEUEHEAD* head)
{
    return head->next == head;
}

// Links node right after pos.
inline void qinsertAfter(IQUEUEHEAD* node, IQUEUEHEAD* pos)
{
    node->prev = pos;
    node->next = pos->next;
    pos->next->prev = node;
    pos->next = node;
}

inline void qappend(IQUEUEHEAD* node, IQUEUEHEAD* head)
{
    qinsertAfter(node, head->prev);
}

inline void qunlink(IQUEUEHEAD* node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = node;
    node->prev = node;
}

inline IKCPSEG* qseg(IQUEUEHEAD* node)
{
    return reinterpret_cast<IKCPSEG*>(node);
}

inline const IKCPSEG* qseg(const IQUEUEHEAD* node)
{
    return reinterpret_cast<const IKCPSEG*>(node);
}

// --- segments --------------------------------------------------------------

IKCPSEG* segNew(IUINT32 size)
{
    void* mem = kmalloc(sizeof(IKCPSEG) + size);
    if (!mem)
        return nullptr;
    IKCPSEG* seg = new (mem) IKCPSEG();
    qinit(&seg->node);
    seg->data = reinterpret_cast<char*>(seg + 1);
    return seg;
}

void segDelete(IKCPSEG* seg)
{
    seg->~IKCPSEG();
    kfree(seg);
}

void freeQueue(IQUEUEHEAD* head)
{
    while (!qempty(head)) {
        IKCPSEG* seg = qseg(head->next);
        qunlink(&seg->node);
        segDelete(seg);
    }
}

unsigned char* encodeSeg(unsigned char* p, const IKCPSEG* seg)
{
    p = encode32(p, seg->conv);
    p = encode8(p, seg->cmd);
    p = encode8(p, seg->frg);
    p = encode16(p, seg->wnd);
    p = encode32(p, seg->ts);
    p = encode32(p, seg->sn);
    p = encode32(p, seg->una);
    p = encode32(p, seg->len);
    return p;
}

int callOutput(ikcpcb* kcp, const unsigned char* data, long size, int xmit)
{
    if (size <= 0 || !kcp->output)
        return 0;
    return kcp->output(reinterpret_cast<const char*>(data), int(size), xmit, kcp, kcp->user);
}

IUINT32 unusedWindow(const ikcpcb* kcp)
{
    if (kcp->nrcv_que >= kcp->rcv_wnd)
        return 0;
    return umin(kcp->rcv_wnd - kcp->nrcv_que, 0xFFFF);
}

// --- input helpers ---------------------------------------------------------

void updateAck(ikcpcb* kcp, IINT32 rtt)
{
    // 64-bit arithmetic: a peer may echo any time stamp, so rtt can be up to
    // 2^31 - 1 and the smoothing sums would overflow in 32 bits.
    long long srtt = kcp->rx_srtt;
    long long rttval = kcp->rx_rttval;
    if (srtt == 0) {
        srtt = rtt;
        rttval = rtt / 2;
    } else {
        long long delta = (long long)rtt - srtt;
        if (delta < 0)
            delta = -delta;
        rttval = (3 * rttval + delta) / 4;
        srtt = (7 * srtt + rtt) / 8;
        if (srtt < 1)
            srtt = 1;
    }
    const long long interval = kcp->interval;
    const long long rto = srtt + (interval > 4 * rttval ? interval : 4 * rttval);
    long long bounded = rto;
    if (bounded > IKCP_RTO_MAX)
        bounded = IKCP_RTO_MAX;
    if (bounded < kcp->rx_minrto)
        bounded = kcp->rx_minrto;
    kcp->rx_srtt = static_cast<IINT32>(srtt);
    kcp->rx_rttval = static_cast<IINT32>(rttval);
    kcp->rx_rto = static_cast<IINT32>(bounded);
}

void shrinkBuf(ikcpcb* kcp)
{
    if (!qempty(&kcp->snd_buf))
        kcp->snd_una = qseg(kcp->snd_buf.next)->sn;
    else
        kcp->snd_una = kcp->snd_nxt;
}

void parseAck(ikcpcb* kcp, IUINT32 sn)
{
    if (timediff(sn, kcp->snd_una) < 0 || timediff(sn, kcp->snd_nxt) >= 0)
        return;
    for (IQUEUEHEAD* p = kcp->snd_buf.next; p != &kcp->snd_buf; p = p->next) {
        IKCPSEG* seg = qseg(p);
        if (seg->sn == sn) {
            qunlink(p);
            segDelete(seg);
            kcp->nsnd_buf--;
            break;
        }
        if (timediff(sn, seg->sn) < 0)
            break;
    }
}

void parseUna(ikcpcb* kcp, IUINT32 una)
{
    while (!qempty(&kcp->snd_buf)) {
        IKCPSEG* seg = qseg(kcp->snd_buf.next);
        if (timediff(una, seg->sn) <= 0)
            break;
        qunlink(&seg->node);
        segDelete(seg);
        kcp->nsnd_buf--;
    }
}

void parseFastack(ikcpcb* kcp, IUINT32 sn)
{
    if (timediff(sn, kcp->snd_una) < 0 || timediff(sn, kcp->snd_nxt) >= 0)
        return;
    for (IQUEUEHEAD* p = kcp->snd_buf.next; p != &kcp->snd_buf; p = p->next) {
        IKCPSEG* seg = qseg(p);
        if (timediff(sn, seg->sn) < 0)
            break;
        if (sn != seg->sn)
            seg->fastack++;
    }
}

void ackPush(ikcpcb* kcp, IUINT32 sn, IUINT32 ts)
{
    const IUINT32 needed = kcp->ackcount + 1;
    if (needed > kcp->ackblock) {
        if (kcp->ackblock >= IKCP_ACKLIST_MAX)
            return; // the peer learns about these segments from una
        IUINT32 block = 8;
        while (block < needed)
            block <<= 1;
        IUINT32* list = static_cast<IUINT32*>(kmalloc(size_t(block) * 2 * sizeof(IUINT32)));
        if (!list)
            return;
        if (kcp->acklist) {
            std::memcpy(list, kcp->acklist, size_t(kcp->ackcount) * 2 * sizeof(IUINT32));
            kfree(kcp->acklist);
        }
        kcp->acklist = list;
        kcp->ackblock = block;
    }
    kcp->acklist[kcp->ackcount * 2] = sn;
    kcp->acklist[kcp->ackcount * 2 + 1] = ts;
    kcp->ackcount++;
}

// Moves the in-order run at the head of rcv_buf to rcv_queue.
void moveReceived(ikcpcb* kcp)
{
    while (!qempty(&kcp->rcv_buf)) {
        IKCPSEG* seg = qseg(kcp->rcv_buf.next);
        if (seg->sn != kcp->rcv_nxt || kcp->nrcv_que >= kcp->rcv_wnd)
            break;
        qunlink(&seg->node);
        kcp->nrcv_buf--;
        qappend(&seg->node, &kcp->rcv_queue);
        kcp->nrcv_que++;
        kcp->rcv_nxt++;
    }
}

// Stores a copy of a data segment in rcv_buf, ordered by sn, unless it lies
// outside the window or is a duplicate.
void parseData(ikcpcb* kcp, IUINT32 sn, IUINT32 frg, IUINT32 wnd, IUINT32 ts, IUINT32 una,
               const unsigned char* data, IUINT32 len)
{
    if (timediff(sn, kcp->rcv_nxt + kcp->rcv_wnd) >= 0 || timediff(sn, kcp->rcv_nxt) < 0)
        return;

    IQUEUEHEAD* pos = kcp->rcv_buf.prev;
    for (; pos != &kcp->rcv_buf; pos = pos->prev) {
        const IKCPSEG* seg = qseg(pos);
        if (seg->sn == sn)
            return; // duplicate
        if (timediff(sn, seg->sn) > 0)
            break;
    }

    IKCPSEG* seg = segNew(len);
    if (!seg)
        return; // the peer resends it
    seg->conv = kcp->conv;
    seg->cmd = IKCP_CMD_PUSH;
    seg->frg = frg;
    seg->wnd = wnd;
    seg->ts = ts;
    seg->sn = sn;
    seg->una = una;
    seg->len = len;
    if (len > 0)
        std::memcpy(seg->data, data, len);
    qinsertAfter(&seg->node, pos);
    kcp->nrcv_buf++;

    moveReceived(kcp);
}

} // namespace

ikcpcb* ikcp_create(IUINT32 conv, void* user)
{
    void* mem = kmalloc(sizeof(IKCPCB));
    if (!mem)
        return nullptr;
    ikcpcb* kcp = new (mem) IKCPCB();
    kcp->conv = conv;
    kcp->user = user;
    kcp->snd_wnd = IKCP_WND_SND;
    kcp->rcv_wnd = IKCP_WND_RCV;
    kcp->rmt_wnd = IKCP_WND_RCV;
    kcp->mtu = IKCP_MTU_DEF;
    kcp->mss = kcp->mtu - IKCP_OVERHEAD;
    kcp->buffer = static_cast<char*>(kmalloc(size_t(kcp->mtu + IKCP_OVERHEAD) * 3));
    kcp->bufmtu = kcp->mtu;
    if (!kcp->buffer) {
        kcp->~IKCPCB();
        kfree(kcp);
        return nullptr;
    }
    qinit(&kcp->snd_queue);
    qinit(&kcp->rcv_queue);
    qinit(&kcp->snd_buf);
    qinit(&kcp->rcv_buf);
    kcp->rx_rto = IKCP_RTO_DEF;
    kcp->rx_minrto = IKCP_RTO_MIN;
    kcp->interval = IKCP_INTERVAL;
    kcp->ts_flush = IKCP_INTERVAL;
    kcp->ssthresh = IKCP_THRESH_INIT;
    kcp->fastlimit = IKCP_FASTACK_LIMIT;
    kcp->dead_link = IKCP_DEADLINK;
    return kcp;
}

void ikcp_release(ikcpcb* kcp)
{
    if (!kcp)
        return;
    freeQueue(&kcp->snd_buf);
    freeQueue(&kcp->rcv_buf);
    freeQueue(&kcp->snd_queue);
    freeQueue(&kcp->rcv_queue);
    kfree(kcp->buffer);
    kfree(kcp->acklist);
    kcp->~IKCPCB();
    kfree(kcp);
}

void ikcp_setoutput(ikcpcb* kcp, ikcp_output_fn output)
{
    kcp->output = output;
}

int ikcp_peeksize(const ikcpcb* kcp)
{
    if (qempty(&kcp->rcv_queue))
        return -1;
    const IKCPSEG* first = qseg(kcp->rcv_queue.next);
    if (first->frg == 0)
        return int(first->len);
    if (kcp->nrcv_que < first->frg + 1)
        return -1;
    int length = 0;
    for (const IQUEUEHEAD* p = kcp->rcv_queue.next; p != &kcp->rcv_queue; p = p->next) {
        const IKCPSEG* seg = qseg(p);
        length += int(seg->len);
        if (seg->frg == 0)
            break;
    }
    return length;
}

int ikcp_recv(ikcpcb* kcp, char* buffer, int len)
{
    if (qempty(&kcp->rcv_queue))
        return -1;
    const int peeksize = ikcp_peeksize(kcp);
    if (peeksize < 0)
        return -2;
    if (len < peeksize)
        return -3;

    const bool recover = kcp->nrcv_que >= kcp->rcv_wnd;

    int total = 0;
    while (!qempty(&kcp->rcv_queue)) {
        IKCPSEG* seg = qseg(kcp->rcv_queue.next);
        if (buffer && seg->len > 0)
            std::memcpy(buffer + total, seg->data, seg->len);
        total += int(seg->len);
        const IUINT32 frg = seg->frg;
        qunlink(&seg->node);
        segDelete(seg);
        kcp->nrcv_que--;
        if (frg == 0)
            break;
    }

    moveReceived(kcp);

    // The window was closed and is open again: tell the peer soon.
    if (recover && kcp->nrcv_que < kcp->rcv_wnd)
        kcp->probe |= IKCP_ASK_TELL;

    return total;
}

int ikcp_send(ikcpcb* kcp, const char* buffer, int len)
{
    if (len < 0 || (len > 0 && !buffer))
        return -1;

    const IUINT32 mss = kcp->mss;
    const IUINT32 count = IUINT32(len) <= mss ? 1 : (IUINT32(len) + mss - 1) / mss;
    // frg travels in one byte, so at most 256 fragments whatever the window.
    if (count >= kcp->rcv_wnd || count > 256)
        return -2;

    IQUEUEHEAD fresh;
    qinit(&fresh);
    IUINT32 offset = 0;
    for (IUINT32 i = 0; i < count; ++i) {
        const IUINT32 size = umin(IUINT32(len) - offset, mss);
        IKCPSEG* seg = segNew(size);
        if (!seg) {
            freeQueue(&fresh);
            return -2;
        }
        if (size > 0)
            std::memcpy(seg->data, buffer + offset, size);
        seg->len = size;
        seg->frg = count - i - 1;
        qappend(&seg->node, &fresh);
        offset += size;
    }
    while (!qempty(&fresh)) {
        IQUEUEHEAD* node = fresh.next;
        qunlink(node);
        qappend(node, &kcp->snd_queue);
    }
    kcp->nsnd_que += count;
    return 0;
}

int ikcp_input(ikcpcb* kcp, const char* data, long size)
{
    if (!data || size < long(IKCP_OVERHEAD))
        return -1;

    const IUINT32 prevUna = kcp->snd_una;
    IUINT32 maxack = 0;
    bool acked = false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);

    while (size >= long(IKCP_OVERHEAD)) {
        const IUINT32 conv = decode32(p);
        if (conv != kcp->conv)
            return -1;
        const IUINT32 cmd = p[4];
        const IUINT32 frg = p[5];
        const IUINT32 wnd = decode16(p + 6);
        const IUINT32 ts = decode32(p + 8);
        const IUINT32 sn = decode32(p + 12);
        const IUINT32 una = decode32(p + 16);
        const IUINT32 len = decode32(p + 20);
        p += IKCP_OVERHEAD;
        size -= long(IKCP_OVERHEAD);

        if (static_cast<IINT32>(len) < 0 || long(len) > size)
            return -2;
        if (cmd < IKCP_CMD_PUSH || cmd > IKCP_CMD_WINS)
            return -3;
        if (cmd == IKCP_CMD_PUSH && len > IKCP_MTU_MAX - IKCP_OVERHEAD)
            return -2;
        // A message must fit the receive queue whole, or the queue waits for
        // fragments it can never hold and the direction stalls; ikcp_send
        // never makes such a message.
        if (cmd == IKCP_CMD_PUSH && frg + 1 >= kcp->rcv_wnd)
            return -3;

        kcp->rmt_wnd = wnd;
        parseUna(kcp, una);
        shrinkBuf(kcp);

        switch (cmd) {
        case IKCP_CMD_ACK:
            if (timediff(kcp->current, ts) >= 0)
                updateAck(kcp, timediff(kcp->current, ts));
            parseAck(kcp, sn);
            shrinkBuf(kcp);
            if (!acked || timediff(sn, maxack) > 0) {
                maxack = sn;
                acked = true;
            }
            break;
        case IKCP_CMD_PUSH:
            if (timediff(sn, kcp->rcv_nxt + kcp->rcv_wnd) < 0) {
                ackPush(kcp, sn, ts);
                if (timediff(sn, kcp->rcv_nxt) >= 0)
                    parseData(kcp, sn, frg, wnd, ts, una, p, len);
            }
            break;
        case IKCP_CMD_WASK:
            kcp->probe |= IKCP_ASK_TELL;
            break;
        default: // WINS: the window was taken from the header above
            break;
        }

        p += len;
        size -= long(len);
    }

    if (acked)
        parseFastack(kcp, maxack);

    if (timediff(kcp->snd_una, prevUna) > 0 && kcp->cwnd < kcp->rmt_wnd) {
        const IUINT32 mss = kcp->mss;
        if (kcp->cwnd < kcp->ssthresh) {
            kcp->cwnd++;
            kcp->incr += mss;
        } else {
            if (kcp->incr < mss)
                kcp->incr = mss;
            kcp->incr += (mss * mss) / kcp->incr + (mss / 16);
            if ((kcp->cwnd + 1) * mss <= kcp->incr)
                kcp->cwnd++;
        }
        if (kcp->cwnd > kcp->rmt_wnd) {
            kcp->cwnd = kcp->rmt_wnd;
            kcp->incr = kcp->rmt_wnd * mss;
        }
    }

    return 0;
}

void ikcp_flush(ikcpcb* kcp)
{
    if (!kcp->updated)
        return;

    const IUINT32 current = kcp->current;
    unsigned char* const buffer = reinterpret_cast<unsigned char*>(kcp->buffer);
    unsigned char* ptr = buffer;
    int bufferXmit = 0; // transmit count of the last data segment in the buffer

    auto emitIfFull = [&](IUINT32 need) {
        if (IUINT32(ptr - buffer) + need > kcp->mtu) {
            callOutput(kcp, buffer, ptr - buffer, bufferXmit);
            ptr = buffer;
            bufferXmit = 0;
        }
    };

    IKCPSEG seg{};
    seg.conv = kcp->conv;
    seg.cmd = IKCP_CMD_ACK;
    seg.frg = 0;
    seg.wnd = unusedWindow(kcp);
    seg.una = kcp->rcv_nxt;
    seg.len = 0;
    seg.sn = 0;
    seg.ts = 0;

    // With ackcoalesce, of the segments below rcv_nxt (una tells the peer
    // it has them all) only the newest is acknowledged on its own.
    IUINT32 newestInOrder = kcp->ackcount;
    if (kcp->ackcoalesce) {
        for (IUINT32 i = 0; i < kcp->ackcount; ++i) {
            const IUINT32 sn = kcp->acklist[i * 2];
            if (timediff(sn, kcp->rcv_nxt) < 0
                && (newestInOrder == kcp->ackcount || timediff(sn, kcp->acklist[newestInOrder * 2]) > 0))
                newestInOrder = i;
        }
    }
    for (IUINT32 i = 0; i < kcp->ackcount; ++i) {
        seg.sn = kcp->acklist[i * 2];
        if (kcp->ackcoalesce && i != newestInOrder && timediff(seg.sn, kcp->rcv_nxt) < 0)
            continue;
        emitIfFull(IKCP_OVERHEAD);
        seg.ts = kcp->acklist[i * 2 + 1];
        ptr = encodeSeg(ptr, &seg);
    }
    kcp->ackcount = 0;

    // Window probe: the peer's window is closed, ask now and then whether it
    // opened (7 s, then each wait half as long again, at most 120 s).
    if (kcp->rmt_wnd == 0) {
        if (kcp->probe_wait == 0) {
            kcp->probe_wait = IKCP_PROBE_INIT;
            kcp->ts_probe = current + kcp->probe_wait;
        } else if (timediff(current, kcp->ts_probe) >= 0) {
            if (kcp->probe_wait < IKCP_PROBE_INIT)
                kcp->probe_wait = IKCP_PROBE_INIT;
            kcp->probe_wait += kcp->probe_wait / 2;
            if (kcp->probe_wait > IKCP_PROBE_LIMIT)
                kcp->probe_wait = IKCP_PROBE_LIMIT;
            kcp->ts_probe = current + kcp->probe_wait;
            kcp->probe |= IKCP_ASK_SEND;
        }
    } else {
        kcp->ts_probe = 0;
        kcp->probe_wait = 0;
    }

    if (kcp->probe & IKCP_ASK_SEND) {
        seg.cmd = IKCP_CMD_WASK;
        emitIfFull(IKCP_OVERHEAD);
        ptr = encodeSeg(ptr, &seg);
    }
    if (kcp->probe & IKCP_ASK_TELL) {
        seg.cmd = IKCP_CMD_WINS;
        emitIfFull(IKCP_OVERHEAD);
        ptr = encodeSeg(ptr, &seg);
    }
    kcp->probe = 0;

    IUINT32 cwnd = umin(kcp->snd_wnd, kcp->rmt_wnd);
    if (kcp->nocwnd == 0)
        cwnd = umin(kcp->cwnd, cwnd);

    while (timediff(kcp->snd_nxt, kcp->snd_una + cwnd) < 0 && !qempty(&kcp->snd_queue)) {
        IKCPSEG* fresh = qseg(kcp->snd_queue.next);
        qunlink(&fresh->node);
        qappend(&fresh->node, &kcp->snd_buf);
        kcp->nsnd_que--;
        kcp->nsnd_buf++;
        fresh->conv = kcp->conv;
        fresh->cmd = IKCP_CMD_PUSH;
        fresh->wnd = seg.wnd;
        fresh->ts = current;
        fresh->sn = kcp->snd_nxt++;
        fresh->una = kcp->rcv_nxt;
        fresh->resendts = current;
        fresh->rto = IUINT32(kcp->rx_rto);
        fresh->fastack = 0;
        fresh->xmit = 0;
    }

    const IUINT32 resent = kcp->fastresend > 0 ? IUINT32(kcp->fastresend) : 0xFFFFFFFFu;
    const IUINT32 rtomin = kcp->nodelay == 0 ? IUINT32(kcp->rx_rto) >> 3 : 0;
    bool lost = false;
    bool change = false;

    for (IQUEUEHEAD* p = kcp->snd_buf.next; p != &kcp->snd_buf; p = p->next) {
        IKCPSEG* segment = qseg(p);
        bool needsend = false;
        if (segment->xmit == 0) {
            needsend = true;
            segment->xmit++;
            segment->rto = IUINT32(kcp->rx_rto);
            segment->resendts = current + segment->rto + rtomin;
        } else if (timediff(current, segment->resendts) >= 0) {
            needsend = true;
            segment->xmit++;
            kcp->xmit++;
            if (kcp->nodelay == 0)
                segment->rto += IUINT32(kcp->rx_rto);
            else
                segment->rto += IUINT32(kcp->rx_rto) / 2;
            segment->resendts = current + segment->rto;
            lost = true;
        } else if (segment->fastack >= resent) {
            if (kcp->fastlimit <= 0 || int(segment->xmit) <= kcp->fastlimit) {
                needsend = true;
                segment->xmit++;
                segment->fastack = 0;
                segment->resendts = current + segment->rto;
                change = true;
            }
        }

        if (needsend) {
            segment->ts = current;
            segment->wnd = seg.wnd;
            segment->una = kcp->rcv_nxt;
            emitIfFull(IKCP_OVERHEAD + segment->len);
            ptr = encodeSeg(ptr, segment);
            if (segment->len > 0) {
                std::memcpy(ptr, segment->data, segment->len);
                ptr += segment->len;
            }
            bufferXmit = int(segment->xmit);
            if (segment->xmit >= kcp->dead_link)
                kcp->state = IUINT32(-1);
        }
    }

    callOutput(kcp, buffer, ptr - buffer, bufferXmit);

    if (change) {
        const IUINT32 inflight = kcp->snd_nxt - kcp->snd_una;
        kcp->ssthresh = umax(inflight / 2, IKCP_THRESH_MIN);
        kcp->cwnd = kcp->ssthresh + resent;
        kcp->incr = kcp->cwnd * kcp->mss;
    }
    if (lost) {
        kcp->ssthresh = umax(cwnd / 2, IKCP_THRESH_MIN);
        kcp->cwnd = 1;
        kcp->incr = kcp->mss;
    }
    if (kcp->cwnd < 1) {
        kcp->cwnd = 1;
        kcp->incr = kcp->mss;
    }
}

void ikcp_update(ikcpcb* kcp, IUINT32 current)
{
    kcp->current = current;
    if (!kcp->updated) {
        kcp->updated = 1;
        kcp->ts_flush = current;
    }

    IINT32 slap = timediff(current, kcp->ts_flush);
    if (slap >= 10000 || slap < -10000) {
        kcp->ts_flush = current;
        slap = 0;
    }
    if (slap >= 0) {
        kcp->ts_flush += kcp->interval;
        if (timediff(current, kcp->ts_flush) >= 0)
            kcp->ts_flush = current + kcp->interval;
        ikcp_flush(kcp);
    }
}

IUINT32 ikcp_check(const ikcpcb* kcp, IUINT32 current)
{
    if (!kcp->updated)
        return current;

    IUINT32 tsFlush = kcp->ts_flush;
    if (timediff(current, tsFlush) >= 10000 || timediff(current, tsFlush) < -10000)
        tsFlush = current;
    if (timediff(current, tsFlush) >= 0)
        return current;

    const IINT32 tmFlush = timediff(tsFlush, current);
    IINT32 tmPacket = 0x7FFFFFFF;
    for (const IQUEUEHEAD* p = kcp->snd_buf.next; p != &kcp->snd_buf; p = p->next) {
        const IINT32 diff = timediff(qseg(p)->resendts, current);
        if (diff <= 0)
            return current;
        if (diff < tmPacket)
            tmPacket = diff;
    }

    IUINT32 minimal = IUINT32(tmPacket < tmFlush ? tmPacket : tmFlush);
    if (minimal >= kcp->interval)
        minimal = kcp->interval;
    return current + minimal;
}

int ikcp_setmtu(ikcpcb* kcp, int mtu)
{
    if (mtu < 50 || mtu < int(IKCP_OVERHEAD) || mtu > int(IKCP_MTU_MAX))
        return -1;
    // Fragments already cut for a larger mtu keep their size: the buffer
    // stays as large as the largest mtu so far.
    if (IUINT32(mtu) > kcp->bufmtu) {
        char* buffer = static_cast<char*>(kmalloc(size_t(mtu + int(IKCP_OVERHEAD)) * 3));
        if (!buffer)
            return -2;
        kfree(kcp->buffer);
        kcp->buffer = buffer;
        kcp->bufmtu = IUINT32(mtu);
    }
    kcp->mtu = IUINT32(mtu);
    kcp->mss = kcp->mtu - IKCP_OVERHEAD;
    return 0;
}

int ikcp_interval(ikcpcb* kcp, int interval)
{
    if (interval > 5000)
        interval = 5000;
    else if (interval < 10)
        interval = 10;
    kcp->interval = IUINT32(interval);
    return 0;
}

int ikcp_nodelay(ikcpcb* kcp, int nodelay, int interval, int resend, int nc)
{
    if (nodelay >= 0) {
        kcp->nodelay = IUINT32(nodelay);
        kcp->rx_minrto = nodelay ? IINT32(IKCP_RTO_NDL) : IINT32(IKCP_RTO_MIN);
    }
    if (interval >= 0)
        ikcp_interval(kcp, interval);
    if (resend >= 0)
        kcp->fastresend = resend;
    if (nc >= 0)
        kcp->nocwnd = nc;
    return 0;
}

int ikcp_wndsize(ikcpcb* kcp, int sndwnd, int rcvwnd)
{
    if (sndwnd > 0)
        kcp->snd_wnd = IUINT32(sndwnd);
    if (rcvwnd > 0)
        kcp->rcv_wnd = umax(IUINT32(rcvwnd), IKCP_WND_RCV);
    return 0;
}

int ikcp_waitsnd(const ikcpcb* kcp)
{
    return int(kcp->nsnd_buf + kcp->nsnd_que);
}

void ikcp_allocator(void* (*new_malloc)(size_t), void (*new_free)(void*))
{
    s_malloc = new_malloc;
    s_free = new_free;
}

IUINT32 ikcp_getconv(const void* ptr)
{
    return decode32(static_cast<const unsigned char*>(ptr));
}
