#include "com/kcp/ikcp.h"
#include "com/kcp/kcptestutil.h"

#include <QtTest>

#include <climits>
#include <cstdlib>

using namespace kcptest;

Q_DECLARE_METATYPE(kcptest::ChannelConfig)

namespace {

constexpr quint32 kConv = 0x01020304;
constexpr int kMss = 1376;

struct Emitted
{
    QByteArray bytes;
    int xmit;
    quint32 at;
};

// A control block whose output is recorded.
struct Recorder
{
    explicit Recorder(quint32 conv = kConv)
    {
        kcp = ikcp_create(conv, this);
        ikcp_setoutput(kcp, &Recorder::output);
        ikcp_nodelay(kcp, 0, 40, 0, 0);
        ikcp_wndsize(kcp, 64, 128);
    }
    ~Recorder() { ikcp_release(kcp); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    static int output(const char* buf, int len, int xmit, ikcpcb* kcp, void* user)
    {
        auto* self = static_cast<Recorder*>(user);
        self->emitted.push_back({QByteArray(buf, len), xmit, kcp->current});
        return 0;
    }

    // Flushes at exactly this time (the engine must have been updated once).
    void flushAt(quint32 t)
    {
        kcp->current = t;
        ikcp_flush(kcp);
    }

    int input(const QByteArray& bytes) { return ikcp_input(kcp, bytes.constData(), bytes.size()); }

    std::vector<WireSegment> segments(int cmd) const
    {
        std::vector<WireSegment> out;
        for (const Emitted& e : emitted)
            for (const WireSegment& s : parseDatagram(e.bytes))
                if (s.cmd == cmd)
                    out.push_back(s);
        return out;
    }

    ikcpcb* kcp = nullptr;
    std::vector<Emitted> emitted;
};

// Two engines joined by a lossy channel; the clock advances in 10 ms steps
// as the session's tick does.
struct EnginePair
{
    struct Side
    {
        EnginePair* pair = nullptr;
        int direction = 0;
        ikcpcb* kcp = nullptr;
        std::vector<QByteArray> received;
    };

    EnginePair(const ChannelConfig& config, quint32 seed, quint32 start)
        : channel(config, seed)
        , now(start)
    {
        for (Side* s : {&a, &b}) {
            s->pair = this;
            s->direction = s == &a ? 0 : 1;
            s->kcp = ikcp_create(kConv, s);
            ikcp_setoutput(s->kcp, &EnginePair::output);
            ikcp_nodelay(s->kcp, 0, 40, 0, 0);
            ikcp_wndsize(s->kcp, 64, 128);
        }
        buffer.resize(200000);
    }
    ~EnginePair()
    {
        ikcp_release(a.kcp);
        ikcp_release(b.kcp);
    }

    static int output(const char* buf, int len, int xmit, ikcpcb*, void* user)
    {
        auto* side = static_cast<Side*>(user);
        side->pair->channel.send(side->direction, buf, len, side->pair->now);
        return 0;
    }

    void step()
    {
        now += 10;
        for (const LossyChannel::Datagram& d : channel.takeDue(now)) {
            Side& to = d.direction == 0 ? b : a;
            QCOMPARE(ikcp_input(to.kcp, d.bytes.constData(), d.bytes.size()), 0);
        }
        for (Side* s : {&a, &b}) {
            ikcp_update(s->kcp, now);
            int n;
            while ((n = ikcp_recv(s->kcp, buffer.data(), buffer.size())) >= 0)
                s->received.push_back(buffer.left(n));
        }
    }

