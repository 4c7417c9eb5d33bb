#include "crypto/crypto.h"

#include <QSet>
#include <QtTest>

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

using Bytes = std::vector<unsigned char>;

namespace {

Bytes hexBytes(const char* hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return Bytes(raw.begin(), raw.end());
}

QByteArray hex(const unsigned char* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size)).toHex();
}

Bytes pattern(std::size_t size, unsigned seed = 1)
{
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<unsigned char>(seed * 131 + i * 7);
    return b;
}

struct KeyPair
{
    unsigned char pk[crypto::PublicKeyBytes];
    unsigned char sk[crypto::SecretKeyBytes];
    KeyPair() { crypto::generateKeyPair(pk, sk); }
};

Bytes seal(crypto::KeyId keyId, const unsigned char* key, const Bytes& m)
{
    Bytes c(m.size() + crypto::SessionOverhead);
    unsigned long long clen = c.size();
    if (crypto::encryptMessage(keyId, key, m.data(), m.size(), c.data(), &clen) != 0)
        return Bytes();
    c.resize(clen);
    return c;
}

Bytes sealPKI(const KeyPair& from, const KeyPair& to, const Bytes& m)
{
    Bytes c(m.size() + crypto::PublicKeyOverhead);
    unsigned long long clen = c.size();
    if (crypto::encryptMessagePKI(from.pk, from.sk, to.pk, m.data(), m.size(), c.data(), &clen) != 0)
        return Bytes();
    c.resize(clen);
    return c;
}

// A header with the given key id and stated length over size bytes whose
// other bytes (the masks among them) are not zero.
Bytes header(unsigned keyId, unsigned statedLength, std::size_t size)
{
    Bytes c = pattern(std::max<std::size_t>(size, 14), 3);
    c[4] = c[11] ^ static_cast<unsigned char>(keyId);
    c[0] = static_cast<unsigned char>(statedLength & 0xFF) ^ c[5];
    c[1] = static_cast<unsigned char>(statedLength >> 8) ^ c[8];
    c.resize(size);
    return c;
}

Bytes counterBytes(const char* hexText)
{
    Bytes counter = hexBytes(hexText);
    counter.resize(crypto::MessageCounterBytes);
    return counter;
}

} // namespace

class TestCrypto : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void sessionRoundTrip_data();
    void sessionRoundTrip();
    void sessionGoldenHeader_data();
    void sessionGoldenHeader();
    void sessionMatchesLibsodium_data();
    void sessionMatchesLibsodium();
    void sessionKeyIds_data();
    void sessionKeyIds();
    void sealingLimits();
    void seventyThousandDistinctNonces();
    void startsGiveDifferentFirstNonces();
    void concurrentSealersShareNoNonce();
    void sessionTamperAnyByte();
    void publicKeyRoundTripReturnsSender();
    void publicKeyLayout();
    void publicKeyTamperAnyByte();
    void publicKeyLimits();
    void checkHeader_data();
    void checkHeader();
    void streamIsCutIntoDatagrams();
    void signDetachedKnownVector();
    void passwordKey_data();
    void passwordKey();
    void generators();
    void cryptoInstance();
};

void TestCrypto::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
}

void TestCrypto::sessionRoundTrip_data()
{
    QTest::addColumn<int>("keyId");
    QTest::addColumn<int>("size");

    QTest::newRow("17 bytes, key id 50") << 50 << 17;
    QTest::newRow("empty, key id 10") << 10 << 0;
    QTest::newRow("1400 bytes, key id 127") << 127 << 1400;
    QTest::newRow("largest, key id 11") << 11 << int(crypto::MaxSessionMessageBytes);
}

