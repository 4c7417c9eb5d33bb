#include "com/transport/transporttcp.h"
#include "crypto/crypto.h"
#include "com/transport/sealedtestutil.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <sodium.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/ioctl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using sealedtest::pkiDatagram;
using sealedtest::sessionDatagram;
using sealedtest::withStatedLength;

// Rewrites the key id stated in a datagram's header.
QByteArray withKeyId(QByteArray datagram, unsigned keyId)
{
    auto* c = reinterpret_cast<unsigned char*>(datagram.data());
    c[4] = static_cast<unsigned char>(c[11] ^ keyId);
    return datagram;
}

TransportDto loopbackDto(quint16 port)
{
    TransportDto dto;
    dto.uuid = QStringLiteral("{6f1b7a52-0000-4000-8000-00000000000%1}").arg(port % 10);
    dto.type = QStringLiteral("tcp");
    dto.host = QStringLiteral("127.0.0.1");
    dto.port = port;
    dto.stream = true;
    return dto;
}

// Records how many datagrams had arrived when the event loop first came
// back after the first delivery: what one pass delivered. The count is taken
// by a queued call, so a test waits for done() before it reads seen.
struct FirstPassProbe
{
    FirstPassProbe(TransportTcp* transport, const std::vector<struct Received>* received);
    bool done() const { return seen >= 0; }
    int seen = -1; // -1 nothing delivered yet, -2 counting at the next pass
    QObject context;
};

struct Received
{
    int keyId; // -1 for a public-key datagram
    QByteArray bytes;
};

// A raw client socket on one end, an accepted TransportTcp on the other,
// both on 127.0.0.1.
struct AcceptedLink
{
    AcceptedLink()
    {
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(10000));
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QTcpSocket* socket = server.nextPendingConnection();
        descriptor = int(socket->socketDescriptor());
        TransportDto dto = loopbackDto(socket->peerPort());
        transport.reset(new TransportTcp(dto, -1));
        transport->setSocket(socket);
        transport->mount();
        QObject::connect(transport.get(), &Transport::receivedEncryptedMessage, transport.get(),
                         [this](TransportDto, crypto::KeyId keyId, const quint8* buf, size_t length) {
                             received.push_back({keyId, QByteArray(reinterpret_cast<const char*>(buf), int(length))});
                         });
        QObject::connect(transport.get(), &Transport::receivedPubkeyEncryptedMessage, transport.get(),
                         [this](TransportDto, const quint8* buf, size_t length) {
                             received.push_back({-1, QByteArray(reinterpret_cast<const char*>(buf), int(length))});
                         });
        ok = true;
    }

    // Puts bytes on the wire at once.
    void send(const QByteArray& bytes)
    {
        client.write(bytes);
        client.flush();
        while (client.bytesToWrite() > 0 && client.waitForBytesWritten(10000)) {
        }
    }

    // Waits, without running the event loop, until the kernel holds at least
    // this many unread bytes for the accepted socket: the transport's next
    // read then finds the whole write, however the bytes travelled.
    bool waitUntilQueued(int bytes) const
    {
        QElapsedTimer clock;
        clock.start();
        int queued = 0;
        while (::ioctl(descriptor, FIONREAD, &queued) == 0 && queued < bytes) {
            if (clock.elapsed() > 10000)
                return false;
            QThread::usleep(200);
        }
        return queued >= bytes;
    }

    bool ok = false;
    int descriptor = -1;
    QTcpServer server;
    QTcpSocket client;
    std::unique_ptr<TransportTcp> transport;
    std::vector<Received> received;
};

FirstPassProbe::FirstPassProbe(TransportTcp* transport, const std::vector<Received>* received)
{
    auto arm = [this, received] {
        if (seen != -1)
            return;
        seen = -2;
        QMetaObject::invokeMethod(&context, [this, received] { seen = int(received->size()); }, Qt::QueuedConnection);
    };
    QObject::connect(transport, &Transport::receivedEncryptedMessage, &context, arm);
    QObject::connect(transport, &Transport::receivedPubkeyEncryptedMessage, &context, arm);
}

} // namespace

