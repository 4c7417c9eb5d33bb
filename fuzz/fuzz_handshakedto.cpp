// Parses arbitrary bytes as a received handshake record. Whatever is kept
// must be something a sender could have meant: at most 255 values, attributes
// with non-empty text keys and values, transports of a known type with a host
// and a port. An accepted record that carries a public key is written again;
// it must fit exactly the size the writer reports, fail one byte short, and
// read back as the same record with the writer's clock as its time.
#include "com/link/handshakedto.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr quint64 kClock = 0x00000000665F0A2Bull;

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkKept(const HandshakeDto& dto)
{
    check(dto.values.size() <= HandshakeDto::MaxValues);
    for (const auto& [key, value] : dto.attributes)
        check(!key.empty() && value.has_value() && !value->empty());
    for (const TransportDto& t : dto.transports) {
        const quint8 code = HandshakeDto::typeCode(t.type);
        check(code != HandshakeDto::TypeUnknown && HandshakeDto::typeName(code) == t.type);
        check(!t.host.isEmpty() && t.port != 0 && !t.uuid.isEmpty());
        check(t.stream == (code == HandshakeDto::TypeTcp || code == HandshakeDto::TypeOnion));
    }
}

bool sameTransports(const std::vector<TransportDto>& a, const std::vector<TransportDto>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].host != b[i].host || a[i].port != b[i].port
            || a[i].stream != b[i].stream)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A heap copy of exactly the input, so that any read past it is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    HandshakeDto dto;
    const int rc = dto.parse(input.data(), input.size());
    check(rc == HandshakeDto::ParseOk || rc == HandshakeDto::ParseFailed);
    checkKept(dto);
    if (rc != HandshakeDto::ParseOk || !dto.hasPublicKey())
        return 0;

    // Hosts that were not valid UTF-8 come back with replacement characters,
    // at most three bytes for each byte read.
    std::vector<quint8> out(3 * size + 256);
    std::size_t len = out.size();
    check(dto.serialize(out.data(), &len, kClock) == HandshakeDto::SerializeOk);
    check(len > 0 && len <= out.size());

    std::vector<quint8> exact(out.begin(), out.begin() + std::ptrdiff_t(len));
    std::size_t exactLen = exact.size();
    check(dto.serialize(exact.data(), &exactLen, kClock) == HandshakeDto::SerializeOk && exactLen == len);
    check(exact == std::vector<quint8>(out.begin(), out.begin() + std::ptrdiff_t(len)));
    std::vector<quint8> shortBuffer(len - 1);
    std::size_t shortLen = shortBuffer.size();
    check(dto.serialize(shortBuffer.data(), &shortLen, kClock) == HandshakeDto::SerializeWriteFailed);
    check(shortLen <= shortBuffer.size());

    HandshakeDto back;
    check(back.parse(exact.data(), exact.size()) == HandshakeDto::ParseOk);
    check(back.flags == dto.flags && back.values == dto.values && back.publicKey == dto.publicKey);
    check(back.attributes == dto.attributes);
    check(back.time == kClock && back.session == dto.session && back.keyId == dto.keyId);
    check(back.sessionKey == dto.sessionKey);
    check(sameTransports(back.transports, dto.transports));
    return 0;
}
