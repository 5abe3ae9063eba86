// The system's NetworkCards list: a description and a service name per installed card, into AdapterTable.
#include <cstdio>

#include "adapters/inventory.h"
#include "adapters/print_error.h"
#include "adapters/registry_chain.h"

namespace {

const RegistryStep kNetworkCardsSteps[] = {
    {WTEXT("Software"), "Unable to read Software key in registry", nullptr},
    {WTEXT("Microsoft"), "Unable to read \"Software\\Microsoft\" key in registry", nullptr},
    {WTEXT("Windows NT"), "Unable to read \"Software\\Microsoft\\Windows NT\" key in registry", nullptr},
    {WTEXT("CurrentVersion"), "Unable to read \"Software\\Microsoft\\Windows NT\\CurrentVersion\" key in registry", nullptr},
    {WTEXT("NetworkCards"), "Unable to read \"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\" key in registry",
     nullptr},
};
constexpr int kNetworkCardsStepCount = sizeof kNetworkCardsSteps / sizeof kNetworkCardsSteps[0];

constexpr DWORD kSubkeyNameUnits = 5;

// Reads a string value straight into a 150-unit field. The text ends at the length the registry returned: a
// NUL follows it inside the field, except when it fills all 300 bytes, which every reader of the field allows for.
LONG ReadCardText(HKEY card, const WCHAR* valueName, WCHAR* field, const char* failureText) {
    DWORD bytes = kAdapterTextUnits * sizeof(WCHAR);
    LONG status = RegQueryValueExW(card, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(field), &bytes);
    if (status == ERROR_MORE_DATA) {
        PrintError("The buffer specified is too small");
        return status;
    }
    if (status != ERROR_SUCCESS) {
        PrintError(failureText);
        return status;
    }
    DWORD units = bytes / sizeof(WCHAR);
    if (units < kAdapterTextUnits) field[units] = 0;
    return ERROR_SUCCESS;
}

}  // namespace

LONG ReadNetworkCards(AdapterRecord* table) {
    AdapterTableGuard guard;  // the registry reads are short and never wait for the user
    HKEY keys[kNetworkCardsStepCount];
    LONG status = OpenRegistryChain(kNetworkCardsSteps, kNetworkCardsStepCount, keys);
    if (status != ERROR_SUCCESS) {
        fflush(stdout);
        return status;
    }
    HKEY networkCards = keys[kNetworkCardsStepCount - 1];
    int cardsSeen = 0;
    for (DWORD index = 0;; ++index) {
        // The table has 16 records: a 17th card ends the read as if the list ended there.
        if (cardsSeen == kAdapterTableSize) {
            status = ERROR_NO_MORE_ITEMS;
            break;
        }
        WCHAR name[kSubkeyNameUnits];
        DWORD nameUnits = kSubkeyNameUnits;
        status = RegEnumKeyExW(networkCards, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            PrintError("Unable to enumerate subkeys of \"Software\\Microsoft\\WindowsNT\\CurrentVersion\\NetworkCards in Registry");
            break;
        }
        ++cardsSeen;
        HKEY card;
        status = RegOpenKeyExW(networkCards, name, 0, KEY_READ, &card);
        if (status != ERROR_SUCCESS) {
            PrintError("Unable to open subkeys of \"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards in the Registry");
            break;
        }
        AdapterRecord* record = &table[cardsSeen - 1];
        status = ReadCardText(card, WTEXT("Description"), record->Description,
                              "Unable to get the value of a parameter \"Description\"");
        if (status == ERROR_SUCCESS)
            status = ReadCardText(card, WTEXT("ServiceName"), record->ServiceName,
                                  "Unable to get the value of a parameter \"ServiceName\"");
        RegCloseKey(card);
        if (status != ERROR_SUCCESS) break;
    }
    CloseRegistryChain(keys, kNetworkCardsStepCount);
    fflush(stdout);
    if (status == ERROR_NO_MORE_ITEMS && cardsSeen > 0) return ERROR_SUCCESS;
    return status;
}
