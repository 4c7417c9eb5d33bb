#include "com/link/endpoint.h"
#include "com/kcp/ikcp.h"
#include "com/kcp/kcp.h"
#include "com/kcp/kcptestutil.h"
#include "com/wire/termstreamreader.h"
#include "crypto/crypto.h"

#include <QSignalSpy>
#include <QtTest>

#include <cstring>
#include <memory>

using namespace kcptest;

Q_DECLARE_METATYPE(kcptest::ChannelConfig)

namespace {

constexpr quint32 kConv = 0x0A0B0C0D;
constexpr crypto::KeyId kKeyAtoB = 20;
constexpr crypto::KeyId kKeyBtoA = 30;

using Bytes = std::vector<unsigned char>;

TransportDto transport(const QString& name, bool stream = false)
{
    TransportDto t;
    t.uuid = QStringLiteral("{00000000-0000-0000-0000-%1}").arg(QString::fromLatin1(name.toLatin1().toHex().left(12)), 12, QLatin1Char('0'));
    t.type = stream ? QStringLiteral("tcp") : QStringLiteral("udp");
    t.host = name;
    t.port = 60391;
    t.stream = stream;
    return t;
}

// A frame: u32 field (tag 7) with the total length, then pattern bytes.
Bytes frame(int index, int size)
{
    Bytes f(static_cast<size_t>(size));
    f[0] = 7;
    f[1] = quint8(size);
    f[2] = quint8(size >> 8);
    f[3] = quint8(size >> 16);
    f[4] = quint8(size >> 24);
    const QByteArray body = patternMessage(index, size - 5);
    std::memcpy(f.data() + 5, body.constData(), size_t(body.size()));
    return f;
}

CryptoKeyDto key(const QString& type, const quint8* bytes, int size)
{
    CryptoKeyDto k;
    k.type = type;
    k.key = QByteArray(reinterpret_cast<const char*>(bytes), size);
    return k;
}

struct KeyPair
{
    KeyPair() { crypto::generateKeyPair(pk, sk); }
    CryptoKeyDto pksk() const
    {
        QByteArray both(reinterpret_cast<const char*>(pk), 32);
        both.append(reinterpret_cast<const char*>(sk), 32);
        CryptoKeyDto k;
        k.type = QStringLiteral("pksk");
        k.key = both;
        return k;
    }
    CryptoKeyDto publicKey() const { return key(QStringLiteral("pk"), pk, 32); }
    quint8 pk[32];
    quint8 sk[32];
};

struct Transmitted
{
    TransportFilter filter;
    QByteArray bytes;
    int xmit;
    int waitSend;
};

// Records what an endpoint transmits and receives.
struct Probe
{
    explicit Probe(Endpoint* e)
    {
        QObject::connect(e, &Endpoint::transmit, e,
                         [this](TransportFilter f, const quint8* buf, size_t len, int xmit, int waitSend) {
                             sent.push_back({f, QByteArray(reinterpret_cast<const char*>(buf), int(len)), xmit, waitSend});
                         });
        QObject::connect(e, &Endpoint::receivedMessage, e, [this](Bytes m) { messages.push_back(std::move(m)); });
        QObject::connect(e, &Endpoint::receivedMessagePKI, e, [this, e](TransportDto dto, const quint8* buf, size_t len) {
            pki.push_back({dto, QByteArray(reinterpret_cast<const char*>(buf), int(len))});
            pkiSenders.push_back(QByteArray(reinterpret_cast<const char*>(e->pkiSenderKey()), 32));
        });
        QObject::connect(e, &Endpoint::receivedPong, e, [this](TransportDto dto, int rtt) { pongs.push_back({dto, rtt}); });
        QObject::connect(e, &Endpoint::sessionBroken, e, [this] { ++broken; });
    }

