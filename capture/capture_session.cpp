// Starting, stopping and releasing the capture session.
//
// The release never frees what a delivery call may still be using: it clears the shared pointers first,
// closes the device (which ends a pending read), waits until no delivery call holds the old objects, and
// only then frees them. Switching to another card retires the previous device and read request the same way.
#include <cstdio>
#include <cstdlib>

#include "adapters/choice.h"
#include "adapters/print_error.h"
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
std::atomic<LONG> bReleased{0};
std::atomic<LONG> nDeliveryBusy{0};

namespace {

const char kSourceFile[] = "tamsil";
constexpr DWORD kLetGoTimeoutMs = 5000;

// Waits until no delivery call holds the objects that were just unpublished. False when one still does
// after the time-out: the caller then leaves the objects allocated rather than free memory in use.
bool WaitForDeliveryToLetGo() {
    for (DWORD waited = 0; nDeliveryBusy.load() != 0; waited += 1) {
        if (waited >= kLetGoTimeoutMs) return false;
        Sleep(1);
    }
    return true;
}

// Detaches the open device and its read request, ends a read pending on them, and frees them once no
// delivery call holds them.
void RetireDevice() {
    Adapter* adapter = pAdapter.exchange(nullptr);
    Packet* packet = pPacket.exchange(nullptr);
    if (adapter != nullptr) AbortAdapterDevice(adapter);
    if (!WaitForDeliveryToLetGo()) return;
    if (adapter != nullptr) CloseAdapterDevice(adapter);
    if (packet != nullptr) DestroyReadRequest(packet);
}

void PrintNotStarted(unsigned line) {
    printf("WARNING on line %u of file %s: Java_com_larkspire_vorel_util_NativeCollection_Stop():\n", line, kSourceFile);
    printf("..pAdapter is NULL, implying the driver is NOT started.\n");
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
    nFramesTaken.store(0, std::memory_order_relaxed);
    nBlockFrames.store(0, std::memory_order_relaxed);
    nBlockBytes.store(0, std::memory_order_relaxed);
    pNextFrame.store(storage + kStorageHeaderBytes, std::memory_order_relaxed);
    pStorage = storage;
    bStorageAllocated = 1;
    return true;
}

}  // namespace

LONG DriverStart(LONG cardNumber) {
    nRequestedCard = cardNumber;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // The same card again: delivery resumes without reopening, provided the earlier start completed (a start
    // that failed after opening the device left no read request, and answering 0 then would be a lie).
    if (nSelectedCard == cardNumber && pAdapter.load() != nullptr && pPacket.load() != nullptr) {
        bRunning = 1;
        return 0;
    }
    if (pAdapter.load() != nullptr) RetireDevice();

    ChosenAdapter chosen;
    if (!ChooseAdapter(cardNumber, &chosen)) return -1;
    std::string description = chosen.wide ? ConsoleText(chosen.descriptionW, kAdapterTextUnits) : chosen.descriptionA;
    Adapter* adapter = chosen.wide ? OpenAdapterDevice(chosen.deviceNameW) : OpenAdapterDevice(chosen.deviceNameA);
    if (adapter == nullptr) {
        printf("\n*** ERROR: could not open the Adapter: %s ***\n", description.c_str());
        printf("\nDid you remember to restart your computer after installing the Network Vorel Packet Driver?\n");
        return -1;
    }
    bReleased = 0;
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
        printf("WARNING:\nCould not set adapter %s in promiscuous mode\n", description.c_str());
        printf("Network Vorel will only monitor traffic on your own host.\n");
    }
    bRunning = 1;
    return 0;
}

void DriverStop(void) {
    if (pAdapter.load() != nullptr)
        bRunning = 0;
    else
        PrintNotStarted(755);
}

void FreeOnExit(void) {
    if (pAdapter.load() != nullptr)
        CloseCaptureSession();
    else
        PrintNotStarted(776);
}

void CloseCaptureSession(void) {
    bReleased = 1;
    if (pAdapter.load() != nullptr) bRunning = 0;
    RetireDevice();
    Sleep(100);
    if (bStorageAllocated) {
        pStorage = nullptr;
        if (!WaitForDeliveryToLetGo()) return;
        GlobalUnlock(hStorage);
        GlobalFree(hStorage);
        hStorage = nullptr;
        bStorageAllocated = 0;
    }
}

BOOL WINAPI OnConsoleControl(DWORD controlType) {
    if (controlType != CTRL_C_EVENT) return FALSE;
    CloseCaptureSession();
    fflush(stdout);
    exit(0);
}

void SetPausedOn(BYTE paused) { bPaused = paused; }

BYTE IsPausedOn(void) { return static_cast<BYTE>(bPaused.load() & 0xFF); }
