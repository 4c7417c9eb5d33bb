#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// Joins the byte stream of a reliable session into whole frames. A frame is
// a TermStream message whose first field, a u32 (tag 7) or u16 (tag 6),
// states the frame's total length including that field. Pieces are pushed
// as they arrive and whole frames are taken out one by one. Safe to use from
// several threads; storage is allocated once.
class CircularBuffer
{
public:
    enum FrameStatus {
        FrameNone = 0,          // a frame was returned, or no whole frame yet
        FrameBadHeader = 1,     // first byte not 6 or 7, or a stated length below the
                                // header's own size: the stream is broken and the
                                // buffer has been cleared
        FrameTooLong = 2,       // stated length above the buffer's capacity: the frame
                                // could never be completed; the buffer has been cleared
        FrameOutputTooSmall = 3 // the next frame is whole but longer than the output
                                // buffer offered; it stays (see pendingFrameLength)
    };

    explicit CircularBuffer(std::size_t capacity);
    CircularBuffer(const CircularBuffer&) = delete;
    CircularBuffer& operator=(const CircularBuffer&) = delete;

    // Stores all length bytes and returns 0, or stores nothing and returns 1
    // when they do not fit into the free room.
    int push(const void* data, std::size_t length);

    // Copies the oldest whole frame to output and removes it from the buffer;
    // returns its length, or 0 when no frame is returned. Call until it
    // returns 0. When status is given it receives a FrameStatus; a broken
    // stream is never left to block the buffer: it is cleared and reported.
    std::size_t takeFrame(std::uint8_t* output, std::size_t outputCapacity,
                          int* status = nullptr);
    // The same, into output resized to the frame; a frame longer than
    // maxLength stays as above (FrameOutputTooSmall). A vector kept from one
    // frame to the next holds its storage, so a frame is copied only once.
    std::size_t takeFrame(std::vector<std::uint8_t>& output, std::size_t maxLength,
                          int* status = nullptr);

    // The length a frame starting at data states, or 0: fewer than 5 bytes
    // given, or a header no frame has (status FrameBadHeader). Says nothing
    // of the capacity of any buffer.
    static std::size_t statedFrameLength(const std::uint8_t* data, std::size_t size, int* status = nullptr);

    // Empties the buffer.
    void clear();

    std::size_t capacity() const { return m_capacity; }
    std::size_t used() const;
    std::size_t freeRoom() const;
    // Length stated by the header of the oldest frame, 0 when fewer than 5
    // bytes are held or the header is not valid.
    std::size_t pendingFrameLength() const;

private:
    std::size_t usedLocked() const;
    void copyOut(std::size_t offset, std::uint8_t* out, std::size_t count) const;
    // 0: need more bytes; otherwise the stated length; sets status on a bad header.
    std::size_t frameLengthLocked(int& status) const;
    // Takes the oldest whole frame into place(length), which gives the
    // output or null.
    template<typename Place>
    std::size_t takeFrameInto(std::size_t outputCapacity, int* status, Place place);

    mutable std::mutex m_mutex;
    std::unique_ptr<std::uint8_t[]> m_data;
    std::size_t m_head = 0;
    std::size_t m_tail = 0;
    const std::size_t m_capacity;
    bool m_full = false;
};