    std::vector<Transmitted> sent;
    std::vector<Bytes> messages;
    std::vector<std::pair<TransportDto, QByteArray>> pki;
    std::vector<QByteArray> pkiSenders;
    std::vector<std::pair<TransportDto, int>> pongs;
    int broken = 0;
};

// Gives a sealed datagram to an endpoint the way a transport does.
void deliver(Endpoint& to, const TransportDto& via, const QByteArray& datagram)
{
    crypto::KeyId keyId = 0;
    unsigned long long stated = 0;
    const auto* c = reinterpret_cast<const quint8*>(datagram.constData());
    QCOMPARE(crypto::checkEncryptedMessage(c, datagram.size(), &keyId, &stated), int(crypto::CheckMsgOk));
    QCOMPARE(stated, (unsigned long long)datagram.size());
    if (keyId == crypto::MsgPublicKeyId)
        to.receivedPubkeyEncryptedMessage(via, c, size_t(datagram.size()));
    else
        to.receivedEncryptedMessage(via, keyId, c, size_t(datagram.size()));
}

QByteArray seal(crypto::KeyId id, const quint8* key, const QByteArray& plain)
{
    QByteArray out(plain.size() + 30, '\0');
    unsigned long long clen = (unsigned long long)out.size();
    if (crypto::encryptMessage(id, key, reinterpret_cast<const quint8*>(plain.constData()), plain.size(),
                               reinterpret_cast<quint8*>(out.data()), &clen)
        != 0)
        return QByteArray();
    return out;
}

void pass()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

// Two endpoints with crossed keys joined by an in-memory lossy channel on a
// virtual clock.
struct Link
{
    Link(const ChannelConfig& config = ChannelConfig(), quint32 seed = 1)
        : channel(config, seed)
        , probeA(&a)
        , probeB(&b)
    {
        a.setObjectName(QStringLiteral("a"));
        b.setObjectName(QStringLiteral("b"));
        crypto::generateSessionKey(keyAtoB);
        crypto::generateSessionKey(keyBtoA);
        a.setCryptoKey(pairA.pksk());
        a.setCryptoKey(pairB.publicKey());
        b.setCryptoKey(pairB.pksk());
        b.setCryptoKey(pairA.publicKey());
        a.setTxKey(kKeyAtoB, keyAtoB);
        b.setRxKey(kKeyAtoB, keyAtoB);
        b.setTxKey(kKeyBtoA, keyBtoA);
        a.setRxKey(kKeyBtoA, keyBtoA);
        for (Endpoint* e : {&a, &b}) {
            e->kcp()->setClock([this] { return now; });
            e->kcp()->setTickTimerActive(false);
            e->setKcpSession(kConv);
            const int direction = e == &a ? 0 : 1;
            QObject::connect(e, &Endpoint::transmit, e,
                             [this, direction](TransportFilter, const quint8* buf, size_t len, int, int) {
                                 if (wired)
                                     channel.send(direction, reinterpret_cast<const char*>(buf), int(len), now);
                             });
        }
    }

    void step()
    {
        now += 10;
        for (const LossyChannel::Datagram& d : channel.takeDue(now))
            deliver(d.direction == 0 ? b : a, d.direction == 0 ? viaA : viaB, d.bytes);
        pass();
        a.kcp()->tick();
        b.kcp()->tick();
    }

    // Runs until both sides received the counts given (or the time is up).
    void runUntil(size_t atB, size_t atA, quint32 limitMs = 600000)
    {
        for (quint32 t = 0; t < limitMs && (probeB.messages.size() < atB || probeA.messages.size() < atA); t += 10) {
            step();
            if (QTest::currentTestFailed())
                return;
        }
    }

    LossyChannel channel;
    quint32 now = 1000;
    bool wired = true;
    KeyPair pairA;
    KeyPair pairB;
    quint8 keyAtoB[32];
    quint8 keyBtoA[32];
    TransportDto viaA = transport(QStringLiteral("from-a"));
    TransportDto viaB = transport(QStringLiteral("from-b"));
    Endpoint a;
    Endpoint b;
    Probe probeA;
    Probe probeB;
};

QTimer* pingTimerOf(Endpoint& e)
{
    return e.findChild<QTimer*>(QStringLiteral("pingTimer"));
}

} // namespace

class TestEndpoint : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void exchangeUnderLoss_data();
    void exchangeUnderLoss();
    void sessionDatagramsNeedTheirKey();
    void rawFrames_data();
    void rawFrames();
    void anotherSessionBreaks();
    void transmitFilter_data();
    void transmitFilter();
    void buddyDelivery();
    void sendResults_data();
    void sendResults();
    void newSessionClearsFrameBuffer_data();
    void newSessionClearsFrameBuffer();
    void brokenFramesDoNotStall_data();
    void brokenFramesDoNotStall();
    void oversizedMessageIsDropped();
    void framesCutAcrossMessages();
    void pingPongBytes_data();
    void pingPongBytes();
    void pingAnsweredOncePongPerTransport();
    void pingCountdown();
    void pkiSenders();
    void openedDatagramOnlyFromThePeer();
    void keyRecords();

private:
    std::unique_ptr<Crypto> m_crypto;
};

void TestEndpoint::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
}

void TestEndpoint::exchangeUnderLoss_data()
{
    QTest::addColumn<ChannelConfig>("config");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("clean") << ChannelConfig{} << 1u;
    QTest::newRow("loss 10%, seed 2") << ChannelConfig{0.10, 0.0, 0.0, 10, 30} << 2u;
    QTest::newRow("loss 10%, seed 3") << ChannelConfig{0.10, 0.0, 0.0, 10, 30} << 3u;
    QTest::newRow("loss 10%, duplication, reordering") << ChannelConfig{0.10, 0.05, 0.25, 10, 40} << 4u;
}

