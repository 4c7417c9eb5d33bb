#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"

#include <QtTest>

#include <cstring>
#include <string>
#include <vector>

using com::TermStreamReader;
using com::TermStreamWriter;

Q_DECLARE_METATYPE(std::vector<std::uint8_t>)

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hexBytes(const char* hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return Bytes(raw.begin(), raw.end());
}

// One operation per field kind, so that tables can name the field and the
// same checks run for each of them.
enum Field {
    U8, U16, U32, U64, I64, SmallCount, ListCount, MapCount,
    RawU8, RawU16, RawU24, RawU32, RawU64, RawI64, RawU16BE, RawU24BE, RawU32BE, RawU64BE,
    FieldCount
};

int writeField(TermStreamWriter& w, int field, std::uint64_t v)
{
    switch (field) {
    case U8: return w.writeU8(std::uint8_t(v));
    case U16: return w.writeU16(std::uint16_t(v));
    case U32: return w.writeU32(std::uint32_t(v));
    case U64: return w.writeU64(v);
    case I64: return w.writeI64(std::int64_t(v));
    case SmallCount: return w.writeSmallCount(std::uint8_t(v));
    case ListCount: return w.writeListCount(std::uint32_t(v));
    case MapCount: return w.writeMapCount(std::uint32_t(v));
    case RawU8: return w.writeRawU8(std::uint8_t(v));
    case RawU16: return w.writeRawU16(std::uint16_t(v));
    case RawU24: return w.writeRawU24(std::uint32_t(v));
    case RawU32: return w.writeRawU32(std::uint32_t(v));
    case RawU64: return w.writeRawU64(v);
    case RawI64: return w.writeRawI64(std::int64_t(v));
    case RawU16BE: return w.writeRawU16BE(std::uint16_t(v));
    case RawU24BE: return w.writeRawU24BE(std::uint32_t(v));
    case RawU32BE: return w.writeRawU32BE(std::uint32_t(v));
    case RawU64BE: return w.writeRawU64BE(v);
    }
    return -1;
}

int readField(TermStreamReader& r, int field, std::uint64_t& out)
{
    std::uint8_t v8 = 0;
    std::uint16_t v16 = 0;
    std::uint32_t v32 = 0;
    std::uint64_t v64 = 0;
    std::int64_t i64 = 0;
    int rc = -1;
    switch (field) {
    case U8: rc = r.readU8(v8); out = v8; break;
    case U16: rc = r.readU16(v16); out = v16; break;
    case U32: rc = r.readU32(v32); out = v32; break;
    case U64: rc = r.readU64(v64); out = v64; break;
    case I64: rc = r.readI64(i64); out = std::uint64_t(i64); break;
    case SmallCount: rc = r.readSmallCount(v8); out = v8; break;
    case ListCount: rc = r.readListCount(v32); out = v32; break;
    case MapCount: rc = r.readMapCount(v32); out = v32; break;
    case RawU8: rc = r.readRawU8(v8); out = v8; break;
    case RawU16: rc = r.readRawU16(v16); out = v16; break;
    case RawU24: rc = r.readRawU24(v32); out = v32; break;
    case RawU32: rc = r.readRawU32(v32); out = v32; break;
    case RawU64: rc = r.readRawU64(v64); out = v64; break;
    case RawI64: rc = r.readRawI64(i64); out = std::uint64_t(i64); break;
    case RawU16BE: rc = r.readRawU16BE(v16); out = v16; break;
    case RawU24BE: rc = r.readRawU24BE(v32); out = v32; break;
    case RawU32BE: rc = r.readRawU32BE(v32); out = v32; break;
    case RawU64BE: rc = r.readRawU64BE(v64); out = v64; break;
    }
    return rc;
}

bool isTagged(int field) { return field <= MapCount; }

} // namespace

