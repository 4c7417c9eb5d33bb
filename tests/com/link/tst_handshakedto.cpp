#include "com/link/endpoint.h"
#include "com/link/handshakedto.h"
#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"

#include <QDateTime>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using com::TermStreamWriter;

namespace {

using Bytes = std::vector<quint8>;
using Key = std::array<quint8, HandshakeDto::KeyBytes>;
using Attributes = HandshakeDto::Attributes;

constexpr quint64 Clock = 0x0102030405060708ull;

Key keyOf(std::function<quint8(int)> byte)
{
    Key key{};
    for (int i = 0; i < int(key.size()); ++i)
        key[std::size_t(i)] = byte(i);
    return key;
}

const Key& ownKey()
{
    static const Key key = keyOf([](int i) { return quint8(i + 1); });
    return key;
}

const Key& peerSessionKey()
{
    static const Key key = keyOf([](int) { return quint8(0x11); });
    return key;
}

TransportDto transport(const char* type, const QString& host, quint16 port)
{
    TransportDto t;
    t.type = QString::fromLatin1(type);
    t.host = host;
    t.port = port;
    t.stream = t.type == QLatin1String("tcp") || t.type == QLatin1String("onion");
    return t;
}

HandshakeDto record()
{
    HandshakeDto dto;
    dto.flags = 1;
    dto.values = {3, 2, 1};
    dto.publicKey = ownKey();
    dto.attributes = {{"device", std::string("laptop")}, {"name", std::string("desk")}};
    dto.session = 0xDEADBEEF;
    dto.keyId = 10;
    dto.sessionKey = peerSessionKey();
    dto.transports = {transport("tcp", QStringLiteral("192.168.1.20"), 60391),
                      transport("onion", QStringLiteral("abcdefghijklmnop.onion"), 60391)};
    return dto;
}

Bytes serialized(const HandshakeDto& dto, quint64 clock = Clock)
{
    Bytes buffer(crypto::MaxPublicKeyMessageBytes);
    std::size_t len = buffer.size();
    if (dto.serialize(buffer.data(), &len, clock) != HandshakeDto::SerializeOk)
        return Bytes();
    buffer.resize(len);
    return buffer;
}

QByteArray hexOf(const Bytes& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())).toHex();
}

// A record written field by field, for what the serializer never produces.
QByteArray wire(const std::function<void(TermStreamWriter&)>& body)
{
    Bytes buffer(4096);
    TermStreamWriter w(buffer.data(), buffer.size());
    body(w);
    Q_ASSERT(!w.hasError());
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), int(w.size()));
}

// Channel, type, flags, no values, the public key.
void writeHead(TermStreamWriter& w)
{
    w.writeU8(0x40);
    w.writeU8(0);
    w.writeU32(0);
    w.writeSmallCount(0);
    w.writeBlob(ownKey().data(), ownKey().size());
}

// Time, session, key id and session key.
void writeMiddle(TermStreamWriter& w)
{
    w.writeU64(Clock);
    w.writeU32(7);
    w.writeU8(12);
    w.writeBlob(peerSessionKey().data(), peerSessionKey().size());
}

void writeAttributes(TermStreamWriter& w, const std::vector<std::pair<std::string, std::string>>& attributes)
{
    w.writeMapCount(quint32(attributes.size()));
    for (const auto& [key, value] : attributes) {
        w.writeString(key);
        w.writeString(value);
    }
}

struct WireTransport
{
    quint8 code;
    std::string host;
    quint16 port;
};

void writeTransports(TermStreamWriter& w, const std::vector<WireTransport>& transports)
{
    w.writeListCount(quint32(transports.size()));
    for (const WireTransport& t : transports) {
        w.writeSmallCount(3);
        w.writeU8(t.code);
        w.writeString(t.host);
        w.writeU16(t.port);
    }
}

