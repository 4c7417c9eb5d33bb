#include "com/wire/circularbuffer.h"

#include <QtTest>

#include <thread>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes hexBytes(const QString& hex)
{
    const QByteArray raw = QByteArray::fromHex(hex.toLatin1());
    return Bytes(raw.begin(), raw.end());
}

// A frame with a u32 (tag 7) or u16 (tag 6) length field and filler bytes
// counting up from seed.
Bytes frame(int tag, std::size_t length, std::uint8_t seed = 0)
{
    Bytes f(length);
    f[0] = std::uint8_t(tag);
    const std::size_t header = tag == 7 ? 5 : 3;
    for (std::size_t i = 1; i < header; ++i)
        f[i] = std::uint8_t(length >> (8 * (i - 1)));
    for (std::size_t i = header; i < length; ++i)
        f[i] = std::uint8_t(seed + i);
    return f;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace

class TestCircularBuffer : public QObject
{
    Q_OBJECT
private slots:
    void script_data();
    void script();
    void pushFillsExactly();
    void frameLongerThanOutputBlocks();
    void badHeaderClearsAndReports_data();
    void badHeaderClearsAndReports();
    void wrapAround();
    void keptVectorTakesEachFrame();
    void smallOutputBufferNeverOverrun();
    void endpointCapacity();
    void producerAndConsumerThreads();
};

// Each script step is "p <hex>" (push, expecting 0), "P <hex>" (push
// expecting refusal) or "t <n>" (takeFrame returns n bytes; status 0), and
// "s <n>" for the status expected from the last take. The output buffer has
// room for 64 bytes.
void TestCircularBuffer::script_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QStringList>("steps");

    QTest::newRow("empty gives nothing") << 64 << QStringList{"t 0", "s 0"};
    QTest::newRow("four bytes hold even a whole u16 frame")
        << 64 << QStringList{"p 060400ff", "t 0", "s 0", "p 05", "t 4", "t 0"};
    QTest::newRow("tag-7 frame of 20 and 5 bytes of the next")
        << 64 << QStringList{"p 0714000000" + QString("11").repeated(15) + "0708000000", "t 20", "t 0",
                             "p 222222", "t 8", "t 0"};
    QTest::newRow("tag-6 frame of 9 as soon as 9 bytes")
        << 64 << QStringList{"p 060900", "t 0", "p 0102", "t 0", "p 0304", "t 0", "p 05", "t 0",
                             "p 06", "t 9", "t 0"};
    QTest::newRow("three frames in one piece")
        << 64 << QStringList{"p 0605000102" "0706000000ff" "060300", "t 5", "t 6", "t 0",
                             "p 0000", "t 3", "t 0"};
    QTest::newRow("smallest frames") << 64 << QStringList{"p 060300" "0705000000", "t 3", "t 5", "t 0"};
    QTest::newRow("refused push keeps what was held")
        << 8 << QStringList{"p 0608000102", "P 03040506", "p 030405", "t 8", "t 0"};
    QTest::newRow("zero-byte push into full buffer")
        << 5 << QStringList{"p 0606000102", "p ", "P 03", "t 0", "s 2"};
}

void TestCircularBuffer::script()
{
    QFETCH(int, capacity);
    QFETCH(QStringList, steps);

    CircularBuffer buffer{std::size_t(capacity)};
    Bytes expected; // everything pushed and not yet taken
    int lastStatus = -1;
    std::uint8_t out[64];
    for (const QString& step : steps) {
        const QString arg = step.mid(2);
        switch (step.at(0).toLatin1()) {
        case 'p':
        case 'P': {
            const Bytes piece = hexBytes(arg);
            const int refused = step.at(0) == QLatin1Char('P') ? 1 : 0;
            QCOMPARE(buffer.push(piece.data(), piece.size()), refused);
            if (!refused)
                expected.insert(expected.end(), piece.begin(), piece.end());
            QCOMPARE(buffer.used(), expected.size());
            break;
        }
        case 't': {
            const std::size_t n = buffer.takeFrame(out, sizeof out, &lastStatus);
            QCOMPARE(n, std::size_t(arg.toUInt()));
            if (n > 0) {
                QCOMPARE(Bytes(out, out + n), Bytes(expected.begin(), expected.begin() + long(n)));
                expected.erase(expected.begin(), expected.begin() + long(n));
            }
            break;
        }
        case 's':
            QCOMPARE(lastStatus, arg.toInt());
            break;
        default:
            QFAIL("bad step");
        }
    }
}

