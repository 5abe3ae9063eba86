// The IP Helper readers: size query, malloc, fill. A platform that reports no adapters, or fails, gives an
// empty list and a count of 0.
#include <cstdlib>
#include <cstring>

#include "adapters/inventory.h"

namespace {

// An adapter that appears between the size query and the fill makes the fill answer "too small": the
// readers then ask again, a few times, rather than report no adapters at all.
constexpr int kIpHelperAttempts = 4;

bool TooSmall(DWORD status) { return status == ERROR_BUFFER_OVERFLOW || status == ERROR_INSUFFICIENT_BUFFER; }

// A malloc'd block filled by `call` (GetAdaptersInfo or GetInterfaceInfo), or nullptr.
template <typename Block>
Block* ReadSizedBlock(DWORD(WINAPI* call)(Block*, PULONG)) {
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

IP_ADAPTER_INFO* ReadAdapterList(void) { return ReadSizedBlock<IP_ADAPTER_INFO>(GetAdaptersInfo); }

LONG CountInterfaces(void) {
    IP_INTERFACE_INFO* info = ReadSizedBlock<IP_INTERFACE_INFO>(GetInterfaceInfo);
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
