// Win32 device I/O, events and handles of the Linux stand-in. Names, types and values are the platform's.
//
// Devices: the DOS device namespace (DefineDosDevice, QueryDosDevice) maps names to device object paths;
// CreateFile opens "\\.\<DOS name>" through it. Device objects the stand-in knows:
//   \Device\NetVorel_<interface>  live capture on that Linux interface (libpcap), the packet driver's contract:
//                                 one MultiPacketStorage block per read, OID_GEN_CURRENT_PACKET_FILTER set
//                                 requests (0x80000000) switch promiscuous reception;
//   \Device\<name>                a capture file replayed through the same contract, when TAMSIL_REPLAY holds
//                                 "<name>=<file>" (entries separated by ';'; the name "*" stands for every
//                                 device not listed by name); at the end of the file a read waits like a
//                                 quiet network until the device is closed;
//   scripted devices that tests create through testing.h.
// An overlapped device read makes progress while a thread waits for it: GetOverlappedResult with bWait, or
// WaitForSingleObject on its event. Closing the device handle ends a pending read at once: it then fails with
// ERROR_OPERATION_ABORTED.
#pragma once

#include "win32_base.h"

// ---- Handles and events (every area's kernel objects close through CloseHandle; see handles.h) ----

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_BUSY 170L
#define ERROR_FILENAME_EXCED_RANGE 206L

extern "C" {
BOOL WINAPI CloseHandle(HANDLE hObject);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
}

// Interlocked pointer operations (winnt.h): full barriers, as on the platform.
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}

// ---- Files and devices ----

// The platform's layout; its union of Offset/OffsetHigh with `Pointer` (same 8 bytes) is left out.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;      // status of the request: STATUS_PENDING (0x103) while it runs
    ULONG_PTR InternalHigh;  // bytes transferred, once complete
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u

#define DDD_RAW_TARGET_PATH 0x00000001u
#define DDD_REMOVE_DEFINITION 0x00000002u
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004u
#define DDD_NO_BROADCAST_SYSTEM 0x00000008u

extern "C" {
// Pushes a definition of lpDeviceName (the newest one is in force); with DDD_REMOVE_DEFINITION pops the newest,
// or with DDD_EXACT_MATCH_ON_REMOVE the one whose target is lpTargetPath. Without DDD_RAW_TARGET_PATH the
// target is a DOS path, which names no device the stand-in can open.
BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath);
BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath);
// The targets of lpDeviceName, newest first, as a double-NUL-terminated list (all defined names when it is
// null); answers the characters stored, 0 with ERROR_FILE_NOT_FOUND or ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax);
DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax);

// Opens "\\.\<DOS name>" (or "\\?\<DOS name>"); any other path fails with ERROR_FILE_NOT_FOUND. A device is
// shared as the share modes allow (share mode 0: a second open fails with ERROR_SHARING_VIOLATION until the
// first handle is closed).
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// On a handle opened with FILE_FLAG_OVERLAPPED and an OVERLAPPED block: resets the event, answers FALSE with
// ERROR_IO_PENDING and leaves the read to complete later (one read at a time per handle: a second fails with
// ERROR_BUSY). As on Windows, the OVERLAPPED block is marked pending (Internal = STATUS_PENDING) first: a read
// that fails at once (closed or wrong handle, ...) answers FALSE with its error and leaves the block pending and
// its event unsignalled, so GetOverlappedResult with bWait would wait for ever.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait);
// Devices of the stand-in answer one control: 0x80000000 with an OID request (Oid, Length, Data; 8 + Length
// bytes) setting OID_GEN_CURRENT_PACKET_FILTER (0x0001010E) to a 4-byte filter, whose
// NDIS_PACKET_TYPE_PROMISCUOUS bit (0x20) turns promiscuous reception on or off (off again when the device is
// closed). Anything else fails with ERROR_INVALID_PARAMETER. The request is copied to the output buffer. On a
// handle opened with FILE_FLAG_OVERLAPPED an OVERLAPPED block is required (ERROR_INVALID_PARAMETER without one);
// the control completes at once, and its status goes into the block and its event is set.
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped);
}
