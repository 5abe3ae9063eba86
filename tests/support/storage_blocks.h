// MultiPacketStorage blocks for tests: the frame count at offset 4, then records of a 16-bit little-endian
// length and the frame's bytes from offset 16.
#pragma once

#include <cstddef>
#include <vector>

#include "win32.h"

namespace storageblocks {

using Bytes = std::vector<unsigned char>;

// A block holding `frames`; `claimedCount` >= 0 writes another frame count than the records it holds.
inline Bytes Block(const std::vector<Bytes>& frames, int claimedCount = -1) {
    Bytes block(16, 0);
    unsigned count = claimedCount < 0 ? static_cast<unsigned>(frames.size()) : static_cast<unsigned>(claimedCount);
    for (int i = 0; i < 4; ++i) block[4 + i] = static_cast<unsigned char>(count >> (8 * i));
    for (const Bytes& frame : frames) {
        block.push_back(static_cast<unsigned char>(frame.size() & 0xFF));
        block.push_back(static_cast<unsigned char>(frame.size() >> 8));
        block.insert(block.end(), frame.begin(), frame.end());
    }
    return block;
}

// `length` bytes counting up from `first`.
inline Bytes Frame(size_t length, unsigned char first) {
    Bytes frame(length);
    for (size_t i = 0; i < length; ++i) frame[i] = static_cast<unsigned char>(first + i);
    return frame;
}

// `count` 4-byte frames carrying the numbers first, first + 1, ... (little-endian).
inline Bytes NumberedBlock(int first, int count) {
    std::vector<Bytes> frames;
    for (int n = first; n < first + count; ++n)
        frames.push_back({static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n >> 16),
                          static_cast<unsigned char>(n >> 24)});
    return Block(frames);
}

// A delivery sink that keeps the number a NumberedBlock frame carries in the int that `context` points to.
inline void RememberFrameNumber(void* context, const BYTE* data, LONG count) {
    if (count == 4) *static_cast<int*>(context) = data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24;
}

}  // namespace storageblocks
