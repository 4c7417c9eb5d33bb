// The TURN relay transport's requests byte for byte, its reading of the
// relay's answers, when it renews what, which peer it binds, and what it
// does without a relay. The conversation with a real relay is tested by
// tests/e2e/turn_netns.py against coturn.
#include "com/transport/stunmessage.h"
#include "com/transport/stunmessagewriter.h"
#include "com/transport/transportturn.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QtTest>

#include <array>

namespace {

const TransportTurn::TransactionId kId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

QByteArray key()
{
    return TransportTurn::longTermKey(QStringLiteral("velm1"), "velm.test", QStringLiteral("secretpw"));
}

TransportDto udp(const QString& host, quint16 port, const QString& type = QStringLiteral("udp"))
{
    TransportDto dto;
    dto.uuid = QStringLiteral("{%1}").arg(host);
    dto.type = type;
    dto.host = host;
    dto.port = port;
    return dto;
}

struct Attr
{
    quint16 type;
    QByteArray value;
};

QByteArray message(quint16 type, const QList<Attr>& attributes, const TransportTurn::TransactionId& id = kId)
{
    std::array<quint8, 4096> buffer;
    com::StunMessage::TransactionId stunId;
    std::copy(id.begin(), id.end(), stunId.begin());
    com::StunMessageWriter writer(buffer.data(), buffer.size(), type, stunId);
    for (const Attr& a : attributes)
        writer.addAttribute(a.type, a.value.constData(), std::size_t(a.value.size()));
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), int(writer.size()));
}

TransportTurn::Answer read(const QByteArray& bytes)
{
    return TransportTurn::readAnswer(reinterpret_cast<const quint8*>(bytes.constData()), std::size_t(bytes.size()));
}

const Attr kError401{0x0009, QByteArray::fromHex("00000401") + "Unauthorized"};
const Attr kError438{0x0009, QByteArray::fromHex("00000426") + "Stale Nonce"};
const Attr kRealm{0x0014, "velm.test"};
const Attr kNonce{0x0015, "n0nce-xyz"};
const Attr kSoftware{0x8022, "relay 1.0"};

} // namespace

class TestTransportTurn : public QObject
{
    Q_OBJECT
private slots:
    void requestBytes_data();
    void requestBytes();
    void integrityCoversTheAdjustedLength();
    void answersReadWhole_data();
    void answersReadWhole();
    void malformedAnswers_data();
    void malformedAnswers();
    void renewals_data();
    void renewals();
    void selectPeer();
    void withoutRelayNothingStarts();
};

void TestTransportTurn::requestBytes_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("binding") << TransportTurn::bindingRequest(kId, false)
                             << QByteArray::fromHex("000100002112a4420102030405060708090a0b0c");
    QTest::newRow("binding, change address and port")
        << TransportTurn::bindingRequest(kId, true)
        << QByteArray::fromHex("000100082112a4420102030405060708090a0b0c0003000400000006");
    QTest::newRow("allocate, first without credentials")
        << TransportTurn::allocateRequest(kId, QStringLiteral("velm1"), QByteArray(), QByteArray(), QByteArray())
        << QByteArray::fromHex("000300082112a4420102030405060708090a0b0c0019000411000000");
    // Computed apart from this code: MD5 key, HMAC-SHA1 over the header whose
    // length already counts the 24 bytes of MESSAGE-INTEGRITY.
    QTest::newRow("allocate with credentials")
        << TransportTurn::allocateRequest(kId, QStringLiteral("velm1"), "velm.test", "abc", key())
        << QByteArray::fromHex("000300442112a4420102030405060708090a0b0c00190004110000000006000576656c6d3100000000"
                               "14000976656c6d2e74657374000000001500036162630000080014aec908c110d89a1c917db46317a3"
                               "bab778ab06a2");
    // XOR-PEER-ADDRESS: port 7002 ^ 0x2112, 198.18.7.9 ^ 0x2112A442.
    QTest::newRow("channel bind, XOR-PEER-ADDRESS")
        << TransportTurn::channelBindRequest(kId, 0x4123, 0xC6120709, 7002, QStringLiteral("velm1"), QByteArray(),
                                             QByteArray(), QByteArray())
        << QByteArray::fromHex("000900142112a4420102030405060708090a0b0c000c0004412300000012000800013a48e700a34b");
    QTest::newRow("refresh without credentials")
        << TransportTurn::refreshRequest(kId, QStringLiteral("velm1"), "velm.test", QByteArray(), key())
        << QByteArray::fromHex("000400002112a4420102030405060708090a0b0c");
}