void TestEndpoint::exchangeUnderLoss()
{
    QFETCH(ChannelConfig, config);
    QFETCH(quint32, seed);
    Link link(config, seed);

    std::mt19937 rng(seed);
    std::vector<Bytes> toB;
    for (int i = 0; i < 1000; ++i) {
        const int size = (i % 25 == 7) ? 64400 : 5 + int(rng() % 3000);
        toB.push_back(frame(i, size));
        QCOMPARE(link.a.send(toB.back().data(), toB.back().size()), int(Endpoint::SendOk));
    }
    std::vector<Bytes> toA;
    for (int i = 0; i < 100; ++i) {
        toA.push_back(frame(5000 + i, (i % 10 == 3) ? 64400 : 5 + int(rng() % 2000)));
        QCOMPARE(link.b.send(toA.back().data(), toA.back().size()), int(Endpoint::SendOk));
    }

    link.runUntil(toB.size(), toA.size());
    QCOMPARE(link.probeB.messages.size(), toB.size());
    QCOMPARE(link.probeA.messages.size(), toA.size());
    for (size_t i = 0; i < toB.size(); ++i)
        QVERIFY2(link.probeB.messages[i] == toB[i], qPrintable(QStringLiteral("frame %1 to b").arg(i)));
    for (size_t i = 0; i < toA.size(); ++i)
        QVERIFY2(link.probeA.messages[i] == toA[i], qPrintable(QStringLiteral("frame %1 to a").arg(i)));
    QCOMPARE(link.b.framingErrors(), 0u);
    QCOMPARE(link.b.droppedMessages(), 0u);
    QCOMPARE(link.probeA.broken + link.probeB.broken, 0);
    if (config.loss > 0)
        QVERIFY(link.channel.lost() > 0);
    // Session datagrams go to the best transport unless they were sent twenty times.
    for (const Transmitted& t : link.probeA.sent)
        QCOMPARE(t.filter, t.xmit >= 20 ? TransportFilterAll : TransportFilterBest);
}

void TestEndpoint::sessionDatagramsNeedTheirKey()
{
    Link link;
    link.wired = false;
    const Bytes message = frame(1, 40);
    QCOMPARE(link.a.send(message.data(), message.size()), int(Endpoint::SendOk));
    pass();
    QCOMPARE(int(link.probeA.sent.size()), 1);
    const QByteArray datagram = link.probeA.sent[0].bytes;
    const TransportDto via = transport(QStringLiteral("t"));
    const auto* c = reinterpret_cast<const quint8*>(datagram.constData());

    // Another key id: some other endpoint's datagram.
    link.b.receivedEncryptedMessage(via, kKeyAtoB + 1, c, size_t(datagram.size()));
    // Damaged anywhere from the nonce on: fails to open.
    for (int offset : {2, 4, 13, 14, 30, datagram.size() - 1}) {
        QByteArray tampered = datagram;
        tampered[offset] = char(tampered[offset] ^ 0x01);
        link.b.receivedEncryptedMessage(via, kKeyAtoB, reinterpret_cast<const quint8*>(tampered.constData()),
                                        size_t(tampered.size()));
    }
    // Too short to be a datagram at all.
    link.b.receivedEncryptedMessage(via, kKeyAtoB, c, 29);
    pass();
    link.b.kcp()->tick();
    QVERIFY(link.probeB.messages.empty());
    QVERIFY(link.probeB.sent.empty()); // not even acknowledged

    // A fresh endpoint (key ids 1) ignores every session datagram.
    Endpoint fresh;
    Probe freshProbe(&fresh);
    fresh.setKcpSession(kConv);
    fresh.receivedEncryptedMessage(via, 1, c, size_t(datagram.size()));
    fresh.receivedEncryptedMessage(via, kKeyAtoB, c, size_t(datagram.size()));
    pass();
    QVERIFY(freshProbe.messages.empty());
    QVERIFY(freshProbe.sent.empty());

    // The untouched datagram still goes through.
    deliver(link.b, via, datagram);
    pass();
    QCOMPARE(int(link.probeB.messages.size()), 1);
    QVERIFY(link.probeB.messages[0] == message);
}

void TestEndpoint::rawFrames_data()
{
    QTest::addColumn<bool>("withSession");
    QTest::addColumn<quint32>("conv");
    QTest::newRow("no session") << false << 0u;
    QTest::newRow("session of another conv") << true << kConv;
}

void TestEndpoint::rawFrames()
{
    QFETCH(bool, withSession);
    QFETCH(quint32, conv);
    Endpoint e;
    Probe probe(&e);
    quint8 k[32];
    crypto::generateSessionKey(k);
    e.setRxKey(44, k);
    if (withSession)
        e.setKcpSession(conv);

    const Bytes f1 = frame(1, 20);
    const Bytes f2 = frame(2, 9);
    const Bytes f3 = frame(3, 7); // 07 07 00 00 00 ..: split after its first byte
    QByteArray plain(reinterpret_cast<const char*>(f1.data()), int(f1.size()));
    plain.append(reinterpret_cast<const char*>(f2.data()), int(f2.size()));
    plain.append(char(f3[0]));
    deliver(e, transport(QStringLiteral("t")), seal(44, k, plain));
    QCOMPARE(int(probe.messages.size()), 2);
    QVERIFY(probe.messages[0] == f1);
    QVERIFY(probe.messages[1] == f2);
    // The rest of the third frame is raw too (it starts with 7 and names no
    // session of ours) and completes it.
    const QByteArray rest(reinterpret_cast<const char*>(f3.data()) + 1, int(f3.size()) - 1);
    deliver(e, transport(QStringLiteral("t")), seal(44, k, rest));
    QCOMPARE(int(probe.messages.size()), 3);
    QVERIFY(probe.messages[2] == f3);
    QCOMPARE(probe.broken, 0);
    QCOMPARE(e.framingErrors(), 0u);
}

