#pragma once

#include <QByteArray>

#include <cstddef>

namespace crypto {

constexpr std::size_t Sha1Bytes = 20;

// SHA-1 of len bytes at data into out (20 bytes), computed by libcrypto,
// which uses the processor's SHA extensions where it has them. Safe to call
// from any thread. Returns false only for a null data with a length (out is
// then zeroed).
bool sha1(const void* data, std::size_t len, unsigned char* out);
// The same, as a 20-byte array (empty on failure).
QByteArray sha1(const QByteArray& data);

} // namespace crypto
