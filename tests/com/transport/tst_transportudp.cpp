#include "com/transport/stunmessage.h"
#include "com/transport/stunmessagewriter.h"
#include "com/transport/transportudp.h"
#include "crypto/crypto.h"
#include "com/transport/sealedtestutil.h"

#include <QFile>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using sealedtest::pkiDatagram;
using sealedtest::sessionDatagram;
using sealedtest::withStatedLength;

TransportDto udpDto(quint16 port = 0)
{
    TransportDto dto;
    dto.uuid = QStringLiteral("{3c0d8f6e-0000-4000-8000-%1}").arg(port, 12, 10, QLatin1Char('0'));
    dto.type = QStringLiteral("udp");
    dto.port = port;
    return dto;
}

TransportDto candidate(quint16 port)
{
    TransportDto dto;
    dto.type = QStringLiteral("udp");
    dto.host = QStringLiteral("127.0.0.1");
    dto.port = port;
    return dto;
}

// A STUN server of our own on loopback. It checks every request's header
// and answers as told: with a mapped address, not at all, with another
// transaction id, or with an attribute that runs past the message.
class StunResponder : public QObject
{
public:
    enum Mode { Answer, Silent, WrongId, Truncated };

    StunResponder(Mode mode, const QString& mapped, quint16 mappedPort)
        : m_mode(mode)
        , m_mapped(mapped)
        , m_mappedPort(mappedPort)
    {
        QVERIFY(m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0));
        connect(&m_socket, &QUdpSocket::readyRead, this, &StunResponder::onReadyRead);
    }

    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_socket.localPort()); }
    quint16 port() const { return m_socket.localPort(); }
    int requests = 0;
    int badRequests = 0;

private:
    void onReadyRead()
    {
        while (m_socket.hasPendingDatagrams()) {
            QByteArray in(int(m_socket.pendingDatagramSize()), '\0');
            QHostAddress from;
            quint16 fromPort = 0;
            in.resize(int(m_socket.readDatagram(in.data(), in.size(), &from, &fromPort)));
            ++requests;
            // A Binding request: type 1, no attributes, the magic cookie.
            if (in.size() != 20 || in.left(8) != QByteArray::fromHex("000100002112a442")) {
                ++badRequests;
                continue;
            }
            com::StunMessage::TransactionId id;
            std::copy(in.constData() + 8, in.constData() + 20, id.begin());
            if (m_mode == Silent)
                continue;
            if (m_mode == WrongId)
                id[0] ^= 0xFF;
            std::uint8_t out[128];
            com::StunMessageWriter w(out, sizeof out,
                                     com::StunMessage::MethodBinding | com::StunMessage::ClassSuccess, id);
            w.addAddress(com::StunMessage::AttrMappedAddress, QHostAddress(QStringLiteral("198.51.100.77")), 9, false);
            w.addAddress(com::StunMessage::AttrXorMappedAddress, QHostAddress(m_mapped), m_mappedPort, true);
            std::size_t size = w.size();
            if (m_mode == Truncated) {
                // One more attribute whose stated value passes the end.
                const std::uint8_t bad[8] = {0x80, 0x22, 0x00, 0x40, 'a', 'b', 'c', 'd'};
                std::memcpy(out + size, bad, sizeof bad);
                size += sizeof bad;
                out[2] = std::uint8_t((size - 20) >> 8);
                out[3] = std::uint8_t(size - 20);
            }
            m_socket.writeDatagram(reinterpret_cast<const char*>(out), qint64(size), from, fromPort);
        }
    }

    QUdpSocket m_socket;
    Mode m_mode;
    QString m_mapped;
    quint16 m_mappedPort;
};

struct ServerSpec
{
    StunResponder::Mode mode;
    QString mapped;
    quint16 port;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<ServerSpec>)