void TestEndpoint::anotherSessionBreaks()
{
    Link link;
    link.wired = false;
    const TransportDto via = transport(QStringLiteral("t"));
    // A KCP segment of another session (its first byte is not 7).
    const QByteArray other = segment(0x11223305, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, "hello");
    deliver(link.b, via, seal(kKeyAtoB, link.keyAtoB, other));
    QCOMPARE(link.probeB.broken, 1);
    // Damaged datagrams of this session do not.
    const QByteArray mine = segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0, "hello");
    deliver(link.b, via, seal(kKeyAtoB, link.keyAtoB, mine.left(mine.size() - 1)));
    deliver(link.b, via, seal(kKeyAtoB, link.keyAtoB, mine.left(3)));
    QCOMPARE(link.probeB.broken, 1);
}

void TestEndpoint::transmitFilter_data()
{
    QTest::addColumn<int>("xmit");
    QTest::addColumn<int>("filter");
    QTest::newRow("acknowledgements only") << 0 << 16;
    QTest::newRow("first transmission") << 1 << 16;
    QTest::newRow("19th") << 19 << 16;
    QTest::newRow("20th") << 20 << 32;
    QTest::newRow("21st") << 21 << 32;
    QTest::newRow("1000") << 1000 << 16;
}

void TestEndpoint::transmitFilter()
{
    QFETCH(int, xmit);
    QFETCH(int, filter);
    Link link;
    link.wired = false;
    const QByteArray datagram = segment(kConv, IKCP_CMD_ACK, 0, 128, 0, 0, 0);
    link.a.kcpOutput(datagram.constData(), datagram.size(), xmit, 7);
    QCOMPARE(int(link.probeA.sent.size()), 1);
    const Transmitted& t = link.probeA.sent[0];
    QCOMPARE(int(t.filter), filter);
    QCOMPARE(t.xmit, xmit);
    QCOMPARE(t.waitSend, 7);
    QCOMPARE(t.bytes.size(), datagram.size() + 30);
    QByteArray plain(t.bytes.size(), '\0');
    unsigned long long mlen = 0;
    QCOMPARE(crypto::decryptMessage(link.keyAtoB, reinterpret_cast<const quint8*>(t.bytes.constData()),
                                    t.bytes.size(), reinterpret_cast<quint8*>(plain.data()), &mlen),
             0);
    QCOMPARE(plain.left(int(mlen)), datagram);

    // Without a transmit key nothing leaves.
    Endpoint fresh;
    Probe probe(&fresh);
    fresh.kcpOutput(datagram.constData(), datagram.size(), xmit, 0);
    QVERIFY(probe.sent.empty());
}

void TestEndpoint::buddyDelivery()
{
    Endpoint a;
    Endpoint b;
    Probe pa(&a);
    Probe pb(&b);
    a.setBuddy(&b);
    std::vector<Bytes> frames = {frame(1, 10), frame(2, 3000), frame(3, 64400)};
    for (const Bytes& f : frames)
        QCOMPARE(a.send(f.data(), f.size()), int(Endpoint::SendOk));
    QVERIFY(pb.messages.empty()); // never re-entrant
    // A message sent by a receiver waits for the next pass.
    bool answered = false;
    connect(&b, &Endpoint::receivedMessage, &b, [&](Bytes) {
        if (!answered) {
            answered = true;
            QCOMPARE(a.send(frames[0].data(), frames[0].size()), int(Endpoint::SendOk));
        }
    });
    pass();
    QCOMPARE(pb.messages.size(), size_t(3));
    for (size_t i = 0; i < frames.size(); ++i)
        QVERIFY(pb.messages[i] == frames[i]);
    pass();
    QCOMPARE(pb.messages.size(), size_t(4));
    QVERIFY(pa.sent.empty());
    QVERIFY(pa.messages.empty());
}

void TestEndpoint::sendResults_data()
{
    QTest::addColumn<bool>("session");
    QTest::addColumn<bool>("buddy");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expected");

    QTest::newRow("no session") << false << false << 100 << int(Endpoint::SendNoSession);
    QTest::newRow("empty") << true << false << 0 << int(Endpoint::SendEmpty);
    QTest::newRow("largest") << true << false << int(Endpoint::MaxMessageSize) << int(Endpoint::SendOk);
    QTest::newRow("one byte more") << true << false << int(Endpoint::MaxMessageSize) + 1
                                   << int(Endpoint::SendTooLarge);
    QTest::newRow("as large as kcp takes") << true << false << 127 * 1376 << int(Endpoint::SendTooLarge);
    QTest::newRow("buddy, too large") << false << true << int(Endpoint::MaxMessageSize) + 1
                                      << int(Endpoint::SendTooLarge);
    QTest::newRow("buddy, empty") << false << true << 0 << int(Endpoint::SendEmpty);
    QTest::newRow("buddy") << false << true << 100 << int(Endpoint::SendOk);
}

void TestEndpoint::sendResults()
{
    QFETCH(bool, session);
    QFETCH(bool, buddy);
    QFETCH(int, size);
    QFETCH(int, expected);
    Endpoint e;
    Endpoint other;
    Probe probe(&other);
    if (session)
        e.setKcpSession(kConv);
    if (buddy)
        e.setBuddy(&other);
    const Bytes message = frame(1, std::max(size, 5));
    QCOMPARE(e.send(message.data(), size_t(size)), expected);
    QCOMPARE(e.kcp()->waitSend(), expected == Endpoint::SendOk && !buddy ? (size + 1375) / 1376 : 0);
    pass();
    QCOMPARE(int(probe.messages.size()), expected == Endpoint::SendOk && buddy ? 1 : 0);
}

