#include "com/wire/termstreamwriter.h"
#include "core/databasesqlite.h"
#include "crypto/crypto.h"
#include "peer/invitationrecord.h"
#include "peer/peerfactory.h"
#include "peer/peervelm.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>

#include <sodium.h>

#include <atomic>
#include <memory>

using Result = InvitationRecord::Result;

Q_DECLARE_METATYPE(std::vector<TransportDto>)

namespace {

const QString password = QStringLiteral("Secret12");
const QString invitationId = QStringLiteral("{3f0c1d2e-4b5a-4c6d-8e7f-9a0b1c2d3e4f}");
constexpr quint64 inviteTime = 1700000000;

TransportDto transport(const QString& type, const QString& host, quint16 port = 60391)
{
    return TransportDto{QUuid::createUuid().toString(), type, host, port, 1600000000,
                        type == QLatin1String("tcp") || type == QLatin1String("onion")};
}

// What the connection manager hands out as the own transports: the listen
// socket on loopback, a TURN relay and the reachable ones.
std::vector<TransportDto> ownTransports()
{
    return {transport("tcp", "192.168.1.20"), transport("turn", "relay.example.org", 3478),
            transport("udp", "192.168.1.20"), transport("tcp", "127.0.0.1"),
            transport("onion", "velmexampleonionaddressxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.onion", 60392)};
}

// The store with a fault: the failAt-th write of another peer's rows (its
// row, key, attributes or transports, counted from 1) fails; 0 fails none.
class FaultyDatabase : public DatabaseSqlite
{
public:
    using DatabaseSqlite::DatabaseSqlite;

    int failAt = 0;
    int writes = 0;

    bool putPeer(const PeerDto& dto) override { return pass(dto.uuid) && DatabaseSqlite::putPeer(dto); }
    bool putCryptoKey(const Uuid& peer, const CryptoKeyDto& dto) override
    {
        return pass(peer) && DatabaseSqlite::putCryptoKey(peer, dto);
    }
    bool putPeerAttribute(const Uuid& peer, const PeerAttributeDto& dto) override
    {
        return pass(peer) && DatabaseSqlite::putPeerAttribute(peer, dto);
    }
    bool putTransport(const Uuid& peer, const TransportDto& dto) override
    {
        return pass(peer) && DatabaseSqlite::putTransport(peer, dto);
    }

private:
    bool pass(const QString& peer)
    {
        if (peer == ownPeerUuid())
            return true;
        return ++writes != failAt;
    }
};

// One machine: its own database, its own peer row and key pair.
struct Machine
{
    explicit Machine(bool withKeyPair = true)
    {
        db.reset(new FaultyDatabase(dir.filePath(QStringLiteral("velm.db"))));
        db->putPeer(PeerDto{ownPeerUuid(), QStringLiteral("velm"), QDateTime::fromSecsSinceEpoch(1600000000)});
        unsigned char pk[crypto::PublicKeyBytes];
        unsigned char sk[crypto::SecretKeyBytes];
        crypto::generateKeyPair(pk, sk);
        publicKey = QByteArray(reinterpret_cast<const char*>(pk), sizeof pk);
        secretKey = QByteArray(reinterpret_cast<const char*>(sk), sizeof sk);
        if (withKeyPair)
            db->putCryptoKey(ownPeerUuid(), CryptoKeyDto{QUuid::createUuid().toString(), publicKey + secretKey,
                                                         QStringLiteral("pksk"),
                                                         QDateTime::fromSecsSinceEpoch(1600000000)});
    }

    std::vector<PeerDto> otherPeers() const
    {
        std::vector<PeerDto> peers;
        for (const PeerDto& p : db->getPeers(QStringLiteral("velm"))) {
            if (p.uuid != ownPeerUuid())
                peers.push_back(p);
        }
        return peers;
    }

    QString attribute(const QString& peer, const char* key) const
    {
        const auto values = db->getPeerAttributes(peer, {QLatin1String(key)});
        return values.empty() ? QString() : values.front().value;
    }

    QStringList passwords() const
    {
        QStringList list;
        for (const PeerAttributeDto& a : db->getPeerAttributes(ownPeerUuid(), {QStringLiteral("invpw")}))
            list << a.value;
        list.sort();
        return list;
    }

    // Every row that an accept could write, as text, to compare before and after.
    QStringList snapshot() const
    {
        QStringList rows;
        for (const PeerDto& p : db->getPeers(QStringLiteral("velm"))) {
            rows << QStringLiteral("peer %1").arg(p.uuid);
            for (const CryptoKeyDto& k : db->getCryptoKeys(p.uuid))
                rows << QStringLiteral("key %1 %2").arg(k.type, QString::fromLatin1(k.key.toHex()));
            for (const PeerAttributeDto& a : db->getPeerAttributes(p.uuid, {}))
                rows << QStringLiteral("attr %1=%2").arg(a.key, a.value);
            for (const TransportDto& t : db->getTransports(p.uuid))
                rows << QStringLiteral("transport %1 %2 %3").arg(t.type, t.host).arg(t.port);
        }
        rows.sort();
        return rows;
    }

    QTemporaryDir dir;
    std::unique_ptr<FaultyDatabase> db;
    QByteArray publicKey;
    QByteArray secretKey;
};

// A plain record written field by field, independently of the program's
// writer, so that the tables can hold near-copies with one thing wrong.
struct Plain
{
    struct Entry
    {
        quint8 code;
        QByteArray host;
        quint16 port;
    };

    quint8 type = InvitationRecord::RecordType;
    quint32 flags = 1;
    quint64 time = inviteTime;
    QByteArray key = QByteArray(32, '\x5a');
    QByteArray id = invitationId.toUtf8();
    QByteArray name = "Alpha";
    std::vector<Entry> entries{{1, "192.168.1.20", 60391}};
    qint64 count = -1; // the list count written; -1 for the number of entries
    int cut = -1;      // keep only this many bytes

