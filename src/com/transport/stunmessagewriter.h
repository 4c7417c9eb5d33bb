#pragma once

#include "com/transport/stunmessage.h"

#include <QByteArray>
#include <QHostAddress>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace com {

// Writes one STUN message into a caller's buffer of fixed size: the header,
// then attributes padded with zeros to a multiple of 4. The header's length
// always counts every attribute written so far. The first error sticks and
// nothing is ever written outside the buffer.
class StunMessageWriter
{
public:
    enum Error {
        NoError = 0,
        ErrorNoRoom = 1,   // the buffer cannot hold the header or attribute
        ErrorTooLong = 2,  // the attributes would pass 65535 bytes
        ErrorBadValue = 3, // an address or error code that cannot be written
    };

    StunMessageWriter(void* buffer, std::size_t capacity, std::uint16_t type,
                      const StunMessage::TransactionId& transactionId);

    // Fills id with fresh random bytes.
    static void randomTransactionId(StunMessage::TransactionId& id);

    // Appends an attribute and returns its value, length bytes of zeros for
    // the caller to fill; nullptr on error.
    std::uint8_t* reserveAttribute(std::uint16_t type, std::size_t length);
    bool addAttribute(std::uint16_t type, const void* value, std::size_t length);
    bool addU32(std::uint16_t type, std::uint32_t value);
    // An address as StunMessage::readAddress reads it.
    bool addAddress(std::uint16_t type, const QHostAddress& address, std::uint16_t port, bool xored);
    // An ERROR-CODE value; code must lie in 300 to 699.
    bool addErrorCode(int code, std::string_view reason);
    // MESSAGE-INTEGRITY: HMAC-SHA1 with key over the message before it, the
    // header's length already counting its 24 bytes.
    bool addMessageIntegrity(const QByteArray& key);
    // The key of long-term credentials: MD5 of "user:realm:password".
    static QByteArray longTermKey(const QByteArray& user, const QByteArray& realm, const QByteArray& password);

    std::uint8_t* data() const { return m_begin; }
    std::size_t size() const { return m_size; }
    bool hasError() const { return m_error != NoError; }
    int error() const { return m_error; }

private:
    void fail(int code);

    std::uint8_t* m_begin;
    std::size_t m_capacity;
    std::size_t m_size = 0;
    StunMessage::TransactionId m_transactionId;
    int m_error = NoError;
};

} // namespace com
