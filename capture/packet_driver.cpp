// Packet driver device access.
#include "capture/packet_driver.h"

#include <cstddef>

static_assert(sizeof(OidRequest) == OID_REQUEST_HEADER_BYTES + 4, "a 4-byte OID request is 12 bytes");
static_assert(offsetof(OidRequest, Data) == OID_REQUEST_HEADER_BYTES, "Data follows Oid and Length");

namespace {

const char kDeviceFilePrefix[] = "\\\\.\\Packet_";          // "\\.\Packet_"
constexpr size_t kDeviceFilePrefixLength = sizeof kDeviceFilePrefix - 1;  // 11
constexpr size_t kDosNameOffset = 4;                                    // after "\\.\"
// The most characters of a device path after its "\Device\" prefix that deviceFileName holds: 52.
constexpr size_t kLongestObjectName = ADAPTER_NAME_LENGTH - 1 - kDeviceFilePrefixLength;

// A record: a zero-filled movable block of the global heap, locked. nullptr when it cannot be had.
void* AllocateRecord(SIZE_T nBytes) {
    HGLOBAL hRecord = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, nBytes);
    if (hRecord == nullptr) return nullptr;
    void* pRecord = GlobalLock(hRecord);
    if (pRecord == nullptr) GlobalFree(hRecord);
    return pRecord;
}

// Frees a record, keeping the caller's last error (GlobalUnlock resets it) for whoever looks at a failure.
void FreeRecord(void* pRecord) {
    DWORD lastError = GetLastError();
    HGLOBAL hRecord = GlobalHandle(pRecord);
    GlobalUnlock(hRecord);
    GlobalFree(hRecord);
    SetLastError(lastError);
}

// Characters before the terminator, counting no further than `limit`.
template <class Char>
size_t BoundedLength(const Char* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    return n;
}

// deviceFileName = "\\.\Packet_" + the device path without its first 8 characters. Writes nothing and
// answers false when that would not fit the 64 characters.
template <class Char>
bool FormDeviceFileName(const Char* devicePath, Char (&deviceFileName)[ADAPTER_NAME_LENGTH]) {
    size_t nPath = BoundedLength(devicePath, DEVICE_PATH_PREFIX_LENGTH + kLongestObjectName + 1);
    size_t nSkip = nPath < DEVICE_PATH_PREFIX_LENGTH ? nPath : DEVICE_PATH_PREFIX_LENGTH;
    size_t nName = nPath - nSkip;
    if (nName > kLongestObjectName) return false;
    size_t n = 0;
    for (size_t i = 0; i < kDeviceFilePrefixLength; ++i) deviceFileName[n++] = static_cast<Char>(kDeviceFilePrefix[i]);
    for (size_t i = 0; i < nName; ++i) deviceFileName[n++] = devicePath[nSkip + i];
    deviceFileName[n] = 0;
    return true;
}