int parse(HandshakeDto& dto, const QByteArray& bytes)
{
    return dto.parse(reinterpret_cast<const quint8*>(bytes.constData()), std::size_t(bytes.size()));
}

// Type, host, port and stream flag of each transport, the parts that travel.
QStringList describe(const std::vector<TransportDto>& transports)
{
    QStringList out;
    for (const TransportDto& t : transports)
        out << QStringLiteral("%1 %2:%3%4").arg(t.type, t.host).arg(t.port).arg(t.stream ? QLatin1String(" stream") : QLatin1String());
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Attributes)

class TestHandshakeDto : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void receivedTransportsGetIdentity();
    void typeCodeOnWire_data();
    void typeCodeOnWire();
    void serializeResult_data();
    void serializeResult();
    void writtenTimeIsTheClock();
    void wireVector_data();
    void wireVector();
    void parseAccepts_data();
    void parseAccepts();
    void parseRefuses_data();
    void parseRefuses();
    void everyTruncationIsRefused();
    void parseReplacesEarlierContent();
    void takesKeysFromEndpoint();
    void registeredAsMetaType();
};

void TestHandshakeDto::roundTrip_data()
{
    QTest::addColumn<HandshakeDto>("sent");
    QTest::addColumn<Attributes>("attributes");
    QTest::addColumn<QStringList>("transports");

    const HandshakeDto full = record();
    QTest::newRow("full record") << full << full.attributes
                                 << QStringList{"tcp 192.168.1.20:60391 stream",
                                                "onion abcdefghijklmnop.onion:60391 stream"};

    HandshakeDto dto = record();
    dto.transports.clear();
    dto.attributes = {{"invitation", std::nullopt}, {"name", std::string("desk")}};
    QTest::newRow("attribute without value stays home")
        << dto << Attributes{{"name", std::string("desk")}} << QStringList();

    dto.attributes = {{"greeting", std::string()}, {"", std::string("x")}, {"name", std::string("desk")}};
    QTest::newRow("empty value or key is not kept")
        << dto << Attributes{{"name", std::string("desk")}} << QStringList();

    dto = record();
    dto.attributes.clear();
    dto.transports = {transport("tcp", QStringLiteral("10.0.0.1"), 1),
                      transport("tcp", QStringLiteral("10.0.0.2"), 0),
                      transport("udp", QString(), 5000),
                      transport("smtp", QStringLiteral("10.0.0.3"), 25),
                      transport("TCP", QStringLiteral("10.0.0.4"), 80),
                      transport("udp", QStringLiteral("10.0.0.5"), 5000)};
    QTest::newRow("unusable transports dropped, rest in order")
        << dto << Attributes() << QStringList{"tcp 10.0.0.1:1 stream", "udp 10.0.0.5:5000"};

    dto.transports = {transport("udp", QStringLiteral("a"), 1), transport("tcp", QStringLiteral("b"), 2),
                      transport("turn", QStringLiteral("c"), 3), transport("onion", QStringLiteral("d"), 4)};
    QTest::newRow("stream flag for tcp and onion")
        << dto << Attributes()
        << QStringList{"udp a:1", "tcp b:2 stream", "turn c:3", "onion d:4 stream"};

    dto.transports = {transport("tcp", QStringLiteral("bücher.local"), 60391)};
    QTest::newRow("host is UTF-8") << dto << Attributes() << QStringList{"tcp bücher.local:60391 stream"};

    dto.transports = {transport("tcp", QString(200, QLatin1Char('h')), 60391)};
    QTest::newRow("host with two-byte length")
        << dto << Attributes() << QStringList{QStringLiteral("tcp %1:60391 stream").arg(QString(200, 'h'))};

    dto = record();
    dto.values.assign(HandshakeDto::MaxValues, 0xFFFF);
    dto.values.front() = 0;
    dto.flags = 0xFFFFFFFF;
    dto.session = 0;
    dto.keyId = 0xFF;
    dto.attributes = {{std::string(300, 'k'), std::string(20000, 'v')}};
    dto.transports.clear();
    QTest::newRow("limits: 255 values, long attribute, extreme numbers")
        << dto << dto.attributes << QStringList();
}