class TestTermStream : public QObject
{
    Q_OBJECT
private slots:
    void fields_data();
    void fields();
    void wrongTagIsSticky();
    void stringPrefix_data();
    void stringPrefix();
    void stringTooLongForWriter();
    void badPrefix_data();
    void badPrefix();
    void stringIntoCharBuffer_data();
    void stringIntoCharBuffer();
    void stringWriteNoRoom_data();
    void stringWriteNoRoom();
    void blob();
    void blobShort_data();
    void blobShort();
    void rawU24Range();
    void writerErrorsAreSticky();
    void zeroCapacityWriterTouchesNothing();
    void peekAndSeek();
    void writerSeekFinishesFullFrame();
    void mixedMessageRoundTrip();
    void qtIntegerTypes();
};

void TestTermStream::fields_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<quint64>("value");
    QTest::addColumn<Bytes>("wire");

    QTest::newRow("u8") << int(U8) << quint64(0xAB) << hexBytes("05ab");
    QTest::newRow("u16") << int(U16) << quint64(0x1234) << hexBytes("063412");
    QTest::newRow("u32") << int(U32) << quint64(0x12345678) << hexBytes("0778563412");
    QTest::newRow("u32 max") << int(U32) << quint64(0xFFFFFFFF) << hexBytes("07ffffffff");
    QTest::newRow("u64") << int(U64) << quint64(0x0102030405060708ull) << hexBytes("080807060504030201");
    QTest::newRow("i64 -2") << int(I64) << quint64(std::uint64_t(std::int64_t(-2)))
                            << hexBytes("0cfeffffffffffffff");
    QTest::newRow("i64 min") << int(I64) << quint64(0x8000000000000000ull) << hexBytes("0c0000000000000080");
    QTest::newRow("small count") << int(SmallCount) << quint64(3) << hexBytes("0403");
    QTest::newRow("list count") << int(ListCount) << quint64(0x01020304) << hexBytes("0e04030201");
    QTest::newRow("map count") << int(MapCount) << quint64(7) << hexBytes("1007000000");
    QTest::newRow("raw u8") << int(RawU8) << quint64(0x9C) << hexBytes("9c");
    QTest::newRow("raw u16") << int(RawU16) << quint64(0x1234) << hexBytes("3412");
    QTest::newRow("raw u24") << int(RawU24) << quint64(0x123456) << hexBytes("563412");
    QTest::newRow("raw u32") << int(RawU32) << quint64(0x12345678) << hexBytes("78563412");
    QTest::newRow("raw u64") << int(RawU64) << quint64(0x0102030405060708ull) << hexBytes("0807060504030201");
    QTest::newRow("raw i64 -1") << int(RawI64) << quint64(~0ull) << hexBytes("ffffffffffffffff");
    QTest::newRow("raw u16 be") << int(RawU16BE) << quint64(0x1234) << hexBytes("1234");
    QTest::newRow("raw u24 be") << int(RawU24BE) << quint64(0x123456) << hexBytes("123456");
    QTest::newRow("raw u32 be") << int(RawU32BE) << quint64(0x2112A442) << hexBytes("2112a442");
    QTest::newRow("raw u64 be") << int(RawU64BE) << quint64(0x0102030405060708ull) << hexBytes("0102030405060708");
}

// Each field: the exact bytes, read back from exactly its bytes, and the
// boundary one byte short on both sides.
void TestTermStream::fields()
{
    QFETCH(int, field);
    QFETCH(quint64, value);
    QFETCH(Bytes, wire);

    Bytes buffer(wire.size() + 4, 0xEE);
    TermStreamWriter w(buffer.data(), wire.size());
    QCOMPARE(writeField(w, field, value), 0);
    QCOMPARE(w.size(), wire.size());
    QCOMPARE(w.remaining(), std::size_t(0));
    QCOMPARE(Bytes(buffer.begin(), buffer.begin() + wire.size()), wire);
    QCOMPARE(buffer[wire.size()], std::uint8_t(0xEE));

    TermStreamReader r(wire.data(), wire.size());
    std::uint64_t got = 0;
    QCOMPARE(readField(r, field, got), 0);
    QCOMPARE(quint64(got), value);
    QCOMPARE(r.consumed(), wire.size());
    QCOMPARE(r.remaining(), std::size_t(0));
    QVERIFY(!r.hasError());

    // One byte short: error 2, nothing consumed, the value left alone.
    TermStreamReader shortReader(wire.data(), wire.size() - 1);
    got = 0x5555;
    QCOMPARE(readField(shortReader, field, got), int(TermStreamReader::ErrorShort));
    QCOMPARE(shortReader.consumed(), std::size_t(0));
    QCOMPARE(shortReader.error(), int(TermStreamReader::ErrorShort));

    // One byte of room short: error 3, nothing written.
    Bytes small(wire.size(), 0xEE);
    TermStreamWriter shortWriter(small.data(), wire.size() - 1);
    QCOMPARE(writeField(shortWriter, field, value), int(TermStreamWriter::ErrorNoRoom));
    QCOMPARE(shortWriter.size(), std::size_t(0));
    QCOMPARE(small, Bytes(wire.size(), 0xEE));

    if (isTagged(field)) {
        // Every other tag byte in front of the value is refused with error 1.
        for (int tag = 0; tag < 256; ++tag) {
            if (tag == wire[0])
                continue;
            Bytes other = wire;
            other[0] = std::uint8_t(tag);
            TermStreamReader tagReader(other.data(), other.size());
            QCOMPARE(readField(tagReader, field, got), int(TermStreamReader::ErrorWrongTag));
        }
    }
}