void TestEndpoint::newSessionClearsFrameBuffer_data()
{
    QTest::addColumn<quint32>("secondConv");
    QTest::addColumn<int>("frames");
    QTest::newRow("same conv keeps it") << kConv << 1;
    QTest::newRow("new conv clears it") << kConv + 1 << 0;
}

void TestEndpoint::newSessionClearsFrameBuffer()
{
    QFETCH(quint32, secondConv);
    QFETCH(int, frames);
    Link link;
    link.wired = false;
    QSignalSpy newSession(link.b.kcp(), &Kcp::newSession);
    const Bytes f = frame(1, 2000);
    // Half a frame arrives as one message, the session is set again, then the rest.
    QCOMPARE(link.b.kcp()->input(segment(kConv, IKCP_CMD_PUSH, 0, 128, 0, 0, 0,
                                         QByteArray(reinterpret_cast<const char*>(f.data()), 1000))
                                     .constData(),
                                 24 + 1000),
             0);
    link.b.kcpReceived();
    QVERIFY(link.probeB.messages.empty());
    link.b.setKcpSession(secondConv);
    QCOMPARE(newSession.count(), frames == 1 ? 0 : 1);
    QCOMPARE(link.b.kcp()->input(segment(secondConv, IKCP_CMD_PUSH, 0, 128, 0, frames == 1 ? 1 : 0, 0,
                                         QByteArray(reinterpret_cast<const char*>(f.data()) + 1000, 1000))
                                     .constData(),
                                 24 + 1000),
             0);
    link.b.kcpReceived();
    QCOMPARE(int(link.probeB.messages.size()), frames);
    if (frames == 1)
        QVERIFY(link.probeB.messages[0] == f);
}

void TestEndpoint::brokenFramesDoNotStall_data()
{
    QTest::addColumn<QByteArray>("broken");
    QTest::addColumn<int>("errors");

    const Bytes big = frame(9, 90000);
    QByteArray stale(reinterpret_cast<const char*>(big.data()), int(big.size()));
    stale[1] = char(0x00); // states 128000 bytes: never completed
    stale[2] = char(0xF4);
    stale[3] = char(0x01);
    stale[4] = char(0x00);
    QTest::newRow("unknown tag") << QByteArray("\x55\x01\x02\x03\x04\x05", 6) << 1;
    QTest::newRow("u32 length below its header") << QByteArray("\x07\x03\x00\x00\x00\x00", 6) << 1;
    QTest::newRow("u16 length below its header") << QByteArray("\x06\x02\x00\x00\x00", 5) << 1;
    QTest::newRow("longer than the frame buffer") << QByteArray("\x07\x41\xF7\x01\x00\x00", 6) << 1;
    QTest::newRow("zero length") << QByteArray("\x07\x00\x00\x00\x00\x00", 6) << 1;
    QTest::newRow("frame that never completes") << stale << 1;
}

void TestEndpoint::brokenFramesDoNotStall()
{
    QFETCH(QByteArray, broken);
    QFETCH(int, errors);
    Link link;
    const Bytes before = frame(1, 100);
    const Bytes after = frame(2, 64400);
    QCOMPARE(link.a.send(before.data(), before.size()), int(Endpoint::SendOk));
    QCOMPARE(link.a.send(reinterpret_cast<const quint8*>(broken.constData()), size_t(broken.size())),
             int(Endpoint::SendOk));
    QCOMPARE(link.a.send(after.data(), after.size()), int(Endpoint::SendOk));
    link.runUntil(2, 0, 60000);
    for (int i = 0; i < 50; ++i)
        link.step();
    QCOMPARE(int(link.probeB.messages.size()), 2);
    QVERIFY(link.probeB.messages[0] == before);
    QVERIFY(link.probeB.messages[1] == after);
    QCOMPARE(int(link.b.framingErrors()), errors);
    QCOMPARE(link.b.droppedMessages(), 0u);
}

void TestEndpoint::oversizedMessageIsDropped()
{
    Link link;
    // A peer that ignores the limit: a message larger than any frame, one
    // larger than the limit that still fits the read buffer, then a normal one.
    const QByteArray huge(127 * 1376, char(7));
    const Bytes fits = frame(1, 120000);
    const Bytes normal = frame(2, 500);
    QCOMPARE(link.a.kcp()->send(huge.constData(), huge.size()), 0);
    QCOMPARE(link.a.kcp()->send(reinterpret_cast<const char*>(fits.data()), int(fits.size())), 0);
    QCOMPARE(link.a.send(normal.data(), normal.size()), int(Endpoint::SendOk));
    link.runUntil(2, 0, 120000);
    QCOMPARE(int(link.probeB.messages.size()), 2);
    QVERIFY(link.probeB.messages[0] == fits);
    QVERIFY(link.probeB.messages[1] == normal);
    QCOMPARE(link.b.droppedMessages(), 1u);
    QCOMPARE(link.b.framingErrors(), 0u);
}

