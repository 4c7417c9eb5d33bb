#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "crypto/crypto.h"
#include "peer/peertestutil.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/client/vfsmovejob.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/server/vfsservervelm.h"

#include <QAbstractItemModel>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <sodium.h>

#include <memory>

namespace {

const QString otherUuid = QStringLiteral("{5a1e0000-0000-4000-8000-0000000000b1}");

CryptoKeyDto ownKeyPair()
{
    QByteArray pksk(64, 0);
    crypto_box_keypair(reinterpret_cast<unsigned char*>(pksk.data()),
                       reinterpret_cast<unsigned char*>(pksk.data()) + 32);
    return CryptoKeyDto{QStringLiteral("{5a1e0000-0000-4000-8000-0000000000c1}"), pksk, QStringLiteral("pksk"),
                        QDateTime::currentDateTime()};
}

std::unique_ptr<PeerVelm> makePeer(FakePeerHost& host, const QString& uuid = otherUuid)
{
    return std::make_unique<PeerVelm>(PeerDto{uuid, QStringLiteral("velm"), QDateTime::currentDateTime()},
                                      60391, &host);
}

HandshakeDto handshake(quint32 flags, quint32 session, quint8 keyId = 10)
{
    HandshakeDto dto;
    dto.flags = flags;
    dto.session = session;
    dto.keyId = keyId;
    dto.values = {3, 2, 1};
    for (size_t i = 0; i < dto.sessionKey.size(); ++i)
        dto.sessionKey[i] = quint8(i + 1);
    dto.publicKey[0] = 1;
    return dto;
}

TransportDto transport(const char* type, const char* host, quint16 port)
{
    TransportDto t;
    t.uuid = QUuid::createUuid().toString();
    t.type = QLatin1String(type);
    t.host = QLatin1String(host);
    t.port = port;
    t.stream = t.type == QLatin1String("tcp");
    return t;
}

} // namespace

class TestPeerVelm : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void ownPeer();
    void otherPeer();
    void deviceTypeFromMachineClass_data();
    void deviceTypeFromMachineClass();
    void builtOnWorkerThread();
    void supervisor_data();
    void supervisor();
    void connectingIsSetBeforeTheRequestLeaves();
    void fastAnswerIsNotOverwritten();
    void sessionBrokenGrace();
    void handshakeSetsKeysAndSessions();
    void handshakeRequestAnswersResponseDoesNot();
    void newSessionOnUpLink();
    void handshakeAttributes_data();
    void handshakeAttributes();
    void receivedTransports();
    void storedTransports();
    void knownTransportReachesServers();
    void applyAttributesKeepsFirstValues();
    void syntheticUdpPort();
    void framesWhileDown();
    void clientGoneFirst();
    void linkDownFailsRequestsAtOnce();
    void onlyThePeersKeyCountsAsLife();
    void roundRobin();

private:
    std::unique_ptr<Crypto> m_crypto;
};

void TestPeerVelm::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
    qRegisterMetaType<TransportDto>();
}

void TestPeerVelm::ownPeer()
{
    FakePeerHost host;
    host.machine = 1; // laptop
    auto peer = makePeer(host, ownPeerUuid());
    QVERIFY(peer->isOwnPeer());
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
    QCOMPARE(peer->deviceType(), IPeer::DeviceLaptop);
    QCOMPARE(peer->displayName(), qtTrId("label-this-pc"));
    QCOMPARE(peer->uuid(), ownPeerUuid());
    QCOMPARE(peer->client()->protocolVersion(), quint16(3));
    QCOMPARE(peer->server()->peerVersion(), quint16(3));
    QCOMPARE(peer->vfsDriveModel()->objectName(), ownPeerUuid());

    // Buddied pairs: a client message reaches the server endpoint of its pair in memory.
    QSignalSpy atServer(peer->serverEndpoints()[2], &Endpoint::receivedMessage);
    const quint8 frame[] = {1, 2, 3};
    QCOMPARE(peer->clientEndpoints()[2]->send(frame, sizeof frame), int(Endpoint::SendOk));
    QTRY_COMPARE_WITH_TIMEOUT(atServer.count(), 1, 10000);

    // Its own listener is known but never dialled.
    QSignalSpy mounts(peer.get(), &PeerVelm::mountTransport);
    peer->addTransports({transport("tcp", "127.0.0.1", 60391), transport("tcp", "192.0.2.10", 60391)});
    QCOMPARE(mounts.count(), 0);
    QCOMPARE(peer->transports().size(), size_t(2));

    // The supervisor leaves the own peer alone and does not come back.
    QSignalSpy requests(peer.get(), &PeerVelm::requestSendHandshakeRequest);
    host.seconds += 100000;
    peer->testSendTimer();
    QCOMPARE(requests.count(), 0);
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
}