    QByteArray bytes() const
    {
        QByteArray buffer(4096, '\0');
        com::TermStreamWriter w(buffer.data(), std::size_t(buffer.size()));
        w.writeRawU8(type);
        w.writeU8(1);
        w.writeU32(flags);
        w.writeU64(time);
        w.writeBlob(key.constData(), std::size_t(key.size()));
        w.writeString(id.constData(), std::size_t(id.size()));
        w.writeString(name.constData(), std::size_t(name.size()));
        w.writeListCount(count < 0 ? quint32(entries.size()) : quint32(count));
        for (const Entry& e : entries) {
            w.writeSmallCount(3);
            w.writeU8(e.code);
            w.writeString(e.host.constData(), std::size_t(e.host.size()));
            w.writeU16(e.port);
        }
        const QByteArray signature(64, '\x33');
        w.writeBlob(signature.constData(), 64);
        Q_ASSERT(!w.hasError());
        buffer.truncate(int(w.size()));
        if (cut >= 0)
            buffer.truncate(cut);
        return buffer;
    }

    // The record with its name grown so that it is exactly size bytes long.
    static QByteArray ofSize(int size)
    {
        Plain p;
        for (int length = 0; length < 1000; ++length) {
            p.name = QByteArray(length, 'n');
            const QByteArray b = p.bytes();
            if (b.size() == size)
                return b;
        }
        return QByteArray();
    }
};

QByteArray sealed(const QByteArray& plain, const QString& pw = password)
{
    QByteArray out;
    const int rc = InvitationRecord::seal(plain, pw, &out);
    Q_ASSERT(rc == InvitationRecord::Ok);
    Q_UNUSED(rc);
    return out;
}

QString textOf(const QByteArray& plain, const QString& pw = password)
{
    return InvitationRecord::wrap(sealed(plain, pw)).toString();
}

QString textOfCompressed(const QByteArray& compressed)
{
    return QStringLiteral("velm:")
           + QString::fromLatin1(compressed.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// The compressed bytes with another size in their header.
QByteArray withStatedSize(QByteArray compressed, quint32 size)
{
    qToBigEndian(size, compressed.data());
    return compressed;
}

Plain::Entry entry(quint8 code, const QByteArray& host, quint16 port = 60391)
{
    return Plain::Entry{code, host, port};
}

QStringList describe(const std::vector<TransportDto>& transports)
{
    QStringList list;
    for (const TransportDto& t : transports)
        list << QStringLiteral("%1 %2 %3%4").arg(t.type, t.host).arg(t.port).arg(t.stream ? " stream" : "");
    return list;
}

} // namespace

class TestInvitation : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void layout();
    void createAndDecode();
    void decode_data();
    void decode();
    void hostileTextsFailFast();
    void create_data();
    void create();
    void largestRecord();
    void deviceTypes_data();
    void deviceTypes();
    void acceptStoresInviter();
    void acceptTwiceStoresOnce();
    void acceptFailedWriteLeavesNothing_data();
    void acceptFailedWriteLeavesNothing();
    void acceptKnownKeyAddsOnlyMissing();
    void acceptOwnInvitation();
    void acceptedPasswordForgotten_data();
    void acceptedPasswordForgotten();
    void acceptFarFutureTime();
    void addInvitationPassword();
    void concurrentAcceptsStoreOnePeer();
    void acceptFromInsideAcceptRefused();

private:
    QUrl invite(quint32 flags = 2, const QString& id = invitationId, const QString& name = QStringLiteral("Alpha"),
                const std::vector<TransportDto>& transports = ownTransports())
    {
        return PeerFactory::createInvitation(a()->db.get(), flags, id, name, password, inviteTime, transports);
    }

    // Made on first use, so that the tests of the text alone set up no database.
    Machine* a()
    {
        if (!m_a)
            m_a.reset(new Machine);
        return m_a.get();
    }
    Machine* b()
    {
        if (!m_b)
            m_b.reset(new Machine);
        return m_b.get();
    }

    std::unique_ptr<Crypto> m_crypto;
    std::unique_ptr<Machine> m_a; // the inviting machine
    std::unique_ptr<Machine> m_b; // the invited machine
};

void TestInvitation::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
}

void TestInvitation::init()
{
    m_a.reset();
    m_b.reset();
}

void TestInvitation::cleanup()
{
    m_a.reset();
    m_b.reset();
}

