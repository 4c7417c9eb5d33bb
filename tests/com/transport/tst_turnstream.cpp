// The TURN stream's framing: how long the message at the front is, the
// bytes of a ChannelData message, and whole messages coming out of a stream
// however it is cut into reads.
#include "com/transport/turnstream.h"

#include <QtTest>

#include <vector>

using com::TurnStream;

namespace {

QByteArray stunMessage(quint16 type, int attributeBytes, char fill)
{
    QByteArray m;
    m.append(char(type >> 8)).append(char(type));
    m.append(char(attributeBytes >> 8)).append(char(attributeBytes));
    m.append(QByteArray::fromHex("2112A442"));
    m.append(QByteArray(12, 't'));
    m.append(QByteArray(attributeBytes, fill));
    return m;
}

QByteArray channelData(quint16 channel, const QByteArray& payload)
{
    QByteArray out(int(TurnStream::channelDataSize(std::size_t(payload.size()))), '\xee');
    const std::size_t n = TurnStream::writeChannelData(
        channel, reinterpret_cast<const quint8*>(payload.constData()), std::size_t(payload.size()),
        reinterpret_cast<quint8*>(out.data()));
    return n == std::size_t(out.size()) ? out : QByteArray();
}

} // namespace

class TestTurnStream : public QObject
{
    Q_OBJECT
private slots:
    void frameAt_data();
    void frameAt();
    void channelDataBytes_data();
    void channelDataBytes();
    void channelDataRefused();
    void messagesSplitAcrossReads();
    void largestMessagesFit();
    void brokenAfterWholeMessages();
};

void TestTurnStream::frameAt_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("size");

    const auto F = [](int kind) { return kind; };
    QTest::newRow("nothing") << QByteArray() << F(TurnStream::Frame::Incomplete) << 0;
    QTest::newRow("three bytes") << QByteArray::fromHex("010100") << F(TurnStream::Frame::Incomplete) << 0;
    QTest::newRow("stun header only") << stunMessage(0x0101, 0, 0) << F(TurnStream::Frame::Stun) << 20;
    QTest::newRow("stun short of its attributes")
        << stunMessage(0x0103, 8, 'a').left(24) << F(TurnStream::Frame::Incomplete) << 28;
    QTest::newRow("stun whole with more behind")
        << stunMessage(0x0103, 8, 'a') + "xyz" << F(TurnStream::Frame::Stun) << 28;
    QTest::newRow("stun length not a multiple of 4")
        << QByteArray::fromHex("01130006") << F(TurnStream::Frame::Broken) << 0;
    QTest::newRow("largest stun length, header only")
        << QByteArray::fromHex("0113FFFC") << F(TurnStream::Frame::Incomplete) << int(TurnStream::MaxStunBytes);
    QTest::newRow("channel data empty") << QByteArray::fromHex("40000000") << F(TurnStream::Frame::ChannelData) << 4;
    QTest::newRow("channel data 5, padded to 8")
        << QByteArray::fromHex("400100056162636465000000") << F(TurnStream::Frame::ChannelData) << 12;
    QTest::newRow("channel data 5 without its padding")
        << QByteArray::fromHex("400100056162636465") << F(TurnStream::Frame::Incomplete) << 12;
    QTest::newRow("largest channel data, header only")
        << QByteArray::fromHex("7FFFFFFF") << F(TurnStream::Frame::Incomplete) << 65540;
    QTest::newRow("reserved 0x8000") << QByteArray::fromHex("80000000") << F(TurnStream::Frame::Broken) << 0;
    QTest::newRow("reserved 0xFFFF") << QByteArray::fromHex("FFFF0004") << F(TurnStream::Frame::Broken) << 0;
}

void TestTurnStream::frameAt()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, kind);
    QFETCH(int, size);
    const TurnStream::Frame frame =
        TurnStream::frameAt(reinterpret_cast<const quint8*>(bytes.constData()), std::size_t(bytes.size()));
    QCOMPARE(frame.kind, kind);
    QCOMPARE(int(frame.size), size);
}

void TestTurnStream::channelDataBytes_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty") << 0x4000 << QByteArray() << QByteArray::fromHex("40000000");
    QTest::newRow("1 byte, 3 of padding") << 0x4001 << QByteArray("a") << QByteArray::fromHex("4001000161000000");
    QTest::newRow("2 bytes, 2 of padding") << 0x4abc << QByteArray("ab") << QByteArray::fromHex("4ABC000261620000");
    QTest::newRow("3 bytes, 1 of padding") << 0x7fff << QByteArray("abc") << QByteArray::fromHex("7FFF000361626300");
    QTest::newRow("4 bytes, none") << 0x4001 << QByteArray("ping") << QByteArray::fromHex("4001000470696E67");
    QTest::newRow("5 bytes, 3 of padding")
        << 0x5a5a << QByteArray("hello") << QByteArray::fromHex("5A5A000568656C6C6F000000");
    QTest::newRow("length high byte") << 0x4001 << QByteArray(258, 'z')
                                      << QByteArray::fromHex("40010102") + QByteArray(258, 'z') + QByteArray(2, '\0');
}

