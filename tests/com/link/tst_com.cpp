// The transport registry: order of transports, routing of datagrams,
// re-sorting after PONGs, the NAT-type switch of the TURN relay, accepted
// connections, and two registries in two processes carrying sealed, reliable
// frames between two endpoints over loopback TCP, and a registry that paces
// its sessions beside one that does not, both ways over TCP and UDP.
//
// Run with --com-peer the program is that second process: the echo side.
#include "com/link/com.h"
#include "com/link/endpoint.h"
#include "com/kcp/ikcp.h"
#include "com/kcp/kcp.h"
#include "com/transport/transport.h"
#include "com/transport/transporttcp.h"
#include "com/transport/transportturn.h"
#include "com/transport/transportudp.h"
#include "crypto/crypto.h"

#include <QNetworkProxy>
#include <QProcess>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using com::Com;

namespace {

constexpr quint32 kConv = 0x5EC0C0A1;
constexpr crypto::KeyId kKeyToPeer = 20;
constexpr crypto::KeyId kKeyFromPeer = 30;

QString uuidFor(int n)
{
    return QStringLiteral("{c0ffee00-0000-4000-8000-%1}").arg(n, 12, 10, QLatin1Char('0'));
}

TransportDto makeDto(int n, const QString& type, const QString& host = QStringLiteral("127.0.0.1"),
                     quint16 port = 1)
{
    TransportDto dto;
    dto.uuid = uuidFor(n);
    dto.type = type;
    dto.host = host;
    dto.port = port;
    dto.stream = type == QLatin1String("tcp") || type == QLatin1String("onion");
    return dto;
}

// A transport whose state, rtt and receive time the test sets.
class FakeTransport : public Transport
{
public:
    FakeTransport(int n, const QString& type, int state = StateUp, int rtt = 100)
        : Transport(makeDto(n, type))
        , m_state(state)
        , m_rtt(rtt)
    {
    }

    int state() const override { return m_state; }
    int rtt() const override { return m_rtt; }
    void setRtt(int rtt) override { m_rtt = rtt; }
    void mount() override { setMounted(true); }
    void unmount() override { setMounted(false); }
    void transmit(const quint8* buf, size_t length, int waitSend) override
    {
        Q_UNUSED(waitSend)
        sent.append(QByteArray(reinterpret_cast<const char*>(buf), int(length)));
    }

    void setState(int state) { m_state = state; }
    void receiveNow() { restartLastRx(); }
    void datagramOpened() override { ++opened; }

    QList<QByteArray> sent;
    int opened = 0;

private:
    int m_state;
    int m_rtt;
};

QString typeName(int i)
{
    static const char* const names[] = {"tcp", "onion", "udp"};
    return QString::fromLatin1(names[i % 3]);
}

// Frames as the endpoints cut them: a u32 field (tag 7) holding the total
// length, then the sequence number, then bytes that depend on both.
std::vector<unsigned char> makeFrame(quint32 seq, int size)
{
    std::vector<unsigned char> f(size_t(size), 0);
    f[0] = 7;
    for (int i = 0; i < 4; ++i) {
        f[size_t(1 + i)] = quint8(quint32(size) >> (8 * i));
        f[size_t(5 + i)] = quint8(seq >> (8 * i));
    }
    for (int i = 9; i < size; ++i)
        f[size_t(i)] = quint8(seq * 31 + quint32(i) * 7);
    return f;
}

int frameSize(quint32 seq)
{
    // From a few bytes to well over one KCP segment, up to the largest
    // chunk of file data.
    static const int sizes[] = {9, 100, 1376, 1377, 4000, 20000, 64400, 300};
    return sizes[seq % 8];
}

QByteArray hex(const quint8* key)
{
    return QByteArray(reinterpret_cast<const char*>(key), 32).toHex();
}

void setKeys(Endpoint& e, const QByteArray& rxHex, crypto::KeyId rxId, const QByteArray& txHex, crypto::KeyId txId)
{
    const QByteArray rx = QByteArray::fromHex(rxHex);
    const QByteArray tx = QByteArray::fromHex(txHex);
    e.setRxKey(rxId, reinterpret_cast<const quint8*>(rx.constData()));
    e.setTxKey(txId, reinterpret_cast<const quint8*>(tx.constData()));
    e.setKcpSession(kConv);
}

QString option(const QStringList& args, const QString& name)
{
    for (const QString& a : args)
        if (a.startsWith(name + QLatin1Char('=')))
            return a.mid(name.size() + 1);
    return QString();
}

// The second process: listens on 127.0.0.1, mounts every incoming
// connection on its endpoint and sends every frame back. With
// --abort-after=K it aborts the connection once, after the K-th frame.
// Prints "PORT <n>" when it listens; quits when its input closes.
int runPeer(QCoreApplication& app)
{
    const QStringList args = app.arguments();
    Crypto crypto;
    Com registry;
    Endpoint endpoint;
    endpoint.setObjectName(QStringLiteral("echo"));
    setKeys(endpoint, option(args, QStringLiteral("--rx-key")).toLatin1(), kKeyToPeer,
            option(args, QStringLiteral("--tx-key")).toLatin1(), kKeyFromPeer);
    const int abortAfter = option(args, QStringLiteral("--abort-after")).toInt();
    int frames = 0;
    int connections = 0;

    QObject::connect(&registry, &Com::newIncomingTransport, &registry, [&](TransportDto dto) {
        ++connections;
        registry.mountTransport(dto, &endpoint);
    });
    QObject::connect(&endpoint, &Endpoint::receivedMessage, &endpoint, [&](std::vector<unsigned char> frame) {
        ++frames;
        endpoint.send(frame.data(), frame.size());
        if (frames == abortAfter) {
            for (Transport* t : registry.transports())
                if (auto* tcp = qobject_cast<TransportTcp*>(t))
                    if (tcp->socket())
                        tcp->socket()->abort();
        }
    });
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    if (!registry.isListening())
        return 2;
    std::printf("PORT %u\n", unsigned(registry.listenPort()));
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buf[64];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0) {
            std::printf("FRAMES %d CONNECTIONS %d\n", frames, connections);
            std::fflush(stdout);
            app.quit();
        }
    });
    return app.exec();
}

struct Echoed
{
    quint32 seq;
    bool intact;
};

Echoed checkFrame(const std::vector<unsigned char>& frame)
{
    quint32 seq = 0;
    if (frame.size() >= 9)
        for (int i = 0; i < 4; ++i)
            seq |= quint32(frame[size_t(5 + i)]) << (8 * i);
    return {seq, frame == makeFrame(seq, frameSize(seq))};
}

} // namespace

class TestCom : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void order_data();
    void order();
    void orderIsStrictWeak();

    void routing_data();
    void routing();
    void routingSkipsUnusable();
    void routingStopsAtFirstFresh();
    void routingReceiveAges();
    void routingPutsHeardTransportsFirst_data();
    void routingPutsHeardTransportsFirst();
    void routingAfterRenewedSession();
    void openedDatagramsReachTheTransport();
    void noTransportDrops();
    void sessionPacedForBestTransport();

    void pongResorts();
    void natTypeSwitchesTurn();
    void startKeepsTurnWithNatType();
    void turnDisabledCreatesNothing();
    void transportsByType();
    void onionDialsThroughSocks();
    void configureAndHosts();
    void endpointDeletedDropsMount();
    void unmountKeepsList();

    void acceptedConnections();
    void acceptedClosedNeverDialled();
    void stopDropsAccepted();
    void outgoingFollowsNetwork();
    void incomingLimits();
    void unauthenticatedIncomingClosed();
    void authenticatedIncomingStays();
    void incomingSourceKey_data();
    void incomingSourceKey();
    void acceptResumesAfterResourceError();

    void usableAddresses_data();
    void usableAddresses();
    void localTransports();

    void twoProcesses_data();
    void twoProcesses();
    void originalAndPacedBothWays_data();
    void originalAndPacedBothWays();

private:
    std::unique_ptr<Crypto> m_crypto;
};

void TestCom::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
}

void TestCom::order_data()
{
    QTest::addColumn<int>("stateA");
    QTest::addColumn<QString>("typeA");
    QTest::addColumn<int>("rttA");
    QTest::addColumn<int>("stateB");
    QTest::addColumn<QString>("typeB");
    QTest::addColumn<int>("rttB");
    QTest::addColumn<bool>("aFirst");
    QTest::addColumn<bool>("bFirst");

    const QString tcp = QStringLiteral("tcp"), onion = QStringLiteral("onion"), udp = QStringLiteral("udp");
    QTest::newRow("up onion with low rtt after up tcp") << 0 << onion << 1 << 0 << tcp << 900 << false << true;
    QTest::newRow("up tcp with lower rtt before up onion") << 0 << tcp << 10 << 0 << onion << 20 << true << false;
    QTest::newRow("up onion before down tcp") << 0 << onion << 900 << 1 << tcp << 1 << true << false;
    QTest::newRow("up onion before connecting tcp") << 0 << onion << 900 << 2 << tcp << 1 << true << false;
    QTest::newRow("up by rtt") << 0 << udp << 30 << 0 << tcp << 40 << true << false;
    QTest::newRow("down by rtt") << 1 << tcp << 50 << 2 << udp << 40 << false << true;
    QTest::newRow("down onion after down tcp") << 1 << onion << 1 << 1 << tcp << 90 << false << true;
    QTest::newRow("equal") << 0 << tcp << 40 << 0 << udp << 40 << false << false;
    QTest::newRow("both onion by rtt") << 0 << onion << 40 << 0 << onion << 41 << true << false;
}