// The plain record has the documented layout, is signed with the Ed25519 key
// whose seed is the own secret key, and travels sealed, compressed and in
// URL-safe Base64 behind "velm:".
void TestInvitation::layout()
{
    InvitationRecord record;
    record.flags = 0x12; // written AND 15
    record.timestamp = inviteTime;
    record.publicKey = a()->publicKey;
    record.id = invitationId;
    record.name = QStringLiteral("Alpha");
    record.transports = {transport("tcp", "192.168.1.20"), transport("turn", "relay.example.org", 3478)};
    int rc = -1;
    const QByteArray plain = record.writePlain(a()->secretKey, &rc);
    QCOMPARE(rc, int(InvitationRecord::Ok));

    Plain expected;
    expected.flags = 2;
    expected.key = a()->publicKey;
    // Everything before the signature field is as written by hand.
    const QByteArray head = expected.bytes().chopped(69);
    QCOMPARE(plain.left(head.size()).toHex(), head.toHex());
    QCOMPARE(plain.size(), head.size() + 69);
    QCOMPARE(quint8(plain[0]), quint8(0x14));
    QCOMPARE(plain.mid(17, 5).toHex(), QByteArray("0f20000000"));
    QCOMPARE(plain.mid(22, 32), a()->publicKey);
    QCOMPARE(quint8(plain[54]), quint8(13));

    const QByteArray signatureField = plain.right(69);
    QCOMPARE(signatureField.left(5).toHex(), QByteArray("0f40000000"));
    unsigned char signingPk[crypto_sign_PUBLICKEYBYTES];
    unsigned char signingSk[crypto_sign_SECRETKEYBYTES];
    QCOMPARE(crypto_sign_seed_keypair(signingPk, signingSk,
                                      reinterpret_cast<const unsigned char*>(a()->secretKey.constData())),
             0);
    QCOMPARE(crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signatureField.constData()) + 5,
                                         reinterpret_cast<const unsigned char*>(plain.constData()),
                                         quint64(head.size()), signingPk),
             0);

    QUrl url;
    QCOMPARE(record.encode(a()->secretKey, password, &url), int(InvitationRecord::Ok));
    const QString text = url.toString();
    QVERIFY(text.startsWith(QLatin1String("velm:")));
    QCOMPARE(url.scheme(), QStringLiteral("velm"));
    QCOMPARE(url.path(), text.mid(5));
    QVERIFY(!text.contains(QLatin1Char('=')) && !text.contains(QLatin1Char('+')) && !text.contains(QLatin1Char('/')));
    const QByteArray compressed = QByteArray::fromBase64(text.mid(5).toLatin1(), QByteArray::Base64UrlEncoding);
    QCOMPARE(qFromBigEndian<quint32>(compressed.constData()), quint32(plain.size() + 30));
    QByteArray opened;
    QCOMPARE(InvitationRecord::open(qUncompress(compressed), password, &opened), int(InvitationRecord::Ok));
    QCOMPARE(opened.left(opened.size() - 64), plain.left(plain.size() - 64));
}

// Created from one machine's database and read back: every field, and the
// transports a reader can use, in order, without TURN and loopback.
void TestInvitation::createAndDecode()
{
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const QUrl url = invite(2);
    QVERIFY(!url.isEmpty());
    InvitationRecord record;
    QVERIFY(PeerFactory::decodeInvitation(url.toString(), password, &record));
    QCOMPARE(record.version, quint8(1));
    QCOMPARE(record.timestamp, inviteTime);
    QCOMPARE(record.flags, quint32(2));
    QCOMPARE(record.deviceType, quint8(2));
    QCOMPARE(record.publicKey, a()->publicKey);
    QCOMPARE(record.id, invitationId);
    QCOMPARE(record.name, QStringLiteral("Alpha"));
    QCOMPARE(describe(record.transports),
             (QStringList{"tcp 192.168.1.20 60391 stream", "udp 192.168.1.20 60391",
                          "onion velmexampleonionaddressxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.onion 60392 stream"}));
    for (const TransportDto& t : record.transports) {
        QVERIFY(QUuid(t.uuid).version() == QUuid::Random && t.uuid.startsWith(QLatin1Char('{')));
        QVERIFY(t.timestamp >= before && t.timestamp <= QDateTime::currentSecsSinceEpoch());
    }
    QVERIFY(record.transports[0].uuid != record.transports[1].uuid);

    // A name beyond ASCII survives.
    const QUrl named = invite(1, invitationId, QStringLiteral("Küche ☕"));
    QVERIFY(PeerFactory::decodeInvitation(named.toString(), password, &record));
    QCOMPARE(record.name, QStringLiteral("Küche ☕"));
}

