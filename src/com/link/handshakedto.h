#pragma once

#include "core/transportdto.h"
#include "crypto/crypto.h"

#include <QMetaType>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class Endpoint;

// The record two peers exchange, sealed for the other's public key, to set
// up a link: who the sender is, how the receiver is to send to it (its KCP
// session id, receive key id and receive session key) and where it can be
// reached.
//
// Wire form, TermStream fields in this order:
//   u8 0x40 (control channel), u8 0 (handshake),
//   u32 flags,
//   small count n, then n u16 values,
//   blob public key (32 bytes),
//   map count m, then per attribute a string key and a string value,
//   u64 the writer's clock in seconds since the epoch,
//   u32 session, u8 key id, blob session key (32 bytes),
//   list count t, then per transport: small count 3, u8 type code,
//   string host (UTF-8), u16 port.
// Type codes: tcp 1, udp 2, onion 4, turn 8; any other type is written as 0
// and dropped by the reader.
struct HandshakeDto
{
    enum SerializeResult : quint32 {
        SerializeOk = 0,
        SerializeNoPublicKey = 3, // the public key is all zero; nothing written
        SerializeWriteFailed = 4, // buffer too small or a value the wire cannot carry
    };
    enum ParseResult : int {
        ParseOk = 0,
        ParseFailed = 1, // not a handshake, malformed or cut short
    };

    static constexpr std::size_t KeyBytes = 32;
    // The values travel with an 8-bit count.
    static constexpr std::size_t MaxValues = 255;

    enum TransportTypeCode : quint8 {
        TypeUnknown = 0,
        TypeTcp = 1,
        TypeUdp = 2,
        TypeOnion = 4,
        TypeTurn = 8,
    };

    // Attribute keys in byte-wise ascending order; a key may have no value.
    using Attributes = std::map<std::string, std::optional<std::string>>;

    quint32 flags = 0;
    std::vector<quint16> values; // at most MaxValues
    std::array<quint8, KeyBytes> publicKey{};
    Attributes attributes;
    quint64 time = 0; // seconds since the epoch
    quint32 session = 0;
    crypto::KeyId keyId = 0;
    std::array<quint8, KeyBytes> sessionKey{};
    std::vector<TransportDto> transports;

    HandshakeDto();
    // An empty record that carries the endpoint's receive key id and key and
    // its own public key.
    explicit HandshakeDto(const Endpoint& endpoint);
    HandshakeDto(const HandshakeDto&) = default;
    HandshakeDto(HandshakeDto&&) = default;
    HandshakeDto& operator=(const HandshakeDto&) = default;
    HandshakeDto& operator=(HandshakeDto&&) = default;
    // Wipes the session key.
    ~HandshakeDto();

    // Writes the wire form into buf, whose capacity is *len on entry; *len is
    // the size written on return. Returns a SerializeResult; only
    // SerializeOk leaves a record that may be sent. The time field of the
    // record is not written: the wire carries the current clock.
    quint32 serialize(quint8* buf, std::size_t* len) const;
    // As above with the clock reading given.
    quint32 serialize(quint8* buf, std::size_t* len, quint64 nowSeconds) const;

    // Replaces the record with the one in data (a received public-key
    // message, channel and type included). Returns a ParseResult; on failure
    // the fields read before the fault stay.
    int parse(const quint8* data, std::size_t len);

    bool hasPublicKey() const;

    // Maps between transport types ("tcp", ...) and their codes on the wire.
    static quint8 typeCode(const QString& type);
    static QString typeName(quint8 code);

    // Registers the meta-type "HandshakeDto" for queued connections. Both
    // constructors call it; safe to call from any thread, any number of times.
    static void registerMetaType();

    bool operator==(const HandshakeDto& o) const;
    bool operator!=(const HandshakeDto& o) const { return !(*this == o); }
};

Q_DECLARE_METATYPE(HandshakeDto)
