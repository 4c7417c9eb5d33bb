#include "com/kcp/ikcp.h"
#include "com/kcp/kcp.h"
#include "com/kcp/kcptestutil.h"

#include <QSignalSpy>
#include <QtTest>

using namespace kcptest;

Q_DECLARE_METATYPE(kcptest::ChannelConfig)
Q_DECLARE_METATYPE(Kcp::Path)

namespace {

constexpr quint32 kConv = 0x11223344;

struct Output
{
    QByteArray bytes;
    int xmit;
    int waitSend;
    quint32 at;
};

// A Kcp on a virtual clock whose tick the test drives.
struct VirtualKcp
{
    explicit VirtualKcp(quint32 start = 5000)
        : now(start)
    {
        kcp.setClock([this] { return now; });
        kcp.setTickTimerActive(false);
        QObject::connect(&kcp, &Kcp::output, &kcp, [this](const char* buf, int len, int xmit, int waitSend) {
            outputs.push_back({QByteArray(buf, len), xmit, waitSend, now});
        });
    }

    // Lets zero-delay timers run.
    static void pass()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }

    void advance(quint32 ms)
    {
        for (quint32 i = 0; i < ms; i += 10) {
            now += 10;
            kcp.tick();
        }
    }

    std::vector<WireSegment> segments(int cmd) const
    {
        std::vector<WireSegment> out;
        for (const Output& o : outputs)
            for (const WireSegment& s : parseDatagram(o.bytes))
                if (s.cmd == cmd)
                    out.push_back(s);
        return out;
    }

    quint32 now;
    Kcp kcp;
    std::vector<Output> outputs;
};

// Moves virtual time on by one tick: every datagram due by then reaches its
// side (direction 0 goes to b), the zero-delay flushes run, and both
// sessions tick. False when a side rejected a datagram.
bool stepBoth(LossyChannel& channel, quint32& now, Kcp& a, Kcp& b)
{
    now += 10;
    bool accepted = true;
    for (const LossyChannel::Datagram& d : channel.takeDue(now)) {
        Kcp& to = d.direction == 0 ? b : a;
        accepted = to.input(d.bytes.constData(), d.bytes.size()) == 0 && accepted;
    }
    QCoreApplication::processEvents();
    a.tick();
    b.tick();
    return accepted;
}

// Keeps every message k delivers, whole, in the order it comes.
void collectMessages(Kcp& k, std::vector<QByteArray>& into)
{
    QObject::connect(&k, &Kcp::received, &k, [&k, &into] {
        const int size = k.peekSize();
        if (size < 1)
            return;
        QByteArray message(size, '\0');
        if (k.read(reinterpret_cast<unsigned char*>(message.data()), quint64(size), nullptr) == size)
            into.push_back(message);
    });
}

} // namespace

class TestKcp : public QObject
{
    Q_OBJECT
private slots:
    void withoutSession();
    void sessionSettings();
    void sameConvKeepsQueues();
    void inputResults_data();
    void inputResults();
    void onePassSharesOneFlush();
    void readResults();
    void emptyMessageDoesNotBlock();
    void xmitReachesTwenty();
    void windowProbeTiming();
    void lossyChannel_data();
    void lossyChannel();
    void realTimersRun();
    void unacknowledgedQueueIsBounded();

    void pathSettings_data();
    void pathSettings();
    void flushLeavesTogether();
    void readsAllBeforeAcknowledging();
    void singleLoss_data();
    void singleLoss();
    void originalAndNewInteroperate_data();
    void originalAndNewInteroperate();
    void streamSegmentsAfterTheSwitch();
    void acksCoalesced_data();
    void acksCoalesced();
    void datagramWindowFollowsThePath_data();
    void datagramWindowFollowsThePath();
};

void TestKcp::withoutSession()
{
    VirtualKcp v;
    QSignalSpy received(&v.kcp, &Kcp::received);
    QVERIFY(!v.kcp.hasSession());
    QCOMPARE(v.kcp.conv(), 0u);
    QCOMPARE(v.kcp.send("abc", 3), -1);
    const QByteArray ack = segment(kConv, IKCP_CMD_ACK, 0, 128, 0, 0, 0);
    QCOMPARE(v.kcp.input(ack.constData(), ack.size()), -1);
    unsigned char buf[16];
    int peek = 99;
    QCOMPARE(v.kcp.read(buf, sizeof buf, &peek), -1);
    QCOMPARE(v.kcp.discard(), -1);
    v.advance(100);
    v.kcp.kcpInputTimerFired();
    VirtualKcp::pass();
    QVERIFY(v.outputs.empty());
    QCOMPARE(received.count(), 0);
}

