#include "com/link/endpoint.h"
#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"
#include "peer/peerspeedtest.h"

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(std::vector<unsigned char>)

namespace {

std::vector<unsigned char> message(quint8 channel, quint8 type, quint32 seq, std::size_t length = 32)
{
    std::vector<unsigned char> data(length, 0);
    com::TermStreamWriter writer(data.data(), data.size());
    writer.writeU32(quint32(length));
    writer.writeU8(channel);
    writer.writeU8(type);
    writer.writeU32(seq);
    return data;
}

struct Seen
{
    quint8 type = 0;
    quint32 seq = 0;
    std::size_t size = 0;
};

// The messages that reached the far end, in order.
std::vector<Seen> seen(const QSignalSpy& spy)
{
    std::vector<Seen> list;
    for (const QList<QVariant>& args : spy) {
        const auto data = args.at(0).value<std::vector<unsigned char>>();
        com::TermStreamReader reader(data.data(), data.size());
        quint32 length = 0;
        quint8 channel = 0;
        Seen s;
        reader.readU32(length);
        reader.readU8(channel);
        reader.readU8(s.type);
        reader.readU32(s.seq);
        s.size = data.size();
        if (!reader.hasError() && channel == PeerSpeedTest::Channel && length == data.size())
            list.push_back(s);
    }
    return list;
}

// Two endpoints joined in memory: what one sends, the other emits.
struct Link
{
    Link()
    {
        near.setBuddy(&far);
        far.setBuddy(&near);
    }
    Endpoint near;
    Endpoint far;
};

} // namespace

class TestPeerSpeedTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void stateTable_data();
    void stateTable();
    void requestsAreAnsweredUnlessPausing_data();
    void requestsAreAnsweredUnlessPausing();
    void foreignMessagesAreIgnored_data();
    void foreignMessagesAreIgnored();
    void peersRequestDoesNotMoveTheOwnSequence();
    void lateAcknowledgementIsIgnored();
    void rate_data();
    void rate();
    void twoTestsMeasureEachOther();
};

void TestPeerSpeedTest::initTestCase()
{
    qRegisterMetaType<std::vector<unsigned char>>();
}

// Brings a test into a state: Idle as built, Pause after start (timer at 0),
// Waiting after the first timer event.
static void reach(PeerSpeedTest& test, int state)
{
    if (state >= PeerSpeedTest::Pause)
        test.handleEvent(PeerSpeedTest::StartEvent);
    if (state >= PeerSpeedTest::Waiting)
        test.handleEvent(PeerSpeedTest::TimerEvent);
    QCOMPARE(test.state(), state);
}

void TestPeerSpeedTest::stateTable_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("event");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("timer"); // its interval, or -1 when stopped
    QTest::addColumn<int>("requests");

    using T = PeerSpeedTest;
    QTest::newRow("idle, start") << int(T::Idle) << int(T::StartEvent) << int(T::Pause) << 0 << 0;
    QTest::newRow("idle, timer") << int(T::Idle) << int(T::TimerEvent) << int(T::Idle) << -1 << 0;
    QTest::newRow("idle, ack") << int(T::Idle) << int(T::AckEvent) << int(T::Idle) << -1 << 0;
    QTest::newRow("idle, stop") << int(T::Idle) << int(T::StopEvent) << int(T::Idle) << -1 << 0;
    QTest::newRow("pause, timer sends") << int(T::Pause) << int(T::TimerEvent) << int(T::Waiting) << 2000 << 1;
    QTest::newRow("pause, start") << int(T::Pause) << int(T::StartEvent) << int(T::Pause) << 0 << 0;
    QTest::newRow("pause, ack") << int(T::Pause) << int(T::AckEvent) << int(T::Pause) << 0 << 0;
    QTest::newRow("pause, stop") << int(T::Pause) << int(T::StopEvent) << int(T::Idle) << -1 << 0;
    QTest::newRow("waiting, timeout") << int(T::Waiting) << int(T::TimerEvent) << int(T::Pause) << 5000 << 1;
    QTest::newRow("waiting, ack") << int(T::Waiting) << int(T::AckEvent) << int(T::Pause) << 5000 << 1;
    QTest::newRow("waiting, start") << int(T::Waiting) << int(T::StartEvent) << int(T::Waiting) << 2000 << 1;
    QTest::newRow("waiting, stop") << int(T::Waiting) << int(T::StopEvent) << int(T::Idle) << -1 << 1;
}