void TestCircularBuffer::pushFillsExactly()
{
    CircularBuffer buffer(16);
    const Bytes data(16, 0x42);
    QCOMPARE(buffer.freeRoom(), std::size_t(16));
    QCOMPARE(buffer.push(data.data(), 17), 1);
    QCOMPARE(buffer.used(), std::size_t(0));
    QCOMPARE(buffer.push(data.data(), 16), 0);
    QCOMPARE(buffer.used(), std::size_t(16));
    QCOMPARE(buffer.freeRoom(), std::size_t(0));
    QCOMPARE(buffer.push(data.data(), 1), 1);
    QCOMPARE(buffer.push(data.data(), 0), 0);
    QCOMPARE(buffer.used(), std::size_t(16));
    buffer.clear();
    QCOMPARE(buffer.used(), std::size_t(0));
    QCOMPARE(buffer.push(data.data(), 16), 0);
}

// A whole frame longer than the offered output stays, blocks what follows and
// says so; a large enough buffer then gets it and the frame behind it.
void TestCircularBuffer::frameLongerThanOutputBlocks()
{
    CircularBuffer buffer(128);
    const Bytes big = frame(7, 40, 1);
    const Bytes next = frame(6, 7, 2);
    const Bytes both = concat({big, next});
    QCOMPARE(buffer.push(both.data(), both.size()), 0);
    std::vector<std::uint8_t> small(39);
    int status = -1;
    QCOMPARE(buffer.takeFrame(small.data(), small.size(), &status), std::size_t(0));
    QCOMPARE(status, int(CircularBuffer::FrameOutputTooSmall));
    QCOMPARE(buffer.pendingFrameLength(), std::size_t(40));
    QCOMPARE(buffer.takeFrame(small.data(), small.size()), std::size_t(0));
    QCOMPARE(buffer.used(), both.size());
    std::vector<std::uint8_t> out(40);
    QCOMPARE(buffer.takeFrame(out.data(), out.size(), &status), std::size_t(40));
    QCOMPARE(status, int(CircularBuffer::FrameNone));
    QCOMPARE(out, big);
    QCOMPARE(buffer.takeFrame(out.data(), out.size()), std::size_t(7));
    QCOMPARE(Bytes(out.begin(), out.begin() + 7), next);
}

// A header that can never give a frame would block the buffer forever and
// make later pieces be refused; it clears the buffer and is reported, and
// the next frame pushed is found again.
void TestCircularBuffer::badHeaderClearsAndReports_data()
{
    QTest::addColumn<Bytes>("piece");
    QTest::addColumn<int>("status");

    QTest::newRow("tag 5") << hexBytes("0509000000000000") << int(CircularBuffer::FrameBadHeader);
    QTest::newRow("tag 0") << hexBytes("0000000000") << int(CircularBuffer::FrameBadHeader);
    QTest::newRow("tag 8") << hexBytes("0809000000000000") << int(CircularBuffer::FrameBadHeader);
    QTest::newRow("u16 length 0") << hexBytes("0600000000") << int(CircularBuffer::FrameBadHeader);
    QTest::newRow("u16 length 2") << hexBytes("0602000000") << int(CircularBuffer::FrameBadHeader);
    QTest::newRow("u32 length 0") << hexBytes("0700000000") << int(CircularBuffer::FrameBadHeader);
    QTest::newRow("u32 length 4") << hexBytes("0704000000") << int(CircularBuffer::FrameBadHeader);
    QTest::newRow("u32 length capacity+1") << hexBytes("0741000000") << int(CircularBuffer::FrameTooLong);
    QTest::newRow("u32 length 0xFFFFFFFF") << hexBytes("07ffffffff") << int(CircularBuffer::FrameTooLong);
    QTest::newRow("u16 length capacity+1") << hexBytes("064100aaaa") << int(CircularBuffer::FrameTooLong);
}

