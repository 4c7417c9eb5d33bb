#include "com/link/endpoint.h"
#include "com/link/handshakedto.h"
#include "core/databasesqlite.h"
#include "core/rawdatabase.h"
#include "crypto/crypto.h"
#include "peer/peerauthenticator.h"
#include "peer/peervelm.h"

#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

#include <memory>
#include <vector>

namespace {

constexpr qint64 kNow = 1700000000;
const QString knownUuid = QStringLiteral("{a0700001-0000-4000-8000-000000000001}");
const QString known2Uuid = QStringLiteral("{a0700002-0000-4000-8000-000000000002}");
const QString invUuid = QStringLiteral("{1a7e0001-0000-4000-8000-000000000001}");
const QString otherInvUuid = QStringLiteral("{1a7e0002-0000-4000-8000-000000000002}");

struct KeyPair
{
    QByteArray pk;
    QByteArray sk;

    static KeyPair make()
    {
        KeyPair k{QByteArray(32, 0), QByteArray(32, 0)};
        crypto::generateKeyPair(reinterpret_cast<unsigned char*>(k.pk.data()),
                                reinterpret_cast<unsigned char*>(k.sk.data()));
        return k;
    }
};

TransportDto transport(const QString& type, const QString& host, quint16 port)
{
    TransportDto t;
    t.uuid = QUuid::createUuid().toString();
    t.type = type;
    t.host = host;
    t.port = port;
    t.timestamp = kNow;
    t.stream = type == QLatin1String("tcp") || type == QLatin1String("onion");
    return t;
}

// "tcp 192.168.1.20 60391"
TransportDto transport(const QString& spec)
{
    const QStringList parts = spec.split(QLatin1Char(' '));
    return transport(parts.value(0), parts.value(1), quint16(parts.value(2).toUInt()));
}

const TransportDto udpArrival = transport(QStringLiteral("udp 198.51.100.9 60391"));

bool sameTransport(const TransportDto& a, const TransportDto& b)
{
    return a.type == b.type && a.host == b.host && a.port == b.port;
}

// The store the authenticator writes to, with writes that can be made to
// fail and a log of the writes that admit a new peer.
class ScriptedDatabase : public DatabaseSqlite
{
public:
    using DatabaseSqlite::DatabaseSqlite;

    bool putPeer(const PeerDto& dto) override
    {
        calls << QStringLiteral("putPeer");
        return failing != QLatin1String("putPeer") && DatabaseSqlite::putPeer(dto);
    }
    bool putCryptoKey(const Uuid& peerUuid, const CryptoKeyDto& dto) override
    {
        calls << QStringLiteral("putCryptoKey");
        return failing != QLatin1String("putCryptoKey") && DatabaseSqlite::putCryptoKey(peerUuid, dto);
    }
    bool deleteInvitation(const Uuid& uuid) override
    {
        calls << QStringLiteral("deleteInvitation");
        return failing != QLatin1String("deleteInvitation") && DatabaseSqlite::deleteInvitation(uuid);
    }

    QString failing;
    QStringList calls;
};

} // namespace

class TestPeerAuthenticator : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void construction();
    void authenticate_data();
    void authenticate();
    void identity_data();
    void identity();
    void onlyDuringTheEndpointsEmission();
    void replay_data();
    void replay();
    void restartedPeer_data();
    void restartedPeer();
    void admissionWrites_data();
    void admissionWrites();
    void transportFilter_data();
    void transportFilter();
    void arrivalTransport_data();
    void arrivalTransport();
    void transportCap_data();
    void transportCap();

private:
    HandshakeDto record(const QString& claimed, const QString& invitation = QString(),
                        const std::vector<TransportDto>& transports = {}) const;
    QByteArray seal(const QString& sealer, const HandshakeDto& hs, quint64 time) const;
    void deliver(const QByteArray& datagram, const TransportDto& rx = udpArrival);
    void storeInvitation(const QString& uuid, qint64 expires);
    int rows(const char* table) const;
    // Every accepted peer must be the one whose "pk" key sealed the message.
    bool peerHoldsKey(const PeerDto& peer, const QString& sender) const;

    std::unique_ptr<Crypto> m_crypto;
    QMap<QString, KeyPair> m_keys;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ScriptedDatabase> m_db;
    std::unique_ptr<RawDatabase> m_raw;
    std::unique_ptr<PeerAuthenticator> m_auth;
};

void TestPeerAuthenticator::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
    for (const char* name : {"own", "known", "known2", "stranger", "stranger2"})
        m_keys.insert(QLatin1String(name), KeyPair::make());
}