void TestPeerSpeedTest::stateTable()
{
    QFETCH(int, from);
    QFETCH(int, event);
    QFETCH(int, to);
    QFETCH(int, timer);
    QFETCH(int, requests);
    Link link;
    QSignalSpy far(&link.far, &Endpoint::receivedMessage);
    PeerSpeedTest test(&link.near, &link.near);
    reach(test, from);
    test.handleEvent(event);
    QCOMPARE(test.state(), to);
    QCOMPARE(test.isTimerActive(), timer >= 0);
    if (timer >= 0)
        QCOMPARE(test.timerInterval(), timer);
    // What went out reaches the far end on a later pass of the event loop;
    // the timer must not run meanwhile.
    test.stop();
    QTRY_COMPARE(int(seen(far).size()), requests);
    QTest::qWait(50);
    const std::vector<Seen> sent = seen(far);
    QCOMPARE(int(sent.size()), requests);
    for (const Seen& s : sent) {
        QCOMPARE(s.type, PeerSpeedTest::RequestType);
        QCOMPARE(s.size, PeerSpeedTest::RequestSize);
        QCOMPARE(s.seq, 1u);
    }
}

void TestPeerSpeedTest::requestsAreAnsweredUnlessPausing_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("answered");
    QTest::newRow("idle") << int(PeerSpeedTest::Idle) << true;
    QTest::newRow("pause") << int(PeerSpeedTest::Pause) << false;
    QTest::newRow("waiting") << int(PeerSpeedTest::Waiting) << true;
}

void TestPeerSpeedTest::requestsAreAnsweredUnlessPausing()
{
    QFETCH(int, state);
    QFETCH(bool, answered);
    Link link;
    PeerSpeedTest test(&link.near, &link.near);
    reach(test, state);
    QSignalSpy far(&link.far, &Endpoint::receivedMessage);
    test.onReceivedMessage(message(PeerSpeedTest::Channel, PeerSpeedTest::RequestType, 77, PeerSpeedTest::RequestSize));
    QCOMPARE(test.state(), state);
    QTest::qWait(50);
    std::vector<Seen> acks;
    for (const Seen& s : seen(far))
        if (s.type == PeerSpeedTest::AckType)
            acks.push_back(s);
    QCOMPARE(acks.size(), size_t(answered ? 1 : 0));
    if (answered) {
        QCOMPARE(acks[0].seq, 77u);
        QCOMPARE(acks[0].size, PeerSpeedTest::AckSize);
    }
}

void TestPeerSpeedTest::foreignMessagesAreIgnored_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const auto bytes = [](const std::vector<unsigned char>& m) {
        return QByteArray(reinterpret_cast<const char*>(m.data()), int(m.size()));
    };
    QTest::newRow("another channel") << bytes(message(65, PeerSpeedTest::RequestType, 1));
    QTest::newRow("another type") << bytes(message(PeerSpeedTest::Channel, 5, 1));
    QTest::newRow("cut before the seq") << bytes(message(PeerSpeedTest::Channel, PeerSpeedTest::AckType, 1)).left(9);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not tagged") << QByteArray(32, '\xff');
}