void TestPeerVelm::otherPeer()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    QVERIFY(!peer->isOwnPeer());
    QCOMPARE(peer->linkState(), IPeer::LinkDown);
    QCOMPARE(peer->id(), otherUuid);
    QCOMPARE(peer->type(), QStringLiteral("velm"));
    QCOMPARE(peer->clientEndpoints().size(), size_t(4));
    QCOMPARE(peer->serverEndpoints().size(), size_t(4));
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(int(peer->clientEndpoints()[size_t(i)]->rxKeyId()), 10 + 2 * i);
        QCOMPARE(int(peer->serverEndpoints()[size_t(i)]->rxKeyId()), 11 + 2 * i);
        QCOMPARE(peer->clientEndpoints()[size_t(i)]->parent(), &host.io);
    }
    QCOMPARE(peer->client()->parent(), &host.io);
    QCOMPARE(peer->server()->parent(), &host.io);
    QVERIFY(peer->aclModel());
    // Two peers never share a session.
    auto second = makePeer(host);
    QVERIFY(peer->localSessionId() != second->localSessionId());
}

void TestPeerVelm::deviceTypeFromMachineClass_data()
{
    QTest::addColumn<quint32>("machine");
    QTest::addColumn<int>("device");
    QTest::newRow("undetected") << 0u << int(IPeer::DeviceUnknown);
    QTest::newRow("laptop") << 1u << int(IPeer::DeviceLaptop);
    QTest::newRow("desktop") << 2u << int(IPeer::DeviceDesktop);
    QTest::newRow("unknown class") << 3u << int(IPeer::DeviceDesktop);
    QTest::newRow("out of range") << 7u << int(IPeer::DeviceUnknown);
}

void TestPeerVelm::deviceTypeFromMachineClass()
{
    QFETCH(quint32, machine);
    QFETCH(int, device);
    FakePeerHost host;
    host.machine = machine;
    QCOMPARE(int(makePeer(host)->localDeviceType()), device);
}

void TestPeerVelm::builtOnWorkerThread()
{
    QThread io;
    io.start();
    FakePeerHost host;
    host.io.moveToThread(&io);
    PeerVelm* peer = nullptr;
    QMetaObject::invokeMethod(&host.io, [&] { peer = makePeer(host).release(); }, Qt::BlockingQueuedConnection);
    std::unique_ptr<PeerVelm> owned(peer);
    QThread* main = QCoreApplication::instance()->thread();
    QCOMPARE(peer->thread(), main);
    QCOMPARE(peer->vfsDriveModel()->thread(), main);
    QCOMPARE(peer->vfsFileSystemModel()->thread(), main);
    QCOMPARE(reinterpret_cast<QObject*>(peer->aclModel())->thread(), main);
    QCOMPARE(peer->client()->thread(), &io);
    QCOMPARE(peer->clientEndpoints()[0]->thread(), &io);
    owned.reset();
    QMetaObject::invokeMethod(&host.io, [&] { qDeleteAll(host.io.children()); }, Qt::BlockingQueuedConnection);
    io.quit();
    QVERIFY(io.wait(10000));
    host.io.moveToThread(QThread::currentThread());
}