class TestTransportTcp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void cutsDatagrams_data();
    void cutsDatagrams();
    void splitAtEveryOffset();
    void byteByByte();
    void moreThanOnePassWorth();
    void badHeaderCloses_data();
    void badHeaderCloses();
    void receiverClosesDuringDelivery_data();
    void receiverClosesDuringDelivery();

    void transmitLengths_data();
    void transmitLengths();
    void transmitFlushesSmallDatagrams();
    void rttOnlyWhenUsable();
    void silenceClosesConnection();
    void unauthenticatedClosedAfterGrace();

    void outgoingRedials();
    void unmountedDoesNotRedial();
    void acceptedNeverDials();
    void fastRedialAfterLostLink_data();
    void fastRedialAfterLostLink();
    void connectTimeoutGivesUp();
    void connectedSocketOptions();
    void fastSenderHeldBack();
    void peerThatNeverReads();

private:
    std::unique_ptr<Crypto> m_crypto;
};

void TestTransportTcp::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
}

void TestTransportTcp::cutsDatagrams_data()
{
    QTest::addColumn<QList<QByteArray>>("datagrams");
    QTest::addColumn<QList<int>>("keyIds");

    QTest::newRow("one session") << QList<QByteArray>{sessionDatagram(10, 100)} << QList<int>{10};
    QTest::newRow("smallest session") << QList<QByteArray>{sessionDatagram(127, 0)} << QList<int>{127};
    QTest::newRow("public key only on its own signal") << QList<QByteArray>{pkiDatagram(13)} << QList<int>{-1};
    QTest::newRow("three in one write")
        << QList<QByteArray>{sessionDatagram(10, 5, 'a'), pkiDatagram(218), sessionDatagram(42, 1376, 'b')}
        << QList<int>{10, -1, 42};
    QTest::newRow("largest session datagram")
        << QList<QByteArray>{sessionDatagram(11, int(crypto::MaxSessionMessageBytes)), sessionDatagram(12, 1)}
        << QList<int>{11, 12};
    QList<QByteArray> many;
    QList<int> ids;
    for (int i = 0; i < 40; ++i) {
        many << sessionDatagram(crypto::KeyId(10 + i), 1400 * (i % 3), char('a' + i % 26));
        ids << 10 + i;
    }
    QTest::newRow("forty mixed") << many << ids;
}

// All datagrams of one write come out in order, whole, each on the right
// signal, and all within one pass of the event loop.
void TestTransportTcp::cutsDatagrams()
{
    QFETCH(QList<QByteArray>, datagrams);
    QFETCH(QList<int>, keyIds);

    AcceptedLink link;
    QVERIFY(link.ok);
    QByteArray stream;
    for (const QByteArray& d : datagrams)
        stream += d;

    FirstPassProbe probe(link.transport.get(), &link.received);
    link.send(stream);
    const bool onePass = stream.size() < 65536;
    if (onePass)
        QVERIFY(link.waitUntilQueued(int(stream.size())));
    QTRY_VERIFY_WITH_TIMEOUT(int(link.received.size()) == datagrams.size() && probe.done(), 10000);
    for (int i = 0; i < datagrams.size(); ++i) {
        QCOMPARE(link.received[size_t(i)].keyId, keyIds[i]);
        QCOMPARE(link.received[size_t(i)].bytes, datagrams[i]);
    }
    if (onePass)
        QCOMPARE(probe.seen, datagrams.size());
    QCOMPARE(link.transport->heldBytes(), size_t(0));
    QCOMPARE(link.transport->brokenStreams(), quint64(0));
    QCOMPARE(link.transport->state(), int(Transport::StateUp));
    QVERIFY(link.transport->lastRx().isValid());
}

// The stream is cut in two at every offset; the second piece carries the
// rest of the split datagram and the following ones.
void TestTransportTcp::splitAtEveryOffset()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    const QList<QByteArray> datagrams{sessionDatagram(10, 3, 'a'), pkiDatagram(9), sessionDatagram(99, 40, 'c')};
    QByteArray stream;
    for (const QByteArray& d : datagrams)
        stream += d;

    size_t expected = 0;
    for (int offset = 1; offset < stream.size(); ++offset) {
        int wholeInPrefix = 0;
        int consumed = 0;
        for (const QByteArray& d : datagrams) {
            if (consumed + d.size() > offset)
                break;
            consumed += d.size();
            ++wholeInPrefix;
        }
        link.send(stream.left(offset));
        QTRY_VERIFY_WITH_TIMEOUT(link.received.size() == expected + size_t(wholeInPrefix)
                                     && link.transport->heldBytes() == size_t(offset - consumed),
                                 10000);
        link.send(stream.mid(offset));
        expected += size_t(datagrams.size());
        QTRY_COMPARE_WITH_TIMEOUT(link.received.size(), expected, 10000);
        QCOMPARE(link.transport->heldBytes(), size_t(0));
    }
    for (size_t i = 0; i < link.received.size(); ++i)
        QCOMPARE(link.received[i].bytes, datagrams[int(i % 3)]);
    QCOMPARE(link.transport->brokenStreams(), quint64(0));
}

