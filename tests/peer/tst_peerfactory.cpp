#include "core/databasesqlite.h"
#include "crypto/crypto.h"
#include "peer/peerfactory.h"
#include "peer/peerloadervelm.h"
#include "peer/peertestutil.h"
#include "peer/peervelm.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString other = QStringLiteral("{5a1e0000-0000-4000-8000-0000000000b1}");

PeerDto peerRow(const QString& uuid)
{
    return PeerDto{uuid, QStringLiteral("velm"), QDateTime::fromSecsSinceEpoch(1700000000)};
}

TransportDto transport(const char* host, quint16 port = 60391)
{
    return TransportDto{QUuid::createUuid().toString(), QStringLiteral("tcp"), QLatin1String(host), port,
                        QDateTime::currentSecsSinceEpoch(), true};
}

} // namespace

class TestPeerFactory : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void replayOnce();
    void newRowBuildsOnePeer();
    void ownPeerHasNoSyntheticTransports();
    void ipv6TransportIgnored();
    void ownListenPort();
    void nameWrittenBackOnce();

private:
    std::unique_ptr<Crypto> m_crypto;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DatabaseSqlite> m_db;
    FakePeerHost m_host;
};

void TestPeerFactory::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
}

void TestPeerFactory::init()
{
    m_dir.reset(new QTemporaryDir);
    m_db.reset(new DatabaseSqlite(m_dir->filePath(QStringLiteral("velm.db"))));
    QVERIFY(m_db->init());
}

void TestPeerFactory::cleanup()
{
    qDeleteAll(m_host.io.children());
    m_db.reset();
}

void TestPeerFactory::replayOnce()
{
    QVERIFY(m_db->putPeer(peerRow(ownPeerUuid())));
    QVERIFY(m_db->putPeer(peerRow(other)));
    QVERIFY(m_db->putTransport(other, transport("192.168.1.20")));
    PeerFactory factory(m_db.get());
    PeerLoaderVelm loader(nullptr, &m_host);
    QSignalSpy created(&factory, &PeerFactory::createdPeer);
    factory.addPeerLoader(&loader);
    QCOMPARE(created.count(), 2);
    factory.addPeerLoader(&loader);
    QCOMPARE(created.count(), 2);
    auto* peer = qobject_cast<PeerVelm*>(factory.findPeer(other));
    QVERIFY(peer);
    QVERIFY(factory.findPeer(ownPeerUuid()));
    QCOMPARE(factory.findLoader(QStringLiteral("velm")), &loader);
    QVERIFY(!factory.findLoader(QStringLiteral("other")));
    // The stored transport reached the peer by the replay.
    bool found = false;
    for (const TransportDto& t : peer->transports())
        found |= t.host == QLatin1String("192.168.1.20");
    QVERIFY(found);
    qDeleteAll(created.count() ? std::vector<QObject*>{factory.findPeer(other), factory.findPeer(ownPeerUuid())}
                               : std::vector<QObject*>{});
}

// One row, one peer; the same row stored again builds nothing more.
void TestPeerFactory::newRowBuildsOnePeer()
{
    PeerFactory factory(m_db.get());
    PeerLoaderVelm loader(nullptr, &m_host);
    factory.addPeerLoader(&loader);
    QSignalSpy created(&factory, &PeerFactory::createdPeer);
    QVERIFY(m_db->putPeer(peerRow(other)));
    QTRY_COMPARE_WITH_TIMEOUT(created.count(), 1, 10000);
    QVERIFY(m_db->putPeer(peerRow(other)));
    factory.dbPeerAdded(peerRow(other));
    QCoreApplication::processEvents();
    QCOMPARE(created.count(), 1);
    delete factory.findPeer(other);
}