void TestCrypto::sessionRoundTrip()
{
    QFETCH(int, keyId);
    QFETCH(int, size);

    unsigned char key[crypto::SessionKeyBytes];
    crypto::generateSessionKey(key);
    const Bytes m = pattern(std::size_t(size));
    const Bytes c = seal(crypto::KeyId(keyId), key, m);
    QCOMPARE(c.size(), std::size_t(size) + 30);

    crypto::KeyId id = 0;
    unsigned long long stated = 0;
    QCOMPARE(crypto::checkEncryptedMessage(c.data(), c.size(), &id, &stated), int(crypto::CheckMsgOk));
    QCOMPARE(int(id), keyId);
    QCOMPARE(stated, (unsigned long long)c.size());

    Bytes back(c.size() - 30 + 1, 0xEE);
    unsigned long long mlen = 0;
    QCOMPARE(crypto::decryptMessage(key, c.data(), c.size(), back.data(), &mlen), int(crypto::DecryptMsgOk));
    QCOMPARE(mlen, (unsigned long long)size);
    QVERIFY(Bytes(back.begin(), back.begin() + size) == m);
    QCOMPARE(back[std::size_t(size)], (unsigned char)0xEE);

    unsigned char other[crypto::SessionKeyBytes];
    crypto::generateSessionKey(other);
    QCOMPARE(crypto::decryptMessage(other, c.data(), c.size(), back.data(), &mlen), int(crypto::DecryptMsgFailed));
}

// Header bytes worked out by hand from the layout for known counter values;
// the rest must be what libsodium gives for that nonce and key id.
void TestCrypto::sessionGoldenHeader_data()
{
    QTest::addColumn<Bytes>("counter"); // value before the increment
    QTest::addColumn<int>("keyId");
    QTest::addColumn<int>("size");
    QTest::addColumn<Bytes>("head"); // bytes 0 to 13

    QTest::newRow("counter 1, key id 50, 17 bytes")
        << counterBytes("00") << 50 << 17 << hexBytes("2f00" "0100" "32" "000000000000000000");
    QTest::newRow("carry past the key id byte")
        << counterBytes("ffff") << 10 << 0 << hexBytes("1f00" "0000" "0a" "010000000000000000");
    QTest::newRow("masks and key id byte from counter bytes")
        << hexBytes("101112131415161718191a") << 127 << 1400
        << hexBytes("8410" "1111" "67" "12131415161718191a");
    QTest::newRow("wraps to zero")
        << hexBytes("ffffffffffffffffffffff") << 10 << 3 << hexBytes("2100" "0000" "0a" "000000000000000000");
}

void TestCrypto::sessionGoldenHeader()
{
    QFETCH(Bytes, counter);
    QFETCH(int, keyId);
    QFETCH(int, size);
    QFETCH(Bytes, head);

    unsigned char key[crypto::SessionKeyBytes];
    for (unsigned i = 0; i < sizeof key; ++i)
        key[i] = static_cast<unsigned char>(i);
    const Bytes m = pattern(std::size_t(size));
    crypto::setMessageCounterForTesting(counter.data());
    const Bytes c = seal(crypto::KeyId(keyId), key, m);
    QCOMPARE(hex(c.data(), 14), hex(head.data(), head.size()));

    Bytes expected(std::size_t(size) + 16);
    unsigned long long elen = 0;
    const unsigned char ad = static_cast<unsigned char>(keyId);
    QCOMPARE(crypto_aead_chacha20poly1305_ietf_encrypt(expected.data(), &elen, m.data(), m.size(), &ad, 1,
                                                       nullptr, c.data() + 2, key), 0);
    QVERIFY(Bytes(c.begin() + 14, c.end()) == expected);
}

// Peers may seal with libsodium itself: the bytes of both ways must match
// and each must open the other's datagrams, at every size the stream of
// ciphertext blocks can end on, with the key and nonce changing between
// datagrams of one thread.
void TestCrypto::sessionMatchesLibsodium_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 15, 16, 63, 64, 65, 255, 1371, 1400, 4096, int(crypto::MaxSessionMessageBytes)})
        QTest::newRow(qPrintable(QString("%1 bytes").arg(size))) << size;
}