void TestInvitation::decode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("pw");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("transports");

    const QStringList one{"tcp 192.168.1.20 60391 stream"};
    const Plain base;
    const QString valid = textOf(base.bytes());
    auto row = [](const char* name) { return &QTest::newRow(name); };
    auto with = [&base](auto change) {
        Plain p = base;
        change(p);
        return p.bytes();
    };

    *row("valid") << valid << password << int(Result::Ok) << one;
    *row("wrong password") << valid << QStringLiteral("Secret13") << int(Result::ErrorOpen) << QStringList();
    *row("password in other case") << valid << QStringLiteral("secret12") << int(Result::ErrorOpen) << QStringList();
    *row("empty password") << valid << QString() << int(Result::ErrorOpen) << QStringList();
    *row("sealed under the empty password, opened with it")
        << textOf(base.bytes(), QString()) << QString() << int(Result::Ok) << one;

    // Transports.
    *row("loopback only") << textOf(with([](Plain& p) { p.entries = {entry(1, "127.0.0.1"), entry(2, "::1")}; }))
                          << password << int(Result::ErrorNoTransport) << QStringList();
    *row("loopback beside a routable host")
        << textOf(with([](Plain& p) {
               p.entries = {entry(1, "127.0.0.1"), entry(2, "10.1.2.3", 4000), entry(2, "::1")};
           }))
        << password << int(Result::Ok) << QStringList{"udp 10.1.2.3 4000"};
    *row("other loopback spellings")
        << textOf(with([](Plain& p) {
               p.entries = {entry(1, "127.0.0.2"), entry(1, "localhost"), entry(1, "::ffff:127.0.0.1"),
                            entry(1, "0:0:0:0:0:0:0:1")};
           }))
        << password << int(Result::ErrorNoTransport) << QStringList();
    *row("turn code beside tcp") << textOf(with([](Plain& p) { p.entries.insert(p.entries.begin(), entry(8, "relay.example.org", 3478)); }))
                                 << password << int(Result::Ok) << one;
    *row("turn only") << textOf(with([](Plain& p) { p.entries = {entry(8, "relay.example.org", 3478)}; }))
                      << password << int(Result::ErrorNoTransport) << QStringList();
    *row("unknown codes 0 and 3") << textOf(with([](Plain& p) { p.entries = {entry(0, "10.0.0.1"), entry(3, "10.0.0.2")}; }))
                                  << password << int(Result::ErrorNoTransport) << QStringList();
    *row("empty host and port 0") << textOf(with([](Plain& p) { p.entries = {entry(1, ""), entry(1, "10.0.0.1", 0)}; }))
                                  << password << int(Result::ErrorNoTransport) << QStringList();
    *row("all three kinds in order")
        << textOf(with([](Plain& p) {
               p.entries = {entry(4, "abc.onion", 9), entry(2, "10.0.0.1", 7), entry(1, "10.0.0.2", 8)};
           }))
        << password << int(Result::Ok)
        << QStringList{"onion abc.onion 9 stream", "udp 10.0.0.1 7", "tcp 10.0.0.2 8 stream"};
    *row("host of 199 bytes") << textOf(with([](Plain& p) { p.entries = {entry(1, QByteArray(199, 'h'))}; }))
                              << password << int(Result::Ok)
                              << QStringList{QStringLiteral("tcp %1 60391 stream").arg(QString(199, 'h'))};
    *row("host of 200 bytes") << textOf(with([](Plain& p) { p.entries = {entry(1, QByteArray(200, 'h'))}; }))
                              << password << int(Result::ErrorRecord) << QStringList();
    *row("host not UTF-8 beside a good one")
        << textOf(with([](Plain& p) { p.entries.insert(p.entries.begin(), entry(1, "\xff\xfe" "10.0.0.1")); }))
        << password << int(Result::Ok) << one;
    *row("host cut at a NUL") << textOf(with([](Plain& p) { p.entries = {entry(1, QByteArray("10.0.0.5\0junk", 13))}; }))
                              << password << int(Result::Ok) << QStringList{"tcp 10.0.0.5 60391 stream"};

    // Record.
    *row("sealed record of 512 bytes") << textOf(Plain::ofSize(482)) << password << int(Result::Ok) << one;
    *row("sealed record of 513 bytes") << textOf(Plain::ofSize(483)) << password << int(Result::ErrorSize)
                                       << QStringList();
    *row("record type 21") << textOf(with([](Plain& p) { p.type = 21; })) << password
                           << int(Result::ErrorRecordType) << QStringList();
    *row("public key of 31 bytes") << textOf(with([](Plain& p) { p.key.chop(1); })) << password
                                   << int(Result::ErrorPublicKey) << QStringList();
    *row("public key of 33 bytes") << textOf(with([](Plain& p) { p.key.append('k'); })) << password
                                   << int(Result::ErrorPublicKey) << QStringList();
    *row("no public key") << textOf(with([](Plain& p) { p.key.clear(); })) << password
                          << int(Result::ErrorPublicKey) << QStringList();
    *row("record type only") << textOf(with([](Plain& p) { p.cut = 1; })) << password << int(Result::ErrorRecord)
                             << QStringList();
    *row("cut inside the transports") << textOf(with([&](Plain& p) { p.cut = base.bytes().size() - 69 - 4; }))
                                      << password << int(Result::ErrorRecord) << QStringList();
    *row("cut before the signature") << textOf(with([&](Plain& p) { p.cut = base.bytes().size() - 69; }))
                                     << password << int(Result::Ok) << one;
    *row("count claims 4294967295 entries") << textOf(with([](Plain& p) { p.count = 0xFFFFFFFF; })) << password
                                            << int(Result::ErrorRecord) << QStringList();
    *row("count claims none") << textOf(with([](Plain& p) { p.count = 0; })) << password
                              << int(Result::ErrorNoTransport) << QStringList();

    // Text.
    *row("upper-case scheme") << QStringLiteral("VELM") + valid.mid(4) << password << int(Result::Ok) << one;
    *row("trailing '=' given") << valid + QString((4 - (valid.size() - 5) % 4) % 4, QLatin1Char('=')) << password
                               << int(Result::Ok) << one;
    *row("NUL ends the text") << valid + QChar(0) + QStringLiteral("junk") << password << int(Result::Ok) << one;
}

void TestInvitation::decode()
{
    QFETCH(QString, text);
    QFETCH(QString, pw);
    QFETCH(int, expected);
    QFETCH(QStringList, transports);
    InvitationRecord record;
    QCOMPARE(InvitationRecord::decode(text, pw, &record), expected);
    QCOMPARE(PeerFactory::decodeInvitation(text, pw, &record), expected == InvitationRecord::Ok);
    if (expected != InvitationRecord::Ok)
        return;
    QCOMPARE(describe(record.transports), transports);
    QCOMPARE(record.publicKey, QByteArray(32, '\x5a'));
    QCOMPARE(record.id, invitationId);
    QCOMPARE(record.timestamp, inviteTime);
}