void TestCom::order()
{
    QFETCH(int, stateA);
    QFETCH(QString, typeA);
    QFETCH(int, rttA);
    QFETCH(int, stateB);
    QFETCH(QString, typeB);
    QFETCH(int, rttB);
    QFETCH(bool, aFirst);
    QFETCH(bool, bFirst);
    FakeTransport a(1, typeA, stateA, rttA);
    FakeTransport b(2, typeB, stateB, rttB);
    QCOMPARE(Com::goesBefore(&a, &b), aFirst);
    QCOMPARE(Com::goesBefore(&b, &a), bFirst);
}

// std::sort needs a strict weak ordering; every mix of state, type and rtt
// is checked, and a sorted list comes out as (not up, onion, rtt).
void TestCom::orderIsStrictWeak()
{
    std::vector<std::unique_ptr<FakeTransport>> all;
    const int rtts[] = {1, 50, 1000000};
    int n = 0;
    for (int state = 0; state < 3; ++state)
        for (int type = 0; type < 3; ++type)
            for (int rtt : rtts)
                all.emplace_back(new FakeTransport(++n, typeName(type), state, rtt));
    auto less = [](const std::unique_ptr<FakeTransport>& a, const std::unique_ptr<FakeTransport>& b) {
        return Com::goesBefore(a.get(), b.get());
    };
    for (auto& a : all) {
        QVERIFY(!less(a, a));
        for (auto& b : all) {
            if (less(a, b))
                QVERIFY(!less(b, a));
            for (auto& c : all) {
                if (less(a, b) && less(b, c))
                    QVERIFY(less(a, c));
                const bool abEq = !less(a, b) && !less(b, a);
                const bool bcEq = !less(b, c) && !less(c, b);
                if (abEq && bcEq)
                    QVERIFY(!less(a, c) && !less(c, a));
            }
        }
    }
    std::vector<Transport*> list;
    for (int i = int(all.size()) - 1; i >= 0; --i)
        list.push_back(all[size_t((i * 7) % int(all.size()))].get());
    std::sort(list.begin(), list.end(), &Com::goesBefore);
    for (size_t i = 1; i < list.size(); ++i) {
        auto key = [](const Transport* t) {
            return std::make_tuple(t->state() != 0, t->dto().type == QLatin1String("onion"), t->rtt());
        };
        QVERIFY(key(list[i - 1]) <= key(list[i]));
    }
}

void TestCom::routing_data()
{
    QTest::addColumn<int>("xmit");
    QTest::addColumn<QString>("firstType");
    QTest::addColumn<bool>("firstFresh");
    QTest::addColumn<int>("filter");
    QTest::addColumn<bool>("firstUsed");
    QTest::addColumn<bool>("secondUsed");

    // The second transport is always a fresh "udp" one.
    const int xmits[] = {0, 1, 2, 9, 10, 11, 19, 20, 21, 30, 1000};
    const char* const types[] = {"tcp", "onion", "udp"};
    for (int xmit : xmits) {
        for (const char* type : types) {
            const bool stream = qstrcmp(type, "udp") != 0;
            // Retransmissions skip streams, except every tenth transmission.
            const bool firstUsed = !(stream && xmit >= 2 && xmit % 10 != 0);
            for (bool fresh : {true, false}) {
                for (int filter : {16, 32}) {
                    const bool secondUsed = filter == 32 || !(firstUsed && fresh);
                    QTest::addRow("xmit %d %s %s filter %d", xmit, type, fresh ? "fresh" : "stale", filter)
                        << xmit << QString::fromLatin1(type) << fresh << filter << firstUsed << secondUsed;
                }
            }
        }
    }
}

void TestCom::routing()
{
    QFETCH(int, xmit);
    QFETCH(QString, firstType);
    QFETCH(bool, firstFresh);
    QFETCH(int, filter);
    QFETCH(bool, firstUsed);
    QFETCH(bool, secondUsed);

    Com registry;
    Endpoint endpoint;
    auto* first = new FakeTransport(1, firstType);
    auto* second = new FakeTransport(2, QStringLiteral("udp"));
    for (FakeTransport* t : {first, second}) {
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &endpoint);
        t->mount();
    }
    if (firstFresh)
        first->receiveNow();
    second->receiveNow();

    const QByteArray datagram("sealed");
    emit endpoint.transmit(TransportFilter(filter), reinterpret_cast<const quint8*>(datagram.constData()),
                           size_t(datagram.size()), xmit, 0);
    QCOMPARE(first->sent.size(), firstUsed ? 1 : 0);
    QCOMPARE(second->sent.size(), secondUsed ? 1 : 0);
    if (firstUsed)
        QCOMPARE(first->sent.first(), datagram);
    QCOMPARE(registry.droppedDatagrams(), quint64(0));
}

// Transports that are not mounted or not up are passed over.
void TestCom::routingSkipsUnusable()
{
    Com registry;
    Endpoint endpoint;
    auto* unmounted = new FakeTransport(1, QStringLiteral("udp"));
    auto* down = new FakeTransport(2, QStringLiteral("udp"), Transport::StateDown);
    auto* connecting = new FakeTransport(3, QStringLiteral("tcp"), Transport::StateConnecting);
    auto* usable = new FakeTransport(4, QStringLiteral("udp"));
    for (FakeTransport* t : {unmounted, down, connecting, usable}) {
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &endpoint);
        if (t != unmounted)
            t->mount();
    }
    const quint8 byte = 1;
    emit endpoint.transmit(TransportFilterAll, &byte, 1, 1, 0);
    QCOMPARE(unmounted->sent.size(), 0);
    QCOMPARE(down->sent.size(), 0);
    QCOMPARE(connecting->sent.size(), 0);
    QCOMPARE(usable->sent.size(), 1);
}

// With filter 16 the datagram goes down the list until a transport that
// received recently has been used.
void TestCom::routingStopsAtFirstFresh()
{
    Com registry;
    Endpoint endpoint;
    std::vector<FakeTransport*> list;
    for (int i = 0; i < 5; ++i) {
        auto* t = new FakeTransport(i + 1, QStringLiteral("udp"));
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &endpoint);
        t->mount();
        list.push_back(t);
    }
    list[3]->receiveNow();
    list[4]->receiveNow();
    const quint8 byte = 1;
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 1, 0);
    QCOMPARE(list[0]->sent.size(), 1);
    QCOMPARE(list[1]->sent.size(), 1);
    QCOMPARE(list[2]->sent.size(), 1);
    QCOMPARE(list[3]->sent.size(), 1);
    QCOMPARE(list[4]->sent.size(), 0);
    emit endpoint.transmit(TransportFilterAll, &byte, 1, 1, 0);
    for (FakeTransport* t : list)
        QVERIFY(!t->sent.isEmpty());
    QCOMPARE(list[4]->sent.size(), 1);
}

// The session is paced for the transport that carries it: the first one a
// datagram goes out on. A resend that skipped the streams changes nothing.
void TestCom::sessionPacedForBestTransport()
{
    Com registry;
    Endpoint endpoint;
    auto* tcp = new FakeTransport(1, QStringLiteral("tcp"), Transport::StateUp, 10);
    auto* udp = new FakeTransport(2, QStringLiteral("udp"), Transport::StateUp, 20);
    for (FakeTransport* t : {tcp, udp}) {
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &endpoint);
        t->mount();
        t->receiveNow();
    }
    QVERIFY(!tcp->isDatagram());
    QVERIFY(udp->isDatagram());
    QCOMPARE(endpoint.kcp()->path(), Kcp::PathUnknown);
    const quint8 byte = 1;
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 1, 0);
    QCOMPARE(tcp->sent.size(), 1);
    QCOMPARE(endpoint.kcp()->path(), Kcp::PathStream);

    // A resend goes to the datagram transport only and says nothing of the path.
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 2, 0);
    QCOMPARE(udp->sent.size(), 1);
    QCOMPARE(endpoint.kcp()->path(), Kcp::PathStream);

    tcp->setState(Transport::StateDown);
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 0, 0);
    QCOMPARE(udp->sent.size(), 2);
    QCOMPARE(endpoint.kcp()->path(), Kcp::PathDatagram);
}

// A transport that received, but longer ago than the window, counts as
// silent. (The window is long enough that the first transmit comes well
// within it even on a machine that stalls for a moment.)
void TestCom::routingReceiveAges()
{
    Com registry;
    registry.setFreshReceiveWindow(1000);
    Endpoint endpoint;
    auto* first = new FakeTransport(1, QStringLiteral("udp"));
    auto* second = new FakeTransport(2, QStringLiteral("udp"));
    for (FakeTransport* t : {first, second}) {
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &endpoint);
        t->mount();
    }
    first->receiveNow();
    const quint8 byte = 1;
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 1, 0);
    QCOMPARE(second->sent.size(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(first->lastRx().elapsed() > 1000, 10000);
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 1, 0);
    QCOMPARE(first->sent.size(), 2);
    QCOMPARE(second->sent.size(), 1);
}

