// Frame delivery: one frame per call from the block in hand, reading the next block from the driver when it is
// used up. Any number of threads may deliver at once: each holds the delivery lock while it reads, walks the block and
// copies its frame, so every frame goes to exactly one caller, and a block is never refilled under a copy. The
// waits (pause, failed or impossible reads) sleep without the lock. The walk never goes past the bytes the read
// transferred, and every wait ends with 0 once the session is released.
#include <cstdio>

#include "adapters/process_end.h"
#include "capture/capture_session.h"

namespace {

const char kSourceFile[] = "tamsil";
constexpr DWORD kPollMs = 10;
constexpr auto kRelaxed = std::memory_order_relaxed;

// Where a delivery call stands; a wait resumes where it was. The stop flag is tested at the top only, so that a
// stop takes effect once the current wait has ended.
enum class Phase {
    Top,          // test the stop flag
    Pause,        // deliver nothing while paused
    PauseRefill,  // paused, and the block in hand is used up: read the next one before testing the pause again
    Refill,       // read until a block holds a frame
    Deliver,      // take the next frame
};

enum class Outcome { Frame, Wait, End };

bool BlockExhausted() { return nFramesTaken.load(kRelaxed) == nBlockFrames.load(kRelaxed); }

// A malformed block ends where its bytes end: the rest of it is treated as taken.
void AbandonBlock() { nFramesTaken.store(nBlockFrames.load(kRelaxed), kRelaxed); }

void StartBlock(BYTE* storage, DWORD bytes) {
    DWORD usable = bytes < kStorageBytes ? bytes : kStorageBytes;
    nBlockBytes.store(usable, kRelaxed);
    nBlockFrames.store(usable >= kStorageHeaderBytes ? static_cast<LONG>(ReadStorageFrameCount(storage)) : 0, kRelaxed);
    pNextFrame.store(storage + kStorageHeaderBytes, kRelaxed);
    nFramesTaken.store(0, kRelaxed);
}

// Takes the next frame record of the block in hand. Returns false when the record would run past the
// block's bytes; *length and *data describe the frame otherwise.
bool TakeFrame(BYTE* storage, LONG* length, const BYTE** data) {
    BYTE* record = pNextFrame.load(kRelaxed);
    const BYTE* end = storage + nBlockBytes.load(kRelaxed);
    if (record < storage + kStorageHeaderBytes || record > end || end - record < 2) return false;
    LONG frameLength = record[0] | (record[1] << 8);
    if (end - (record + 2) < frameLength) return false;
    *data = record + 2;
    *length = frameLength;
    pNextFrame.store(record + 2 + frameLength, kRelaxed);
    nFramesTaken.store(nFramesTaken.load(kRelaxed) + 1, kRelaxed);
    return true;
}

struct Call {
    LONG releases;  // nReleaseCount as the call began
    LONG maxLength;
    LONG bufferLength;
    FrameSink sink;
    void* context;
    Phase phase;
    LONG length;  // the delivered frame's length
};

// Holds the delivery lock for as long as it lives, unless the release came first (held is false then).
struct DeliveryHold {
    explicit DeliveryHold(LONG releases) : held(TryEnterDelivery() || WaitForDelivery(releases)) {}
    ~DeliveryHold() {
        if (held) LeaveDelivery();
    }
    DeliveryHold(const DeliveryHold&) = delete;
    DeliveryHold& operator=(const DeliveryHold&) = delete;
    const bool held;
};

bool Released(const Call& call) { return nReleaseCount.load() != call.releases; }

// One read into the storage (the delivery lock held). A read that the release ended ends the call.
Outcome ReadNextBlock(const Call& call) {
    Adapter* adapter = pAdapter.load();
    Packet* packet = pPacket.load();
    BYTE* storage = pStorage.load();
    DWORD transferred = 0;
    bool read = adapter != nullptr && packet != nullptr && storage != nullptr &&
                ReadBlock(adapter, packet, &transferred) && transferred > 0;
    if (Released(call)) return Outcome::End;
    if (!read) return Outcome::Wait;
    StartBlock(storage, transferred);
    return Outcome::Frame;
}

// Runs the call on, with the delivery lock held, until it has a frame, must wait, or ends.
Outcome Advance(Call& call) {
    // The common case in one step: delivering, not paused, a frame in hand.
    if (call.phase == Phase::Top && bRunning.load() && bPaused.load() == 0 && !BlockExhausted()) call.phase = Phase::Deliver;
    for (;;) {
        if (Released(call)) return Outcome::End;
        switch (call.phase) {
            case Phase::Top:
                if (!bRunning.load()) return Outcome::End;
                call.phase = Phase::Pause;
                break;
            case Phase::Pause:
                if (bPaused.load() == 0)
                    call.phase = Phase::Refill;
                else if (BlockExhausted())
                    call.phase = Phase::PauseRefill;
                else
                    return Outcome::Wait;
                break;
            case Phase::PauseRefill:
            case Phase::Refill:
                if (!BlockExhausted()) {
                    call.phase = call.phase == Phase::PauseRefill ? Phase::Pause : Phase::Deliver;
                } else if (Outcome read = ReadNextBlock(call); read != Outcome::Frame) {
                    return read;
                }
                break;
            case Phase::Deliver: {
                BYTE* storage = pStorage.load();
                if (storage == nullptr || pPacket.load() == nullptr) {
                    call.phase = Phase::Top;
                    return Outcome::Wait;
                }
                const BYTE* data = nullptr;
                if (!TakeFrame(storage, &call.length, &data)) {
                    AbandonBlock();
                    call.phase = Phase::Top;
                    break;
                }
                LONG count = call.length;
                if (call.maxLength < count) count = call.maxLength;
                if (call.bufferLength < count) count = call.bufferLength;
                if (count > 0) call.sink(call.context, data, count);
                return Outcome::Frame;
            }
        }
    }
}

}  // namespace

LONG GetFrameFromDriver(LONG maxLength, LONG bufferLength, FrameSink sink, void* context) {
    // The count first: a release clears pAdapter before it changes the count.
    Call call{nReleaseCount.load(), maxLength, bufferLength, sink, context, Phase::Top, 0};
    if (pAdapter.load() == nullptr) {
        if (CtrlCHasBegun()) return 0;
        // Each message in one printf, written whole: another native's lines never come between its two lines.
        printf("ERROR on line %u of file %s: Java_com_larkspire_vorel_util_NativeCollection_ReadFrameFromDriver()\n"
               "..pAdapter is NULL\n",
               802u, kSourceFile);
        fflush(stdout);
        return 0;
    }
    if (pPacket.load() == nullptr) {
        if (CtrlCHasBegun()) return 0;
        printf("ERROR on line %u of file %s: Java_com_larkspire_vorel_utils_NativeCollection_ReadFrameFromDriver()\n"
               "..pPacket is NULL\n",
               808u, kSourceFile);
        fflush(stdout);
        return 0;
    }
    // No array to copy into (bufferLength < 0): nothing is delivered, and the frame stays for the next call.
    if (bufferLength < 0) return 0;
    for (;;) {
        Outcome outcome;
        {
            DeliveryHold delivery(call.releases);
            outcome = delivery.held ? Advance(call) : Outcome::End;
        }
        if (outcome == Outcome::Frame) return call.length;
        if (outcome == Outcome::End) return 0;
        Sleep(kPollMs);
    }
}