// A peer may cut its frames into KCP messages any way it likes: two frames
// in one message, a frame over two messages, the rest of one with the next
// whole; every frame comes out whole and in order.
void TestEndpoint::framesCutAcrossMessages()
{
    Link link;
    const Bytes f[] = {frame(1, 300), frame(2, 64400), frame(3, 5000), frame(4, 20000), frame(5, 64400)};
    Bytes stream;
    for (const Bytes& one : f)
        stream.insert(stream.end(), one.begin(), one.end());
    const std::size_t cuts[] = {0, f[0].size() + f[1].size(), f[0].size() + f[1].size() + 2000,
                                f[0].size() + f[1].size() + f[2].size() + f[3].size(), stream.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        const char* piece = reinterpret_cast<const char*>(stream.data() + cuts[i]);
        QCOMPARE(link.a.kcp()->send(piece, int(cuts[i + 1] - cuts[i])), 0);
    }
    link.runUntil(int(std::size(f)), 0, 60000);
    QCOMPARE(int(link.probeB.messages.size()), int(std::size(f)));
    for (std::size_t i = 0; i < std::size(f); ++i)
        QVERIFY2(link.probeB.messages[i] == f[i], qPrintable(QString::number(i)));
    QCOMPARE(link.b.framingErrors(), 0u);
    QCOMPARE(link.b.droppedMessages(), 0u);
}

void TestEndpoint::pingPongBytes_data()
{
    QTest::addColumn<int>("kind"); // 0 PING, 1 PONG
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("blob");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("expected");

    QByteArray ping = QByteArray::fromHex("0540" "0502" "080807060504030201" "0fc8000000");
    for (int i = 0; i < 200; ++i)
        ping.append(char((0x78 + i) & 0xFF));
    QTest::newRow("PING") << 0 << 512 << 200 << 0 << ping;
    QTest::newRow("PING into exactly 218 bytes") << 0 << 218 << 200 << 0 << ping;
    QTest::newRow("PING into 217 bytes") << 0 << 217 << 200 << 1 << QByteArray();
    QTest::newRow("PING without blob") << 0 << 512 << 0 << 0 << ping.left(13) + QByteArray::fromHex("0f00000000");
    QTest::newRow("PING with a blob of 201") << 0 << 512 << 201 << 1 << QByteArray();
    QTest::newRow("PONG") << 1 << 64 << 0 << 0 << QByteArray::fromHex("0540" "0505" "080807060504030201");
    QTest::newRow("PONG into 12 bytes") << 1 << 12 << 0 << 1 << QByteArray();
}

void TestEndpoint::pingPongBytes()
{
    QFETCH(int, kind);
    QFETCH(int, capacity);
    QFETCH(int, blob);
    QFETCH(int, result);
    QFETCH(QByteArray, expected);

    std::vector<quint8> buf(size_t(capacity), 0);
    size_t len = buf.size();
    const quint64 seconds = 0x0102030405060708ull;
    const int r = kind == 0 ? com::encodePing(buf.data(), &len, size_t(blob), 0x12345678u, seconds)
                            : com::encodePong(buf.data(), &len, seconds);
    QCOMPARE(r, result);
    if (result == 0) {
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(buf.data()), int(len)).toHex(), expected.toHex());
        QCOMPARE(int(len), kind == 0 && blob == 200 ? 218 : int(expected.size()));
    }
    QCOMPARE(com::encodePing(nullptr, &len, 200, 1, 2), 1);
    QCOMPARE(com::encodePing(buf.data(), nullptr, 200, 1, 2), 1);
    QCOMPARE(com::encodePong(nullptr, &len, 2), 1);
    QCOMPARE(com::encodePong(buf.data(), nullptr, 2), 1);
}

void TestEndpoint::pingAnsweredOncePongPerTransport()
{
    Link link;
    link.wired = false;
    link.a.startPingTimer();
    link.b.startPingTimer();
    pingTimerOf(link.a)->stop();
    pingTimerOf(link.b)->stop();
    const TransportDto t1 = transport(QStringLiteral("t1"), true);
    const TransportDto t2 = transport(QStringLiteral("t2"));
    const TransportDto t3 = transport(QStringLiteral("t3"));

    // A PONG before any PING measures nothing.
    link.b.sendPong(42);
    QCOMPARE(int(link.probeB.sent.size()), 1);
    deliver(link.a, t1, link.probeB.sent[0].bytes);
    QVERIFY(link.probeA.pongs.empty());
    QCOMPARE(int(link.probeA.pki.size()), 1);
    link.probeB.sent.clear();

    link.a.sendPing();
    QCOMPARE(int(link.probeA.sent.size()), 1);
    const Transmitted& ping = link.probeA.sent[0];
    QCOMPARE(ping.filter, TransportFilterAll);
    QCOMPARE(ping.xmit, 1);
    QCOMPARE(ping.waitSend, 0);
    QCOMPARE(ping.bytes.size(), 218 + 74);

    for (const TransportDto& t : {t1, t2, t3})
        deliver(link.b, t, ping.bytes);
    QCOMPARE(int(link.probeB.pki.size()), 3);
    QCOMPARE(link.probeB.pki[1].first, t2);
    QCOMPARE(link.probeB.pki[0].second.left(4), QByteArray("\x05\x40\x05\x02", 4));
    QCOMPARE(link.probeB.pki[0].second.size(), 218);
    QCOMPARE(int(link.probeB.sent.size()), 1); // one PONG
    const QByteArray pong = link.probeB.sent[0].bytes;
    QCOMPARE(pong.size(), 13 + 74);
    QCOMPARE(link.probeB.sent[0].filter, TransportFilterAll);

    const std::pair<TransportDto, int> expected[] = {{t2, 30}, {t1, 50}, {t3, 70}};
    quint32 start = link.now;
    for (const auto& e : expected) {
        link.now = start + quint32(e.second);
        deliver(link.a, e.first, pong);
    }
    QCOMPARE(int(link.probeA.pongs.size()), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(link.probeA.pongs[size_t(i)].first, expected[i].first);
        QCOMPARE(link.probeA.pongs[size_t(i)].second, expected[i].second);
    }

    // The answer to an older PING measures nothing.
    link.probeB.sent.clear();
    link.b.sendPong(1);
    deliver(link.a, t1, link.probeB.sent[0].bytes);
    QCOMPARE(int(link.probeA.pongs.size()), 3);

    // A damaged PING body is handed on but not answered.
    link.probeB.sent.clear();
    QVERIFY(link.a.sendPKI(reinterpret_cast<const quint8*>("\x05\x40\x05\x02\x08\x01"), 6));
    deliver(link.b, t1, link.probeA.sent.back().bytes);
    QVERIFY(link.probeB.sent.empty());
}

