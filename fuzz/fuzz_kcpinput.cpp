// Drives one KCP engine with datagrams from the fuzzer, mixed with sends,
// reads, clock steps and traffic from an honest peer engine, and checks the
// engine's invariants after every step: counters match the queues, the
// windows and the acknowledgement list stay bounded, the retransmission
// timeout stays within its limits, emitted datagrams fit the mtu, and a
// message that peeks whole reads back with exactly that length. At the end
// the honest peer sends one more message over a clean channel and it must
// arrive: whatever the hostile datagrams did, they may not stall the session.
#include "com/kcp/ikcp.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace {

constexpr IUINT32 kConv = 0x5EED0001;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Side
{
    ikcpcb* kcp = nullptr;
    std::deque<std::vector<char>>* outbox = nullptr;
};

int output(const char* buf, int len, int xmit, ikcpcb* kcp, void* user)
{
    check(len > 0 && IUINT32(len) <= kcp->mtu);
    check(xmit >= 0);
    auto* outbox = static_cast<std::deque<std::vector<char>>*>(user);
    if (outbox->size() < 256)
        outbox->emplace_back(buf, buf + len);
    return 0;
}

IUINT32 countQueue(const IQUEUEHEAD* head)
{
    IUINT32 n = 0;
    for (const IQUEUEHEAD* p = head->next; p != head; p = p->next)
        ++n;
    return n;
}

void checkInvariants(const ikcpcb* kcp)
{
    check(countQueue(&kcp->snd_queue) == kcp->nsnd_que);
    check(countQueue(&kcp->snd_buf) == kcp->nsnd_buf);
    check(countQueue(&kcp->rcv_queue) == kcp->nrcv_que);
    check(countQueue(&kcp->rcv_buf) == kcp->nrcv_buf);
    check(kcp->nrcv_que <= kcp->rcv_wnd);
    check(kcp->nrcv_buf <= kcp->rcv_wnd);
    check(kcp->ackcount <= IKCP_ACKLIST_MAX);
    check(kcp->rx_rto >= kcp->rx_minrto && kcp->rx_rto <= IINT32(IKCP_RTO_MAX));
    check(kcp->cwnd >= 1 || !kcp->updated);
    for (const IQUEUEHEAD* p = kcp->rcv_queue.next; p != &kcp->rcv_queue; p = p->next)
        check(reinterpret_cast<const IKCPSEG*>(p)->len <= kcp->mss);
}

// Writes the session's conv into every segment header of a datagram, so
// that the fuzzer spends its time past the conv check.
void patchConv(std::vector<char>& d)
{
    size_t pos = 0;
    while (d.size() - pos >= 24) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(d.data() + pos);
        d[pos] = char(kConv & 0xFF);
        d[pos + 1] = char((kConv >> 8) & 0xFF);
        d[pos + 2] = char((kConv >> 16) & 0xFF);
        d[pos + 3] = char((kConv >> 24) & 0xFF);
        const IUINT32 len = IUINT32(p[20]) | (IUINT32(p[21]) << 8) | (IUINT32(p[22]) << 16)
                            | (IUINT32(p[23]) << 24);
        pos += 24;
        if (len > d.size() - pos)
            break;
        pos += len;
    }
}

struct Reader
{
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    bool more() const { return pos < size; }
    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
};

bool inRcvBuf(const ikcpcb* kcp, IUINT32 sn)
{
    for (const IQUEUEHEAD* p = kcp->rcv_buf.next; p != &kcp->rcv_buf; p = p->next)
        if (reinterpret_cast<const IKCPSEG*>(p)->sn == sn)
            return true;
    return false;
}