    LossyChannel channel;
    quint32 now;
    Side a;
    Side b;
    QByteArray buffer;
};

} // namespace

class TestKcpEngine : public QObject
{
    Q_OBJECT
private slots:
    void lossyChannelDelivers_data();
    void lossyChannelDelivers();
    void fragments_data();
    void fragments();
    void sendResults();
    void inputErrors_data();
    void inputErrors();
    void inputKeepsSegmentsBeforeAnError();
    void fragmentClaimTheQueueCannotHold_data();
    void fragmentClaimTheQueueCannotHold();
    void recvResults();
    void xmitOfDatagrams();
    void linearResendBackoff();
    void windowProbe();
    void windowTellAfterFullQueueIsRead();
    void roundTripEstimate_data();
    void roundTripEstimate();
    void ackListIsBounded();
    void fastResend();
    void checkAndSettings();
    void smallerMtuWithSegmentsQueued();
    void allocatorHooks();
};

void TestKcpEngine::lossyChannelDelivers_data()
{
    QTest::addColumn<ChannelConfig>("config");
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<quint32>("start");
    QTest::addColumn<quint32>("firstSn");

    const struct
    {
        const char* name;
        ChannelConfig config;
    } channels[] = {
        {"clean", {0.0, 0.0, 0.0, 0, 30}},
        {"loss 10%", {0.10, 0.0, 0.0, 5, 30}},
        {"loss 25%", {0.25, 0.0, 0.0, 5, 30}},
        {"duplication 30%", {0.0, 0.30, 0.0, 5, 30}},
        {"reordering 40%", {0.0, 0.0, 0.40, 5, 60}},
        {"all of it, 60 ms", {0.10, 0.10, 0.30, 60, 80}},
    };
    for (const auto& c : channels) {
        for (quint32 seed : {1u, 2u, 3u}) {
            QTest::addRow("%s, seed %u", c.name, seed) << c.config << seed << 1000u << 0u;
        }
    }
    // Clock and sequence numbers wrap around during the exchange.
    QTest::newRow("wrap-around") << ChannelConfig{0.10, 0.10, 0.30, 20, 40} << 7u << 0xFFFFF000u
                                 << 0xFFFFFFC0u;
}

void TestKcpEngine::lossyChannelDelivers()
{
    QFETCH(ChannelConfig, config);
    QFETCH(quint32, seed);
    QFETCH(quint32, start);
    QFETCH(quint32, firstSn);

    EnginePair pair(config, seed, start);
    for (ikcpcb* k : {pair.a.kcp, pair.b.kcp}) {
        k->snd_una = k->snd_nxt = k->rcv_nxt = firstSn;
    }

    const int sizes[] = {1, 1376, 1377, 64400, 127 * 1376};
    std::vector<QByteArray> fromA;
    std::vector<QByteArray> fromB;
    for (int round = 0; round < 2; ++round) {
        for (int size : sizes) {
            fromA.push_back(patternMessage(int(fromA.size()), size));
            QCOMPARE(ikcp_send(pair.a.kcp, fromA.back().constData(), size), 0);
            fromB.push_back(patternMessage(1000 + int(fromB.size()), size));
            QCOMPARE(ikcp_send(pair.b.kcp, fromB.back().constData(), size), 0);
        }
    }

    const quint32 limit = 600000; // ten virtual minutes
    quint32 elapsed = 0;
    while ((pair.b.received.size() < fromA.size() || pair.a.received.size() < fromB.size())
           && elapsed < limit) {
        pair.step();
        if (QTest::currentTestFailed())
            return;
        elapsed += 10;
    }

    QCOMPARE(pair.b.received.size(), fromA.size());
    QCOMPARE(pair.a.received.size(), fromB.size());
    for (size_t i = 0; i < fromA.size(); ++i) {
        QVERIFY2(pair.b.received[i] == fromA[i], qPrintable(QStringLiteral("message %1 a->b").arg(i)));
        QVERIFY2(pair.a.received[i] == fromB[i], qPrintable(QStringLiteral("message %1 b->a").arg(i)));
    }
    // Everything delivered is acknowledged in the end.
    for (int i = 0; i < 200 && (ikcp_waitsnd(pair.a.kcp) > 0 || ikcp_waitsnd(pair.b.kcp) > 0); ++i)
        pair.step();
    QCOMPARE(ikcp_waitsnd(pair.a.kcp), 0);
    QCOMPARE(ikcp_waitsnd(pair.b.kcp), 0);

    if (config.loss > 0)
        QVERIFY(pair.channel.lost() > 0);
    if (config.duplicate > 0)
        QVERIFY(pair.channel.duplicated() > 0);
}

void TestKcpEngine::fragments_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("lengths");