// One byte per segment: each datagram is emitted once, when its last byte
// arrives, never earlier.
void TestTransportTcp::byteByByte()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    const QList<QByteArray> datagrams{pkiDatagram(2), sessionDatagram(10, 0), sessionDatagram(77, 20)};
    QByteArray stream;
    QList<int> ends;
    for (const QByteArray& d : datagrams) {
        stream += d;
        ends << stream.size();
    }
    for (int i = 0; i < stream.size(); ++i) {
        link.send(stream.mid(i, 1));
        const int sent = i + 1;
        const size_t whole = size_t(std::count_if(ends.begin(), ends.end(), [sent](int e) { return e <= sent; }));
        const int lastEnd = whole ? ends[int(whole) - 1] : 0;
        QTRY_VERIFY_WITH_TIMEOUT(link.received.size() == whole && link.transport->heldBytes() == size_t(sent - lastEnd),
                                 10000);
    }
    QCOMPARE(link.received.size(), size_t(3));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(link.received[size_t(i)].bytes, datagrams[i]);
}

// More datagrams than one pass may handle arrive in one read: the first
// pass stops at the limit and the rest follow without any new bytes.
void TestTransportTcp::moreThanOnePassWorth()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    const int count = TransportTcp::MaxDatagramsPerPass + 501;
    QByteArray stream;
    QList<QByteArray> datagrams;
    for (int i = 0; i < count; ++i) {
        datagrams << sessionDatagram(crypto::KeyId(10 + i % 100), 8, char(i));
        stream += datagrams.back();
    }
    QVERIFY(stream.size() < TransportTcp::RxBufferSize);

    FirstPassProbe probe(link.transport.get(), &link.received);
    // All bytes sit in the kernel before the receiving side runs again.
    link.send(stream);
    QVERIFY(link.waitUntilQueued(int(stream.size())));
    QTRY_VERIFY_WITH_TIMEOUT(int(link.received.size()) == count && probe.done(), 10000);
    QCOMPARE(probe.seen, TransportTcp::MaxDatagramsPerPass);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(link.received[size_t(i)].keyId, 10 + i % 100);
        QCOMPARE(link.received[size_t(i)].bytes, datagrams[i]);
    }
    QCOMPARE(link.transport->heldBytes(), size_t(0));
}

void TestTransportTcp::badHeaderCloses_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<bool>("closes");

    const QByteArray session = sessionDatagram(20, 50);
    const QByteArray pki = pkiDatagram(50);
    QTest::newRow("key id 1") << withKeyId(session, 1) << true;
    QTest::newRow("key id 9") << withKeyId(session, 9) << true;
    QTest::newRow("key id 128") << withKeyId(session, 128) << true;
    QTest::newRow("key id 255") << withKeyId(session, 255) << true;
    QTest::newRow("session length 0") << withStatedLength(session, 0) << true;
    QTest::newRow("session length 13") << withStatedLength(session, 13) << true;
    QTest::newRow("session length 14") << withStatedLength(session, 14) << true;
    QTest::newRow("session length 29") << withStatedLength(session, 29) << true;
    QTest::newRow("public-key length 0") << withStatedLength(pki, 0) << true;
    QTest::newRow("public-key length 30") << withStatedLength(pki, 30) << true;
    QTest::newRow("public-key length 73") << withStatedLength(pki, 73) << true;
    // The smallest lengths that can be datagrams: taken as one, the stream
    // goes on (the bytes behind are then the next header, still well formed
    // here because the rest of the test stream follows it).
    QTest::newRow("session length 30") << sessionDatagram(20, 0) << false;
    QTest::newRow("public-key length 74") << pkiDatagram(0) << false;
}

