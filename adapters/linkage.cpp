// The packet driver's Linkage export: one device name per adapter the driver is bound to.
#include <cstdio>

#include "adapters/inventory.h"
#include "adapters/registry_chain.h"

namespace {

const RegistryStep kLinkageSteps[] = {
    {WTEXT("SYSTEM"), "Unable to read SYSTEM key in the Registry", nullptr},
    {WTEXT("CurrentControlSet"), "Unable to read \"SYSTEM\\CurrentControlSet\" key in the Registry", nullptr},
    {WTEXT("Services"), "Unable to read \"SYSTEM\\CurrentControlSet\\Services\" key in the Registry", nullptr},
    {WTEXT("NetVorel"), "Unable to read \"SYSTEM\\CurrentControlSet\\Services\\NetVorel\" key in registry",
     "This usually means Network Vorel Packet Driver is not installed\n"},
    {WTEXT("Linkage"), "Unable to read \"SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage\" key in the Registry",
     "This usually means our Packet Driver was installed BEFORE the NIC driver\n"},
};
constexpr int kLinkageStepCount = sizeof kLinkageSteps / sizeof kLinkageSteps[0];

}  // namespace

LONG ReadLinkageExport(WCHAR* buffer, DWORD* byteCount) {
    HKEY keys[kLinkageStepCount];
    LONG status = OpenRegistryChain(kLinkageSteps, kLinkageStepCount, keys);
    if (status != ERROR_SUCCESS) {
        *byteCount = 0;
        return status;
    }
    *byteCount = kLinkageExportBytes;
    status = RegQueryValueExW(keys[kLinkageStepCount - 1], WTEXT("Export"), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                              byteCount);
    if (status != ERROR_SUCCESS) *byteCount = 0;
    CloseRegistryChain(keys, kLinkageStepCount);
    fflush(stdout);
    return status;
}

void SplitLinkageExport(const WCHAR* buffer, DWORD byteCount, LinkageEntryList* list) {
    // Only whole UTF-16 units that the registry actually returned are looked at.
    size_t units = byteCount / sizeof(WCHAR);
    if (units > kLinkageExportBytes / sizeof(WCHAR)) units = kLinkageExportBytes / sizeof(WCHAR);
    list->count = 0;
    size_t position = 0;
    while (list->count < kMaxLinkageEntries && position < units && buffer[position] != 0) {
        size_t length = WideLength(buffer + position, units - position);
        if (position + length >= units) break;  // no terminating NUL inside the data: the list ends here
        list->entries[list->count++] = buffer + position;
        position += length + 1;
    }
}