    QTest::newRow("1 byte") << 1 << QList<int>{1};
    QTest::newRow("mss") << kMss << QList<int>{kMss};
    QTest::newRow("mss + 1") << kMss + 1 << QList<int>{kMss, 1};
    QTest::newRow("2 mss") << 2 * kMss << QList<int>{kMss, kMss};
    QList<int> largest;
    for (int i = 0; i < 127; ++i)
        largest << kMss;
    QTest::newRow("127 mss") << 127 * kMss << largest;
    QList<int> chunked;
    for (int i = 0; i < 46; ++i)
        chunked << kMss;
    chunked << 64400 - 46 * kMss;
    QTest::newRow("64400") << 64400 << chunked;
}

void TestKcpEngine::fragments()
{
    QFETCH(int, size);
    QFETCH(QList<int>, lengths);

    Recorder r;
    ikcp_nodelay(r.kcp, 0, 40, 0, 1); // no congestion window: everything leaves at once
    ikcp_wndsize(r.kcp, 128, 128);
    const QByteArray message = patternMessage(0, size);
    QCOMPARE(ikcp_send(r.kcp, message.constData(), size), 0);
    QCOMPARE(ikcp_waitsnd(r.kcp), lengths.size());
    ikcp_update(r.kcp, 0);

    const std::vector<WireSegment> pushes = r.segments(IKCP_CMD_PUSH);
    QCOMPARE(int(pushes.size()), lengths.size());
    QByteArray joined;
    for (int i = 0; i < lengths.size(); ++i) {
        QCOMPARE(pushes[i].conv, kConv);
        QCOMPARE(pushes[i].frg, lengths.size() - i - 1);
        QCOMPARE(pushes[i].sn, quint32(i));
        QCOMPARE(int(pushes[i].len), lengths[i]);
        joined += pushes[i].data;
    }
    QCOMPARE(joined, message);
    for (const Emitted& e : r.emitted)
        QVERIFY(e.bytes.size() <= 1400);
}

void TestKcpEngine::sendResults()
{
    Recorder r;
    const QByteArray big(127 * kMss + 1, 'x');
    QCOMPARE(ikcp_send(r.kcp, big.constData(), -1), -1);
    QCOMPARE(ikcp_send(r.kcp, nullptr, 5), -1);
    QCOMPARE(ikcp_send(r.kcp, big.constData(), 127 * kMss + 1), -2);
    QCOMPARE(ikcp_waitsnd(r.kcp), 0);
    QCOMPARE(ikcp_send(r.kcp, big.constData(), 127 * kMss), 0);
    QCOMPARE(ikcp_waitsnd(r.kcp), 127);
}

void TestKcpEngine::inputErrors_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("expected");

    const QByteArray ack = segment(kConv, IKCP_CMD_ACK, 0, 128, 0, 0, 0);
    QTest::newRow("23 bytes") << ack.left(23) << -1;
    QTest::newRow("another conv") << segment(kConv + 1, IKCP_CMD_ACK, 0, 128, 0, 0, 0) << -1;
    QTest::newRow("len beyond the datagram")
        << segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, QByteArray(10, 'a'), 11) << -2;
    QTest::newRow("negative len") << segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, QByteArray(), 0x80000000u)
                                  << -2;
    // Segments longer than this side's own mss come from a peer that cut
    // them for a stream; the limit is that of the largest mtu.
    QTest::newRow("data longer than the largest mss")
        << segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, QByteArray(IKCP_MTU_MAX - IKCP_OVERHEAD + 1, 'a')) << -2;
    QTest::newRow("good push of the largest mss")
        << segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, QByteArray(IKCP_MTU_MAX - IKCP_OVERHEAD, 'a')) << 0;
    QTest::newRow("command 80") << segment(kConv, 80, 0, 128, 0, 0, 0) << -3;
    QTest::newRow("command 85") << segment(kConv, 85, 0, 128, 0, 0, 0) << -3;
    QTest::newRow("good ack") << ack << 0;
    QTest::newRow("good push of mss") << segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, QByteArray(kMss, 'a'))
                                      << 0;
    QTest::newRow("trailing bytes shorter than a header are ignored") << ack + QByteArray(23, '\0') << 0;
}