// Texts from the network that are no invitation are refused before any
// key is derived, and a forged size is refused before qUncompress can
// allocate it; each at its own stage.
void TestInvitation::hostileTextsFailFast()
{
    const QString valid = textOf(Plain().bytes());
    const QByteArray compressed = qCompress(sealed(Plain().bytes()), 9);
    // 600 kB of zeros compress into far less than a text may hold; the header
    // claims a size within bounds.
    const QByteArray bomb = withStatedSize(qCompress(QByteArray(600000, '\0'), 9), 500);
    QVERIFY(textOfCompressed(bomb).size() <= InvitationRecord::MaxTextLength);

    const struct
    {
        const char* name;
        QString text;
        int expected;
    } cases[] = {
        {"forged size of 2 GiB", textOfCompressed(withStatedSize(compressed, 0x7FFFFFF0u)), Result::ErrorSize},
        {"forged size of 4 GiB", textOfCompressed(withStatedSize(compressed, 0xFFFFFFFFu)), Result::ErrorSize},
        {"forged size of 1 MiB", textOfCompressed(withStatedSize(compressed, 1u << 20)), Result::ErrorSize},
        {"size 513", textOfCompressed(withStatedSize(compressed, 513)), Result::ErrorSize},
        {"size 0", textOfCompressed(withStatedSize(compressed, 0)), Result::ErrorSize},
        {"size below the stream", textOfCompressed(withStatedSize(compressed, 100)), Result::ErrorUncompress},
        {"size above the stream", textOfCompressed(withStatedSize(compressed, 512)), Result::ErrorUncompress},
        {"stream inflating far past its size", textOfCompressed(bomb), Result::ErrorUncompress},
        {"header only", textOfCompressed(compressed.left(4)), Result::ErrorUncompress},
        {"shorter than a header", textOfCompressed(compressed.left(3)), Result::ErrorSize},
        {"nothing after the scheme", QStringLiteral("velm:"), Result::ErrorSize},
        {"truncated", valid.left(valid.size() - 40), Result::ErrorUncompress},
        {"truncated to half", valid.left(5 + (valid.size() - 5) / 8 * 4), Result::ErrorUncompress},
        {"not zlib", textOfCompressed(withStatedSize(QByteArray(64, '\x7f'), 60)), Result::ErrorUncompress},
        {"wrong scheme", QStringLiteral("http:") + valid.mid(5), Result::ErrorScheme},
        {"longer scheme", QStringLiteral("velmx:") + valid.mid(5), Result::ErrorScheme},
        {"no scheme", valid.mid(5), Result::ErrorScheme},
        {"empty", QString(), Result::ErrorScheme},
        {"bad base64: '+'", valid.left(20) + QLatin1Char('+') + valid.mid(21), Result::ErrorBase64},
        {"bad base64: '/'", valid.left(20) + QLatin1Char('/') + valid.mid(21), Result::ErrorBase64},
        {"bad base64: '*'", valid.left(20) + QLatin1Char('*') + valid.mid(21), Result::ErrorBase64},
        {"bad base64: space", valid.left(20) + QLatin1Char(' ') + valid.mid(21), Result::ErrorBase64},
        {"bad base64: beyond Latin-1", valid.left(20) + QChar(0x263A) + valid.mid(21), Result::ErrorBase64},
        {"too long", valid + QString(InvitationRecord::MaxTextLength, QLatin1Char('A')), Result::ErrorTextTooLong},
        {"too long by one", QStringLiteral("velm:") + QString(InvitationRecord::MaxTextLength - 4, QLatin1Char('A')),
         Result::ErrorTextTooLong},
        {"too long, wrong scheme", QString(100000, QLatin1Char('x')), Result::ErrorTextTooLong},
    };
    for (const auto& c : cases) {
        InvitationRecord record;
        QElapsedTimer timer;
        timer.start();
        const int rc = InvitationRecord::decode(c.text, password, &record);
        if (rc != c.expected)
            QFAIL(qPrintable(QStringLiteral("%1: result %2, expected %3").arg(QLatin1String(c.name)).arg(rc).arg(c.expected)));
        QVERIFY2(rc < Result::ErrorKey, c.name);
        QVERIFY2(!PeerFactory::decodeInvitation(c.text, password, &record), c.name);
        QVERIFY2(timer.elapsed() < 2000, c.name);
    }
}

void TestInvitation::create_data()
{
    QTest::addColumn<bool>("keyPair");
    QTest::addColumn<QString>("name");
    QTest::addColumn<std::vector<TransportDto>>("transports");
    QTest::addColumn<int>("expected");

    std::vector<TransportDto> many;
    for (int i = 0; i < 40; ++i)
        many.push_back(transport("tcp", QStringLiteral("10.0.0.%1").arg(i)));

    QTest::newRow("fits") << true << "Alpha" << ownTransports() << int(Result::Ok);
    QTest::newRow("no key pair") << false << "Alpha" << ownTransports() << int(Result::ErrorNoKeyPair);
    QTest::newRow("loopback only") << true << "Alpha"
                                   << std::vector<TransportDto>{transport("tcp", "127.0.0.1"), transport("udp", "::1")}
                                   << int(Result::ErrorNoTransport);
    QTest::newRow("turn only") << true << "Alpha"
                               << std::vector<TransportDto>{transport("turn", "relay.example.org", 3478)}
                               << int(Result::ErrorNoTransport);
    QTest::newRow("no transports") << true << "Alpha" << std::vector<TransportDto>{} << int(Result::ErrorNoTransport);
    QTest::newRow("host too long to carry, beside one that fits")
        << true << "Alpha"
        << std::vector<TransportDto>{transport("tcp", QString(200, 'h')), transport("tcp", "10.0.0.1")} << int(Result::Ok);
    QTest::newRow("name too long for 512 bytes") << true << QString(450, 'n') << ownTransports()
                                                 << int(Result::ErrorTooLarge);
    QTest::newRow("name too long for the record buffer")
        << true << QString(2000, 'n') << ownTransports() << int(Result::ErrorTooLarge);
    QTest::newRow("too many transports") << true << "Alpha" << many << int(Result::ErrorTooLarge);
}

// What cannot be read on the other side is not handed out at all.
void TestInvitation::create()
{
    QFETCH(bool, keyPair);
    QFETCH(QString, name);
    QFETCH(std::vector<TransportDto>, transports);
    QFETCH(int, expected);
    if (!keyPair)
        m_a.reset(new Machine(false));
    const QStringList before = a()->snapshot();
    int rc = -1;
    const QUrl url = PeerFactory::createInvitation(a()->db.get(), 1, invitationId, name, password, inviteTime,
                                                   transports, &rc);
    QCOMPARE(rc, expected);
    QCOMPARE(url.isEmpty(), expected != InvitationRecord::Ok);
    QCOMPARE(a()->snapshot(), before);
    if (!url.isEmpty()) {
        InvitationRecord record;
        QCOMPARE(InvitationRecord::decode(url.toString(), password, &record), int(InvitationRecord::Ok));
    }
}