// A transport the peer never sends on (the far end of a connection it does
// not use, a UDP transport it has not taken up yet) must not carry a copy of
// every datagram: once a datagram had to pass silent transports, the list
// puts the ones that hear from the peer first, and the next datagram goes
// out once. Where all are silent, all keep carrying them.
void TestCom::routingPutsHeardTransportsFirst_data()
{
    QTest::addColumn<QStringList>("types");
    QTest::addColumn<QList<bool>>("heard");
    QTest::addColumn<QList<int>>("firstSent");  // per transport, for the first datagram
    QTest::addColumn<QList<int>>("laterSent");  // per transport, for the next one

    const QString tcp = QStringLiteral("tcp"), udp = QStringLiteral("udp");
    QTest::newRow("silent connection before the one the peer uses")
        << QStringList{tcp, tcp} << QList<bool>{false, true} << QList<int>{1, 1} << QList<int>{0, 1};
    QTest::newRow("silent udp before a tcp the peer uses")
        << QStringList{udp, tcp} << QList<bool>{false, true} << QList<int>{1, 1} << QList<int>{0, 1};
    QTest::newRow("two silent before the heard one")
        << QStringList{udp, tcp, tcp} << QList<bool>{false, false, true} << QList<int>{1, 1, 1}
        << QList<int>{0, 0, 1};
    QTest::newRow("the first one heard") << QStringList{tcp, udp} << QList<bool>{true, true} << QList<int>{1, 0}
                                         << QList<int>{1, 0};
    QTest::newRow("none heard") << QStringList{tcp, udp} << QList<bool>{false, false} << QList<int>{1, 1}
                                << QList<int>{1, 1};
}

void TestCom::routingPutsHeardTransportsFirst()
{
    QFETCH(QStringList, types);
    QFETCH(QList<bool>, heard);
    QFETCH(QList<int>, firstSent);
    QFETCH(QList<int>, laterSent);

    Com registry;
    Endpoint endpoint;
    std::vector<FakeTransport*> list;
    for (int i = 0; i < types.size(); ++i) {
        // Lower rtt first: the order that the rtt alone would give.
        auto* t = new FakeTransport(i + 1, types[i], Transport::StateUp, 10 * (i + 1));
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &endpoint);
        t->mount();
        if (heard[i])
            t->receiveNow();
        list.push_back(t);
    }
    const quint8 byte = 1;
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 1, 0);
    for (int i = 0; i < types.size(); ++i)
        QCOMPARE(list[size_t(i)]->sent.size(), firstSent[i]);
    // The re-sort runs in a later pass of the event loop; a datagram sent
    // before it still walks the old order, so wait for the order itself.
    const int expectedFirst = int(heard.indexOf(true));
    if (expectedFirst >= 0)
        QTRY_COMPARE(registry.endpointTransports(&endpoint).front(), static_cast<Transport*>(list[size_t(expectedFirst)]));
    else
        QTest::qWait(1);
    for (FakeTransport* t : list)
        t->sent.clear();
    emit endpoint.transmit(TransportFilterBest, &byte, 1, 1, 0);
    for (int i = 0; i < types.size(); ++i)
        QCOMPARE(list[size_t(i)]->sent.size(), laterSent[i]);
}

// A peer that was restarted starts a new session; a UDP transport (or a
// relay) outlives that and has received from the peer's former process,
// perhaps from a port that is gone now. Such traffic must not end the walk:
// the first datagrams of the new session would go there only and be lost
// until resent many times. Only what a transport received since the session
// began counts; the same conv keeps the session and what it heard.
void TestCom::routingAfterRenewedSession()
{
    Com registry;
    Endpoint endpoint;
    endpoint.setKcpSession(kConv);
    auto* udp = new FakeTransport(1, QStringLiteral("udp"), Transport::StateUp, 10);
    auto* tcp = new FakeTransport(2, QStringLiteral("tcp"), Transport::StateUp, 20);
    for (FakeTransport* t : {udp, tcp}) {
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &endpoint);
        t->mount();
        t->receiveNow();
    }
    const quint8 byte = 1;
    auto sendOne = [&] {
        udp->sent.clear();
        tcp->sent.clear();
        emit endpoint.transmit(TransportFilterBest, &byte, 1, 1, 0);
        return QList<int>{udp->sent.size(), tcp->sent.size()};
    };
    // Heard in the running session: the first transport carries it alone.
    QCOMPARE(sendOne(), (QList<int>{1, 0}));

    // The clock must have passed the receives before the session changes.
    QTRY_VERIFY_WITH_TIMEOUT(udp->lastRx().nsecsElapsed() > 0 && tcp->lastRx().nsecsElapsed() > 0, 10000);
    endpoint.setKcpSession(kConv + 1);
    // Neither has heard the new session: both carry the datagram.
    QCOMPARE(sendOne(), (QList<int>{1, 1}));
    QCOMPARE(sendOne(), (QList<int>{1, 1}));

    // The peer's new process is heard on the connection: that one ends the
    // walk and goes first once the list is sorted again.
    tcp->receiveNow();
    QCOMPARE(sendOne(), (QList<int>{1, 1}));
    QTRY_COMPARE_WITH_TIMEOUT(registry.endpointTransports(&endpoint).front(), static_cast<Transport*>(tcp), 10000);
    QCOMPARE(sendOne(), (QList<int>{0, 1}));

    // The same conv again is the same session: nothing heard is forgotten.
    endpoint.setKcpSession(kConv + 1);
    QCOMPARE(sendOne(), (QList<int>{0, 1}));
    QCOMPARE(registry.droppedDatagrams(), quint64(0));
}

void TestCom::noTransportDrops()
{
    Com registry;
    Endpoint endpoint;
    auto* down = new FakeTransport(1, QStringLiteral("tcp"), Transport::StateDown);
    registry.registerTransport(down);
    registry.mountTransport(down->dto(), &endpoint);
    down->mount();
    const quint8 byte = 1;
    emit endpoint.transmit(TransportFilterAll, &byte, 1, 1, 0);
    QCOMPARE(registry.droppedDatagrams(), quint64(1));
    // A retransmission that only a stream could carry is dropped as well.
    down->setState(Transport::StateUp);
    emit endpoint.transmit(TransportFilterAll, &byte, 1, 3, 0);
    QCOMPARE(registry.droppedDatagrams(), quint64(2));
    QCOMPARE(down->sent.size(), 0);
    // An endpoint without a mount has nowhere to send.
    Endpoint stranger;
    registry.transmitFrom(&stranger, TransportFilterAll, &byte, 1, 1, 0);
    QCOMPARE(registry.droppedDatagrams(), quint64(3));
}