void TestKcp::sessionSettings()
{
    VirtualKcp v;
    QSignalSpy newSession(&v.kcp, &Kcp::newSession);
    QVERIFY(v.kcp.setSession(kConv));
    QCOMPARE(newSession.count(), 1);
    QCOMPARE(v.kcp.conv(), kConv);
    const IKCPCB* k = v.kcp.controlBlock();
    QVERIFY(k);
    QCOMPARE(k->conv, kConv);
    QCOMPARE(k->mtu, 1400u);
    QCOMPARE(k->mss, 1376u);
    QCOMPARE(k->snd_wnd, 64u);
    QCOMPARE(k->rcv_wnd, 128u);
    QCOMPARE(k->rmt_wnd, 128u);
    QCOMPARE(k->interval, 40u);
    QCOMPARE(k->nodelay, 0u);
    QCOMPARE(k->rx_rto, 200);
    QCOMPARE(k->rx_minrto, 100);
    QCOMPARE(k->fastresend, 0);
    QCOMPARE(k->fastlimit, 5);
    QCOMPARE(k->nocwnd, 0);
    QCOMPARE(k->ackcoalesce, 0);
    QCOMPARE(k->stream, 0);
    QCOMPARE(k->logmask, 0);
    QVERIFY(k->writelog == nullptr);
}

void TestKcp::sameConvKeepsQueues()
{
    VirtualKcp v;
    QSignalSpy newSession(&v.kcp, &Kcp::newSession);
    v.kcp.setSession(kConv);
    QCOMPARE(v.kcp.send("first", 5), 0);
    QCOMPARE(v.kcp.send("second", 6), 0);
    const QByteArray push = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, "hello");
    QCOMPARE(v.kcp.input(push.constData(), push.size()), 0);
    QCOMPARE(v.kcp.waitSend(), 2);

    QVERIFY(!v.kcp.setSession(kConv));
    QCOMPARE(newSession.count(), 1);
    QCOMPARE(v.kcp.waitSend(), 2);
    unsigned char buf[16];
    int peek = 0;
    QCOMPARE(v.kcp.read(buf, sizeof buf, &peek), 5);

    QCOMPARE(v.kcp.input(push.constData(), push.size()), 0); // acknowledged again, not delivered
    QVERIFY(v.kcp.setSession(kConv + 1));
    QCOMPARE(newSession.count(), 2);
    QCOMPARE(v.kcp.conv(), kConv + 1);
    QCOMPARE(v.kcp.waitSend(), 0);
    QCOMPARE(v.kcp.read(buf, sizeof buf, &peek), -1);
    // Nothing of the old session leaves.
    VirtualKcp::pass();
    v.advance(1000);
    QVERIFY(v.outputs.empty());
}

void TestKcp::inputResults_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("expected");

    const QByteArray push = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, "payload");
    QTest::newRow("good") << push << 0;
    QTest::newRow("another session") << segment(kConv ^ 0x100, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, "x") << -2;
    QTest::newRow("another session, short") << segment(kConv ^ 0x100, IKCP_CMD_PUSH, 0, 128, 0, 0, 0).left(10)
                                             << -2;
    QTest::newRow("truncated") << push.left(push.size() - 1) << -3;
    QTest::newRow("header only") << push.left(23) << -3;
    QTest::newRow("unknown command") << segment(kConv, 90, 0, 128, 0, 0, 0) << -3;
    QTest::newRow("three bytes") << push.left(3) << -3;
    QTest::newRow("empty") << QByteArray() << -3;
}

void TestKcp::inputResults()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, expected);
    VirtualKcp v;
    v.kcp.setSession(kConv);
    QSignalSpy received(&v.kcp, &Kcp::received);
    QCOMPARE(v.kcp.input(datagram.constData(), datagram.size()), expected);
    VirtualKcp::pass();
    // Only an accepted datagram arms the flush: an acknowledgement leaves at once.
    QCOMPARE(v.outputs.size(), expected == 0 ? size_t(1) : size_t(0));
    QCOMPARE(received.count(), expected == 0 ? 1 : 0);
}

void TestKcp::onePassSharesOneFlush()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    for (quint32 sn = 0; sn < 3; ++sn) {
        const QByteArray push = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, sn, 0, "m");
        QCOMPARE(v.kcp.input(push.constData(), push.size()), 0);
    }
    QVERIFY(v.outputs.empty()); // nothing leaves before the event loop runs
    VirtualKcp::pass();
    QCOMPARE(int(v.outputs.size()), 1);
    QCOMPARE(v.outputs[0].xmit, 0);
    QCOMPARE(v.outputs[0].waitSend, 0);
    QCOMPARE(int(parseDatagram(v.outputs[0].bytes).size()), 3);

    // A send leaves in the next pass too, with its count and the queue size.
    v.outputs.clear();
    QCOMPARE(v.kcp.send("abc", 3), 0);
    QCOMPARE(v.kcp.send("def", 3), 0);
    VirtualKcp::pass();
    QCOMPARE(int(v.outputs.size()), 1);
    QCOMPARE(v.outputs[0].xmit, 1);
    // The congestion window lets one out at first; the last datagram of a
    // flush asks to leave at once.
    QCOMPARE(v.outputs[0].waitSend, 1);
    QCOMPARE(v.kcp.waitSend(), 2);
    QCOMPARE(int(v.segments(IKCP_CMD_PUSH).size()), 1);
}

