// Reads arbitrary bytes with a sequence of TermStream reads chosen by the
// input itself. Every value read successfully is written again and read back
// from the copy, which must give the same value; position and error must
// stay consistent throughout.
#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using com::TermStreamReader;
using com::TermStreamWriter;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// Re-encodes one value and reads it back with the same operation.
template <typename T, typename W, typename R>
void roundTrip(T value, W write, R read)
{
    std::uint8_t buffer[16];
    TermStreamWriter w(buffer, sizeof buffer);
    check((w.*write)(value) == 0);
    TermStreamReader r(buffer, w.size());
    T back{};
    check((r.*read)(back) == 0);
    check(back == value);
    check(r.remaining() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte says how many of the following bytes choose operations.
    const std::size_t opCount = std::min<std::size_t>(data[0] % 32, size - 1);
    const std::uint8_t* ops = data + 1;
    const std::uint8_t* stream = data + 1 + opCount;
    const std::size_t streamSize = size - 1 - opCount;

    TermStreamReader r(stream, streamSize);
    std::string s;
    std::vector<std::uint8_t> blob;
    char text[64];
    for (std::size_t round = 0; round < 4 * 32 && opCount > 0; ++round) {
        const std::uint8_t op = ops[round % opCount];
        const std::size_t before = r.consumed();
        const int errorBefore = r.error();
        const int peek = r.peekTag();
        int rc = 0;
        switch (op % 26) {
        case 0: { std::uint8_t v; rc = r.readU8(v); if (!rc) roundTrip<std::uint8_t>(v, &TermStreamWriter::writeU8, &TermStreamReader::readU8); break; }
        case 1: { std::uint16_t v; rc = r.readU16(v); if (!rc) roundTrip<std::uint16_t>(v, &TermStreamWriter::writeU16, &TermStreamReader::readU16); break; }
        case 2: { std::uint32_t v; rc = r.readU32(v); if (!rc) roundTrip<std::uint32_t>(v, &TermStreamWriter::writeU32, &TermStreamReader::readU32); break; }
        case 3: { std::uint64_t v; rc = r.readU64(v); if (!rc) roundTrip<std::uint64_t>(v, &TermStreamWriter::writeU64, static_cast<int (TermStreamReader::*)(std::uint64_t&)>(&TermStreamReader::readU64)); break; }
        case 4: { std::int64_t v; rc = r.readI64(v); if (!rc) roundTrip<std::int64_t>(v, &TermStreamWriter::writeI64, static_cast<int (TermStreamReader::*)(std::int64_t&)>(&TermStreamReader::readI64)); break; }
        case 5: { std::uint8_t v; rc = r.readSmallCount(v); break; }
        case 6: { std::uint32_t v; rc = r.readListCount(v); break; }
        case 7: { std::uint32_t v; rc = r.readMapCount(v); break; }
        case 8: {
            rc = r.readString(s);
            if (!rc) {
                std::vector<std::uint8_t> copy(s.size() + 8);
                TermStreamWriter w(copy.data(), copy.size());
                check(w.writeString(s) == 0);
                TermStreamReader back(copy.data(), w.size());
                std::string again;
                check(back.readString(again) == 0 && again == s);
            }
            break;
        }
        case 9: {
            std::size_t count = 0;
            const std::size_t capacity = op % sizeof text;
            rc = r.readString(text, capacity, count);
            check(rc ? count == 0 : (count >= 1 && count <= capacity && text[count - 1] == 0));
            break;
        }
        case 10: {
            rc = r.readBlob(blob);
            if (!rc) {
                std::vector<std::uint8_t> copy(blob.size() + 5);
                TermStreamWriter w(copy.data(), copy.size());
                check(w.writeBlob(blob) == 0 && w.remaining() == 0);
                TermStreamReader back(copy.data(), copy.size());
                std::vector<std::uint8_t> again;
                check(back.readBlob(again) == 0 && again == blob);
            }
            break;
        }
        case 11: { std::uint8_t v; rc = r.readRawU8(v); break; }
        case 12: { std::uint16_t v; rc = r.readRawU16(v); if (!rc) roundTrip<std::uint16_t>(v, &TermStreamWriter::writeRawU16, &TermStreamReader::readRawU16); break; }
        case 13: { std::uint32_t v; rc = r.readRawU24(v); if (!rc) { check(v <= 0xFFFFFF); roundTrip<std::uint32_t>(v, &TermStreamWriter::writeRawU24, &TermStreamReader::readRawU24); } break; }
        case 14: { std::uint32_t v; rc = r.readRawU32(v); break; }
        case 15: { std::uint64_t v; rc = r.readRawU64(v); break; }
        case 16: { std::int64_t v; rc = r.readRawI64(v); break; }
        case 17: { std::uint16_t v; rc = r.readRawU16BE(v); if (!rc) roundTrip<std::uint16_t>(v, &TermStreamWriter::writeRawU16BE, &TermStreamReader::readRawU16BE); break; }
        case 18: { std::uint32_t v; rc = r.readRawU24BE(v); if (!rc) { check(v <= 0xFFFFFF); roundTrip<std::uint32_t>(v, &TermStreamWriter::writeRawU24BE, &TermStreamReader::readRawU24BE); } break; }
        case 19: { std::uint32_t v; rc = r.readRawU32BE(v); if (!rc) roundTrip<std::uint32_t>(v, &TermStreamWriter::writeRawU32BE, &TermStreamReader::readRawU32BE); break; }
        case 20: { std::uint64_t v; rc = r.readRawU64BE(v); break; }
        case 21: { std::uint32_t v; rc = r.readLength(v); if (!rc) check(v <= com::TermMaxStringLength); break; }
        case 22: { const bool ok = r.seek(op); check(ok == (op <= streamSize)); break; }
        case 23: { const bool ok = r.seek(before + 1); check(ok == (before + 1 <= streamSize)); break; }
        default: break;
        }
        // An error, once set, never changes and freezes the position.
        if (errorBefore) {
            check(r.error() == errorBefore);
            if (op % 26 != 22 && op % 26 != 23)
                check(r.consumed() == before);
        }
        check(rc == 0 || rc == r.error());
        check(r.consumed() + r.remaining() == streamSize);
        check(peek == -1 || errorBefore == 0);
    }
    return 0;
}