// A header that cannot start a datagram closes the connection: what came
// before it is delivered, nothing after it.
void TestTransportTcp::badHeaderCloses()
{
    QFETCH(QByteArray, bad);
    QFETCH(bool, closes);

    AcceptedLink link;
    QVERIFY(link.ok);
    QSignalSpy closed(link.transport.get(), &TransportTcp::connectionClosed);
    const QByteArray before = sessionDatagram(10, 7);
    const QByteArray after = sessionDatagram(11, 7);
    link.send(before + bad + after);

    if (closes) {
        QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
        QCOMPARE(link.received.size(), size_t(1));
        QCOMPARE(link.received[0].bytes, before);
        QCOMPARE(link.transport->brokenStreams(), quint64(1));
        QCOMPARE(link.transport->heldBytes(), size_t(0));
        QCOMPARE(link.transport->state(), int(Transport::StateDown));
        QTRY_COMPARE_WITH_TIMEOUT(link.client.state(), QAbstractSocket::UnconnectedState, 10000);
        // Bytes sent afterwards are never delivered.
        QCOMPARE(link.received.size(), size_t(1));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(link.received.size(), size_t(3), 10000);
        QCOMPARE(link.received[1].bytes, bad);
        QCOMPARE(link.received[2].bytes, after);
        QCOMPARE(link.transport->brokenStreams(), quint64(0));
        QCOMPARE(link.transport->state(), int(Transport::StateUp));
    }
}

void TestTransportTcp::receiverClosesDuringDelivery_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("unmount") << QStringLiteral("unmount");
    QTest::newRow("abort socket") << QStringLiteral("abort");
    QTest::newRow("replace socket") << QStringLiteral("replace");
}

// A receiver that closes the connection while the first of several
// datagrams is delivered stops the delivery at once.
void TestTransportTcp::receiverClosesDuringDelivery()
{
    QFETCH(QString, action);
    AcceptedLink link;
    QVERIFY(link.ok);
    int delivered = 0;
    TransportTcp* transport = link.transport.get();
    QObject::connect(transport, &Transport::receivedEncryptedMessage, &link.server,
                     [&](TransportDto, crypto::KeyId, const quint8*, size_t) {
                         ++delivered;
                         if (action == QLatin1String("unmount"))
                             transport->unmount();
                         else if (action == QLatin1String("abort"))
                             transport->socket()->abort();
                         else
                             transport->setSocket(new QTcpSocket);
                     });
    QByteArray stream;
    for (int i = 0; i < 5; ++i)
        stream += sessionDatagram(10, 100);
    link.send(stream);
    QTRY_COMPARE_WITH_TIMEOUT(delivered, 1, 10000);
    QTest::qWait(50);
    QCOMPARE(delivered, 1);
    if (link.transport)
        QCOMPARE(link.transport->heldBytes(), size_t(0));
}

void TestTransportTcp::transmitLengths_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("sent");
    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("179200") << TransportTcp::RxBufferSize << true;
    QTest::newRow("179201") << TransportTcp::RxBufferSize + 1 << false;
}

void TestTransportTcp::transmitLengths()
{
    QFETCH(int, length);
    QFETCH(bool, sent);
    AcceptedLink link;
    QVERIFY(link.ok);
    QByteArray bytes(length, 'z');
    link.transport->transmit(reinterpret_cast<const quint8*>(bytes.constData()), size_t(length), 0);
    link.transport->transmit(nullptr, 10, 0);
    // A marker behind shows when everything sent has arrived.
    const QByteArray marker("END");
    link.transport->transmit(reinterpret_cast<const quint8*>(marker.constData()), size_t(marker.size()), 0);
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += link.client.readAll()).endsWith(marker), 10000);
    QCOMPARE(got, (sent ? bytes : QByteArray()) + marker);
}

// waitSend 1 or less writes to the kernel at once, together with the run of
// datagrams announced before it with larger values; a run that no such
// datagram ends is left to the event loop.
void TestTransportTcp::transmitFlushesSmallDatagrams()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    const QByteArray bytes(64, 'q');
    const auto* data = reinterpret_cast<const quint8*>(bytes.constData());
    link.transport->transmit(data, size_t(bytes.size()), 1);
    QCOMPARE(link.transport->bytesToWrite(), qint64(0));
    link.transport->transmit(data, size_t(bytes.size()), 5);
    link.transport->transmit(data, size_t(bytes.size()), 2);
    QCOMPARE(link.transport->bytesToWrite(), qint64(2 * bytes.size()));
    link.transport->transmit(data, size_t(bytes.size()), 0);
    QCOMPARE(link.transport->bytesToWrite(), qint64(0));
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT((got += link.client.readAll()).size(), 4 * bytes.size(), 10000);

    link.transport->transmit(data, size_t(bytes.size()), 2);
    QCOMPARE(link.transport->bytesToWrite(), qint64(bytes.size()));
    QTRY_COMPARE_WITH_TIMEOUT((got += link.client.readAll()).size(), 5 * bytes.size(), 10000);
    QCOMPARE(link.transport->bytesToWrite(), qint64(0));
    QCOMPARE(got, bytes.repeated(5));
}