void TestKcp::readResults()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    QSignalSpy received(&v.kcp, &Kcp::received);
    const QByteArray message = patternMessage(1, 2000);
    const QByteArray first = segment(kConv, IKCP_CMD_PUSH, 1, 128, 0, 0, 0, message.left(1376));
    const QByteArray second = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 1, 0, message.mid(1376));

    QCOMPARE(v.kcp.input(first.constData(), first.size()), 0);
    VirtualKcp::pass();
    QCOMPARE(received.count(), 0);
    QByteArray buf(4000, '\0');
    int peek = 0;
    QCOMPARE(v.kcp.read(reinterpret_cast<unsigned char*>(buf.data()), buf.size(), &peek), -2);
    QCOMPARE(peek, -1);

    QCOMPARE(v.kcp.input(second.constData(), second.size()), 0);
    VirtualKcp::pass();
    QCOMPARE(received.count(), 1);
    QCOMPARE(v.kcp.read(reinterpret_cast<unsigned char*>(buf.data()), 1999, &peek), -3);
    QCOMPARE(peek, 2000);
    QCOMPARE(v.kcp.read(reinterpret_cast<unsigned char*>(buf.data()), buf.size(), &peek), 2000);
    QCOMPARE(buf.left(2000), message);
    QCOMPARE(v.kcp.read(reinterpret_cast<unsigned char*>(buf.data()), buf.size(), &peek), -1);

    // A message too large for any reader can be dropped and the next one read.
    const QByteArray third = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 2, 0, "drop me");
    const QByteArray fourth = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 3, 0, "keep");
    QCOMPARE(v.kcp.input((third + fourth).constData(), third.size() + fourth.size()), 0);
    QCOMPARE(v.kcp.discard(), 7);
    QCOMPARE(v.kcp.read(reinterpret_cast<unsigned char*>(buf.data()), buf.size(), nullptr), 4);
    QCOMPARE(buf.left(4), QByteArray("keep"));
}

void TestKcp::emptyMessageDoesNotBlock()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    QSignalSpy received(&v.kcp, &Kcp::received);
    const QByteArray empty = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0);
    const QByteArray next = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 1, 0, "after");
    QCOMPARE(v.kcp.input((empty + next).constData(), empty.size() + next.size()), 0);
    VirtualKcp::pass();
    QCOMPARE(received.count(), 1);
    unsigned char buf[16];
    int peek = 0;
    QCOMPARE(v.kcp.read(buf, sizeof buf, &peek), 5);
    QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), 5), QByteArray("after"));
}

void TestKcp::xmitReachesTwenty()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    QCOMPARE(v.kcp.send("never acknowledged", 18), 0);
    VirtualKcp::pass();
    for (int i = 0; i < 10000 && v.outputs.size() < 21; ++i)
        v.advance(10);
    QCOMPARE(int(v.outputs.size()), 21);
    for (int i = 0; i < 21; ++i) {
        QCOMPARE(v.outputs[i].xmit, i + 1);
        QCOMPARE(v.outputs[i].waitSend, 1);
    }
    QCOMPARE(v.kcp.controlBlock()->state, quint32(-1));
}

void TestKcp::windowProbeTiming()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    v.advance(10);
    const quint32 closedAt = v.now;
    const QByteArray closed = segment(kConv, IKCP_CMD_WINS, 0, 0, 0, 0, 0);
    QCOMPARE(v.kcp.input(closed.constData(), closed.size()), 0);
    VirtualKcp::pass();
    std::vector<quint32> asks;
    for (int i = 0; i < 3000; ++i) {
        const size_t before = v.outputs.size();
        v.advance(10);
        for (size_t j = before; j < v.outputs.size(); ++j)
            for (const WireSegment& s : parseDatagram(v.outputs[j].bytes))
                if (s.cmd == int(IKCP_CMD_WASK))
                    asks.push_back(v.outputs[j].at);
    }
    // The engine flushes every 40 ms, so each ask may come up to one interval late.
    QVERIFY(asks.size() >= 2);
    QVERIFY2(asks[0] - closedAt >= 7000 && asks[0] - closedAt <= 7040, qPrintable(QString::number(asks[0] - closedAt)));
    QVERIFY2(asks[1] - asks[0] >= 10500 - 40 && asks[1] - asks[0] <= 10500 + 40,
             qPrintable(QString::number(asks[1] - asks[0])));
}

void TestKcp::lossyChannel_data()
{
    QTest::addColumn<ChannelConfig>("config");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("clean") << ChannelConfig{} << 1u;
    QTest::newRow("loss 10%, duplication, reordering") << ChannelConfig{0.10, 0.05, 0.20, 15, 30} << 11u;
    QTest::newRow("loss 20%") << ChannelConfig{0.20, 0.0, 0.0, 5, 30} << 12u;
}