void TestCrypto::sessionMatchesLibsodium()
{
    QFETCH(int, size);
    for (unsigned round = 0; round < 3; ++round) {
        unsigned char key[crypto::SessionKeyBytes];
        crypto::generateSessionKey(key);
        const auto keyId = crypto::KeyId(10 + round * 50);
        const Bytes m = pattern(std::size_t(size), round + 7);

        // Ours sealed, libsodium opens.
        const Bytes c = seal(keyId, key, m);
        QCOMPARE(c.size(), m.size() + crypto::SessionOverhead);
        Bytes opened(m.size() + 1);
        unsigned long long olen = 0;
        QCOMPARE(crypto_aead_chacha20poly1305_ietf_decrypt(opened.data(), &olen, nullptr, c.data() + 14,
                                                           c.size() - 14, &keyId, 1, c.data() + 2, key), 0);
        QCOMPARE(olen, (unsigned long long)m.size());
        QVERIFY(std::equal(m.begin(), m.end(), opened.begin()));

        // libsodium sealed under a header of ours, ours opens.
        Bytes theirs = c;
        unsigned long long tlen = 0;
        QCOMPARE(crypto_aead_chacha20poly1305_ietf_encrypt(theirs.data() + 14, &tlen, m.data(), m.size(), &keyId, 1,
                                                           nullptr, c.data() + 2, key), 0);
        QVERIFY(theirs == c);
        Bytes back(m.size() + 1, 0xEE);
        unsigned long long mlen = 0;
        QCOMPARE(crypto::decryptMessage(key, theirs.data(), theirs.size(), back.data(), &mlen),
                 int(crypto::DecryptMsgOk));
        QCOMPARE(mlen, (unsigned long long)m.size());
        QVERIFY(std::equal(m.begin(), m.end(), back.begin()));
        QCOMPARE(back[m.size()], (unsigned char)0xEE);

        // The key id is bound in: the same bytes under another one fail.
        Bytes other = c;
        other[4] ^= 0x01;
        QCOMPARE(crypto::decryptMessage(key, other.data(), other.size(), back.data(), &mlen),
                 int(crypto::DecryptMsgFailed));
    }
}

void TestCrypto::sessionKeyIds_data()
{
    QTest::addColumn<int>("keyId");
    QTest::addColumn<int>("sealResult");
    QTest::addColumn<int>("checkResult");

    QTest::newRow("0") << 0 << int(crypto::EncryptMsgInvalidKeyId) << int(crypto::CheckMsgOk);
    QTest::newRow("1") << 1 << int(crypto::EncryptMsgInvalidKeyId) << int(crypto::CheckMsgInvalidKeyId);
    QTest::newRow("9") << 9 << int(crypto::EncryptMsgInvalidKeyId) << int(crypto::CheckMsgInvalidKeyId);
    QTest::newRow("10") << 10 << int(crypto::EncryptMsgOk) << int(crypto::CheckMsgOk);
    QTest::newRow("127") << 127 << int(crypto::EncryptMsgOk) << int(crypto::CheckMsgOk);
    QTest::newRow("128") << 128 << int(crypto::EncryptMsgInvalidKeyId) << int(crypto::CheckMsgInvalidKeyId);
    QTest::newRow("255") << 255 << int(crypto::EncryptMsgInvalidKeyId) << int(crypto::CheckMsgInvalidKeyId);
}

void TestCrypto::sessionKeyIds()
{
    QFETCH(int, keyId);
    QFETCH(int, sealResult);
    QFETCH(int, checkResult);

    unsigned char key[crypto::SessionKeyBytes] = {};
    const Bytes m = pattern(5);
    Bytes c(64, 0xEE);
    unsigned long long clen = c.size();
    QCOMPARE(crypto::encryptMessage(crypto::KeyId(keyId), key, m.data(), m.size(), c.data(), &clen), sealResult);
    if (sealResult != 0) {
        QCOMPARE(clen, (unsigned long long)64);
        QVERIFY(c == Bytes(64, 0xEE));
    }
    const Bytes h = header(unsigned(keyId), 80, 80);
    crypto::KeyId id = 0xFF;
    unsigned long long stated = 0;
    QCOMPARE(crypto::checkEncryptedMessage(h.data(), h.size(), &id, &stated), checkResult);
    QCOMPARE(int(id), keyId);
}