void TestTermStream::wrongTagIsSticky()
{
    const Bytes wire = hexBytes("0634120778563412");
    TermStreamReader r(wire.data(), wire.size());
    std::uint32_t v32 = 99;
    QCOMPARE(r.readU32(v32), int(TermStreamReader::ErrorWrongTag));
    QCOMPARE(v32, 99u);
    const std::size_t stoppedAt = r.consumed();
    std::uint16_t v16 = 0;
    std::string s = "kept";
    std::vector<std::uint8_t> blob{1, 2};
    QCOMPARE(r.readU16(v16), 1);
    QCOMPARE(r.readString(s), 1);
    QCOMPARE(r.readBlob(blob), 1);
    QCOMPARE(r.readRawU8(*reinterpret_cast<std::uint8_t*>(&v16)), 1);
    QCOMPARE(r.peekTag(), -1);
    QCOMPARE(r.consumed(), stoppedAt);
    QCOMPARE(s, std::string("kept"));
    QCOMPARE(blob.size(), std::size_t(2));
    r.setError(2);
    QCOMPARE(r.error(), 1);
}

void TestTermStream::stringPrefix_data()
{
    QTest::addColumn<quint32>("length");
    QTest::addColumn<Bytes>("prefix");

    QTest::newRow("0") << 0u << hexBytes("00");
    QTest::newRow("1") << 1u << hexBytes("01");
    QTest::newRow("127") << 127u << hexBytes("7f");
    QTest::newRow("128") << 128u << hexBytes("8080");
    QTest::newRow("300") << 300u << hexBytes("812c");
    QTest::newRow("16383") << 16383u << hexBytes("bfff");
    QTest::newRow("16384") << 16384u << hexBytes("c04000");
    QTest::newRow("2097151") << 2097151u << hexBytes("dfffff");
    QTest::newRow("2097152") << 2097152u << hexBytes("e0200000");
    QTest::newRow("268435455") << 268435455u << hexBytes("efffffff");
}

void TestTermStream::stringPrefix()
{
    QFETCH(quint32, length);
    QFETCH(Bytes, prefix);

    std::string text(length, 'x');
    if (length > 0) {
        text.front() = 'A';
        text.back() = 'Z';
    }
    const std::size_t total = 1 + prefix.size() + length;
    Bytes buffer(total);
    TermStreamWriter w(buffer.data(), buffer.size());
    QCOMPARE(w.writeString(text), 0);
    QCOMPARE(w.size(), total);
    QCOMPARE(buffer[0], std::uint8_t(13));
    QCOMPARE(Bytes(buffer.begin() + 1, buffer.begin() + 1 + prefix.size()), prefix);

    // One byte less room refuses the string.
    TermStreamWriter tight(buffer.data(), total - 1);
    QCOMPARE(tight.writeString(text), int(TermStreamWriter::ErrorNoRoom));

    TermStreamReader r(buffer.data(), buffer.size());
    std::string back = "old";
    QCOMPARE(r.readString(back), 0);
    QCOMPARE(back.size(), std::size_t(length));
    QVERIFY(back == text);
    QCOMPARE(r.remaining(), std::size_t(0));

    // The prefix alone decodes to the length.
    TermStreamReader lengthReader(buffer.data() + 1, prefix.size());
    std::uint32_t decoded = 0;
    QCOMPARE(lengthReader.readLength(decoded), 0);
    QCOMPARE(decoded, length);
    QCOMPARE(lengthReader.consumed(), prefix.size());

    // With the last byte missing the string is short.
    if (length > 0) {
        TermStreamReader cut(buffer.data(), buffer.size() - 1);
        QCOMPARE(cut.readString(back), int(TermStreamReader::ErrorShort));
        QVERIFY(back == text);
    }
}