void TestKcpEngine::inputErrors()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, expected);
    Recorder r;
    QCOMPARE(r.input(datagram), expected);
    QCOMPARE(ikcp_input(r.kcp, nullptr, 100), -1);
}

void TestKcpEngine::inputKeepsSegmentsBeforeAnError()
{
    Recorder r;
    const QByteArray good = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, "hello");
    const QByteArray bad = segment(kConv, 99, 0, 128, 0, 1, 0);
    QCOMPARE(r.input(good + bad), -3);
    char buf[16];
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), 5);
    QCOMPARE(QByteArray(buf, 5), QByteArray("hello"));
}

void TestKcpEngine::fragmentClaimTheQueueCannotHold_data()
{
    QTest::addColumn<int>("frg");
    QTest::addColumn<int>("result");
    QTest::addColumn<quint32>("sn");

    // 127 fragments is the largest message ikcp_send makes; its first
    // fragment must still pass.
    QTest::newRow("127 parts at the next sn") << 126 << 0 << 0u;
    QTest::newRow("128 parts at the next sn") << 127 << -3 << 0u;
    QTest::newRow("201 parts at the next sn") << 200 << -3 << 0u;
    QTest::newRow("256 parts at the next sn") << 255 << -3 << 0u;
    QTest::newRow("256 parts ahead in the window") << 255 << -3 << 5u;
}

void TestKcpEngine::fragmentClaimTheQueueCannotHold()
{
    QFETCH(int, frg);
    QFETCH(int, result);
    QFETCH(quint32, sn);

    Recorder r;
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, frg, 128, 0, sn, 0, "claim")), result);
    if (result == 0)
        return;
    QCOMPARE(r.kcp->nrcv_buf + r.kcp->nrcv_que, 0u);

    // A sound sender's messages at the same sequence numbers still arrive.
    Recorder sender;
    ikcp_nodelay(sender.kcp, 0, 40, 0, 1); // all at once, no slow start
    ikcp_update(sender.kcp, 0);
    const QByteArray whole = QByteArray(kMss, 'a') + QByteArray(3, 'b');
    QCOMPARE(ikcp_send(sender.kcp, "one", 3), 0);
    QCOMPARE(ikcp_send(sender.kcp, whole.constData(), whole.size()), 0);
    for (quint32 i = 0; i < 6; ++i)
        QCOMPARE(ikcp_send(sender.kcp, "pad", 3), 0);
    sender.flushAt(0);
    for (const Emitted& e : sender.emitted)
        QCOMPARE(r.input(e.bytes), 0);
    char buf[4096];
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), 3);
    QCOMPARE(QByteArray(buf, 3), QByteArray("one"));
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), whole.size());
    QCOMPARE(QByteArray(buf, whole.size()), whole);
}

void TestKcpEngine::recvResults()
{
    Recorder r;
    char buf[4096];
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), -1);
    QCOMPARE(ikcp_peeksize(r.kcp), -1);

    // First of two fragments: queued but not whole.
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 1, 128, 0, 0, 0, QByteArray(kMss, 'a'))), 0);
    QCOMPARE(ikcp_peeksize(r.kcp), -1);
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), -2);

    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 1, 0, QByteArray(10, 'b'))), 0);
    QCOMPARE(ikcp_peeksize(r.kcp), kMss + 10);
    QCOMPARE(ikcp_recv(r.kcp, buf, kMss + 9), -3);
    QCOMPARE(ikcp_recv(r.kcp, buf, kMss + 10), kMss + 10);
    QCOMPARE(QByteArray(buf, kMss + 10), QByteArray(kMss, 'a') + QByteArray(10, 'b'));
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), -1);

    // A null buffer drops the next message.
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 2, 0, "xyz")), 0);
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 3, 0, "next")), 0);
    QCOMPARE(ikcp_recv(r.kcp, nullptr, INT_MAX), 3);
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), 4);

    // Duplicates and segments outside the window are not delivered again.
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 3, 0, "next")), 0);
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 4 + 128, 0, "far")), 0);
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), -1);
    QCOMPARE(r.kcp->nrcv_buf, 0u);
}