void TestHandshakeDto::roundTrip()
{
    QFETCH(HandshakeDto, sent);
    QFETCH(Attributes, attributes);
    QFETCH(QStringList, transports);

    const Bytes bytes = serialized(sent);
    QVERIFY(!bytes.empty());
    HandshakeDto received;
    QCOMPARE(received.parse(bytes.data(), bytes.size()), int(HandshakeDto::ParseOk));

    QCOMPARE(received.flags, sent.flags);
    QVERIFY(received.values == sent.values);
    QVERIFY(received.publicKey == sent.publicKey);
    QVERIFY(received.attributes == attributes);
    QCOMPARE(received.time, Clock);
    QCOMPARE(received.session, sent.session);
    QCOMPARE(received.keyId, sent.keyId);
    QVERIFY(received.sessionKey == sent.sessionKey);
    QCOMPARE(describe(received.transports), transports);
}

void TestHandshakeDto::receivedTransportsGetIdentity()
{
    HandshakeDto sent = record();
    sent.transports = {transport("tcp", QStringLiteral("a"), 1), transport("tcp", QStringLiteral("a"), 1)};
    const Bytes bytes = serialized(sent);

    const qint64 before = QDateTime::currentSecsSinceEpoch();
    HandshakeDto received;
    QCOMPARE(received.parse(bytes.data(), bytes.size()), 0);
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    QCOMPARE(received.transports.size(), std::size_t(2));
    for (const TransportDto& t : received.transports) {
        QVERIFY(!QUuid(t.uuid).isNull());
        QVERIFY(t.uuid.startsWith('{') && t.uuid.endsWith('}'));
        QCOMPARE(t.uuid, normalizedUuid(t.uuid));
        QVERIFY(t.timestamp >= before && t.timestamp <= after);
    }
    QVERIFY(received.transports[0].uuid != received.transports[1].uuid);
}

void TestHandshakeDto::typeCodeOnWire_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("code");
    QTest::newRow("tcp") << "tcp" << 1;
    QTest::newRow("udp") << "udp" << 2;
    QTest::newRow("onion") << "onion" << 4;
    QTest::newRow("turn") << "turn" << 8;
    QTest::newRow("unknown") << "smtp" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("upper case") << "TCP" << 0;
}

void TestHandshakeDto::typeCodeOnWire()
{
    QFETCH(QString, type);
    QFETCH(int, code);

    HandshakeDto dto = record();
    TransportDto t;
    t.type = type;
    t.host = QStringLiteral("h");
    t.port = 0x1234;
    dto.transports = {t};
    const Bytes bytes = serialized(dto);

    // The last transport ends the record: small count 3, u8 code, string
    // "h", u16 port.
    const QByteArray expected = QByteArray("0403") + "05" + QByteArray::number(code, 16).rightJustified(2, '0')
                                + "0d0168" + "063412";
    QCOMPARE(hexOf(bytes).right(expected.size()), expected);
}

void TestHandshakeDto::serializeResult_data()
{
    QTest::addColumn<HandshakeDto>("dto");
    QTest::addColumn<int>("shortBy"); // capacity: the size the record needs, less this
    QTest::addColumn<int>("result");

    HandshakeDto dto = record();
    QTest::newRow("fits exactly") << dto << 0 << 0;
    QTest::newRow("one byte short") << dto << 1 << 4;
    QTest::newRow("no room at all") << dto << -1 << 4;

    dto.publicKey.fill(0);
    QTest::newRow("all-zero key, everything else set") << dto << 0 << 3;

    dto.publicKey[0] = 0x80;
    dto.publicKey[31] = 0x80;
    QTest::newRow("key bytes sum to 0 mod 256") << dto << 0 << 0;

    dto.publicKey.fill(0);
    dto.publicKey[31] = 1;
    QTest::newRow("only the last key byte set") << dto << 0 << 0;

    dto = record();
    dto.values.assign(HandshakeDto::MaxValues + 1, 1);
    QTest::newRow("256 values") << dto << 0 << 4;
}