void TestTermStream::stringTooLongForWriter()
{
    // The length check comes before any byte is touched, so the source is
    // never read.
    char buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    TermStreamWriter w(buffer, sizeof buffer);
    QCOMPARE(w.writeString(buffer, 268435456u), int(TermStreamWriter::ErrorStringTooLong));
    QCOMPARE(w.size(), std::size_t(0));
    QCOMPARE(buffer[0], char(0xEE));
}

void TestTermStream::badPrefix_data()
{
    QTest::addColumn<Bytes>("wire");
    QTest::addColumn<int>("error");

    QTest::newRow("0xF0") << hexBytes("0df0000000000000") << int(TermStreamReader::ErrorBadLength);
    QTest::newRow("0xFF") << hexBytes("0dff000000000000") << int(TermStreamReader::ErrorBadLength);
    QTest::newRow("tag only") << hexBytes("0d") << int(TermStreamReader::ErrorShort);
    QTest::newRow("2-byte prefix cut") << hexBytes("0d80") << int(TermStreamReader::ErrorShort);
    QTest::newRow("3-byte prefix cut") << hexBytes("0dc000") << int(TermStreamReader::ErrorShort);
    QTest::newRow("4-byte prefix cut") << hexBytes("0de00000") << int(TermStreamReader::ErrorShort);
    QTest::newRow("length past end") << hexBytes("0d05616263") << int(TermStreamReader::ErrorShort);
    QTest::newRow("huge length past end") << hexBytes("0defffffff61") << int(TermStreamReader::ErrorShort);
    QTest::newRow("wrong tag") << hexBytes("0e0161") << int(TermStreamReader::ErrorWrongTag);
    QTest::newRow("empty") << Bytes() << int(TermStreamReader::ErrorShort);
}

void TestTermStream::badPrefix()
{
    QFETCH(Bytes, wire);
    QFETCH(int, error);

    TermStreamReader r(wire.data(), wire.size());
    std::string s = "kept";
    QCOMPARE(r.readString(s), error);
    QCOMPARE(s, std::string("kept"));

    TermStreamReader r2(wire.data(), wire.size());
    char buffer[8];
    std::memset(buffer, 'q', sizeof buffer);
    std::size_t count = 99;
    QCOMPARE(r2.readString(buffer, sizeof buffer, count), error);
    QCOMPARE(buffer[0], '\0');
    QCOMPARE(count, std::size_t(0));
}

void TestTermStream::stringIntoCharBuffer_data()
{
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("count");

    QTest::newRow("capacity 0") << 0 << int(TermStreamReader::ErrorBufferTooSmall) << 0;
    QTest::newRow("capacity 10") << 10 << int(TermStreamReader::ErrorBufferTooSmall) << 0;
    QTest::newRow("capacity 11") << 11 << 0 << 11;
    QTest::newRow("capacity 64") << 64 << 0 << 11;
}