void TestCircularBuffer::badHeaderClearsAndReports()
{
    QFETCH(Bytes, piece);
    QFETCH(int, status);

    CircularBuffer buffer(64);
    const Bytes good = frame(6, 10, 3);
    const Bytes first = concat({good, piece});
    QCOMPARE(buffer.push(first.data(), first.size()), 0);
    std::uint8_t out[64];
    int got = -1;
    QCOMPARE(buffer.takeFrame(out, sizeof out, &got), good.size());
    QCOMPARE(got, int(CircularBuffer::FrameNone));
    QCOMPARE(buffer.takeFrame(out, sizeof out, &got), std::size_t(0));
    QCOMPARE(got, status);
    QCOMPARE(buffer.used(), std::size_t(0));
    QCOMPARE(buffer.pendingFrameLength(), std::size_t(0));

    // The buffer works again; a frame of exactly the capacity fits.
    const Bytes whole = frame(7, 64, 9);
    QCOMPARE(buffer.push(whole.data(), whole.size()), 0);
    QCOMPARE(buffer.takeFrame(out, sizeof out, &got), std::size_t(64));
    QCOMPARE(got, int(CircularBuffer::FrameNone));
    QCOMPARE(Bytes(out, out + 64), whole);
}

void TestCircularBuffer::wrapAround()
{
    // Every start offset of the ring, so that the header and the body are cut
    // by the end of the array at every position.
    for (std::size_t shift = 0; shift < 32; ++shift) {
        CircularBuffer buffer(32);
        std::uint8_t out[32];
        // Move head and tail to shift by frames taken out again.
        std::vector<std::size_t> pads{shift};
        if (shift < 5)
            pads = {16, 16 + shift};
        for (std::size_t length : pads) {
            if (length == 0)
                continue;
            const Bytes pad = frame(6, length);
            QCOMPARE(buffer.push(pad.data(), pad.size()), 0);
            QCOMPARE(buffer.takeFrame(out, sizeof out), length);
        }
        const Bytes a = frame(7, 12, std::uint8_t(shift));
        const Bytes b = frame(6, 20, std::uint8_t(shift * 3));
        QCOMPARE(buffer.push(a.data(), a.size()), 0);
        QCOMPARE(buffer.push(b.data(), b.size()), 0);
        QCOMPARE(buffer.used(), std::size_t(32));
        QCOMPARE(buffer.takeFrame(out, sizeof out), a.size());
        QCOMPARE(Bytes(out, out + a.size()), a);
        QCOMPARE(buffer.takeFrame(out, sizeof out), b.size());
        QCOMPARE(Bytes(out, out + b.size()), b);
        QCOMPARE(buffer.used(), std::size_t(0));
    }
}

// One vector kept from frame to frame, as the endpoint keeps it: it takes
// frames longer and shorter than the one before, across the end of the ring,
// and a frame above the limit stays without touching it.
void TestCircularBuffer::keptVectorTakesEachFrame()
{
    CircularBuffer buffer(48);
    Bytes kept;
    int status = -1;
    const Bytes frames[] = {frame(7, 30, 1), frame(6, 8, 2), frame(7, 40, 3), frame(6, 5, 4)};
    for (const Bytes& f : frames) {
        QCOMPARE(buffer.push(f.data(), f.size()), 0);
        QCOMPARE(buffer.takeFrame(kept, 48, &status), f.size());
        QCOMPARE(status, int(CircularBuffer::FrameNone));
        QCOMPARE(kept, f);
        QCOMPARE(buffer.takeFrame(kept, 48, &status), std::size_t(0));
        QCOMPARE(status, int(CircularBuffer::FrameNone));
        QCOMPARE(kept, f);
    }

    const Bytes big = frame(7, 41, 5);
    QCOMPARE(buffer.push(big.data(), big.size()), 0);
    QCOMPARE(buffer.takeFrame(kept, 40, &status), std::size_t(0));
    QCOMPARE(status, int(CircularBuffer::FrameOutputTooSmall));
    QCOMPARE(kept, frames[3]);
    QCOMPARE(buffer.takeFrame(kept, 41, &status), big.size());
    QCOMPARE(kept, big);

    const Bytes broken = hexBytes("0509000000000000");
    QCOMPARE(buffer.push(broken.data(), broken.size()), 0);
    QCOMPARE(buffer.takeFrame(kept, 48, &status), std::size_t(0));
    QCOMPARE(status, int(CircularBuffer::FrameBadHeader));
    QCOMPARE(buffer.used(), std::size_t(0));
}

