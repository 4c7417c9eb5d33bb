// Pushes arbitrary pieces into a small CircularBuffer and takes frames out
// with output buffers of arbitrary size, checking every result against a
// plain model of the byte stream: frames come out whole and in order, a
// refused push changes nothing, and a broken header clears the buffer.
#include "com/wire/circularbuffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

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
    const std::size_t capacity = 1 + (std::size_t(data[0]) | (std::size_t(data[1] & 0x03) << 8));
    CircularBuffer buffer(capacity);
    std::deque<std::uint8_t> model;
    std::vector<std::uint8_t> out(127 * 9);
    std::size_t pos = 2;
    while (pos < size) {
        const std::uint8_t control = data[pos++];
        if (control & 0x80) {
            // Push the next (control & 0x7F) bytes, or what is left.
            const std::size_t length = std::min<std::size_t>(control & 0x7F, size - pos);
            const int rc = buffer.push(data + pos, length);
            check(rc == (model.size() + length > capacity ? 1 : 0));
            if (rc == 0)
                model.insert(model.end(), data + pos, data + pos + length);
            pos += length;
        } else if (control == 0x7F) {
            buffer.clear();
            model.clear();
        } else {
            const std::size_t outCapacity = std::size_t(control) * 9;
            int status = -1;
            const std::size_t n = buffer.takeFrame(out.data(), outCapacity, &status);
            std::size_t expected = 0;
            int expectedStatus = CircularBuffer::FrameNone;
            if (model.size() >= 5) {
                std::size_t length = 0, header = 0;
                if (model[0] == 7) {
                    length = std::size_t(model[1]) | std::size_t(model[2]) << 8 |
                             std::size_t(model[3]) << 16 | std::size_t(model[4]) << 24;
                    header = 5;
                } else if (model[0] == 6) {
                    length = std::size_t(model[1]) | std::size_t(model[2]) << 8;
                    header = 3;
                }
                if (header == 0 || length < header) {
                    expectedStatus = CircularBuffer::FrameBadHeader;
                } else if (length > capacity) {
                    expectedStatus = CircularBuffer::FrameTooLong;
                } else if (length <= model.size()) {
                    if (length > outCapacity)
                        expectedStatus = CircularBuffer::FrameOutputTooSmall;
                    else
                        expected = length;
                }
            }
            check(status == expectedStatus);
            check(n == expected);
            for (std::size_t i = 0; i < n; ++i)
                check(out[i] == model[i]);
            model.erase(model.begin(), model.begin() + long(n));
            if (status == CircularBuffer::FrameBadHeader || status == CircularBuffer::FrameTooLong)
                model.clear();
        }
        check(buffer.used() == model.size());
        check(buffer.freeRoom() == capacity - model.size());
    }
    return 0;
}