// Every case starts with the own key pair, two known peers with their keys
// and no invitation; the authenticator's clock stands at kNow.
void TestPeerAuthenticator::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    const QString path = m_dir->filePath(QStringLiteral("velm.db"));
    m_db.reset(new ScriptedDatabase(path));
    m_raw.reset(new RawDatabase(path));
    const QDateTime t = QDateTime::fromSecsSinceEpoch(kNow - 86400, Qt::UTC);
    QVERIFY(m_db->putPeer({ownPeerUuid(), QStringLiteral("velm"), t}));
    QVERIFY(m_db->putCryptoKey(ownPeerUuid(), {QUuid::createUuid().toString(), m_keys["own"].pk + m_keys["own"].sk,
                                               QStringLiteral("pksk"), t}));
    QVERIFY(m_db->putPeer({knownUuid, QStringLiteral("velm"), t}));
    QVERIFY(m_db->putCryptoKey(knownUuid, {QUuid::createUuid().toString(), m_keys["known"].pk, QStringLiteral("pk"), t}));
    QVERIFY(m_db->putPeer({known2Uuid, QStringLiteral("velm"), t}));
    QVERIFY(m_db->putCryptoKey(known2Uuid, {QUuid::createUuid().toString(), m_keys["known2"].pk, QStringLiteral("pk"), t}));
    m_db->calls.clear();

    m_auth.reset(new PeerAuthenticator(m_db.get()));
    m_auth->setClock([] { return kNow; });
}

void TestPeerAuthenticator::cleanup()
{
    m_auth.reset();
    m_raw.reset();
    m_db.reset();
    m_dir.reset();
}

HandshakeDto TestPeerAuthenticator::record(const QString& claimed, const QString& invitation,
                                           const std::vector<TransportDto>& transports) const
{
    HandshakeDto hs;
    const QByteArray pk = m_keys.value(claimed).pk;
    std::copy(pk.begin(), pk.end(), hs.publicKey.begin());
    hs.values = {3, 2, 1};
    hs.attributes["name"] = std::string("tester");
    if (!invitation.isEmpty())
        hs.attributes["invitation"] = invitation.toStdString();
    hs.session = 0x5e55;
    hs.keyId = 10;
    for (std::size_t i = 0; i < hs.sessionKey.size(); ++i)
        hs.sessionKey[i] = quint8(i + 7);
    hs.transports = transports;
    return hs;
}

// The handshake as a peer sends it: written with the given clock reading and
// sealed for our public key with the sealer's key pair.
QByteArray TestPeerAuthenticator::seal(const QString& sealer, const HandshakeDto& hs, quint64 time) const
{
    std::vector<quint8> plain(crypto::MaxPublicKeyMessageBytes);
    std::size_t len = plain.size();
    if (hs.serialize(plain.data(), &len, time) != HandshakeDto::SerializeOk)
        return QByteArray();
    const KeyPair& from = m_keys[sealer];
    QByteArray datagram(int(len + crypto::PublicKeyOverhead), 0);
    unsigned long long clen = quint64(datagram.size());
    auto u = [](const QByteArray& b) { return reinterpret_cast<const unsigned char*>(b.constData()); };
    if (crypto::encryptMessagePKI(u(from.pk), u(from.sk), u(m_keys["own"].pk), plain.data(), len,
                                  reinterpret_cast<unsigned char*>(datagram.data()), &clen)
        != crypto::EncryptMsgOk)
        return QByteArray();
    datagram.resize(int(clen));
    return datagram;
}

void TestPeerAuthenticator::deliver(const QByteArray& datagram, const TransportDto& rx)
{
    QVERIFY(!datagram.isEmpty());
    m_auth->endpoint()->receivedPubkeyEncryptedMessage(rx, reinterpret_cast<const quint8*>(datagram.constData()),
                                                       size_t(datagram.size()));
}

void TestPeerAuthenticator::storeInvitation(const QString& uuid, qint64 expires)
{
    QVERIFY(m_db->putInvitation({uuid, QStringLiteral("laptop"), QStringLiteral("secret"), kNow - 600, expires}));
}

int TestPeerAuthenticator::rows(const char* table) const
{
    return m_raw->value(QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(table))).toInt();
}

bool TestPeerAuthenticator::peerHoldsKey(const PeerDto& peer, const QString& sender) const
{
    if (peer.type != QLatin1String("velm"))
        return false;
    for (const CryptoKeyDto& key : m_db->getCryptoKeys(peer.uuid)) {
        if (key.type == QLatin1String("pk") && key.key == m_keys.value(sender).pk)
            return true;
    }
    return false;
}