void TestCrypto::sealingLimits()
{
    unsigned char key[crypto::SessionKeyBytes] = {};
    const Bytes m = pattern(crypto::MaxSessionMessageBytes + 1);

    // Capacity one short: refused, nothing written.
    Bytes c(17 + 30, 0xEE);
    unsigned long long clen = 17 + 29;
    QCOMPARE(crypto::encryptMessage(50, key, m.data(), 17, c.data(), &clen), int(crypto::EncryptMsgBufferTooSmall));
    QCOMPARE(clen, (unsigned long long)46);
    QVERIFY(c == Bytes(47, 0xEE));
    clen = 0;
    QCOMPARE(crypto::encryptMessage(50, key, m.data(), 0, c.data(), &clen), int(crypto::EncryptMsgBufferTooSmall));
    clen = 47;
    QCOMPARE(crypto::encryptMessage(50, key, m.data(), 17, c.data(), &clen), int(crypto::EncryptMsgOk));
    QCOMPARE(clen, (unsigned long long)47);

    // A plaintext too long for the 16-bit length field is refused.
    Bytes big(m.size() + 30);
    clen = big.size();
    QCOMPARE(crypto::encryptMessage(50, key, m.data(), m.size(), big.data(), &clen), int(crypto::EncryptMsgTooLong));
    clen = ~0ull;
    QCOMPARE(crypto::encryptMessage(50, key, m.data(), 1ull << 40, big.data(), &clen), int(crypto::EncryptMsgTooLong));
    clen = 100;
    QCOMPARE(crypto::encryptMessage(50, key, m.data(), ~0ull - 10, big.data(), &clen), int(crypto::EncryptMsgBufferTooSmall));

    // Datagrams shorter than a session datagram can be, or longer than the
    // length field allows, are refused by opening.
    unsigned char out[8];
    unsigned long long mlen = 0;
    for (unsigned long long size : {0ull, 1ull, 14ull, 29ull}) {
        const Bytes h = header(50, unsigned(size), std::size_t(size));
        QCOMPARE(crypto::decryptMessage(key, h.data(), size, out, &mlen), int(crypto::DecryptMsgFailed));
    }
}

// The counter fills every nonce byte except the key id byte: a run longer
// than 65536 datagrams repeats no nonce, wherever it starts.
void TestCrypto::seventyThousandDistinctNonces()
{
    unsigned char key[crypto::SessionKeyBytes] = {};
    const unsigned char m[1] = {0x42};
    const Bytes starts[] = {counterBytes("00"), counterBytes("f0ffff"), hexBytes("0000ff000000000000ff00")};
    for (const Bytes& start : starts) {
        crypto::setMessageCounterForTesting(start.data());
        QSet<QByteArray> nonces;
        unsigned char c[31];
        for (int i = 0; i < 70000; ++i) {
            unsigned long long clen = sizeof c;
            QCOMPARE(crypto::encryptMessage(50, key, m, 1, c, &clen), 0);
            nonces.insert(QByteArray(reinterpret_cast<const char*>(c + 2), 12));
        }
        QCOMPARE(nonces.size(), 70000);
    }
}

void TestCrypto::startsGiveDifferentFirstNonces()
{
    unsigned char key[crypto::SessionKeyBytes] = {};
    const unsigned char m[1] = {0};
    QByteArray first[2];
    for (auto& nonce : first) {
        Crypto crypto;
        unsigned char c[31];
        unsigned long long clen = sizeof c;
        QCOMPARE(crypto::encryptMessage(50, key, m, 1, c, &clen), 0);
        nonce = QByteArray(reinterpret_cast<const char*>(c + 2), 12);
    }
    QVERIFY(first[0] != first[1]);
    // Not merely the next value: the second start is not a continuation.
    QVERIFY(first[0].mid(3) != first[1].mid(3));
}