// A PONG sets the transport's rtt in every list that holds it; the lists are
// re-sorted after the delay, one list per pass of the event loop.
void TestCom::pongResorts()
{
    Com registry;
    registry.setSortDelay(500);
    Endpoint e1, e2;
    auto* slow = new FakeTransport(1, QStringLiteral("udp"), Transport::StateUp, 300);
    auto* mid = new FakeTransport(2, QStringLiteral("udp"), Transport::StateUp, 200);
    auto* fast = new FakeTransport(3, QStringLiteral("udp"), Transport::StateUp, 100);
    for (FakeTransport* t : {slow, mid, fast}) {
        registry.registerTransport(t);
        registry.mountTransport(t->dto(), &e1);
        registry.mountTransport(t->dto(), &e2);
    }
    const std::vector<Transport*> registered{slow, mid, fast};
    QCOMPARE(registry.endpointTransports(&e1), registered);

    QElapsedTimer clock;
    clock.start();
    emit e2.receivedPong(mid->dto(), 5);
    QCOMPARE(mid->rtt(), 5);
    emit e1.receivedPong(slow->dto(), 400);
    QCOMPARE(slow->rtt(), 400);
    // Not before the delay. The registry's timer is a coarse one, which Qt
    // may fire up to 5 % early; the lists must be as they were as long as
    // that earliest moment has not come (a machine that stalled here for
    // longer has nothing to show).
    const qint64 earliest = 500 - 500 / 20;
    QCoreApplication::processEvents();
    const std::vector<Transport*> firstPass1 = registry.endpointTransports(&e1);
    const std::vector<Transport*> firstPass2 = registry.endpointTransports(&e2);
    if (clock.elapsed() < earliest) {
        QCOMPARE(firstPass1, registered);
        QCOMPARE(firstPass2, registered);
    }

    const std::vector<Transport*> byRtt{mid, fast, slow};
    QTRY_COMPARE_WITH_TIMEOUT(registry.endpointTransports(&e1), byRtt, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(registry.endpointTransports(&e2), byRtt, 10000);
    QVERIFY(clock.elapsed() >= earliest);
}

void TestCom::natTypeSwitchesTurn()
{
    Com registry;
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    Endpoint endpoint;
    registry.mountTransport(makeDto(1, QStringLiteral("udp")), &endpoint);
    registry.mountTransport(makeDto(2, QStringLiteral("udp")), &endpoint);
    registry.mountTransport(makeDto(3, QStringLiteral("turn"), QString(), 0), &endpoint);
    auto* udp1 = qobject_cast<TransportUdp*>(registry.findTransport(uuidFor(1)));
    auto* udp2 = qobject_cast<TransportUdp*>(registry.findTransport(uuidFor(2)));
    auto* turn = qobject_cast<TransportTurn*>(registry.findTransport(uuidFor(3)));
    QVERIFY(udp1 && udp2 && turn);
    QCOMPARE(registry.endpointTransports(&endpoint).size(), size_t(3));
    QVERIFY(udp1->isMounted());
    QVERIFY(!turn->isMounted());

    udp1->setNatType(TransportUdp::NatCone);
    QCOMPARE(registry.natType(), 1u);
    QVERIFY(!turn->isMounted());
    udp1->setNatType(TransportUdp::NatSymmetric);
    QCOMPARE(registry.natType(), 2u);
    QVERIFY(turn->isMounted());
    // The same value from another transport changes nothing.
    turn->unmount();
    udp2->setNatType(TransportUdp::NatSymmetric);
    QVERIFY(!turn->isMounted());
    udp2->setNatType(TransportUdp::NatNoStunResult);
    QCOMPARE(registry.natType(), 3u);
    QVERIFY(turn->isMounted());
    udp1->setNatType(TransportUdp::NatCone);
    QCOMPARE(registry.natType(), 1u);
    QVERIFY(!turn->isMounted());
}

// Starting the network mounts everything but TURN, which follows the NAT
// type; stopping unmounts all, and TURN stays off while the network is.
void TestCom::startKeepsTurnWithNatType()
{
    Com registry;
    Endpoint endpoint;
    registry.mountTransport(makeDto(1, QStringLiteral("udp")), &endpoint);
    registry.mountTransport(makeDto(2, QStringLiteral("turn"), QString(), 0), &endpoint);
    auto* udp = qobject_cast<TransportUdp*>(registry.findTransport(uuidFor(1)));
    auto* turn = qobject_cast<TransportTurn*>(registry.findTransport(uuidFor(2)));
    QVERIFY(udp && turn);
    QVERIFY(!udp->isMounted());

    udp->setNatType(TransportUdp::NatCone);
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QVERIFY(registry.isListening());
    QVERIFY(udp->isMounted());
    QVERIFY(!turn->isMounted());
    registry.stopTcpServer();
    QVERIFY(!udp->isMounted());

    udp->setNatType(TransportUdp::NatSymmetric);
    QVERIFY(!turn->isMounted());
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QVERIFY(turn->isMounted());
    registry.stopTcpServer();
    QVERIFY(!turn->isMounted());
    QVERIFY(!registry.isListening());
}

void TestCom::turnDisabledCreatesNothing()
{
    Com registry;
    QVERIFY(registry.isTurnEnabled());
    registry.setTurnEnabled(false);
    Endpoint endpoint;
    registry.mountTransport(makeDto(1, QStringLiteral("turn"), QString(), 0), &endpoint);
    QVERIFY(registry.transports().empty());
    QVERIFY(registry.hasMount(&endpoint));
    QVERIFY(registry.endpointTransports(&endpoint).empty());
}

void TestCom::transportsByType()
{
    Com registry;
    registry.setRedialDelay(1234);
    QSignalSpy incoming(&registry, &Com::newIncomingTransport);
    Endpoint endpoint;
    registry.mountTransport(makeDto(1, QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), 9), &endpoint);
    registry.mountTransport(makeDto(2, QStringLiteral("onion"), QStringLiteral("abcdefgh.onion"), 60391),
                            &endpoint);
    registry.mountTransport(makeDto(3, QStringLiteral("udp")), &endpoint);
    registry.mountTransport(makeDto(4, QStringLiteral("turn"), QString(), 0), &endpoint);
    registry.mountTransport(makeDto(5, QStringLiteral("carrier-pigeon")), &endpoint);
    // Mounting the same record again adds nothing.
    registry.mountTransport(makeDto(1, QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), 9), &endpoint);
    QCOMPARE(registry.transports().size(), size_t(4));
    QCOMPARE(registry.endpointTransports(&endpoint).size(), size_t(4));
    QCOMPARE(incoming.count(), 4);

    auto* tcp = qobject_cast<TransportTcp*>(registry.findTransport(uuidFor(1)));
    QVERIFY(tcp);
    QCOMPARE(tcp->reconnectDelayMs(), 1234);
    QVERIFY(!tcp->isAccepted());
    // The network is off: nothing is mounted, nothing dials.
    QVERIFY(!tcp->isMounted());
    QVERIFY(!tcp->socket());

    auto* onion = qobject_cast<TransportTcp*>(registry.findTransport(uuidFor(2)));
    QVERIFY(onion && onion->socket());
    QCOMPARE(onion->socket()->proxy().type(), QNetworkProxy::Socks5Proxy);
    QCOMPARE(onion->socket()->proxy().hostName(), QStringLiteral("127.0.0.1"));
    QCOMPARE(onion->socket()->proxy().port(), quint16(9350));
    QVERIFY(!onion->isMounted());

    QVERIFY(qobject_cast<TransportUdp*>(registry.findTransport(uuidFor(3))));
    auto* turn = qobject_cast<TransportTurn*>(registry.findTransport(uuidFor(4)));
    QVERIFY(turn);
    QCOMPARE(turn->serverHost(), QString()); // nothing outside is contacted by default
    QCOMPARE(turn->serverPort(), quint16(443));
    QCOMPARE(turn->bindingPort(), quint16(3478));
    QCOMPARE(turn->userName(), QStringLiteral("velm1"));
    QVERIFY(turn->hasPassword());
    QVERIFY(!registry.findTransport(uuidFor(5)));
    for (Transport* t : registry.transports())
        QCOMPARE(t->parent(), &registry);
}

// Once the network is on, an onion transport dials the local Tor's SOCKS
// port and hands it the onion name unresolved, with the port.
void TestCom::onionDialsThroughSocks()
{
    QTcpServer socks;
    QVERIFY(socks.listen(QHostAddress::LocalHost, 0));
    Com registry;
    registry.setSocksProxyPort(socks.serverPort());
    QCOMPARE(registry.socksProxyPort(), socks.serverPort());
    Endpoint endpoint;
    const QString name = QStringLiteral("%1.onion").arg(QString(56, QLatin1Char('b')));
    registry.mountTransport(makeDto(2, QStringLiteral("onion"), name, 60391), &endpoint);
    registry.startTcpServer(QHostAddress::LocalHost, 0);

    QVERIFY(socks.waitForNewConnection(30000) || socks.hasPendingConnections());
    QTcpSocket* client = socks.nextPendingConnection();
    QByteArray got;
    const auto readAtLeast = [&](int n) {
        QTRY_VERIFY_WITH_TIMEOUT((got += client->readAll()).size() >= n, 30000);
    };
    readAtLeast(3);
    QCOMPARE(got.at(0), char(5)); // SOCKS version 5
    QVERIFY(got.mid(2, quint8(got.at(1))).contains(char(0))); // offers no authentication
    got.remove(0, 2 + quint8(got.at(1)));
    client->write(QByteArray("\x05\x00", 2));
    const QByteArray request = QByteArray("\x05\x01\x00\x03", 4) + char(name.size()) + name.toLatin1()
                               + char(60391 >> 8) + char(60391 & 0xff);
    readAtLeast(request.size());
    QCOMPARE(got, request);
    registry.stopTcpServer();
}

void TestCom::configureAndHosts()
{
    Com registry;
    Endpoint endpoint;
    registry.mountTransport(makeDto(1, QStringLiteral("udp"), QString(), 5000), &endpoint);
    registry.mountTransport(makeDto(2, QStringLiteral("turn"), QString(), 0), &endpoint);
    registry.mountTransport(makeDto(3, QStringLiteral("tcp")), &endpoint);
    auto* udp = qobject_cast<TransportUdp*>(registry.findTransport(uuidFor(1)));
    auto* turn = qobject_cast<TransportTurn*>(registry.findTransport(uuidFor(2)));
    QVERIFY(udp && turn);

    const std::vector<TransportDto> peers{makeDto(10, QStringLiteral("udp"), QStringLiteral("127.0.0.1"), 7000),
                                          makeDto(11, QStringLiteral("udp"), QStringLiteral("127.0.0.2"), 7001)};
    registry.configureTransportPeers(makeDto(1, QStringLiteral("udp"), QString(), 5000), peers);
    QCOMPARE(udp->peers().size(), size_t(2));
    // Matched by type, host and port when the uuid differs.
    TransportDto sameAddress = makeDto(99, QStringLiteral("udp"), QString(), 5000);
    registry.configureTransportPeers(sameAddress, {makeDto(12, QStringLiteral("udp"), QStringLiteral("127.0.0.3"), 1)});
    QCOMPARE(udp->peers().size(), size_t(3));
    // The relay takes the first public IPv4 "udp" address of the list.
    std::vector<TransportDto> turnPeers = peers;
    turnPeers.push_back(makeDto(13, QStringLiteral("udp"), QStringLiteral("198.18.7.9"), 7002));
    registry.configureTransportPeers(makeDto(2, QStringLiteral("turn"), QString(), 0), turnPeers);
    QCOMPARE(turn->peerAddress(), QHostAddress(QStringLiteral("198.18.7.9")));
    QCOMPARE(turn->peerPort(), quint16(7002));
    registry.configureTransportPeers(makeDto(3, QStringLiteral("tcp")), peers);

    // Neither the unbound UDP socket nor a relay that is not up gives a host.
    std::vector<TransportDto> hosts;
    registry.getTransportHosts(udp->dto(), hosts);
    registry.getTransportHosts(turn->dto(), hosts);
    registry.getTransportHosts(makeDto(3, QStringLiteral("tcp")), hosts);
    registry.getTransportHosts(makeDto(77, QStringLiteral("udp")), hosts);
    QVERIFY(hosts.empty());
}