void TestPeerVelm::supervisor_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<qint64>("sinceHandshake"); // -1: never handshaked
    QTest::addColumn<qint64>("silenceMs");      // -1: no message counted
    QTest::addColumn<bool>("network");
    QTest::addColumn<bool>("sleeping");
    QTest::addColumn<bool>("requested");
    QTest::addColumn<int>("after");
    QTest::addColumn<qint64>("silenceLimitMs");

    const qint64 kLimit = IPeerHost::DefaultLinkSilenceLimitMs;
    const int down = IPeer::LinkDown, connecting = IPeer::LinkConnecting, up = IPeer::LinkUp;
    QTest::newRow("up, healthy") << up << 180LL << 120000LL << true << false << false << up << kLimit;
    QTest::newRow("up, time for a new handshake") << up << 181LL << 120000LL << true << false << true << up << kLimit;
    QTest::newRow("up, silent one ms too long") << up << 10LL << 120001LL << true << false << false << down << kLimit;
    // A host that shortens the limit (config.ini) is followed.
    QTest::newRow("up, silent within a shortened limit") << up << 10LL << 30000LL << true << false << false << up
                                                       << 30000LL;
    QTest::newRow("up, silent past a shortened limit") << up << 10LL << 30001LL << true << false << false << down
                                                     << 30000LL;
    QTest::newRow("up, never heard") << up << 10LL << -1LL << true << false << false << down << kLimit;
    QTest::newRow("connecting, 5 s") << connecting << 5LL << -1LL << true << false << false << connecting << kLimit;
    QTest::newRow("connecting, 6 s") << connecting << 6LL << -1LL << true << false << false << down << kLimit;
    QTest::newRow("down, 30 s") << down << 30LL << -1LL << true << false << false << down << kLimit;
    QTest::newRow("down, 31 s") << down << 31LL << -1LL << true << false << true << connecting << kLimit;
    QTest::newRow("down, first run") << down << -1LL << -1LL << true << false << true << connecting << kLimit;
    QTest::newRow("down, no network") << down << 31LL << -1LL << false << false << false << down << kLimit;
    QTest::newRow("down, sleeping") << down << 31LL << -1LL << true << true << false << down << kLimit;
    QTest::newRow("reachable") << int(IPeer::LinkReachable) << 500LL << -1LL << true << false << false
                               << int(IPeer::LinkReachable) << kLimit;
}

void TestPeerVelm::supervisor()
{
    QFETCH(int, state);
    QFETCH(qint64, sinceHandshake);
    QFETCH(qint64, silenceMs);
    QFETCH(bool, network);
    QFETCH(bool, sleeping);
    QFETCH(bool, requested);
    QFETCH(int, after);
    QFETCH(qint64, silenceLimitMs);

    FakePeerHost host;
    host.silenceLimitMs = silenceLimitMs;
    auto peer = makePeer(host);
    peer->setCryptoKey(ownKeyPair());
    if (sinceHandshake >= 0) {
        peer->sendHandshakeRequest(0);
        QCOMPARE(peer->lastHandshakeSecs(), host.seconds.load());
        host.seconds += sinceHandshake;
    }
    if (silenceMs >= 0) {
        peer->setLinkState(IPeer::LinkUp);
        const QByteArray request = VfsMirkCommandWriter::listDrivesRequest(1, 0, 0);
        peer->onReceivedMessageSrv(std::vector<unsigned char>(request.begin(), request.end()));
        host.milliseconds += silenceMs;
        QCOMPARE(peer->msSinceLastMessage(), silenceMs);
    }
    peer->setLinkState(IPeer::LinkState(state));
    host.hasNetwork = network;
    host.sleeping = sleeping;

    QSignalSpy requests(peer.get(), &PeerVelm::requestSendHandshakeRequest);
    peer->testSendTimer();
    QCOMPARE(requests.count(), requested ? 1 : 0);
    if (requested)
        QCOMPARE(requests.at(0).at(0).toInt(), 0);
    QCOMPARE(int(peer->linkState()), after);
    if (state == IPeer::LinkConnecting && after == IPeer::LinkDown)
        QCOMPARE(peer->msSinceLastMessage(), -1LL);
}

// The request is queued to the io thread; by the time it can be answered
// the peer already shows Connecting.
void TestPeerVelm::connectingIsSetBeforeTheRequestLeaves()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    int stateAtRequest = -1;
    connect(peer.get(), &PeerVelm::requestSendHandshakeRequest, this,
            [&] { stateAtRequest = peer->linkState(); }, Qt::DirectConnection);
    peer->testSendTimer();
    QCOMPARE(stateAtRequest, int(IPeer::LinkConnecting));
}