// Two sessions on virtual time, each reading one message per received(), as
// the endpoint does.
void TestKcp::lossyChannel()
{
    QFETCH(ChannelConfig, config);
    QFETCH(quint32, seed);

    LossyChannel channel(config, seed);
    quint32 now = 100;
    Kcp a;
    Kcp b;
    std::vector<QByteArray> atB;
    for (Kcp* k : {&a, &b}) {
        k->setClock([&now] { return now; });
        k->setTickTimerActive(false);
        k->setSession(kConv);
        const int direction = k == &a ? 0 : 1;
        connect(k, &Kcp::output, k, [&channel, &now, direction](const char* buf, int len, int, int) {
            channel.send(direction, buf, len, now);
        });
    }
    collectMessages(b, atB);

    std::vector<QByteArray> sent;
    for (int size : {1, 1376, 1377, 64400, 127 * 1376, 5, 1377}) {
        sent.push_back(patternMessage(int(sent.size()), size));
        QCOMPARE(a.send(sent.back().constData(), size), 0);
    }
    const QByteArray tooLarge(127 * 1376 + 1, 'z');
    QCOMPARE(a.send(tooLarge.constData(), tooLarge.size()), -2);

    for (int step = 0; step < 60000 && atB.size() < sent.size(); ++step) {
        QVERIFY(stepBoth(channel, now, a, b));
    }
    QCOMPARE(atB.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        QVERIFY2(atB[i] == sent[i], qPrintable(QStringLiteral("message %1").arg(i)));
}

void TestKcp::realTimersRun()
{
    // The tick timer runs from construction on the process clock: an unacknowledged
    // segment is sent again after about a quarter of a second.
    Kcp k;
    QVERIFY(k.isTickTimerActive());
    k.setSession(kConv);
    int outputs = 0;
    connect(&k, &Kcp::output, &k, [&outputs](const char*, int, int, int) { ++outputs; });
    const quint32 before = Kcp::processClock();
    QCOMPARE(k.send("x", 1), 0);
    QTRY_COMPARE_WITH_TIMEOUT(outputs >= 2, true, 10000);
    QVERIFY(Kcp::processClock() - before >= 200);
    k.setTickTimerActive(false);
    QVERIFY(!k.isTickTimerActive());
}

// A peer that acknowledges nothing: the queue stops growing at the cap.
void TestKcp::unacknowledgedQueueIsBounded()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    const QByteArray message(3000, 'm'); // three fragments
    int accepted = 0;
    int refused = 0;
    for (int i = 0; i < Kcp::MaxWaitSend; ++i) {
        const int r = v.kcp.send(message.constData(), message.size());
        QVERIFY(r == 0 || r == -3);
        (r == 0 ? accepted : refused)++;
        QVERIFY(v.kcp.waitSend() < Kcp::MaxWaitSend + 3);
    }
    QCOMPARE(accepted, (Kcp::MaxWaitSend + 2) / 3);
    QVERIFY(refused > 0);
    v.advance(100);
    VirtualKcp::pass();
    QVERIFY(!v.outputs.empty());
    QCOMPARE(v.kcp.send(message.constData(), message.size()), -3);
    QVERIFY(v.kcp.waitSend() < Kcp::MaxWaitSend + 3);
}

void TestKcp::pathSettings_data()
{
    QTest::addColumn<Kcp::Path>("path");
    QTest::addColumn<bool>("beforeSession");
    QTest::addColumn<int>("nodelay");
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("fastresend");
    QTest::addColumn<int>("nocwnd");
    QTest::addColumn<int>("sndWnd");
    QTest::addColumn<int>("rcvWnd");
    QTest::addColumn<int>("mtu");
    const int big = int(IKCP_MTU_MAX);
    QTest::newRow("unknown") << Kcp::PathUnknown << false << 0 << 40 << 0 << 0 << 64 << 128 << 1400;
    QTest::newRow("stream") << Kcp::PathStream << false << 0 << 40 << 0 << 1 << 1024 << 1024 << big;
    QTest::newRow("stream, set before the session") << Kcp::PathStream << true << 0 << 40 << 0 << 1 << 1024 << 1024 << big;
    QTest::newRow("datagram") << Kcp::PathDatagram << false << 1 << 10 << 2 << 1 << 64 << 1024 << 1400;
    QTest::newRow("datagram, set before the session") << Kcp::PathDatagram << true << 1 << 10 << 2 << 1 << 64 << 1024 << 1400;
}

// What each path changes is local: segment size and every other wire rule
// stay those of the original settings.
void TestKcp::pathSettings()
{
    QFETCH(Kcp::Path, path);
    QFETCH(bool, beforeSession);
    QFETCH(int, nodelay);
    QFETCH(int, interval);
    QFETCH(int, fastresend);
    QFETCH(int, nocwnd);
    QFETCH(int, sndWnd);
    QFETCH(int, rcvWnd);
    QFETCH(int, mtu);
    VirtualKcp v;
    if (beforeSession)
        v.kcp.setPath(path);
    v.kcp.setSession(kConv);
    if (!beforeSession) {
        // From another path, so that every setting is made, not inherited.
        v.kcp.setPath(path == Kcp::PathDatagram ? Kcp::PathStream : Kcp::PathDatagram);
        v.kcp.setPath(path);
    }
    QCOMPARE(v.kcp.path(), path);
    const IKCPCB* k = v.kcp.controlBlock();
    QCOMPARE(int(k->nodelay), nodelay);
    QCOMPARE(k->rx_minrto, nodelay ? 30 : 100);
    QCOMPARE(int(k->interval), interval);
    QCOMPARE(k->fastresend, fastresend);
    QCOMPARE(k->fastlimit, 5);
    QCOMPARE(k->nocwnd, nocwnd);
    QCOMPARE(k->ackcoalesce, path == Kcp::PathUnknown ? 0 : 1);
    QCOMPARE(int(k->snd_wnd), sndWnd);
    QCOMPARE(int(k->rcv_wnd), rcvWnd);
    QCOMPARE(int(k->mtu), mtu);
    QCOMPARE(int(k->mss), mtu - 24);
    QCOMPARE(k->stream, 0);

    // A message any peer can reassemble, whatever the own window.
    const QByteArray largest(127 * (mtu - 24), 'l');
    QCOMPARE(v.kcp.send(largest.constData(), largest.size()), 0);
    const QByteArray tooLarge(127 * (mtu - 24) + 1, 'z');
    QCOMPARE(v.kcp.send(tooLarge.constData(), tooLarge.size()), -2);
}