void TestKcpEngine::xmitOfDatagrams()
{
    Recorder a;
    Recorder b;
    ikcp_update(a.kcp, 0);
    ikcp_update(b.kcp, 0);
    a.emitted.clear();

    QCOMPARE(ikcp_send(a.kcp, "ping", 4), 0);
    a.flushAt(0); // opens the congestion window
    a.flushAt(0);
    QCOMPARE(int(a.emitted.size()), 1);
    QCOMPARE(a.emitted[0].xmit, 1);

    // A datagram of acknowledgements only goes out with 0.
    QCOMPARE(b.input(a.emitted[0].bytes), 0);
    b.flushAt(1);
    QCOMPARE(int(b.emitted.size()), 1);
    QCOMPARE(b.emitted[0].xmit, 0);
    QCOMPARE(int(b.segments(IKCP_CMD_ACK).size()), 1);

    // Acknowledgements in front of new data: the data's count.
    b.emitted.clear();
    QCOMPARE(b.input(a.emitted[0].bytes), 0); // a duplicate, acknowledged again
    QCOMPARE(ikcp_send(b.kcp, "pong", 4), 0);
    b.flushAt(2);
    QCOMPARE(int(b.emitted.size()), 1);
    const std::vector<WireSegment> mixed = parseDatagram(b.emitted[0].bytes);
    QCOMPARE(int(mixed.size()), 2);
    QCOMPARE(mixed[0].cmd, int(IKCP_CMD_ACK));
    QCOMPARE(mixed[1].cmd, int(IKCP_CMD_PUSH));
    QCOMPARE(b.emitted[0].xmit, 1);

    // Never acknowledged: each retransmission counts up; the twentieth marks
    // the link dead but transmission goes on.
    a.emitted.clear();
    quint32 t = 0;
    while (a.emitted.size() < 21 && t < 600000) {
        t += 10;
        a.flushAt(t);
    }
    QCOMPARE(int(a.emitted.size()), 21);
    for (int i = 0; i < 21; ++i)
        QCOMPARE(a.emitted[i].xmit, i + 2);
    QCOMPARE(a.kcp->state, quint32(-1));
    QCOMPARE(a.kcp->xmit, 21u);
}

void TestKcpEngine::linearResendBackoff()
{
    Recorder r;
    ikcp_update(r.kcp, 0);
    r.emitted.clear();
    QCOMPARE(ikcp_send(r.kcp, "x", 1), 0);
    r.flushAt(0);
    r.flushAt(0);
    QCOMPARE(int(r.emitted.size()), 1);
    for (quint32 t = 1; t <= 12000; ++t)
        r.flushAt(t);

    // rx_rto stays 200 without samples: the first wait adds an eighth of it,
    // then each timeout waits rx_rto longer than the one before.
    const quint32 expectedGaps[] = {225, 400, 600, 800, 1000, 1200, 1400, 1600, 1800};
    QVERIFY(r.emitted.size() > std::size(expectedGaps));
    for (size_t i = 0; i < std::size(expectedGaps); ++i)
        QCOMPARE(r.emitted[i + 1].at - r.emitted[i].at, expectedGaps[i]);
}