class TestTransportUdp : public QObject
{
    Q_OBJECT

private slots:
    void meanRtt_data()
    {
        QTest::addColumn<std::vector<int>>("samples");
        QTest::addColumn<int>("mean");
        const int lost = int(TransportUdp::LostRtt);
        QTest::newRow("two answered, three lost") << std::vector<int>{30, 40, lost, lost, lost} << 35;
        QTest::newRow("all lost") << std::vector<int>{lost, lost, lost, lost, lost} << lost;
        QTest::newRow("all answered") << std::vector<int>{1, 2, 3, 4, 6} << 3;
        QTest::newRow("largest sample kept") << std::vector<int>{99999, lost, lost, lost, 1} << 50000;
    }
    void meanRtt()
    {
        QFETCH(std::vector<int>, samples);
        QFETCH(int, mean);
        TransportUdp::UdpPeer peer;
        for (int i = 0; i < TransportUdp::RttSamples; ++i)
            peer.rtt[i] = quint32(samples[size_t(i)]);
        QCOMPARE(int(TransportUdp::meanRtt(peer)), mean);
    }

    void parseStunServer_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("name and port") << "stun.example.org:19302" << true << "stun.example.org" << 19302;
        QTest::newRow("name only") << " stun.example.org " << true << "stun.example.org" << 3478;
        QTest::newRow("ipv4") << "127.0.0.1:5000" << true << "127.0.0.1" << 5000;
        QTest::newRow("ipv6") << "[::1]:5000" << true << "::1" << 5000;
        QTest::newRow("ipv6 no port") << "[::1]" << true << "::1" << 3478;
        QTest::newRow("empty") << "" << false << "" << 0;
        QTest::newRow("port 0") << "a:0" << false << "" << 0;
        QTest::newRow("port too big") << "a:65536" << false << "" << 0;
        QTest::newRow("no host") << ":3478" << false << "" << 0;
        QTest::newRow("unclosed bracket") << "[::1:3478" << false << "" << 0;
    }
    void parseStunServer()
    {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(QString, host);
        QFETCH(int, port);
        QString h;
        quint16 p = 0;
        QCOMPARE(TransportUdp::parseStunServer(text, h, p), ok);
        if (ok) {
            QCOMPARE(h, host);
            QCOMPARE(int(p), port);
        }
    }

    // The NAT vote against STUN servers of our own, each answering as the
    // row says. Answers that do not match the request sent, or whose
    // attributes do not fit, count as no answer.
    void natVote_data()
    {
        QTest::addColumn<std::vector<ServerSpec>>("servers");
        QTest::addColumn<int>("natType");
        QTest::addColumn<QString>("publicHost");
        const QString pub = QStringLiteral("203.0.113.5");
        const auto A = StunResponder::Answer;
        const auto S = StunResponder::Silent;
        QTest::newRow("two equal answers: cone")
            << std::vector<ServerSpec>{{A, pub, 40000}, {A, pub, 40000}} << 1 << pub + ":40000";
        QTest::newRow("one answer: symmetric") << std::vector<ServerSpec>{{A, pub, 40000}, {S, pub, 0}} << 2 << "";
        QTest::newRow("different ports: symmetric")
            << std::vector<ServerSpec>{{A, pub, 40000}, {A, pub, 40001}} << 2 << "";
        QTest::newRow("no answer") << std::vector<ServerSpec>{{S, pub, 0}, {S, pub, 0}} << 3 << "";
        QTest::newRow("no servers") << std::vector<ServerSpec>{} << 3 << "";
        QTest::newRow("answers with another transaction id")
            << std::vector<ServerSpec>{{StunResponder::WrongId, pub, 40000}, {StunResponder::WrongId, pub, 40000}}
            << 3 << "";
        QTest::newRow("answers with an attribute past the end")
            << std::vector<ServerSpec>{{StunResponder::Truncated, pub, 40000}, {A, pub, 40000}} << 2 << "";
        // An IPv6 server cannot be asked from the IPv4 socket: it is left
        // out, and the one answer gives symmetric.
        QTest::newRow("ipv6 server left out")
            << std::vector<ServerSpec>{{A, pub, 40000}, {A, QStringLiteral("::1"), 40000}} << 2 << "";
        // "localhost" may resolve to ::1 first; the request must go to the
        // IPv4 address all the same.
        QTest::newRow("name resolving to IPv6 and IPv4")
            << std::vector<ServerSpec>{{A, pub, 40000}, {A, QStringLiteral("localhost"), 40000}} << 1
            << pub + ":40000";
    }
    void natVote()
    {
        QFETCH(std::vector<ServerSpec>, servers);
        QFETCH(int, natType);
        QFETCH(QString, publicHost);

        std::vector<std::unique_ptr<StunResponder>> responders;
        QStringList list;
        for (const ServerSpec& s : servers) {
            if (s.mapped == QLatin1String("::1")) {
                list << QStringLiteral("[::1]:3478");
                continue;
            }
            const bool byName = s.mapped == QLatin1String("localhost");
            responders.emplace_back(new StunResponder(s.mode, byName ? QStringLiteral("203.0.113.5") : s.mapped,
                                                      s.port));
            list << (byName ? QStringLiteral("localhost:%1").arg(responders.back()->port())
                            : responders.back()->address());
        }
        TransportUdp udp(udpDto(), 0);
        QSignalSpy changed(&udp, &TransportUdp::natTypeChanged);
        udp.setStunServers(list);
        udp.mount();
        QTRY_VERIFY_WITH_TIMEOUT(udp.natType() != TransportUdp::NatUnknown, 60000);
        QCOMPARE(udp.natType(), natType);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(udp.phase(), int(TransportUdp::PhasePinging));

        const std::vector<TransportDto> hosts = udp.publicHosts();
        if (publicHost.isEmpty()) {
            QVERIFY(hosts.empty());
        } else {
            QCOMPARE(hosts.size(), size_t(1));
            QCOMPARE(hosts[0].host + QLatin1Char(':') + QString::number(hosts[0].port), publicHost);
            QCOMPARE(hosts[0].type, QStringLiteral("udp"));
            QCOMPARE(hosts[0].uuid, QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
            QVERIFY(!hosts[0].stream);
        }
        // Every server was asked once, with a well-formed request.
        for (const auto& r : responders) {
            QCOMPARE(r->requests, 1);
            QCOMPARE(r->badRequests, 0);
        }
    }

    // Two transports find each other by ping and pong, come up and carry
    // sealed datagrams; strangers get a pong and change nothing.
    void pingPongBringsLinkUp()
    {
        TransportUdp a(udpDto(), 0), b(udpDto(), 0);
        a.setStunServers({});
        b.setStunServers({});
        QCOMPARE(a.state(), int(Transport::StateDown));
        QCOMPARE(a.rtt(), Transport::UnusableRtt);
        a.mount();
        b.mount();
        QTRY_VERIFY_WITH_TIMEOUT(a.localPort() != 0 && b.localPort() != 0, 30000);

        // A ping from anyone is answered; a pong from a stranger is ignored.
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress(QHostAddress::LocalHost), 0));
        stranger.writeDatagram("ping", 4, QHostAddress::LocalHost, a.localPort());
        QTRY_VERIFY_WITH_TIMEOUT(stranger.hasPendingDatagrams(), 30000);
        char answer[8];
        QCOMPARE(stranger.readDatagram(answer, sizeof answer), qint64(4));
        QCOMPARE(QByteArray(answer, 4), QByteArray("pong"));
        stranger.writeDatagram("pong", 4, QHostAddress::LocalHost, a.localPort());

        QSignalSpy aState(&a, &Transport::stateChanged);
        a.addPeer({candidate(b.localPort()), candidate(b.localPort())});
        QCOMPARE(a.peers().size(), size_t(1));
        QCOMPARE(a.state(), int(Transport::StateConnecting));
        b.addPeer({candidate(a.localPort())});
        QTRY_COMPARE_WITH_TIMEOUT(a.state(), int(Transport::StateUp), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(b.state(), int(Transport::StateUp), 30000);
        QVERIFY(a.rtt() < int(TransportUdp::LostRtt));
        QVERIFY(aState.count() >= 2);
        // Only the one candidate: the stranger's pong added nothing.
        QCOMPARE(a.peers().size(), size_t(1));

        QByteArray received;
        connect(&b, &Transport::receivedEncryptedMessage, &b,
                [&](TransportDto, crypto::KeyId, const quint8* buf, size_t length) {
                    received = QByteArray(reinterpret_cast<const char*>(buf), int(length));
                });
        const QByteArray datagram = sessionDatagram(42, 1000);
        a.transmit(reinterpret_cast<const quint8*>(datagram.constData()), size_t(datagram.size()), 1);
        QTRY_COMPARE_WITH_TIMEOUT(received, datagram, 30000);
        QVERIFY(b.receivedWithin(30000));

        a.unmount();
        QCOMPARE(a.localPort(), quint16(0));
        QCOMPARE(a.rtt(), Transport::UnusableRtt);
    }

    // What arrives from anyone is checked before it goes further: only whole
    // sealed datagrams with a sound stated length, and only their own bytes.
    void sealedDatagramsChecked()
    {
        TransportUdp udp(udpDto(), 0);
        udp.setStunServers({});
        QCOMPARE(udp.localPort(), quint16(0));
        // Bound on mounting, so that the port can be announced at once.
        udp.mount();
        QVERIFY(udp.localPort() != 0);
        std::vector<QByteArray> got;
        std::vector<int> keys;
        connect(&udp, &Transport::receivedEncryptedMessage, this,
                [&](TransportDto, crypto::KeyId keyId, const quint8* buf, size_t length) {
                    got.emplace_back(reinterpret_cast<const char*>(buf), int(length));
                    keys.push_back(keyId);
                });
        QUdpSocket sender;
        QVERIFY(sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
        // The sender of a public-key datagram becomes a fresh candidate when
        // it is added within the second: here at once, during the delivery.
        connect(&udp, &Transport::receivedPubkeyEncryptedMessage, this,
                [&](TransportDto, const quint8* buf, size_t length) {
                    got.emplace_back(reinterpret_cast<const char*>(buf), int(length));
                    keys.push_back(0);
                    udp.addPeer({candidate(sender.localPort())});
                });
        auto send = [&](const QByteArray& bytes) {
            sender.writeDatagram(bytes, QHostAddress::LocalHost, udp.localPort());
        };
        const QByteArray session = sessionDatagram(11, 64);
        const QByteArray pki = pkiDatagram(64);
        // Dropped: a stated length below the smallest datagram, a stated
        // length past the datagram, a key id outside the ranges, a short
        // public-key datagram, noise.
        send(withStatedLength(session, 10));
        send(withStatedLength(session, unsigned(session.size() + 1)));
        QByteArray badKey = session;
        badKey[4] = char(badKey[11] ^ 5);
        send(badKey);
        send(withStatedLength(pki, 40));
        send(QByteArray("hello"));
        // Delivered: exactly the stated bytes, trailing bytes cut off.
        send(session + QByteArray("trailing"));
        send(session);
        send(pki);
        QTRY_COMPARE_WITH_TIMEOUT(int(got.size()), 3, 30000);
        QCOMPARE(got[0], session);
        QCOMPARE(keys[0], 11);
        QCOMPARE(got[1], session);
        QCOMPARE(got[2], pki);
        QCOMPARE(keys[2], 0);
        QCOMPARE(udp.peers().size(), size_t(1));
        QCOMPARE(udp.state(), int(Transport::StateUp));
    }

    // A restarted peer sends from a new port while its old one still counts
    // as the best candidate (answered recently, lower rtt). Sealed datagrams
    // go to the candidate that the peer's last opened datagram came from;
    // one that no endpoint opened (anyone may make up a source) or one from
    // an address that is no candidate moves nothing.
    void answersWhereThePeerIs()
    {
        TransportUdp udp(udpDto(), 0);
        udp.setStunServers({});
        udp.mount();
        QVERIFY(udp.localPort() != 0);
        QUdpSocket gone, current, stranger;
        for (QUdpSocket* s : {&gone, &current, &stranger})
            QVERIFY(s->bind(QHostAddress(QHostAddress::LocalHost), 0));

        // The old port is heard (a public-key datagram, added within the
        // second) and becomes the best candidate; the new one is added.
        bool open = false;
        int delivered = 0;
        connect(&udp, &Transport::receivedPubkeyEncryptedMessage, this, [&](TransportDto, const quint8*, size_t) {
            if (udp.peers().empty())
                udp.addPeer({candidate(gone.localPort())});
        });
        connect(&udp, &Transport::receivedEncryptedMessage, this,
                [&](TransportDto, crypto::KeyId, const quint8*, size_t) {
                    ++delivered;
                    if (open)
                        udp.datagramOpened();
                });
        gone.writeDatagram(pkiDatagram(64), QHostAddress::LocalHost, udp.localPort());
        QTRY_COMPARE_WITH_TIMEOUT(udp.state(), int(Transport::StateUp), 30000);
        udp.addPeer({candidate(current.localPort())});
        QCOMPARE(udp.peers().front().port, gone.localPort());

        // Which socket one transmitted datagram reaches (it goes to one).
        const QByteArray out = sessionDatagram(12, 32);
        auto destination = [&]() -> QUdpSocket* {
            udp.transmit(reinterpret_cast<const quint8*>(out.constData()), size_t(out.size()), 1);
            QUdpSocket* reached = nullptr;
            [&] {
                QTRY_VERIFY_WITH_TIMEOUT(gone.hasPendingDatagrams() || current.hasPendingDatagrams(), 30000);
            }();
            for (QUdpSocket* s : {&gone, &current}) {
                if (s->hasPendingDatagrams()) {
                    reached = s;
                    QByteArray in(int(s->pendingDatagramSize()), '\0');
                    s->readDatagram(in.data(), in.size());
                    if (in != out)
                        return nullptr;
                }
            }
            return reached;
        };
        auto sendFrom = [&](QUdpSocket& from, bool opened) {
            open = opened;
            const int before = delivered;
            from.writeDatagram(sessionDatagram(11, 64), QHostAddress::LocalHost, udp.localPort());
            QTRY_COMPARE_WITH_TIMEOUT(delivered, before + 1, 30000);
        };

        QCOMPARE(destination(), &gone);
        sendFrom(current, false);
        QCOMPARE(destination(), &gone);
        sendFrom(current, true);
        QCOMPARE(destination(), &current);
        QCOMPARE(destination(), &current);
        sendFrom(stranger, true);
        QCOMPARE(destination(), &current);
        // The best candidate by rtt is still the old one; only where the
        // datagrams go follows the peer.
        QCOMPARE(udp.peers().front().port, gone.localPort());
    }

    // A peer's sessions send a window of datagrams at a time, and the io
    // thread may be busy opening the ones before: the socket holds a burst
    // of several windows until it is read, instead of the kernel dropping
    // most of it (which left copies waiting out resend times).
    void burstWaitsInTheSocket()
    {
        constexpr int Burst = 600;
        constexpr int Payload = 1400;
        // The kernel caps the buffer at twice the system's limit; a datagram
        // takes about twice its size there.
        QFile limitFile(QStringLiteral("/proc/sys/net/core/rmem_max"));
        const qint64 limit = limitFile.open(QIODevice::ReadOnly) ? limitFile.readAll().trimmed().toLongLong() : 0;
        if (2 * limit < qint64(Burst) * 2 * (Payload + 512))
            QSKIP("the system's limit on socket buffers is below one burst");

        TransportUdp udp(udpDto(), 0);
        udp.setStunServers({});
        udp.mount();
        QVERIFY(udp.localPort() != 0);
        int delivered = 0;
        connect(&udp, &Transport::receivedEncryptedMessage, this,
                [&](TransportDto, crypto::KeyId, const quint8*, size_t) { ++delivered; });
        QUdpSocket sender;
        QVERIFY(sender.bind(QHostAddress(QHostAddress::LocalHost), 0));
        const QByteArray datagram = sessionDatagram(11, Payload);
        // All of it before the transport reads anything.
        for (int i = 0; i < Burst; ++i)
            QCOMPARE(sender.writeDatagram(datagram, QHostAddress::LocalHost, udp.localPort()), qint64(datagram.size()));
        QTRY_COMPARE_WITH_TIMEOUT(delivered, Burst, 30000);
    }

    void bindsPortOrNext_data()
    {
        QTest::addColumn<int>("port");
        QTest::newRow("0 binds any") << 0;
        QTest::newRow("1024 binds any") << 1024;
        QTest::newRow("taken binds a later one") << -1;
    }
    void bindsPortOrNext()
    {
        QFETCH(int, port);
        QUdpSocket holder;
        if (port < 0) {
            QVERIFY(holder.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
            port = holder.localPort();
            QVERIFY(port > 1024 && port < 65000);
        }
        TransportUdp udp(udpDto(quint16(port)), 0);
        udp.setStunServers({});
        udp.mount();
        QTRY_VERIFY_WITH_TIMEOUT(udp.localPort() != 0, 30000);
        if (port <= 1024) {
            QVERIFY(udp.localPort() > 1024);
        } else {
            QVERIFY(udp.localPort() > port);
            QVERIFY(udp.localPort() <= port + TransportUdp::BindAttempts);
        }
    }
};

QTEST_GUILESS_MAIN(TestTransportUdp)
#include "tst_transportudp.moc"
