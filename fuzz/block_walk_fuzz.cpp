// The MultiPacketStorage block walk: arbitrary blocks and transfer counts, read from a scripted packet driver
// device by GetFrameFromDriver. Every delivered frame must be the one that a walk bounded by the transferred
// bytes finds (frameCount records from offset 16, the block ending at the first record that would run past
// its bytes), must lie inside those bytes, and must be copied no further than the maximum and buffer lengths.
#include <algorithm>
#include <cstring>
#include <vector>

#include "capture/capture_session.h"
#include "fuzz/fuzz_check.h"
#include "linux/testing.h"

namespace {

const char kDevice[] = "\\Device\\NetVorel_fuzz0";
constexpr size_t kReadBytes = MULTI_PACKET_STORAGE_SIZE;
constexpr size_t kHeaderBytes = STORAGE_HEADER_BYTES;
constexpr int kMostStalls = 1;         // empty and failed reads: each costs the delivery a 10 ms pause
constexpr int kMostLargeBlocks = 1;    // blocks of a chosen (up to full-size) transfer count
constexpr size_t kMostBlocks = 64;
constexpr uint8_t kEmptyRead = 0xE0, kFailedRead = 0xE1, kLargeBlock = 0xE3;
const unsigned char kEndFrame[] = {'E', 'N', 'D', '!'};

using Bytes = std::vector<unsigned char>;

struct ExpectedFrame {
    size_t block;   // index into the blocks queued
    size_t record;  // offset of the frame record in the block
    size_t length;
};

// The walk as it must be: frameCount records from offset 16, each inside the transferred bytes.
FUZZ_NO_COVERAGE void Walk(const Bytes& block, size_t index, std::vector<ExpectedFrame>& frames) {
    size_t transferred = std::min(block.size(), kReadBytes);
    if (transferred < kHeaderBytes) return;
    uint32_t count = block[4] | block[5] << 8 | block[6] << 16 | static_cast<uint32_t>(block[7]) << 24;
    size_t at = kHeaderBytes;
    for (uint32_t i = 0; i < count; ++i) {
        if (transferred - at < 2) return;
        size_t length = block[at] | block[at + 1] << 8;
        if (transferred - at - 2 < length) return;
        frames.push_back({index, at, length});
        at += 2 + length;
    }
}

Bytes EndBlock() {
    Bytes block(kHeaderBytes, 0);
    block[4] = 1;
    block.push_back(sizeof kEndFrame);
    block.push_back(0);
    block.insert(block.end(), kEndFrame, kEndFrame + sizeof kEndFrame);
    return block;
}

// A block of a chosen transfer count up to past the end of the buffer: a 24-bit transfer count, the 32-bit
// frameCount, a number of records of the largest length (65,535), and a tail made by repeating the next
// (16-bit) count of bytes. More large records are put in when the tail would be longer than 8 KiB, so that a
// block reaches the end of the storage with a few thousand frames at most.
FUZZ_NO_COVERAGE Bytes LargeBlock(FuzzInput& in) {
    constexpr size_t kRecord = 2 + 65535;
    constexpr size_t kMostTail = 8192;
    size_t transferred = in.Little(3) % (kReadBytes + 4096);
    uint32_t frameCount = in.Little(4);
    size_t records = in.Byte() % 8;
    size_t taken = 0;
    const uint8_t* pattern = in.Take(in.Little(2), &taken);
    Bytes block(std::max(transferred, kHeaderBytes), 0);
    for (int i = 0; i < 4; ++i) block[4 + i] = static_cast<unsigned char>(frameCount >> (8 * i));
    size_t room = block.size() - kHeaderBytes;
    if (room > kMostTail) records = std::max(records, (room - kMostTail + kRecord - 1) / kRecord);
    records = std::min(records, room / kRecord);
    size_t at = kHeaderBytes;
    for (size_t r = 0; r < records; ++r, at += kRecord) {
        block[at] = 0xFF;
        block[at + 1] = 0xFF;
        for (size_t i = 2; i < kRecord; ++i) block[at + i] = static_cast<unsigned char>(r + i);
    }
    if (taken != 0)
        for (size_t i = 0; at + i < block.size(); ++i) block[at + i] = pattern[i % taken];
    block.resize(transferred);
    return block;
}

struct Copied {
    bool called = false;
    const BYTE* data = nullptr;
    Bytes bytes;
};

void Sink(void* context, const BYTE* data, LONG count) {
    auto* copied = static_cast<Copied*>(context);
    FUZZ_CHECK(!copied->called, "the sink is called once per frame");
    FUZZ_CHECK(count > 0, "the sink is never called with %ld bytes", static_cast<long>(count));
    copied->called = true;
    copied->data = data;
    copied->bytes.assign(data, data + count);
}

// Takes every expected frame from the delivery and checks it against the walk.
FUZZ_NO_COVERAGE void CheckDelivery(const std::vector<Bytes>& blocks, const std::vector<ExpectedFrame>& expected, LONG maxLength,
                                    LONG bufferLength) {
    for (size_t i = 0; i < expected.size(); ++i) {
        const ExpectedFrame& frame = expected[i];
        const Bytes& block = blocks[frame.block];
        Copied copied;
        LONG result = GetFrameFromDriver(maxLength, bufferLength, Sink, &copied);
        bool last = i + 1 == expected.size();
        FUZZ_CHECK(static_cast<size_t>(result) == frame.length && result >= 0,
                   "frame %zu of %zu (block %zu, record at %zu): length %ld, expected %zu", i, expected.size(), frame.block,
                   frame.record, static_cast<long>(result), frame.length);
        // The first frame of a block shows which reads were used: the last block only for the last frame.
        if (i == 0 || frame.block != expected[i - 1].block) {
            size_t repliesLeft = StandInScriptedDevice(kDevice).repliesLeft;
            FUZZ_CHECK((repliesLeft == 0) == last, "frame %zu of %zu delivered with %zu replies still queued", i,
                       expected.size(), repliesLeft);
        }
        LONG count = std::min({result, maxLength, bufferLength});
        if (count <= 0) {
            FUZZ_CHECK(!copied.called, "frame %zu: nothing may be copied (maximum %ld, buffer %ld)", i, static_cast<long>(maxLength),
                       static_cast<long>(bufferLength));
            continue;
        }
        FUZZ_CHECK(copied.called, "frame %zu: %ld bytes must be copied", i, static_cast<long>(count));
        FUZZ_CHECK(copied.bytes.size() == static_cast<size_t>(count), "frame %zu: %zu bytes copied, expected %ld", i,
                   copied.bytes.size(), static_cast<long>(count));
        const BYTE* storage = pStorage.load();
        const size_t transferred = std::min(block.size(), kReadBytes);
        FUZZ_CHECK(copied.data == storage + frame.record + 2, "frame %zu: copied from offset %td, expected %zu", i,
                   copied.data - storage, frame.record + 2);
        FUZZ_CHECK(frame.record + 2 + frame.length <= transferred, "frame %zu lies inside the %zu bytes transferred", i,
                   transferred);
        FUZZ_CHECK(std::memcmp(copied.bytes.data(), block.data() + frame.record + 2, copied.bytes.size()) == 0,
                   "frame %zu: the bytes copied are the frame's", i);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("fuzz0|Fuzz adapter");
    StandInAddScriptedDevice(kDevice);
    FUZZ_CHECK(DriverStart(1) == 0, "the scripted adapter opens");
    std::fflush(stdout);
    return 0;
}

// Input: maximum length and buffer length (16 bits each, less 256, so negative ones come too), then replies
// until the input ends, each a tag byte and its data: 0xE0 an empty read, 0xE1 a failed read, 0xE3 a large
// block (see LargeBlock), any other tag a block of the next (16-bit) count of bytes. The rare tags are the
// slow ones: each empty or failed read costs the delivery a 10 ms pause.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const LONG maxLength = static_cast<LONG>(in.Little(2)) - 256;
    const LONG bufferLength = static_cast<LONG>(in.Little(2)) - 256;

    std::vector<Bytes> blocks;
    int stalls = 0, largeBlocks = 0;
    while (!in.Empty() && blocks.size() < kMostBlocks) {
        uint8_t tag = in.Byte();
        Bytes block;
        size_t taken = 0;
        if (tag != kEmptyRead && tag != kFailedRead && tag != kLargeBlock) {
            const uint8_t* bytes = in.Take(in.Little(2), &taken);
            block.assign(bytes, bytes + taken);
        } else if (tag == kLargeBlock && largeBlocks++ < kMostLargeBlocks) {
            block = LargeBlock(in);
        }
        if (tag == kEmptyRead || tag == kFailedRead) {
            // A read with nothing in it: the delivery sleeps and reads again.
            if (stalls++ >= kMostStalls) continue;
            if (tag == kFailedRead)
                StandInScriptFailedRead(kDevice, ERROR_GEN_FAILURE);
            else
                StandInScriptEmptyRead(kDevice);
            continue;
        }
        if (block.empty()) continue;  // no bytes would be an empty read: only the rare tag makes one
        StandInScriptBlock(kDevice, block);
        blocks.push_back(std::move(block));
    }
    // The last block holds one known frame: its delivery shows that every block before it was walked.
    StandInScriptBlock(kDevice, EndBlock());
    blocks.push_back(EndBlock());

    std::vector<ExpectedFrame> expected;
    for (size_t b = 0; b < blocks.size(); ++b) Walk(blocks[b], b, expected);

    // A negative buffer length stands for no array: such a call takes no frame and reads nothing.
    if (bufferLength < 0) {
        Copied none;
        size_t queued = StandInScriptedDevice(kDevice).repliesLeft;
        FUZZ_CHECK(GetFrameFromDriver(maxLength, bufferLength, Sink, &none) == 0 && !none.called &&
                       StandInScriptedDevice(kDevice).repliesLeft == queued,
                   "a call without an array (buffer length %ld) took a frame", static_cast<long>(bufferLength));
    }
    CheckDelivery(blocks, expected, maxLength, std::max<LONG>(bufferLength, 0));
    return 0;
}
