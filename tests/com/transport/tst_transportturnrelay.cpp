// The TURN transport against a scripted relay on loopback (TLS with a
// certificate made by openssl for the test): answers that are not the
// answer to the request in flight are dropped, a 401 whose ERROR-CODE comes
// after its NONCE and REALM still leads to an authenticated Allocate,
// ChannelData on a foreign channel or with a sealed length that does not
// match is dropped, "ping" is answered by "pong", what the transport sends
// arrives as padded ChannelData, and bytes that start no message end the
// connection.
#include "com/transport/stunmessage.h"
#include "com/transport/stunmessagewriter.h"
#include "com/transport/transportturn.h"
#include "com/transport/turnstream.h"
#include "crypto/crypto.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QProcess>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <array>
#include <memory>

namespace {

const unsigned char kKey[crypto::SessionKeyBytes] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                                                     2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5};
const char kPassword[] = "relay-secret";
const char kRealm[] = "loop.test";
const char kNonce[] = "nonce-one";
const quint32 kPeer = 0xC6120509; // 198.18.5.9
const quint16 kPeerPort = 40000;

QByteArray sealed(int payload)
{
    const QByteArray plain(payload, 's');
    QByteArray out(payload + int(crypto::SessionOverhead), '\0');
    unsigned long long clen = quint64(out.size());
    crypto::encryptMessage(20, kKey, reinterpret_cast<const unsigned char*>(plain.constData()), quint64(payload),
                           reinterpret_cast<unsigned char*>(out.data()), &clen);
    out.resize(int(clen));
    return out;
}

QByteArray channelData(quint16 channel, const QByteArray& payload)
{
    QByteArray out(int(com::TurnStream::channelDataSize(std::size_t(payload.size()))), '\0');
    com::TurnStream::writeChannelData(channel, reinterpret_cast<const quint8*>(payload.constData()),
                                      std::size_t(payload.size()), reinterpret_cast<quint8*>(out.data()));
    return out;
}

struct Attr
{
    quint16 type;
    QByteArray value;
};

QByteArray answer(quint16 type, const QByteArray& request, const QList<Attr>& attributes)
{
    com::StunMessage::TransactionId id;
    std::copy(request.constBegin() + 8, request.constBegin() + 20, id.begin());
    std::array<quint8, 2048> buffer;
    com::StunMessageWriter writer(buffer.data(), buffer.size(), type, id);
    for (const Attr& a : attributes)
        writer.addAttribute(a.type, a.value.constData(), std::size_t(a.value.size()));
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), int(writer.size()));
}

QByteArray u32(quint32 v)
{
    QByteArray b(4, '\0');
    b[0] = char(v >> 24);
    b[1] = char(v >> 16);
    b[2] = char(v >> 8);
    b[3] = char(v);
    return b;
}

// The attributes of one request by type (the last of each type).
QMap<quint16, QByteArray> attributesOf(const QByteArray& request)
{
    QMap<quint16, QByteArray> out;
    com::StunMessage m(request.constData(), std::size_t(request.size()));
    com::StunMessage::Attribute a;
    while (m.nextAttribute(a))
        out[a.type] = QByteArray(reinterpret_cast<const char*>(a.value), int(a.length));
    return out;
}

class TlsServer : public QTcpServer
{
public:
    QString certFile;
    QString keyFile;
    QPointer<QSslSocket> client;
    QByteArray held;

    // Whole messages received so far, cut as the relay would.
    QList<QByteArray> takeMessages()
    {
        if (client)
            held += client->readAll();
        QList<QByteArray> out;
        for (;;) {
            const com::TurnStream::Frame f =
                com::TurnStream::frameAt(reinterpret_cast<const quint8*>(held.constData()), std::size_t(held.size()));
            if (f.kind != com::TurnStream::Frame::Stun && f.kind != com::TurnStream::Frame::ChannelData)
                return out;
            out.append(held.left(int(f.size)));
            held.remove(0, int(f.size));
        }
    }

    QByteArray nextMessage(int limitMs = 30000)
    {
        QList<QByteArray> got;
        (void)QTest::qWaitFor(
            [&] {
                got = takeMessages();
                return !got.isEmpty();
            },
            limitMs);
        if (got.isEmpty())
            return QByteArray();
        // Whatever came behind it stays for the next call.
        for (int i = got.size() - 1; i >= 1; --i)
            held.prepend(got[i]);
        return got.first();
    }