void TestHandshakeDto::serializeResult()
{
    QFETCH(HandshakeDto, dto);
    QFETCH(int, shortBy);
    QFETCH(int, result);

    // The size the record needs, or a generous one when it cannot be written.
    HandshakeDto writable = dto;
    writable.publicKey = ownKey();
    writable.values.resize(std::min(writable.values.size(), HandshakeDto::MaxValues));
    const std::size_t needed = serialized(writable).size();
    QVERIFY(needed > 0);

    const std::size_t capacity = shortBy < 0 ? 0 : needed - std::size_t(shortBy);
    // Exactly the capacity on the heap, so that a write past it is caught.
    Bytes buffer(capacity + 1, 0xAA);
    std::size_t len = capacity;
    QCOMPARE(int(dto.serialize(capacity ? buffer.data() : nullptr, &len, Clock)), result);
    QCOMPARE(buffer.back(), quint8(0xAA));

    switch (result) {
    case HandshakeDto::SerializeOk:
        QCOMPARE(len, needed);
        break;
    case HandshakeDto::SerializeNoPublicKey:
        QCOMPARE(len, std::size_t(0));
        QVERIFY(std::all_of(buffer.begin(), buffer.end(), [](quint8 b) { return b == 0xAA; }));
        break;
    default:
        QVERIFY(len <= capacity);
        break;
    }
}

void TestHandshakeDto::writtenTimeIsTheClock()
{
    HandshakeDto dto = record();
    dto.time = 12345;
    Bytes buffer(512);
    std::size_t len = buffer.size();
    const quint64 before = quint64(QDateTime::currentSecsSinceEpoch());
    QCOMPARE(dto.serialize(buffer.data(), &len), quint32(HandshakeDto::SerializeOk));
    const quint64 after = quint64(QDateTime::currentSecsSinceEpoch());

    HandshakeDto received;
    QCOMPARE(received.parse(buffer.data(), len), 0);
    QVERIFY2(received.time >= before && received.time <= after, QByteArray::number(received.time));
}

void TestHandshakeDto::wireVector_data()
{
    QTest::addColumn<HandshakeDto>("dto");
    QTest::addColumn<QByteArray>("hex");

    const QByteArray key = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";
    const QByteArray zeroKey = QByteArray(64, '0');
    const QByteArray sessionKey = QByteArray("11").repeated(32);

    HandshakeDto minimal;
    minimal.publicKey = ownKey();
    QTest::newRow("minimal") << minimal
                             << "0540" "0500" "0700000000" "0400"
                                "0f20000000" + key +
                                "1000000000"
                                "080807060504030201"
                                "0700000000" "0500"
                                "0f20000000" + zeroKey +
                                "0e00000000";

    HandshakeDto one;
    one.flags = 1;
    one.values = {0x0203};
    one.publicKey = ownKey();
    one.attributes = {{"name", std::string("pc")}, {"invitation", std::nullopt}};
    one.time = 99; // not what is written
    one.session = 0xDEADBEEF;
    one.keyId = 10;
    one.sessionKey = peerSessionKey();
    one.transports = {transport("tcp", QStringLiteral("10.0.0.1"), 60391)};
    QTest::newRow("one of each") << one
                                 << "0540" "0500" "0701000000" "0401" "060302"
                                    "0f20000000" + key +
                                    "1001000000" "0d046e616d65" "0d027063"
                                    "080807060504030201"
                                    "07efbeadde" "050a"
                                    "0f20000000" + sessionKey +
                                    "0e01000000" "0403" "0501" "0d0831302e302e302e31" "06e7eb";

    // Keys go out in byte order: "B" (0x42), "a" (0x61), "é" (0xc3 0xa9); a
    // value of 130 bytes takes a two-byte length, 0x8082.
    HandshakeDto ordered = minimal;
    ordered.attributes = {{"\xc3\xa9", std::string("1")}, {"a", std::string(130, 'v')}, {"B", std::string("2")}};
    QTest::newRow("attribute order and long value")
        << ordered
        << "0540" "0500" "0700000000" "0400"
           "0f20000000" + key +
           "1003000000"
           "0d0142" "0d0132"
           "0d0161" "0d8082" + QByteArray(130, 'v').toHex() +
           "0d02c3a9" "0d0131"
           "080807060504030201"
           "0700000000" "0500"
           "0f20000000" + zeroKey +
           "0e00000000";
}