// The datagrams of one flush leave together: all but the last say that more
// follow, the last that they should go now.
void TestKcp::flushLeavesTogether()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    v.kcp.setPath(Kcp::PathStream);
    const int mtu = int(v.kcp.controlBlock()->mtu);
    const QByteArray message = patternMessage(1, 5 * (mtu - 24));
    QCOMPARE(v.kcp.send(message.constData(), message.size()), 0);
    VirtualKcp::pass();
    QCOMPARE(int(v.outputs.size()), 5);
    for (size_t i = 0; i + 1 < v.outputs.size(); ++i) {
        QVERIFY(v.outputs[i].waitSend >= 2);
        QCOMPARE(v.outputs[i].xmit, 1);
        QCOMPARE(v.outputs[i].bytes.size(), mtu);
    }
    QVERIFY(v.outputs.back().waitSend <= 1);
    QCOMPARE(v.kcp.waitSend(), 5);
    QCOMPARE(int(v.segments(IKCP_CMD_PUSH).size()), 5);
}

// A receiver that reads one message per received() still empties the queue
// before the acknowledgements leave, so they offer the whole window.
void TestKcp::readsAllBeforeAcknowledging()
{
    VirtualKcp v;
    v.kcp.setSession(kConv);
    std::vector<QByteArray> read;
    connect(&v.kcp, &Kcp::received, &v.kcp, [&] {
        QByteArray buf(4096, '\0');
        int peek = 0;
        const int n = v.kcp.read(reinterpret_cast<unsigned char*>(buf.data()), buf.size(), &peek);
        if (n > 0)
            read.push_back(buf.left(n));
    });
    for (quint32 sn = 0; sn < 3; ++sn) {
        // Two messages of two fragments, then one of one.
        const int frg = sn < 2 ? int(1 - sn) : 0;
        const QByteArray push = segment(kConv, IKCP_CMD_PUSH, frg, 128, 0, sn, 0, patternMessage(int(sn), 100));
        QCOMPARE(v.kcp.input(push.constData(), push.size()), 0);
    }
    const QByteArray last = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 3, 0, patternMessage(3, 100));
    QCOMPARE(v.kcp.input(last.constData(), last.size()), 0);
    VirtualKcp::pass();
    QCOMPARE(int(read.size()), 3);
    QCOMPARE(read[0], patternMessage(0, 100) + patternMessage(1, 100));
    QCOMPARE(read[2], patternMessage(3, 100));
    const std::vector<WireSegment> acks = v.segments(IKCP_CMD_ACK);
    QCOMPARE(int(acks.size()), 4);
    for (const WireSegment& ack : acks) {
        QCOMPARE(ack.wnd, 128);
        QCOMPARE(ack.una, 4u);
    }
}

void TestKcp::singleLoss_data()
{
    QTest::addColumn<Kcp::Path>("path");
    QTest::addColumn<bool>("resentAtOnce");
    QTest::newRow("original settings wait for the time-out") << Kcp::PathUnknown << false;
    QTest::newRow("datagram path resends after two skipping acknowledgements") << Kcp::PathDatagram << true;
}