void TestPeerFactory::ownPeerHasNoSyntheticTransports()
{
    QVERIFY(m_db->putPeer(peerRow(ownPeerUuid())));
    QVERIFY(m_db->putPeer(peerRow(other)));
    PeerFactory factory(m_db.get());
    PeerLoaderVelm loader(nullptr, &m_host);
    factory.addPeerLoader(&loader);
    auto* own = qobject_cast<PeerVelm*>(factory.findPeer(ownPeerUuid()));
    auto* theirs = qobject_cast<PeerVelm*>(factory.findPeer(other));
    QVERIFY(own && theirs);
    QVERIFY(own->transports().empty());
    QStringList types;
    for (const TransportDto& t : theirs->transports())
        types << t.type;
    QCOMPARE(types, (QStringList{"udp", "turn"}));
    delete own;
    delete theirs;
}

void TestPeerFactory::ipv6TransportIgnored()
{
    QVERIFY(m_db->putPeer(peerRow(other)));
    PeerFactory factory(m_db.get());
    PeerLoaderVelm loader(nullptr, &m_host);
    factory.addPeerLoader(&loader);
    auto* peer = qobject_cast<PeerVelm*>(factory.findPeer(other));
    QVERIFY(peer);
    const size_t before = peer->transports().size();
    factory.dbPeerTransportAdded(other, transport("fe80::1"));
    QCOMPARE(peer->transports().size(), before);
    QVERIFY(m_db->putTransport(other, transport("10.0.0.7")));
    QTRY_COMPARE_WITH_TIMEOUT(peer->transports().size(), before + 1, 10000);
    delete peer;
}

void TestPeerFactory::ownListenPort()
{
    PeerLoaderVelm loader(nullptr, &m_host);
    std::unique_ptr<IPeer> none(loader.loadPeer(m_db.get(), peerRow(other)));
    QSignalSpy mounts(none.get(), SIGNAL(mountTransport(TransportDto, Endpoint*)));
    // With no own listener known, a loopback transport on 60391 is not ours.
    qobject_cast<PeerVelm*>(none.get())->addTransports({transport("198.51.100.1", 60391)});
    QCOMPARE(mounts.count(), 4);

    QVERIFY(m_db->putPeer(peerRow(ownPeerUuid())));
    QVERIFY(m_db->putTransport(ownPeerUuid(), transport("127.0.0.1", 4000)));
    std::unique_ptr<IPeer> some(loader.loadPeer(m_db.get(), peerRow(QStringLiteral("{5a1e0000-0000-4000-8000-0000000000b2}"))));
    QSignalSpy mounts2(some.get(), SIGNAL(mountTransport(TransportDto, Endpoint*)));
    // A public transport on our own port reaches the server endpoints too.
    qobject_cast<PeerVelm*>(some.get())->addTransports({transport("198.51.100.1", 4000)});
    QCOMPARE(mounts2.count(), 8);
}

// A name learnt from the other side is stored once; applying the stored
// attributes again stores nothing.
void TestPeerFactory::nameWrittenBackOnce()
{
    QVERIFY(m_db->putPeer(peerRow(other)));
    PeerFactory factory(m_db.get());
    PeerLoaderVelm loader(nullptr, &m_host);
    factory.addPeerLoader(&loader);
    auto* peer = qobject_cast<PeerVelm*>(factory.findPeer(other));
    QVERIFY(peer);
    QSignalSpy changed(m_db.get(), &IDatabase::peerAttributesChanged);
    HandshakeDto hs;
    hs.flags = 1;
    hs.attributes["name"] = std::string("Kitchen");
    peer->onHandshakeRequest(hs);
    // The name, and the icon and device type the peer settled on, arrive in
    // the database; once all three are there nothing more is on its way.
    auto stored = [&](const char* key) {
        return !m_db->getPeerAttributes(other, {QLatin1String(key)}).empty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(stored("name") && stored("icon") && stored("devicetype"), 10000);
    QCOMPARE(m_db->getPeerAttributes(other, {QStringLiteral("name")}).front().value, QStringLiteral("Kitchen"));
    const int writes = changed.count();
    loader.updatePeer(m_db.get(), peer);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(changed.count(), writes);
    QCOMPARE(int(m_db->getPeerAttributes(other, {QStringLiteral("name")}).size()), 1);
    delete peer;
}

QTEST_GUILESS_MAIN(TestPeerFactory)
#include "tst_peerfactory.moc"