void TestHandshakeDto::wireVector()
{
    QFETCH(HandshakeDto, dto);
    QFETCH(QByteArray, hex);

    QCOMPARE(hexOf(serialized(dto)), hex);
}

void TestHandshakeDto::parseAccepts_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<Attributes>("attributes");
    QTest::addColumn<QStringList>("transports");
    QTest::addColumn<bool>("hasPublicKey");

    QTest::newRow("repeated key keeps its first value")
        << wire([](TermStreamWriter& w) {
               writeHead(w);
               writeAttributes(w, {{"name", "first"}, {"name", "second"}});
               writeMiddle(w);
               writeTransports(w, {});
           })
        << Attributes{{"name", std::string("first")}} << QStringList() << true;

    QTest::newRow("empty key or value skipped")
        << wire([](TermStreamWriter& w) {
               writeHead(w);
               writeAttributes(w, {{"a", ""}, {"", "b"}, {"c", "d"}, {"a", "later"}});
               writeMiddle(w);
               writeTransports(w, {});
           })
        << Attributes{{"a", std::string("later")}, {"c", std::string("d")}} << QStringList() << true;

    QTest::newRow("unusable transports dropped")
        << wire([](TermStreamWriter& w) {
               writeHead(w);
               writeAttributes(w, {});
               writeMiddle(w);
               // A host of only a UTF-8 byte-order mark is empty as text.
               writeTransports(w, {{3, "a", 1}, {1, "b", 2}, {0, "c", 3}, {16, "d", 4}, {2, "", 5},
                                   {8, "e", 0}, {1, "\xef\xbb\xbf", 8}, {4, "f", 6}, {255, "g", 7}});
           })
        << Attributes() << QStringList{"tcp b:2 stream", "onion f:6 stream"} << true;

    QTest::newRow("public key of 31 bytes is not taken")
        << wire([](TermStreamWriter& w) {
               w.writeU8(0x40);
               w.writeU8(0);
               w.writeU32(0);
               w.writeSmallCount(0);
               w.writeBlob(ownKey().data(), 31);
               writeAttributes(w, {});
               writeMiddle(w);
               writeTransports(w, {});
           })
        << Attributes() << QStringList() << false;
}

void TestHandshakeDto::parseAccepts()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Attributes, attributes);
    QFETCH(QStringList, transports);
    QFETCH(bool, hasPublicKey);

    HandshakeDto dto;
    QCOMPARE(parse(dto, bytes), int(HandshakeDto::ParseOk));
    QVERIFY(dto.attributes == attributes);
    QCOMPARE(describe(dto.transports), transports);
    QCOMPARE(dto.hasPublicKey(), hasPublicKey);
    QCOMPARE(dto.time, Clock);
    QCOMPARE(dto.session, quint32(7));
    QCOMPARE(dto.keyId, crypto::KeyId(12));
    QVERIFY(dto.sessionKey == peerSessionKey());
}

