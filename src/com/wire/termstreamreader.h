#pragma once

#include "com/wire/termtag.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace com {

// Reads TermStream fields from a byte range it does not own. The first error
// sticks: every later read returns it and moves nothing, so a message can be
// decoded as a run of reads and judged once by the final code. Nothing is
// allocated except by the readers into std::string and std::vector.
class TermStreamReader
{
public:
    enum Error {
        NoError = 0,
        ErrorWrongTag = 1,       // the tag is not the one asked for
        ErrorShort = 2,          // fewer bytes remain than the field needs
        ErrorBadLength = 3,      // invalid string length prefix
        ErrorBufferTooSmall = 4, // caller's buffer cannot hold string and terminator
    };

    TermStreamReader(const void* data, std::size_t size);

    // Tagged fields; each returns the error code (0 on success).
    int readU8(std::uint8_t& value);
    int readU16(std::uint16_t& value);
    int readU32(std::uint32_t& value);
    int readU64(std::uint64_t& value);
    int readU64(unsigned long long& value);
    int readI64(std::int64_t& value);
    int readI64(long long& value);
    int readSmallCount(std::uint8_t& count);
    int readListCount(std::uint32_t& count);
    int readMapCount(std::uint32_t& count);

    // Copies the string and a terminating 0 into buffer; count receives the
    // bytes written including the terminator. buffer[0] is set to 0 first
    // whenever capacity is at least 1.
    int readString(char* buffer, std::size_t capacity, std::size_t& count);
    // Replaces the content of value on success; leaves it alone on error.
    int readString(std::string& value);
    // Resizes value to the blob's length and fills it; leaves it alone on error.
    int readBlob(std::vector<std::uint8_t>& value);

    // Untagged values.
    int readRawU8(std::uint8_t& value);
    int readRawU16(std::uint16_t& value);
    int readRawU24(std::uint32_t& value);
    int readRawU32(std::uint32_t& value);
    int readRawU64(std::uint64_t& value);
    int readRawU64(unsigned long long& value);
    int readRawI64(std::int64_t& value);
    int readRawI64(long long& value);
    int readRawU16BE(std::uint16_t& value);
    int readRawU24BE(std::uint32_t& value);
    int readRawU32BE(std::uint32_t& value);
    int readRawU64BE(std::uint64_t& value);
    int readRawU64BE(unsigned long long& value);

    // Decodes a string length prefix at the current position.
    int readLength(std::uint32_t& length);

    // The next byte without consuming it; -1 when an error is set or no byte
    // remains.
    int peekTag() const;

    std::size_t consumed() const { return std::size_t(m_position - m_begin); }
    std::size_t remaining() const { return std::size_t(m_end - m_position); }
    std::size_t size() const { return std::size_t(m_end - m_begin); }
    bool hasError() const { return m_error != NoError; }
    int error() const { return m_error; }
    // Records code unless an error is already set (the first one stays).
    void setError(int code);

    // Moves the position to begin + offset when offset does not pass the end;
    // otherwise returns false and changes nothing. Does not touch the error.
    bool seek(std::size_t offset);

private:
    // Sets code, which no error may be set before, and returns it.
    int fail(int code);
    // Consumes the tag byte of a field that needs at least need bytes with
    // its tag; fails unless they remain and the tag is the expected one.
    int readTag(std::uint8_t tag, std::size_t need);
    // The tag and length prefix of a string whose bytes all remain.
    int readStringHead(std::uint32_t& length);
    int readTagged(std::uint8_t tag, std::size_t width, std::uint64_t& value);
    int readRaw(std::size_t width, bool bigEndian, std::uint64_t& value);

    const std::uint8_t* m_begin;
    const std::uint8_t* m_position;
    const std::uint8_t* m_end;
    int m_error = NoError;
};

} // namespace com