void TestPeerAuthenticator::construction()
{
    Endpoint* endpoint = m_auth->endpoint();
    QVERIFY(endpoint);
    QCOMPARE(endpoint->objectName(), QStringLiteral("AUTH"));
    QCOMPARE(endpoint->parent(), m_auth.get());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(endpoint->ownPublicKey()), 32), m_keys["own"].pk);
    QVERIFY(QMetaType::type("HandshakeDto") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("PeerDto") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("TransportDto") != QMetaType::UnknownType);
}

// Who may talk to us: a known key always, an unknown key once per stored,
// unexpired invitation. Senders are delivered in turn, one second apart.
void TestPeerAuthenticator::authenticate_data()
{
    QTest::addColumn<QStringList>("senders");
    QTest::addColumn<QString>("invitation"); // the uuid the records name
    QTest::addColumn<qint64>("expires");     // of the stored invitation invUuid, relative to now
    QTest::addColumn<QList<bool>>("emitted");
    QTest::addColumn<int>("peersAdded");
    QTest::addColumn<int>("keysAdded");
    QTest::addColumn<int>("invitationsRemoved");

    const QStringList known{QStringLiteral("known")};
    const QStringList stranger{QStringLiteral("stranger")};
    const QString none;
    QTest::newRow("known key") << known << none << qint64(3600) << QList<bool>{true} << 0 << 0 << 0;
    QTest::newRow("known key naming an invitation leaves it")
        << known << invUuid << qint64(3600) << QList<bool>{true} << 0 << 0 << 0;
    QTest::newRow("unknown key without invitation")
        << stranger << none << qint64(3600) << QList<bool>{false} << 0 << 0 << 0;
    QTest::newRow("unknown key, unknown invitation uuid")
        << stranger << otherInvUuid << qint64(3600) << QList<bool>{false} << 0 << 0 << 0;
    QTest::newRow("unknown key, invitation expired a second ago")
        << stranger << invUuid << qint64(-1) << QList<bool>{false} << 0 << 0 << 0;
    QTest::newRow("unknown key, invitation expiring now")
        << stranger << invUuid << qint64(0) << QList<bool>{true} << 1 << 1 << 1;
    QTest::newRow("unknown key, valid invitation")
        << stranger << invUuid << qint64(3600) << QList<bool>{true} << 1 << 1 << 1;
    QTest::newRow("unknown key, invitation uuid in upper case without braces")
        << stranger << invUuid.mid(1, 36).toUpper() << qint64(3600) << QList<bool>{true} << 1 << 1 << 1;
    QTest::newRow("invitation used up by the first unknown key")
        << QStringList{QStringLiteral("stranger"), QStringLiteral("stranger2")} << invUuid << qint64(3600)
        << QList<bool>{true, false} << 1 << 1 << 1;
    QTest::newRow("admitted key comes back as a known key")
        << QStringList{QStringLiteral("stranger"), QStringLiteral("stranger")} << invUuid << qint64(3600)
        << QList<bool>{true, true} << 1 << 1 << 1;
}

void TestPeerAuthenticator::authenticate()
{
    QFETCH(QStringList, senders);
    QFETCH(QString, invitation);
    QFETCH(qint64, expires);
    QFETCH(QList<bool>, emitted);
    QFETCH(int, peersAdded);
    QFETCH(int, keysAdded);
    QFETCH(int, invitationsRemoved);

    storeInvitation(invUuid, kNow + expires);
    const int peers = rows("peers");
    const int keys = rows("peer_cryptokeys");
    const int invitations = rows("invitation");
    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);

    for (int i = 0; i < senders.size(); ++i) {
        const int before = spy.count();
        deliver(seal(senders[i], record(senders[i], invitation), quint64(kNow + i)));
        QCOMPARE(spy.count() - before, emitted[i] ? 1 : 0);
        if (!emitted[i])
            continue;
        const PeerDto peer = qvariant_cast<PeerDto>(spy.last().at(0));
        const HandshakeDto hs = qvariant_cast<HandshakeDto>(spy.last().at(1));
        QVERIFY(peerHoldsKey(peer, senders[i]));
        if (senders[i] == QLatin1String("known"))
            QCOMPARE(peer.uuid, knownUuid);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(hs.publicKey.data()), 32), m_keys[senders[i]].pk);
        QCOMPARE(hs.time, quint64(kNow + i));
        QCOMPARE(hs.session, quint32(0x5e55));
    }
    QCOMPARE(rows("peers") - peers, peersAdded);
    QCOMPARE(rows("peer_cryptokeys") - keys, keysAdded);
    QCOMPARE(invitations - rows("invitation"), invitationsRemoved);
}

