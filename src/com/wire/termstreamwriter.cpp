#include "com/wire/termstreamwriter.h"

#include <cstring>

namespace com {

TermStreamWriter::TermStreamWriter(void* buffer, std::size_t capacity)
    : m_begin(static_cast<std::uint8_t*>(buffer))
    , m_position(m_begin)
    , m_end(m_begin + (buffer ? capacity : 0))
{
}

void TermStreamWriter::setError(int code)
{
    if (m_error == NoError)
        m_error = code;
}

bool TermStreamWriter::seek(std::size_t offset)
{
    if (offset > capacity())
        return false;
    m_position = m_begin + offset;
    return true;
}

int TermStreamWriter::fail(int code)
{
    m_error = code;
    return m_error;
}

int TermStreamWriter::writeRaw(std::size_t width, bool bigEndian, std::uint64_t value)
{
    if (m_error != NoError)
        return m_error;
    if (remaining() < width)
        return fail(ErrorNoRoom);
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t shift = 8 * (bigEndian ? width - 1 - i : i);
        m_position[i] = std::uint8_t(value >> shift);
    }
    m_position += width;
    return NoError;
}

int TermStreamWriter::writeTagged(std::uint8_t tag, std::size_t width, std::uint64_t value)
{
    if (m_error != NoError)
        return m_error;
    if (remaining() < 1 + width)
        return fail(ErrorNoRoom);
    *m_position++ = tag;
    return writeRaw(width, false, value);
}

int TermStreamWriter::writeRaw24(bool bigEndian, std::uint32_t value)
{
    if (m_error != NoError)
        return m_error;
    if (value > 0xFFFFFF)
        return fail(ErrorValueTooLarge);
    return writeRaw(3, bigEndian, value);
}

void TermStreamWriter::writeBytes(const void* data, std::size_t length)
{
    if (length > 0) {
        std::memcpy(m_position, data, length);
        m_position += length;
    }
}

int TermStreamWriter::writeU8(std::uint8_t value) { return writeTagged(TagU8, 1, value); }
int TermStreamWriter::writeU16(std::uint16_t value) { return writeTagged(TagU16, 2, value); }
int TermStreamWriter::writeU32(std::uint32_t value) { return writeTagged(TagU32, 4, value); }
int TermStreamWriter::writeU64(std::uint64_t value) { return writeTagged(TagU64, 8, value); }
int TermStreamWriter::writeI64(std::int64_t value) { return writeTagged(TagI64, 8, std::uint64_t(value)); }
int TermStreamWriter::writeSmallCount(std::uint8_t count) { return writeTagged(TagSmallCount, 1, count); }
int TermStreamWriter::writeListCount(std::uint32_t count) { return writeTagged(TagListCount, 4, count); }
int TermStreamWriter::writeMapCount(std::uint32_t count) { return writeTagged(TagMapCount, 4, count); }

int TermStreamWriter::writeRawU8(std::uint8_t value) { return writeRaw(1, false, value); }
int TermStreamWriter::writeRawU16(std::uint16_t value) { return writeRaw(2, false, value); }
int TermStreamWriter::writeRawU24(std::uint32_t value) { return writeRaw24(false, value); }
int TermStreamWriter::writeRawU32(std::uint32_t value) { return writeRaw(4, false, value); }
int TermStreamWriter::writeRawU64(std::uint64_t value) { return writeRaw(8, false, value); }
int TermStreamWriter::writeRawI64(std::int64_t value) { return writeRaw(8, false, std::uint64_t(value)); }
int TermStreamWriter::writeRawU16BE(std::uint16_t value) { return writeRaw(2, true, value); }
int TermStreamWriter::writeRawU24BE(std::uint32_t value) { return writeRaw24(true, value); }
int TermStreamWriter::writeRawU32BE(std::uint32_t value) { return writeRaw(4, true, value); }
int TermStreamWriter::writeRawU64BE(std::uint64_t value) { return writeRaw(8, true, value); }

int TermStreamWriter::writeString(const char* data, std::size_t length)
{
    if (m_error != NoError)
        return m_error;
    if (remaining() < 2)
        return fail(ErrorNoRoom);
    if (length > TermMaxStringLength)
        return fail(ErrorStringTooLong);
    std::size_t prefixWidth;
    std::uint32_t prefix;
    if (length < 0x80) {
        prefixWidth = 1;
        prefix = std::uint32_t(length);
    } else if (length < 0x4000) {
        prefixWidth = 2;
        prefix = std::uint32_t(length) | 0x8000;
    } else if (length < 0x200000) {
        prefixWidth = 3;
        prefix = std::uint32_t(length) | 0xC00000;
    } else {
        prefixWidth = 4;
        prefix = std::uint32_t(length) | 0xE0000000;
    }
    // Check the whole field first so that a string that does not fit leaves
    // nothing behind.
    if (remaining() - 1 < prefixWidth || remaining() - 1 - prefixWidth < length)
        return fail(ErrorNoRoom);
    *m_position++ = TagString;
    writeRaw(prefixWidth, true, prefix);
    writeBytes(data, length);
    return NoError;
}

int TermStreamWriter::writeString(std::string_view value)
{
    return writeString(value.data(), value.size());
}

int TermStreamWriter::writeBlob(const void* data, std::size_t length)
{
    if (m_error != NoError)
        return m_error;
    if (remaining() < 5 || remaining() - 5 < length || length > 0xFFFFFFFFu)
        return fail(ErrorNoRoom);
    *m_position++ = TagBlob;
    writeRaw(4, false, length);
    writeBytes(data, length);
    return NoError;
}

int TermStreamWriter::writeBlob(const std::vector<std::uint8_t>& value)
{
    return writeBlob(value.data(), value.size());
}

} // namespace com