void TestCom::endpointDeletedDropsMount()
{
    Com registry;
    auto* kept = new Endpoint;
    auto* gone = new Endpoint;
    auto* t = new FakeTransport(1, QStringLiteral("udp"));
    registry.registerTransport(t);
    registry.mountTransport(t->dto(), kept);
    registry.mountTransport(t->dto(), gone);
    QVERIFY(registry.hasMount(gone));
    delete gone;
    QVERIFY(!registry.hasMount(gone));
    QVERIFY(registry.hasMount(kept));
    QCOMPARE(registry.transports().size(), size_t(1));
    t->mount();
    const quint8 byte = 1;
    emit kept->transmit(TransportFilterAll, &byte, 1, 1, 0);
    QCOMPARE(t->sent.size(), 1);
    delete kept;
}

void TestCom::unmountKeepsList()
{
    Com registry;
    Endpoint endpoint;
    auto* t = new FakeTransport(1, QStringLiteral("udp"));
    registry.registerTransport(t);
    registry.mountTransport(t->dto(), &endpoint);
    t->mount();
    registry.unmountTransport(t->dto(), nullptr);
    QVERIFY(!t->isMounted());
    QCOMPARE(registry.endpointTransports(&endpoint).size(), size_t(1));
}

// Every accepted connection becomes a transport of its own that never
// dials; its datagrams reach the endpoints it is mounted on, its public-key
// datagrams the registry's signal; when it closes it leaves every list.
void TestCom::acceptedConnections()
{
    Com registry;
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QVERIFY(registry.isListening());
    QVERIFY(registry.listenPort() != 0);
    QSignalSpy incoming(&registry, &Com::newIncomingTransport);
    QList<QPair<QString, QByteArray>> pki;
    QObject::connect(&registry, &Com::receivedPubkeyEncryptedMessage, &registry,
                     [&](TransportDto from, const quint8* buf, size_t length) {
                         pki.append({from.uuid, QByteArray(reinterpret_cast<const char*>(buf), int(length))});
                     });
    Endpoint endpoint;

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    QVERIFY(client.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 1, 10000);
    const TransportDto dto = incoming.first().first().value<TransportDto>();
    QCOMPARE(dto.type, QStringLiteral("tcp"));
    QCOMPARE(dto.host, QStringLiteral("127.0.0.1"));
    QCOMPARE(dto.port, client.localPort());
    QVERIFY(dto.stream);
    auto* accepted = qobject_cast<TransportTcp*>(registry.findTransport(dto.uuid));
    QVERIFY(accepted);
    QVERIFY(accepted->isAccepted());
    QVERIFY(accepted->isMounted());
    QCOMPARE(accepted->state(), int(Transport::StateUp));
    registry.mountTransport(dto, &endpoint);
    QCOMPARE(registry.endpointTransports(&endpoint).size(), size_t(1));

    // A public-key datagram reaches the registry's signal.
    unsigned char pk[32], sk[32], peerPk[32], peerSk[32];
    crypto::generateKeyPair(pk, sk);
    crypto::generateKeyPair(peerPk, peerSk);
    QByteArray sealed(100 + 74, '\0');
    unsigned long long clen = quint64(sealed.size());
    const QByteArray plain(100, 'h');
    QCOMPARE(crypto::encryptMessagePKI(pk, sk, peerPk, reinterpret_cast<const unsigned char*>(plain.constData()),
                                       quint64(plain.size()), reinterpret_cast<unsigned char*>(sealed.data()), &clen),
             0);
    client.write(sealed);
    QTRY_COMPARE_WITH_TIMEOUT(pki.count(), 1, 10000);
    QCOMPARE(pki.first().first, dto.uuid);
    QCOMPARE(pki.first().second, sealed);

    // The endpoint's datagrams go back on the accepted connection.
    const QByteArray datagram("datagram");
    emit endpoint.transmit(TransportFilterAll, reinterpret_cast<const quint8*>(datagram.constData()),
                           size_t(datagram.size()), 1, 0);
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(got += client.readAll(), datagram, 10000);

    // Reconnecting brings a new transport; the closed one leaves.
    QTcpSocket again;
    again.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    QVERIFY(again.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 2, 10000);
    QCOMPARE(registry.transports().size(), size_t(2));
    QPointer<TransportTcp> first(accepted);
    client.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 10000);
    QCOMPARE(registry.transports().size(), size_t(1));
    QVERIFY(registry.endpointTransports(&endpoint).empty());
    QVERIFY(!registry.findTransport(dto.uuid));

    // A socket destroyed under the transport closes it just the same.
    auto* second = qobject_cast<TransportTcp*>(registry.transports().front());
    QPointer<TransportTcp> secondGuard(second);
    delete second->socket();
    QTRY_VERIFY_WITH_TIMEOUT(secondGuard.isNull(), 10000);
    QVERIFY(registry.transports().empty());
}

// The record of a closed incoming connection, mounted later by a peer, must
// not turn into a transport that dials the remote's ephemeral port.
void TestCom::acceptedClosedNeverDialled()
{
    Com registry;
    registry.setRedialDelay(20);
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QSignalSpy incoming(&registry, &Com::newIncomingTransport);
    QTcpServer remote; // stands at the address the record names
    QVERIFY(remote.listen(QHostAddress::LocalHost, 0));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    QVERIFY(client.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 1, 10000);
    TransportDto dto = incoming.first().first().value<TransportDto>();
    client.disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(registry.transports().empty(), 10000);

    // Even were something listening at that address, it is not dialled.
    dto.port = remote.serverPort();
    Endpoint endpoint;
    registry.mountTransport(dto, &endpoint);
    QVERIFY(registry.transports().empty());
    QVERIFY(registry.endpointTransports(&endpoint).empty());
    QTest::qWait(100);
    QVERIFY(!remote.hasPendingConnections());
}