// The identity is the key that sealed the box: a record naming any other key,
// or our own, is refused and changes nothing.
void TestPeerAuthenticator::identity_data()
{
    QTest::addColumn<QString>("sealer");
    QTest::addColumn<QString>("claimed");
    QTest::addColumn<bool>("withInvitation");
    QTest::addColumn<bool>("emitted");

    QTest::newRow("known key, sealed by itself") << "known" << "known" << false << true;
    QTest::newRow("unknown key with invitation, sealed by itself") << "stranger" << "stranger" << true << true;
    QTest::newRow("known key claimed, sealed by a stranger") << "stranger" << "known" << false << false;
    QTest::newRow("known key claimed, sealed by another known peer") << "known2" << "known" << false << false;
    QTest::newRow("unknown key with invitation, sealed by another unknown key")
        << "stranger2" << "stranger" << true << false;
    QTest::newRow("unknown key with invitation, sealed by a known peer") << "known" << "stranger" << true << false;
    QTest::newRow("own key, sealed by own key") << "own" << "own" << false << false;
    QTest::newRow("own key with invitation, sealed by own key") << "own" << "own" << true << false;
    QTest::newRow("own key claimed, sealed by a known peer") << "known" << "own" << false << false;
    QTest::newRow("known key claimed, sealed by own key") << "own" << "known" << false << false;
}

void TestPeerAuthenticator::identity()
{
    QFETCH(QString, sealer);
    QFETCH(QString, claimed);
    QFETCH(bool, withInvitation);
    QFETCH(bool, emitted);

    storeInvitation(invUuid, kNow + 3600);
    const QString before = m_raw->dump();
    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);
    const std::vector<TransportDto> listed{transport(QStringLiteral("tcp 192.168.1.20 60391"))};
    deliver(seal(sealer, record(claimed, withInvitation ? invUuid : QString(), listed), kNow));
    QCOMPARE(spy.count(), emitted ? 1 : 0);
    if (emitted)
        QVERIFY(peerHoldsKey(qvariant_cast<PeerDto>(spy.first().at(0)), sealer));
    else
        QCOMPARE(m_raw->dump(), before);
}

// Opened bytes handed to the slot by anything but the endpoint's emission
// carry no sender key and are refused; so are opened messages that are not
// handshakes.
void TestPeerAuthenticator::onlyDuringTheEndpointsEmission()
{
    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);
    std::vector<quint8> plain(1024);
    std::size_t len = plain.size();
    QCOMPARE(record(QStringLiteral("known")).serialize(plain.data(), &len, kNow), quint32(HandshakeDto::SerializeOk));
    m_auth->receivedMessagePKI(udpArrival, plain.data(), len);
    QCOMPARE(spy.count(), 0);

    quint8 ping[512];
    std::size_t pingLen = sizeof ping;
    QCOMPARE(com::encodePing(ping, &pingLen, com::PingBlobLength, 7, kNow), 0);
    QByteArray datagram(int(pingLen + crypto::PublicKeyOverhead), 0);
    unsigned long long clen = quint64(datagram.size());
    auto u = [](const QByteArray& b) { return reinterpret_cast<const unsigned char*>(b.constData()); };
    QCOMPARE(crypto::encryptMessagePKI(u(m_keys["known"].pk), u(m_keys["known"].sk), u(m_keys["own"].pk), ping, pingLen,
                                       reinterpret_cast<unsigned char*>(datagram.data()), &clen),
             int(crypto::EncryptMsgOk));
    deliver(datagram);
    QCOMPARE(spy.count(), 0);

    // The same record, sealed and delivered, passes.
    deliver(seal(QStringLiteral("known"), record(QStringLiteral("known")), kNow));
    QCOMPARE(spy.count(), 1);
}