// Ten segments leave, the fourth is lost, the others are acknowledged in two
// datagrams. On a datagram path the lost one goes again at once, and only it.
void TestKcp::singleLoss()
{
    QFETCH(Kcp::Path, path);
    QFETCH(bool, resentAtOnce);
    VirtualKcp v;
    v.kcp.setSession(kConv);
    v.kcp.setPath(path);
    // Let the congestion window of the original settings open first.
    for (quint32 sn = 0; sn < 2000 && v.kcp.controlBlock()->cwnd < 10 && !v.kcp.controlBlock()->nocwnd; ++sn) {
        QCOMPARE(v.kcp.send("w", 1), 0);
        VirtualKcp::pass();
        const QByteArray ack = segment(kConv, IKCP_CMD_ACK, 0, 128, v.now, sn, 0);
        QCOMPARE(v.kcp.input(ack.constData(), ack.size()), 0);
        VirtualKcp::pass();
        v.advance(10);
    }
    QVERIFY(v.kcp.controlBlock()->cwnd >= 10 || v.kcp.controlBlock()->nocwnd);
    v.outputs.clear();
    const quint32 first = v.kcp.controlBlock()->snd_nxt;
    const QByteArray message = patternMessage(2, 10 * 1376);
    QCOMPARE(v.kcp.send(message.constData(), message.size()), 0);
    VirtualKcp::pass();
    QCOMPARE(int(v.segments(IKCP_CMD_PUSH).size()), 10);
    v.outputs.clear();
    const quint32 lost = first + 3;
    for (int half = 0; half < 2; ++half) {
        QByteArray acks;
        for (quint32 sn = first + quint32(half * 5); sn < first + quint32(half * 5 + 5); ++sn)
            if (sn != lost)
                acks += segment(kConv, IKCP_CMD_ACK, 0, 128, v.now, sn, half == 0 ? lost : lost);
        QCOMPARE(v.kcp.input(acks.constData(), acks.size()), 0);
        VirtualKcp::pass();
    }
    const std::vector<WireSegment> resent = v.segments(IKCP_CMD_PUSH);
    if (resentAtOnce) {
        QCOMPARE(int(resent.size()), 1);
        QCOMPARE(resent[0].sn, lost);
    } else {
        QVERIFY(resent.empty());
    }
}

void TestKcp::originalAndNewInteroperate_data()
{
    QTest::addColumn<Kcp::Path>("pathA");
    QTest::addColumn<Kcp::Path>("pathB");
    QTest::addColumn<ChannelConfig>("config");
    const ChannelConfig clean{0.0, 0.0, 0.0, 20, 30};
    const ChannelConfig lossy{0.05, 0.02, 0.10, 20, 30};
    QTest::newRow("original to stream") << Kcp::PathUnknown << Kcp::PathStream << clean;
    QTest::newRow("stream to original") << Kcp::PathStream << Kcp::PathUnknown << clean;
    QTest::newRow("original to datagram") << Kcp::PathUnknown << Kcp::PathDatagram << clean;
    QTest::newRow("datagram to original") << Kcp::PathDatagram << Kcp::PathUnknown << clean;
    QTest::newRow("original to datagram, lossy") << Kcp::PathUnknown << Kcp::PathDatagram << lossy;
    QTest::newRow("datagram to original, lossy") << Kcp::PathDatagram << Kcp::PathUnknown << lossy;
}

// A session with the original settings and one paced for its path exchange
// messages both ways on virtual time; everything either emits keeps to the
// original wire rules (datagrams of at most 1400 bytes, segments of at most
// 1376, fewer than 128 fragments to a message), except that on a stream
// datagrams and segments may be as long as the largest mtu, which the
// original rules leave to the receiving side to take.
void TestKcp::originalAndNewInteroperate()
{
    QFETCH(Kcp::Path, pathA);
    QFETCH(Kcp::Path, pathB);
    QFETCH(ChannelConfig, config);

    LossyChannel channel(config, 7);
    quint32 now = 100;
    Kcp a;
    Kcp b;
    std::vector<QByteArray> at[2];
    int badDatagrams = 0;
    for (Kcp* k : {&a, &b}) {
        k->setClock([&now] { return now; });
        k->setTickTimerActive(false);
        k->setSession(kConv);
        k->setPath(k == &a ? pathA : pathB);
        const int direction = k == &a ? 0 : 1;
        const int mtu = (k == &a ? pathA : pathB) == Kcp::PathStream ? int(IKCP_MTU_MAX) : 1400;
        connect(k, &Kcp::output, k, [&, direction, mtu](const char* buf, int len, int, int) {
            const QByteArray datagram(buf, len);
            int parsed = 0;
            for (const WireSegment& s : parseDatagram(datagram)) {
                parsed += 24 + int(s.len);
                if (int(s.len) > mtu - 24 || s.frg >= 127 || s.conv != kConv || s.cmd < int(IKCP_CMD_PUSH) || s.cmd > int(IKCP_CMD_WINS))
                    ++badDatagrams;
            }
            if (len > mtu || parsed != len)
                ++badDatagrams;
            channel.send(direction, buf, len, now);
        });
        collectMessages(*k, at[k == &a ? 1 : 0]);
    }

    std::vector<QByteArray> sent[2];
    for (int i = 0; i < 24; ++i) {
        const int size = (i % 6 == 0) ? 127 * 1376 : (i % 3 == 0 ? 64400 : 1 + i * 997 % 5000);
        sent[0].push_back(patternMessage(i, size));
        QCOMPARE(a.send(sent[0].back().constData(), size), 0);
        sent[1].push_back(patternMessage(1000 + i, size));
        QCOMPARE(b.send(sent[1].back().constData(), size), 0);
    }
    for (int step = 0; step < 100000 && (at[0].size() < sent[0].size() || at[1].size() < sent[1].size()); ++step) {
        QVERIFY(stepBoth(channel, now, a, b));
    }
    QCOMPARE(badDatagrams, 0);
    for (int dir = 0; dir < 2; ++dir) {
        QCOMPARE(at[dir].size(), sent[dir].size());
        for (size_t i = 0; i < sent[dir].size(); ++i)
            QVERIFY2(at[dir][i] == sent[dir][i], qPrintable(QStringLiteral("direction %1, message %2").arg(dir).arg(i)));
    }
    if (config.loss > 0)
        QVERIFY(channel.lost() > 0);
}