// Sealing runs on the io thread and on the main thread at once.
void TestCrypto::concurrentSealersShareNoNonce()
{
    unsigned char key[crypto::SessionKeyBytes] = {};
    constexpr int threads = 4;
    constexpr int perThread = 5000;
    std::vector<QByteArray> nonces[threads];
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&key, &nonces, t] {
            const unsigned char m[1] = {0};
            unsigned char c[31];
            for (int i = 0; i < perThread; ++i) {
                unsigned long long clen = sizeof c;
                crypto::encryptMessage(50, key, m, 1, c, &clen);
                nonces[t].push_back(QByteArray(reinterpret_cast<const char*>(c + 2), 12));
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    QSet<QByteArray> all;
    for (const auto& list : nonces)
        for (const QByteArray& nonce : list)
            all.insert(nonce);
    QCOMPARE(all.size(), threads * perThread);
}

void TestCrypto::sessionTamperAnyByte()
{
    unsigned char key[crypto::SessionKeyBytes];
    crypto::generateSessionKey(key);
    const Bytes m = pattern(17);
    const Bytes c = seal(50, key, m);
    QCOMPARE(c.size(), std::size_t(47));
    unsigned char out[64];
    unsigned long long mlen = 0;
    for (std::size_t offset = 0; offset < c.size(); ++offset) {
        for (unsigned char flip : {0x01, 0x80, 0xFF}) {
            Bytes t = c;
            t[offset] ^= flip;
            std::memset(out, 0xEE, sizeof out);
            const QString what = QString("offset %1 flip %2").arg(offset).arg(flip);
            QVERIFY2(crypto::decryptMessage(key, t.data(), t.size(), out, &mlen) == crypto::DecryptMsgFailed,
                     qPrintable(what));
            // Whatever was opened before the tag was found false is gone.
            for (std::size_t i = 0; i < m.size(); ++i)
                QVERIFY2(out[i] == 0 || out[i] == 0xEE, qPrintable(what));
        }
    }
    // Cut or extended datagrams fail as well.
    QCOMPARE(crypto::decryptMessage(key, c.data(), c.size() - 1, out, &mlen), int(crypto::DecryptMsgFailed));
    Bytes longer = c;
    longer.push_back(0);
    QCOMPARE(crypto::decryptMessage(key, longer.data(), longer.size(), out, &mlen), int(crypto::DecryptMsgFailed));
    QCOMPARE(crypto::decryptMessage(key, c.data(), c.size(), out, &mlen), int(crypto::DecryptMsgOk));
}

void TestCrypto::publicKeyRoundTripReturnsSender()
{
    const KeyPair alice, bob, eve;
    const Bytes m = pattern(17);
    const Bytes c = sealPKI(alice, bob, m);
    QCOMPARE(c.size(), std::size_t(91));

    crypto::KeyId id = 99;
    unsigned long long stated = 0;
    QCOMPARE(crypto::checkEncryptedMessage(c.data(), c.size(), &id, &stated), int(crypto::CheckMsgOk));
    QCOMPARE(int(id), 0);
    QCOMPARE(stated, 91ull);
    QCOMPARE(crypto::checkEncryptedMessage(c.data(), 40, &id, &stated), int(crypto::CheckMsgIncomplete));
    QCOMPARE(stated, 91ull);

    Bytes out(17, 0);
    unsigned long long mlen = out.size();
    unsigned char sender[crypto::PublicKeyBytes] = {};
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, c.data(), c.size(), out.data(), &mlen, sender),
             int(crypto::DecryptMsgOk));
    QCOMPARE(mlen, 17ull);
    QVERIFY(out == m);
    QCOMPARE(hex(sender, 32), hex(alice.pk, 32));

    mlen = out.size();
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, c.data(), c.size(), out.data(), &mlen, nullptr),
             int(crypto::DecryptMsgOk));

    unsigned char untouched[crypto::PublicKeyBytes];
    std::memset(untouched, 0xEE, sizeof untouched);
    mlen = out.size();
    QCOMPARE(crypto::decryptMessagePKI(eve.pk, eve.sk, c.data(), c.size(), out.data(), &mlen, untouched),
             int(crypto::DecryptMsgFailed));
    QCOMPARE(hex(untouched, 32), QByteArray(64, 'e'));

    // A session datagram is not a public-key datagram.
    unsigned char key[crypto::SessionKeyBytes] = {};
    const Bytes s = seal(50, key, pattern(60));
    Bytes big(100);
    mlen = big.size();
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, s.data(), s.size(), big.data(), &mlen, sender),
             int(crypto::DecryptMsgNotPublicKey));
    // ... and the other way round.
    QCOMPARE(crypto::decryptMessage(key, c.data(), c.size(), big.data(), &mlen), int(crypto::DecryptMsgFailed));
}

// Opens a public-key datagram step by step with libsodium alone.
void TestCrypto::publicKeyLayout()
{
    const KeyPair alice, bob;
    const Bytes m = pattern(33);
    const Bytes c = sealPKI(alice, bob, m);
    QCOMPARE(c.size(), std::size_t(33 + 74));
    QCOMPARE(c[4], c[11]);
    QCOMPARE(unsigned(c[0] ^ c[5]) | unsigned(c[1] ^ c[8]) << 8, unsigned(c.size()));

    const unsigned char* nonce = c.data() + 2;
    unsigned char master[32];
    for (int i = 0; i < 32; ++i)
        master[i] = bob.pk[i] ^ nonce[i % 24];
    unsigned char subkey[32];
    QCOMPARE(crypto_kdf_derive_from_key(subkey, 32, 1, "pkisubk1", master), 0);
    unsigned char sender[32];
    for (int i = 0; i < 32; ++i)
        sender[i] = c[26 + std::size_t(i)] ^ subkey[i];
    QCOMPARE(hex(sender, 32), hex(alice.pk, 32));

    Bytes out(m.size());
    QCOMPARE(crypto_box_open_easy(out.data(), c.data() + 58, c.size() - 58, nonce, alice.pk, bob.sk), 0);
    QVERIFY(out == m);

    // Fresh random nonces for every datagram.
    const Bytes again = sealPKI(alice, bob, m);
    QVERIFY(Bytes(again.begin() + 2, again.begin() + 26) != Bytes(c.begin() + 2, c.begin() + 26));
}