void TestTransportTurn::requestBytes()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QCOMPARE(request.toHex(), expected.toHex());
}

// Every authenticated request ends in USERNAME, REALM, NONCE and
// MESSAGE-INTEGRITY; its length field counts the integrity attribute, and
// the integrity value covers everything before it with that length.
void TestTransportTurn::integrityCoversTheAdjustedLength()
{
    QCOMPARE(key().toHex(), QByteArray("9344703c3f7a6627561025d0a5bf88a0"));
    const QList<QByteArray> requests = {
        TransportTurn::allocateRequest(kId, QStringLiteral("velm1"), "velm.test", "n", key()),
        TransportTurn::refreshRequest(kId, QStringLiteral("velm1"), "velm.test", "nonce-of-13ch", key()),
        TransportTurn::channelBindRequest(kId, 0x4001, 0xC6120001, 9, QStringLiteral("velm1"), "velm.test", "12",
                                          key())};
    for (const QByteArray& r : requests) {
        QVERIFY(r.size() > 44);
        const int stated = (quint8(r[2]) << 8) | quint8(r[3]);
        QCOMPARE(stated, r.size() - 20);
        const QByteArray tail = r.right(24);
        QCOMPARE(tail.left(4).toHex(), QByteArray("00080014"));
        const QByteArray mac = QMessageAuthenticationCode::hash(r.left(r.size() - 24), key(), QCryptographicHash::Sha1);
        QCOMPARE(tail.mid(4).toHex(), mac.toHex());

        com::StunMessage m(r.constData(), std::size_t(r.size()));
        QVERIFY(m.isValid());
        QList<quint16> types;
        com::StunMessage::Attribute a;
        while (m.nextAttribute(a))
            types.append(a.type);
        QCOMPARE(types.mid(types.size() - 4), (QList<quint16>{0x0006, 0x0014, 0x0015, 0x0008}));
    }
}

void TestTransportTurn::answersReadWhole_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("method");
    QTest::addColumn<int>("messageClass");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QByteArray>("nonce");
    QTest::addColumn<QByteArray>("realm");

    // The same answer whatever the order of its attributes.
    QTest::newRow("401: error, realm, nonce") << message(0x0113, {kError401, kRealm, kNonce}) << 3 << 3 << 0x401
                                              << kNonce.value << kRealm.value;
    QTest::newRow("401: nonce, realm, error") << message(0x0113, {kNonce, kRealm, kError401}) << 3 << 3 << 0x401
                                              << kNonce.value << kRealm.value;
    QTest::newRow("401: realm, software, nonce, error")
        << message(0x0113, {kRealm, kSoftware, kNonce, kError401}) << 3 << 3 << 0x401 << kNonce.value << kRealm.value;
    QTest::newRow("438 to a refresh: nonce first")
        << message(0x0114, {kNonce, kError438}) << 4 << 3 << 0x426 << kNonce.value << QByteArray();
    QTest::newRow("438 to a channel bind: error first")
        << message(0x0119, {kError438, kNonce, kRealm}) << 9 << 3 << 0x426 << kNonce.value << kRealm.value;
    QTest::newRow("channel bind success") << message(0x0109, {}) << 9 << 2 << 0 << QByteArray() << QByteArray();
}

