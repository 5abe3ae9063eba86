// An IP Helper whose answers a test sets: what tamsil.dll's LoadLibraryA("iphlpapi.dll") gets in a harness child
// started for it (harness_child.h). TAMSIL_FAKE_IP_HELPER holds
// "<interfaces> <adapters> <fills answered too small first>": GetInterfaceInfo counts the first, GetAdaptersInfo
// lists the second ("{fake-<i>}", "Fake adapter <i>"; none: ERROR_NO_DATA), which is what a Windows whose two
// tables disagree, or whose adapter list grows between the size query and the fill, answers.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Script {
    int interfaces = 0;
    int adapters = 0;
    int tooSmall = 0;
};

Script& Current() {
    static Script script = [] {
        Script s;
        char text[64] = "";
        if (GetEnvironmentVariableA("TAMSIL_FAKE_IP_HELPER", text, sizeof text) > 0)
            std::sscanf(text, "%d %d %d", &s.interfaces, &s.adapters, &s.tooSmall);
        return s;
    }();
    return script;
}

// The size protocol of both calls: the size needed when the block is missing or short, or a fill told too small.
bool Fits(ULONG needed, const void* block, PULONG size) {
    bool fits = block != nullptr && *size >= needed && Current().tooSmall == 0;
    if (block != nullptr && *size >= needed && Current().tooSmall > 0) --Current().tooSmall;
    if (!fits) *size = needed;
    return fits;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI GetAdaptersInfo(PIP_ADAPTER_INFO list, PULONG size) {
    int n = Current().adapters;
    if (n == 0) return ERROR_NO_DATA;
    if (!Fits(static_cast<ULONG>(n * sizeof(IP_ADAPTER_INFO)), list, size)) return ERROR_BUFFER_OVERFLOW;
    std::memset(list, 0, n * sizeof(IP_ADAPTER_INFO));
    for (int i = 0; i < n; ++i) {
        std::snprintf(list[i].AdapterName, sizeof list[i].AdapterName, "{fake-%d}", i);
        std::snprintf(list[i].Description, sizeof list[i].Description, "Fake adapter %d", i);
        list[i].Next = i + 1 < n ? &list[i + 1] : nullptr;
    }
    return NO_ERROR;
}

extern "C" __declspec(dllexport) DWORD WINAPI GetInterfaceInfo(PIP_INTERFACE_INFO info, PULONG size) {
    int n = Current().interfaces;
    if (!Fits(static_cast<ULONG>(sizeof(IP_INTERFACE_INFO) + n * sizeof(IP_ADAPTER_INDEX_MAP)), info, size))
        return ERROR_INSUFFICIENT_BUFFER;
    info->NumAdapters = n;
    return NO_ERROR;
}
