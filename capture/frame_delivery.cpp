// Frame delivery: one frame per call from the block in hand, reading the next block from the driver when
// it is used up. The walk never goes past the bytes the read transferred, and every wait ends with 0 once
// the session is released.
#include <cstdio>

#include "capture/capture_session.h"

namespace {

const char kSourceFile[] = "tamsil";
constexpr DWORD kPollMs = 10;

// Marks this call as holding pAdapter, pPacket or pStorage for as long as it lives.
class DeliveryHold {
public:
    DeliveryHold() { nDeliveryBusy.fetch_add(1); }
    ~DeliveryHold() { nDeliveryBusy.fetch_sub(1); }
    DeliveryHold(const DeliveryHold&) = delete;
    DeliveryHold& operator=(const DeliveryHold&) = delete;
};

constexpr auto kRelaxed = std::memory_order_relaxed;

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

// Reads blocks until one holds a frame to deliver. False when the session was released meanwhile.
bool Refill() {
    while (BlockExhausted()) {
        if (bReleased.load()) return false;
        {
            DeliveryHold hold;
            Adapter* adapter = pAdapter.load();
            Packet* packet = pPacket.load();
            BYTE* storage = pStorage.load();
            DWORD transferred = 0;
            if (adapter != nullptr && packet != nullptr && storage != nullptr && !bReleased.load() &&
                ReadBlock(adapter, packet, &transferred) && transferred > 0) {
                StartBlock(storage, transferred);
                continue;
            }
        }
        Sleep(kPollMs);
    }
    return true;
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

}  // namespace

LONG GetFrameFromDriver(LONG maxLength, LONG bufferLength, FrameSink sink, void* context) {
    if (pAdapter.load() == nullptr) {
        printf("ERROR on line %u of file %s: Java_com_larkspire_vorel_util_NativeCollection_ReadFrameFromDriver()\n", 802u,
               kSourceFile);
        printf("..pAdapter is NULL\n");
        fflush(stdout);
        return 0;
    }
    if (pPacket.load() == nullptr) {
        printf("ERROR on line %u of file %s: Java_com_larkspire_vorel_utils_NativeCollection_ReadFrameFromDriver()\n", 808u,
               kSourceFile);
        printf("..pPacket is NULL\n");
        fflush(stdout);
        return 0;
    }
    for (;;) {
        if (!bRunning.load() || bReleased.load()) return 0;
        // Pause: deliver nothing, but keep taking blocks from the driver as the one in hand is used up.
        while (bPaused.load() != 0) {
            if (bReleased.load()) return 0;
            if (BlockExhausted()) {
                if (!Refill()) return 0;
            } else {
                Sleep(kPollMs);
            }
        }
        if (!Refill()) return 0;
        {
            DeliveryHold hold;
            BYTE* storage = pStorage.load();
            if (storage != nullptr && pPacket.load() != nullptr && !bReleased.load()) {
                LONG length = 0;
                const BYTE* data = nullptr;
                if (!TakeFrame(storage, &length, &data)) {
                    AbandonBlock();
                    continue;
                }
                LONG count = length;
                if (maxLength < count) count = maxLength;
                if (bufferLength < count) count = bufferLength;
                if (count > 0) sink(context, data, count);
                return length;
            }
        }
        Sleep(kPollMs);
    }
}