void TestTransportTcp::rttOnlyWhenUsable()
{
    TransportTcp idle(loopbackDto(1), 100);
    idle.setRtt(5);
    QCOMPARE(idle.rtt(), Transport::UnusableRtt);
    QCOMPARE(idle.state(), int(Transport::StateDown));

    AcceptedLink link;
    QVERIFY(link.ok);
    QCOMPARE(link.transport->rtt(), TransportTcp::UnmeasuredRtt);
    link.transport->setRtt(7);
    QCOMPARE(link.transport->rtt(), 7);
    link.transport->unmount();
    QCOMPARE(link.transport->rtt(), Transport::UnusableRtt);
}

// A connection silent for longer than the limit is closed by the next
// transmit instead of sending; a datagram received starts the count again.
void TestTransportTcp::silenceClosesConnection()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    link.transport->setSilenceLimits(20, 1000);
    const QByteArray bytes("abc");
    link.transport->transmit(reinterpret_cast<const quint8*>(bytes.constData()), 3, 0);
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(got += link.client.readAll(), bytes, 10000);

    QElapsedTimer waited;
    waited.start();
    QSignalSpy closed(link.transport.get(), &TransportTcp::connectionClosed);
    // The peer keeps talking for 400 ms: every transmit, made once the
    // peer's last datagram has arrived, finds the connection up, however
    // long the machine takes between two turns.
    qint64 lastTalk = -1; // when the last datagram was sent, at the latest
    while (lastTalk < 400) {
        lastTalk = waited.elapsed();
        const quint64 before = link.transport->receivedDatagrams();
        link.send(sessionDatagram(10, 1));
        QTRY_VERIFY_WITH_TIMEOUT(link.transport->receivedDatagrams() > before, 10000);
        link.transport->transmit(reinterpret_cast<const quint8*>(bytes.constData()), 3, 0);
        QVERIFY(closed.isEmpty());
    }
    // Then only this side sends: the first transmit more than a second after
    // the last datagram arrived closes the connection.
    qint64 closedBy = -1; // when the transmit that closed it had returned
    while (closed.isEmpty() && waited.elapsed() < lastTalk + 20000) {
        link.transport->transmit(reinterpret_cast<const quint8*>(bytes.constData()), 3, 0);
        closedBy = waited.elapsed();
        QTest::qWait(10);
    }
    QCOMPARE(closed.count(), 1);
    QVERIFY2(closedBy >= lastTalk + 1000,
             qPrintable(QStringLiteral("closed at %1 ms, last datagram at %2 ms").arg(closedBy).arg(lastTalk)));
    QTRY_COMPARE_WITH_TIMEOUT(link.client.state(), QAbstractSocket::UnconnectedState, 10000);
}