void TestTransportTurn::answersReadWhole()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, method);
    QFETCH(int, messageClass);
    QFETCH(int, errorCode);
    QFETCH(QByteArray, nonce);
    QFETCH(QByteArray, realm);
    const TransportTurn::Answer a = read(bytes);
    QVERIFY(a.valid);
    QCOMPARE(int(a.method), method);
    QCOMPARE(a.messageClass, messageClass);
    QCOMPARE(a.errorCode, errorCode);
    QCOMPARE(a.nonce, nonce);
    QCOMPARE(a.hasNonce, !nonce.isEmpty());
    QCOMPARE(a.realm, realm);
    QVERIFY(a.transactionId == kId);
}

void TestTransportTurn::malformedAnswers_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");

    QByteArray allocated = message(0x0103, {{0x0016, QByteArray::fromHex("0001e700e700a34b")},
                                            {0x000D, QByteArray::fromHex("00000258")},
                                            {0x0020, QByteArray::fromHex("00013a48e700a34b")}});
    QTest::newRow("allocate success") << allocated << true;
    QByteArray cut = allocated;
    cut[3] = char(cut[3] + 4); // states an attribute more than it holds
    QTest::newRow("length past the bytes") << cut << false;
    QByteArray wrongCookie = allocated;
    wrongCookie[4] = 0x22;
    QTest::newRow("wrong cookie") << wrongCookie << false;
    QByteArray overrun = message(0x0113, {kError401});
    overrun[22] = char(0x7F); // the attribute's own length runs past the message
    QTest::newRow("attribute past the end") << overrun << false;
    QTest::newRow("header only, short") << allocated.left(19) << false;
}

void TestTransportTurn::malformedAnswers()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    const TransportTurn::Answer a = read(bytes);
    QCOMPARE(a.valid, valid);
    if (!valid)
        return;
    QCOMPARE(a.relayedAddress, QHostAddress(QStringLiteral("198.18.7.9")));
    QCOMPARE(a.relayedPort, quint16(0xC612));
    QVERIFY(a.hasLifetime);
    QCOMPARE(a.lifetime, quint32(600));
    QCOMPARE(a.mappedAddress, QHostAddress(QStringLiteral("198.18.7.9")));
    QCOMPARE(a.mappedPort, quint16(7002));
}

void TestTransportTurn::renewals_data()
{
    QTest::addColumn<qint64>("allocationAge");
    QTest::addColumn<qint64>("channelAge");
    QTest::addColumn<int>("lifetime");
    QTest::addColumn<bool>("havePeer");
    QTest::addColumn<int>("due");

    const qint64 s = 1000;
    QTest::newRow("never allocated") << qint64(-1) << qint64(-1) << 0 << true << int(TransportTurn::RefreshDue);
    QTest::newRow("fresh, no channel yet") << 1 * s << qint64(-1) << 600 << true << int(TransportTurn::ChannelBindDue);
    QTest::newRow("fresh, no peer") << 1 * s << qint64(-1) << 600 << false << int(TransportTurn::NothingDue);
    QTest::newRow("before a third of 600 s") << 199 * s << 10 * s << 600 << true << int(TransportTurn::NothingDue);
    QTest::newRow("a third of 600 s") << 200 * s << 10 * s << 600 << true << int(TransportTurn::RefreshDue);
    QTest::newRow("no lifetime stated: 600 s") << 200 * s << 10 * s << 0 << true << int(TransportTurn::RefreshDue);
    // A long allocation must not let the permission (300 s) lapse.
    QTest::newRow("3600 s, channel 99 s") << 500 * s << 99 * s << 3600 << true << int(TransportTurn::NothingDue);
    QTest::newRow("3600 s, channel 100 s") << 500 * s << 100 * s << 3600 << true
                                           << int(TransportTurn::ChannelBindDue);
    QTest::newRow("3600 s, channel 299 s") << 1100 * s << 299 * s << 3600 << true
                                           << int(TransportTurn::ChannelBindDue);
    QTest::newRow("3600 s, refresh first") << 1200 * s << 299 * s << 3600 << true << int(TransportTurn::RefreshDue);
    QTest::newRow("tiny lifetime") << 1 * s << 1 * s << 2 << true << int(TransportTurn::RefreshDue);
}