void TestTermStream::stringIntoCharBuffer()
{
    QFETCH(int, capacity);
    QFETCH(int, error);
    QFETCH(int, count);

    const Bytes wire = hexBytes("0d0a30313233343536373839");
    std::vector<char> buffer(std::size_t(capacity) + 1, 'q');
    TermStreamReader r(wire.data(), wire.size());
    std::size_t written = 99;
    QCOMPARE(r.readString(buffer.data(), std::size_t(capacity), written), error);
    QCOMPARE(written, std::size_t(count));
    // Nothing beyond the capacity is ever written.
    QCOMPARE(buffer[std::size_t(capacity)], 'q');
    if (capacity > 0)
        QCOMPARE(std::strlen(buffer.data()), error ? std::size_t(0) : std::size_t(10));
    if (!error) {
        QCOMPARE(QByteArray(buffer.data()), QByteArray("0123456789"));
        QCOMPARE(r.remaining(), std::size_t(0));
    }
}

void TestTermStream::stringWriteNoRoom_data()
{
    QTest::addColumn<int>("room");
    QTest::addColumn<int>("length");

    QTest::newRow("room 0") << 0 << 0;
    QTest::newRow("room 1") << 1 << 0;
    QTest::newRow("no room for 2-byte prefix") << 2 << 200;
    QTest::newRow("no room for bytes") << 10 << 9;
}

void TestTermStream::stringWriteNoRoom()
{
    QFETCH(int, room);
    QFETCH(int, length);

    const std::string text(std::size_t(length), 'y');
    Bytes buffer(std::size_t(room) + 1, 0xEE);
    TermStreamWriter w(buffer.data(), std::size_t(room));
    QCOMPARE(w.writeString(text.data(), text.size()), int(TermStreamWriter::ErrorNoRoom));
    QCOMPARE(w.size(), std::size_t(0));
    QCOMPARE(buffer, Bytes(std::size_t(room) + 1, 0xEE));
}

void TestTermStream::blob()
{
    const Bytes payload = hexBytes("00ff10");
    Bytes buffer(8, 0xEE);
    TermStreamWriter w(buffer.data(), buffer.size());
    QCOMPARE(w.writeBlob(payload), 0);
    QCOMPARE(buffer, hexBytes("0f0300000000ff10"));

    TermStreamReader r(buffer.data(), buffer.size());
    std::vector<std::uint8_t> back(50, 7);
    QCOMPARE(r.readBlob(back), 0);
    QCOMPARE(back, payload);
    QCOMPARE(r.remaining(), std::size_t(0));

    // An empty blob is five bytes and reads back empty.
    Bytes empty(5);
    TermStreamWriter we(empty.data(), empty.size());
    QCOMPARE(we.writeBlob(nullptr, 0), 0);
    QCOMPARE(empty, hexBytes("0f00000000"));
    TermStreamReader re(empty.data(), empty.size());
    QCOMPARE(re.readBlob(back), 0);
    QVERIFY(back.empty());

    // A blob that does not fit is not written at all.
    Bytes tight(7, 0xEE);
    TermStreamWriter wt(tight.data(), tight.size());
    QCOMPARE(wt.writeBlob(payload), int(TermStreamWriter::ErrorNoRoom));
    QCOMPARE(tight, Bytes(7, 0xEE));
}

void TestTermStream::blobShort_data()
{
    QTest::addColumn<Bytes>("wire");
    QTest::addColumn<int>("error");

    Bytes hundred = hexBytes("0f64000000");
    hundred.resize(hundred.size() + 99, 0x11);
    QTest::newRow("length 100, 99 left") << hundred << int(TermStreamReader::ErrorShort);
    QTest::newRow("length 0xFFFFFFFF") << hexBytes("0fffffffff00") << int(TermStreamReader::ErrorShort);
    QTest::newRow("four bytes") << hexBytes("0f000000") << int(TermStreamReader::ErrorShort);
    QTest::newRow("string tag") << hexBytes("0d00000000") << int(TermStreamReader::ErrorWrongTag);
}

void TestTermStream::blobShort()
{
    QFETCH(Bytes, wire);
    QFETCH(int, error);
    TermStreamReader r(wire.data(), wire.size());
    std::vector<std::uint8_t> out{9};
    QCOMPARE(r.readBlob(out), error);
    QCOMPARE(out, std::vector<std::uint8_t>{9});
}