    void send(const QByteArray& bytes)
    {
        client->write(bytes);
        client->flush();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* s = new QSslSocket(this);
        if (!s->setSocketDescriptor(descriptor)) {
            delete s;
            return;
        }
        s->setLocalCertificate(certFile);
        s->setPrivateKey(keyFile);
        s->startServerEncryption();
        client = s;
        held.clear();
    }
};

} // namespace

class TestTransportTurnRelay : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void conversation();

private:
    QTemporaryDir m_dir;
    QString m_cert;
    QString m_key;
};

void TestTransportTurnRelay::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_cert = m_dir.filePath(QStringLiteral("cert.pem"));
    m_key = m_dir.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"),
                   QStringLiteral("-keyout"), m_key, QStringLiteral("-out"), m_cert, QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1")});
    QVERIFY2(openssl.waitForFinished(120000), "openssl did not finish");
    QVERIFY2(openssl.exitCode() == 0, openssl.readAllStandardError().constData());
}

void TestTransportTurnRelay::conversation()
{
    TlsServer relay;
    relay.certFile = m_cert;
    relay.keyFile = m_key;
    QVERIFY(relay.listen(QHostAddress::LocalHost, 0));
    QUdpSocket binding;
    QVERIFY(binding.bind(QHostAddress(QHostAddress::LocalHost), 0));

    TransportDto dto;
    dto.uuid = QStringLiteral("{7e57ca5e-0000-4000-8000-000000000001}");
    dto.type = QStringLiteral("turn");
    TransportTurn turn(dto, 1);
    turn.setServer(QStringLiteral("127.0.0.1"), relay.serverPort(), binding.localPort(), QStringLiteral("velm1"),
                   QString::fromLatin1(kPassword));
    turn.setTrustedCertificates(QSslCertificate::fromPath(m_cert));
    TransportDto peer;
    peer.type = QStringLiteral("udp");
    peer.host = QHostAddress(kPeer).toString();
    peer.port = kPeerPort;
    turn.selectPeer({peer});
    QList<QByteArray> received;
    connect(&turn, &Transport::receivedEncryptedMessage, this,
            [&](TransportDto, crypto::KeyId, const quint8* buf, size_t length) {
                received.append(QByteArray(reinterpret_cast<const char*>(buf), int(length)));
            });
    turn.mount();

    // The Binding request over UDP, answered with a mapped address.
    QVERIFY(QTest::qWaitFor([&] { return binding.hasPendingDatagrams(); }, 30000));
    QByteArray bindRequest(int(binding.pendingDatagramSize()), '\0');
    QHostAddress from;
    quint16 fromPort = 0;
    binding.readDatagram(bindRequest.data(), bindRequest.size(), &from, &fromPort);
    QCOMPARE(bindRequest.left(4).toHex(), QByteArray("00010000"));
    binding.writeDatagram(answer(0x0101, bindRequest, {{0x0020, QByteArray::fromHex("0001e1c8e700a34b")}}), from,
                          fromPort);
    QTRY_COMPARE_WITH_TIMEOUT(turn.mappedAddress(), QHostAddress(QStringLiteral("198.18.7.9")), 30000);

    // The first Allocate carries no credentials.
    QTRY_VERIFY_WITH_TIMEOUT(relay.client && relay.client->isEncrypted(), 30000);
    const QByteArray allocate1 = relay.nextMessage();
    QCOMPARE(allocate1.left(2).toHex(), QByteArray("0003"));
    QVERIFY(!attributesOf(allocate1).contains(0x0008));

    // A forged 401 (another transaction) changes nothing; the real one has
    // its ERROR-CODE last and arrives in two pieces.
    QByteArray forged = allocate1;
    forged[19] = char(forged[19] ^ 0x5A);
    relay.send(answer(0x0113, forged,
                      {{0x0015, "forged"}, {0x0014, "forged"}, {0x0009, QByteArray::fromHex("00000401")}}));
    const QByteArray real401 = answer(0x0113, allocate1,
                                      {{0x0015, kNonce}, {0x0014, kRealm}, {0x0009, QByteArray::fromHex("00000401")}});
    relay.send(real401.left(7));
    QTRY_COMPARE_WITH_TIMEOUT(turn.droppedMessages(), quint64(1), 30000);
    relay.send(real401.mid(7));

    const QByteArray allocate2 = relay.nextMessage();
    QCOMPARE(allocate2.left(2).toHex(), QByteArray("0003"));
    const QMap<quint16, QByteArray> a2 = attributesOf(allocate2);
    QCOMPARE(a2.value(0x0006), QByteArray("velm1"));
    QCOMPARE(a2.value(0x0014), QByteArray(kRealm));
    QCOMPARE(a2.value(0x0015), QByteArray(kNonce));
    const QByteArray key = QCryptographicHash::hash(QByteArray("velm1:") + kRealm + ":" + kPassword,
                                                    QCryptographicHash::Md5);
    QCOMPARE(a2.value(0x0008),
             QMessageAuthenticationCode::hash(allocate2.left(allocate2.size() - 24), key, QCryptographicHash::Sha1));

    // Success, followed in the same write by the same answer again: the
    // second finds no request in flight.
    const QByteArray granted = answer(0x0103, allocate2,
                                      {{0x0016, QByteArray::fromHex("0001e1c8e700a34b")}, {0x000D, u32(600)}});
    relay.send(granted + granted);
    const QByteArray bind = relay.nextMessage();
    QCOMPARE(bind.left(2).toHex(), QByteArray("0009"));
    QCOMPARE(turn.droppedMessages(), quint64(2));
    QCOMPARE(turn.state(), int(Transport::StateUp));
    QCOMPARE(turn.relayDto().host, QStringLiteral("198.18.7.9"));
    QCOMPARE(turn.relayDto().port, quint16(0xC0DA));
    const QMap<quint16, QByteArray> b = attributesOf(bind);
    const quint16 channel = TransportTurn::channelFor(kPeer);
    QCOMPARE(b.value(0x000C).toHex(), (u32(quint32(channel) << 16)).toHex());
    QCOMPARE(b.value(0x0012).toHex(),
             (QByteArray::fromHex("0001") + u32(quint32(kPeerPort ^ 0x2112) << 16).left(2) + u32(kPeer ^ 0x2112A442))
                 .toHex());
    QVERIFY(b.contains(0x0008));

    // Nothing goes out before the channel is bound.
    const QByteArray early = sealed(3);
    turn.transmit(reinterpret_cast<const quint8*>(early.constData()), std::size_t(early.size()), 1);
    relay.send(answer(0x0109, bind, {}));
    QTRY_VERIFY_WITH_TIMEOUT(turn.isChannelBound(), 30000);

    // A foreign channel, a sealed datagram that states fewer bytes than it
    // carries, "ping", and a good datagram, all in one write.
    const QByteArray good = sealed(9);
    QByteArray shortStated = sealed(9) + "tail";
    relay.send(channelData(channel ^ 1, good) + channelData(channel, shortStated) + channelData(channel, "ping")
               + channelData(channel, good));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, 30000);
    QCOMPARE(received.first(), good);
    QCOMPARE(turn.droppedMessages(), quint64(4));
    QCOMPARE(relay.nextMessage().toHex(), channelData(channel, "pong").toHex());

    // What the transport sends arrives whole, padded.
    const QByteArray out = sealed(5);
    turn.transmit(reinterpret_cast<const quint8*>(out.constData()), std::size_t(out.size()), 1);
    const QByteArray arrived = relay.nextMessage();
    QCOMPARE(arrived.toHex(), channelData(channel, out).toHex());
    QCOMPARE(arrived.size() % 4, 0);
    QVERIFY(relay.takeMessages().isEmpty()); // the early datagram was never sent

    // Bytes that start no message: the connection ends and the transport
    // starts over later.
    relay.send(QByteArray::fromHex("8000000400000000"));
    QTRY_COMPARE_WITH_TIMEOUT(turn.brokenStreams(), quint64(1), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(turn.clientState(), int(TransportTurn::Idle), 30000);
    QCOMPARE(turn.state(), int(Transport::StateConnecting));
    QCOMPARE(received.size(), 1);
    turn.unmount();
}

QTEST_GUILESS_MAIN(TestTransportTurnRelay)
#include "tst_transportturnrelay.moc"
