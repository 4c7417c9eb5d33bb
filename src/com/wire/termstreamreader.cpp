#include "com/wire/termstreamreader.h"

#include <cstring>
#include <type_traits>

static_assert(!std::is_same<std::uint64_t, unsigned long long>::value,
              "the unsigned long long overloads would collide");
static_assert(!std::is_same<std::int64_t, long long>::value,
              "the long long overloads would collide");

namespace com {

TermStreamReader::TermStreamReader(const void* data, std::size_t size)
    : m_begin(static_cast<const std::uint8_t*>(data))
    , m_position(m_begin)
    , m_end(m_begin + (data ? size : 0))
{
}

void TermStreamReader::setError(int code)
{
    if (m_error == NoError)
        m_error = code;
}

bool TermStreamReader::seek(std::size_t offset)
{
    if (offset > size())
        return false;
    m_position = m_begin + offset;
    return true;
}

int TermStreamReader::peekTag() const
{
    if (m_error != NoError || m_position >= m_end)
        return -1;
    return *m_position;
}

int TermStreamReader::fail(int code)
{
    m_error = code;
    return m_error;
}

int TermStreamReader::readTag(std::uint8_t tag, std::size_t need)
{
    if (m_error != NoError)
        return m_error;
    if (remaining() < need)
        return fail(ErrorShort);
    if (*m_position++ != tag)
        return fail(ErrorWrongTag);
    return NoError;
}

int TermStreamReader::readRaw(std::size_t width, bool bigEndian, std::uint64_t& value)
{
    if (m_error != NoError)
        return m_error;
    if (remaining() < width)
        return fail(ErrorShort);
    std::uint64_t v = 0;
    if (bigEndian) {
        for (std::size_t i = 0; i < width; ++i)
            v = (v << 8) | m_position[i];
    } else {
        for (std::size_t i = width; i > 0; --i)
            v = (v << 8) | m_position[i - 1];
    }
    m_position += width;
    value = v;
    return NoError;
}

int TermStreamReader::readTagged(std::uint8_t tag, std::size_t width, std::uint64_t& value)
{
    if (readTag(tag, 1 + width) != NoError)
        return m_error;
    return readRaw(width, false, value);
}

// The typed wrappers store into the caller's variable only on success.
#define VELM_TERM_READ(call, type, out)        \
    do {                                       \
        std::uint64_t v = 0;                   \
        const int rc = (call);                 \
        if (rc == NoError)                     \
            out = static_cast<type>(v);        \
        return rc;                             \
    } while (false)

int TermStreamReader::readU8(std::uint8_t& value) { VELM_TERM_READ(readTagged(TagU8, 1, v), std::uint8_t, value); }
int TermStreamReader::readU16(std::uint16_t& value) { VELM_TERM_READ(readTagged(TagU16, 2, v), std::uint16_t, value); }
int TermStreamReader::readU32(std::uint32_t& value) { VELM_TERM_READ(readTagged(TagU32, 4, v), std::uint32_t, value); }
int TermStreamReader::readU64(std::uint64_t& value) { VELM_TERM_READ(readTagged(TagU64, 8, v), std::uint64_t, value); }
int TermStreamReader::readU64(unsigned long long& value) { VELM_TERM_READ(readTagged(TagU64, 8, v), unsigned long long, value); }
int TermStreamReader::readI64(std::int64_t& value) { VELM_TERM_READ(readTagged(TagI64, 8, v), std::int64_t, value); }
int TermStreamReader::readI64(long long& value) { VELM_TERM_READ(readTagged(TagI64, 8, v), long long, value); }
int TermStreamReader::readSmallCount(std::uint8_t& count) { VELM_TERM_READ(readTagged(TagSmallCount, 1, v), std::uint8_t, count); }
int TermStreamReader::readListCount(std::uint32_t& count) { VELM_TERM_READ(readTagged(TagListCount, 4, v), std::uint32_t, count); }
int TermStreamReader::readMapCount(std::uint32_t& count) { VELM_TERM_READ(readTagged(TagMapCount, 4, v), std::uint32_t, count); }

int TermStreamReader::readRawU8(std::uint8_t& value) { VELM_TERM_READ(readRaw(1, false, v), std::uint8_t, value); }
int TermStreamReader::readRawU16(std::uint16_t& value) { VELM_TERM_READ(readRaw(2, false, v), std::uint16_t, value); }
int TermStreamReader::readRawU24(std::uint32_t& value) { VELM_TERM_READ(readRaw(3, false, v), std::uint32_t, value); }
int TermStreamReader::readRawU32(std::uint32_t& value) { VELM_TERM_READ(readRaw(4, false, v), std::uint32_t, value); }
int TermStreamReader::readRawU64(std::uint64_t& value) { VELM_TERM_READ(readRaw(8, false, v), std::uint64_t, value); }
int TermStreamReader::readRawU64(unsigned long long& value) { VELM_TERM_READ(readRaw(8, false, v), unsigned long long, value); }
int TermStreamReader::readRawI64(std::int64_t& value) { VELM_TERM_READ(readRaw(8, false, v), std::int64_t, value); }
int TermStreamReader::readRawI64(long long& value) { VELM_TERM_READ(readRaw(8, false, v), long long, value); }
int TermStreamReader::readRawU16BE(std::uint16_t& value) { VELM_TERM_READ(readRaw(2, true, v), std::uint16_t, value); }
int TermStreamReader::readRawU24BE(std::uint32_t& value) { VELM_TERM_READ(readRaw(3, true, v), std::uint32_t, value); }
int TermStreamReader::readRawU32BE(std::uint32_t& value) { VELM_TERM_READ(readRaw(4, true, v), std::uint32_t, value); }
int TermStreamReader::readRawU64BE(std::uint64_t& value) { VELM_TERM_READ(readRaw(8, true, v), std::uint64_t, value); }
int TermStreamReader::readRawU64BE(unsigned long long& value) { VELM_TERM_READ(readRaw(8, true, v), unsigned long long, value); }

#undef VELM_TERM_READ

int TermStreamReader::readLength(std::uint32_t& length)
{
    if (m_error != NoError)
        return m_error;
    if (m_position >= m_end)
        return fail(ErrorShort);
    const std::uint8_t first = *m_position;
    std::size_t width;
    std::uint32_t mask;
    if (first < 0x80) {
        width = 1;
        mask = 0x7F;
    } else if ((first & 0xC0) == 0x80) {
        width = 2;
        mask = 0x3FFF;
    } else if ((first & 0xE0) == 0xC0) {
        width = 3;
        mask = 0x1FFFFF;
    } else if ((first & 0xF0) == 0xE0) {
        width = 4;
        mask = 0x0FFFFFFF;
    } else {
        return fail(ErrorBadLength);
    }
    std::uint64_t v = 0;
    if (readRaw(width, true, v) != NoError)
        return m_error;
    length = std::uint32_t(v) & mask;
    return NoError;
}

int TermStreamReader::readStringHead(std::uint32_t& length)
{
    if (readTag(TagString, 2) != NoError || readLength(length) != NoError)
        return m_error;
    if (length > remaining())
        return fail(ErrorShort);
    return NoError;
}

int TermStreamReader::readString(char* buffer, std::size_t capacity, std::size_t& count)
{
    count = 0;
    if (buffer && capacity > 0)
        buffer[0] = 0;
    std::uint32_t length = 0;
    if (readStringHead(length) != NoError)
        return m_error;
    if (!buffer || capacity < std::size_t(length) + 1)
        return fail(ErrorBufferTooSmall);
    if (length > 0)
        std::memcpy(buffer, m_position, length);
    buffer[length] = 0;
    m_position += length;
    count = std::size_t(length) + 1;
    return NoError;
}

int TermStreamReader::readString(std::string& value)
{
    std::uint32_t length = 0;
    if (readStringHead(length) != NoError)
        return m_error;
    value.assign(reinterpret_cast<const char*>(m_position), length);
    m_position += length;
    return NoError;
}

int TermStreamReader::readBlob(std::vector<std::uint8_t>& value)
{
    if (readTag(TagBlob, 5) != NoError)
        return m_error;
    std::uint64_t length = 0;
    readRaw(4, false, length);
    if (length > remaining())
        return fail(ErrorShort);
    value.assign(m_position, m_position + length);
    m_position += length;
    return NoError;
}

} // namespace com