// A session that moves from a stream to datagrams in the middle of a
// transfer, over a lossy channel: the segments it cut for the stream still go
// (whole, one to a datagram), what it cuts afterwards fits 1400-byte
// datagrams, and every message arrives intact at a peer with the original
// settings.
void TestKcp::streamSegmentsAfterTheSwitch()
{
    LossyChannel channel(ChannelConfig{0.05, 0.02, 0.10, 20, 30}, 11);
    quint32 now = 100;
    Kcp a;
    Kcp b;
    std::vector<QByteArray> atB;
    bool switched = false;
    int wholeAfterSwitch = 0; // segments cut for the stream that went out after the switch
    quint32 cutForStream = 0; // once switched: the first sequence number cut for datagrams
    int bad = 0;
    for (Kcp* k : {&a, &b}) {
        k->setClock([&now] { return now; });
        k->setTickTimerActive(false);
        k->setSession(kConv);
    }
    a.setPath(Kcp::PathStream);
    connect(&a, &Kcp::output, &a, [&](const char* buf, int len, int, int) {
        const std::vector<WireSegment> segments = parseDatagram(QByteArray(buf, len));
        for (const WireSegment& s : segments) {
            if (switched && s.cmd == int(IKCP_CMD_PUSH) && s.len > 1376) {
                if (qint32(s.sn - cutForStream) >= 0)
                    ++bad;
                else
                    ++wholeAfterSwitch;
            }
        }
        if (switched && len > 1400 && segments.size() != 1)
            ++bad;
        channel.send(0, buf, len, now);
    });
    connect(&b, &Kcp::output, &b, [&](const char* buf, int len, int, int) { channel.send(1, buf, len, now); });
    collectMessages(b, atB);

    std::vector<QByteArray> sent;
    auto sendSome = [&](int first) {
        for (int i = first; i < first + 12; ++i) {
            sent.push_back(patternMessage(i, i % 2 ? 64400 : 1 + i * 997 % 5000));
            QCOMPARE(a.send(sent.back().constData(), sent.back().size()), 0);
        }
    };
    sendSome(0);
    for (int step = 0; step < 100000 && atB.empty(); ++step)
        QVERIFY(stepBoth(channel, now, a, b));
    QVERIFY(a.waitSend() > 0);
    a.setPath(Kcp::PathDatagram);
    const IKCPCB* k = a.controlBlock();
    cutForStream = k->snd_nxt + k->nsnd_que;
    switched = true;
    QCOMPARE(k->mtu, 1400u);
    sendSome(100);
    for (int step = 0; step < 200000 && atB.size() < sent.size(); ++step)
        QVERIFY(stepBoth(channel, now, a, b));
    QCOMPARE(bad, 0);
    QVERIFY(wholeAfterSwitch > 0);
    QCOMPARE(atB.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        QVERIFY2(atB[i] == sent[i], qPrintable(QStringLiteral("message %1").arg(i)));
    QVERIFY(channel.lost() > 0);
}

void TestKcp::acksCoalesced_data()
{
    QTest::addColumn<Kcp::Path>("path");
    QTest::addColumn<QList<quint32>>("acked");
    // Segments 0, 1, 2, then 5 and 6 beyond a gap arrive in one datagram.
    QTest::newRow("original: one ACK each") << Kcp::PathUnknown << QList<quint32>{0, 1, 2, 5, 6};
    QTest::newRow("stream: the newest in order, and each beyond the gap")
        << Kcp::PathStream << QList<quint32>{2, 5, 6};
    QTest::newRow("datagram: the newest in order, and each beyond the gap")
        << Kcp::PathDatagram << QList<quint32>{2, 5, 6};
}

// A paced session acknowledges what arrived in order with one ACK, whose una
// tells the peer it has all of them; a segment beyond a gap still gets its
// own, so the peer can resend the gap early. The ACKs keep their usual form.
void TestKcp::acksCoalesced()
{
    QFETCH(Kcp::Path, path);
    QFETCH(QList<quint32>, acked);
    VirtualKcp v;
    v.kcp.setSession(kConv);
    v.kcp.setPath(path);
    v.advance(10);
    v.outputs.clear();
    QByteArray datagram;
    for (quint32 sn : {0u, 1u, 2u, 5u, 6u})
        datagram += segment(kConv, IKCP_CMD_PUSH, 0, 128, 4000 + sn, sn, 0, QByteArray(100, char('a' + sn)));
    QCOMPARE(v.kcp.input(datagram.constData(), datagram.size()), 0);
    VirtualKcp::pass();
    const std::vector<WireSegment> acks = v.segments(IKCP_CMD_ACK);
    QList<quint32> got;
    for (const WireSegment& a : acks) {
        got.append(a.sn);
        QCOMPARE(a.una, 3u);
        QCOMPARE(a.ts, 4000 + a.sn);
        QCOMPARE(a.len, 0u);
    }
    QCOMPARE(got, acked);
}

void TestKcp::datagramWindowFollowsThePath_data()
{
    QTest::addColumn<ChannelConfig>("config");
    QTest::addColumn<Kcp::Path>("receiverPath");
    QTest::addColumn<int>("megabytes");
    QTest::addColumn<int>("leastWindow");  // the sender's window reaches at least this
    QTest::addColumn<int>("mostInFlight"); // never more segments unacknowledged
    QTest::addColumn<int>("mostRttMs");    // the smoothed round trip never above
    QTest::addColumn<int>("mostMs");       // virtual time to deliver everything

    ChannelConfig longPath;
    longPath.delayMs = 20;
    ChannelConfig lossy = longPath;
    lossy.loss = 0.01;
    ChannelConfig narrow = longPath; // 2 MB/s, 300 ms of queue before it drops
    narrow.bytesPerMs = 2000;
    narrow.queueLimitMs = 300;
    // A fixed window of 64 segments carries 2.2 MB/s over a 40 ms round trip:
    // 8 MB would take it almost 4 s.
    QTest::newRow("long path") << longPath << Kcp::PathDatagram << 8 << 768 << 1024 << 80 << 1200;
    QTest::newRow("long path, 1 % lost") << lossy << Kcp::PathDatagram << 8 << 512 << 1024 << 120 << 1800;
    // The window stops growing once a queue builds: the round trip stays
    // near the path's and nothing overflows.
    QTest::newRow("narrow link") << narrow << Kcp::PathDatagram << 2 << 64 << 200 << 150 << 2000;
    // A peer that offers the original window gets no more than that.
    QTest::newRow("original receiver") << longPath << Kcp::PathUnknown << 4 << 64 << 128 << 150 << 5000;
}

// A bulk transfer on virtual time over datagrams: the sender's window grows
// to what the path carries and backs off when the round trip climbs, every
// message arrives whole and in order, and the peer's offered window always
// bounds what is in flight.
void TestKcp::datagramWindowFollowsThePath()
{
    QFETCH(ChannelConfig, config);
    QFETCH(Kcp::Path, receiverPath);
    QFETCH(int, megabytes);
    QFETCH(int, leastWindow);
    QFETCH(int, mostInFlight);
    QFETCH(int, mostRttMs);
    QFETCH(int, mostMs);

    LossyChannel channel(config, 11);
    const quint32 start = 100;
    quint32 now = start;
    Kcp a;
    Kcp b;
    for (Kcp* k : {&a, &b}) {
        k->setClock([&now] { return now; });
        k->setTickTimerActive(false);
        k->setSession(kConv);
        k->setPath(k == &a ? Kcp::PathDatagram : receiverPath);
        const int direction = k == &a ? 0 : 1;
        connect(k, &Kcp::output, k, [&, direction](const char* buf, int len, int, int) {
            channel.send(direction, buf, len, now);
        });
    }
    constexpr int kMessage = 64400;
    const int messages = megabytes * 1024 * 1024 / kMessage;
    int sent = 0;
    int received = 0;
    int damaged = 0;
    QByteArray buffer(kMessage, '\0');
    connect(&b, &Kcp::received, &b, [&] {
        int peek = 0;
        const int n = b.read(reinterpret_cast<unsigned char*>(buffer.data()), buffer.size(), &peek);
        if (n <= 0)
            return;
        if (n != kMessage || buffer != patternMessage(received, kMessage))
            ++damaged;
        ++received;
    });

    int largestWindow = 0;
    int largestInFlight = 0;
    int largestRtt = 0;
    while (received < messages && now - start < 60000) {
        while (sent < messages && a.waitSend() < 2048) {
            const QByteArray message = patternMessage(sent, kMessage);
            QCOMPARE(a.send(message.constData(), message.size()), 0);
            ++sent;
        }
        QVERIFY(stepBoth(channel, now, a, b));
        const IKCPCB* k = a.controlBlock();
        largestWindow = std::max(largestWindow, int(k->snd_wnd));
        largestInFlight = std::max(largestInFlight, int(k->snd_nxt - k->snd_una));
        largestRtt = std::max(largestRtt, int(k->rx_srtt));
    }
    const int took = int(now - start);
    qInfo("%d MB in %d ms of virtual time; window up to %d, in flight up to %d, round trip up to %d ms, "
          "%llu lost, %llu overflowed",
          megabytes, took, largestWindow, largestInFlight, largestRtt,
          static_cast<unsigned long long>(channel.lost()), static_cast<unsigned long long>(channel.overflowed()));
    QCOMPARE(received, messages);
    QCOMPARE(damaged, 0);
    QVERIFY2(largestWindow >= leastWindow, qPrintable(QString::number(largestWindow)));
    QVERIFY2(largestInFlight <= mostInFlight, qPrintable(QString::number(largestInFlight)));
    QVERIFY2(largestRtt <= mostRttMs, qPrintable(QString::number(largestRtt)));
    QVERIFY2(took <= mostMs, qPrintable(QString::number(took)));
    QCOMPARE(channel.overflowed(), 0u);
}

QTEST_GUILESS_MAIN(TestKcp)
#include "tst_kcp.moc"