void TestPeerSpeedTest::foreignMessagesAreIgnored()
{
    QFETCH(QByteArray, bytes);
    Link link;
    PeerSpeedTest test(&link.near, &link.near);
    QSignalSpy measured(&test, &PeerSpeedTest::measured);
    QSignalSpy far(&link.far, &Endpoint::receivedMessage);
    reach(test, PeerSpeedTest::Waiting);
    test.onReceivedMessage(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    QTest::qWait(50);
    QCOMPARE(far.count(), 1); // the own request only, no answer
    QCOMPARE(measured.count(), 0);
    QCOMPARE(test.state(), int(PeerSpeedTest::Waiting));
}

void TestPeerSpeedTest::peersRequestDoesNotMoveTheOwnSequence()
{
    Link link;
    PeerSpeedTest test(&link.near, &link.near);
    QSignalSpy measured(&test, &PeerSpeedTest::measured);
    QSignalSpy far(&link.far, &Endpoint::receivedMessage);
    // Two rounds: the own request now carries 2.
    reach(test, PeerSpeedTest::Waiting);
    test.handleEvent(PeerSpeedTest::TimerEvent);
    test.handleEvent(PeerSpeedTest::TimerEvent);
    QCOMPARE(test.seq(), 2u);
    // The peer's request 1 arrives meanwhile and is answered with its own number...
    test.onReceivedMessage(message(PeerSpeedTest::Channel, PeerSpeedTest::RequestType, 1, PeerSpeedTest::RequestSize));
    QTRY_COMPARE(seen(far).size(), size_t(3));
    QCOMPARE(seen(far)[2].type, PeerSpeedTest::AckType);
    QCOMPARE(seen(far)[2].seq, 1u);
    QCOMPARE(test.ackSeq(), 1u);
    // ... and the acknowledgement of the own request 2 still counts.
    QCOMPARE(test.seq(), 2u);
    test.onReceivedMessage(message(PeerSpeedTest::Channel, PeerSpeedTest::AckType, 2));
    QCOMPARE(measured.count(), 1);
    QCOMPARE(measured.first().at(0).toUInt(), 2u);
    QCOMPARE(test.state(), int(PeerSpeedTest::Pause));
    QCOMPARE(test.timerInterval(), 5000);
}

void TestPeerSpeedTest::lateAcknowledgementIsIgnored()
{
    Link link;
    PeerSpeedTest test(&link.near, &link.near);
    QSignalSpy measured(&test, &PeerSpeedTest::measured);
    reach(test, PeerSpeedTest::Waiting);
    test.onReceivedMessage(message(PeerSpeedTest::Channel, PeerSpeedTest::AckType, 9)); // not the own seq
    QCOMPARE(measured.count(), 0);
    QCOMPARE(test.state(), int(PeerSpeedTest::Waiting));
    test.handleEvent(PeerSpeedTest::TimerEvent); // 2000 ms passed
    test.onReceivedMessage(message(PeerSpeedTest::Channel, PeerSpeedTest::AckType, 1));
    QCOMPARE(measured.count(), 0);
    QCOMPARE(test.state(), int(PeerSpeedTest::Pause));
}

void TestPeerSpeedTest::rate_data()
{
    QTest::addColumn<qint64>("dt");
    QTest::addColumn<quint64>("kbps");
    QTest::newRow("0 ms counts as 1") << qint64(0) << quint64(64300);
    QTest::newRow("1 ms") << qint64(1) << quint64(64300);
    QTest::newRow("10 ms") << qint64(10) << quint64(6430);
    QTest::newRow("300 ms") << qint64(300) << quint64(192);
    QTest::newRow("1000 ms") << qint64(1000) << quint64(64);
    QTest::newRow("1001 ms") << qint64(1001) << quint64(0);
    QTest::newRow("negative") << qint64(-5) << quint64(64300);
}

void TestPeerSpeedTest::rate()
{
    QFETCH(qint64, dt);
    QFETCH(quint64, kbps);
    QCOMPARE(PeerSpeedTest::rateKBps(dt), kbps);
}

void TestPeerSpeedTest::twoTestsMeasureEachOther()
{
    Link link;
    PeerSpeedTest near(&link.near, &link.near);
    PeerSpeedTest far(&link.far, &link.far);
    QSignalSpy nearMeasured(&near, &PeerSpeedTest::measured);
    QSignalSpy farMeasured(&far, &PeerSpeedTest::measured);
    near.start();
    far.start();
    QTRY_VERIFY_WITH_TIMEOUT(nearMeasured.count() >= 1 && farMeasured.count() >= 1, 30000);
    QCOMPARE(nearMeasured.first().at(0).toUInt(), 1u);
    QCOMPARE(farMeasured.first().at(0).toUInt(), 1u);
    near.stop();
    far.stop();
    QVERIFY(!near.isTimerActive());
    QCOMPARE(near.state(), int(PeerSpeedTest::Idle));
}

QTEST_MAIN(TestPeerSpeedTest)
#include "tst_peerspeedtest.moc"
