#pragma once

#include "com/wire/termtag.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace com {

// Writes TermStream fields into a caller's buffer of fixed size. The first
// error sticks: every later write returns it and writes nothing. A write
// never touches memory outside [buffer, buffer + capacity).
class TermStreamWriter
{
public:
    enum Error {
        NoError = 0,
        ErrorStringTooLong = 1, // string longer than 0x0FFFFFFF bytes
        ErrorValueTooLarge = 2, // value does not fit in 24 bits
        ErrorNoRoom = 3,        // not enough room left in the buffer
    };

    TermStreamWriter(void* buffer, std::size_t capacity);

    // Tagged fields; each returns the error code (0 on success).
    int writeU8(std::uint8_t value);
    int writeU16(std::uint16_t value);
    int writeU32(std::uint32_t value);
    int writeU64(std::uint64_t value);
    int writeI64(std::int64_t value);
    int writeSmallCount(std::uint8_t count);
    int writeListCount(std::uint32_t count);
    int writeMapCount(std::uint32_t count);

    // A failed string write may leave its tag and prefix behind; treat any
    // error as failure of the whole message.
    int writeString(const char* data, std::size_t length);
    int writeString(std::string_view value);
    // A blob is written whole or not at all.
    int writeBlob(const void* data, std::size_t length);
    int writeBlob(const std::vector<std::uint8_t>& value);

    // Untagged values.
    int writeRawU8(std::uint8_t value);
    int writeRawU16(std::uint16_t value);
    int writeRawU24(std::uint32_t value);
    int writeRawU32(std::uint32_t value);
    int writeRawU64(std::uint64_t value);
    int writeRawI64(std::int64_t value);
    int writeRawU16BE(std::uint16_t value);
    int writeRawU24BE(std::uint32_t value);
    int writeRawU32BE(std::uint32_t value);
    int writeRawU64BE(std::uint64_t value);

    std::size_t size() const { return std::size_t(m_position - m_begin); }
    std::size_t remaining() const { return std::size_t(m_end - m_position); }
    std::size_t capacity() const { return std::size_t(m_end - m_begin); }
    bool hasError() const { return m_error != NoError; }
    int error() const { return m_error; }
    // Records code unless an error is already set (the first one stays).
    void setError(int code);

    // Moves the position to begin + offset when offset is at most the
    // capacity; otherwise returns false and changes nothing. Frame writers go
    // back to fill in a length field and then return to the end, which may be
    // exactly the end of the buffer. Does not touch the error.
    bool seek(std::size_t offset);

private:
    // Sets code, which no error may be set before, and returns it.
    int fail(int code);
    int writeTagged(std::uint8_t tag, std::size_t width, std::uint64_t value);
    int writeRaw(std::size_t width, bool bigEndian, std::uint64_t value);
    // Fails a value above 24 bits.
    int writeRaw24(bool bigEndian, std::uint32_t value);
    // Copies bytes the caller has made room for.
    void writeBytes(const void* data, std::size_t length);

    std::uint8_t* m_begin;
    std::uint8_t* m_position;
    std::uint8_t* m_end;
    int m_error = NoError;
};

} // namespace com