// An accepted connection that has not been marked authenticated when its
// grace period is over is closed, whatever it sent; a marked one stays, and
// so does a connection this side dialled.
void TestTransportTcp::unauthenticatedClosedAfterGrace()
{
    const int grace = 100;
    // Marked before the check is switched on, and right after.
    AcceptedLink early;
    QVERIFY(early.ok);
    early.transport->markAuthenticated();
    early.transport->setAuthenticationGrace(grace);
    AcceptedLink late;
    QVERIFY(late.ok);
    late.transport->setAuthenticationGrace(grace);
    late.transport->markAuthenticated();
    QVERIFY(late.transport->isAuthenticated());

    QTcpServer remote;
    QVERIFY(remote.listen(QHostAddress::LocalHost, 0));
    TransportTcp outgoing(loopbackDto(remote.serverPort()), 30000);
    outgoing.mount();
    QTRY_COMPARE_WITH_TIMEOUT(outgoing.state(), int(Transport::StateUp), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(remote.hasPendingConnections(), 10000);
    std::unique_ptr<QTcpSocket> remoteEnd(remote.nextPendingConnection());
    outgoing.setAuthenticationGrace(grace);
    QVERIFY(!outgoing.isAuthenticated());

    // A stranger: datagrams that look right prove nothing.
    QElapsedTimer clock;
    clock.start();
    AcceptedLink stranger;
    QVERIFY(stranger.ok);
    qint64 closedAt = -1;
    QObject::connect(stranger.transport.get(), &TransportTcp::connectionClosed, stranger.transport.get(),
                     [&] { closedAt = clock.elapsed(); });
    stranger.transport->setAuthenticationGrace(grace);
    QCOMPARE(stranger.transport->authenticationGrace(), grace);
    stranger.send(sessionDatagram(10, 5));
    stranger.send(pkiDatagram(20));
    QTRY_COMPARE_WITH_TIMEOUT(stranger.transport->state(), int(Transport::StateDown), 10000);
    QVERIFY2(closedAt >= grace, qPrintable(QStringLiteral("closed after %1 ms").arg(closedAt)));
    QVERIFY(!stranger.transport->isAuthenticated());
    QTRY_COMPARE_WITH_TIMEOUT(stranger.client.state(), QAbstractSocket::UnconnectedState, 10000);

    // Another stranger, taken only now, is closed once its own grace is over;
    // by then that of every link above is long past.
    AcceptedLink probe;
    QVERIFY(probe.ok);
    probe.transport->setAuthenticationGrace(grace);
    QTRY_COMPARE_WITH_TIMEOUT(probe.transport->state(), int(Transport::StateDown), 10000);

    QCOMPARE(early.transport->state(), int(Transport::StateUp));
    QCOMPARE(late.transport->state(), int(Transport::StateUp));
    QCOMPARE(outgoing.state(), int(Transport::StateUp));
    QCOMPARE(early.client.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(late.client.state(), QAbstractSocket::ConnectedState);
    const QByteArray bytes("still here");
    late.transport->transmit(reinterpret_cast<const quint8*>(bytes.constData()), size_t(bytes.size()), 0);
    QByteArray got;
    QTRY_COMPARE_WITH_TIMEOUT(got += late.client.readAll(), bytes, 10000);
}

void TestTransportTcp::outgoingRedials()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    TransportTcp transport(loopbackDto(server.serverPort()), 50);
    QSignalSpy closed(&transport, &TransportTcp::connectionClosed);
    // The state as the close is announced: by the time a test looks, the
    // redial may already have begun.
    int stateAtClose = -1;
    QObject::connect(&transport, &TransportTcp::connectionClosed, &transport, [&] {
        if (stateAtClose == -1)
            stateAtClose = transport.state();
    });
    transport.mount();
    QCOMPARE(transport.state(), int(Transport::StateConnecting));
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(transport.state(), int(Transport::StateUp), 10000);
    QTcpSocket* first = server.nextPendingConnection();
    first->abort();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    QCOMPARE(stateAtClose, int(Transport::StateDown));
    // The same transport dials again after its delay.
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(transport.state(), int(Transport::StateUp), 10000);
    delete first;
}

void TestTransportTcp::unmountedDoesNotRedial()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    TransportTcp transport(loopbackDto(server.serverPort()), 20);
    transport.mount();
    QTRY_COMPARE_WITH_TIMEOUT(transport.state(), int(Transport::StateUp), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    std::unique_ptr<QTcpSocket> first(server.nextPendingConnection());
    QTcpSocket* own = transport.socket();
    transport.unmount();
    QTRY_COMPARE_WITH_TIMEOUT(transport.state(), int(Transport::StateDown), 10000);
    QTest::qWait(200);
    QVERIFY(!server.hasPendingConnections());
    // A later mount reconnects through the same socket object.
    transport.mount();
    QCOMPARE(transport.socket(), own);
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
}

// A transport around an accepted connection is never dialled: not when its
// peer goes away, not when it is mounted again.
void TestTransportTcp::acceptedNeverDials()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    QCOMPARE(link.transport->isAccepted(), true);
    QSignalSpy closed(link.transport.get(), &TransportTcp::connectionClosed);
    link.client.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 10000);
    link.transport->unmount();
    link.transport->mount();
    link.transport->connectToRemote();
    QCOMPARE(link.transport->state(), int(Transport::StateDown));
    QTest::qWait(100);
    QCOMPARE(link.transport->state(), int(Transport::StateDown));
    QCOMPARE(link.transport->socket()->state(), QAbstractSocket::UnconnectedState);

    // Never given a socket, it does not make one either.
    TransportTcp bare(loopbackDto(1), -1);
    bare.mount();
    QVERIFY(!bare.socket());
    QCOMPARE(bare.state(), int(Transport::StateDown));
}

void TestTransportTcp::fastRedialAfterLostLink_data()
{
    QTest::addColumn<bool>("carriedLink");
    QTest::addColumn<bool>("heardElsewhere");

    QTest::newRow("link lost, peer heard nowhere") << true << false;
    QTest::newRow("connection never carried the link") << false << false;
    QTest::newRow("link lost, peer heard elsewhere at first") << true << true;
}

