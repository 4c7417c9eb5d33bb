#pragma once

#include <QtGlobal>

#include <cstddef>
#include <memory>

namespace com {

// The bytes of a TURN connection over TLS: STUN messages (20-byte header)
// and ChannelData messages (4-byte header) back to back, each padded to a
// multiple of 4 bytes.
//
// The receive side holds the bytes of the stream only (datagrams never mix
// in), in a buffer large enough for the largest message either kind can
// state, so that every well-formed message fits. Callers append no more than
// freeSpace() and take whole messages off the front.
class TurnStream
{
public:
    static constexpr std::size_t StunHeaderBytes = 20;
    static constexpr std::size_t ChannelDataHeaderBytes = 4;
    // The largest STUN message: a length field of 65532 (a multiple of 4).
    static constexpr std::size_t MaxStunBytes = StunHeaderBytes + 65532;
    // The largest ChannelData message: 65535 payload bytes and 1 of padding.
    static constexpr std::size_t MaxChannelDataBytes = ChannelDataHeaderBytes + 65536;
    static constexpr std::size_t Capacity = MaxChannelDataBytes > MaxStunBytes ? MaxChannelDataBytes : MaxStunBytes;
    static constexpr quint16 MinChannel = 0x4000;
    static constexpr quint16 MaxChannel = 0x7FFF;

    struct Frame
    {
        enum Kind {
            // Fewer bytes than the message at the front states.
            Incomplete = 0,
            Stun = 1,
            ChannelData = 2,
            // The front can start no message: a first u16 of 0x8000 or above
            // (neither STUN nor a channel number), or a STUN length that is
            // not a multiple of 4. The stream has lost its place.
            Broken = 3,
        };
        int kind = Incomplete;
        // For Stun and ChannelData: the whole message with its padding.
        std::size_t size = 0;
        // The length field (STUN: after the header; ChannelData: the payload).
        quint16 length = 0;
    };

    TurnStream();
    ~TurnStream();

    TurnStream(const TurnStream&) = delete;
    TurnStream& operator=(const TurnStream&) = delete;

    // Looks at the first bytes of a stream: what message starts there and
    // how long it is. Needs at least 4 bytes to say more than Incomplete.
    static Frame frameAt(const quint8* data, std::size_t size);

    // Writes a ChannelData message (channel, length, payload, zero padding
    // to a multiple of 4) into out, which must hold channelDataSize(length)
    // bytes. Returns the bytes written, 0 when the channel number or length
    // cannot be sent.
    static std::size_t writeChannelData(quint16 channel, const quint8* payload, std::size_t length, quint8* out);
    static std::size_t channelDataSize(std::size_t length);

    std::size_t size() const { return m_fill; }
    std::size_t freeSpace() const { return Capacity - m_fill; }
    const quint8* data() const { return m_buffer.get(); }

    // Copies at most freeSpace() bytes behind the held ones; returns how
    // many were taken.
    std::size_t append(const quint8* data, std::size_t size);
    // Room for up to freeSpace() bytes behind the held ones; commit() says
    // how many were written there.
    quint8* writePointer();
    void commit(std::size_t size);

    // The message at the front of the held bytes.
    Frame front() const;
    // Removes size bytes from the front (at most all held).
    void consume(std::size_t size);
    void clear();
    // Clears and gives the memory back until bytes arrive again.
    void release();

private:
    void ensureBuffer();

    std::unique_ptr<quint8[]> m_buffer;
    std::size_t m_fill = 0;
};

} // namespace com
