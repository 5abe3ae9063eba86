// ChooseAdapter on the registry path (Linkage entries matched to NetworkCards records) and on the IP
// Helper path (\Device\NetVorel_<adapter name>).
#include "adapters/choice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "adapters/print_error.h"
#include "adapters/process_end.h"

namespace {

constexpr UINT kWarningBoxStyle = MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL | MB_SETFOREGROUND;
const char kSupportAddress[] = "support@larkspire.com";

void PrintRegistryRows(LONG count) {
    std::string rows[kAdapterTableSize];
    LONG shown = count < kAdapterTableSize ? count : kAdapterTableSize;
    {
        AdapterTableGuard guard;
        for (LONG k = 1; k <= shown; ++k) rows[k - 1] = ConsoleText(AdapterTable[k - 1].Description, kAdapterTextUnits);
    }
    for (LONG k = 1; k <= shown; ++k) printf("%2u, %s\n", static_cast<unsigned>(k), rows[k - 1].c_str());
}

// The system's own bytes, never past the field.
int DescriptionBytes(const IP_ADAPTER_INFO* adapter) {
    return static_cast<int>(strnlen(adapter->Description, sizeof adapter->Description));
}

void PrintIpHelperRows(LONG) {
    IP_ADAPTER_INFO* list = ReadAdapterList();
    unsigned k = 1;
    for (IP_ADAPTER_INFO* adapter = list; adapter != nullptr; adapter = adapter->Next)
        printf("%2u, %.*s\n", k++, DescriptionBytes(adapter), adapter->Description);
    free(list);
}

// The chosen card's description, copied under the table's lock.
void CopyDescription(LONG choice, ChosenAdapter* chosen) {
    const WCHAR* description = AdapterTable[choice - 1].Description;
    size_t units = WideLength(description, kAdapterTextUnits);
    memcpy(chosen->descriptionW, description, units * sizeof(WCHAR));
    chosen->descriptionW[units] = 0;
}

// MatchLinkageEntry's work; the caller holds the table's lock.
const WCHAR* MatchCard(const LinkageEntryList* list, LONG choice) {
    if (choice < 1 || choice > kAdapterTableSize) return nullptr;  // no such AdapterTable record
    size_t skip = LOBYTE(GetVersion()) < 5 ? 15 : 17;
    const WCHAR* serviceName = AdapterTable[choice - 1].ServiceName;
    size_t serviceUnits = WideLength(serviceName, kAdapterTextUnits);
    for (int i = 0; i < list->count; ++i) {
        const WCHAR* entry = list->entries[i];
        if (WideLength(entry, skip) < skip) continue;
        // Equal as wcscmp would find them, without trusting the field to hold a NUL.
        const WCHAR* tail = entry + skip;
        if (WideLength(tail, serviceUnits + 1) == serviceUnits && memcmp(tail, serviceName, serviceUnits * sizeof(WCHAR)) == 0)
            return entry;
    }
    return nullptr;
}

bool ChooseFromRegistry(LONG cardNumber, ChosenAdapter* chosen) {
    DWORD exportBytes = 0;
    if (ReadLinkageExport(chosen->exportBuffer, &exportBytes) != ERROR_SUCCESS) {
        if (!BeginEndingFromChoice()) return false;
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
        AdapterTableGuard guard;
        CopyDescription(1, chosen);
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
    {
        AdapterTableGuard guard;
        chosen->deviceNameW = MatchCard(&linkage, choice);
        if (chosen->deviceNameW != nullptr) CopyDescription(choice, chosen);
    }
    if (chosen->deviceNameW == nullptr || CtrlCHasBegun()) return false;
    printf("User selected Adapter: %s\n", ConsoleText(chosen->descriptionW, kAdapterTextUnits).c_str());
    return true;
}

void TakeIpHelperAdapter(const IP_ADAPTER_INFO* adapter, ChosenAdapter* chosen) {
    wsprintfA(chosen->deviceNameA, "\\Device\\NetVorel_%s", adapter->AdapterName);
    size_t bytes = static_cast<size_t>(DescriptionBytes(adapter));
    if (bytes > sizeof chosen->descriptionA - 1) bytes = sizeof chosen->descriptionA - 1;
    memcpy(chosen->descriptionA, adapter->Description, bytes);
    chosen->descriptionA[bytes] = '\0';
}

// The interface table counted adapters that the adapter list then did not deliver.
void PrintListUnreadable() { PrintError("Could not get the list of network adapters"); }

bool ChooseFromIpHelper(LONG cardNumber, ChosenAdapter* chosen) {
    chosen->deviceNameA[0] = '\0';
    IP_ADAPTER_INFO* list = ReadAdapterList();
    LONG count = CountInterfaces();
    nAdapterCount = count;
    if (count < 1) {
        free(list);
        if (!BeginEndingFromChoice()) return false;
        printf("\nWARNING: Could not find any network adapters on this system\n");
        printf("\nIf you're sure you have network adapters installed, contact %s for further instructions.\n", kSupportAddress);
        exit(-1);
    }
    if (count == 1) {
        nSelectedCard = 1;
        bool found = list != nullptr;
        if (found)
            TakeIpHelperAdapter(list, chosen);
        else
            PrintListUnreadable();
        free(list);
        return found;
    }
    free(list);
    LONG choice;
    if (cardNumber >= 0) {
        if (cardNumber > count) {
            if (!BeginEndingFromChoice()) return false;
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
        if (list == nullptr) {
            PrintListUnreadable();
        } else {
            char line[96];
            wsprintfA(line, "Network card %d is not in the list of network adapters", static_cast<int>(choice));
            PrintError(line);
        }
        free(list);
        return false;
    }
    TakeIpHelperAdapter(adapter, chosen);
    if (CtrlCHasBegun()) {
        free(list);
        return false;
    }
    printf("User selected Adapter: %s\n", chosen->descriptionA);
    free(list);
    return true;
}

}  // namespace

const WCHAR* MatchLinkageEntry(const LinkageEntryList* list, LONG choice) {
    AdapterTableGuard guard;
    return MatchCard(list, choice);
}

bool ChooseAdapter(LONG cardNumber, ChosenAdapter* chosen) {
    if (CtrlCHasBegun()) return false;
    chosen->wide = !UseIpHelperPath(cardNumber);
    bool ok = chosen->wide ? ChooseFromRegistry(cardNumber, chosen) : ChooseFromIpHelper(cardNumber, chosen);
    fflush(stdout);
    return ok;
}
