#pragma once

#include "crypto/crypto.h"

#include <cstddef>

namespace com {

// The outcome of cutting sealed datagrams off the front of a byte stream.
struct DatagramCut
{
    enum Status {
        // Every whole datagram up to the limit was delivered; the bytes left
        // are the start of the next one (or the limit was reached).
        Ok = 0,
        // A header that can never start a datagram: a key id outside 0 and
        // 10 to 127, or a stated length below the smallest datagram of its
        // kind (30 bytes for a session, 74 for a public-key datagram). The
        // stream has lost its place; nothing behind it can be trusted.
        Broken = 1,
        // The sink asked to stop (the receiver closed the connection).
        Stopped = 2,
    };

    std::size_t consumed = 0; // bytes of the datagrams delivered
    int datagrams = 0;        // datagrams delivered
    int status = Ok;
    int checkResult = crypto::CheckMsgOk; // the header check that broke the stream
};

// A TCP stream is a plain concatenation of sealed datagrams, each stating
// its own total length in its header. Hands every whole datagram at the
// front of buf[0, fill) to sink(keyId, datagram, length), at most
// maxDatagrams of them, in place and without copying. The sink returns false
// to stop at once (the buffer may be gone). A partial datagram at the end is
// left alone: consumed says where it starts.
template <typename Sink>
DatagramCut cutSealedDatagrams(const unsigned char* buf, std::size_t fill, int maxDatagrams, Sink&& sink)
{
    DatagramCut cut;
    while (cut.datagrams < maxDatagrams && cut.consumed < fill) {
        const unsigned char* at = buf + cut.consumed;
        const std::size_t held = fill - cut.consumed;
        crypto::KeyId keyId = 0;
        unsigned long long length = 0;
        const int check = crypto::checkEncryptedMessage(at, held, &keyId, &length);
        if (check == crypto::CheckMsgIncomplete)
            break;
        // The header check already refuses lengths below the smallest
        // datagram; the second test keeps the walk safe should that ever
        // change, because a length of 0 would never move on.
        if (check != crypto::CheckMsgOk || length < crypto::SessionOverhead || length > held) {
            cut.status = DatagramCut::Broken;
            cut.checkResult = check != crypto::CheckMsgOk ? check : crypto::CheckMsgInvalidLength;
            return cut;
        }
        cut.consumed += std::size_t(length);
        ++cut.datagrams;
        if (!sink(keyId, at, std::size_t(length))) {
            cut.status = DatagramCut::Stopped;
            return cut;
        }
    }
    return cut;
}

} // namespace com
