#pragma once

// Sealed datagrams for the transport tests: made with a fixed session key or
// a fresh key pair, and their header's stated length rewritten.

#include "crypto/crypto.h"

#include <QByteArray>

namespace sealedtest {

inline const unsigned char kSessionKey[crypto::SessionKeyBytes] = {
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
    17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

inline QByteArray sessionDatagram(crypto::KeyId keyId, int payload, char fill = 'x')
{
    const QByteArray plain(payload, fill);
    QByteArray out(payload + int(crypto::SessionOverhead), '\0');
    unsigned long long clen = quint64(out.size());
    const int r = crypto::encryptMessage(keyId, kSessionKey, reinterpret_cast<const unsigned char*>(plain.constData()),
                                         quint64(plain.size()), reinterpret_cast<unsigned char*>(out.data()), &clen);
    Q_ASSERT(r == crypto::EncryptMsgOk);
    Q_UNUSED(r)
    out.resize(int(clen));
    return out;
}

inline QByteArray pkiDatagram(int payload)
{
    unsigned char pk[crypto::PublicKeyBytes], sk[crypto::SecretKeyBytes];
    unsigned char peerPk[crypto::PublicKeyBytes], peerSk[crypto::SecretKeyBytes];
    crypto::generateKeyPair(pk, sk);
    crypto::generateKeyPair(peerPk, peerSk);
    const QByteArray plain(payload, 'p');
    QByteArray out(payload + int(crypto::PublicKeyOverhead), '\0');
    unsigned long long clen = quint64(out.size());
    const int r = crypto::encryptMessagePKI(pk, sk, peerPk, reinterpret_cast<const unsigned char*>(plain.constData()),
                                            quint64(plain.size()), reinterpret_cast<unsigned char*>(out.data()), &clen);
    Q_ASSERT(r == crypto::EncryptMsgOk);
    Q_UNUSED(r)
    out.resize(int(clen));
    return out;
}

// Rewrites the total length stated in a datagram's header.
inline QByteArray withStatedLength(QByteArray datagram, unsigned length)
{
    auto* c = reinterpret_cast<unsigned char*>(datagram.data());
    c[0] = static_cast<unsigned char>((length & 0xFF) ^ c[5]);
    c[1] = static_cast<unsigned char>(((length >> 8) & 0xFF) ^ c[8]);
    return datagram;
}

} // namespace sealedtest