void TestKcpEngine::windowProbe()
{
    Recorder r;
    ikcp_update(r.kcp, 0);
    // The peer says its window is closed.
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_WINS, 0, 0, 0, 0, 0)), 0);
    QCOMPARE(r.kcp->rmt_wnd, 0u);
    QCOMPARE(ikcp_send(r.kcp, "data", 4), 0);
    r.emitted.clear();

    std::vector<quint32> asks;
    for (quint32 t = 1; t <= 800000; ++t) {
        const size_t before = r.emitted.size();
        r.flushAt(t);
        for (size_t i = before; i < r.emitted.size(); ++i) {
            for (const WireSegment& s : parseDatagram(r.emitted[i].bytes)) {
                QVERIFY(s.cmd != int(IKCP_CMD_PUSH)); // nothing goes into a closed window
                if (s.cmd == int(IKCP_CMD_WASK))
                    asks.push_back(t);
            }
        }
    }
    QVERIFY(asks.size() >= 10);
    QCOMPARE(asks[0], 1u + 7000u);
    QCOMPARE(asks[1] - asks[0], 10500u);
    QCOMPARE(asks[2] - asks[1], 15750u);
    QCOMPARE(asks[3] - asks[2], 23625u);
    for (size_t i = 1; i < asks.size(); ++i)
        QVERIFY(asks[i] - asks[i - 1] <= 120000u);
    QCOMPARE(asks.back() - asks[asks.size() - 2], 120000u);

    // The window opens: no more asking, and the data leaves.
    r.emitted.clear();
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_WINS, 0, 128, 0, 0, 0)), 0);
    for (quint32 t = 800001; t <= 1000000; t += 10)
        r.flushAt(t);
    QCOMPARE(int(r.segments(IKCP_CMD_WASK).size()), 0);
    QVERIFY(!r.segments(IKCP_CMD_PUSH).empty());
    QCOMPARE(r.kcp->probe_wait, 0u);

    // A peer's question is answered with the free window.
    r.emitted.clear();
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_WASK, 0, 128, 0, 0, 0)), 0);
    r.flushAt(1000001);
    const std::vector<WireSegment> tells = r.segments(IKCP_CMD_WINS);
    QCOMPARE(int(tells.size()), 1);
    QCOMPARE(tells[0].wnd, 128);
}

void TestKcpEngine::windowTellAfterFullQueueIsRead()
{
    Recorder r;
    ikcp_update(r.kcp, 0);
    for (quint32 sn = 0; sn < 128; ++sn)
        QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, sn, 0, "m")), 0);
    QCOMPARE(r.kcp->nrcv_que, 128u);
    // In the window but behind a full queue: kept in rcv_buf.
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 128, 0, "n")), 0);
    QCOMPARE(r.kcp->nrcv_buf, 1u);

    r.emitted.clear();
    r.flushAt(1);
    std::vector<WireSegment> acks = r.segments(IKCP_CMD_ACK);
    QCOMPARE(int(acks.size()), 129);
    QCOMPARE(acks.back().wnd, 0);
    QCOMPARE(int(r.segments(IKCP_CMD_WINS).size()), 0);

    char buf[8];
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), 1);
    QCOMPARE(r.kcp->nrcv_que, 128u); // the waiting segment moved up
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), 1);
    r.emitted.clear();
    r.flushAt(2);
    const std::vector<WireSegment> tells = r.segments(IKCP_CMD_WINS);
    QCOMPARE(int(tells.size()), 1);
    QCOMPARE(tells[0].wnd, 1);
    QCOMPARE(tells[0].una, 129u);

    // Reading from a queue that was not full tells nothing.
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), 1);
    r.emitted.clear();
    r.flushAt(3);
    QCOMPARE(int(r.segments(IKCP_CMD_WINS).size()), 0);
}

void TestKcpEngine::roundTripEstimate_data()
{
    QTest::addColumn<QList<int>>("rtts");
    QTest::addColumn<int>("srtt");
    QTest::addColumn<int>("rttval");
    QTest::addColumn<int>("rto");

    // rto = srtt + max(interval 40, 4 * rttval), within [100, 60000].
    QTest::newRow("first sample") << QList<int>{100} << 100 << 50 << 300;
    QTest::newRow("second sample") << QList<int>{100, 200} << 112 << 62 << 360;
    QTest::newRow("steady 20 ms") << QList<int>{20, 20, 20, 20, 20, 20, 20, 20, 20, 20} << 20 << 0 << 100;
    QTest::newRow("huge sample") << QList<int>{INT_MAX} << INT_MAX << INT_MAX / 2 << 60000;
    QTest::newRow("huge after small") << QList<int>{10, INT_MAX, INT_MAX} << 503316486 << 872415230 << 60000;
}

