// Packet driver device access. The library's only contact with the Network Vorel Packet Driver:
// open the driver's device for one adapter, read MultiPacketStorage blocks from it, send it OID requests.
// No operation prints anything or ends the process; each reports failure by its result alone.
#pragma once

#include "platform/win32.h"

#ifndef OID_GEN_CURRENT_PACKET_FILTER
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010Eu
#endif
#ifndef NDIS_PACKET_TYPE_PROMISCUOUS
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020u
#endif

// The driver's OID controls (only the set request is ever sent).
constexpr DWORD PACKET_IOCTL_SET_OID = 0x80000000u;
constexpr DWORD PACKET_IOCTL_QUERY_OID = 0x80000008u;

// deviceFileName's size in characters, terminator included: "\\.\Packet_" (11) + at most 52 characters of a
// device path after its "\Device\" prefix (8) + NUL.
constexpr int ADAPTER_NAME_LENGTH = 64;
constexpr int DEVICE_PATH_PREFIX_LENGTH = 8;

// One open adapter device, from the global heap (movable, zero-filled, locked). The record exists in two text
// forms: OpenAdapterDevice's UTF-16 form fills deviceFileNameW, its narrow form deviceFileNameA; every other
// operation uses only hDevice.
struct Adapter {
    HANDLE hDevice;
    union {
        WCHAR deviceFileNameW[ADAPTER_NAME_LENGTH];
        CHAR deviceFileNameA[ADAPTER_NAME_LENGTH];
    };
};

// One overlapped read request, from the global heap. Its event is auto-reset and unnamed; a read fills up to
// `length` bytes at `buffer`.
struct Packet {
    OVERLAPPED overlapped;
    PVOID buffer;
    DWORD length;
};

// The record of the driver's OID controls; wire format, little-endian. The size handed to the driver, as
// input and output alike, is OID_REQUEST_HEADER_BYTES + Length.
struct OidRequest {
    DWORD Oid;
    DWORD Length;
    BYTE Data[4];  // Length bytes; 4 for every request the system makes
};
constexpr DWORD OID_REQUEST_HEADER_BYTES = 8;

// Opens the driver's device for `devicePath` ("\Device\NetVorel_<id>"): defines the DOS name
// "Packet_<path after \Device\>" for it and opens "\\.\Packet_..." exclusively for overlapped I/O.
// nullptr when memory runs out, the name does not fit deviceFileName, DefineDosDevice fails with anything but
// ERROR_INSUFFICIENT_BUFFER, or CreateFile fails. The DOS name stays defined.
Adapter* OpenAdapterDevice(LPCWSTR devicePath);  // UTF-16 form (registry inventory)
Adapter* OpenAdapterDevice(LPCSTR devicePath);   // narrow form (IP Helper inventory)
// Closes the device handle and frees the record (either form).
void CloseAdapterDevice(Adapter* pAdapter);
// Closes the device handle now, from any thread, so that a read pending on it ends at once (it fails);
// hDevice becomes INVALID_HANDLE_VALUE and the record stays allocated until CloseAdapterDevice, which then
// closes nothing. Later reads and requests on the record fail. A read that another thread is issuing at that
// moment is let through first, and ends with the close.
void AbortAdapterDevice(Adapter* pAdapter);

// A read request with its event; nullptr when the record or the event cannot be had.
Packet* CreateReadRequest(void);
// Closes the event and frees the record.
void DestroyReadRequest(Packet* pPacket);
// Binds the buffer that every read of this request fills, and how many bytes a read may fill.
void BindReadBuffer(Packet* pPacket, PVOID buffer, DWORD length);
// Reads one block: blocks until the driver completes the read. A read that the system refuses at once (closed
// or aborted device, ...) fails at once, with ReadFile's error. TRUE with *pBytesTransferred > 0 means
// the buffer holds one MultiPacketStorage block; TRUE with 0 bytes is a completed but empty read.
BOOL ReadBlock(Adapter* pAdapter, Packet* pPacket, DWORD* pBytesTransferred);

// Sends an OID request (8 + Length bytes as input and output buffer); bSet chooses the set control
// (0x80000000) over the query control (0x80000008). The driver's answer is the result.
BOOL RequestOid(Adapter* pAdapter, BOOL bSet, OidRequest* pRequest);
// Sets OID_GEN_CURRENT_PACKET_FILTER to `filter` with a 12-byte set request.
BOOL SetReceiveFilter(Adapter* pAdapter, DWORD filter);

// MultiPacketStorage: frameCount (32-bit little-endian) at offset 4, frame records from offset 16, each a
// 16-bit little-endian length L and L bytes, back to back (record start + 2 + L is the next record).
constexpr DWORD MULTI_PACKET_STORAGE_SIZE = 0x78000;  // 491,520: the buffer and every read's length
constexpr DWORD STORAGE_HEADER_BYTES = 16;
DWORD ReadStorageFrameCount(const BYTE* pStorage);
void WriteStorageFrameCount(BYTE* pStorage, DWORD frameCount);
// The block's first frame record.
inline const BYTE* FirstFrameRecord(const BYTE* pStorage) { return pStorage + STORAGE_HEADER_BYTES; }
// A record's frame length, its frame bytes, and the record after it.
inline WORD FrameRecordLength(const BYTE* pRecord) { return static_cast<WORD>(pRecord[0] | (pRecord[1] << 8)); }
inline const BYTE* FrameRecordData(const BYTE* pRecord) { return pRecord + 2; }
inline const BYTE* NextFrameRecord(const BYTE* pRecord) { return pRecord + 2 + FrameRecordLength(pRecord); }