void TestCrypto::publicKeyTamperAnyByte()
{
    const KeyPair alice, bob;
    const Bytes c = sealPKI(alice, bob, pattern(17));
    Bytes out(64);
    for (std::size_t offset = 0; offset < c.size(); ++offset) {
        for (unsigned char flip : {0x01, 0x80}) {
            Bytes t = c;
            t[offset] ^= flip;
            unsigned long long mlen = out.size();
            const int rc = crypto::decryptMessagePKI(bob.pk, bob.sk, t.data(), t.size(), out.data(), &mlen, nullptr);
            const int expected = (offset == 4 || offset == 11) ? crypto::DecryptMsgNotPublicKey
                                                               : crypto::DecryptMsgFailed;
            QVERIFY2(rc == expected, qPrintable(QString("offset %1 flip %2 rc %3").arg(offset).arg(flip).arg(rc)));
        }
    }
    // A datagram claiming the key of another sender does not open.
    const KeyPair mallory;
    Bytes forged = c;
    for (int i = 0; i < 32; ++i)
        forged[26 + std::size_t(i)] ^= alice.pk[i] ^ mallory.pk[i];
    unsigned long long mlen = out.size();
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, forged.data(), forged.size(), out.data(), &mlen, nullptr),
             int(crypto::DecryptMsgFailed));
}

void TestCrypto::publicKeyLimits()
{
    const KeyPair alice, bob;
    const Bytes m = pattern(crypto::MaxPublicKeyMessageBytes + 1);
    Bytes c(m.size() + 74, 0xEE);

    unsigned long long clen = 17 + 73;
    QCOMPARE(crypto::encryptMessagePKI(alice.pk, alice.sk, bob.pk, m.data(), 17, c.data(), &clen),
             int(crypto::EncryptMsgBufferTooSmall));
    QVERIFY(std::all_of(c.begin(), c.end(), [](unsigned char b) { return b == 0xEE; }));
    clen = c.size();
    QCOMPARE(crypto::encryptMessagePKI(alice.pk, alice.sk, bob.pk, m.data(), m.size(), c.data(), &clen),
             int(crypto::EncryptMsgTooLong));
    clen = c.size();
    QCOMPARE(crypto::encryptMessagePKI(alice.pk, alice.sk, bob.pk, m.data(), m.size() - 1, c.data(), &clen),
             int(crypto::EncryptMsgOk));
    QCOMPARE(clen, 65535ull);

    Bytes out(m.size());
    unsigned long long mlen = clen - 75;
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, c.data(), clen, out.data(), &mlen, nullptr),
             int(crypto::DecryptMsgBufferTooSmall));
    mlen = clen - 74;
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, c.data(), clen, out.data(), &mlen, nullptr),
             int(crypto::DecryptMsgOk));
    QVERIFY(Bytes(out.begin(), out.begin() + long(mlen)) == Bytes(m.begin(), m.end() - 1));

    // Shorter than any public-key datagram.
    const Bytes h = header(0, 73, 73);
    mlen = out.size();
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, h.data(), h.size(), out.data(), &mlen, nullptr),
             int(crypto::DecryptMsgBufferTooSmall));
    const Bytes z = header(0, 74, 74);
    mlen = out.size();
    QCOMPARE(crypto::decryptMessagePKI(bob.pk, bob.sk, z.data(), z.size(), out.data(), &mlen, nullptr),
             int(crypto::DecryptMsgFailed));
}

