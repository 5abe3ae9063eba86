// The inventory's state and its answers: the path rule, the card count and the selected card.
#include "adapters/inventory.h"

AdapterRecord AdapterTable[kAdapterTableSize];
std::atomic<LONG> nRequestedCard{0};
std::atomic<LONG> nSelectedCard{0};
std::atomic<LONG> nAdapterCount{0};

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

LONG GetCardNumber(void) { return nSelectedCard; }
