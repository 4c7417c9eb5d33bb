// Walks the attributes of arbitrary bytes read as a STUN message and decodes
// every address and error code on the way. Every attribute handed out must
// lie inside the bytes, the walk must move forward, and whatever decodes as
// an address must encode back to a value that decodes to the same address.
#include "com/transport/stunmessage.h"
#include "com/transport/stunmessagewriter.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    com::StunMessage m(data, size);
    if (!m.isValid())
        return 0;
    check(size >= com::StunMessage::HeaderSize);
    com::StunMessage::Attribute a;
    std::size_t last = 0;
    while (m.nextAttribute(a)) {
        check(a.offset > last || last == 0);
        check(a.offset >= com::StunMessage::HeaderSize);
        last = a.offset;
        check(a.value == data + a.offset + com::StunMessage::AttributeHeaderSize);
        check(a.offset + com::StunMessage::AttributeHeaderSize + a.length <= size);
        for (bool xored : {false, true}) {
            QHostAddress host;
            std::uint16_t port = 0;
            if (!m.readAddress(a, xored, host, port))
                continue;
            std::uint8_t out[64];
            com::StunMessageWriter w(out, sizeof out, m.type(), m.transactionId());
            check(w.addAddress(a.type, host, port, xored));
            com::StunMessage back(out, w.size());
            com::StunMessage::Attribute b;
            check(back.nextAttribute(b));
            QHostAddress host2;
            std::uint16_t port2 = 0;
            check(back.readAddress(b, xored, host2, port2));
            check(host2 == host && port2 == port);
        }
        int code = 0;
        std::string reason;
        if (com::StunMessage::readErrorCode(a, code, reason))
            check(code >= 300 && code <= 699 && reason.size() + 4 == a.length);
    }
    return 0;
}