void TestTermStream::rawU24Range()
{
    Bytes buffer(8, 0xEE);
    {
        TermStreamWriter w(buffer.data(), buffer.size());
        QCOMPARE(w.writeRawU24(0xFFFFFF), 0);
        QCOMPARE(w.writeRawU24(0x1000000), int(TermStreamWriter::ErrorValueTooLarge));
        QCOMPARE(w.size(), std::size_t(3));
    }
    {
        TermStreamWriter w(buffer.data(), buffer.size());
        QCOMPARE(w.writeRawU24BE(0x1000000), int(TermStreamWriter::ErrorValueTooLarge));
        QCOMPARE(w.size(), std::size_t(0));
    }
}

void TestTermStream::writerErrorsAreSticky()
{
    Bytes buffer(8, 0xEE);
    TermStreamWriter w(buffer.data(), buffer.size());
    QCOMPARE(w.writeU64(1), int(TermStreamWriter::ErrorNoRoom)); // 8 bytes of room, 9 needed
    QCOMPARE(buffer, Bytes(8, 0xEE));
    // A smaller field that would fit is refused as well.
    QCOMPARE(w.writeU8(1), int(TermStreamWriter::ErrorNoRoom));
    QCOMPARE(w.writeString("a"), int(TermStreamWriter::ErrorNoRoom));
    QCOMPARE(w.writeRawU24(0x1000000), int(TermStreamWriter::ErrorNoRoom));
    QCOMPARE(w.size(), std::size_t(0));
    QCOMPARE(buffer, Bytes(8, 0xEE));
    w.setError(1);
    QCOMPARE(w.error(), int(TermStreamWriter::ErrorNoRoom));
}

// A writer over no room must not touch the byte its pointer names.
void TestTermStream::zeroCapacityWriterTouchesNothing()
{
    for (int useNull = 0; useNull < 2; ++useNull) {
        for (int field = 0; field < FieldCount; ++field) {
            std::uint8_t guard = 0xEE;
            TermStreamWriter w(useNull ? nullptr : &guard, 0);
            QCOMPARE(writeField(w, field, 1), int(TermStreamWriter::ErrorNoRoom));
            QCOMPARE(guard, std::uint8_t(0xEE));
            QCOMPARE(w.size(), std::size_t(0));
        }
        std::uint8_t guard = 0xEE;
        TermStreamWriter ws(useNull ? nullptr : &guard, 0);
        QCOMPARE(ws.writeString(""), int(TermStreamWriter::ErrorNoRoom));
        TermStreamWriter wb(useNull ? nullptr : &guard, 0);
        QCOMPARE(wb.writeBlob(&guard, 0), int(TermStreamWriter::ErrorNoRoom));
        QCOMPARE(guard, std::uint8_t(0xEE));
        QVERIFY(wb.seek(0));
        QVERIFY(!wb.seek(1));
    }
    // A reader over nothing gives error 2 and -1.
    TermStreamReader r(nullptr, 0);
    QCOMPARE(r.peekTag(), -1);
    std::uint8_t v = 0;
    QCOMPARE(r.readRawU8(v), int(TermStreamReader::ErrorShort));
}

void TestTermStream::peekAndSeek()
{
    const Bytes wire = hexBytes("0501063412");
    TermStreamReader r(wire.data(), wire.size());
    QCOMPARE(r.peekTag(), 5);
    QCOMPARE(r.consumed(), std::size_t(0));
    QVERIFY(r.seek(2));
    QCOMPARE(r.peekTag(), 6);
    QVERIFY(r.seek(wire.size()));
    QCOMPARE(r.peekTag(), -1);
    QCOMPARE(r.remaining(), std::size_t(0));
    QVERIFY(!r.seek(wire.size() + 1));
    QCOMPARE(r.consumed(), wire.size());
    QVERIFY(!r.hasError());
    QVERIFY(r.seek(0));
    std::uint8_t v = 0;
    QCOMPARE(r.readU8(v), 0);
    QCOMPARE(v, std::uint8_t(1));
    // Seeking does not clear an error.
    std::uint32_t v32 = 0;
    QCOMPARE(r.readU32(v32), 2);
    QVERIFY(r.seek(0));
    QCOMPARE(r.peekTag(), -1);
    QCOMPARE(r.readU8(v), 2);
}

