// The STUN message view and writer: header checks, an attribute walk that
// never passes the stated length or the bytes held, addresses plain and
// XORed in both families, and a writer that stops at its buffer's end.
#include "com/transport/stunmessage.h"
#include "com/transport/stunmessagewriter.h"

#include <QtTest>

#include <array>

using com::StunMessage;
using com::StunMessageWriter;

namespace {

// The IPv4 Binding success response of RFC 5769, section 2.2: SOFTWARE,
// XOR-MAPPED-ADDRESS, MESSAGE-INTEGRITY and FINGERPRINT.
const char kRfc5769Ipv4[] =
    "0101003c2112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f7220"
    "002000080001a147e112a643000800142b91f599fd9e90c38c7489f92af9ba53f06be7d7"
    "80280004c07d4c96";
// The IPv6 response of section 2.3 up to its XOR-MAPPED-ADDRESS, the length
// cut to match.
const char kRfc5769Ipv6[] =
    "010100282112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f7220"
    "002000140002a1470113a9faa5d3f179bc25f4b5bed2b9d9";

const StunMessage::TransactionId kId = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};

QList<quint16> walk(const QByteArray& bytes, int* error)
{
    StunMessage m(bytes.constData(), std::size_t(bytes.size()));
    QList<quint16> types;
    StunMessage::Attribute a;
    while (m.nextAttribute(a)) {
        types.append(a.type);
        // Every value lies inside the bytes held.
        if (a.value < m.data() || a.value + a.length > m.data() + bytes.size())
            types.append(0xDEAD);
    }
    *error = m.error();
    return types;
}

} // namespace

class TestStunMessage : public QObject
{
    Q_OBJECT
private slots:
    void walk_data();
    void walk();
    void addresses_data();
    void addresses();
    void writerStopsAtTheEnd();
    void rfc5769Responses_data();
    void rfc5769Responses();
    void bindingRequestHeaderBytes();
    void errorCodes_data();
    void errorCodes();
};

void TestStunMessage::walk_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("error");
    QTest::addColumn<QList<quint16>>("types");

    const QByteArray header = QByteArray::fromHex("01010010" "2112a442" "b7e7a701bc34d686fa87dfae");
    const QByteArray two = QByteArray::fromHex("80220003616263000015000178000000");
    QTest::newRow("two attributes") << header + two << int(StunMessage::NoError)
                                    << QList<quint16>{0x8022, 0x0015};
    QTest::newRow("short") << header.left(19) << int(StunMessage::ErrorShort) << QList<quint16>{};
    QByteArray notStun = header + two;
    notStun[0] = char(0x40);
    QTest::newRow("not stun") << notStun << int(StunMessage::ErrorNotStun) << QList<quint16>{};
    QByteArray cookie = header + two;
    cookie[7] = 0x43;
    QTest::newRow("bad cookie") << cookie << int(StunMessage::ErrorBadCookie) << QList<quint16>{};
    // The stated length reaches past the bytes held: what fits is read.
    QTest::newRow("held bytes end early") << header + two.left(8) << int(StunMessage::NoError)
                                          << QList<quint16>{0x8022};
    QTest::newRow("attribute header cut") << header + two.left(10) << int(StunMessage::ErrorTruncatedAttribute)
                                          << QList<quint16>{0x8022};
    QByteArray longAttr = header + two;
    longAttr[20 + 8 + 3] = char(0x40); // the second attribute states 64 bytes
    QTest::newRow("attribute past the end") << longAttr << int(StunMessage::ErrorTruncatedAttribute)
                                            << QList<quint16>{0x8022};
    // The stated length ends inside the second attribute.
    QByteArray shorter = header + two;
    shorter[3] = 0x0a;
    QTest::newRow("stated length ends inside") << shorter << int(StunMessage::ErrorTruncatedAttribute)
                                               << QList<quint16>{0x8022};
}

void TestStunMessage::walk()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, error);
    QFETCH(QList<quint16>, types);
    int got = -1;
    QCOMPARE(::walk(bytes, &got), types);
    QCOMPARE(got, error);
}

void TestStunMessage::addresses_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("xored");
    QTest::addColumn<QByteArray>("value");

    // IPv4 and IPv6 XOR values as in the published STUN test vectors.
    QTest::newRow("IPv4 xored") << "192.0.2.1" << true << QByteArray::fromHex("0001a147e112a643");
    QTest::newRow("IPv4 plain") << "192.0.2.1" << false << QByteArray::fromHex("00018055c0000201");
    QTest::newRow("IPv6 xored") << "2001:db8:1234:5678:11:2233:4455:6677" << true
                                << QByteArray::fromHex("0002a1470113a9faa5d3f179bc25f4b5bed2b9d9");
}

void TestStunMessage::addresses()
{
    QFETCH(QString, address);
    QFETCH(bool, xored);
    QFETCH(QByteArray, value);
    const quint16 port = 32853;
    std::array<quint8, 64> buffer;
    StunMessageWriter w(buffer.data(), buffer.size(), 0x0101, kId);
    QVERIFY(w.addAddress(StunMessage::AttrXorMappedAddress, QHostAddress(address), port, xored));
    const QByteArray written(reinterpret_cast<const char*>(buffer.data()), int(w.size()));
    QCOMPARE(written.mid(24).toHex(), value.toHex());

    StunMessage m(buffer.data(), w.size());
    StunMessage::Attribute a;
    QVERIFY(m.nextAttribute(a));
    QHostAddress back;
    quint16 backPort = 0;
    QVERIFY(m.readAddress(a, xored, back, backPort));
    QCOMPARE(back, QHostAddress(address));
    QCOMPARE(backPort, port);
    a.length = 7;
    QVERIFY(!m.readAddress(a, xored, back, backPort));
}