// A response processed before the supervisor's next run keeps the link up,
// and the run after it does not take it down.
void TestPeerVelm::fastAnswerIsNotOverwritten()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    connect(peer.get(), &PeerVelm::requestSendHandshakeRequest, this,
            [&] { peer->onHandshakeRequest(handshake(1, 77)); }, Qt::DirectConnection);
    peer->testSendTimer();
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
    host.seconds += 6;
    host.milliseconds += 1000;
    peer->testSendTimer();
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
}

void TestPeerVelm::sessionBrokenGrace()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    peer->setCryptoKey(ownKeyPair());
    peer->sendHandshakeRequest(0);
    QSignalSpy requests(peer.get(), &PeerVelm::requestSendHandshakeRequest);
    host.seconds += 5;
    peer->sessionBroken();
    QCOMPARE(requests.count(), 0);
    host.seconds += 1;
    peer->sessionBroken();
    QCOMPARE(requests.count(), 1);
    QCOMPARE(peer->linkState(), IPeer::LinkDown);
}

// Key id 10 announced: servers transmit with 10, 12, 14, 16, clients with
// 11, 13, 15, 17; every endpoint runs the conversation remote ^ local.
void TestPeerVelm::handshakeSetsKeysAndSessions()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    const quint32 remote = 0x12345678;
    peer->onHandshakeRequest(handshake(1, remote));
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
    QCOMPARE(peer->remoteSessionId(), remote);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(int(peer->serverEndpoints()[size_t(i)]->txKeyId()), 10 + 2 * i);
        QCOMPARE(int(peer->clientEndpoints()[size_t(i)]->txKeyId()), 11 + 2 * i);
        QCOMPARE(peer->clientEndpoints()[size_t(i)]->kcp()->conv(), remote ^ peer->localSessionId());
        QCOMPARE(peer->serverEndpoints()[size_t(i)]->kcp()->conv(), remote ^ peer->localSessionId());
    }
    // Key ids wrap modulo 256.
    peer->onHandshakeRequest(handshake(1, remote, 254));
    QCOMPARE(int(peer->serverEndpoints()[1]->txKeyId()), 0);
    QCOMPARE(int(peer->clientEndpoints()[0]->txKeyId()), 255);
    QCOMPARE(peer->client()->protocolVersion(), quint16(3));
}

void TestPeerVelm::handshakeRequestAnswersResponseDoesNot()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    QSignalSpy requests(peer.get(), &PeerVelm::requestSendHandshakeRequest);
    peer->onHandshakeRequest(handshake(1, 5));
    QCOMPARE(requests.count(), 0);
    peer->onHandshakeRequest(handshake(0, 5));
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.at(0).at(0).toInt(), 1);
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
}

// The same session on an up link keeps it up; a new one takes it down and
// straight back up with the new keys.
void TestPeerVelm::newSessionOnUpLink()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    peer->onHandshakeRequest(handshake(0, 5));
    QSignalSpy states(peer.get(), &IPeer::linkStateChanged);
    peer->onHandshakeRequest(handshake(0, 5));
    QCOMPARE(states.count(), 0);
    peer->onHandshakeRequest(handshake(0, 6));
    QCOMPARE(states.count(), 2);
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
    QCOMPARE(peer->clientEndpoints()[0]->kcp()->conv(), 6 ^ peer->localSessionId());
}

void TestPeerVelm::handshakeAttributes_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("device");
    QTest::addColumn<QString>("icon");

    QTest::newRow("name") << "name" << "Kitchen" << "Kitchen" << 0 << "";
    QTest::newRow("empty name") << "name" << "" << "" << 0 << "";
    QTest::newRow("desktop") << "device" << "desktop" << "" << int(IPeer::DeviceDesktop) << "dev-desktop";
    QTest::newRow("laptop") << "device" << "laptop" << "" << int(IPeer::DeviceLaptop) << "dev-laptop";
    QTest::newRow("tablet") << "device" << "tablet" << "" << 0 << "";
    QTest::newRow("greeting") << "greeting" << "hello world" << "" << 0 << "";
}

void TestPeerVelm::handshakeAttributes()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, name);
    QFETCH(int, device);
    QFETCH(QString, icon);
    FakePeerHost host;
    auto peer = makePeer(host);
    HandshakeDto dto = handshake(1, 9);
    dto.attributes[key.toStdString()] = value.toStdString();
    peer->onHandshakeRequest(dto);
    QCOMPARE(peer->name(), name);
    QCOMPARE(int(peer->deviceType()), device);
    QCOMPARE(peer->icon(), icon);
    if (!name.isEmpty())
        QCOMPARE(peer->clientEndpoints()[3]->objectName(), QStringLiteral("cli ") + name + QLatin1Char('3'));
}