void TestCrypto::checkHeader_data()
{
    QTest::addColumn<Bytes>("bytes");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("keyId");  // -1: not stored
    QTest::addColumn<int>("stated"); // -1: not stored

    QTest::newRow("13 bytes") << header(50, 47, 13) << int(crypto::CheckMsgIncomplete) << -1 << -1;
    QTest::newRow("empty") << Bytes() << int(crypto::CheckMsgIncomplete) << -1 << -1;
    QTest::newRow("14 bytes of 47") << header(50, 47, 14) << int(crypto::CheckMsgIncomplete) << 50 << 47;
    QTest::newRow("46 of 47") << header(50, 47, 46) << int(crypto::CheckMsgIncomplete) << 50 << 47;
    QTest::newRow("47 of 47") << header(50, 47, 47) << int(crypto::CheckMsgOk) << 50 << 47;
    QTest::newRow("more than stated") << header(50, 47, 60) << int(crypto::CheckMsgOk) << 50 << 47;
    QTest::newRow("largest") << header(127, 65535, 65535) << int(crypto::CheckMsgOk) << 127 << 65535;
    QTest::newRow("smallest session") << header(10, 30, 30) << int(crypto::CheckMsgOk) << 10 << 30;
    QTest::newRow("session stated 29") << header(10, 29, 40) << int(crypto::CheckMsgInvalidLength) << 10 << 29;
    QTest::newRow("session stated 14") << header(10, 14, 40) << int(crypto::CheckMsgInvalidLength) << 10 << 14;
    QTest::newRow("session stated 0") << header(10, 0, 14) << int(crypto::CheckMsgInvalidLength) << 10 << 0;
    QTest::newRow("key id 9") << header(9, 47, 47) << int(crypto::CheckMsgInvalidKeyId) << 9 << -1;
    QTest::newRow("key id 128") << header(128, 47, 47) << int(crypto::CheckMsgInvalidKeyId) << 128 << -1;
    QTest::newRow("public 25 bytes") << header(0, 91, 25) << int(crypto::CheckMsgIncomplete) << 0 << -1;
    QTest::newRow("public 26 bytes") << header(0, 91, 26) << int(crypto::CheckMsgIncomplete) << 0 << 91;
    QTest::newRow("public 40 of 91") << header(0, 91, 40) << int(crypto::CheckMsgIncomplete) << 0 << 91;
    QTest::newRow("public 91 of 91") << header(0, 91, 91) << int(crypto::CheckMsgOk) << 0 << 91;
    QTest::newRow("smallest public") << header(0, 74, 74) << int(crypto::CheckMsgOk) << 0 << 74;
    QTest::newRow("public stated 73") << header(0, 73, 91) << int(crypto::CheckMsgInvalidLength) << 0 << 73;
    QTest::newRow("public stated 47") << header(0, 47, 30) << int(crypto::CheckMsgInvalidLength) << 0 << 47;
    QTest::newRow("public stated 0") << header(0, 0, 26) << int(crypto::CheckMsgInvalidLength) << 0 << 0;
}

void TestCrypto::checkHeader()
{
    QFETCH(Bytes, bytes);
    QFETCH(int, result);
    QFETCH(int, keyId);
    QFETCH(int, stated);

    crypto::KeyId id = 0xEE;
    unsigned long long length = 0xABCDEF;
    QCOMPARE(crypto::checkEncryptedMessage(bytes.data(), bytes.size(), &id, &length), result);
    QCOMPARE(int(id), keyId < 0 ? 0xEE : keyId);
    QCOMPARE((long long)length, stated < 0 ? 0xABCDEFll : (long long)stated);
}