void TestTurnStream::channelDataBytes()
{
    QFETCH(int, channel);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expected);
    QCOMPARE(channelData(quint16(channel), payload).toHex(), expected.toHex());
    QCOMPARE(int(TurnStream::channelDataSize(std::size_t(payload.size()))), expected.size());
}

void TestTurnStream::channelDataRefused()
{
    quint8 out[16];
    const quint8 payload[4] = {1, 2, 3, 4};
    QCOMPARE(TurnStream::writeChannelData(0x3FFF, payload, 4, out), std::size_t(0));
    QCOMPARE(TurnStream::writeChannelData(0x8000, payload, 4, out), std::size_t(0));
    std::vector<quint8> big(70000);
    std::vector<quint8> bigOut(70010);
    QCOMPARE(TurnStream::writeChannelData(0x4000, big.data(), 65536, bigOut.data()), std::size_t(0));
    QCOMPARE(TurnStream::writeChannelData(0x4000, big.data(), 65535, bigOut.data()), std::size_t(65540));
}

// Whatever the reads look like, the same whole messages come out, in order,
// and nothing comes out early.
void TestTurnStream::messagesSplitAcrossReads()
{
    const QList<QByteArray> messages = {stunMessage(0x0113, 16, 'e'), channelData(0x4001, "hello"),
                                        channelData(0x4001, "ping"), stunMessage(0x0103, 0, 0),
                                        channelData(0x4002, QByteArray(1001, 'q')), channelData(0x4001, "")};
    QByteArray stream;
    for (const QByteArray& m : messages)
        stream += m;

    for (int piece = 1; piece <= stream.size(); piece += (piece < 32 ? 1 : 97)) {
        for (int first = 0; first <= qMin(piece, 24); ++first) {
            TurnStream s;
            QList<QByteArray> out;
            int offset = 0;
            int cut = first > 0 ? first : piece;
            while (offset < stream.size()) {
                const int n = qMin(cut, stream.size() - offset);
                QCOMPARE(s.append(reinterpret_cast<const quint8*>(stream.constData()) + offset, std::size_t(n)),
                         std::size_t(n));
                offset += n;
                cut = piece;
                for (;;) {
                    const TurnStream::Frame f = s.front();
                    QVERIFY(f.kind != TurnStream::Frame::Broken);
                    if (f.kind == TurnStream::Frame::Incomplete)
                        break;
                    out.append(QByteArray(reinterpret_cast<const char*>(s.data()), int(f.size)));
                    s.consume(f.size);
                }
            }
            QCOMPARE(out, messages);
            QCOMPARE(s.size(), std::size_t(0));
        }
    }
}

// The largest message of either kind fits whole; bytes beyond the capacity
// are not taken.
void TestTurnStream::largestMessagesFit()
{
    const QByteArray largestChannel = channelData(0x4001, QByteArray(65535, 'x'));
    QCOMPARE(largestChannel.size(), 65540);
    const QByteArray largestStun = stunMessage(0x0103, 65532, 'y');
    for (const QByteArray& m : {largestChannel, largestStun}) {
        TurnStream s;
        QByteArray twice = m + m;
        const std::size_t taken =
            s.append(reinterpret_cast<const quint8*>(twice.constData()), std::size_t(twice.size()));
        QCOMPARE(taken, TurnStream::Capacity);
        QCOMPARE(s.freeSpace(), std::size_t(0));
        const TurnStream::Frame f = s.front();
        QVERIFY(f.kind == TurnStream::Frame::Stun || f.kind == TurnStream::Frame::ChannelData);
        QCOMPARE(int(f.size), m.size());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(s.data()), int(f.size)), m);
        s.consume(f.size);
        QCOMPARE(s.size(), TurnStream::Capacity - std::size_t(m.size()));
        QCOMPARE(s.append(reinterpret_cast<const quint8*>(twice.constData()) + taken, twice.size() - taken),
                 std::size_t(twice.size()) - taken);
        QCOMPARE(s.front().size, std::size_t(m.size()));
    }
}

void TestTurnStream::brokenAfterWholeMessages()
{
    TurnStream s;
    const QByteArray stream = channelData(0x4001, "abc") + QByteArray::fromHex("9000000400000000");
    s.append(reinterpret_cast<const quint8*>(stream.constData()), std::size_t(stream.size()));
    TurnStream::Frame f = s.front();
    QCOMPARE(f.kind, int(TurnStream::Frame::ChannelData));
    s.consume(f.size);
    QCOMPARE(s.front().kind, int(TurnStream::Frame::Broken));
}

QTEST_GUILESS_MAIN(TestTurnStream)
#include "tst_turnstream.moc"
