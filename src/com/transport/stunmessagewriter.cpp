#include "com/transport/stunmessagewriter.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace com {

namespace {

constexpr std::size_t kIntegrityBytes = 20;

void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = std::uint8_t(v >> 8);
    p[1] = std::uint8_t(v);
}

void put32(std::uint8_t* p, std::uint32_t v)
{
    put16(p, std::uint16_t(v >> 16));
    put16(p + 2, std::uint16_t(v));
}

} // namespace

StunMessageWriter::StunMessageWriter(void* buffer, std::size_t capacity, std::uint16_t type,
                                     const StunMessage::TransactionId& transactionId)
    : m_begin(static_cast<std::uint8_t*>(buffer))
    , m_capacity(buffer ? capacity : 0)
    , m_transactionId(transactionId)
{
    if (m_capacity < StunMessage::HeaderSize) {
        fail(ErrorNoRoom);
        return;
    }
    put16(m_begin, std::uint16_t(type & 0x3FFF));
    put16(m_begin + 2, 0);
    put32(m_begin + 4, StunMessage::MagicCookie);
    std::copy(transactionId.begin(), transactionId.end(), m_begin + 8);
    m_size = StunMessage::HeaderSize;
}

void StunMessageWriter::fail(int code)
{
    if (m_error == NoError)
        m_error = code;
}

std::uint8_t* StunMessageWriter::reserveAttribute(std::uint16_t type, std::size_t length)
{
    if (m_error != NoError)
        return nullptr;
    const std::size_t whole = StunMessage::AttributeHeaderSize + ((length + 3) & ~std::size_t(3));
    if (length > 0xFFFF || m_size - StunMessage::HeaderSize + whole > 0xFFFF) {
        fail(ErrorTooLong);
        return nullptr;
    }
    if (whole > m_capacity - m_size) {
        fail(ErrorNoRoom);
        return nullptr;
    }
    std::uint8_t* at = m_begin + m_size;
    put16(at, type);
    put16(at + 2, std::uint16_t(length));
    std::memset(at + StunMessage::AttributeHeaderSize, 0, whole - StunMessage::AttributeHeaderSize);
    m_size += whole;
    put16(m_begin + 2, std::uint16_t(m_size - StunMessage::HeaderSize));
    return at + StunMessage::AttributeHeaderSize;
}

bool StunMessageWriter::addAttribute(std::uint16_t type, const void* value, std::size_t length)
{
    std::uint8_t* v = reserveAttribute(type, length);
    if (!v)
        return false;
    if (length > 0)
        std::memcpy(v, value, length);
    return true;
}

bool StunMessageWriter::addU32(std::uint16_t type, std::uint32_t value)
{
    std::uint8_t* v = reserveAttribute(type, 4);
    if (!v)
        return false;
    put32(v, value);
    return true;
}

bool StunMessageWriter::addAddress(std::uint16_t type, const QHostAddress& address, std::uint16_t port, bool xored)
{
    if (m_error != NoError)
        return false;
    const std::uint16_t p = xored ? std::uint16_t(port ^ (StunMessage::MagicCookie >> 16)) : port;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        std::uint8_t* v = reserveAttribute(type, 8);
        if (!v)
            return false;
        v[1] = 1;
        put16(v + 2, p);
        const std::uint32_t ip = address.toIPv4Address();
        put32(v + 4, xored ? ip ^ StunMessage::MagicCookie : ip);
        return true;
    }
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        std::uint8_t* v = reserveAttribute(type, 20);
        if (!v)
            return false;
        v[1] = 2;
        put16(v + 2, p);
        const Q_IPV6ADDR ip = address.toIPv6Address();
        for (int i = 0; i < 16; ++i)
            v[4 + i] = ip[i];
        if (xored) {
            const std::uint8_t cookie[4] = {0x21, 0x12, 0xA4, 0x42};
            for (int i = 0; i < 4; ++i)
                v[4 + i] ^= cookie[i];
            for (std::size_t i = 0; i < StunMessage::TransactionIdSize; ++i)
                v[8 + i] ^= m_transactionId[i];
        }
        return true;
    }
    fail(ErrorBadValue);
    return false;
}

bool StunMessageWriter::addMessageIntegrity(const QByteArray& key)
{
    std::uint8_t* v = reserveAttribute(StunMessage::AttrMessageIntegrity, kIntegrityBytes);
    if (!v)
        return false;
    const std::size_t covered = m_size - StunMessage::AttributeHeaderSize - kIntegrityBytes;
    const QByteArray mac =
        QMessageAuthenticationCode::hash(QByteArray::fromRawData(reinterpret_cast<const char*>(m_begin), int(covered)),
                                         key, QCryptographicHash::Sha1);
    std::memcpy(v, mac.constData(), kIntegrityBytes);
    return true;
}

QByteArray StunMessageWriter::longTermKey(const QByteArray& user, const QByteArray& realm, const QByteArray& password)
{
    return QCryptographicHash::hash(user + ':' + realm + ':' + password, QCryptographicHash::Md5);
}

void StunMessageWriter::randomTransactionId(StunMessage::TransactionId& id)
{
    randombytes_buf(id.data(), id.size());
}

bool StunMessageWriter::addErrorCode(int code, std::string_view reason)
{
    if (m_error != NoError)
        return false;
    if (code < 300 || code > 699) {
        fail(ErrorBadValue);
        return false;
    }
    std::uint8_t* v = reserveAttribute(StunMessage::AttrErrorCode, 4 + reason.size());
    if (!v)
        return false;
    v[2] = std::uint8_t(code / 100);
    v[3] = std::uint8_t(code % 100);
    if (!reason.empty())
        std::memcpy(v + 4, reason.data(), reason.size());
    return true;
}

} // namespace com
