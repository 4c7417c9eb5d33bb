// Drives TURN relay transports against a real relay, for turn_netns.py,
// which runs it in a network namespace beside a relay in another one.
//
//   turnprobe --server=<relay address> --password=<password> --trusted=<PEM file>
//             --local=<address of this namespace>
//
// Steps (each prints one line; the first failure ends the run with exit 1):
//  1. A transport without the relay's certificate among its trusted ones
//     reaches the TLS handshake and never gets further.
//  2. Transport T1, trusting the certificate and given a plain UDP socket of
//     this namespace as its peer, allocates (first without, then with
//     credentials) and binds a channel.
//  3. The UDP socket sends "ping" to T1's relayed address and gets "pong";
//     it sends a sealed datagram that T1 hands on unchanged, and receives
//     unchanged what T1 transmits (odd lengths, so that padding shows).
//  4. Transport T2 takes T1's relayed address as its peer, T1 takes T2's;
//     sealed datagrams then travel both ways between the two through the
//     relay.
//  5. The relay grants a short first lifetime and lets nonces go stale: T1
//     refreshes its allocation (after a 438 and a new nonce), and frames
//     still pass.
#include "com/transport/transportturn.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QSslCertificate>
#include <QTest>
#include <QUdpSocket>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

const unsigned char kKey[crypto::SessionKeyBytes] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6,
                                                     7, 8, 9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2};

QString argument(const QString& name)
{
    const QString prefix = name + QLatin1Char('=');
    for (const QString& a : QCoreApplication::arguments())
        if (a.startsWith(prefix))
            return a.mid(prefix.size());
    return QString();
}

void say(const char* format, const QByteArray& text = QByteArray())
{
    std::printf(format, text.constData());
    std::printf("\n");
    std::fflush(stdout);
}

[[noreturn]] void fail(const QByteArray& why)
{
    std::printf("FAIL: %s\n", why.constData());
    std::fflush(stdout);
    std::exit(1);
}

bool waitFor(const std::function<bool()>& condition, int limitMs)
{
    return QTest::qWaitFor(condition, limitMs);
}

QByteArray sealed(int payload, char fill)
{
    const QByteArray plain(payload, fill);
    QByteArray out(payload + int(crypto::SessionOverhead), '\0');
    unsigned long long clen = quint64(out.size());
    if (crypto::encryptMessage(12, kKey, reinterpret_cast<const unsigned char*>(plain.constData()),
                               quint64(plain.size()), reinterpret_cast<unsigned char*>(out.data()), &clen)
        != crypto::EncryptMsgOk)
        fail("cannot seal a datagram");
    out.resize(int(clen));
    return out;
}

TransportDto udpDto(const QString& host, quint16 port)
{
    TransportDto dto;
    dto.uuid = QStringLiteral("{0000aaaa-0000-4000-8000-%1}").arg(port, 12, 10, QLatin1Char('0'));
    dto.type = QStringLiteral("udp");
    dto.host = host;
    dto.port = port;
    return dto;
}

struct Received
{
    QList<QByteArray> frames;
};

std::unique_ptr<TransportTurn> makeTurn(int n, Received* received, const QList<QSslCertificate>& trusted)
{
    TransportDto dto;
    dto.uuid = QStringLiteral("{0000bbbb-0000-4000-8000-%1}").arg(n, 12, 10, QLatin1Char('0'));
    dto.type = QStringLiteral("turn");
    auto turn = std::make_unique<TransportTurn>(dto, 1);
    turn->setServer(argument(QStringLiteral("--server")), 443, 3478, QStringLiteral("velm1"),
                    argument(QStringLiteral("--password")));
    turn->setTrustedCertificates(trusted);
    QObject::connect(turn.get(), &Transport::receivedEncryptedMessage,
                     [received](TransportDto, crypto::KeyId, const quint8* buf, size_t length) {
                         received->frames.append(QByteArray(reinterpret_cast<const char*>(buf), int(length)));
                     });
    return turn;
}

bool ready(const TransportTurn& turn)
{
    return turn.state() == Transport::StateUp && turn.isChannelBound() && !turn.relayDto().host.isEmpty();
}

QByteArray describe(const TransportTurn& turn)
{
    return QStringLiteral("state %1, client state %2, channel 0x%3 %4, relayed %5:%6, dropped %7")
        .arg(turn.state())
        .arg(turn.clientState())
        .arg(turn.channelNumber(), 4, 16, QLatin1Char('0'))
        .arg(turn.isChannelBound() ? QStringLiteral("bound") : QStringLiteral("unbound"))
        .arg(turn.relayDto().host)
        .arg(turn.relayDto().port)
        .arg(turn.droppedMessages())
        .toUtf8();
}

