#include "com/ikcp.h"
#include "com/kcp.h"
#include "com/kcptestutil.h"

#include <QSignalSpy>
#include <QtTest>

using namespace kcptest;

Q_DECLARE_METATYPE(kcptest::ChannelConfig)

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
    QCOMPARE(v.outputs[0].waitSend, 2); // the congestion window lets one out at first
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
    QByteArray buffer(200000, '\0');
    for (Kcp* k : {&a, &b}) {
        k->setClock([&now] { return now; });
        k->setTickTimerActive(false);
        k->setSession(kConv);
        const int direction = k == &a ? 0 : 1;
        connect(k, &Kcp::output, k, [&channel, &now, direction](const char* buf, int len, int, int) {
            channel.send(direction, buf, len, now);
        });
    }
    connect(&b, &Kcp::received, &b, [&] {
        int peek = 0;
        const int n = b.read(reinterpret_cast<unsigned char*>(buffer.data()), buffer.size(), &peek);
        if (n > 0)
            atB.push_back(buffer.left(n));
    });

    std::vector<QByteArray> sent;
    for (int size : {1, 1376, 1377, 64400, 127 * 1376, 5, 1377}) {
        sent.push_back(patternMessage(int(sent.size()), size));
        QCOMPARE(a.send(sent.back().constData(), size), 0);
    }
    const QByteArray tooLarge(127 * 1376 + 1, 'z');
    QCOMPARE(a.send(tooLarge.constData(), tooLarge.size()), -2);

    for (int step = 0; step < 60000 && atB.size() < sent.size(); ++step) {
        now += 10;
        for (const LossyChannel::Datagram& d : channel.takeDue(now)) {
            Kcp& to = d.direction == 0 ? b : a;
            QCOMPARE(to.input(d.bytes.constData(), d.bytes.size()), 0);
        }
        QCoreApplication::processEvents();
        a.tick();
        b.tick();
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

QTEST_GUILESS_MAIN(TestKcp)
#include "tst_kcp.moc"
