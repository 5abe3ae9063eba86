// The capture session's process-wide state. Any Java thread (and the console-event thread) may call into the
// session at any time; the pointers and flags are single atomic words so that the unlocked tests (the pause
// flag, the not-started messages) read whole values, and the locks below order everything else.
#pragma once

#include <atomic>

#include "capture/packet_driver.h"

constexpr DWORD kStorageBytes = MULTI_PACKET_STORAGE_SIZE;
constexpr DWORD kStorageHeaderBytes = STORAGE_HEADER_BYTES;

extern std::atomic<Adapter*> pAdapter;   // the open adapter device
extern std::atomic<Packet*> pPacket;     // the read request bound to the storage
extern HGLOBAL hStorage;                 // handle of the MultiPacketStorage block
extern std::atomic<BYTE*> pStorage;      // the locked MultiPacketStorage block
// The walk through the block in hand, under the delivery lock. Relaxed atomics: the lock orders them; a start that
// allocates a new block after a release gave up waiting resets them without it.
extern std::atomic<BYTE*> pNextFrame;    // the next frame record of the block in hand
extern std::atomic<LONG> nFramesTaken;   // records delivered from the block in hand
extern std::atomic<LONG> bRunning;       // delivery enabled
extern std::atomic<LONG> bPaused;        // pause requested; only the low byte is ever non-zero
extern std::atomic<LONG> bStorageAllocated;

// How the block in hand is bounded: its frame count as read and the bytes the read transferred. A block
// is exhausted when nFramesTaken reaches nBlockFrames; a malformed block is cut where its bytes end.
extern std::atomic<LONG> nBlockFrames;
extern std::atomic<DWORD> nBlockBytes;

// Counts the releases (FreeOnExit, Ctrl+C). A delivery call notes it as it begins and ends with 0 as soon as it
// changes, wherever the call waits; a later start does not revive a call that a release ended.
extern std::atomic<LONG> nReleaseCount;

// Once Ctrl+C has begun (adapters/process_end.h), Java threads that keep calling in until the process has ended
// get 0 from delivery, and DriverStop and FreeOnExit do nothing, all without the not-started lines: the released
// session is not a session that was never started.

// The locks:
// - csStart: one DriverStart at a time, through the adapter choice and its console dialogue;
// - csControl: the changes of the session (the start's open and retire, stop, release, Ctrl+C) one at a time.
//   Held only for short steps, never across the dialogue, so that Ctrl+C is never held up by it;
// - the delivery lock: held by a delivery call while it reads a block, walks it and copies a frame out of it
//   (never while it sleeps). Whoever retires the device, the read request or the storage first takes them out
//   of the pointers above, ends a pending read, then takes the delivery lock before freeing them.
// Order: csStart, then csControl, then the delivery lock.
extern CRITICAL_SECTION csStart;
extern CRITICAL_SECTION csControl;

// The delivery lock is one interlocked word (1 held, 0 free), taken once per frame: entering is one
// compare-and-swap and leaving a plain store, where a critical section's leave is a second interlocked
// operation. Not recursive. A caller that finds it held yields, then polls every millisecond: the holder may be
// waiting for the driver.
extern std::atomic<LONG> bDeliveryHeld;
inline bool TryEnterDelivery() {
    LONG free = 0;
    return bDeliveryHeld.compare_exchange_strong(free, 1, std::memory_order_acquire, std::memory_order_relaxed);
}
inline void LeaveDelivery() { bDeliveryHeld.store(0, std::memory_order_release); }
// Until this thread holds the lock (true), or until nReleaseCount is no longer `releases` (false): a holder
// stuck in a read that does not end keeps the lock, but not the callers that wait for it past a release.
bool WaitForDelivery(LONG releases);
// False when the lock is still held after `timeoutMs`.
bool EnterDeliveryWithin(DWORD timeoutMs);

// Holds a critical section for as long as it lives.
class CriticalSectionHold {
public:
    explicit CriticalSectionHold(CRITICAL_SECTION* section) : section_(section) { EnterCriticalSection(section_); }
    ~CriticalSectionHold() { LeaveCriticalSection(section_); }
    CriticalSectionHold(const CriticalSectionHold&) = delete;
    CriticalSectionHold& operator=(const CriticalSectionHold&) = delete;

private:
    CRITICAL_SECTION* section_;
};