// A connection that carried the link closes, and every later dial is
// refused at once: while the peer is heard nowhere the transport dials again
// every interval (never more often); while it is heard elsewhere, or when
// the connection never carried the link, it waits its plain delay.
void TestTransportTcp::fastRedialAfterLostLink()
{
    QFETCH(bool, carriedLink);
    QFETCH(bool, heardElsewhere);
    const int interval = 200;
    const int delay = 600000;

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    TransportTcp transport(loopbackDto(server.serverPort()), delay);
    int asked = 0;
    transport.setFastRedial(interval, delay, [&] {
        ++asked;
        return heardElsewhere;
    });
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> dials;
    QObject::connect(&transport, &Transport::stateChanged, &transport, [&] {
        if (transport.state() == Transport::StateConnecting)
            dials.push_back(clock.elapsed());
    });
    transport.mount();
    QTRY_COMPARE_WITH_TIMEOUT(transport.state(), int(Transport::StateUp), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
    if (carriedLink)
        transport.markAuthenticated();
    // Nothing listens any more: every dial is refused at once.
    server.close();
    dials.clear();
    accepted->abort();

    if (!carriedLink) {
        QTRY_VERIFY_WITH_TIMEOUT(transport.state() == Transport::StateDown && transport.redialInMs() >= 0, 10000);
        QVERIFY2(transport.redialInMs() > delay / 2, qPrintable(QString::number(transport.redialInMs())));
        QVERIFY(dials.empty());
        QCOMPARE(asked, 0);
        return;
    }
    if (heardElsewhere) {
        // It looks again and again, and does not dial.
        QTRY_VERIFY_WITH_TIMEOUT(asked >= 3, 30000);
        QVERIFY(dials.empty());
        heardElsewhere = false;
    }
    QTRY_VERIFY_WITH_TIMEOUT(dials.size() >= 4, 30000);
    // Coarse timers may fire up to 5 % early.
    for (std::size_t i = 1; i < dials.size(); ++i)
        QVERIFY2(dials[i] - dials[i - 1] >= interval * 9 / 10,
                 qPrintable(QStringLiteral("dials %1 ms apart").arg(dials[i] - dials[i - 1])));
}

// A dial into a network that drops everything is given up after the connect
// time-out and waits for the next one. A listener whose queue is full, with
// no one taking from it, stands in for that network: the system drops
// further connection requests to it.
void TestTransportTcp::connectTimeoutGivesUp()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    const quint16 port = ntohs(address.sin_port);
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(filler.waitForConnected(10000));

    TransportTcp transport(loopbackDto(port), 600000);
    transport.setConnectTimeout(300);
    QElapsedTimer clock;
    clock.start();
    transport.mount();
    QCOMPARE(transport.state(), int(Transport::StateConnecting));
    QTRY_COMPARE_WITH_TIMEOUT(transport.state(), int(Transport::StateDown), 20000);
    QVERIFY2(clock.elapsed() >= 300 * 9 / 10, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(transport.redialInMs() > 300000);
    ::close(listener);
}

void TestTransportTcp::connectedSocketOptions()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    TransportTcp transport(loopbackDto(server.serverPort()), 1000);
    transport.mount();
    QTRY_COMPARE_WITH_TIMEOUT(transport.state(), int(Transport::StateUp), 10000);
    QCOMPARE(transport.socket()->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
    // Nagle's algorithm would hold a reply until the peer's delayed
    // acknowledgement: up to 40 ms on every request.
    QCOMPARE(transport.socket()->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);

    AcceptedLink link;
    QVERIFY(link.ok);
    QCOMPARE(link.transport->socket()->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
    QCOMPARE(link.transport->socket()->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
}

// A stranger who sends faster than the receivers of its datagrams keep up
// with is held back by TCP itself: what has been taken off the connection
// and waits to be handled stays bounded, however much is pushed. (Were the
// socket to read without limit, the process would hold everything sent.)
void TestTransportTcp::fastSenderHeldBack()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    const QByteArray datagram = sessionDatagram(10, 0); // the smallest there is
    QCOMPARE(datagram.size(), int(crypto::SessionOverhead));
    QByteArray stream;
    for (int i = 0; i < 4096; ++i)
        stream += datagram;

    // The receivers are slow at first: the sender fills every kernel buffer
    // on the way while the first datagram is handled, then ends with a
    // whole datagram.
    std::atomic<bool> senderBlocked{false};
    std::atomic<bool> senderDone{false};
    std::atomic<std::size_t> sentBytes{0};
    qint64 maxBuffered = 0;
    std::size_t delivered = 0;
    TransportTcp* transport = link.transport.get();
    QObject::connect(transport, &Transport::receivedEncryptedMessage, transport,
                     [&](TransportDto, crypto::KeyId, const quint8*, size_t) {
                         if (delivered++ == 0) {
                             QElapsedTimer waited;
                             waited.start();
                             while (!senderBlocked && waited.elapsed() < 10000)
                                 std::this_thread::yield();
                         }
                         maxBuffered = std::max(maxBuffered, transport->socket()->bytesAvailable());
                     });

    const int fd = int(link.client.socketDescriptor());
    QVERIFY(fd >= 0);
    std::thread sender([&] {
        std::size_t sent = 0;
        for (;;) {
            const std::size_t at = sent % std::size_t(stream.size());
            if (senderBlocked && at % std::size_t(datagram.size()) == 0)
                break;
            const std::size_t chunk = std::size_t(stream.size()) - at;
            const ssize_t n = ::send(fd, stream.constData() + at, chunk, MSG_NOSIGNAL);
            if (n > 0) {
                sent += std::size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                break;
            if (n < 0 && errno != EINTR)
                senderBlocked = true;
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
        sentBytes = sent;
        senderDone = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(senderDone, 20000);
    sender.join();
    QVERIFY(senderBlocked);
    const std::size_t count = sentBytes / std::size_t(datagram.size());
    QCOMPARE(sentBytes % std::size_t(datagram.size()), std::size_t(0));
    QTRY_COMPARE_WITH_TIMEOUT(delivered, count, 20000);
    QVERIFY2(maxBuffered <= TransportTcp::RxBufferSize,
             qPrintable(QStringLiteral("%1 bytes read ahead").arg(maxBuffered)));
    QCOMPARE(link.transport->heldBytes(), size_t(0));
}

// A peer that keeps sending but never reads, each of its datagrams answered
// twice (as a KCP session answers re-sent segments with acknowledgements):
// what waits to be sent stays under the cap however long it goes on, the
// connection stays up while the peer is heard, and once nothing has left for
// the silence time-out it is closed.
void TestTransportTcp::peerThatNeverReads()
{
    AcceptedLink link;
    QVERIFY(link.ok);
    const int small = 4096;
    QVERIFY(::setsockopt(int(link.client.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small) == 0);
    link.client.setReadBufferSize(small);

    TransportTcp* transport = link.transport.get();
    const QByteArray answer = sessionDatagram(10, 1400 - int(crypto::SessionOverhead));
    qint64 mostUnsent = 0;
    QObject::connect(transport, &Transport::receivedEncryptedMessage, transport,
                     [&](TransportDto, crypto::KeyId, const quint8*, size_t) {
                         for (int i = 0; i < 2; ++i) {
                             transport->transmit(reinterpret_cast<const quint8*>(answer.constData()),
                                                 size_t(answer.size()), 0);
                             mostUnsent = std::max(mostUnsent, transport->unsentBytes());
                         }
                     });

    // 40 MB of answers in all, in rounds so that the answers of one round
    // have met the full buffers before the next.
    const QByteArray datagram = sessionDatagram(10, 0);
    QByteArray round;
    for (int i = 0; i < 1000; ++i)
        round += datagram;
    std::size_t expected = 0;
    for (int r = 0; r < 14; ++r) {
        link.send(round);
        expected += 1000;
        QTRY_COMPARE_WITH_TIMEOUT(link.received.size(), expected, 20000);
    }
    QVERIFY2(mostUnsent <= TransportTcp::MaxUnsentBytes,
             qPrintable(QStringLiteral("%1 bytes held unsent").arg(mostUnsent)));
    QVERIFY(transport->droppedDatagrams() > 0);
    QCOMPARE(transport->state(), int(Transport::StateUp));

    // Still heard, but nothing leaves: closed at once, without waiting for
    // the bytes it will never take.
    transport->setSilenceLimits(60000, 300);
    QSignalSpy closed(transport, &TransportTcp::connectionClosed);
    QTimer pulse;
    QObject::connect(&pulse, &QTimer::timeout, &link.client, [&] {
        if (link.client.state() == QAbstractSocket::ConnectedState)
            link.client.write(datagram);
    });
    pulse.start(20);
    QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 20000);
    QCOMPARE(transport->state(), int(Transport::StateDown));
}

QTEST_GUILESS_MAIN(TestTransportTcp)
#include "tst_transporttcp.moc"