void TestHandshakeDto::parseRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("channel is not 0x40") << wire([](TermStreamWriter& w) {
        w.writeU8(0x41);
        w.writeU8(0);
    });
    QTest::newRow("a PING, not a handshake") << wire([](TermStreamWriter& w) {
        w.writeU8(0x40);
        w.writeU8(2);
        w.writeU64(Clock);
    });
    QTest::newRow("channel as u16") << wire([](TermStreamWriter& w) {
        w.writeU16(0x40);
        w.writeU8(0);
    });
    QTest::newRow("type as u32") << wire([](TermStreamWriter& w) {
        w.writeU8(0x40);
        w.writeU32(0);
    });
    QTest::newRow("attribute followed by a u64") << wire([](TermStreamWriter& w) {
        writeHead(w);
        w.writeMapCount(1);
        w.writeString(std::string("name"));
        writeMiddle(w);
        writeTransports(w, {});
    });
    QTest::newRow("attribute value is a blob") << wire([](TermStreamWriter& w) {
        writeHead(w);
        w.writeMapCount(1);
        w.writeString(std::string("name"));
        w.writeBlob(Bytes{'x'});
        writeMiddle(w);
        writeTransports(w, {});
    });
    QTest::newRow("attribute key at the very end") << wire([](TermStreamWriter& w) {
        writeHead(w);
        w.writeMapCount(1);
        w.writeString(std::string("name"));
    });
    QTest::newRow("255 values announced, two present") << wire([](TermStreamWriter& w) {
        w.writeU8(0x40);
        w.writeU8(0);
        w.writeU32(0);
        w.writeSmallCount(255);
        w.writeU16(1);
        w.writeU16(2);
    });
    QTest::newRow("value as u32") << wire([](TermStreamWriter& w) {
        w.writeU8(0x40);
        w.writeU8(0);
        w.writeU32(0);
        w.writeSmallCount(1);
        w.writeU32(1);
        w.writeBlob(ownKey().data(), ownKey().size());
        writeAttributes(w, {});
        writeMiddle(w);
        writeTransports(w, {});
    });
    QTest::newRow("attribute count far beyond the record") << wire([](TermStreamWriter& w) {
        writeHead(w);
        w.writeMapCount(0xFFFFFFFF);
        writeAttributes(w, {{"a", "b"}});
    });
    QTest::newRow("transport count far beyond the record") << wire([](TermStreamWriter& w) {
        writeHead(w);
        writeAttributes(w, {});
        writeMiddle(w);
        w.writeListCount(0xFFFFFFFF);
        w.writeSmallCount(3);
        w.writeU8(1);
        w.writeString(std::string("h"));
        w.writeU16(1);
    });
    QTest::newRow("transport port as u32") << wire([](TermStreamWriter& w) {
        writeHead(w);
        writeAttributes(w, {});
        writeMiddle(w);
        w.writeListCount(1);
        w.writeSmallCount(3);
        w.writeU8(1);
        w.writeString(std::string("h"));
        w.writeU32(1);
    });
    QTest::newRow("session key longer than the record") << wire([](TermStreamWriter& w) {
        writeHead(w);
        writeAttributes(w, {});
        w.writeU64(Clock);
        w.writeU32(7);
        w.writeU8(12);
        w.writeRawU8(com::TagBlob);
        w.writeRawU32(0xFFFFFFF0);
        w.writeRawU32(0);
    });
    QTest::newRow("string length prefix 0xF0") << wire([](TermStreamWriter& w) {
        writeHead(w);
        w.writeMapCount(1);
        w.writeRawU8(com::TagString);
        w.writeRawU8(0xF0);
        w.writeRawU32(0);
    });
}

void TestHandshakeDto::parseRefuses()
{
    QFETCH(QByteArray, bytes);

    // A heap copy of exactly the record's size, so that a read past it is caught.
    const Bytes copy(bytes.begin(), bytes.end());
    HandshakeDto dto;
    QCOMPARE(dto.parse(copy.data(), copy.size()), int(HandshakeDto::ParseFailed));
}