// A handshake must be newer than the last one accepted from the same peer; a
// datagram delivered twice is refused the second time. Every record names a
// valid invitation, which known keys leave alone.
void TestPeerAuthenticator::replay_data()
{
    QTest::addColumn<QStringList>("senders");
    QTest::addColumn<QList<qint64>>("times"); // relative to now
    QTest::addColumn<QList<bool>>("emitted");
    QTest::addColumn<int>("peersAdded");

    const QString k = QStringLiteral("known");
    QTest::newRow("same datagram again") << QStringList{k, k} << QList<qint64>{0, 0} << QList<bool>{true, false} << 0;
    QTest::newRow("older record") << QStringList{k, k} << QList<qint64>{0, -1} << QList<bool>{true, false} << 0;
    QTest::newRow("newer record") << QStringList{k, k} << QList<qint64>{0, 1} << QList<bool>{true, true} << 0;
    QTest::newRow("newer record after a refused replay")
        << QStringList{k, k, k} << QList<qint64>{0, 0, 1} << QList<bool>{true, false, true} << 0;
    QTest::newRow("the first record refused after a newer one")
        << QStringList{k, k, k} << QList<qint64>{0, 5, 0} << QList<bool>{true, true, false} << 0;
    QTest::newRow("each peer has its own clock")
        << QStringList{k, QStringLiteral("known2")} << QList<qint64>{0, -100} << QList<bool>{true, true} << 0;
    QTest::newRow("admitting datagram replayed")
        << QStringList{QStringLiteral("stranger"), QStringLiteral("stranger")} << QList<qint64>{0, 0}
        << QList<bool>{true, false} << 1;
}

void TestPeerAuthenticator::replay()
{
    QFETCH(QStringList, senders);
    QFETCH(QList<qint64>, times);
    QFETCH(QList<bool>, emitted);
    QFETCH(int, peersAdded);

    storeInvitation(invUuid, kNow + 3600);
    const int peers = rows("peers");
    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);
    QMap<QString, QByteArray> sent; // a repeated sender and time sends the very same datagram
    for (int i = 0; i < senders.size(); ++i) {
        const QString tag = senders[i] + QString::number(times[i]);
        if (!sent.contains(tag))
            sent.insert(tag, seal(senders[i], record(senders[i], invUuid), quint64(kNow + times[i])));
        const int before = spy.count();
        deliver(sent[tag]);
        QCOMPARE(spy.count() - before, emitted[i] ? 1 : 0);
    }
    QCOMPARE(rows("peers") - peers, peersAdded);
}

// A peer started again writes its clock's time, which may lie behind the
// times its former process wrote in a burst of handshakes: a record of a
// session not seen from that peer is taken when it is at most
// RestartToleranceSecs older than the latest. A record of a session seen
// before (played again) still has to be newer.
void TestPeerAuthenticator::restartedPeer_data()
{
    QTest::addColumn<QList<qint64>>("times"); // relative to now
    QTest::addColumn<QList<int>>("sessions");
    QTest::addColumn<QList<bool>>("emitted");

    const qint64 tolerance = qint64(PeerAuthenticator::RestartToleranceSecs);
    QTest::newRow("restart behind the former process's burst")
        << QList<qint64>{0, 1, 2, 1} << QList<int>{1, 1, 1, 2} << QList<bool>{true, true, true, true};
    QTest::newRow("restart at the edge of the tolerance")
        << QList<qint64>{tolerance, 0} << QList<int>{1, 2} << QList<bool>{true, true};
    QTest::newRow("restart beyond the tolerance")
        << QList<qint64>{tolerance + 1, 0} << QList<int>{1, 2} << QList<bool>{true, false};
    QTest::newRow("the former session played again after the restart")
        << QList<qint64>{2, 1, 0} << QList<int>{1, 2, 1} << QList<bool>{true, true, false};
    QTest::newRow("an older record of the new session")
        << QList<qint64>{5, 3, 2} << QList<int>{1, 2, 2} << QList<bool>{true, true, false};
    QTest::newRow("the new session's next record, newer than all")
        << QList<qint64>{5, 3, 6} << QList<int>{1, 2, 2} << QList<bool>{true, true, true};
}

void TestPeerAuthenticator::restartedPeer()
{
    QFETCH(QList<qint64>, times);
    QFETCH(QList<int>, sessions);
    QFETCH(QList<bool>, emitted);

    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);
    for (int i = 0; i < times.size(); ++i) {
        HandshakeDto hs = record(QStringLiteral("known"));
        hs.session = quint32(0x1000 + sessions[i]);
        const int before = spy.count();
        deliver(seal(QStringLiteral("known"), hs, quint64(kNow + times[i])));
        QCOMPARE(spy.count() - before, emitted[i] ? 1 : 0);
        if (emitted[i])
            QCOMPARE(spy.last().at(1).value<HandshakeDto>().session, hs.session);
    }
}

