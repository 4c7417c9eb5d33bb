// What keeps a stranger's connection from lasting: the registry closes an
// accepted connection that has not authenticated within its grace period,
// and a handshake that the authenticator accepts is what authenticates a
// connection before any session exists.
#include "com/link/com.h"
#include "com/link/handshakedto.h"
#include "com/transport/transporttcp.h"
#include "core/databasesqlite.h"
#include "crypto/crypto.h"
#include "manager/connectionmanager.h"
#include "peer/peerfactory.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"

#include <QDateTime>
#include <QPointer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

namespace {

struct KeyPair
{
    KeyPair() { crypto::generateKeyPair(pk, sk); }
    QByteArray publicKey() const { return QByteArray(reinterpret_cast<const char*>(pk), 32); }
    unsigned char pk[32];
    unsigned char sk[32];
};

// A handshake from the holder of `from`, sealed for the public key `to`.
QByteArray sealedHandshake(const KeyPair& from, const QByteArray& to)
{
    HandshakeDto record;
    std::copy(from.pk, from.pk + 32, record.publicKey.begin());
    record.session = 0x1234;
    record.keyId = 60;
    crypto::generateSessionKey(record.sessionKey.data());
    quint8 plain[4096];
    std::size_t len = sizeof plain;
    if (record.serialize(plain, &len, quint64(QDateTime::currentSecsSinceEpoch())) != HandshakeDto::SerializeOk)
        return QByteArray();
    QByteArray datagram(int(len + crypto::PublicKeyOverhead), '\0');
    unsigned long long clen = quint64(datagram.size());
    if (crypto::encryptMessagePKI(from.pk, from.sk, reinterpret_cast<const unsigned char*>(to.constData()), plain,
                                  len, reinterpret_cast<unsigned char*>(datagram.data()), &clen)
        != crypto::EncryptMsgOk)
        return QByteArray();
    datagram.resize(int(clen));
    return datagram;
}

std::unique_ptr<QTcpSocket> connectFrom(const QString& source, quint16 port)
{
    std::unique_ptr<QTcpSocket> client(new QTcpSocket);
    if (!client->bind(QHostAddress(source), 0))
        return nullptr;
    client->connectToHost(QHostAddress::LocalHost, port);
    if (!client->waitForConnected(10000))
        return nullptr;
    return client;
}

TransportTcp* acceptedFor(const com::Com* registry, const QTcpSocket* client)
{
    for (Transport* t : registry->transports()) {
        auto* tcp = qobject_cast<TransportTcp*>(t);
        if (tcp && tcp->isAccepted() && tcp->dto().port == client->localPort()
            && tcp->dto().host == client->localAddress().toString())
            return tcp;
    }
    return nullptr;
}

} // namespace

class TestHandshakeConnection : public QObject
{
    Q_OBJECT
private slots:
    void acceptedHandshakeKeepsTheConnection();
};

void TestHandshakeConnection::acceptedHandshakeKeepsTheConnection()
{
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    PeerModel model; // takes the peers the manager builds
    ConnectionManager manager(&db);
    manager.start();
    com::Com* registry = manager.com();
    QVERIFY(registry);
    registry->setAuthenticationGrace(600000); // nothing is closed until the test says so
    registry->startTcpServer(QHostAddress::LocalHost, 0);
    QVERIFY(registry->isListening());

    QByteArray ownKey;
    for (const CryptoKeyDto& key : db.getCryptoKeys(ownPeerUuid()))
        if (key.type == QLatin1String("pk"))
            ownKey = key.key;
    QCOMPARE(ownKey.size(), 32);
    const KeyPair friendKeys;
    const KeyPair strangerKeys;
    const QString friendUuid = QUuid::createUuid().toString();
    const QDateTime now = QDateTime::currentDateTime();
    QVERIFY(db.putPeer(PeerDto{friendUuid, QStringLiteral("velm"), now}));
    QVERIFY(db.putCryptoKey(friendUuid, CryptoKeyDto{QUuid::createUuid().toString(), friendKeys.publicKey(),
                                                     QStringLiteral("pk"), now}));
    // The authenticator reads the store, the peer object comes from the factory.
    QTRY_VERIFY_WITH_TIMEOUT(manager.peerFactory()->findPeer(friendUuid), 10000);

    const quint16 port = registry->listenPort();
    std::unique_ptr<QTcpSocket> known = connectFrom(QStringLiteral("127.0.0.1"), port);
    std::unique_ptr<QTcpSocket> stranger = connectFrom(QStringLiteral("127.0.0.2"), port);
    std::unique_ptr<QTcpSocket> silent = connectFrom(QStringLiteral("127.0.0.3"), port);
    for (QTcpSocket* c : {known.get(), stranger.get(), silent.get()}) {
        QVERIFY(c);
        QTRY_VERIFY_WITH_TIMEOUT(acceptedFor(registry, c), 10000);
    }
    const QByteArray fromFriend = sealedHandshake(friendKeys, ownKey);
    const QByteArray fromStranger = sealedHandshake(strangerKeys, ownKey);
    QVERIFY(!fromFriend.isEmpty() && !fromStranger.isEmpty());
    known->write(fromFriend);
    stranger->write(fromStranger);
    QTRY_VERIFY_WITH_TIMEOUT(acceptedFor(registry, known.get())->isAuthenticated(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(acceptedFor(registry, stranger.get())->receivedDatagrams(), quint64(1), 10000);
    QVERIFY(!acceptedFor(registry, stranger.get())->isAuthenticated());

    registry->setAuthenticationGrace(100);
    for (QTcpSocket* c : {stranger.get(), silent.get()}) {
        QTRY_VERIFY_WITH_TIMEOUT(!acceptedFor(registry, c), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(c->state(), QAbstractSocket::UnconnectedState, 10000);
    }
    TransportTcp* kept = acceptedFor(registry, known.get());
    QVERIFY(kept);
    QCOMPARE(kept->state(), int(Transport::StateUp));
    QCOMPARE(known->state(), QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(TestHandshakeConnection)
#include "tst_handshakeconnection.moc"