void TestTransportTurn::renewals()
{
    QFETCH(qint64, allocationAge);
    QFETCH(qint64, channelAge);
    QFETCH(int, lifetime);
    QFETCH(bool, havePeer);
    QFETCH(int, due);
    QCOMPARE(int(TransportTurn::dueRenewal(allocationAge, channelAge, quint32(lifetime), havePeer)), due);
}

void TestTransportTurn::selectPeer()
{
    TransportTurn turn(udp(QString(), 0, QStringLiteral("turn")), 1);
    turn.selectPeer({udp(QStringLiteral("10.1.2.3"), 5000), udp(QStringLiteral("127.0.0.1"), 5001),
                     udp(QStringLiteral("192.168.1.9"), 5002), udp(QStringLiteral("172.20.0.1"), 5003),
                     udp(QStringLiteral("2001:db8::1"), 5004), udp(QStringLiteral("198.18.0.9"), 5005,
                                                                   QStringLiteral("tcp")),
                     udp(QStringLiteral("not an address"), 5006), udp(QStringLiteral("198.18.0.9"), 0)});
    QCOMPARE(turn.peerPort(), quint16(0));
    QCOMPARE(turn.channelNumber(), quint16(0));

    turn.selectPeer({udp(QStringLiteral("10.0.0.1"), 4000), udp(QStringLiteral("198.18.0.9"), 6000),
                     udp(QStringLiteral("198.18.0.10"), 6001)});
    QCOMPARE(turn.peerAddress(), QHostAddress(QStringLiteral("198.18.0.9")));
    QCOMPARE(turn.peerPort(), quint16(6000));

    // The same address, or the same port, keeps the current peer.
    turn.selectPeer({udp(QStringLiteral("198.18.0.9"), 6002)});
    QCOMPARE(turn.peerPort(), quint16(6000));
    turn.selectPeer({udp(QStringLiteral("198.18.0.77"), 6000)});
    QCOMPARE(turn.peerAddress(), QHostAddress(QStringLiteral("198.18.0.9")));
    turn.selectPeer({udp(QStringLiteral("198.18.0.9"), 6000), udp(QStringLiteral("198.18.0.77"), 6003)});
    QCOMPARE(turn.peerAddress(), QHostAddress(QStringLiteral("198.18.0.77")));
    QCOMPARE(turn.peerPort(), quint16(6003));
    QCOMPARE(TransportTurn::channelFor(QHostAddress(QStringLiteral("198.18.0.77")).toIPv4Address()),
             quint16(0x4000 | 77));
    QCOMPARE(TransportTurn::channelFor(0xFFFFFFFF), quint16(0x7FFF));
}

// Without a relay host the transport stays idle however long it is
// mounted; it is never up, sorts behind every measured path and sends
// nothing.
void TestTransportTurn::withoutRelayNothingStarts()
{
    TransportTurn turn(udp(QString(), 0, QStringLiteral("turn")), 1);
    turn.setServer(QString(), 443, 3478, QStringLiteral("velm1"), QStringLiteral("pw"));
    turn.selectPeer({udp(QStringLiteral("198.18.0.9"), 6000)});
    QCOMPARE(turn.rtt(), TransportTurn::UnmeasuredRtt);
    QCOMPARE(turn.state(), int(Transport::StateDown));
    turn.mount();
    QCOMPARE(turn.state(), int(Transport::StateConnecting));
    QTest::qWait(1500);
    QCOMPARE(turn.clientState(), int(TransportTurn::Idle));
    const quint8 datagram[40] = {};
    turn.transmit(datagram, sizeof datagram, 1);
    QCOMPARE(turn.state(), int(Transport::StateConnecting));
    QCOMPARE(turn.rtt(), TransportTurn::UnmeasuredRtt);
    turn.unmount();
    QCOMPARE(turn.state(), int(Transport::StateDown));
}

QTEST_GUILESS_MAIN(TestTransportTurn)
#include "tst_transportturn.moc"