// The new peer and its key are stored before the invitation goes; a failed
// write keeps the invitation for the next attempt and forwards nothing.
void TestPeerAuthenticator::admissionWrites_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("emitted");
    QTest::addColumn<int>("peersAdded");
    QTest::addColumn<int>("keysAdded");
    QTest::addColumn<int>("invitationsRemoved");
    QTest::addColumn<bool>("nextKeyAdmitted"); // another unknown key with the same invitation, writes working

    const QStringList all{QStringLiteral("putPeer"), QStringLiteral("putCryptoKey"), QStringLiteral("deleteInvitation")};
    QTest::newRow("all writes succeed") << QString() << all << true << 1 << 1 << 1 << false;
    QTest::newRow("peer not stored") << QStringLiteral("putPeer") << QStringList(all.mid(0, 1)) << false << 0 << 0 << 0 << true;
    // The peer row goes with its key: no peer stays that no key could identify.
    QTest::newRow("key not stored") << QStringLiteral("putCryptoKey") << QStringList(all.mid(0, 2)) << false << 0 << 0 << 0 << true;
    // The peer is in; the invitation is refused from now on all the same.
    QTest::newRow("invitation not deleted") << QStringLiteral("deleteInvitation") << all << true << 1 << 1 << 0 << false;
}

void TestPeerAuthenticator::admissionWrites()
{
    QFETCH(QString, failing);
    QFETCH(QStringList, calls);
    QFETCH(bool, emitted);
    QFETCH(int, peersAdded);
    QFETCH(int, keysAdded);
    QFETCH(int, invitationsRemoved);
    QFETCH(bool, nextKeyAdmitted);

    storeInvitation(invUuid, kNow + 3600);
    const int peers = rows("peers");
    const int keys = rows("peer_cryptokeys");
    const int invitations = rows("invitation");
    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);

    m_db->failing = failing;
    m_db->calls.clear();
    deliver(seal(QStringLiteral("stranger"), record(QStringLiteral("stranger"), invUuid), kNow));
    QCOMPARE(m_db->calls, calls);
    QCOMPARE(spy.count(), emitted ? 1 : 0);
    QCOMPARE(rows("peers") - peers, peersAdded);
    QCOMPARE(rows("peer_cryptokeys") - keys, keysAdded);
    QCOMPARE(invitations - rows("invitation"), invitationsRemoved);

    m_db->failing.clear();
    deliver(seal(QStringLiteral("stranger2"), record(QStringLiteral("stranger2"), invUuid), kNow + 1));
    QCOMPARE(spy.count(), (emitted ? 1 : 0) + (nextKeyAdmitted ? 1 : 0));
    if (nextKeyAdmitted) {
        QVERIFY(peerHoldsKey(qvariant_cast<PeerDto>(spy.last().at(0)), QStringLiteral("stranger2")));
        QCOMPARE(rows("invitation"), invitations - 1);
    }
}

// Which transports a known peer's handshake gets stored. New ones only on
// networks of our own (or onion); stored ones are written again only when
// older than the refresh period. Forwarding is never filtered.
void TestPeerAuthenticator::transportFilter_data()
{
    QTest::addColumn<QString>("listed");
    QTest::addColumn<int>("copies");       // times the record lists it
    QTest::addColumn<qint64>("storedAge"); // seconds before now it was stored; -1: not stored
    QTest::addColumn<bool>("stored");      // a row exists afterwards
    QTest::addColumn<bool>("rewritten");   // the stored row now carries the current time

    const qint64 fresh = -1;
    QTest::newRow("new tcp, public IPv4") << "tcp 8.8.8.8 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, public IPv4 written as IPv6") << "tcp ::ffff:8.8.8.8 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, 172.32/12 is public") << "tcp 172.32.0.1 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, link-local IPv4") << "tcp 169.254.10.1 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, link-local IPv6") << "tcp fe80::1 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, loopback") << "tcp 127.0.0.1 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, loopback 127/8") << "tcp 127.3.4.5 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, loopback IPv6") << "tcp ::1 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, loopback IPv4 written as IPv6") << "tcp ::ffff:127.0.0.1 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, unspecified") << "tcp 0.0.0.0 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, unspecified IPv6") << "tcp :: 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, IPv6 multicast") << "tcp ff02::1 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, host name") << "tcp nas.example.org 60391" << 1 << fresh << false << false;
    QTest::newRow("new tcp, 192.168.1.20") << "tcp 192.168.1.20 60391" << 1 << fresh << true << false;
    QTest::newRow("new tcp, 10.x") << "tcp 10.20.30.40 60391" << 1 << fresh << true << false;
    QTest::newRow("new tcp, 172.16/12") << "tcp 172.31.255.1 60391" << 1 << fresh << true << false;
    QTest::newRow("new udp, 192.168.1.20") << "udp 192.168.1.20 60391" << 1 << fresh << true << false;
    QTest::newRow("new tcp, global IPv6") << "tcp 2001:db8::20 60391" << 1 << fresh << true << false;
    QTest::newRow("new tcp listed twice, stored once") << "tcp 192.168.1.20 60391" << 2 << fresh << true << false;
    QTest::newRow("new onion") << "onion abcdefghijklmnopqrstuvwxyz234567abcdefghijklmnopqrstuvwx.onion 60391" << 1
                               << fresh << true << false;
    QTest::newRow("new onion, public address as host") << "onion 8.8.8.8 60391" << 1 << fresh << true << false;
    QTest::newRow("new onion, loopback as host") << "onion 127.0.0.1 9350" << 1 << fresh << true << false;
    QTest::newRow("stored a minute ago") << "tcp 192.168.1.20 60391" << 1 << qint64(60) << true << false;
    QTest::newRow("stored exactly at the cut-off") << "tcp 192.168.1.20 60391" << 1 << qint64(3600000) << true << false;
    QTest::newRow("stored a second before the cut-off") << "tcp 192.168.1.20 60391" << 1 << qint64(3600001) << true << true;
    QTest::newRow("stored 3601 s ago") << "tcp 192.168.1.20 60391" << 1 << qint64(3601) << true << false;
    QTest::newRow("stored long ago, listed twice") << "onion abc.onion 60391" << 2 << qint64(4000000) << true << true;
    QTest::newRow("stored public address, long ago") << "tcp 8.8.8.8 60391" << 1 << qint64(4000000) << true << true;
}

