#pragma once

// The KCP engine: an ARQ protocol over one control block that turns
// unreliable, unordered, possibly duplicated datagrams into an ordered,
// reliable stream of messages. Plain functions over a control block; the
// caller drives the clock (ikcp_update) and receives datagrams to send through
// the output callback.
//
// Segment on the wire: a 24-byte little-endian header followed by len data
// bytes; several segments are packed into one datagram of at most mtu bytes.
//
//   offset size field
//        0    4 conv  conversation id
//        4    1 cmd   81 PUSH, 82 ACK, 83 WASK, 84 WINS
//        5    1 frg   fragments that follow in this message (0 on the last)
//        6    2 wnd   free receive window of the sender
//        8    4 ts    send time; on ACK the ts of the acknowledged segment
//       12    4 sn    sequence number; on ACK the acknowledged sn
//       16    4 una   everything below una has been received by the sender
//       20    4 len   data length
//
// Differences from other KCP versions: the output callback gets the transmit
// count of the last data segment of the datagram (0 for a datagram of only
// ACK, WASK and WINS segments), retransmission timeouts grow linearly, and
// fragments of a message are always kept apart (no stream mode). Inputs are
// hostile: a data segment longer than mss is malformed, and round-trip samples
// are computed without overflow whatever time stamps a peer echoes.

#include <cstddef>
#include <cstdint>

typedef uint32_t IUINT32;
typedef int32_t IINT32;

enum : IUINT32 {
    IKCP_CMD_PUSH = 81,
    IKCP_CMD_ACK = 82,
    IKCP_CMD_WASK = 83,
    IKCP_CMD_WINS = 84,
};

enum : IUINT32 {
    IKCP_OVERHEAD = 24,
    IKCP_MTU_DEF = 1400,
    // The largest mtu a session may be given, and so the longest segment
    // taken from a peer (IKCP_MTU_MAX - IKCP_OVERHEAD bytes of data). Sealed,
    // and with the 4 bytes of a TURN channel header, it stays within 16384.
    IKCP_MTU_MAX = 16320,
    IKCP_WND_SND = 32,
    IKCP_WND_RCV = 128,
    IKCP_RTO_DEF = 200,
    IKCP_RTO_MIN = 100,
    IKCP_RTO_NDL = 30,
    IKCP_RTO_MAX = 60000,
    IKCP_INTERVAL = 100,
    IKCP_THRESH_INIT = 2,
    IKCP_THRESH_MIN = 2,
    IKCP_DEADLINK = 20,
    IKCP_FASTACK_LIMIT = 5,
    IKCP_PROBE_INIT = 7000,
    IKCP_PROBE_LIMIT = 120000,
    IKCP_ASK_SEND = 1,
    IKCP_ASK_TELL = 2,
    // Upper bound of acknowledgements collected between two flushes; a peer
    // that floods the window with duplicates gets the rest acknowledged by una.
    IKCP_ACKLIST_MAX = 16384,
};

// Doubly linked list node; a queue is a sentinel node that links to itself
// when empty.
struct IQUEUEHEAD {
    IQUEUEHEAD* next;
    IQUEUEHEAD* prev;
};

// One queued fragment. The list node comes first so a node pointer is the
// segment pointer; data points into the same allocation, right behind it.
struct IKCPSEG {
    IQUEUEHEAD node;
    IUINT32 conv;
    IUINT32 cmd;
    IUINT32 frg;
    IUINT32 wnd;
    IUINT32 ts;
    IUINT32 sn;
    IUINT32 una;
    IUINT32 len;
    IUINT32 resendts;
    IUINT32 rto;
    IUINT32 fastack;
    IUINT32 xmit;
    char* data;
};

struct IKCPCB;
typedef IKCPCB ikcpcb;

typedef int (*ikcp_output_fn)(const char* buf, int len, int xmit, ikcpcb* kcp, void* user);
typedef void (*ikcp_log_fn)(const char* log, ikcpcb* kcp, void* user);

