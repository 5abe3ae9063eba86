// Starting, stopping and releasing the capture session.
//
// The changes of the session run one at a time under csControl. Whatever retires the device, the read request
// or the storage takes it out of the shared pointers first, closes the device (which ends a pending read), and
// frees it only once it holds the delivery lock, that is, once no delivery call is reading, walking or copying. That
// wait is bounded: a delivery call stuck in a read that does not end leaves the objects allocated (memory in use
// is never freed), and the next start then allocates a storage block of its own.
#include <cstdio>
#include <cstdlib>

#include "adapters/choice.h"
#include "adapters/print_error.h"
#include "adapters/process_end.h"
#include "capture/capture_session.h"

std::atomic<Adapter*> pAdapter{nullptr};
std::atomic<Packet*> pPacket{nullptr};
HGLOBAL hStorage = nullptr;
std::atomic<BYTE*> pStorage{nullptr};
std::atomic<BYTE*> pNextFrame{nullptr};
std::atomic<LONG> nFramesTaken{0};
std::atomic<LONG> bRunning{1};
std::atomic<LONG> bPaused{0};
std::atomic<LONG> bStorageAllocated{0};
std::atomic<LONG> nBlockFrames{0};
std::atomic<DWORD> nBlockBytes{0};
std::atomic<LONG> nReleaseCount{0};
CRITICAL_SECTION csStart;
CRITICAL_SECTION csControl;
std::atomic<LONG> bDeliveryHeld{0};

namespace {

const char kSourceFile[] = "tamsil";
// How long a retire waits for a delivery call to let go, and Ctrl+C for the other control operations.
constexpr DWORD kLetGoTimeoutMs = 5000;
constexpr DWORD kYieldsBeforePolling = 64;

// The critical sections exist before any call can reach the library.
struct LocksAtLoad {
    LocksAtLoad() {
        InitializeCriticalSection(&csStart);
        InitializeCriticalSection(&csControl);
    }
} locksAtLoad;

// Enters `section` within `timeoutMs`, measured on the clock (GetTickCount's wrap-around is harmless to the
// difference). False when another thread still holds it then.
bool EnterWithin(CRITICAL_SECTION* section, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!TryEnterCriticalSection(section)) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(1);
    }
    return true;
}

void ResetWalk(BYTE* storage) {
    nFramesTaken.store(0, std::memory_order_relaxed);
    nBlockFrames.store(0, std::memory_order_relaxed);
    nBlockBytes.store(0, std::memory_order_relaxed);
    pNextFrame.store(storage != nullptr ? storage + kStorageHeaderBytes : nullptr, std::memory_order_relaxed);
}

// Under csControl, with the objects already out of the shared pointers: ends a read pending on the device and
// frees the objects once no delivery call holds them (the storage block when `freeStorage`). When a delivery
// call holds on past the time-out, everything stays allocated and the storage is forgotten, so that the next
// start allocates a block of its own.
void Retire(Adapter* adapter, Packet* packet, bool freeStorage) {
    AbortAdapterDevice(adapter);
    if (!EnterDeliveryWithin(kLetGoTimeoutMs)) {
        if (freeStorage) {
            hStorage = nullptr;
            bStorageAllocated = 0;
        }
        return;
    }
    CloseAdapterDevice(adapter);
    DestroyReadRequest(packet);
    if (freeStorage) {
        GlobalUnlock(hStorage);
        GlobalFree(hStorage);
        hStorage = nullptr;
        bStorageAllocated = 0;
        ResetWalk(nullptr);
    }
    LeaveDelivery();
}

// Switching cards: the previous device and read request go; the storage stays for the next adapter.
void RetireDevice() { Retire(pAdapter.exchange(nullptr), pPacket.exchange(nullptr), false); }

// The release, under csControl. Every delivery call that began before it ends with 0: the pointers are cleared
// before the count changes, so a call that still found the adapter noted the old count.
void CloseCaptureSession() {
    if (pAdapter.load() != nullptr) bRunning = 0;
    Adapter* adapter = pAdapter.exchange(nullptr);
    Packet* packet = pPacket.exchange(nullptr);
    bool storage = bStorageAllocated != 0;
    if (storage) pStorage = nullptr;
    nReleaseCount.fetch_add(1);
    Retire(adapter, packet, storage);
}

void PrintNotStarted(unsigned line) {
    // Each message in one printf: a printf call is written whole, so another native's lines never come between.
    printf("WARNING on line %u of file %s: Java_com_larkspire_vorel_util_NativeCollection_Stop():\n"
           "..pAdapter is NULL, implying the driver is NOT started.\n",
           line, kSourceFile);
}

bool AllocateStorage() {
    hStorage = GlobalAlloc(GMEM_MOVEABLE, kStorageBytes);
    if (hStorage == nullptr) {
        PrintError("Can't allocate memory for MultiPacketStorage");
        return false;
    }
    auto* storage = static_cast<BYTE*>(GlobalLock(hStorage));
    if (storage == nullptr) {
        PrintError("Can't lock memory for MultiPacketStorage");
        GlobalFree(hStorage);
        hStorage = nullptr;
        return false;
    }
    WriteStorageFrameCount(storage, 0);
    ResetWalk(storage);
    pStorage = storage;
    bStorageAllocated = 1;
    return true;
}

