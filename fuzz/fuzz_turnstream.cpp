// Drives the TURN stream framing with arbitrary bytes arriving in arbitrary
// pieces, as the relay transport does: append what fits, take whole messages
// off the front, read every STUN message in full. Every message handed out
// must lie inside the bytes held and be as long as its header says, the
// walk must always make progress, and a broken front must end the stream.
#include "com/transport/transportturn.h"
#include "com/transport/turnstream.h"

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    std::size_t piece = 1 + std::size_t(data[0]) * 53;
    ++data;
    --size;

    com::TurnStream stream;
    std::size_t offset = 0;
    while (offset < size || stream.size() > 0) {
        const std::size_t before = stream.size();
        const std::size_t take = std::min(piece, size - offset);
        const std::size_t taken = stream.append(data + offset, take);
        check(taken <= take && stream.size() == before + taken && stream.size() <= com::TurnStream::Capacity);
        offset += taken;
        piece = 1 + (piece * 131 + 7) % 70001;

        bool progress = taken > 0;
        for (;;) {
            const com::TurnStream::Frame f = stream.front();
            if (f.kind == com::TurnStream::Frame::Broken)
                return 0;
            if (f.kind == com::TurnStream::Frame::Incomplete) {
                // Every message fits the buffer, so a full buffer is never
                // merely incomplete.
                check(stream.freeSpace() > 0 || stream.size() < 4);
                break;
            }
            check(f.size >= 4 && f.size <= stream.size() && f.size % 4 == 0);
            if (f.kind == com::TurnStream::Frame::Stun) {
                check(f.size == com::TurnStream::StunHeaderBytes + f.length);
                const TransportTurn::Answer a = TransportTurn::readAnswer(stream.data(), f.size);
                if (a.valid)
                    check(a.nonce.size() <= int(f.size) && a.realm.size() <= int(f.size));
            } else {
                check(f.size == com::TurnStream::channelDataSize(f.length));
            }
            stream.consume(f.size);
            progress = true;
        }
        if (offset == size && !progress)
            break;
    }
    return 0;
}