// The largest name that fits makes a sealed record of exactly 512 bytes,
// which opens; one more character makes no text at all.
void TestInvitation::largestRecord()
{
    const std::vector<TransportDto> transports{transport("tcp", "192.168.1.20")};
    int length = 100;
    while (!PeerFactory::createInvitation(a()->db.get(), 1, invitationId, QString(length + 1, 'n'), password,
                                          inviteTime, transports)
                .isEmpty())
        ++length;
    const QUrl largest = PeerFactory::createInvitation(a()->db.get(), 1, invitationId, QString(length, 'n'),
                                                       password, inviteTime, transports);
    QByteArray sealedRecord;
    QCOMPARE(InvitationRecord::unwrap(largest.toString(), &sealedRecord), int(InvitationRecord::Ok));
    QCOMPARE(sealedRecord.size(), InvitationRecord::MaxSealedBytes);
    QVERIFY(largest.toString().size() <= InvitationRecord::MaxTextLength);
    InvitationRecord record;
    QVERIFY(PeerFactory::decodeInvitation(largest.toString(), password, &record));
    QCOMPARE(record.name.size(), length);
    int rc = -1;
    QVERIFY(PeerFactory::createInvitation(a()->db.get(), 1, invitationId, QString(length + 1, 'n'), password,
                                          inviteTime, transports, &rc)
                .isEmpty());
    QCOMPARE(rc, int(InvitationRecord::ErrorTooLarge));
}

void TestInvitation::deviceTypes_data()
{
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<quint32>("readFlags");
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("icon");

    QTest::newRow("0 unknown") << 0u << 0u << 0 << QString() << QString();
    QTest::newRow("1 desktop") << 1u << 1u << 1 << "desktop" << "dev-desktop";
    QTest::newRow("2 laptop") << 2u << 2u << 2 << "laptop" << "dev-laptop";
    QTest::newRow("3 neither") << 3u << 3u << 0 << QString() << QString();
    QTest::newRow("5 kept, stores nothing") << 5u << 5u << 5 << QString() << QString();
    QTest::newRow("17 written as 1") << 17u << 1u << 1 << "desktop" << "dev-desktop";
    QTest::newRow("high bits dropped") << 0xFFFFFFF2u << 2u << 2 << "laptop" << "dev-laptop";
}

void TestInvitation::deviceTypes()
{
    QFETCH(quint32, flags);
    QFETCH(quint32, readFlags);
    QFETCH(int, deviceType);
    QFETCH(QString, device);
    QFETCH(QString, icon);
    const QUrl url = invite(flags);
    InvitationRecord record;
    QVERIFY(PeerFactory::decodeInvitation(url.toString(), password, &record));
    QCOMPARE(record.flags, readFlags);
    QCOMPARE(int(record.deviceType), deviceType);

    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), url.toString(), password), PeerFactory::AcceptNewPeer);
    const auto peers = b()->otherPeers();
    QCOMPARE(int(peers.size()), 1);
    QCOMPARE(b()->attribute(peers[0].uuid, "devicetype"), device);
    QCOMPARE(b()->attribute(peers[0].uuid, "icon"), icon);
    QCOMPARE(b()->attribute(peers[0].uuid, "name"), QStringLiteral("Alpha"));
}

// The whole way: the inviting machine keeps its invitation row (its
// authenticator's to check and use up) and stores nothing else; the invited
// machine stores the inviter with its key, transports and the invitation id
// its handshakes will carry.
void TestInvitation::acceptStoresInviter()
{
    const InvitationDto row{invitationId, QStringLiteral("for the laptop"), password, qint64(inviteTime),
                            qint64(inviteTime) + 3600};
    QVERIFY(a()->db->putInvitation(row));
    const QStringList inviterBefore = a()->snapshot();
    const QUrl url = PeerFactory::createInvitation(a()->db.get(), 2, row.uuid, QStringLiteral("Alpha"), row.password,
                                                   quint64(row.timestamp), ownTransports());
    QVERIFY(!url.isEmpty());

    QSignalSpy added(b()->db.get(), &IDatabase::addedPeer);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), url.toString(), password), PeerFactory::AcceptNewPeer);
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(added.count(), 1);

    const auto peers = b()->otherPeers();
    QCOMPARE(int(peers.size()), 1);
    const PeerDto peer = peers[0];
    QCOMPARE(peer.type, QStringLiteral("velm"));
    QCOMPARE(peer.timestamp.toSecsSinceEpoch(), qint64(inviteTime));
    QVERIFY(QUuid(peer.uuid).version() == QUuid::Random);

    const auto keys = b()->db->getCryptoKeys(peer.uuid);
    QCOMPARE(int(keys.size()), 1);
    QCOMPARE(keys[0].type, QStringLiteral("pk"));
    QCOMPARE(keys[0].key, a()->publicKey);
    QCOMPARE(keys[0].timestamp.toSecsSinceEpoch(), qint64(inviteTime));

    QMap<QString, PeerAttributeDto> attributes;
    for (const PeerAttributeDto& a : b()->db->getPeerAttributes(peer.uuid, {}))
        attributes.insert(a.key, a);
    QCOMPARE(attributes.keys(), (QStringList{"devicetype", "icon", "invitation", "name"}));
    QCOMPARE(attributes["invitation"].value, row.uuid);
    QCOMPARE(attributes["invitation"].timestamp, row.timestamp);
    QCOMPARE(attributes["name"].value, QStringLiteral("Alpha"));
    QCOMPARE(attributes["devicetype"].value, QStringLiteral("laptop"));
    QCOMPARE(attributes["icon"].value, QStringLiteral("dev-laptop"));
    for (const char* key : {"name", "devicetype", "icon"})
        QVERIFY(attributes[key].timestamp >= before && attributes[key].timestamp <= after);

    QCOMPARE(describe(b()->db->getTransports(peer.uuid)),
             (QStringList{"tcp 192.168.1.20 60391 stream", "udp 192.168.1.20 60391",
                          "onion velmexampleonionaddressxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.onion 60392 stream"}));

    // The inviting side: the row as it was, nothing else written.
    const auto invitations = a()->db->getInvitations();
    QCOMPARE(int(invitations.size()), 1);
    QCOMPARE(invitations[0], row);
    QCOMPARE(a()->snapshot(), inviterBefore);
}