void TestPeerAuthenticator::transportFilter()
{
    QFETCH(QString, listed);
    QFETCH(int, copies);
    QFETCH(qint64, storedAge);
    QFETCH(bool, stored);
    QFETCH(bool, rewritten);

    const TransportDto t = transport(listed);
    const QString storedUuid = QStringLiteral("{7a000001-0000-4000-8000-000000000001}");
    if (storedAge >= 0) {
        TransportDto old = t;
        old.uuid = storedUuid;
        old.timestamp = kNow - storedAge;
        QVERIFY(m_db->putTransport(knownUuid, old));
    }
    const QString match = QStringLiteral("FROM transports WHERE peer_uuid = '%1' AND type = '%2' AND host = '%3' "
                                         "AND port = %4")
                              .arg(knownUuid, t.type, t.host)
                              .arg(t.port);

    std::vector<TransportDto> transports(std::size_t(copies), t);
    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);
    deliver(seal(QStringLiteral("known"), record(QStringLiteral("known"), QString(), transports), kNow));
    QCOMPARE(spy.count(), 1);

    QCOMPARE(m_raw->value(QStringLiteral("SELECT count(*) ") + match).toInt(), stored ? 1 : 0);
    if (storedAge >= 0) {
        QCOMPARE(m_raw->value(QStringLiteral("SELECT transport_uuid ") + match).toString(), storedUuid);
        QCOMPARE(m_raw->value(QStringLiteral("SELECT timestamp ") + match).toLongLong(),
                 rewritten ? kNow : kNow - storedAge);
    }
    const HandshakeDto hs = qvariant_cast<HandshakeDto>(spy.first().at(1));
    QCOMPARE(int(hs.transports.size()), copies);
    for (const TransportDto& forwarded : hs.transports)
        QVERIFY(sameTransport(forwarded, t));
}

// The transport a handshake came in on goes on with it when the record does
// not list it; it is not stored.
void TestPeerAuthenticator::arrivalTransport_data()
{
    QTest::addColumn<QString>("arrival");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<bool>("appended");

    const QStringList two{QStringLiteral("tcp 192.168.1.20 60391"), QStringLiteral("onion abc.onion 60391")};
    QTest::newRow("tcp, not listed") << "tcp 203.0.113.7 40001" << two << true;
    QTest::newRow("tcp, record lists nothing") << "tcp 203.0.113.7 40001" << QStringList() << true;
    QTest::newRow("turn, not listed") << "turn 203.0.113.8 3478" << two << true;
    QTest::newRow("tcp, listed") << "tcp 192.168.1.20 60391" << two << false;
    QTest::newRow("tcp, listed with another port") << "tcp 192.168.1.20 40001" << two << true;
    QTest::newRow("turn, host listed as tcp") << "turn 192.168.1.20 60391" << two << true;
    QTest::newRow("udp") << "udp 203.0.113.7 40001" << two << false;
    QTest::newRow("no host") << "tcp  40001" << two << false;
}