BOOL DefineDosDeviceT(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath) {
    return DefineDosDeviceA(dwFlags, lpDeviceName, lpTargetPath);
}
BOOL DefineDosDeviceT(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath) {
    return DefineDosDeviceW(dwFlags, lpDeviceName, lpTargetPath);
}
HANDLE CreateDeviceFile(LPCSTR lpFileName) {
    return CreateFileA(lpFileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
}
HANDLE CreateDeviceFile(LPCWSTR lpFileName) {
    return CreateFileW(lpFileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
}

CHAR (&DeviceFileName(Adapter* pAdapter, const CHAR*))[ADAPTER_NAME_LENGTH] { return pAdapter->deviceFileNameA; }
WCHAR (&DeviceFileName(Adapter* pAdapter, const WCHAR*))[ADAPTER_NAME_LENGTH] { return pAdapter->deviceFileNameW; }

template <class Char>
Adapter* OpenAdapterDeviceT(const Char* devicePath) {
    auto* pAdapter = static_cast<Adapter*>(AllocateRecord(sizeof(Adapter)));
    if (pAdapter == nullptr) return nullptr;
    Char(&deviceFileName)[ADAPTER_NAME_LENGTH] = DeviceFileName(pAdapter, devicePath);
    if (devicePath == nullptr || !FormDeviceFileName(devicePath, deviceFileName)) {
        FreeRecord(pAdapter);
        SetLastError(devicePath == nullptr ? ERROR_INVALID_PARAMETER : ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    if (DefineDosDeviceT(DDD_RAW_TARGET_PATH, deviceFileName + kDosNameOffset, devicePath) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        pAdapter->hDevice = CreateDeviceFile(deviceFileName);
        if (pAdapter->hDevice != INVALID_HANDLE_VALUE) return pAdapter;
    }
    FreeRecord(pAdapter);
    return nullptr;
}

// The device handle, read once and atomically: AbortAdapterDevice may swap it from another thread, and a read
// on one thread may meet a request on another.
HANDLE DeviceHandleOf(Adapter* pAdapter) { return InterlockedCompareExchangePointer(&pAdapter->hDevice, nullptr, nullptr); }

// Issuing a read and taking the handle out of the record exclude each other: a read is either under way
// before the close, which ends it, or finds INVALID_HANDLE_VALUE and fails at once. Never is it issued on a
// closed handle, whose value Windows may already have given to another object, or after the driver's clean-up
// of the close, which would leave it pending for ever. Held while a read is issued, never while it is awaited.
struct DeviceHandleLock {
    DeviceHandleLock() { InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
} csDeviceHandle;

}  // namespace

Adapter* OpenAdapterDevice(LPCWSTR devicePath) { return OpenAdapterDeviceT(devicePath); }
Adapter* OpenAdapterDevice(LPCSTR devicePath) { return OpenAdapterDeviceT(devicePath); }

void AbortAdapterDevice(Adapter* pAdapter) {
    if (pAdapter == nullptr) return;
    EnterCriticalSection(&csDeviceHandle.section);
    HANDLE hDevice = InterlockedExchangePointer(&pAdapter->hDevice, INVALID_HANDLE_VALUE);
    LeaveCriticalSection(&csDeviceHandle.section);
    if (hDevice != INVALID_HANDLE_VALUE) CloseHandle(hDevice);
}

void CloseAdapterDevice(Adapter* pAdapter) {
    if (pAdapter == nullptr) return;
    AbortAdapterDevice(pAdapter);
    FreeRecord(pAdapter);
}

Packet* CreateReadRequest(void) {
    auto* pPacket = static_cast<Packet*>(AllocateRecord(sizeof(Packet)));
    if (pPacket == nullptr) return nullptr;
    pPacket->overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (pPacket->overlapped.hEvent == nullptr) {
        FreeRecord(pPacket);
        return nullptr;
    }
    return pPacket;
}

void DestroyReadRequest(Packet* pPacket) {
    if (pPacket == nullptr) return;
    CloseHandle(pPacket->overlapped.hEvent);
    FreeRecord(pPacket);
}

void BindReadBuffer(Packet* pPacket, PVOID buffer, DWORD length) {
    pPacket->buffer = buffer;
    pPacket->length = length;
}

BOOL ReadBlock(Adapter* pAdapter, Packet* pPacket, DWORD* pBytesTransferred) {
    DWORD nBytes = 0;
    if (pBytesTransferred != nullptr) *pBytesTransferred = 0;
    if (pAdapter == nullptr || pPacket == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pPacket->overlapped.Offset = 0;
    pPacket->overlapped.OffsetHigh = 0;
    EnterCriticalSection(&csDeviceHandle.section);
    HANDLE hDevice = DeviceHandleOf(pAdapter);
    // A read that fails at once leaves the OVERLAPPED marked pending and its event unsignalled: waiting for it
    // would never end. Only FALSE with ERROR_IO_PENDING means that the read is under way.
    BOOL bIssued = ResetEvent(pPacket->overlapped.hEvent) &&
                   (ReadFile(hDevice, pPacket->buffer, pPacket->length, &nBytes, &pPacket->overlapped) ||
                    GetLastError() == ERROR_IO_PENDING);
    LeaveCriticalSection(&csDeviceHandle.section);
    if (!bIssued) return FALSE;
    BOOL bResult = GetOverlappedResult(hDevice, &pPacket->overlapped, &nBytes, TRUE);
    if (pBytesTransferred != nullptr) *pBytesTransferred = nBytes;
    return bResult;
}

BOOL RequestOid(Adapter* pAdapter, BOOL bSet, OidRequest* pRequest) {
    if (pAdapter == nullptr || pRequest == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD nRequestBytes = OID_REQUEST_HEADER_BYTES + pRequest->Length;
    DWORD nReturned = 0;
    // The device is open for overlapped I/O, so the request needs an OVERLAPPED of its own. Without one, a driver
    // that pends the request lets DeviceIoControl return early (when a read on the handle completes), and the
    // driver's answer would later land in a request already freed.
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return FALSE;
    HANDLE hDevice = DeviceHandleOf(pAdapter);
    BOOL bResult = DeviceIoControl(hDevice, bSet ? PACKET_IOCTL_SET_OID : PACKET_IOCTL_QUERY_OID, pRequest,
                                   nRequestBytes, pRequest, nRequestBytes, &nReturned, &overlapped);
    if (!bResult && GetLastError() == ERROR_IO_PENDING)
        bResult = GetOverlappedResult(hDevice, &overlapped, &nReturned, TRUE);
    DWORD lastError = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(lastError);
    return bResult;
}

BOOL SetReceiveFilter(Adapter* pAdapter, DWORD filter) {
    auto* pRequest = static_cast<OidRequest*>(AllocateRecord(sizeof(OidRequest)));
    if (pRequest == nullptr) return FALSE;
    pRequest->Oid = OID_GEN_CURRENT_PACKET_FILTER;
    pRequest->Length = sizeof filter;
    for (int i = 0; i < 4; ++i) pRequest->Data[i] = static_cast<BYTE>(filter >> (8 * i));
    BOOL bResult = RequestOid(pAdapter, TRUE, pRequest);
    FreeRecord(pRequest);
    return bResult;
}

DWORD ReadStorageFrameCount(const BYTE* pStorage) {
    return static_cast<DWORD>(pStorage[4]) | static_cast<DWORD>(pStorage[5]) << 8 |
           static_cast<DWORD>(pStorage[6]) << 16 | static_cast<DWORD>(pStorage[7]) << 24;
}

void WriteStorageFrameCount(BYTE* pStorage, DWORD frameCount) {
    for (int i = 0; i < 4; ++i) pStorage[4 + i] = static_cast<BYTE>(frameCount >> (8 * i));
}
