#include "com/wire/circularbuffer.h"

#include "com/wire/termstreamreader.h"

#include <cstring>

namespace {
constexpr std::size_t HeaderPeekSize = 5;
}

CircularBuffer::CircularBuffer(std::size_t capacity)
    : m_data(new std::uint8_t[capacity > 0 ? capacity : 1])
    , m_capacity(capacity)
{
}

std::size_t CircularBuffer::usedLocked() const
{
    if (m_full)
        return m_capacity;
    if (m_head >= m_tail)
        return m_head - m_tail;
    return m_capacity + m_head - m_tail;
}

std::size_t CircularBuffer::used() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return usedLocked();
}

std::size_t CircularBuffer::freeRoom() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_capacity - usedLocked();
}

void CircularBuffer::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tail = m_head;
    m_full = false;
}

int CircularBuffer::push(const void* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (length > m_capacity - usedLocked())
        return 1;
    if (length == 0)
        return 0;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::size_t first = std::min(length, m_capacity - m_head);
    std::memcpy(m_data.get() + m_head, bytes, first);
    if (length > first)
        std::memcpy(m_data.get(), bytes + first, length - first);
    m_head = (m_head + length) % m_capacity;
    m_full = (m_head == m_tail);
    return 0;
}

// Copies count bytes starting offset bytes after the tail; the caller has
// checked that they are held.
void CircularBuffer::copyOut(std::size_t offset, std::uint8_t* out, std::size_t count) const
{
    const std::size_t start = (m_tail + offset) % m_capacity;
    const std::size_t first = std::min(count, m_capacity - start);
    std::memcpy(out, m_data.get() + start, first);
    if (count > first)
        std::memcpy(out + first, m_data.get(), count - first);
}

std::size_t CircularBuffer::statedFrameLength(const std::uint8_t* data, std::size_t size, int* status)
{
    if (status)
        *status = FrameNone;
    if (!data || size < HeaderPeekSize)
        return 0;
    com::TermStreamReader reader(data, HeaderPeekSize);
    std::size_t length = 0;
    std::size_t headerSize = 0;
    if (data[0] == com::TagU32) {
        std::uint32_t value = 0;
        reader.readU32(value);
        length = value;
        headerSize = 5;
    } else if (data[0] == com::TagU16) {
        std::uint16_t value = 0;
        reader.readU16(value);
        length = value;
        headerSize = 3;
    }
    if (headerSize == 0 || length < headerSize) {
        if (status)
            *status = FrameBadHeader;
        return 0;
    }
    return length;
}

std::size_t CircularBuffer::frameLengthLocked(int& status) const
{
    status = FrameNone;
    if (usedLocked() < HeaderPeekSize)
        return 0;
    std::uint8_t header[HeaderPeekSize];
    copyOut(0, header, HeaderPeekSize);
    const std::size_t length = statedFrameLength(header, sizeof header, &status);
    if (length > m_capacity) {
        status = FrameTooLong;
        return 0;
    }
    return length;
}

std::size_t CircularBuffer::pendingFrameLength() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int status;
    return frameLengthLocked(status);
}

std::size_t CircularBuffer::takeFrame(std::uint8_t* output, std::size_t outputCapacity, int* status)
{
    return takeFrameInto(outputCapacity, status, [output](std::size_t) { return output; });
}

std::size_t CircularBuffer::takeFrame(std::vector<std::uint8_t>& output, std::size_t maxLength, int* status)
{
    return takeFrameInto(maxLength, status, [&output](std::size_t length) {
        output.resize(length);
        return output.data();
    });
}

template<typename Place>
std::size_t CircularBuffer::takeFrameInto(std::size_t outputCapacity, int* status, Place place)
{
    int result = FrameNone;
    std::size_t taken = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t length = frameLengthLocked(result);
        if (result == FrameBadHeader || result == FrameTooLong) {
            // Nothing behind a broken header can be framed again.
            m_tail = m_head;
            m_full = false;
        } else if (length > 0 && length <= usedLocked()) {
            std::uint8_t* output = length <= outputCapacity ? place(length) : nullptr;
            if (!output) {
                result = FrameOutputTooSmall;
            } else {
                copyOut(0, output, length);
                m_tail = (m_tail + length) % m_capacity;
                m_full = false;
                taken = length;
            }
        }
    }
    if (status)
        *status = result;
    return taken;
}