void TestEndpoint::pingCountdown()
{
    Link link;
    link.wired = false;
    link.a.startPingTimer();
    QTimer* timer = pingTimerOf(link.a);
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 5000);
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
    timer->stop();

    auto pings = [&] {
        int n = 0;
        for (const Transmitted& t : link.probeA.sent) {
            if (t.bytes.size() == 218 + 74)
                ++n;
        }
        return n;
    };
    link.a.pingTimerFired(); // countdown starts at 0: the first tick pings
    QCOMPARE(pings(), 1);
    const QByteArray handshake("\x05\x40\x05\x00", 4);
    QVERIFY(link.a.sendPKI(reinterpret_cast<const quint8*>(handshake.constData()), size_t(handshake.size())));
    for (int tick = 1; tick <= 11; ++tick) {
        link.a.pingTimerFired();
        QCOMPARE(pings(), 1);
    }
    link.a.pingTimerFired(); // the twelfth tick, 60 s after the handshake
    QCOMPARE(pings(), 2);
    for (int tick = 1; tick <= 11; ++tick)
        link.a.pingTimerFired();
    QCOMPARE(pings(), 2);
    link.a.pingTimerFired();
    QCOMPARE(pings(), 3);

    // An endpoint without a ping timer neither pings nor answers PINGs, but
    // hands every PKI message on.
    Endpoint plain;
    Probe plainProbe(&plain);
    plain.setCryptoKey(link.pairB.pksk());
    plain.setCryptoKey(link.pairA.publicKey());
    deliver(plain, transport(QStringLiteral("t")), link.probeA.sent[0].bytes);
    QCOMPARE(int(plainProbe.pki.size()), 1);
    QVERIFY(plainProbe.sent.empty());
}

void TestEndpoint::pkiSenders()
{
    Link link;
    link.wired = false;
    KeyPair stranger;
    Endpoint intruder;
    Probe intruderProbe(&intruder);
    intruder.setCryptoKey(stranger.pksk());
    intruder.setCryptoKey(link.pairB.publicKey());
    const QByteArray handshake("\x05\x40\x05\x00" "fake", 8);
    QVERIFY(intruder.sendPKI(reinterpret_cast<const quint8*>(handshake.constData()), size_t(handshake.size())));
    const QByteArray fromStranger = intruderProbe.sent[0].bytes;

    // b's peer is a: the stranger is not heard there.
    link.b.startPingTimer();
    deliver(link.b, transport(QStringLiteral("t")), fromStranger);
    QVERIFY(link.probeB.pki.empty());

    // An endpoint that knows no peer (the authenticator's) hears everyone and
    // can tell who sealed the message.
    Endpoint authenticator;
    Probe authProbe(&authenticator);
    authenticator.setCryptoKey(link.pairB.pksk());
    deliver(authenticator, transport(QStringLiteral("t")), fromStranger);
    QCOMPARE(int(authProbe.pki.size()), 1);
    QCOMPARE(authProbe.pki[0].second, handshake);
    QCOMPARE(authProbe.pkiSenders[0], QByteArray(reinterpret_cast<const char*>(stranger.pk), 32));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(authenticator.pkiSenderKey()), 32), QByteArray(32, '\0'));

    // A message sealed for someone else opens nowhere.
    Endpoint third;
    Probe thirdProbe(&third);
    KeyPair thirdPair;
    third.setCryptoKey(thirdPair.pksk());
    deliver(third, transport(QStringLiteral("t")), fromStranger);
    QVERIFY(thirdProbe.pki.empty());

    // And a's own messages reach b.
    QVERIFY(link.a.sendPKI(reinterpret_cast<const quint8*>(handshake.constData()), size_t(handshake.size())));
    deliver(link.b, transport(QStringLiteral("t")), link.probeA.sent.back().bytes);
    QCOMPARE(int(link.probeB.pki.size()), 1);
    QCOMPARE(link.probeB.pkiSenders[0], QByteArray(reinterpret_cast<const char*>(link.pairA.pk), 32));
}

