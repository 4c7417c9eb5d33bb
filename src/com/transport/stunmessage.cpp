#include "com/transport/stunmessage.h"

#include <algorithm>

namespace com {

namespace {

std::uint16_t get16(const std::uint8_t* p)
{
    return std::uint16_t((p[0] << 8) | p[1]);
}

std::uint32_t get32(const std::uint8_t* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

} // namespace

StunMessage::StunMessage(const void* data, std::size_t size)
    : m_data(static_cast<const std::uint8_t*>(data))
{
    if (!m_data || size < HeaderSize) {
        m_error = ErrorShort;
        return;
    }
    m_type = get16(m_data);
    m_length = get16(m_data + 2);
    if (m_type & 0xC000) {
        m_error = ErrorNotStun;
        return;
    }
    if (get32(m_data + 4) != MagicCookie) {
        m_error = ErrorBadCookie;
        return;
    }
    std::copy(m_data + 8, m_data + HeaderSize, m_transactionId.begin());
    // A length stating more than is held leaves the attributes that fit.
    m_end = HeaderSize + std::min<std::size_t>(m_length, size - HeaderSize);
}

bool StunMessage::nextAttribute(Attribute& attribute)
{
    if (m_error != NoError || m_position >= m_end)
        return false;
    const std::size_t left = m_end - m_position;
    if (left < AttributeHeaderSize) {
        m_error = ErrorTruncatedAttribute;
        return false;
    }
    const std::uint8_t* at = m_data + m_position;
    const std::size_t length = get16(at + 2);
    if (length > left - AttributeHeaderSize) {
        m_error = ErrorTruncatedAttribute;
        return false;
    }
    attribute.type = get16(at);
    attribute.value = at + AttributeHeaderSize;
    attribute.length = length;
    attribute.offset = m_position;
    const std::size_t padded = (length + 3) & ~std::size_t(3);
    // The last attribute's padding may be cut off with the message.
    m_position += AttributeHeaderSize + std::min(padded, left - AttributeHeaderSize);
    return true;
}

void StunMessage::rewind()
{
    m_position = HeaderSize;
}

bool StunMessage::readAddress(const Attribute& attribute, const TransactionId& transactionId, bool xored,
                              QHostAddress& address, std::uint16_t& port)
{
    const std::uint8_t* v = attribute.value;
    if (!v || attribute.length < 4)
        return false;
    const std::uint16_t p = get16(v + 2);
    if (v[1] == 1 && attribute.length == 8) {
        const std::uint32_t ip = get32(v + 4);
        address = QHostAddress(xored ? ip ^ MagicCookie : ip);
        port = xored ? std::uint16_t(p ^ (MagicCookie >> 16)) : p;
        return true;
    }
    if (v[1] == 2 && attribute.length == 20) {
        Q_IPV6ADDR ip;
        for (int i = 0; i < 16; ++i)
            ip[i] = v[4 + i];
        if (xored) {
            const std::uint8_t cookie[4] = {0x21, 0x12, 0xA4, 0x42};
            for (int i = 0; i < 4; ++i)
                ip[i] ^= cookie[i];
            for (std::size_t i = 0; i < TransactionIdSize; ++i)
                ip[4 + i] ^= transactionId[i];
        }
        address = QHostAddress(ip);
        port = xored ? std::uint16_t(p ^ (MagicCookie >> 16)) : p;
        return true;
    }
    return false;
}

bool StunMessage::readErrorCode(const Attribute& attribute, int& code, std::string& reason)
{
    if (!attribute.value || attribute.length < 4)
        return false;
    const std::uint8_t* v = attribute.value;
    const int errorClass = v[2] & 0x07;
    const int number = v[3];
    if (errorClass < 3 || errorClass > 6 || number > 99)
        return false;
    code = errorClass * 100 + number;
    reason.assign(reinterpret_cast<const char*>(v + 4), attribute.length - 4);
    return true;
}

} // namespace com