void TestKcpEngine::roundTripEstimate()
{
    QFETCH(QList<int>, rtts);
    QFETCH(int, srtt);
    QFETCH(int, rttval);
    QFETCH(int, rto);

    Recorder r;
    const quint32 now = 0x80000000u;
    ikcp_update(r.kcp, now);
    for (int rtt : rtts)
        QCOMPARE(r.input(segment(kConv, IKCP_CMD_ACK, 0, 128, now - quint32(rtt), 0, 0)), 0);
    QCOMPARE(r.kcp->rx_srtt, srtt);
    QCOMPARE(r.kcp->rx_rttval, rttval);
    QCOMPARE(r.kcp->rx_rto, rto);

    // An echo from the future gives no sample.
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_ACK, 0, 128, now + 5, 0, 0)), 0);
    QCOMPARE(r.kcp->rx_srtt, srtt);
}

void TestKcpEngine::ackListIsBounded()
{
    Recorder r;
    ikcp_update(r.kcp, 0);
    const QByteArray one = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, "d");
    QByteArray datagram;
    for (int i = 0; i < 2000; ++i)
        datagram += one;
    for (int i = 0; i < 15; ++i)
        QCOMPARE(r.input(datagram), 0);
    QCOMPARE(r.kcp->ackcount, quint32(IKCP_ACKLIST_MAX));
    r.emitted.clear();
    r.flushAt(1);
    QCOMPARE(int(r.segments(IKCP_CMD_ACK).size()), int(IKCP_ACKLIST_MAX));
    QCOMPARE(r.kcp->ackcount, 0u);
    char buf[4];
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), 1);
    QCOMPARE(ikcp_recv(r.kcp, buf, sizeof buf), -1);
}

void TestKcpEngine::fastResend()
{
    // Not used by the session, but part of the engine: a segment that later
    // acknowledgements skip twice is sent again before its timeout.
    Recorder r;
    ikcp_nodelay(r.kcp, 0, 40, 2, 1);
    ikcp_update(r.kcp, 0);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(ikcp_send(r.kcp, "abc", 3), 0);
    r.flushAt(0);
    QCOMPARE(int(r.segments(IKCP_CMD_PUSH).size()), 4);
    r.emitted.clear();
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_ACK, 0, 128, 0, 1, 0)), 0);
    QCOMPARE(r.input(segment(kConv, IKCP_CMD_ACK, 0, 128, 0, 2, 0)), 0);
    r.flushAt(5);
    const std::vector<WireSegment> again = r.segments(IKCP_CMD_PUSH);
    QCOMPARE(int(again.size()), 1);
    QCOMPARE(again[0].sn, 0u);
}

void TestKcpEngine::checkAndSettings()
{
    Recorder r;
    QCOMPARE(ikcp_check(r.kcp, 500), 500u); // never updated: call now
    ikcp_update(r.kcp, 1000);
    QCOMPARE(r.kcp->ts_flush, 1040u);
    QCOMPARE(ikcp_check(r.kcp, 1010), 1040u);
    QCOMPARE(ikcp_check(r.kcp, 1040), 1040u);
    // A clock that jumps by ten seconds or more resets the flush time.
    ikcp_update(r.kcp, 30000);
    QCOMPARE(r.kcp->ts_flush, 30040u);

    ikcp_interval(r.kcp, 1);
    QCOMPARE(r.kcp->interval, 10u);
    ikcp_interval(r.kcp, 99999);
    QCOMPARE(r.kcp->interval, 5000u);

    ikcp_wndsize(r.kcp, 16, 20);
    QCOMPARE(r.kcp->snd_wnd, 16u);
    QCOMPARE(r.kcp->rcv_wnd, 128u);

    QCOMPARE(ikcp_setmtu(r.kcp, 49), -1);
    QCOMPARE(ikcp_setmtu(r.kcp, int(IKCP_MTU_MAX) + 1), -1);
    QCOMPARE(ikcp_setmtu(r.kcp, 576), 0);
    QCOMPARE(r.kcp->mss, 552u);
    QCOMPARE(ikcp_setmtu(r.kcp, 1400), 0);

    QCOMPARE(ikcp_getconv(segment(0xA1B2C3D4u, IKCP_CMD_ACK, 0, 0, 0, 0, 0).constData()), 0xA1B2C3D4u);

    Recorder fresh;
    QCOMPARE(fresh.kcp->mtu, 1400u);
    QCOMPARE(fresh.kcp->mss, 1376u);
    QCOMPARE(fresh.kcp->rx_rto, 200);
    QCOMPARE(fresh.kcp->rx_minrto, 100);
    QCOMPARE(fresh.kcp->dead_link, 20u);
    QCOMPARE(fresh.kcp->fastlimit, 5);
    QCOMPARE(fresh.kcp->stream, 0);
}