// The header is looked at in a private copy: an output buffer below five
// bytes is never written past its end.
void TestCircularBuffer::smallOutputBufferNeverOverrun()
{
    CircularBuffer buffer(32);
    const Bytes data = hexBytes("060300" "0705000000");
    QCOMPARE(buffer.push(data.data(), data.size()), 0);
    std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int status = -1;
    QCOMPARE(buffer.takeFrame(out, 3, &status), std::size_t(3));
    QCOMPARE(Bytes(out, out + 4), hexBytes("060300ee"));
    QCOMPARE(buffer.takeFrame(out, 3, &status), std::size_t(0));
    QCOMPARE(status, int(CircularBuffer::FrameOutputTooSmall));
    QCOMPARE(out[3], std::uint8_t(0xEE));
    QCOMPARE(buffer.takeFrame(nullptr, 0, &status), std::size_t(0));
    QCOMPARE(status, int(CircularBuffer::FrameOutputTooSmall));
    QCOMPARE(buffer.used(), std::size_t(5));
}

void TestCircularBuffer::endpointCapacity()
{
    // The endpoint's ring of 128800 bytes takes a frame of exactly that size
    // and refuses to wait for one byte more.
    CircularBuffer buffer(128800);
    std::vector<std::uint8_t> out(128800);
    const Bytes whole = frame(7, 128800, 5);
    QCOMPARE(buffer.push(whole.data(), 70000), 0);
    QCOMPARE(buffer.takeFrame(out.data(), out.size()), std::size_t(0));
    QCOMPARE(buffer.push(whole.data() + 70000, whole.size() - 70000), 0);
    QCOMPARE(buffer.takeFrame(out.data(), out.size()), whole.size());
    QVERIFY(out == whole);

    const Bytes tooLong = hexBytes("0721f70100"); // 128801
    int status = -1;
    QCOMPARE(buffer.push(tooLong.data(), tooLong.size()), 0);
    QCOMPARE(buffer.takeFrame(out.data(), out.size(), &status), std::size_t(0));
    QCOMPARE(status, int(CircularBuffer::FrameTooLong));
    QCOMPARE(buffer.used(), std::size_t(0));
}

void TestCircularBuffer::producerAndConsumerThreads()
{
    CircularBuffer buffer(1000);
    const int frames = 20000;
    std::thread producer([&buffer] {
        for (int i = 0; i < frames; ++i) {
            const Bytes f = frame(i % 2 ? 7 : 6, 5 + std::size_t(i % 90), std::uint8_t(i));
            while (buffer.push(f.data(), f.size()) != 0)
                std::this_thread::yield();
        }
    });
    std::uint8_t out[128];
    int received = 0;
    bool inOrder = true;
    while (received < frames) {
        const std::size_t n = buffer.takeFrame(out, sizeof out);
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        const Bytes f = frame(received % 2 ? 7 : 6, 5 + std::size_t(received % 90), std::uint8_t(received));
        inOrder = inOrder && Bytes(out, out + n) == f;
        ++received;
    }
    producer.join();
    QVERIFY(inOrder);
    QCOMPARE(buffer.used(), std::size_t(0));
}

QTEST_APPLESS_MAIN(TestCircularBuffer)
#include "tst_circularbuffer.moc"