// Sends from one transport and waits for the other side to hold the frame.
void expectThrough(TransportTurn& from, Received& to, const QByteArray& frame, const char* what)
{
    to.frames.clear();
    from.transmit(reinterpret_cast<const quint8*>(frame.constData()), size_t(frame.size()), 1);
    if (!waitFor([&] { return !to.frames.isEmpty(); }, 30000))
        fail(QByteArray(what) + ": nothing arrived; sender " + describe(from));
    if (to.frames.first() != frame)
        fail(QByteArray(what) + ": the frame arrived changed");
    say("ok: %s", what);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString local = argument(QStringLiteral("--local"));
    const QList<QSslCertificate> trusted = QSslCertificate::fromPath(argument(QStringLiteral("--trusted")));
    if (argument(QStringLiteral("--server")).isEmpty() || local.isEmpty() || trusted.isEmpty())
        fail("needs --server, --password, --trusted (a PEM file) and --local");

    // 1. No trust, no relay.
    {
        Received nothing;
        auto untrusted = makeTurn(3, &nothing, {});
        untrusted->selectPeer({udpDto(QStringLiteral("198.18.0.77"), 9)});
        untrusted->mount();
        if (!waitFor([&] { return untrusted->clientState() == TransportTurn::Connecting; }, 30000))
            fail("the untrusting transport never started its TLS connection: " + describe(*untrusted));
        if (!waitFor([&] { return untrusted->clientState() == TransportTurn::Idle; }, 30000))
            fail("the untrusting transport did not give up the connection: " + describe(*untrusted));
        if (untrusted->state() == Transport::StateUp || !untrusted->relayDto().host.isEmpty())
            fail("a relay with an untrusted certificate was used");
        untrusted->unmount();
        say("ok: a relay whose certificate is not trusted is not used");
    }

    // 2. Allocate and bind to a plain UDP peer.
    QUdpSocket peer;
    if (!peer.bind(QHostAddress(local), 0))
        fail("cannot bind the UDP peer: " + peer.errorString().toUtf8());
    Received atT1;
    auto t1 = makeTurn(1, &atT1, trusted);
    t1->selectPeer({udpDto(local, peer.localPort())});
    t1->mount();
    if (!waitFor([&] { return ready(*t1); }, 60000))
        fail("T1 did not allocate and bind: " + describe(*t1));
    say("ok: T1 allocated and bound: %s", describe(*t1));
    const QHostAddress relay1(t1->relayDto().host);
    const quint16 relay1Port = t1->relayDto().port;

    // 3. ping/pong and sealed datagrams between the UDP peer and T1.
    QByteArray answer;
    const bool ponged = waitFor(
        [&] {
            if (peer.hasPendingDatagrams()) {
                const QNetworkDatagram d = peer.receiveDatagram();
                answer = d.data();
                return d.senderAddress() == relay1 && d.senderPort() == relay1Port;
            }
            static QElapsedTimer since;
            if (!since.isValid() || since.elapsed() > 1000) {
                since.start();
                peer.writeDatagram(QByteArray("ping"), relay1, relay1Port);
            }
            return false;
        },
        30000);
    if (!ponged || answer != "pong")
        fail("no pong through the relay, last answer: " + answer.toHex());
    say("ok: ping answered by pong through the relay");

    const QByteArray toT1 = sealed(3, 'a');
    atT1.frames.clear();
    peer.writeDatagram(toT1, relay1, relay1Port);
    if (!waitFor([&] { return !atT1.frames.isEmpty(); }, 30000) || atT1.frames.first() != toT1)
        fail("a sealed datagram from the UDP peer did not reach T1 unchanged: " + describe(*t1));
    say("ok: UDP peer to T1");

    const QByteArray fromT1 = sealed(5, 'b');
    t1->transmit(reinterpret_cast<const quint8*>(fromT1.constData()), size_t(fromT1.size()), 1);
    QByteArray got;
    if (!waitFor(
            [&] {
                while (peer.hasPendingDatagrams()) {
                    const QNetworkDatagram d = peer.receiveDatagram();
                    if (d.data() != "pong")
                        got = d.data();
                }
                return !got.isEmpty();
            },
            30000)
        || got != fromT1)
        fail("what T1 transmitted did not reach the UDP peer unchanged: " + got.toHex());
    say("ok: T1 to UDP peer");

    // 4. Two transports through the relay.
    Received atT2;
    auto t2 = makeTurn(2, &atT2, trusted);
    t2->selectPeer({t1->relayDto()});
    t2->mount();
    if (!waitFor([&] { return ready(*t2); }, 60000))
        fail("T2 did not allocate and bind: " + describe(*t2));
    say("ok: T2 allocated and bound: %s", describe(*t2));
    const quint16 oldChannel = t1->channelNumber();
    t1->selectPeer({t2->relayDto()});
    if (t1->peerPort() != t2->relayDto().port)
        fail("T1 did not take T2's relayed address");
    if (!waitFor([&] { return ready(*t1) && t1->channelNumber() != 0; }, 60000))
        fail("T1 did not bind a channel to T2: " + describe(*t1));
    say("ok: T1 rebound from channel 0x%s", QByteArray::number(oldChannel, 16));
    expectThrough(*t1, atT2, sealed(7, 'c'), "T1 to T2 through the relay");
    expectThrough(*t2, atT1, sealed(1, 'd'), "T2 to T1 through the relay");

    // 5. The relay granted a short first lifetime: T1 refreshes, and its
    // nonce has gone stale by then (the relay's log shows the 438).
    if (!waitFor([&] { return t1->allocationRefreshes() >= 1; }, 120000))
        fail("T1 did not refresh its allocation: " + describe(*t1));
    if (!waitFor([&] { return ready(*t1) && ready(*t2); }, 30000))
        fail("the transports lost their allocation: " + describe(*t1) + " / " + describe(*t2));
    say("ok: T1 refreshed its allocation, lifetime now %s s", QByteArray::number(t1->lifetime()));
    expectThrough(*t1, atT2, sealed(9, 'e'), "T1 to T2 after the refresh");
    expectThrough(*t2, atT1, sealed(2, 'f'), "T2 to T1 after the refresh");

    t1->unmount();
    t2->unmount();
    if (!waitFor([&] { return t1->clientState() == TransportTurn::Idle && t2->clientState() == TransportTurn::Idle; },
                 10000))
        fail("unmounted transports did not tear down");
    say("PASS");
    return 0;
}