// A transport cuts datagrams from a stream by their stated lengths; whatever
// size the pieces arrive in, every datagram is found and opens, and a header
// stating an impossible length stops the cutting instead of looping.
void TestCrypto::streamIsCutIntoDatagrams()
{
    unsigned char key[crypto::SessionKeyBytes];
    crypto::generateSessionKey(key);
    const KeyPair alice, bob;
    std::vector<Bytes> messages;
    Bytes stream;
    for (int i = 0; i < 12; ++i) {
        messages.push_back(pattern(std::size_t(i * 37), unsigned(i)));
        const Bytes c = i % 3 == 2 ? sealPKI(alice, bob, messages.back())
                                   : seal(crypto::KeyId(10 + i), key, messages.back());
        stream.insert(stream.end(), c.begin(), c.end());
    }
    const Bytes bad = header(10, 0, 30);
    stream.insert(stream.end(), bad.begin(), bad.end());

    for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(100), stream.size()}) {
        Bytes held;
        std::size_t fed = 0;
        std::size_t found = 0;
        int last = -1;
        while (fed < stream.size() && last != crypto::CheckMsgInvalidLength) {
            const std::size_t n = std::min(piece, stream.size() - fed);
            held.insert(held.end(), stream.begin() + long(fed), stream.begin() + long(fed + n));
            fed += n;
            for (;;) {
                crypto::KeyId id = 0;
                unsigned long long length = 0;
                last = crypto::checkEncryptedMessage(held.data(), held.size(), &id, &length);
                if (last != crypto::CheckMsgOk)
                    break;
                Bytes out(length);
                unsigned long long mlen = out.size();
                const int rc = id == 0
                    ? crypto::decryptMessagePKI(bob.pk, bob.sk, held.data(), length, out.data(), &mlen, nullptr)
                    : crypto::decryptMessage(key, held.data(), length, out.data(), &mlen);
                QCOMPARE(rc, 0);
                QVERIFY(found < messages.size());
                QVERIFY(Bytes(out.begin(), out.begin() + long(mlen)) == messages[found]);
                ++found;
                held.erase(held.begin(), held.begin() + long(length));
            }
        }
        QCOMPARE(found, messages.size());
        QCOMPARE(last, int(crypto::CheckMsgInvalidLength));
    }
}

// Test vector 1 of RFC 8032 (Ed25519, empty message).
void TestCrypto::signDetachedKnownVector()
{
    const Bytes seed = hexBytes("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    const Bytes pk = hexBytes("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    Bytes sk = seed;
    sk.insert(sk.end(), pk.begin(), pk.end());
    unsigned char sig[crypto::SignatureBytes];
    QCOMPARE(crypto::signDetached(sk.data(), nullptr, 0, sig), 0);
    QCOMPARE(hex(sig, sizeof sig),
             QByteArray("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
                        "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"));

    const Bytes m = pattern(100);
    QCOMPARE(crypto::signDetached(sk.data(), m.data(), m.size(), sig), 0);
    QCOMPARE(crypto_sign_verify_detached(sig, m.data(), m.size(), pk.data()), 0);
}

void TestCrypto::passwordKey_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("key");

    // These keys tie every instance together: invitations sealed by one
    // instance are opened by another only while they stay the same.
    QTest::newRow("empty") << QByteArray("")
                           << QByteArray("d1cb3360aa541b8589d23c23bf89cdc62c64ada8d999f41bc0093f2d22d46579");
    QTest::newRow("ascii") << QByteArray("correct horse battery staple")
                           << QByteArray("1d107bddfd789689f5701e48db37282bb03157abd7188d69f7f6cda2cbc0d058");
    QTest::newRow("utf-8") << QString::fromUtf8("Grüße, 密码").toUtf8()
                           << QByteArray("5c01d1ba161456275c1924c637c6514483d53960ba139772ed3ae2d5e3d8ef65");
}

void TestCrypto::passwordKey()
{
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, key);

    unsigned char derived[crypto::SessionKeyBytes];
    QCOMPARE(crypto::generateSessionKeyFromPassword(password.constData(), password.size(), derived), 0);
    QCOMPARE(hex(derived, sizeof derived), key);
}

void TestCrypto::generators()
{
    unsigned char a[crypto::SessionKeyBytes], b[crypto::SessionKeyBytes];
    crypto::generateSessionKey(a);
    crypto::generateSessionKey(b);
    QVERIFY(hex(a, 32) != hex(b, 32));

    const KeyPair pair;
    unsigned char derived[32];
    QCOMPARE(crypto_scalarmult_base(derived, pair.sk), 0);
    QCOMPARE(hex(derived, 32), hex(pair.pk, 32));
    const KeyPair other;
    QVERIFY(hex(other.pk, 32) != hex(pair.pk, 32));
}

void TestCrypto::cryptoInstance()
{
    QVERIFY(Crypto::instance() == nullptr);
    {
        Crypto crypto;
        QCOMPARE(Crypto::instance(), &crypto);
        QVERIFY(crypto.isInitialised());
    }
    QVERIFY(Crypto::instance() == nullptr);
}

QTEST_APPLESS_MAIN(TestCrypto)
#include "tst_crypto.moc"