void TestHandshakeDto::everyTruncationIsRefused()
{
    HandshakeDto sent = record();
    sent.attributes.emplace("greeting", std::string(200, 'g'));
    const Bytes bytes = serialized(sent);
    QVERIFY(!bytes.empty());

    HandshakeDto whole;
    QCOMPARE(whole.parse(bytes.data(), bytes.size()), 0);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        const Bytes part(bytes.begin(), bytes.begin() + std::ptrdiff_t(cut));
        HandshakeDto dto;
        QVERIFY2(dto.parse(part.data(), part.size()) == HandshakeDto::ParseFailed,
                 qPrintable(QStringLiteral("accepted %1 of %2 bytes").arg(cut).arg(bytes.size())));
    }
    HandshakeDto dto;
    QCOMPARE(dto.parse(nullptr, 0), int(HandshakeDto::ParseFailed));
}

void TestHandshakeDto::parseReplacesEarlierContent()
{
    HandshakeDto first = record();
    first.attributes = {{"name", std::string("old")}, {"invitation", std::string("x")}};
    HandshakeDto second = record();
    second.attributes = {{"name", std::string("new")}};
    second.values = {1};
    second.transports = {transport("udp", QStringLiteral("u"), 9)};

    HandshakeDto dto;
    const Bytes a = serialized(first);
    const Bytes b = serialized(second);
    QCOMPARE(dto.parse(a.data(), a.size()), 0);
    QCOMPARE(dto.parse(b.data(), b.size()), 0);
    QVERIFY(dto.attributes == second.attributes);
    QVERIFY(dto.values == second.values);
    QCOMPARE(describe(dto.transports), QStringList{"udp u:9"});
}

void TestHandshakeDto::takesKeysFromEndpoint()
{
    const Key secret = keyOf([](int i) { return quint8(0xC0 + i); });
    const Key rx = keyOf([](int i) { return quint8(0x70 - i); });
    Endpoint endpoint;
    CryptoKeyDto pair;
    pair.type = QStringLiteral("pksk");
    pair.key = QByteArray(reinterpret_cast<const char*>(ownKey().data()), int(ownKey().size()))
               + QByteArray(reinterpret_cast<const char*>(secret.data()), int(secret.size()));
    endpoint.setCryptoKey(pair);
    endpoint.setRxKey(42, rx.data());
    endpoint.setTxKey(43, peerSessionKey().data());

    const HandshakeDto dto(endpoint);
    QCOMPARE(dto.keyId, crypto::KeyId(42));
    QVERIFY(dto.sessionKey == rx);
    QVERIFY(dto.publicKey == ownKey());
    QCOMPARE(dto.flags, quint32(0));
    QVERIFY(dto.values.empty());
    QVERIFY(dto.attributes.empty());
    QCOMPARE(dto.time, quint64(0));
    QCOMPARE(dto.session, quint32(0));
    QVERIFY(dto.transports.empty());

    // A fresh endpoint has no key pair yet: nothing to send.
    const HandshakeDto unkeyed{Endpoint()};
    Bytes buffer(512);
    std::size_t len = buffer.size();
    QCOMPARE(unkeyed.serialize(buffer.data(), &len), quint32(HandshakeDto::SerializeNoPublicKey));
}

void TestHandshakeDto::registeredAsMetaType()
{
    HandshakeDto::registerMetaType();
    const int id = QMetaType::type("HandshakeDto");
    QVERIFY(id != QMetaType::UnknownType);
    QCOMPARE(id, qMetaTypeId<HandshakeDto>());

    const HandshakeDto dto = record();
    const QVariant variant(id, &dto);
    QVERIFY(variant.value<HandshakeDto>() == dto);
}

QTEST_GUILESS_MAIN(TestHandshakeDto)
#include "tst_handshakedto.moc"