struct IKCPCB {
    IUINT32 conv, mtu, mss, state;
    IUINT32 snd_una, snd_nxt, rcv_nxt;
    IUINT32 ts_recent, ts_lastack, ssthresh;
    IINT32 rx_rttval, rx_srtt, rx_rto, rx_minrto;
    IUINT32 snd_wnd, rcv_wnd, rmt_wnd, cwnd, probe;
    IUINT32 current, interval, ts_flush, xmit;
    IUINT32 nrcv_buf, nsnd_buf;
    IUINT32 nrcv_que, nsnd_que;
    IUINT32 nodelay, updated;
    IUINT32 ts_probe, probe_wait;
    IUINT32 dead_link, incr;
    IQUEUEHEAD snd_queue;
    IQUEUEHEAD rcv_queue;
    IQUEUEHEAD snd_buf;
    IQUEUEHEAD rcv_buf;
    IUINT32* acklist;
    IUINT32 ackcount;
    IUINT32 ackblock;
    void* user;
    char* buffer;
    int fastresend;
    int fastlimit;
    int nocwnd, stream;
    int logmask;
    ikcp_output_fn output;
    ikcp_log_fn writelog;
    // Not part of the published block: when set, a flush acknowledges the
    // segments already delivered in order with one ACK (the newest; its una
    // covers the rest) instead of one ACK each. Segments beyond a gap keep
    // their own. The peer sees fewer ACK segments of the usual form.
    int ackcoalesce;
    // Not part of the published block: the mtu the output buffer was sized
    // for. The buffer only grows, so a segment cut for a larger mtu than the
    // current one still fits it (it goes out alone, as one larger datagram).
    IUINT32 bufmtu;
};

// Creates a control block for conversation conv; user is handed to the output
// callback. Returns null when memory runs out.
ikcpcb* ikcp_create(IUINT32 conv, void* user);

// Releases the control block and every queued segment.
void ikcp_release(ikcpcb* kcp);

void ikcp_setoutput(ikcpcb* kcp, ikcp_output_fn output);

// Takes one whole message off the receive queue into buffer. Returns its
// length, -1 when the queue is empty, -2 when no whole message is there yet,
// -3 when len is smaller than the message. A null buffer drops the message.
int ikcp_recv(ikcpcb* kcp, char* buffer, int len);

// Queues one message. Returns 0, -1 for a negative length, -2 when the message
// needs rcv_wnd fragments or more.
int ikcp_send(ikcpcb* kcp, const char* buffer, int len);

// Advances the clock to current (milliseconds) and flushes when due.
void ikcp_update(ikcpcb* kcp, IUINT32 current);

// The time at which ikcp_update should next be called.
IUINT32 ikcp_check(const ikcpcb* kcp, IUINT32 current);

// Feeds one received datagram. Returns 0; -1 for null or short data or another
// conv; -2 for a segment longer than what remains (or a data segment longer
// than mss); -3 for an unknown command. Segments before a bad one are kept.
int ikcp_input(ikcpcb* kcp, const char* data, long size);

// Sends acknowledgements, window probes and due data now.
void ikcp_flush(ikcpcb* kcp);

// Length of the next whole message, -1 when there is none.
int ikcp_peeksize(const ikcpcb* kcp);

// Returns 0, -1 for an mtu below 50, below the header or above IKCP_MTU_MAX,
// -2 when memory runs out. Fragments already cut keep their size.
int ikcp_setmtu(ikcpcb* kcp, int mtu);

int ikcp_wndsize(ikcpcb* kcp, int sndwnd, int rcvwnd);

// Fragments waiting to be sent or acknowledged.
int ikcp_waitsnd(const ikcpcb* kcp);

// nodelay: 0 normal, 1 quicker minimum rto and resend steps; interval: flush
// period in ms (10..5000); resend: fast resend after that many skipping acks
// (0 off); nc: 1 switches congestion control off. Negative values keep the
// setting.
int ikcp_nodelay(ikcpcb* kcp, int nodelay, int interval, int resend, int nc);

int ikcp_interval(ikcpcb* kcp, int interval);

// Replaces malloc and free for every allocation of the engine; null restores
// the default.
void ikcp_allocator(void* (*new_malloc)(size_t), void (*new_free)(void*));

// The conv of a datagram: its first four bytes, little-endian.
IUINT32 ikcp_getconv(const void* ptr);