void TestPeerVelm::receivedTransports()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    QVector<QPair<QString, bool>> mounts; // host, on a server endpoint
    connect(peer.get(), &PeerVelm::mountTransport, this, [&](TransportDto t, Endpoint* e) {
        const auto& servers = peer->serverEndpoints();
        mounts << qMakePair(t.host + ':' + QString::number(t.port),
                            std::find(servers.begin(), servers.end(), e) != servers.end());
    });
    QVector<TransportDto> configured;
    connect(peer.get(), &PeerVelm::configureTransportPeers, this,
            [&](TransportDto t, std::vector<TransportDto> peers) {
                configured << t;
                QCOMPARE(peers.size(), size_t(1));
            });
    HandshakeDto dto = handshake(1, 9);
    dto.transports = {transport("tcp", "198.51.100.7", 60391), transport("tcp", "127.0.0.1", 60391),
                      transport("udp", "203.0.113.9", 5000), transport("tcp", "198.51.100.7", 60391)};
    peer->addTurnTransport();
    mounts.clear();
    peer->onHandshakeRequest(dto);
    // The first tcp on all eight endpoints, our own listener on the servers
    // only, the udp address not stored; the repeated tcp is not stored again
    // and only renews its server mounts (the registry ignores a mount it has).
    int clientMounts = 0, serverMounts = 0;
    for (const auto& m : mounts)
        (m.second ? serverMounts : clientMounts)++;
    QCOMPARE(clientMounts, 4);
    QCOMPARE(serverMounts, 12);
    QCOMPARE(peer->transports().size(), size_t(3)); // turn + two tcp
    QCOMPARE(configured.size(), 1);
    QCOMPARE(configured.first().type, QStringLiteral("turn"));

    // Known again: nothing new is stored, and nothing reaches the clients again.
    mounts.clear();
    peer->onHandshakeRequest(dto);
    QCOMPARE(peer->transports().size(), size_t(3));
    for (const auto& m : mounts)
        QVERIFY(m.second);
}

// A stored address on another port than ours reaches only the client
// endpoints; once a handshake names it, the server endpoints use the same
// transport, so the peer's requests get answers over the one connection.
void TestPeerVelm::knownTransportReachesServers()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    const TransportDto stored = transport("tcp", "198.51.100.7", 41002);
    QVector<QPair<QString, bool>> mounts; // transport uuid, on a server endpoint
    connect(peer.get(), &PeerVelm::mountTransport, this, [&](TransportDto t, Endpoint* e) {
        const auto& servers = peer->serverEndpoints();
        mounts << qMakePair(t.uuid, std::find(servers.begin(), servers.end(), e) != servers.end());
    });
    peer->addTransports({stored});
    QCOMPARE(mounts.size(), 4);
    for (const auto& m : mounts)
        QVERIFY(!m.second);
    mounts.clear();

    HandshakeDto dto = handshake(1, 9);
    TransportDto announced = stored;
    announced.uuid = QUuid::createUuid().toString(); // a received record brings fresh uuids
    dto.transports = {announced};
    peer->onHandshakeRequest(dto);
    QCOMPARE(mounts.size(), 4);
    for (const auto& m : mounts) {
        QVERIFY(m.second);
        QCOMPARE(m.first, stored.uuid);
    }
    QCOMPARE(peer->transports().size(), size_t(1));
}

void TestPeerVelm::storedTransports()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    int clientMounts = 0, serverMounts = 0;
    connect(peer.get(), &PeerVelm::mountTransport, this, [&](TransportDto, Endpoint* e) {
        const auto& servers = peer->serverEndpoints();
        (std::find(servers.begin(), servers.end(), e) != servers.end() ? serverMounts : clientMounts)++;
    });
    peer->addTransports({transport("tcp", "127.0.0.1", 60391), transport("tcp", "127.0.0.1", 60391)});
    QCOMPARE(clientMounts, 4);
    QCOMPARE(serverMounts, 0);
    peer->addTransports({transport("tcp", "198.51.100.7", 60391)});
    QCOMPARE(clientMounts, 8);
    QCOMPARE(serverMounts, 4);
}

