// The adapter inventory: which adapters the packet driver can capture on, from the registry (the driver's
// Linkage export and the NetworkCards list) or from the IP Helper interface, and the card-selection state.
#pragma once

#include <atomic>
#include <string>

#include "win32.h"

constexpr int kAdapterTableSize = 16;
constexpr int kAdapterTextUnits = 150;        // UTF-16 units of each AdapterRecord field
constexpr DWORD kLinkageExportBytes = 1024;   // the Export value's buffer
constexpr int kMaxLinkageEntries = 16;

struct AdapterRecord {
    WCHAR Description[kAdapterTextUnits];
    WCHAR ServiceName[kAdapterTextUnits];
};

// Rewritten from record 0 by every registry read and never cleared. Any Java thread may be reading it while
// another rewrites it: every reader and writer holds AdapterTableGuard, and no one holds it while waiting for
// the user or calling into the JVM. Its fields need not end in a NUL: read at most kAdapterTextUnits units.
extern AdapterRecord AdapterTable[kAdapterTableSize];

void LockAdapterTable(void);
void UnlockAdapterTable(void);
struct AdapterTableGuard {
    AdapterTableGuard() { LockAdapterTable(); }
    ~AdapterTableGuard() { UnlockAdapterTable(); }
    AdapterTableGuard(const AdapterTableGuard&) = delete;
    AdapterTableGuard& operator=(const AdapterTableGuard&) = delete;
};

// UTF-16 text handed to Java.
using AdapterText = std::basic_string<WCHAR>;

// CardSelection. Other Java threads read what DriverStart writes, so each is a single atomic word.
extern std::atomic<LONG> nRequestedCard;  // card-number argument of the last DriverStart
extern std::atomic<LONG> nSelectedCard;   // card that the last choice recorded
extern std::atomic<LONG> nAdapterCount;   // adapters that the last inventory found

// The Linkage entries: pointers into the export buffer, in stored order.
struct LinkageEntryList {
    const WCHAR* entries[kMaxLinkageEntries];
    int count;
};

// Path rule: the IP Helper path on major version 5 and later unless the card number is -2.
bool UseIpHelperPath(LONG cardNumber);

// Reads HKLM\SYSTEM\CurrentControlSet\Services\NetVorel\Linkage "Export" into `buffer` (1024 bytes).
// *byteCount receives the bytes read. Returns 0 or the registry status of the step that failed.
LONG ReadLinkageExport(WCHAR* buffer, DWORD* byteCount);

// Splits the multi-string into at most 16 entries, never looking past the `byteCount` bytes read: a string
// without its terminating NUL inside them ends the list.
void SplitLinkageExport(const WCHAR* buffer, DWORD byteCount, LinkageEntryList* list);

// Refills AdapterTable from HKLM\Software\Microsoft\Windows NT\CurrentVersion\NetworkCards, holding
// AdapterTableGuard while it writes (callers must not hold it).
// Returns 0 when at least one card was read and the enumeration ended normally, else the failing status.
LONG ReadNetworkCards(AdapterRecord* table);

// A fresh GetAdaptersInfo list (malloc'd block; free() it), or nullptr when the platform has none. The size
// query and the fill are repeated a few times while an adapter that appeared between them makes the fill
// answer that the block is too small.
IP_ADAPTER_INFO* ReadAdapterList(void);

// NumAdapters of a fresh GetInterfaceInfo block (read the same way), or 0 when the platform reports none or fails.
LONG CountInterfaces(void);

// The Description of list element `index` (0-based), converted from the ANSI code page; empty when the list
// has no such element.
AdapterText AdapterDescription(const IP_ADAPTER_INFO* list, LONG index);

// The inventory's answers to Java.
LONG GetCardNumbers(void);
AdapterText GetCardDescription(LONG index);
LONG GetCardNumber(void);
