// Feeds an endpoint what an authenticated but hostile peer can send: session
// datagrams with arbitrary plaintext (KCP segments, raw frame pieces),
// public-key messages with arbitrary bodies (PING, PONG, anything), and
// unsealed garbage. The session clock is virtual. Every frame handed on must
// be whole: it starts with a length field that states its exact size.
#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "crypto/crypto.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr quint32 kConv = 0x5EED0002;
constexpr crypto::KeyId kKeyId = 40;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

struct Keys
{
    quint8 session[32];
    quint8 ownPk[32], ownSk[32];
    quint8 peerPk[32], peerSk[32];
};

Keys* s_keys = nullptr;

CryptoKeyDto keyRecord(const char* type, const quint8* a, const quint8* b)
{
    CryptoKeyDto k;
    k.type = QString::fromLatin1(type);
    k.key = QByteArray(reinterpret_cast<const char*>(a), 32);
    if (b)
        k.key.append(reinterpret_cast<const char*>(b), 32);
    return k;
}

// A frame is at least its own length field (5 bytes for tag 7, 3 for tag
// 6: a u16 frame of 3 or 4 bytes is whole) and states its exact size.
void checkFrame(const std::vector<unsigned char>& f)
{
    check(f.size() >= 3);
    if (f[0] == 7)
        check(f.size() >= 5
              && (size_t(f[1]) | size_t(f[2]) << 8 | size_t(f[3]) << 16 | size_t(f[4]) << 24) == f.size());
    else
        check(f[0] == 6 && (size_t(f[1]) | size_t(f[2]) << 8) == f.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    static Crypto library;
    s_keys = new Keys;
    crypto::generateSessionKey(s_keys->session);
    crypto::generateKeyPair(s_keys->ownPk, s_keys->ownSk);
    crypto::generateKeyPair(s_keys->peerPk, s_keys->peerSk);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    quint32 now = 1000;
    Endpoint endpoint;
    endpoint.kcp()->setClock([&now] { return now; });
    endpoint.kcp()->setTickTimerActive(false);
    endpoint.setRxKey(kKeyId, s_keys->session);
    endpoint.setTxKey(kKeyId + 1, s_keys->session);
    endpoint.setCryptoKey(keyRecord("pksk", s_keys->ownPk, s_keys->ownSk));
    endpoint.setCryptoKey(keyRecord("pk", s_keys->peerPk, nullptr));
    endpoint.setKcpSession(kConv);
    endpoint.startPingTimer();
    QObject::connect(&endpoint, &Endpoint::receivedMessage, &endpoint, checkFrame);

    TransportDto via;
    via.type = QStringLiteral("udp");
    std::vector<quint8> sealed(70000);
    size_t pos = 0;
    for (int step = 0; step < 64 && pos + 3 <= size; ++step) {
        const uint8_t op = data[pos];
        size_t len = size_t(data[pos + 1]) | (size_t(data[pos + 2]) << 8);
        pos += 3;
        len = std::min(len, size - pos);
        std::vector<quint8> chunk(data + pos, data + pos + len);
        pos += len;
        unsigned long long clen = sealed.size();
        switch (op % 5) {
        case 0: // a session datagram
        case 1: // the same with every segment header naming our session
            if (op % 5 == 1) {
                size_t at = 0;
                while (chunk.size() - at >= 24) {
                    std::memcpy(chunk.data() + at, &kConv, 4);
                    quint32 segLen = 0;
                    std::memcpy(&segLen, chunk.data() + at + 20, 4);
                    at += 24;
                    if (segLen > chunk.size() - at)
                        break;
                    at += segLen;
                }
            }
            if (crypto::encryptMessage(kKeyId, s_keys->session, chunk.data(), chunk.size(), sealed.data(), &clen) == 0)
                endpoint.receivedEncryptedMessage(via, kKeyId, sealed.data(), size_t(clen));
            break;
        case 2: // a public-key message from the peer
            if (crypto::encryptMessagePKI(s_keys->peerPk, s_keys->peerSk, s_keys->ownPk, chunk.data(), chunk.size(),
                                          sealed.data(), &clen)
                == 0)
                endpoint.receivedPubkeyEncryptedMessage(via, sealed.data(), size_t(clen));
            break;
        case 3: // unsealed bytes on both channels
            endpoint.receivedEncryptedMessage(via, kKeyId, chunk.data(), chunk.size());
            endpoint.receivedPubkeyEncryptedMessage(via, chunk.data(), chunk.size());
            break;
        case 4: // time passes
            now += 10 + (op >> 3) * 100;
            QCoreApplication::processEvents();
            endpoint.kcp()->tick();
            endpoint.kcpReceived();
            break;
        }
    }
    QCoreApplication::processEvents();
    return 0;
}