void TestPeerVelm::applyAttributesKeepsFirstValues()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    auto attr = [](const char* key, const char* value) {
        return PeerAttributeDto{QUuid::createUuid().toString(), QLatin1String(key), QLatin1String(value), 1};
    };
    peer->applyAttributes({attr("name", "first"), attr("name", "second"), attr("devicetype", "laptop"),
                           attr("devicetype", "desktop")});
    QCOMPARE(peer->name(), QStringLiteral("first"));
    QCOMPARE(peer->deviceType(), IPeer::DeviceLaptop);
    QCOMPARE(peer->icon(), QStringLiteral("dev-desktop"));

    auto bare = makePeer(host);
    bare->applyAttributes({});
    QCOMPARE(bare->deviceType(), IPeer::DeviceDesktop);
    QCOMPARE(bare->icon(), QStringLiteral("dev-desktop"));
}

void TestPeerVelm::syntheticUdpPort()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    for (int i = 0; i < 200; ++i)
        peer->addUdpTransport();
    for (const TransportDto& t : peer->transports()) {
        QCOMPARE(t.type, QStringLiteral("udp"));
        QVERIFY(t.port >= 0x0400);
        QVERIFY(!t.stream);
    }
}

// A client frame while the link is down is dropped; a server frame is
// served whatever the link state.
void TestPeerVelm::framesWhileDown()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    QSignalSpy served(peer->server(), &VfsServerVelm::processedCommand);
    QSignalSpy answered(peer->client(), &VfsClientVelm::processedCommand);
    auto bytes = [](const QByteArray& frame) { return std::vector<unsigned char>(frame.begin(), frame.end()); };

    peer->onReceivedMessageCli(bytes(VfsMirkCommandWriter::moveReply(1, 0)));
    QCOMPARE(answered.count(), 0);
    QCOMPARE(peer->msSinceLastMessage(), -1LL);
    peer->onReceivedMessageSrv(bytes(VfsMirkCommandWriter::listDrivesRequest(1, 0, 0)));
    QCOMPARE(served.count(), 1);
    QVERIFY(peer->msSinceLastMessage() >= 0);
    // The wrong magic on either side is dropped.
    peer->onReceivedMessageSrv(bytes(VfsMirkCommandWriter::moveReply(2, 0)));
    QCOMPARE(served.count(), 1);
    // A head that cannot be read is dropped without a trace.
    peer->onReceivedMessageSrv({0x07, 0x01});
    QCOMPARE(served.count(), 1);

    peer->onHandshakeRequest(handshake(1, 3));
    peer->onReceivedMessageCli(bytes(VfsMirkCommandWriter::moveReply(1, 0)));
    QCOMPARE(answered.count(), 1);
}

// The client belongs to the io side, which goes before the peer when the
// program ends: the peer then names no client, and what still arrives for
// it is dropped.
void TestPeerVelm::clientGoneFirst()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    peer->onHandshakeRequest(handshake(1, 3));
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
    QSignalSpy served(peer->server(), &VfsServerVelm::processedCommand);
    delete peer->client();
    QVERIFY(peer->vfsClient() == nullptr);
    QVERIFY(peer->client() == nullptr);

    const QByteArray reply = VfsMirkCommandWriter::moveReply(1, 0);
    peer->onReceivedMessageCli(std::vector<unsigned char>(reply.begin(), reply.end()));
    peer->onHandshakeRequest(handshake(1, 4));
    peer->setLinkState(IPeer::LinkDown);
    // The server side goes on as before.
    peer->onHandshakeRequest(handshake(1, 5));
    const QByteArray request = VfsMirkCommandWriter::listDrivesRequest(1, 0, 0);
    peer->onReceivedMessageSrv(std::vector<unsigned char>(request.begin(), request.end()));
    QCOMPARE(served.count(), 1);
}