void TestInvitation::acceptTwiceStoresOnce()
{
    const QString text = invite().toString();
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), text, password), PeerFactory::AcceptNewPeer);
    const QStringList once = b()->snapshot();
    QSignalSpy attributes(b()->db.get(), &IDatabase::peerAttributesChanged);
    QSignalSpy transports(b()->db.get(), &IDatabase::addedPeerTransport);
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), text, password), PeerFactory::AcceptKnownPeer);
    QCOMPARE(b()->snapshot(), once);
    QCOMPARE(int(b()->otherPeers().size()), 1);
    QCOMPARE(attributes.count(), 0);
    QCOMPARE(transports.count(), 0);
}

void TestInvitation::acceptFailedWriteLeavesNothing_data()
{
    QTest::addColumn<int>("failAt");
    // Writes of a new peer: its row, its key, name, device type, icon, the
    // invitation id, then its transports.
    QTest::newRow("the peer row") << 1;
    QTest::newRow("the key, second write") << 2;
    QTest::newRow("the name") << 3;
    QTest::newRow("the invitation id") << 6;
    QTest::newRow("the first transport") << 7;
    QTest::newRow("the second transport") << 8;
}

// A write that fails while a new peer is stored leaves no row of it and
// announces nothing; the same invitation then gives exactly one peer.
void TestInvitation::acceptFailedWriteLeavesNothing()
{
    QFETCH(int, failAt);
    const QString text = invite().toString();
    FaultyDatabase* db = b()->db.get();
    const QStringList before = b()->snapshot();
    QSignalSpy added(db, &IDatabase::addedPeer);
    db->failAt = failAt;
    QCOMPARE(PeerFactory::acceptInvitation(db, text, password), PeerFactory::AcceptStoreFailed);
    QVERIFY2(db->writes >= failAt, "the failing write was never reached");
    QCOMPARE(b()->snapshot(), before);
    QCOMPARE(int(b()->otherPeers().size()), 0);
    QCOMPARE(added.count(), 0);

    db->failAt = 0;
    QCOMPARE(PeerFactory::acceptInvitation(db, text, password), PeerFactory::AcceptNewPeer);
    QCOMPARE(int(b()->otherPeers().size()), 1);
    QCOMPARE(added.count(), 1);
    QCOMPARE(int(db->getCryptoKeys(b()->otherPeers().front().uuid).size()), 1);
}

// A second invitation of a known key adds its id and the transports not
// stored yet; what was stored stays.
void TestInvitation::acceptKnownKeyAddsOnlyMissing()
{
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), invite(2).toString(), password), PeerFactory::AcceptNewPeer);
    const QString peer = b()->otherPeers().at(0).uuid;
    PeerAttributeDto name = b()->db->getPeerAttributes(peer, {QStringLiteral("name")}).front();
    name.value = QStringLiteral("Renamed");
    QVERIFY(b()->db->putPeerAttribute(peer, name));

    const QString secondId = QStringLiteral("{0b5e2c1a-7d3f-4e8a-9c6b-1f2e3d4c5b6a}");
    const QUrl second = invite(1, secondId, QStringLiteral("Other"),
                               {transport("tcp", "192.168.1.20"), transport("tcp", "192.168.1.20", 60392),
                                transport("udp", "192.168.1.21"), transport("tcp", "10.0.0.9")});
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), second.toString(), password), PeerFactory::AcceptKnownPeer);

    QCOMPARE(int(b()->otherPeers().size()), 1);
    QCOMPARE(int(b()->db->getCryptoKeys(peer).size()), 1);
    QCOMPARE(b()->attribute(peer, "name"), QStringLiteral("Renamed"));
    QCOMPARE(b()->attribute(peer, "devicetype"), QStringLiteral("laptop"));
    QCOMPARE(b()->attribute(peer, "icon"), QStringLiteral("dev-laptop"));
    QStringList ids;
    for (const PeerAttributeDto& a : b()->db->getPeerAttributes(peer, {QStringLiteral("invitation")}))
        ids << a.value;
    ids.sort();
    QCOMPARE(ids, (QStringList{secondId, invitationId}));
    QCOMPARE(describe(b()->db->getTransports(peer)),
             (QStringList{"tcp 192.168.1.20 60391 stream", "udp 192.168.1.20 60391",
                          "onion velmexampleonionaddressxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.onion 60392 stream",
                          "tcp 192.168.1.20 60392 stream", "udp 192.168.1.21 60391", "tcp 10.0.0.9 60391 stream"}));
}

void TestInvitation::acceptOwnInvitation()
{
    const QString text = invite().toString();
    const QStringList before = a()->snapshot();
    const auto rc = PeerFactory::acceptInvitation(a()->db.get(), text, password);
    QCOMPARE(rc, PeerFactory::AcceptOwnPeer);
    QCOMPARE(a()->snapshot(), before);
}

void TestInvitation::acceptedPasswordForgotten_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<bool>("validText");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("the one password") << QStringList{"Secret12"} << true << int(PeerFactory::AcceptNewPeer)
                                      << QStringList();
    QTest::newRow("beside another") << QStringList{"Secret12", "Other123"} << true << int(PeerFactory::AcceptNewPeer)
                                    << QStringList{"Other123"};
    QTest::newRow("only another") << QStringList{"Other123"} << true << int(PeerFactory::AcceptNewPeer)
                                  << QStringList{"Other123"};
    QTest::newRow("other case kept") << QStringList{"secret12"} << true << int(PeerFactory::AcceptNewPeer)
                                     << QStringList{"secret12"};
    QTest::newRow("failed accept keeps it") << QStringList{"Secret12"} << false << int(PeerFactory::AcceptInvalid)
                                            << QStringList{"Secret12"};
}