void TestPeerAuthenticator::arrivalTransport()
{
    QFETCH(QString, arrival);
    QFETCH(QStringList, listed);
    QFETCH(bool, appended);

    const TransportDto rx = transport(arrival);
    std::vector<TransportDto> transports;
    for (const QString& spec : listed)
        transports.push_back(transport(spec));
    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);
    deliver(seal(QStringLiteral("known"), record(QStringLiteral("known"), QString(), transports), kNow), rx);
    QCOMPARE(spy.count(), 1);

    const HandshakeDto hs = qvariant_cast<HandshakeDto>(spy.first().at(1));
    QCOMPARE(int(hs.transports.size()), listed.size() + (appended ? 1 : 0));
    for (int i = 0; i < listed.size(); ++i)
        QVERIFY(sameTransport(hs.transports[std::size_t(i)], transports[std::size_t(i)]));
    if (appended)
        QCOMPARE(hs.transports.back(), rx);
    QCOMPARE(m_raw->value(QStringLiteral("SELECT count(*) FROM transports WHERE host = '203.0.113.7'")).toInt(), 0);
}

// At most 16 transports of a handshake are considered, stored and forwarded,
// the arrival transport among them.
void TestPeerAuthenticator::transportCap_data()
{
    QTest::addColumn<int>("listed");    // private tcp transports 0, 1, 2, ...
    QTest::addColumn<QString>("arrival"); // a transport spec, or "listed N"
    QTest::addColumn<int>("forwarded");
    QTest::addColumn<bool>("arrivalLast");
    QTest::addColumn<int>("stored");

    const QString udp = QStringLiteral("udp 203.0.113.7 40001");
    const QString tcp = QStringLiteral("tcp 203.0.113.7 40001");
    QTest::newRow("15 listed, udp arrival") << 15 << udp << 15 << false << 15;
    QTest::newRow("16 listed, udp arrival") << 16 << udp << 16 << false << 16;
    QTest::newRow("17 listed, udp arrival") << 17 << udp << 16 << false << 16;
    QTest::newRow("1000 listed, udp arrival") << 1000 << udp << 16 << false << 16;
    QTest::newRow("15 listed, tcp arrival") << 15 << tcp << 16 << true << 15;
    QTest::newRow("16 listed, tcp arrival") << 16 << tcp << 16 << true << 15;
    QTest::newRow("20 listed, tcp arrival") << 20 << tcp << 16 << true << 15;
    QTest::newRow("20 listed, arrival listed 4th") << 20 << "listed 3" << 16 << false << 16;
    QTest::newRow("20 listed, arrival listed 16th") << 20 << "listed 15" << 16 << false << 16;
    QTest::newRow("20 listed, arrival listed 18th") << 20 << "listed 17" << 16 << true << 15;
}

void TestPeerAuthenticator::transportCap()
{
    QFETCH(int, listed);
    QFETCH(QString, arrival);
    QFETCH(int, forwarded);
    QFETCH(bool, arrivalLast);
    QFETCH(int, stored);

    std::vector<TransportDto> transports;
    for (int i = 0; i < listed; ++i)
        transports.push_back(transport(QStringLiteral("tcp"),
                                       QStringLiteral("10.%1.%2.1").arg(i / 200).arg(i % 200), 60391));
    TransportDto rx = arrival.startsWith(QLatin1String("listed "))
                          ? transports[std::size_t(arrival.mid(7).toInt())]
                          : transport(arrival);
    rx.uuid = QStringLiteral("{a7700001-0000-4000-8000-000000000001}");

    QSignalSpy spy(m_auth.get(), &PeerAuthenticator::receivedHandshakeRequest);
    deliver(seal(QStringLiteral("known"), record(QStringLiteral("known"), QString(), transports), kNow), rx);
    QCOMPARE(spy.count(), 1);

    const HandshakeDto hs = qvariant_cast<HandshakeDto>(spy.first().at(1));
    QCOMPARE(int(hs.transports.size()), forwarded);
    const int fromRecord = forwarded - (arrivalLast ? 1 : 0);
    for (int i = 0; i < fromRecord; ++i)
        QVERIFY(sameTransport(hs.transports[std::size_t(i)], transports[std::size_t(i)]));
    if (arrivalLast)
        QCOMPARE(hs.transports.back(), rx);
    QCOMPARE(int(m_db->getTransports(knownUuid).size()), stored);
    for (const TransportDto& s : m_db->getTransports(knownUuid)) {
        const auto first = transports.begin();
        QVERIFY(std::any_of(first, first + stored, [&s](const TransportDto& t) { return sameTransport(s, t); }));
    }
}

QTEST_GUILESS_MAIN(TestPeerAuthenticator)
#include "tst_peerauthenticator.moc"