// A request out on the link when it goes down comes back failed at once,
// not after its time-out; one queued after the link is up again goes out.
void TestPeerVelm::linkDownFailsRequestsAtOnce()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    peer->onHandshakeRequest(handshake(1, 3));
    QCOMPARE(peer->linkState(), IPeer::LinkUp);
    peer->client()->setTimeouts(3600000, 3600000);
    QSignalSpy moves(peer->client(), &VfsClient::moveUpdate);
    VfsMoveJob move;
    move.sourcePath = "/a";
    move.destinationPath = "/b";
    peer->client()->move(&move);
    QTRY_COMPARE(peer->client()->pendingJobs(), 1);
    peer->setLinkState(IPeer::LinkDown);
    QTRY_COMPARE(moves.count(), 1);
    QCOMPARE(move.jobStatus, quint32(VfsClientJob::JobFailed));
    QCOMPARE(move.status, quint8(FSO_STATUS_TIMEOUT));

    // Coming up fails nothing.
    peer->setLinkState(IPeer::LinkUp);
    peer->client()->move(&move);
    QTRY_COMPARE(peer->client()->pendingJobs(), 1);
    peer->setLinkState(IPeer::LinkUp);
    QCoreApplication::processEvents();
    QCOMPARE(moves.count(), 1);
    QCOMPARE(peer->client()->pendingJobs(), 1);
}

// A public-key message opened by client endpoint 0 keeps the link alive
// only when the peer's own key sealed it.
void TestPeerVelm::onlyThePeersKeyCountsAsLife()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    const CryptoKeyDto own = ownKeyPair();
    const CryptoKeyDto theirs = ownKeyPair();
    const CryptoKeyDto stranger = ownKeyPair();
    peer->setCryptoKey(own);
    peer->onHandshakeRequest(handshake(1, 3));
    host.milliseconds += 1000;
    auto deliver = [&](const CryptoKeyDto& from) {
        QByteArray ping(40, 0);
        ping[0] = char(0x05); // any plaintext will do; the peer looks at who sealed it
        QByteArray sealed(ping.size() + 200, 0);
        unsigned long long clen = sealed.size();
        const auto* pksk = reinterpret_cast<const unsigned char*>(from.key.constData());
        QCOMPARE(crypto::encryptMessagePKI(pksk, pksk + 32, reinterpret_cast<const unsigned char*>(own.key.constData()),
                                           reinterpret_cast<const unsigned char*>(ping.constData()),
                                           ping.size(), reinterpret_cast<unsigned char*>(sealed.data()), &clen),
                 0);
        peer->clientEndpoints().front()->receivedPubkeyEncryptedMessage(
            TransportDto(), reinterpret_cast<const quint8*>(sealed.constData()), size_t(clen));
    };
    const qint64 before = peer->msSinceLastMessage();
    QVERIFY(before >= 1000);
    // No key of the peer stored yet: nobody's message counts.
    deliver(stranger);
    QCOMPARE(peer->msSinceLastMessage(), before);
    peer->setCryptoKey(CryptoKeyDto{QUuid::createUuid().toString(), theirs.key.left(32), QStringLiteral("pk"),
                                    QDateTime()});
    deliver(stranger);
    QCOMPARE(peer->msSinceLastMessage(), before);
    deliver(theirs);
    QCOMPARE(peer->msSinceLastMessage(), 0LL);
}

// Five client frames go to client endpoints 0, 1, 2, 3, 0; the server side
// keeps its own turn. Nothing is queued while the link is down.
void TestPeerVelm::roundRobin()
{
    FakePeerHost host;
    auto peer = makePeer(host);
    auto queued = [](const std::vector<Endpoint*>& endpoints) {
        QVector<int> out;
        for (Endpoint* e : endpoints)
            out << e->kcp()->waitSend();
        return out;
    };
    const QByteArray frame(40, 'x');
    peer->fsoTransmitCLi(frame);
    peer->fsoTransmitSrv(frame);
    peer->onHandshakeRequest(handshake(1, 3));
    QCOMPARE(queued(peer->clientEndpoints()), (QVector<int>{0, 0, 0, 0}));
    for (int i = 0; i < 5; ++i)
        peer->fsoTransmitCLi(frame);
    peer->fsoTransmitSrv(frame);
    QCOMPARE(queued(peer->clientEndpoints()), (QVector<int>{2, 1, 1, 1}));
    QCOMPARE(queued(peer->serverEndpoints()), (QVector<int>{1, 0, 0, 0}));
}

QTEST_GUILESS_MAIN(TestPeerVelm)
#include "tst_peervelm.moc"
