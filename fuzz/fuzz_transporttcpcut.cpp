// Drives the TCP transport's stream cutting with arbitrary bytes arriving in
// arbitrary pieces, exactly as the receive loop does: append behind the held
// bytes, cut at most one pass worth of datagrams, move the tail to the
// front. Every datagram handed out must be a whole, well-formed one lying
// inside the bytes held, the walk must always make progress, and a broken
// header must end the stream.
#include "com/transport/datagramstream.h"
#include "com/transport/transporttcp.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose the piece sizes and the per-pass limit.
    const std::size_t pieceSeed = data[0];
    const int limit = 1 + data[1] % TransportTcp::MaxDatagramsPerPass;
    data += 2;
    size -= 2;

    constexpr std::size_t capacity = TransportTcp::RxBufferSize;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity]);
    std::size_t fill = 0;
    std::size_t offset = 0;
    std::size_t piece = 1 + pieceSeed * 37;
    std::size_t delivered = 0;

    while (offset < size || fill > 0) {
        const std::size_t room = capacity - fill;
        const std::size_t take = std::min({piece, size - offset, room});
        std::memcpy(buffer.get() + fill, data + offset, take);
        fill += take;
        offset += take;
        piece = 1 + (piece * 131 + 7) % 4099;

        const unsigned char* begin = buffer.get();
        const unsigned char* end = begin + fill;
        const com::DatagramCut cut = com::cutSealedDatagrams(
            buffer.get(), fill, limit, [&](crypto::KeyId keyId, const unsigned char* datagram, std::size_t length) {
                check(datagram >= begin && datagram + length <= end);
                check(length >= crypto::SessionOverhead);
                check(keyId == crypto::MsgPublicKeyId
                      || (keyId >= crypto::MinSessionKeyId && keyId <= crypto::MaxSessionKeyId));
                if (keyId == crypto::MsgPublicKeyId)
                    check(length >= crypto::PublicKeyOverhead);
                crypto::KeyId again = 0;
                unsigned long long stated = 0;
                check(crypto::checkEncryptedMessage(datagram, length, &again, &stated) == crypto::CheckMsgOk);
                check(again == keyId && stated == length);
                ++delivered;
                return true;
            });
        check(cut.consumed <= fill);
        check(cut.datagrams <= limit);
        if (cut.status == com::DatagramCut::Broken) {
            check(cut.checkResult != crypto::CheckMsgOk && cut.checkResult != crypto::CheckMsgIncomplete);
            return 0;
        }
        check(cut.status == com::DatagramCut::Ok);
        std::memmove(buffer.get(), buffer.get() + cut.consumed, fill - cut.consumed);
        fill -= cut.consumed;
        // Nothing more will come and nothing could be cut: the rest is an
        // incomplete datagram, never longer than the largest one.
        if (offset == size && cut.datagrams == 0) {
            check(fill < crypto::MaxDatagramBytes);
            break;
        }
    }
    return 0;
}