// The honest peer's next message must reach the engine under test once the
// channel is clean, at the latest as the end of a message that a hostile
// first fragment began. Hostile segments may have taken the sequence numbers the
// peer is about to use (their contents then replace the peer's); fillers move
// the peer past them, unless the hostile input ran so far ahead that the peer
// could not catch up within a few hundred messages.
void checkDelivery(ikcpcb* kcp, ikcpcb* peer, std::deque<std::vector<char>>& fromFuzzed,
                   std::deque<std::vector<char>>& fromPeer, IUINT32 now, std::vector<char>& buffer)
{
    static const char kMarker[] = "\x7f sound message after hostile input \x7f";
    const int markerLen = int(sizeof kMarker - 1);

    IUINT32 next = peer->snd_nxt + peer->nsnd_que;
    if (int32_t(kcp->rcv_nxt - next) > 256)
        return;
    for (int i = 0; i < 400 && (int32_t(next - kcp->rcv_nxt) < 0 || inRcvBuf(kcp, next)); ++i, ++next)
        ikcp_send(peer, "f", 1);
    if (int32_t(next - kcp->rcv_nxt) < 0 || inRcvBuf(kcp, next))
        return;
    check(ikcp_send(peer, kMarker, markerLen) == 0);
    // A hostile first fragment before the marker may claim up to a window of
    // fragments; those that follow complete its message, marker included.
    IUINT32 claimed = 0;
    for (const IQUEUEHEAD* q : {&kcp->rcv_queue, &kcp->rcv_buf}) {
        for (const IQUEUEHEAD* p = q->next; p != q; p = p->next)
            claimed = std::max(claimed, reinterpret_cast<const IKCPSEG*>(p)->frg);
    }
    for (IUINT32 i = 0; i < claimed; ++i)
        ikcp_send(peer, "f", 1);

    fromFuzzed.clear();
    fromPeer.clear();
    // Resend timers that grew during the hostile part may run for hours of
    // the engine's clock: after a while the clock takes long steps.
    for (int round = 0; round < 1000; ++round) {
        now += round < 200 ? 1000 : 60000;
        ikcp_update(peer, now);
        while (!fromPeer.empty()) {
            check(ikcp_input(kcp, fromPeer.front().data(), long(fromPeer.front().size())) == 0);
            fromPeer.pop_front();
        }
        int n;
        while ((n = ikcp_recv(kcp, buffer.data(), int(buffer.size()))) >= 0) {
            if (n >= markerLen && std::memcmp(buffer.data() + n - markerLen, kMarker, size_t(markerLen)) == 0)
                return;
        }
        ikcp_update(kcp, now);
        while (!fromFuzzed.empty()) {
            ikcp_input(peer, fromFuzzed.front().data(), long(fromFuzzed.front().size()));
            fromFuzzed.pop_front();
        }
        while (ikcp_recv(peer, buffer.data(), int(buffer.size())) >= 0) {
        }
    }
    check(false);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    std::deque<std::vector<char>> fromFuzzed; // what the engine under test emitted
    std::deque<std::vector<char>> fromPeer;   // what the honest peer emitted

    ikcpcb* kcp = ikcp_create(kConv, &fromFuzzed);
    ikcpcb* peer = ikcp_create(kConv, &fromPeer);
    for (ikcpcb* k : {kcp, peer}) {
        ikcp_setoutput(k, output);
        ikcp_nodelay(k, 0, 40, 0, 0);
        ikcp_wndsize(k, 64, 128);
    }
    IUINT32 now = IUINT32(in.u8()) << 24;
    std::vector<char> buffer(200000);
    std::vector<char> message;

    for (int step = 0; step < 512 && in.more(); ++step) {
        const uint8_t op = in.u8();
        switch (op % 8) {
        case 0:
        case 1: { // a datagram from the network
            const size_t len = in.u16() % 4096;
            const size_t take = len < in.size - in.pos ? len : in.size - in.pos;
            std::vector<char> d(in.data + in.pos, in.data + in.pos + take);
            in.pos += take;
            if (op % 8 == 1)
                patchConv(d);
            const int r = ikcp_input(kcp, d.data(), long(d.size()));
            check(r <= 0 && r >= -3);
            break;
        }
        case 2: // the clock moves on, now and then far
            now += (op & 0x80) ? IUINT32(in.u16()) * 1000 : in.u8();
            ikcp_update(kcp, now);
            ikcp_update(peer, now);
            break;
        case 3: { // the engine under test sends
            const size_t len = (size_t(in.u16()) * 3) % 200000;
            message.assign(len, char(op));
            const int r = ikcp_send(kcp, message.data(), int(len));
            check(r == 0 || (r == -2 && len > 126 * size_t(kcp->mss)));
            break;
        }
        case 4: { // reads, into buffers of any size or none
            const int len = int(in.u16()) * 4;
            const int peek = ikcp_peeksize(kcp);
            const int r = ikcp_recv(kcp, (op & 0x80) ? nullptr : buffer.data(), len);
            if (peek >= 0 && peek <= len)
                check(r == peek);
            else
                check(r < 0);
            break;
        }
        case 5:
            ikcp_flush(kcp);
            break;
        case 6: // the peer sends and its datagrams arrive, or some of them
            if (op & 0x80) {
                message.assign(in.u16() % 5000, 'p');
                ikcp_send(peer, message.data(), int(message.size()));
            }
            while (!fromPeer.empty()) {
                if (in.u8() & 1)
                    ikcp_input(kcp, fromPeer.front().data(), long(fromPeer.front().size()));
                fromPeer.pop_front();
            }
            break;
        case 7: // the fuzzed engine's datagrams reach the peer
            while (!fromFuzzed.empty()) {
                check(ikcp_input(peer, fromFuzzed.front().data(), long(fromFuzzed.front().size())) == 0);
                fromFuzzed.pop_front();
            }
            while (ikcp_recv(peer, buffer.data(), int(buffer.size())) >= 0) {
            }
            break;
        }
        checkInvariants(kcp);
        checkInvariants(peer);
    }

    checkDelivery(kcp, peer, fromFuzzed, fromPeer, now, buffer);

    ikcp_release(kcp);
    ikcp_release(peer);
    return 0;
}
