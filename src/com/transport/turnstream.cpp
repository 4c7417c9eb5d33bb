#include "com/transport/turnstream.h"

#include <algorithm>
#include <cstring>

namespace com {

namespace {

std::size_t padded(std::size_t length)
{
    return (length + 3) & ~std::size_t(3);
}

} // namespace

TurnStream::TurnStream() = default;

TurnStream::~TurnStream() = default;

TurnStream::Frame TurnStream::frameAt(const quint8* data, std::size_t size)
{
    Frame frame;
    if (!data || size < 4)
        return frame;
    const quint16 first = quint16((data[0] << 8) | data[1]);
    const quint16 length = quint16((data[2] << 8) | data[3]);
    frame.length = length;
    std::size_t whole = 0;
    if (first < MinChannel) {
        // STUN lengths count whole padded attributes.
        if (length % 4 != 0) {
            frame.kind = Frame::Broken;
            return frame;
        }
        whole = StunHeaderBytes + length;
        frame.kind = Frame::Stun;
    } else if (first <= MaxChannel) {
        whole = ChannelDataHeaderBytes + padded(length);
        frame.kind = Frame::ChannelData;
    } else {
        frame.kind = Frame::Broken;
        return frame;
    }
    frame.size = whole;
    if (size < whole)
        frame.kind = Frame::Incomplete;
    return frame;
}

std::size_t TurnStream::channelDataSize(std::size_t length)
{
    return ChannelDataHeaderBytes + padded(length);
}

std::size_t TurnStream::writeChannelData(quint16 channel, const quint8* payload, std::size_t length, quint8* out)
{
    if (!out || channel < MinChannel || channel > MaxChannel || length > 0xFFFF || (length > 0 && !payload))
        return 0;
    out[0] = quint8(channel >> 8);
    out[1] = quint8(channel);
    out[2] = quint8(length >> 8);
    out[3] = quint8(length);
    if (length > 0)
        std::memcpy(out + ChannelDataHeaderBytes, payload, length);
    const std::size_t whole = channelDataSize(length);
    std::memset(out + ChannelDataHeaderBytes + length, 0, whole - ChannelDataHeaderBytes - length);
    return whole;
}

void TurnStream::ensureBuffer()
{
    if (!m_buffer) {
        m_buffer.reset(new quint8[Capacity]);
        m_fill = 0;
    }
}

std::size_t TurnStream::append(const quint8* data, std::size_t size)
{
    if (!data || size == 0)
        return 0;
    ensureBuffer();
    const std::size_t take = std::min(size, freeSpace());
    std::memcpy(m_buffer.get() + m_fill, data, take);
    m_fill += take;
    return take;
}

quint8* TurnStream::writePointer()
{
    ensureBuffer();
    return m_buffer.get() + m_fill;
}

void TurnStream::commit(std::size_t size)
{
    m_fill += std::min(size, freeSpace());
}

TurnStream::Frame TurnStream::front() const
{
    return frameAt(m_buffer.get(), m_fill);
}

void TurnStream::consume(std::size_t size)
{
    size = std::min(size, m_fill);
    if (size == 0)
        return;
    const std::size_t rest = m_fill - size;
    if (rest > 0)
        std::memmove(m_buffer.get(), m_buffer.get() + size, rest);
    m_fill = rest;
}

void TurnStream::clear()
{
    m_fill = 0;
}

void TurnStream::release()
{
    m_buffer.reset();
    m_fill = 0;
}

} // namespace com
