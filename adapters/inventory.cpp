// The inventory's state and its answers: the path rule, the card count, the descriptions and the selected card.
#include "adapters/inventory.h"

#include <cstdlib>
#include <memory>

AdapterRecord AdapterTable[kAdapterTableSize];
std::atomic<LONG> nRequestedCard{0};
std::atomic<LONG> nSelectedCard{0};
std::atomic<LONG> nAdapterCount{0};

namespace {

// A critical section rather than a slim lock: the library also runs on NT 4.0 and 2000. It exists before any
// call can reach the library.
struct AdapterTableLock {
    CRITICAL_SECTION section;
    AdapterTableLock() { InitializeCriticalSection(&section); }
} adapterTableLock;

}  // namespace

void LockAdapterTable(void) { EnterCriticalSection(&adapterTableLock.section); }

void UnlockAdapterTable(void) { LeaveCriticalSection(&adapterTableLock.section); }

bool UseIpHelperPath(LONG cardNumber) { return LOBYTE(GetVersion()) >= 5 && cardNumber != -2; }

LONG GetCardNumbers(void) {
    if (UseIpHelperPath(nRequestedCard)) return CountInterfaces();
    WCHAR exportBuffer[kLinkageExportBytes / sizeof(WCHAR)];
    DWORD exportBytes = 0;
    if (ReadLinkageExport(exportBuffer, &exportBytes) != ERROR_SUCCESS) return -1;
    LinkageEntryList linkage;
    SplitLinkageExport(exportBuffer, exportBytes, &linkage);
    ReadNetworkCards(AdapterTable);  // only for the descriptions: its outcome does not change the count
    nAdapterCount = linkage.count;
    return linkage.count;
}

AdapterText GetCardDescription(LONG index) {
    if (!UseIpHelperPath(nRequestedCard)) {
        // Only the table's 16 records exist; any other index describes nothing.
        if (index < 0 || index >= kAdapterTableSize) return AdapterText();
        AdapterTableGuard guard;
        const WCHAR* description = AdapterTable[index].Description;
        return AdapterText(description, WideLength(description, kAdapterTextUnits));
    }
    // Freed however the description's copy ends (it may run out of memory).
    std::unique_ptr<IP_ADAPTER_INFO, decltype(&free)> list(ReadAdapterList(), &free);
    return AdapterDescription(list.get(), index);
}

LONG GetCardNumber(void) { return nSelectedCard; }