void TestCom::stopDropsAccepted()
{
    Com registry;
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QSignalSpy incoming(&registry, &Com::newIncomingTransport);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    QVERIFY(client.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 1, 10000);
    registry.stopTcpServer();
    QTRY_VERIFY_WITH_TIMEOUT(registry.transports().empty(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    QVERIFY(!late.waitForConnected(1000));
}

// An outgoing transport dials only while the network is enabled, and
// redials with the registry's delay.
void TestCom::outgoingFollowsNetwork()
{
    QTcpServer remote;
    QVERIFY(remote.listen(QHostAddress::LocalHost, 0));
    Com registry;
    registry.setRedialDelay(30);
    Endpoint endpoint;
    const TransportDto dto = makeDto(1, QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), remote.serverPort());
    registry.mountTransport(dto, &endpoint);
    QTest::qWait(50);
    QVERIFY(!remote.hasPendingConnections());

    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QTRY_VERIFY_WITH_TIMEOUT(remote.hasPendingConnections(), 10000);
    std::unique_ptr<QTcpSocket> first(remote.nextPendingConnection());
    auto* tcp = qobject_cast<TransportTcp*>(registry.findTransport(dto.uuid));
    QTRY_COMPARE_WITH_TIMEOUT(tcp->state(), int(Transport::StateUp), 10000);
    first->abort();
    QTRY_VERIFY_WITH_TIMEOUT(remote.hasPendingConnections(), 10000);
    std::unique_ptr<QTcpSocket> second(remote.nextPendingConnection());
    QTRY_COMPARE_WITH_TIMEOUT(tcp->state(), int(Transport::StateUp), 10000);
    // Outgoing transports stay registered whatever happens to them.
    QCOMPARE(registry.findTransport(dto.uuid), tcp);

    registry.stopTcpServer();
    QTRY_COMPARE_WITH_TIMEOUT(tcp->state(), int(Transport::StateDown), 10000);
    second->abort();
    QTest::qWait(100);
    QVERIFY(!remote.hasPendingConnections());
}

// A connection from 127.0.0.x: the loopback range stands in for distinct
// remote machines.
std::unique_ptr<QTcpSocket> connectFrom(const QString& source, quint16 port)
{
    std::unique_ptr<QTcpSocket> client(new QTcpSocket);
    if (!client->bind(QHostAddress(source), 0))
        return nullptr;
    client->connectToHost(QHostAddress::LocalHost, port);
    if (!client->waitForConnected(10000))
        return nullptr;
    return client;
}

// The accepted transport of a client's connection; null when there is none.
TransportTcp* acceptedFor(const Com& registry, const QTcpSocket* client)
{
    for (Transport* t : registry.transports()) {
        auto* tcp = qobject_cast<TransportTcp*>(t);
        if (tcp && tcp->isAccepted() && tcp->dto().port == client->localPort()
            && tcp->dto().host == client->localAddress().toString())
            return tcp;
    }
    return nullptr;
}

bool isUp(const Com& registry, const QTcpSocket* client)
{
    const TransportTcp* t = acceptedFor(registry, client);
    return t && t->state() == Transport::StateUp && client->state() == QAbstractSocket::ConnectedState;
}

// A datagram sealed for a fresh key pair by another: what a stranger can
// always send.
QByteArray publicKeyDatagram(char fill)
{
    unsigned char pk[32], sk[32], peerPk[32], peerSk[32];
    crypto::generateKeyPair(pk, sk);
    crypto::generateKeyPair(peerPk, peerSk);
    const QByteArray plain(100, fill);
    QByteArray sealed(plain.size() + int(crypto::PublicKeyOverhead), '\0');
    unsigned long long clen = quint64(sealed.size());
    if (crypto::encryptMessagePKI(pk, sk, peerPk, reinterpret_cast<const unsigned char*>(plain.constData()),
                                  quint64(plain.size()), reinterpret_cast<unsigned char*>(sealed.data()), &clen)
        != crypto::EncryptMsgOk)
        return QByteArray();
    sealed.resize(int(clen));
    return sealed;
}

QByteArray sessionDatagram(crypto::KeyId keyId, const quint8* key)
{
    const QByteArray plain(40, 's');
    QByteArray sealed(plain.size() + int(crypto::SessionOverhead), '\0');
    unsigned long long clen = quint64(sealed.size());
    if (crypto::encryptMessage(keyId, key, reinterpret_cast<const unsigned char*>(plain.constData()),
                               quint64(plain.size()), reinterpret_cast<unsigned char*>(sealed.data()), &clen)
        != crypto::EncryptMsgOk)
        return QByteArray();
    sealed.resize(int(clen));
    return sealed;
}

// Strangers cannot pile up connections: beyond a number per remote address,
// and beyond a number in all, a new connection pushes out the oldest one
// that has not authenticated, from its own address when that address is
// full. Connections that have authenticated are never pushed out: with
// nothing else to go, the newcomer is closed at once and never becomes a
// transport. Closed ones make room again.
void TestCom::incomingLimits()
{
    Com registry;
    registry.setIncomingLimits(3, 2);
    registry.setAuthenticationGrace(0); // here only the limits close connections
    // Stands in for the authenticator: every public-key message is a
    // welcome handshake.
    QObject::connect(&registry, &Com::receivedPubkeyEncryptedMessage, &registry,
                     [&registry](TransportDto, const quint8*, size_t) { registry.acceptPubkeyMessage(); });
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QVERIFY(registry.isListening());
    QSignalSpy incoming(&registry, &Com::newIncomingTransport);
    const quint16 port = registry.listenPort();

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    auto open = [&](const char* source) {
        clients.push_back(connectFrom(QLatin1String(source), port));
        return clients.back().get();
    };
    const QByteArray handshake = publicKeyDatagram('h');
    auto authenticate = [&](QTcpSocket* client) {
        TransportTcp* t = acceptedFor(registry, client);
        if (!t)
            return false;
        QPointer<TransportTcp> guard(t);
        client->write(handshake);
        client->flush();
        return QTest::qWaitFor([&] { return guard && guard->isAuthenticated(); }, 10000);
    };

    // Two strangers from one address are taken; a third pushes out the
    // oldest of them.
    QTcpSocket* a1 = open("127.0.0.1");
    QVERIFY(a1);
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 1, 10000);
    QTcpSocket* a2 = open("127.0.0.1");
    QVERIFY(a2);
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 2, 10000);
    QTcpSocket* a3 = open("127.0.0.1");
    QVERIFY(a3);
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 3, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(a1->state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(registry.transports().size(), size_t(2), 10000);
    QVERIFY(isUp(registry, a2));
    QVERIFY(isUp(registry, a3));

    // Once both have authenticated, that address is full: a newcomer from
    // there is closed and they stay.
    QVERIFY(authenticate(a2));
    QVERIFY(authenticate(a3));
    QTcpSocket* a4 = open("127.0.0.1");
    QVERIFY(a4);
    QTRY_COMPARE_WITH_TIMEOUT(a4->state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(incoming.count(), 3);
    QVERIFY(isUp(registry, a2));
    QVERIFY(isUp(registry, a3));

    // Another address takes the last place in all; beyond it, the oldest
    // stranger from anywhere goes.
    QTcpSocket* b1 = open("127.0.0.2");
    QVERIFY(b1);
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 4, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(isUp(registry, b1), 10000);
    QTcpSocket* c1 = open("127.0.0.3");
    QVERIFY(c1);
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 5, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(b1->state(), QAbstractSocket::UnconnectedState, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(isUp(registry, c1), 10000);
    QVERIFY(isUp(registry, a2));
    QVERIFY(isUp(registry, a3));

    // All three have authenticated: nothing is pushed out for a stranger.
    QVERIFY(authenticate(c1));
    QTcpSocket* d1 = open("127.0.0.4");
    QVERIFY(d1);
    QTRY_COMPARE_WITH_TIMEOUT(d1->state(), QAbstractSocket::UnconnectedState, 10000);
    QCOMPARE(incoming.count(), 5);
    QVERIFY(isUp(registry, a2));
    QVERIFY(isUp(registry, a3));
    QVERIFY(isUp(registry, c1));

    // A closed connection makes room for a new one.
    a2->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(registry.transports().size(), size_t(2), 10000);
    QTcpSocket* again = open("127.0.0.1");
    QVERIFY(again);
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 6, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(isUp(registry, again), 10000);
    QCOMPARE(registry.transports().size(), size_t(3));
    QVERIFY(isUp(registry, a3));
    QVERIFY(isUp(registry, c1));
}

// An accepted connection that has proved nothing within the grace period
// is closed, counted from its start.
void TestCom::unauthenticatedIncomingClosed()
{
    const int grace = 100;
    Com registry;
    registry.setAuthenticationGrace(grace);
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QSignalSpy incoming(&registry, &Com::newIncomingTransport);
    QElapsedTimer clock;
    clock.start();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    QVERIFY(client.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 1, 10000);
    auto* accepted = qobject_cast<TransportTcp*>(registry.findTransport(incoming.first().first().value<TransportDto>().uuid));
    QVERIFY(accepted);
    qint64 closedAt = -1;
    QObject::connect(accepted, &TransportTcp::connectionClosed, accepted, [&] { closedAt = clock.elapsed(); });
    QTRY_VERIFY_WITH_TIMEOUT(registry.transports().empty(), 10000);
    QVERIFY2(closedAt >= grace, qPrintable(QStringLiteral("closed after %1 ms").arg(closedAt)));
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
}

// What keeps an accepted connection open: a datagram that an endpoint
// mounted on it opens, or a public-key message that a receiver of the
// registry's signal accepts as a handshake while it is being delivered.
// Traffic alone does not, nor a datagram under a key nobody holds.
void TestCom::authenticatedIncomingStays()
{
    Com registry;
    registry.setAuthenticationGrace(600000); // nothing is closed until the test says so
    quint8 key[32], otherKey[32];
    crypto::generateSessionKey(key);
    crypto::generateSessionKey(otherKey);
    Endpoint endpoint;
    endpoint.setObjectName(QStringLiteral("peer"));
    setKeys(endpoint, hex(key), kKeyToPeer, hex(otherKey), kKeyFromPeer);
    // Every connection is mounted on the endpoint, as a peer would have it.
    QObject::connect(&registry, &Com::newIncomingTransport, &registry,
                     [&](TransportDto dto) { registry.mountTransport(dto, &endpoint); });
    const QByteArray welcome = publicKeyDatagram('w');
    const QByteArray unwelcome = publicKeyDatagram('u');
    QObject::connect(&registry, &Com::receivedPubkeyEncryptedMessage, &registry,
                     [&](TransportDto, const quint8* buf, size_t length) {
                         if (QByteArray(reinterpret_cast<const char*>(buf), int(length)) == welcome)
                             registry.acceptPubkeyMessage();
                     });
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    const quint16 port = registry.listenPort();

    std::unique_ptr<QTcpSocket> session = connectFrom(QStringLiteral("127.0.0.1"), port);
    std::unique_ptr<QTcpSocket> handshake = connectFrom(QStringLiteral("127.0.0.2"), port);
    std::unique_ptr<QTcpSocket> forged = connectFrom(QStringLiteral("127.0.0.3"), port);
    std::unique_ptr<QTcpSocket> refused = connectFrom(QStringLiteral("127.0.0.4"), port);
    std::unique_ptr<QTcpSocket> silent = connectFrom(QStringLiteral("127.0.0.5"), port);
    for (const auto& c : {session.get(), handshake.get(), forged.get(), refused.get(), silent.get()}) {
        QVERIFY(c);
        QTRY_VERIFY_WITH_TIMEOUT(isUp(registry, c), 10000);
    }
    QCOMPARE(registry.endpointTransports(&endpoint).size(), size_t(5));

    session->write(sessionDatagram(kKeyToPeer, key));
    handshake->write(welcome);
    forged->write(sessionDatagram(kKeyToPeer, otherKey));
    refused->write(unwelcome);
    QTRY_VERIFY_WITH_TIMEOUT(acceptedFor(registry, session.get())->isAuthenticated(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(acceptedFor(registry, handshake.get())->isAuthenticated(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(acceptedFor(registry, forged.get())->receivedDatagrams(), quint64(1), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(acceptedFor(registry, refused.get())->receivedDatagrams(), quint64(1), 10000);
    // Outside a delivery, an acceptance names no connection.
    registry.acceptPubkeyMessage();
    for (const auto& c : {forged.get(), refused.get(), silent.get()})
        QVERIFY(!acceptedFor(registry, c)->isAuthenticated());

    registry.setAuthenticationGrace(100);
    for (const auto& c : {forged.get(), refused.get(), silent.get()}) {
        QTRY_VERIFY_WITH_TIMEOUT(!acceptedFor(registry, c), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(c->state(), QAbstractSocket::UnconnectedState, 10000);
    }
    QCOMPARE(registry.transports().size(), size_t(2));
    QVERIFY(isUp(registry, session.get()));
    QVERIFY(isUp(registry, handshake.get()));

    // Both still carry the endpoint's datagrams.
    const QByteArray datagram("datagram");
    emit endpoint.transmit(TransportFilterAll, reinterpret_cast<const quint8*>(datagram.constData()),
                           size_t(datagram.size()), 1, 0);
    QByteArray toSession, toHandshake;
    QTRY_COMPARE_WITH_TIMEOUT(toSession += session->readAll(), datagram, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(toHandshake += handshake->readAll(), datagram, 10000);
}

void TestCom::incomingSourceKey_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    QTest::newRow("same IPv4") << "192.168.1.7" << "192.168.1.7" << true;
    QTest::newRow("IPv4 neighbours") << "192.168.1.7" << "192.168.1.8" << false;
    QTest::newRow("mapped IPv4") << "::ffff:192.168.1.7" << "192.168.1.7" << true;
    QTest::newRow("mapped IPv4 neighbours") << "::ffff:192.168.1.7" << "::ffff:192.168.1.8" << false;
    // One IPv6 network hands a machine a whole /64.
    QTest::newRow("one IPv6 /64") << "2001:db8:1:2::1" << "2001:db8:1:2:ffff:1:2:3" << true;
    QTest::newRow("two IPv6 /64s") << "2001:db8:1:2::1" << "2001:db8:1:3::1" << false;
    QTest::newRow("IPv6 loopback") << "::1" << "::1" << true;
}

void TestCom::incomingSourceKey()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QCOMPARE(Com::incomingSourceKey(QHostAddress(a)) == Com::incomingSourceKey(QHostAddress(b)), same);
}

// Running out of file descriptors for a moment (here: the limit lowered so
// that accept() fails) must not end incoming connections for good.
void TestCom::acceptResumesAfterResourceError()
{
    Com registry;
    registry.setAcceptRetryDelay(20);
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    QSignalSpy incoming(&registry, &Com::newIncomingTransport);

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Leave exactly one free descriptor: the client's socket takes it and
    // the server's accept() finds none.
    int freeFd = 0;
    while (fcntl(freeFd, F_GETFD) != -1)
        ++freeFd;
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(freeFd + 1);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    auto* server = registry.findChild<QTcpServer*>();
    QVERIFY(server);
    QSignalSpy acceptErrors(server, &QTcpServer::acceptError);
    const bool connected = client.waitForConnected(10000);
    // The server tries, and fails, to accept.
    QTRY_VERIFY_WITH_TIMEOUT(!acceptErrors.isEmpty(), 10000);
    const int acceptedWhileTight = incoming.count();
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QVERIFY(connected);
    QCOMPARE(acceptedWhileTight, 0);

    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 1, 10000);
    QTcpSocket later;
    later.connectToHost(QHostAddress::LocalHost, registry.listenPort());
    QVERIFY(later.waitForConnected(10000));
    QTRY_COMPARE_WITH_TIMEOUT(incoming.count(), 2, 10000);
}

void TestCom::usableAddresses_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("up");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("loopback");
    QTest::addColumn<bool>("pointToPoint");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("used");

    QTest::newRow("ethernet 192.168") << QStringLiteral("eth0") << true << true << false << false << QStringLiteral("192.168.1.20") << true;
    QTest::newRow("wifi 172.16/12") << QStringLiteral("wlp3s0") << true << true << false << false << QStringLiteral("172.20.0.5") << true;
    QTest::newRow("10/8") << QStringLiteral("enp0s31f6") << true << true << false << false << QStringLiteral("10.1.2.3") << true;
    QTest::newRow("public above 128") << QStringLiteral("eth0") << true << true << false << false << QStringLiteral("203.0.113.9") << true;
    QTest::newRow("8/8") << QStringLiteral("eth0") << true << true << false << false << QStringLiteral("8.8.4.4") << false;
    QTest::newRow("link local") << QStringLiteral("eth0") << true << true << false << false << QStringLiteral("169.254.10.1") << false;
    QTest::newRow("127/8") << QStringLiteral("eth0") << true << true << false << false << QStringLiteral("127.0.0.1") << false;
    QTest::newRow("IPv6") << QStringLiteral("eth0") << true << true << false << false << QStringLiteral("fe80::1") << false;
    QTest::newRow("docker") << QStringLiteral("docker0") << true << true << false << false << QStringLiteral("172.17.0.1") << false;
    QTest::newRow("bridge") << QStringLiteral("br-4f2a") << true << true << false << false << QStringLiteral("172.18.0.1") << false;
    QTest::newRow("Docker in another case") << QStringLiteral("Docker0") << true << true << false << false << QStringLiteral("172.17.0.1") << true;
    QTest::newRow("virtual in any case") << QStringLiteral("VirtualBox Host") << true << true << false << false << QStringLiteral("192.168.56.1")
                                         << false;
    QTest::newRow("vm") << QStringLiteral("vmnet8") << true << true << false << false << QStringLiteral("192.168.100.1") << false;
    QTest::newRow("loop in name") << QStringLiteral("Loopback2") << true << true << false << false << QStringLiteral("192.168.9.1") << false;
    QTest::newRow("lo") << QStringLiteral("lo") << true << true << false << false << QStringLiteral("192.168.9.1") << false;
    QTest::newRow("down") << QStringLiteral("eth0") << false << true << false << false << QStringLiteral("192.168.1.20") << false;
    QTest::newRow("not running") << QStringLiteral("eth0") << true << false << false << false << QStringLiteral("192.168.1.20") << false;
    QTest::newRow("loopback flag") << QStringLiteral("eth0") << true << true << true << false << QStringLiteral("192.168.1.20") << false;
    QTest::newRow("point to point") << QStringLiteral("tun0") << true << true << false << true << QStringLiteral("10.8.0.2") << false;
}

void TestCom::usableAddresses()
{
    QFETCH(QString, name);
    QFETCH(bool, up);
    QFETCH(bool, running);
    QFETCH(bool, loopback);
    QFETCH(bool, pointToPoint);
    QFETCH(QString, address);
    QFETCH(bool, used);
    Com::InterfaceInfo info;
    info.name = name;
    info.up = up;
    info.running = running;
    info.loopback = loopback;
    info.pointToPoint = pointToPoint;
    info.addresses = {QHostAddress(address)};
    const QList<QHostAddress> result = Com::usableAddresses({info});
    QCOMPARE(result, used ? QList<QHostAddress>{QHostAddress(address)} : QList<QHostAddress>{});
}

void TestCom::localTransports()
{
    Com registry;
    QVERIFY(registry.localTransports().empty());
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    const quint16 port = registry.listenPort();
    QVERIFY(port != 0);
    const std::vector<TransportDto> local = registry.localTransports();
    const QList<QHostAddress> addresses = registry.localAddresses();
    QCOMPARE(int(local.size()), addresses.size());
    for (size_t i = 0; i < local.size(); ++i) {
        QCOMPARE(local[i].type, QStringLiteral("tcp"));
        QCOMPARE(local[i].host, addresses[int(i)].toString());
        QCOMPARE(local[i].port, port);
        QVERIFY(local[i].stream);
        QVERIFY(local[i].uuid.startsWith(QLatin1Char('{')));
    }
}

void TestCom::twoProcesses_data()
{
    QTest::addColumn<QString>("kill");
    QTest::newRow("no kill") << QString();
    QTest::newRow("accepting side kills") << QStringLiteral("accepting");
    QTest::newRow("dialling side kills") << QStringLiteral("dialling");
}

// Frames go to an echo process and come back, over two registries, two
// endpoints and one loopback TCP connection. A connection killed mid-stream
// loses nothing once the dialling side has reconnected.
void TestCom::twoProcesses()
{
    QFETCH(QString, kill);
    constexpr int kFrames = 240;
    constexpr int kKillAt = 60;

    quint8 toPeer[32], fromPeer[32];
    crypto::generateSessionKey(toPeer);
    crypto::generateSessionKey(fromPeer);

    QProcess peer;
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{QStringLiteral("--com-peer"), QStringLiteral("--rx-key=") + QString::fromLatin1(hex(toPeer)),
                     QStringLiteral("--tx-key=") + QString::fromLatin1(hex(fromPeer))};
    if (kill == QLatin1String("accepting"))
        args << QStringLiteral("--abort-after=%1").arg(kKillAt);
    peer.start(QCoreApplication::applicationFilePath(), args);
    QVERIFY(peer.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(peer.canReadLine(), 20000);
    const QByteArray line = peer.readLine().trimmed();
    QVERIFY2(line.startsWith("PORT "), line.constData());
    const quint16 port = quint16(line.mid(5).toUInt());

    Com registry;
    registry.setRedialDelay(100);
    Endpoint endpoint;
    endpoint.setObjectName(QStringLiteral("dialler"));
    setKeys(endpoint, hex(fromPeer), kKeyFromPeer, hex(toPeer), kKeyToPeer);
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    const TransportDto dto = makeDto(1, QStringLiteral("tcp"), QStringLiteral("127.0.0.1"), port);
    registry.mountTransport(dto, &endpoint);
    auto* tcp = qobject_cast<TransportTcp*>(registry.findTransport(dto.uuid));
    QVERIFY(tcp);
    QSignalSpy closed(tcp, &TransportTcp::connectionClosed);
    QTRY_COMPARE_WITH_TIMEOUT(tcp->state(), int(Transport::StateUp), 10000);

    std::vector<Echoed> echoed;
    QObject::connect(&endpoint, &Endpoint::receivedMessage, &endpoint, [&](std::vector<unsigned char> frame) {
        echoed.push_back(checkFrame(frame));
        if (kill == QLatin1String("dialling") && echoed.size() == size_t(kKillAt) && tcp->socket())
            tcp->socket()->abort();
    });
    for (quint32 seq = 0; seq < quint32(kFrames); ++seq) {
        const std::vector<unsigned char> frame = makeFrame(seq, frameSize(seq));
        QCOMPARE(endpoint.send(frame.data(), frame.size()), int(Endpoint::SendOk));
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(echoed.size()), kFrames, 90000);
    for (int i = 0; i < kFrames; ++i) {
        QCOMPARE(echoed[size_t(i)].seq, quint32(i));
        QVERIFY(echoed[size_t(i)].intact);
    }
    if (!kill.isEmpty())
        QVERIFY(closed.count() >= 1);

    peer.closeWriteChannel();
    QVERIFY(peer.waitForFinished(20000));
    const QByteArray summary = peer.readAll();
    QCOMPARE(peer.exitCode(), 0);
    QVERIFY2(summary.contains("FRAMES " + QByteArray::number(kFrames)), summary.constData());
    if (!kill.isEmpty())
        QVERIFY2(!summary.contains("CONNECTIONS 1\n"), summary.constData());
}

void TestCom::originalAndPacedBothWays_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<bool>("diallerPaced");
    QTest::addColumn<int>("pacedPath");
    QTest::newRow("tcp, paced side dials") << QStringLiteral("tcp") << true << int(Kcp::PathStream);
    QTest::newRow("tcp, original side dials") << QStringLiteral("tcp") << false << int(Kcp::PathStream);
    QTest::newRow("udp, paced side first") << QStringLiteral("udp") << true << int(Kcp::PathDatagram);
    QTest::newRow("udp, original side first") << QStringLiteral("udp") << false << int(Kcp::PathDatagram);
}

// A peer whose sessions keep the settings they start with (as a peer that
// never re-paces them) and one that paces them for the transport copy to
// each other at once, over loopback TCP or UDP: every frame of either
// direction arrives whole and in order. Two registries in one process.
void TestCom::originalAndPacedBothWays()
{
    QFETCH(QString, type);
    QFETCH(bool, diallerPaced);
    QFETCH(int, pacedPath);
    constexpr int kFrames = 160; // about 1.8 MB each way

    struct Side
    {
        Com registry;
        Endpoint endpoint;
        std::vector<Echoed> got;
    };
    Side dialler, listener;
    quint8 toListener[32], toDialler[32];
    crypto::generateSessionKey(toListener);
    crypto::generateSessionKey(toDialler);
    setKeys(dialler.endpoint, hex(toDialler), kKeyFromPeer, hex(toListener), kKeyToPeer);
    setKeys(listener.endpoint, hex(toListener), kKeyToPeer, hex(toDialler), kKeyFromPeer);
    Side& paced = diallerPaced ? dialler : listener;
    Side& original = diallerPaced ? listener : dialler;
    original.registry.setSessionPacing(false);
    for (Side* side : {&dialler, &listener}) {
        side->registry.setRedialDelay(100);
        side->registry.startTcpServer(QHostAddress::LocalHost, 0);
        QVERIFY(side->registry.isListening());
        QObject::connect(&side->endpoint, &Endpoint::receivedMessage, &side->endpoint,
                         [side](std::vector<unsigned char> frame) { side->got.push_back(checkFrame(frame)); });
    }

    if (type == QLatin1String("tcp")) {
        QObject::connect(&listener.registry, &Com::newIncomingTransport, &listener.registry,
                         [&listener](TransportDto dto) { listener.registry.mountTransport(dto, &listener.endpoint); });
        dialler.registry.mountTransport(
            makeDto(1, type, QStringLiteral("127.0.0.1"), listener.registry.listenPort()), &dialler.endpoint);
    } else {
        dialler.registry.mountTransport(makeDto(1, type, QString(), 0), &dialler.endpoint);
        listener.registry.mountTransport(makeDto(2, type, QString(), 0), &listener.endpoint);
        auto* udpD = qobject_cast<TransportUdp*>(dialler.registry.findTransport(uuidFor(1)));
        auto* udpL = qobject_cast<TransportUdp*>(listener.registry.findTransport(uuidFor(2)));
        QVERIFY(udpD && udpL);
        QTRY_VERIFY_WITH_TIMEOUT(udpD->localPort() != 0 && udpL->localPort() != 0, 20000);
        dialler.registry.configureTransportPeers(udpD->dto(), {makeDto(3, type, QStringLiteral("127.0.0.1"),
                                                                       udpL->localPort())});
        listener.registry.configureTransportPeers(udpL->dto(), {makeDto(4, type, QStringLiteral("127.0.0.1"),
                                                                        udpD->localPort())});
    }
    // Both ends have a transport that is up before anything is sent.
    const auto up = [](Side& side) {
        const std::vector<Transport*> list = side.registry.endpointTransports(&side.endpoint);
        return !list.empty() && list.front()->state() == Transport::StateUp;
    };
    QTRY_VERIFY_WITH_TIMEOUT(up(dialler) && up(listener), 30000);

    for (quint32 seq = 0; seq < quint32(kFrames); ++seq) {
        const std::vector<unsigned char> frame = makeFrame(seq, frameSize(seq));
        QCOMPARE(dialler.endpoint.send(frame.data(), frame.size()), int(Endpoint::SendOk));
        QCOMPARE(listener.endpoint.send(frame.data(), frame.size()), int(Endpoint::SendOk));
    }
    QTRY_VERIFY_WITH_TIMEOUT(dialler.got.size() >= size_t(kFrames) && listener.got.size() >= size_t(kFrames),
                             120000);
    for (Side* side : {&dialler, &listener}) {
        QCOMPARE(int(side->got.size()), kFrames);
        for (int i = 0; i < kFrames; ++i) {
            QCOMPARE(side->got[size_t(i)].seq, quint32(i));
            QVERIFY(side->got[size_t(i)].intact);
        }
    }
    QCOMPARE(int(paced.endpoint.kcp()->path()), pacedPath);
    QCOMPARE(original.endpoint.kcp()->path(), Kcp::PathUnknown);
    // On a stream the paced side sent segments longer than the original's.
    QCOMPARE(paced.endpoint.kcp()->controlBlock()->mtu,
             pacedPath == int(Kcp::PathStream) ? quint32(IKCP_MTU_MAX) : quint32(IKCP_MTU_DEF));
    QCOMPARE(original.endpoint.kcp()->controlBlock()->mtu, quint32(IKCP_MTU_DEF));
}

// Every datagram an endpoint opens is told to the transport it came in on
// (a UDP transport answers where such datagrams come from), also once the
// transport counts as authenticated; one that does not open is not.
void TestCom::openedDatagramsReachTheTransport()
{
    Com registry;
    Endpoint endpoint;
    quint8 key[32];
    quint8 otherKey[32];
    randombytes_buf(key, sizeof key);
    randombytes_buf(otherKey, sizeof otherKey);
    endpoint.setRxKey(kKeyToPeer, key);
    endpoint.setTxKey(kKeyFromPeer, key);
    auto* udp = new FakeTransport(1, QStringLiteral("udp"));
    registry.registerTransport(udp);
    registry.mountTransport(udp->dto(), &endpoint);
    udp->mount();
    auto deliver = [&](const QByteArray& datagram) {
        QVERIFY(!datagram.isEmpty());
        emit udp->receivedEncryptedMessage(udp->dto(), kKeyToPeer,
                                           reinterpret_cast<const quint8*>(datagram.constData()),
                                           size_t(datagram.size()));
    };
    deliver(sessionDatagram(kKeyToPeer, otherKey));
    QCOMPARE(udp->opened, 0);
    QVERIFY(!udp->isAuthenticated());
    deliver(sessionDatagram(kKeyToPeer, key));
    QCOMPARE(udp->opened, 1);
    QVERIFY(udp->isAuthenticated());
    deliver(sessionDatagram(kKeyToPeer, key));
    QCOMPARE(udp->opened, 2);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--com-peer")))
        return runPeer(app);
    TestCom test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_com.moc"