// The steps after the choice, under csControl: open, storage, read request, promiscuous mode.
LONG OpenChosenAdapter(const ChosenAdapter& chosen) {
    std::string description = chosen.wide ? ConsoleText(chosen.descriptionW, kAdapterTextUnits) : chosen.descriptionA;
    Adapter* adapter = chosen.wide ? OpenAdapterDevice(chosen.deviceNameW) : OpenAdapterDevice(chosen.deviceNameA);
    if (adapter == nullptr) {
        printf("\n*** ERROR: could not open the Adapter: %s ***\n"
               "\nDid you remember to restart your computer after installing the Network Vorel Packet Driver?\n",
               description.c_str());
        return -1;
    }
    pAdapter = adapter;
    printf("Adapter %s successfully opened\n\n", description.c_str());

    if (!bStorageAllocated && !AllocateStorage()) return -1;

    Packet* packet = CreateReadRequest();
    if (packet == nullptr) {
        PrintError("Can't allocate a packet");
        return -1;
    }
    BindReadBuffer(packet, pStorage.load(), kStorageBytes);
    pPacket = packet;

    if (!SetReceiveFilter(adapter, NDIS_PACKET_TYPE_PROMISCUOUS)) {
        printf("WARNING:\nCould not set adapter %s in promiscuous mode\n"
               "Network Vorel will only monitor traffic on your own host.\n",
               description.c_str());
    }
    bRunning = 1;
    return 0;
}

}  // namespace

bool WaitForDelivery(LONG releases) {
    // A few yields cover a holder that is copying a frame; one that waits for the driver is polled.
    for (DWORD polls = 0; !TryEnterDelivery(); ++polls) {
        if (nReleaseCount.load() != releases) return false;
        Sleep(polls < kYieldsBeforePolling ? 0 : 1);
    }
    return true;
}

bool EnterDeliveryWithin(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!TryEnterDelivery()) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(1);
    }
    return true;
}

LONG DriverStart(LONG cardNumber) {
    CriticalSectionHold start(&csStart);
    // Once Ctrl+C has begun, the process is ending: nothing is chosen, opened or said any more.
    if (CtrlCHasBegun()) return -1;
    nRequestedCard = cardNumber;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    {
        CriticalSectionHold control(&csControl);
        if (CtrlCHasBegun()) return -1;
        // The same card again: delivery resumes without reopening, provided the earlier start completed (a start
        // that failed after opening the device left no read request, and answering 0 then would be a lie).
        if (nSelectedCard == cardNumber && pAdapter.load() != nullptr && pPacket.load() != nullptr) {
            bRunning = 1;
            return 0;
        }
        if (pAdapter.load() != nullptr) RetireDevice();
    }
    // The choice may hold a console dialogue: the session is not locked meanwhile, so a release or Ctrl+C goes
    // ahead, and the open below then starts from whatever it left.
    ChosenAdapter chosen;
    if (!ChooseAdapter(cardNumber, &chosen)) return -1;
    CriticalSectionHold control(&csControl);
    // The handler, once begun, waits for csControl only so long: a start that gets it afterwards opens nothing.
    if (CtrlCHasBegun()) return -1;
    return OpenChosenAdapter(chosen);
}

void DriverStop(void) {
    if (CtrlCHasBegun()) return;
    CriticalSectionHold control(&csControl);
    if (pAdapter.load() != nullptr)
        bRunning = 0;
    else
        PrintNotStarted(755);
}

void FreeOnExit(void) {
    if (CtrlCHasBegun()) return;
    CriticalSectionHold control(&csControl);
    if (pAdapter.load() != nullptr) {
        CloseCaptureSession();
    } else {
        PrintNotStarted(776);
        // Nothing to release, but a delivery call waiting for a device (after a failed switch of cards) ends.
        nReleaseCount.fetch_add(1);
    }
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
    if (controlType != CTRL_C_EVENT) return FALSE;
    // Before anything is cleared: a call that finds the adapter gone then also finds the process ending. When
    // the adapter choice (the user quit, no adapter) or an earlier Ctrl+C is already ending the process, that
    // end stands: exit is not for two threads at once.
    if (!BeginEndingOnCtrlC()) {
        for (;;) Sleep(1000);
    }
    // The process ends either way. Holding csControl to the end keeps any other control call from starting
    // anything after the release; when another one does not let go in time, only the delivery calls are ended.
    if (EnterWithin(&csControl, kLetGoTimeoutMs))
        CloseCaptureSession();
    else
        nReleaseCount.fetch_add(1);
    fflush(stdout);
    exit(0);
}

void SetPausedOn(BYTE paused) { bPaused = paused; }

BYTE IsPausedOn(void) { return static_cast<BYTE>(bPaused.load() & 0xFF); }