// A password given for an announced invitation is kept until an accept
// under it succeeds, and no longer.
void TestInvitation::acceptedPasswordForgotten()
{
    QFETCH(QStringList, stored);
    QFETCH(bool, validText);
    QFETCH(int, result);
    QFETCH(QStringList, remaining);
    for (const QString& pw : stored)
        QVERIFY(PeerFactory::addInvitationPassword(b()->db.get(), pw));
    QString text = invite().toString();
    if (!validText)
        text = QStringLiteral("velm:") + text.mid(6);
    const QStringList before = b()->snapshot();
    QCOMPARE(int(PeerFactory::acceptInvitation(b()->db.get(), text, password)), result);
    QCOMPARE(b()->passwords(), remaining);
    if (!validText)
        QCOMPARE(b()->snapshot(), before);
}

// A time no clock will show is stored as the last second of the year 9999.
void TestInvitation::acceptFarFutureTime()
{
    Plain plain;
    plain.time = ~quint64(0);
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), textOf(plain.bytes()), password), PeerFactory::AcceptNewPeer);
    const auto peers = b()->otherPeers();
    QCOMPARE(int(peers.size()), 1);
    QCOMPARE(peers[0].timestamp.toSecsSinceEpoch(), Q_INT64_C(253402300799));
    QCOMPARE(b()->db->getCryptoKeys(peers[0].uuid).at(0).timestamp.toSecsSinceEpoch(), Q_INT64_C(253402300799));
    QCOMPARE(b()->db->getPeerAttributes(peers[0].uuid, {QStringLiteral("invitation")}).at(0).timestamp,
             Q_INT64_C(253402300799));
}

void TestInvitation::addInvitationPassword()
{
    QSignalSpy changed(b()->db.get(), &IDatabase::peerAttributesChanged);
    QVERIFY(PeerFactory::addInvitationPassword(b()->db.get(), QStringLiteral("Secret12")));
    QVERIFY(PeerFactory::addInvitationPassword(b()->db.get(), QStringLiteral("Secret12")));
    QCOMPARE(b()->passwords(), QStringList{"Secret12"});
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toString(), ownPeerUuid());
    QVERIFY(PeerFactory::addInvitationPassword(b()->db.get(), QStringLiteral("Other123")));
    QCOMPARE(b()->passwords(), (QStringList{"Other123", "Secret12"}));
    QVERIFY(!PeerFactory::addInvitationPassword(b()->db.get(), QString()));
    QCOMPARE(b()->passwords(), (QStringList{"Other123", "Secret12"}));
    const auto stored = b()->db->getPeerAttributes(ownPeerUuid(), {QStringLiteral("invpw")});
    for (const PeerAttributeDto& a : stored)
        QVERIFY(qAbs(a.timestamp - QDateTime::currentSecsSinceEpoch()) < 5);
}

// The window and the announcer accepting one text at once store one peer.
void TestInvitation::concurrentAcceptsStoreOnePeer()
{
    IDatabase* db = b()->db.get();
    for (int round = 0; round < 4; ++round) {
        Machine inviter;
        const QString text = PeerFactory::createInvitation(inviter.db.get(), 1, invitationId, QStringLiteral("Alpha"),
                                                           password, inviteTime, ownTransports())
                                 .toString();
        QVERIFY(!text.isEmpty());
        std::atomic<int> ready{0};
        PeerFactory::AcceptResult results[2];
        auto accept = [&](int i) {
            ++ready;
            while (ready.load() < 2)
                QThread::yieldCurrentThread();
            results[i] = PeerFactory::acceptInvitation(db, text, password);
        };
        std::unique_ptr<QThread> first(QThread::create(accept, 0));
        std::unique_ptr<QThread> second(QThread::create(accept, 1));
        first->start();
        second->start();
        QVERIFY(first->wait(30000));
        QVERIFY(second->wait(30000));
        QVERIFY((results[0] == PeerFactory::AcceptNewPeer && results[1] == PeerFactory::AcceptKnownPeer)
                || (results[1] == PeerFactory::AcceptNewPeer && results[0] == PeerFactory::AcceptKnownPeer));
        int holders = 0;
        for (const PeerDto& p : b()->otherPeers()) {
            for (const CryptoKeyDto& k : b()->db->getCryptoKeys(p.uuid))
                holders += k.key == inviter.publicKey;
        }
        QCOMPARE(holders, 1);
        QCOMPARE(int(b()->otherPeers().size()), round + 1);
    }
}

// A receiver of the database's signals on the accepting thread that accepts
// again is told so instead of waiting for the lock its own thread holds.
void TestInvitation::acceptFromInsideAcceptRefused()
{
    Machine other;
    const QString inner = PeerFactory::createInvitation(other.db.get(), 1, invitationId, QStringLiteral("Beta"),
                                                        password, inviteTime, ownTransports())
                              .toString();
    QList<int> innerResults;
    connect(b()->db.get(), &IDatabase::addedPeer, this,
            [&] { innerResults << PeerFactory::acceptInvitation(b()->db.get(), inner, password); },
            Qt::DirectConnection);
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), invite().toString(), password), PeerFactory::AcceptNewPeer);
    QCOMPARE(innerResults, QList<int>{PeerFactory::AcceptReentered});
    QCOMPARE(int(b()->otherPeers().size()), 1);
    disconnect(b()->db.get(), &IDatabase::addedPeer, this, nullptr);
    // Outside an accept the same call works.
    QCOMPARE(PeerFactory::acceptInvitation(b()->db.get(), inner, password), PeerFactory::AcceptNewPeer);
}

QTEST_GUILESS_MAIN(TestInvitation)
#include "tst_invitation.moc"
