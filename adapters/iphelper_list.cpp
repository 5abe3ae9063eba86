// The IP Helper readers: size query, malloc, fill. A platform that reports no adapters, or fails, gives an
// empty list and a count of 0.
//
// IP Helper is looked up when first needed, not imported: NT 4.0 has no iphlpapi.dll with these calls, and a
// DLL that imports it would not load there at all. There the path rule never asks for it; where it cannot be
// had, the readers answer as when the calls fail.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "adapters/inventory.h"
#include "adapters/print_error.h"

namespace {

// An adapter that appears between the size query and the fill makes the fill answer "too small": the
// readers then ask again, a few times, rather than report no adapters at all.
constexpr int kIpHelperAttempts = 4;

typedef DWORD(WINAPI* GetAdaptersInfoCall)(PIP_ADAPTER_INFO, PULONG);
typedef DWORD(WINAPI* GetInterfaceInfoCall)(PIP_INTERFACE_INFO, PULONG);

struct IpHelperCalls {
    GetAdaptersInfoCall pGetAdaptersInfo;
    GetInterfaceInfoCall pGetInterfaceInfo;
};

// A looked-up address as the function it is.
template <typename Call>
Call AsCall(FARPROC proc) {
    return reinterpret_cast<Call>(reinterpret_cast<void (*)(void)>(proc));
}

// Says once, for the process, which part of IP Helper is missing: without it the adapters found are none, and
// the start's "Could not find any network adapters" would not say why.
void PrintMissingIpHelper(HMODULE hIpHelper, DWORD loadError, const IpHelperCalls& calls) {
    char line[160];
    if (hIpHelper == nullptr) {
        wsprintfA(line, "IP Helper (iphlpapi.dll) could not be loaded (error %lu): the network adapters cannot be listed",
                  static_cast<unsigned long>(loadError));
    } else if (calls.pGetAdaptersInfo == nullptr || calls.pGetInterfaceInfo == nullptr) {
        wsprintfA(line, "IP Helper (iphlpapi.dll) has no %s: the network adapters cannot be listed",
                  calls.pGetInterfaceInfo == nullptr
                      ? (calls.pGetAdaptersInfo == nullptr ? "GetInterfaceInfo or GetAdaptersInfo" : "GetInterfaceInfo")
                      : "GetAdaptersInfo");
    } else {
        return;
    }
    PrintError(line);
}

// IP Helper by its full path in the system directory. A bare name is also looked for in the current directory
// (before the system directory on Windows 2000, and on XP before SP2), where anyone may have put a DLL so named,
// to be loaded into a JVM that often runs as administrator.
HMODULE LoadIpHelper() {
    const char kFileName[] = "\\iphlpapi.dll";
    char path[MAX_PATH + sizeof kFileName];
    SetLastError(ERROR_FILENAME_EXCED_RANGE);  // what a directory too long for the path leaves; a failure sets its own
    UINT nDirectory = GetSystemDirectoryA(path, MAX_PATH);
    if (nDirectory == 0 || nDirectory >= MAX_PATH) return nullptr;
    memcpy(path + nDirectory, kFileName, sizeof kFileName);
    return LoadLibraryA(path);
}

// The calls, looked up by the first caller; any other caller meanwhile waits for that look-up to end. Both
// stay null where the DLL or a call is missing. The module stays loaded for the life of the process.
const IpHelperCalls& ResolveIpHelper() {
    enum : LONG { kNotLooked, kLooking, kLooked };
    static std::atomic<LONG> nState{kNotLooked};
    static IpHelperCalls calls;
    LONG expected = kNotLooked;
    if (nState.compare_exchange_strong(expected, kLooking)) {
        HMODULE hIpHelper = LoadIpHelper();
        DWORD loadError = hIpHelper == nullptr ? GetLastError() : 0;
        if (hIpHelper != nullptr) {
            calls.pGetAdaptersInfo = AsCall<GetAdaptersInfoCall>(GetProcAddress(hIpHelper, "GetAdaptersInfo"));
            calls.pGetInterfaceInfo = AsCall<GetInterfaceInfoCall>(GetProcAddress(hIpHelper, "GetInterfaceInfo"));
        }
        PrintMissingIpHelper(hIpHelper, loadError, calls);
        nState.store(kLooked, std::memory_order_release);
    } else {
        while (nState.load(std::memory_order_acquire) != kLooked) Sleep(1);
    }
    return calls;
}

bool TooSmall(DWORD status) { return status == ERROR_BUFFER_OVERFLOW || status == ERROR_INSUFFICIENT_BUFFER; }

// A malloc'd block filled by `call` (GetAdaptersInfo or GetInterfaceInfo), or nullptr.
template <typename Block>
Block* ReadSizedBlock(DWORD(WINAPI* call)(Block*, PULONG)) {
    if (call == nullptr) return nullptr;
    for (int attempt = 0; attempt < kIpHelperAttempts; ++attempt) {
        ULONG size = 0;
        if (!TooSmall(call(nullptr, &size)) || size == 0) return nullptr;
        auto* block = static_cast<Block*>(malloc(size));
        if (block == nullptr) return nullptr;
        DWORD status = call(block, &size);
        if (status == NO_ERROR) return block;
        free(block);
        if (!TooSmall(status)) return nullptr;
    }
    return nullptr;
}

}  // namespace

IP_ADAPTER_INFO* ReadAdapterList(void) { return ReadSizedBlock<IP_ADAPTER_INFO>(ResolveIpHelper().pGetAdaptersInfo); }

LONG CountInterfaces(void) {
    IP_INTERFACE_INFO* info = ReadSizedBlock<IP_INTERFACE_INFO>(ResolveIpHelper().pGetInterfaceInfo);
    LONG count = info != nullptr ? info->NumAdapters : 0;
    free(info);
    return count;
}

AdapterText AdapterDescription(const IP_ADAPTER_INFO* list, LONG index) {
    const IP_ADAPTER_INFO* adapter = index >= 0 ? list : nullptr;
    for (LONG i = 0; adapter != nullptr && i < index; ++i) adapter = adapter->Next;
    if (adapter == nullptr) return AdapterText();
    // The field is the system's ANSI code page text; never read past it, NUL or not.
    int bytes = static_cast<int>(strnlen(adapter->Description, sizeof adapter->Description));
    if (bytes == 0) return AdapterText();
    int units = MultiByteToWideChar(CP_ACP, 0, adapter->Description, bytes, nullptr, 0);
    if (units <= 0) return AdapterText();
    AdapterText text(static_cast<size_t>(units), WCHAR(0));
    units = MultiByteToWideChar(CP_ACP, 0, adapter->Description, bytes, text.data(), units);
    text.resize(units > 0 ? static_cast<size_t>(units) : 0);
    return text;
}
