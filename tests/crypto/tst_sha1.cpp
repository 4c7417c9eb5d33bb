#include "crypto/sha1.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

class TestSha1 : public QObject
{
    Q_OBJECT
private slots:
    void knownVectors_data();
    void knownVectors();
    void agreesWithQt_data();
    void agreesWithQt();
};

// The test vectors of FIPS 180 and RFC 3174.
void TestSha1::knownVectors_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("digest");
    QTest::newRow("empty") << QByteArray() << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d");
    QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << QByteArray("84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    QTest::newRow("a million a") << QByteArray(1000000, 'a')
                                 << QByteArray("34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    QTest::newRow("0123... times 10")
        << QByteArray("0123456701234567012345670123456701234567012345670123456701234567").repeated(10)
        << QByteArray("dea356a2cddd90c7a7ecedc5ebb563934f460452");
}

void TestSha1::knownVectors()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, digest);
    QCOMPARE(crypto::sha1(input).toHex(), digest);
    unsigned char out[crypto::Sha1Bytes];
    QVERIFY(crypto::sha1(input.constData(), std::size_t(input.size()), out));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(out), int(sizeof out)).toHex(), digest);
}

// Block digests of a copy must match those of a peer that hashes with Qt:
// sizes around the 64-byte block of SHA-1 and its padding, and the copy's
// block size with a short last block.
void TestSha1::agreesWithQt_data()
{
    QTest::addColumn<int>("size");
    for (int size : {1, 55, 56, 63, 64, 65, 119, 120, 4096, 64399, 64400, 1 << 20})
        QTest::addRow("%d bytes", size) << size;
}

void TestSha1::agreesWithQt()
{
    QFETCH(int, size);
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random{quint32(size)};
    for (char& c : data)
        c = char(random.generate());
    QCOMPARE(crypto::sha1(data), QCryptographicHash::hash(data, QCryptographicHash::Sha1));
}

QTEST_GUILESS_MAIN(TestSha1)
#include "tst_sha1.moc"
