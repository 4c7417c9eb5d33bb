#include "com/link/endpoint.h"
#include "com/link/handshakedto.h"
#include "com/kcp/kcp.h"
#include "crypto/crypto.h"
#include "peer/peertestutil.h"
#include "peer/peervelm.h"
#include "vfs/client/vfsclientvelm.h"
#include "vfs/client/vfslistdrivesjob.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// One machine of the test: its key pair, the endpoint that opens handshakes
// sealed for it, and its peer object for the other machine.
struct Machine
{
    explicit Machine(const QString& otherUuid)
    {
        QByteArray pksk(64, 0);
        crypto::generateKeyPair(reinterpret_cast<unsigned char*>(pksk.data()),
                                reinterpret_cast<unsigned char*>(pksk.data()) + 32);
        keyPair = CryptoKeyDto{QUuid::createUuid().toString(), pksk, QStringLiteral("pksk"), QDateTime()};
        auth.setCryptoKey(keyPair);
        peer = std::make_unique<PeerVelm>(PeerDto{otherUuid, QStringLiteral("velm"), QDateTime()}, 60391, &host);
        peer->setCryptoKey(keyPair);
        QObject::connect(peer.get(), &PeerVelm::requestSendHandshakeRequest, peer.get(),
                         [this](int flags) { peer->sendHandshakeRequest(flags); }, Qt::QueuedConnection);
        QObject::connect(&auth, &Endpoint::receivedMessagePKI, peer.get(),
                         [this](TransportDto, const quint8* buf, size_t len) {
                             HandshakeDto dto;
                             if (dto.parse(buf, len) == HandshakeDto::ParseOk)
                                 peer->onHandshakeRequest(dto);
                         });
    }

    CryptoKeyDto publicKey() const
    {
        return CryptoKeyDto{QUuid::createUuid().toString(), keyPair.key.left(32), QStringLiteral("pk"), QDateTime()};
    }

    std::vector<Endpoint*> endpoints() const
    {
        std::vector<Endpoint*> all = peer->clientEndpoints();
        all.insert(all.end(), peer->serverEndpoints().begin(), peer->serverEndpoints().end());
        return all;
    }

    FakePeerHost host;
    CryptoKeyDto keyPair;
    Endpoint auth;
    std::unique_ptr<PeerVelm> peer;
};

// Carries every datagram one machine's endpoints transmit to the other
// machine, as the transport registry would: public-key datagrams to its
// handshake endpoint, session datagrams to every endpoint of its peer.
void wire(Machine& from, Machine& to, int* sessionDatagrams)
{
    TransportDto via;
    via.type = QStringLiteral("tcp");
    via.host = QStringLiteral("127.0.0.1");
    via.port = 1;
    for (Endpoint* e : from.endpoints()) {
        QObject::connect(e, &Endpoint::transmit, e,
                         [&to, via, sessionDatagrams](TransportFilter, const quint8* buf, size_t len, int, int) {
                             crypto::KeyId keyId = 0;
                             unsigned long long stated = 0;
                             if (crypto::checkEncryptedMessage(buf, len, &keyId, &stated) != 0)
                                 return;
                             if (keyId == 0) {
                                 to.auth.receivedPubkeyEncryptedMessage(via, buf, len);
                                 return;
                             }
                             ++*sessionDatagrams;
                             for (Endpoint* target : to.endpoints())
                                 target->receivedEncryptedMessage(via, keyId, buf, len);
                         });
    }
}

} // namespace

class TestPeerLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void handshakeBringsBothUp();

private:
    std::unique_ptr<Crypto> m_crypto;
};

void TestPeerLink::initTestCase()
{
    m_crypto.reset(new Crypto);
    QVERIFY(m_crypto->isInitialised());
    HandshakeDto::registerMetaType();
}

// Request, response, both up on one conversation; then a drive listing
// travels from one machine's client to the other's server and back.
void TestPeerLink::handshakeBringsBothUp()
{
    Machine a(QStringLiteral("{5a1e0000-0000-4000-8000-0000000000bb}"));
    Machine b(QStringLiteral("{5a1e0000-0000-4000-8000-0000000000aa}"));
    a.peer->setCryptoKey(b.publicKey());
    b.peer->setCryptoKey(a.publicKey());
    int toB = 0, toA = 0;
    wire(a, b, &toB);
    wire(b, a, &toA);

    a.peer->sendHandshakeRequest(0);
    QTRY_VERIFY_WITH_TIMEOUT(a.peer->linkState() == IPeer::LinkUp && b.peer->linkState() == IPeer::LinkUp, 10000);
    const quint32 conv = a.peer->clientEndpoints()[0]->kcp()->conv();
    QCOMPARE(b.peer->clientEndpoints()[0]->kcp()->conv(), conv);
    QCOMPARE(conv, a.peer->localSessionId() ^ b.peer->localSessionId());
    // Each side's servers transmit with the key ids the other's clients receive with.
    for (size_t i = 0; i < 4; ++i) {
        QCOMPARE(a.peer->serverEndpoints()[i]->txKeyId(), b.peer->clientEndpoints()[i]->rxKeyId());
        QCOMPARE(a.peer->clientEndpoints()[i]->txKeyId(), b.peer->serverEndpoints()[i]->rxKeyId());
    }

    QSignalSpy listed(a.peer->client(), &VfsClient::listDrivesUpdate);
    VfsListDrivesJob job;
    a.peer->client()->listDrives(&job);
    QTRY_VERIFY_WITH_TIMEOUT(!listed.isEmpty(), 10000);
    QCOMPARE(int(job.status), 0);
    QVERIFY(toB > 0 && toA > 0);
}

QTEST_GUILESS_MAIN(TestPeerLink)
#include "tst_peerlink.moc"
