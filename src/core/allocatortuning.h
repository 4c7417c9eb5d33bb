#pragma once

// How the C library's allocator keeps freed memory, set once at start-up.
//
// A copy passes several hundred megabytes a second through blocks of up to
// a few hundred kilobytes (socket reads, messages, file blocks) that the io
// thread allocates and frees at once. By default the allocator hands the
// top of a thread's heap back to the kernel as soon as 128 KiB of it are
// free, and maps blocks above 128 KiB on their own, adjusting both limits
// only after it has freed such a block. Until then every block came back
// as fresh pages: a page fault for each page written and a TLB flush on
// every processor for each return, which doubled the receiving side's
// processor time of the first copy after start-up and halved its speed.
// Fixed limits keep up to a few megabytes per heap for reuse instead.
class AllocatorTuning
{
public:
    // Blocks of this size and more are mapped on their own.
    static constexpr int MapThresholdBytes = 4 * 1024 * 1024;
    // Free memory at the top of a heap beyond this goes back to the kernel.
    static constexpr int TrimThresholdBytes = 16 * 1024 * 1024;

    // Applies both limits unless the user set them through the C library's
    // environment variables. An allocator without them (another C library,
    // a sanitizer's) is left as it is: this is about speed only.
    static void apply();
};
