// ChooseAdapter on the registry path (Linkage entries matched to NetworkCards records) and on the IP
// Helper path (\Device\NetVorel_<adapter name>).
#include "adapters/choice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapters/print_error.h"

namespace {

constexpr UINT kWarningBoxStyle = MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL | MB_SETFOREGROUND;
const char kSupportAddress[] = "support@larkspire.com";

void PrintRegistryRows(LONG count) {
    for (LONG k = 1; k <= count && k <= kAdapterTableSize; ++k)
        printf("%2u, %s\n", static_cast<unsigned>(k), ConsoleText(AdapterTable[k - 1].Description, kAdapterTextUnits).c_str());
}

void PrintIpHelperRows(LONG) {
    IP_ADAPTER_INFO* list = ReadAdapterList();
    unsigned k = 1;
    for (IP_ADAPTER_INFO* adapter = list; adapter != nullptr; adapter = adapter->Next) printf("%2u, %s\n", k++, adapter->Description);
    free(list);
}

bool ChooseFromRegistry(LONG cardNumber, ChosenAdapter* chosen) {
    DWORD exportBytes = 0;
    if (ReadLinkageExport(chosen->exportBuffer, &exportBytes) != ERROR_SUCCESS) {
        PrintError("Could not get Adapter Names");
        MessageBoxA(nullptr,
                    "No cards were found. Run ousterling.exe from\nyour Network Vorel directory, then reboot your computer and\n"
                    "run inductling.exe (from a command shell)",
                    "Packet driver", kWarningBoxStyle);
        exit(0);
    }
    LinkageEntryList linkage;
    SplitLinkageExport(chosen->exportBuffer, exportBytes, &linkage);
    LONG cardsStatus = ReadNetworkCards(AdapterTable);
    nAdapterCount = linkage.count;
    if (cardsStatus != ERROR_SUCCESS) {
        printf("\n*** ERROR: could not get Adapter information from registry ***\n");
        printf("\n");
        return false;
    }
    if (linkage.count < 1) {
        printf("\nWARNING: Could not find any network adapters on this system\n");
        printf("Is the Network Vorel Packet Driver correctly installed on this machine?\n");
        printf("See userguide.html in your network vorel\\doc directory for more information.\n");
        return false;
    }
    if (linkage.count == 1) {
        nSelectedCard = 1;
        chosen->deviceNameW = linkage.entries[0];
        chosen->descriptionW = AdapterTable[0].Description;
        return true;
    }
    LONG choice;
    if (cardNumber >= 0) {
        choice = cardNumber;
        nSelectedCard = cardNumber;
    } else {
        choice = PromptForCard(linkage.count, PrintRegistryRows);
        if (choice < 0) return false;
    }
    const WCHAR* device = MatchLinkageEntry(&linkage, choice);
    if (device == nullptr) return false;
    printf("User selected Adapter: %s\n", ConsoleText(AdapterTable[choice - 1].Description, kAdapterTextUnits).c_str());
    chosen->deviceNameW = device;
    chosen->descriptionW = AdapterTable[choice - 1].Description;
    return true;
}

void TakeIpHelperAdapter(const IP_ADAPTER_INFO* adapter, ChosenAdapter* chosen) {
    wsprintfA(chosen->deviceNameA, "\\Device\\NetVorel_%s", adapter->AdapterName);
    strncpy(chosen->descriptionA, adapter->Description, sizeof chosen->descriptionA - 1);
    chosen->descriptionA[sizeof chosen->descriptionA - 1] = '\0';
}

bool ChooseFromIpHelper(LONG cardNumber, ChosenAdapter* chosen) {
    chosen->deviceNameA[0] = '\0';
    IP_ADAPTER_INFO* list = ReadAdapterList();
    LONG count = CountInterfaces();
    nAdapterCount = count;
    if (count < 1) {
        free(list);
        printf("\nWARNING: Could not find any network adapters on this system\n");
        printf("\nIf you're sure you have network adapters installed, contact %s for further instructions.\n", kSupportAddress);
        exit(-1);
    }
    if (count == 1) {
        nSelectedCard = 1;
        bool found = list != nullptr;
        if (found) TakeIpHelperAdapter(list, chosen);
        free(list);
        return found;
    }
    free(list);
    LONG choice;
    if (cardNumber >= 0) {
        if (cardNumber > count) {
            printf("Invalid network card choice.\n");
            exit(-1);
        }
        choice = cardNumber;
        nSelectedCard = cardNumber;
    } else {
        choice = PromptForCard(count, PrintIpHelperRows);
        if (choice < 0) return false;
    }
    list = ReadAdapterList();
    IP_ADAPTER_INFO* adapter = list;
    // The count comes from the interface table and the list from another call: never walk past its end.
    for (LONG i = 1; i < choice && adapter != nullptr; ++i) adapter = adapter->Next;
    if (adapter == nullptr) {
        free(list);
        return false;
    }
    TakeIpHelperAdapter(adapter, chosen);
    printf("User selected Adapter: %s\n", chosen->descriptionA);
    free(list);
    return true;
}

}  // namespace

const WCHAR* MatchLinkageEntry(const LinkageEntryList* list, LONG choice) {
    if (choice < 1 || choice > kAdapterTableSize) return nullptr;  // no such AdapterTable record
    size_t skip = LOBYTE(GetVersion()) < 5 ? 15 : 17;
    const WCHAR* serviceName = AdapterTable[choice - 1].ServiceName;
    for (int i = 0; i < list->count; ++i) {
        const WCHAR* entry = list->entries[i];
        if (WideLength(entry, skip) < skip) continue;
        if (WideCompare(entry + skip, serviceName) == 0) return entry;
    }
    return nullptr;
}

bool ChooseAdapter(LONG cardNumber, ChosenAdapter* chosen) {
    chosen->wide = !UseIpHelperPath(cardNumber);
    bool ok = chosen->wide ? ChooseFromRegistry(cardNumber, chosen) : ChooseFromIpHelper(cardNumber, chosen);
    fflush(stdout);
    return ok;
}
