#pragma once

#include <cstdint>

namespace com {

// Tag bytes of TermStream fields. Each tagged field is the tag followed by a
// fixed-width little-endian value, or by a length and that many bytes.
enum TermTag : std::uint8_t {
    TagSmallCount = 4, // unsigned 8-bit count of the items that follow
    TagU8 = 5,
    TagU16 = 6,
    TagU32 = 7,
    TagU64 = 8,
    TagI64 = 12,
    TagString = 13,    // length prefix (1 to 4 bytes, big-endian) and the bytes
    TagListCount = 14, // unsigned 32-bit count
    TagBlob = 15,      // unsigned 32-bit little-endian length and the bytes
    TagMapCount = 16,  // unsigned 32-bit count
};

// Longest string a length prefix can describe.
constexpr std::uint32_t TermMaxStringLength = 0x0FFFFFFF;

} // namespace com
