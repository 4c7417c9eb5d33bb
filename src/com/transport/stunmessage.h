#pragma once

#include <QHostAddress>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace com {

// A read-only view of one STUN message (the format that STUN Binding and
// TURN share) in bytes the view does not own. The constructor checks the
// 20-byte header; nextAttribute() walks the attributes, each bounded by the
// stated message length and by the bytes actually held, so no hostile
// length leads a read past the end. The first error sticks.
class StunMessage
{
public:
    static constexpr std::uint32_t MagicCookie = 0x2112A442;
    static constexpr std::size_t HeaderSize = 20;
    static constexpr std::size_t TransactionIdSize = 12;
    static constexpr std::size_t AttributeHeaderSize = 4;

    using TransactionId = std::array<std::uint8_t, TransactionIdSize>;

    enum Method : std::uint16_t {
        MethodBinding = 0x0001,
        MethodAllocate = 0x0003,
        MethodRefresh = 0x0004,
        MethodChannelBind = 0x0009,
    };
    // The class bits of a message type; the method is what remains.
    static constexpr std::uint16_t ClassMask = 0x0110;
    static constexpr std::uint16_t MethodMask = 0x3EEF;
    enum MessageClass : std::uint16_t {
        ClassRequest = 0x0000,
        ClassIndication = 0x0010,
        ClassSuccess = 0x0100,
        ClassError = 0x0110,
    };

    enum AttributeType : std::uint16_t {
        AttrMappedAddress = 0x0001,
        AttrChangeRequest = 0x0003,
        AttrChangedAddress = 0x0005,
        AttrUsername = 0x0006,
        AttrMessageIntegrity = 0x0008,
        AttrErrorCode = 0x0009,
        AttrChannelNumber = 0x000C,
        AttrLifetime = 0x000D,
        AttrXorPeerAddress = 0x0012,
        AttrRealm = 0x0014,
        AttrNonce = 0x0015,
        AttrXorRelayedAddress = 0x0016,
        AttrRequestedTransport = 0x0019,
        AttrXorMappedAddress = 0x0020,
        AttrSoftware = 0x8022,
        AttrFingerprint = 0x8028,
        AttrOtherAddress = 0x802C,
    };

    enum Error {
        NoError = 0,
        ErrorShort = 1,              // fewer than 20 bytes
        ErrorNotStun = 2,            // a top bit of the type is set
        ErrorBadCookie = 3,          // the magic cookie is wrong
        ErrorTruncatedAttribute = 4, // an attribute does not fit what remains
    };

    // One attribute inside the viewed bytes; offset is where its header
    // starts, counted from the start of the message.
    struct Attribute
    {
        std::uint16_t type = 0;
        const std::uint8_t* value = nullptr;
        std::size_t length = 0;
        std::size_t offset = 0;
    };

    StunMessage(const void* data, std::size_t size);

    bool isValid() const { return m_error == NoError; }
    int error() const { return m_error; }
    std::uint16_t type() const { return m_type; }
    std::uint16_t method() const { return std::uint16_t(m_type & MethodMask); }
    std::uint16_t messageClass() const { return std::uint16_t(m_type & ClassMask); }
    // The length the header states (the attributes, without the header).
    std::uint16_t length() const { return m_length; }
    const TransactionId& transactionId() const { return m_transactionId; }
    const std::uint8_t* data() const { return m_data; }

    // Moves to the next attribute: false at the end or on an error.
    bool nextAttribute(Attribute& attribute);
    void rewind();

    // Reads an address value: u8 reserved, u8 family, u16 port, 4 (family 1)
    // or 16 (family 2) address bytes; xored undoes the XOR with the cookie
    // (and, for IPv6, the transaction id). False for any other shape.
    static bool readAddress(const Attribute& attribute, const TransactionId& transactionId, bool xored,
                            QHostAddress& address, std::uint16_t& port);
    bool readAddress(const Attribute& attribute, bool xored, QHostAddress& address, std::uint16_t& port) const
    {
        return readAddress(attribute, m_transactionId, xored, address, port);
    }
    // Reads an ERROR-CODE value: two reserved bytes, the class (3 to 6) and
    // the number (0 to 99), then the reason phrase. False for a value
    // shorter than 4 bytes or a code outside 300 to 699.
    static bool readErrorCode(const Attribute& attribute, int& code, std::string& reason);

private:
    const std::uint8_t* m_data;
    std::size_t m_end = 0;
    std::size_t m_position = HeaderSize;
    std::uint16_t m_type = 0;
    std::uint16_t m_length = 0;
    TransactionId m_transactionId{};
    int m_error = NoError;
};

} // namespace com