void TestStunMessage::writerStopsAtTheEnd()
{
    std::array<quint8, 40> buffer;
    buffer.fill(0xAA);
    StunMessageWriter w(buffer.data(), 32, 0x0003, kId);
    QVERIFY(w.addU32(StunMessage::AttrRequestedTransport, 17u << 24));
    QCOMPARE(w.size(), std::size_t(28));
    QVERIFY(!w.addAttribute(StunMessage::AttrSoftware, "abcd", 4));
    QCOMPARE(w.error(), int(StunMessageWriter::ErrorNoRoom));
    QVERIFY(!w.addU32(StunMessage::AttrLifetime, 1)); // the error sticks
    QCOMPARE(w.size(), std::size_t(28));
    for (std::size_t i = 32; i < buffer.size(); ++i)
        QCOMPARE(buffer[i], quint8(0xAA));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer.data()), 4).toHex(), QByteArray("00030008"));

    QByteArray big(70000, 'x');
    std::vector<quint8> large(70100);
    StunMessageWriter tooLong(large.data(), large.size(), 0x0003, kId);
    QVERIFY(!tooLong.addAttribute(StunMessage::AttrSoftware, big.constData(), 65536));
    QCOMPARE(tooLong.error(), int(StunMessageWriter::ErrorTooLong));

    StunMessageWriter none(nullptr, 100, 0x0001, kId);
    QVERIFY(none.hasError());
    QVERIFY(!none.reserveAttribute(StunMessage::AttrSoftware, 1));
}

void TestStunMessage::rfc5769Responses_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("attributes");
    QTest::newRow("ipv4") << QByteArray::fromHex(kRfc5769Ipv4) << "192.0.2.1" << 4;
    QTest::newRow("ipv6") << QByteArray::fromHex(kRfc5769Ipv6) << "2001:db8:1234:5678:11:2233:4455:6677" << 2;
}

void TestStunMessage::rfc5769Responses()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, address);
    QFETCH(int, attributes);
    StunMessage m(message.constData(), std::size_t(message.size()));
    QVERIFY(m.isValid());
    QCOMPARE(m.method(), quint16(StunMessage::MethodBinding));
    QCOMPARE(m.messageClass(), quint16(StunMessage::ClassSuccess));
    QVERIFY(m.transactionId() == kId);
    int seen = 0;
    bool found = false;
    StunMessage::Attribute a;
    while (m.nextAttribute(a)) {
        ++seen;
        if (a.type != StunMessage::AttrXorMappedAddress)
            continue;
        QHostAddress host;
        quint16 port = 0;
        QVERIFY(m.readAddress(a, true, host, port));
        QCOMPARE(host, QHostAddress(address));
        QCOMPARE(port, quint16(32853));
        found = true;
    }
    QCOMPARE(m.error(), int(StunMessage::NoError));
    QCOMPARE(seen, attributes);
    QVERIFY(found);
}

void TestStunMessage::bindingRequestHeaderBytes()
{
    const StunMessage::TransactionId id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::uint8_t buf[20];
    StunMessageWriter w(buf, sizeof buf, StunMessage::MethodBinding | StunMessage::ClassRequest, id);
    QVERIFY(!w.hasError());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buf), int(w.size())),
             QByteArray::fromHex("000100002112a442") + QByteArray::fromHex("0102030405060708090a0b0c"));
    StunMessage::TransactionId a, b;
    StunMessageWriter::randomTransactionId(a);
    StunMessageWriter::randomTransactionId(b);
    QVERIFY(a != b);
}

void TestStunMessage::errorCodes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<bool>("written");
    QTest::newRow("438") << 438 << QByteArray("Stale Nonce") << true;
    QTest::newRow("300, no reason") << 300 << QByteArray() << true;
    QTest::newRow("699, odd length") << 699 << QByteArray("abc") << true;
    QTest::newRow("200") << 200 << QByteArray("OK") << false;
    QTest::newRow("700") << 700 << QByteArray("x") << false;
}

void TestStunMessage::errorCodes()
{
    QFETCH(int, code);
    QFETCH(QByteArray, reason);
    QFETCH(bool, written);
    std::uint8_t buf[64];
    StunMessageWriter w(buf, sizeof buf, StunMessage::MethodBinding | StunMessage::ClassError, kId);
    QCOMPARE(w.addErrorCode(code, std::string_view(reason.constData(), std::size_t(reason.size()))), written);
    if (!written) {
        QCOMPARE(w.error(), int(StunMessageWriter::ErrorBadValue));
        return;
    }
    QCOMPARE(w.size() % 4, std::size_t(0));
    StunMessage m(buf, w.size());
    StunMessage::Attribute a;
    QVERIFY(m.nextAttribute(a));
    int read = 0;
    std::string text;
    QVERIFY(StunMessage::readErrorCode(a, read, text));
    QCOMPARE(read, code);
    QCOMPARE(QByteArray::fromStdString(text), reason);
    // A value of the wrong shape is refused.
    a.length = 3;
    QVERIFY(!StunMessage::readErrorCode(a, read, text));
}

QTEST_GUILESS_MAIN(TestStunMessage)
#include "tst_stunmessage.moc"
