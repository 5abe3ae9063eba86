// The IP Helper readers: size query, malloc, second call. A platform that reports no adapters, or fails,
// gives an empty list and a count of 0.
#include <cstdlib>

#include "adapters/inventory.h"

IP_ADAPTER_INFO* ReadAdapterList(void) {
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return nullptr;
    auto* list = static_cast<IP_ADAPTER_INFO*>(malloc(size));
    if (list == nullptr) return nullptr;
    if (GetAdaptersInfo(list, &size) != NO_ERROR) {
        free(list);
        return nullptr;
    }
    return list;
}

LONG CountInterfaces(void) {
    ULONG size = 0;
    if (GetInterfaceInfo(nullptr, &size) != ERROR_INSUFFICIENT_BUFFER || size == 0) return 0;
    auto* info = static_cast<IP_INTERFACE_INFO*>(malloc(size));
    if (info == nullptr) return 0;
    LONG count = GetInterfaceInfo(info, &size) == NO_ERROR ? info->NumAdapters : 0;
    free(info);
    return count;
}