// openedDatagram names the transport of every datagram that only the peer
// can have sealed, and of nothing else: the registry keeps a connection on
// that word.
void TestEndpoint::openedDatagramOnlyFromThePeer()
{
    Link link;
    link.wired = false;
    QSignalSpy opened(&link.b, &Endpoint::openedDatagram);
    const TransportDto via = transport(QStringLiteral("via"));
    const TransportDto other = transport(QStringLiteral("other"));

    const Bytes message = frame(1, 40);
    QCOMPARE(link.a.send(message.data(), message.size()), int(Endpoint::SendOk));
    pass();
    QCOMPARE(int(link.probeA.sent.size()), 1);
    const QByteArray session = link.probeA.sent[0].bytes;
    const auto* c = reinterpret_cast<const quint8*>(session.constData());

    // Not opened: another key id, a damaged datagram, a stranger's key.
    link.b.receivedEncryptedMessage(other, kKeyAtoB + 1, c, size_t(session.size()));
    QByteArray tampered = session;
    tampered[20] = char(tampered[20] ^ 0x01);
    link.b.receivedEncryptedMessage(other, kKeyAtoB, reinterpret_cast<const quint8*>(tampered.constData()),
                                    size_t(tampered.size()));
    quint8 strangerKey[32];
    crypto::generateSessionKey(strangerKey);
    deliver(link.b, other, seal(kKeyAtoB, strangerKey, QByteArray("\x07\x09\x00\x00\x00" "abcd", 9)));
    QCOMPARE(opened.count(), 0);

    // Opened with the session key.
    deliver(link.b, via, session);
    QCOMPARE(opened.count(), 1);
    QCOMPARE(opened.takeFirst().first().value<TransportDto>().uuid, via.uuid);

    // A public-key message counts only when the peer's own key sealed it.
    KeyPair stranger;
    Endpoint intruder;
    Probe intruderProbe(&intruder);
    intruder.setCryptoKey(stranger.pksk());
    intruder.setCryptoKey(link.pairB.publicKey());
    const QByteArray handshake("\x05\x40\x00\x00" "fake", 8);
    QVERIFY(intruder.sendPKI(reinterpret_cast<const quint8*>(handshake.constData()), size_t(handshake.size())));
    deliver(link.b, other, intruderProbe.sent.back().bytes);
    QCOMPARE(opened.count(), 0);
    QVERIFY(link.a.sendPKI(reinterpret_cast<const quint8*>(handshake.constData()), size_t(handshake.size())));
    const QByteArray fromPeer = link.probeA.sent.back().bytes;
    deliver(link.b, via, fromPeer);
    QCOMPARE(opened.count(), 1);
    QCOMPARE(opened.takeFirst().first().value<TransportDto>().uuid, via.uuid);

    // An endpoint with no peer key opens anyone's message but vouches for
    // no one: whether the sender is welcome is not its to say.
    Endpoint authenticator;
    Probe authProbe(&authenticator);
    QSignalSpy authOpened(&authenticator, &Endpoint::openedDatagram);
    authenticator.setCryptoKey(link.pairB.pksk());
    deliver(authenticator, via, intruderProbe.sent.back().bytes);
    deliver(authenticator, via, fromPeer);
    QCOMPARE(int(authProbe.pki.size()), 2);
    QCOMPARE(authOpened.count(), 0);
}

void TestEndpoint::keyRecords()
{
    KeyPair own;
    KeyPair peer;
    const quint8 m[] = {5, 0x40, 5, 0};
    Endpoint e;
    Probe probe(&e);
    QVERIFY(!e.sendPKI(m, sizeof m)); // no keys at all

    CryptoKeyDto shortPair = own.pksk();
    shortPair.key.chop(1);
    e.setCryptoKey(shortPair);
    e.setCryptoKey(peer.publicKey());
    QVERIFY(!e.sendPKI(m, sizeof m));

    e.setCryptoKey(own.pksk());
    CryptoKeyDto shortPk = key(QStringLiteral("pk"), peer.pk, 31);
    Endpoint f;
    f.setCryptoKey(own.pksk());
    f.setCryptoKey(shortPk);
    QVERIFY(!f.sendPKI(m, sizeof m));
    CryptoKeyDto onion = key(QStringLiteral("ED25519-V3"), peer.pk, 32);
    f.setCryptoKey(onion);
    QVERIFY(!f.sendPKI(m, sizeof m));

    QVERIFY(e.sendPKI(m, sizeof m));
    QCOMPARE(int(probe.sent.size()), 1);
    QCOMPARE(probe.sent[0].bytes.size(), int(sizeof m) + 74);

    quint8 k[32] = {1};
    QCOMPARE(int(e.rxKeyId()), 1);
    QCOMPARE(int(e.txKeyId()), 1);
    e.setRxKey(12, k);
    e.setTxKey(127, k);
    QCOMPARE(int(e.rxKeyId()), 12);
    QCOMPARE(int(e.txKeyId()), 127);
}

QTEST_GUILESS_MAIN(TestEndpoint)
#include "tst_endpoint.moc"
