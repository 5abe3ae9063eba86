// The capture session's process-wide state. Other threads (Java threads calling DriverStop, SetPausedOn,
// FreeOnExit, and the console-event thread) change the flags and pointers that the delivery loop re-reads
// at every test, so each is a single atomic word.
#pragma once

#include <atomic>

#include "capture/packet_driver.h"

constexpr DWORD kStorageBytes = MULTI_PACKET_STORAGE_SIZE;
constexpr DWORD kStorageHeaderBytes = STORAGE_HEADER_BYTES;

extern std::atomic<Adapter*> pAdapter;   // the open adapter device
extern std::atomic<Packet*> pPacket;     // the read request bound to the storage
extern HGLOBAL hStorage;                 // handle of the MultiPacketStorage block
extern std::atomic<BYTE*> pStorage;      // the locked MultiPacketStorage block
// The delivery thread walks the block in hand; a start that allocates the block resets the walk. Relaxed
// atomics: they carry no ordering, they only keep those two from tearing each other's words.
extern std::atomic<BYTE*> pNextFrame;    // the next frame record of the block in hand
extern std::atomic<LONG> nFramesTaken;   // records delivered from the block in hand
extern std::atomic<LONG> bRunning;       // delivery enabled
extern std::atomic<LONG> bPaused;        // pause requested; only the low byte is ever non-zero
extern std::atomic<LONG> bStorageAllocated;

// How the block in hand is bounded: its frame count as read and the bytes the read transferred. A block
// is exhausted when nFramesTaken reaches nBlockFrames; a malformed block is cut where its bytes end.
extern std::atomic<LONG> nBlockFrames;
extern std::atomic<DWORD> nBlockBytes;

// Set by the release (FreeOnExit, Ctrl+C) so that a delivery call waiting anywhere ends with 0.
extern std::atomic<LONG> bReleased;
// Delivery calls that hold pAdapter, pPacket or pStorage right now. Whoever retires those objects clears
// the pointers first and frees nothing until this drops to 0.
extern std::atomic<LONG> nDeliveryBusy;