// A frame starts with its own total length, filled in once the frame is
// complete. The frame may fill the buffer exactly.
void TestTermStream::writerSeekFinishesFullFrame()
{
    Bytes buffer(12, 0xEE);
    TermStreamWriter w(buffer.data(), buffer.size());
    QCOMPARE(w.writeU32(0), 0);
    QCOMPARE(w.writeString("abcde"), 0);
    QCOMPARE(w.remaining(), std::size_t(0));
    const std::size_t end = w.size();
    QCOMPARE(end, buffer.size());
    QVERIFY(w.seek(0));
    QCOMPARE(w.writeU32(std::uint32_t(end)), 0);
    QVERIFY(w.seek(end));
    QCOMPARE(w.size(), buffer.size());
    QVERIFY(!w.seek(end + 1));
    QCOMPARE(w.size(), buffer.size());
    QVERIFY(!w.hasError());
    QCOMPARE(buffer, hexBytes("070c0000000d056162636465"));
    // At the end any further write fails and touches nothing.
    QCOMPARE(w.writeRawU8(1), int(TermStreamWriter::ErrorNoRoom));
}

void TestTermStream::mixedMessageRoundTrip()
{
    std::uint8_t buffer[256];
    TermStreamWriter w(buffer, sizeof buffer);
    w.writeU32(0);
    w.writeU8(0x40);
    w.writeSmallCount(2);
    w.writeString(std::string_view("pk"));
    w.writeBlob(std::vector<std::uint8_t>{1, 2, 3});
    w.writeListCount(1);
    w.writeI64(-5);
    w.writeMapCount(0);
    w.writeU64(0xFFFFFFFFFFFFFFFFull);
    w.writeU16(65535);
    w.writeRawU16BE(0xBEEF);
    QVERIFY(!w.hasError());
    const std::size_t length = w.size();
    w.seek(0);
    w.writeU32(std::uint32_t(length));
    w.seek(length);

    TermStreamReader r(buffer, length);
    std::uint32_t total = 0, list = 9, map = 9;
    std::uint8_t channel = 0, small = 0;
    std::string s;
    std::vector<std::uint8_t> blob;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    std::uint16_t u16 = 0, be = 0;
    r.readU32(total);
    r.readU8(channel);
    r.readSmallCount(small);
    r.readString(s);
    r.readBlob(blob);
    r.readListCount(list);
    r.readI64(i);
    r.readMapCount(map);
    r.readU64(u);
    r.readU16(u16);
    r.readRawU16BE(be);
    QCOMPARE(r.error(), 0);
    QCOMPARE(total, std::uint32_t(length));
    QCOMPARE(channel, std::uint8_t(0x40));
    QCOMPARE(small, std::uint8_t(2));
    QCOMPARE(s, std::string("pk"));
    QCOMPARE(blob, (std::vector<std::uint8_t>{1, 2, 3}));
    QCOMPARE(list, 1u);
    QCOMPARE(i, std::int64_t(-5));
    QCOMPARE(map, 0u);
    QCOMPARE(u, 0xFFFFFFFFFFFFFFFFull);
    QCOMPARE(u16, std::uint16_t(65535));
    QCOMPARE(be, std::uint16_t(0xBEEF));
    QCOMPARE(r.remaining(), std::size_t(0));
}

// Qt's 64-bit integer types bind to the readers directly.
void TestTermStream::qtIntegerTypes()
{
    std::uint8_t buffer[32];
    TermStreamWriter w(buffer, sizeof buffer);
    w.writeU64(quint64(42));
    w.writeI64(qint64(-42));
    w.writeRawU64BE(quint64(7));
    TermStreamReader r(buffer, w.size());
    quint64 u = 0;
    qint64 i = 0;
    quint64 be = 0;
    QCOMPARE(r.readU64(u), 0);
    QCOMPARE(r.readI64(i), 0);
    QCOMPARE(r.readRawU64BE(be), 0);
    QCOMPARE(u, quint64(42));
    QCOMPARE(i, qint64(-42));
    QCOMPARE(be, quint64(7));
}

QTEST_APPLESS_MAIN(TestTermStream)
#include "tst_termstream.moc"