// A session whose mtu shrinks while segments cut for the larger one wait:
// those go out whole, each in a datagram of its own, and what is sent
// afterwards is cut for the new mtu and packed as before.
void TestKcpEngine::smallerMtuWithSegmentsQueued()
{
    Recorder r;
    ikcp_nodelay(r.kcp, 0, 40, 0, 1); // no congestion window: all six go at once
    QCOMPARE(ikcp_setmtu(r.kcp, int(IKCP_MTU_MAX)), 0);
    const QByteArray big(2 * int(IKCP_MTU_MAX), 'b');
    QCOMPARE(ikcp_send(r.kcp, big.constData(), big.size()), 0);
    QCOMPARE(ikcp_waitsnd(r.kcp), 3);
    QCOMPARE(ikcp_setmtu(r.kcp, 1400), 0);
    QCOMPARE(r.kcp->mss, 1376u);
    const QByteArray small(3000, 's');
    QCOMPARE(ikcp_send(r.kcp, small.constData(), small.size()), 0);
    QCOMPARE(ikcp_waitsnd(r.kcp), 6);

    ikcp_update(r.kcp, 1000);
    r.flushAt(1000);
    const std::vector<WireSegment> pushes = r.segments(IKCP_CMD_PUSH);
    QCOMPARE(int(pushes.size()), 6);
    const quint32 bigMss = IKCP_MTU_MAX - IKCP_OVERHEAD;
    const QList<quint32> lengths{bigMss, bigMss, quint32(big.size()) - 2 * bigMss, 1376, 1376, 3000 - 2 * 1376};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(pushes[size_t(i)].len, lengths[i]);
    for (const Emitted& e : r.emitted) {
        const std::vector<WireSegment> in = parseDatagram(e.bytes);
        QVERIFY(e.bytes.size() <= 1400 || in.size() == 1);
    }

    // The receiving side puts both messages together again.
    Recorder peer;
    for (const Emitted& e : r.emitted)
        QCOMPARE(peer.input(e.bytes), 0);
    QByteArray out(big.size(), '\0');
    QCOMPARE(ikcp_recv(peer.kcp, out.data(), out.size()), big.size());
    QCOMPARE(out, big);
    QCOMPARE(ikcp_recv(peer.kcp, out.data(), out.size()), small.size());
    QCOMPARE(out.left(small.size()), small);
}

namespace {
int s_allocations = 0;
int s_frees = 0;
void* countingMalloc(size_t size)
{
    ++s_allocations;
    return std::malloc(size);
}
void countingFree(void* p)
{
    ++s_frees;
    std::free(p);
}
} // namespace

void TestKcpEngine::allocatorHooks()
{
    ikcp_allocator(countingMalloc, countingFree);
    {
        Recorder r;
        QCOMPARE(ikcp_send(r.kcp, "abc", 3), 0);
    }
    ikcp_allocator(nullptr, nullptr);
    QVERIFY(s_allocations >= 3);
    QCOMPARE(s_frees, s_allocations);
}

QTEST_APPLESS_MAIN(TestKcpEngine)
#include "tst_kcpengine.moc"
