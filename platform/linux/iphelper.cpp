// IP Helper over the machine's network interfaces (interface-index order, loopback included), or over the
// list that TAMSIL_ADAPTERS ("name|description;...", UTF-8) or a test gives instead. Descriptions reach the
// caller in the ANSI code page, as Windows gives them.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <net/if_arp.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "faults.h"
#include "immortal.h"
#include "testing.h"
#include "unicode.h"
#include "win32_iphelper.h"

namespace {

struct AdapterEntry {
    unsigned index;
    std::string name;
    std::string description;
    std::vector<BYTE> mac;
    UINT type;
    std::string ipv4;
};

std::mutex overrideLock;
bool adaptersOverridden = false;
std::string& adaptersOverride = Immortal<std::string>();
std::function<void(const std::string&)> callObserver;

void ObserveCall(const char* call) {
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard<std::mutex> guard(overrideLock);
        observer = callObserver;
    }
    if (observer) observer(call);
}

std::string HardwareKind(int family) {
    switch (family) {
        case ARPHRD_ETHER: return "Ethernet";
        case ARPHRD_LOOPBACK: return "Loopback";
        case ARPHRD_IEEE80211:
        case ARPHRD_IEEE80211_RADIOTAP: return "Wireless";
        case ARPHRD_NONE: return "Point-to-point";
        default: return "Network";
    }
}

// "eth0: virtio_net Ethernet adapter (52:54:00:12:34:56)", from what the kernel says about the interface.
void Describe(int sock, AdapterEntry& entry) {
    ifreq request{};
    std::strncpy(request.ifr_name, entry.name.c_str(), IFNAMSIZ - 1);
    int family = -1;
    if (ioctl(sock, SIOCGIFHWADDR, &request) == 0) {
        family = request.ifr_hwaddr.sa_family;
        entry.mac.assign(reinterpret_cast<BYTE*>(request.ifr_hwaddr.sa_data), reinterpret_cast<BYTE*>(request.ifr_hwaddr.sa_data) + 6);
    }
    entry.type = family == ARPHRD_ETHER ? MIB_IF_TYPE_ETHERNET : family == ARPHRD_LOOPBACK ? MIB_IF_TYPE_LOOPBACK : MIB_IF_TYPE_OTHER;

    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    ifreq drvRequest{};
    std::strncpy(drvRequest.ifr_name, entry.name.c_str(), IFNAMSIZ - 1);
    drvRequest.ifr_data = reinterpret_cast<char*>(&info);
    std::string driver, bus;
    if (ioctl(sock, SIOCETHTOOL, &drvRequest) == 0) {
        driver.assign(info.driver, strnlen(info.driver, sizeof info.driver));
        bus.assign(info.bus_info, strnlen(info.bus_info, sizeof info.bus_info));
    }

    std::string text = entry.name + ": ";
    if (!driver.empty()) text += driver + " ";
    text += HardwareKind(family) + " adapter";
    if (!bus.empty() && bus != "N/A") text += " at " + bus;
    if (entry.mac.size() == 6) {
        char mac[32];
        std::snprintf(mac, sizeof mac, " (%02x:%02x:%02x:%02x:%02x:%02x)", entry.mac[0], entry.mac[1], entry.mac[2], entry.mac[3],
                      entry.mac[4], entry.mac[5]);
        text += mac;
    }
    entry.description = text;
}

std::vector<AdapterEntry> MachineAdapters() {
    std::vector<AdapterEntry> adapters;
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return adapters;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (struct if_nameindex* n = names; n->if_index != 0 && n->if_name != nullptr; ++n) {
        AdapterEntry entry{n->if_index, n->if_name, "", {}, MIB_IF_TYPE_OTHER, ""};
        if (sock >= 0) Describe(sock, entry);
        adapters.push_back(entry);
    }
    if (sock >= 0) close(sock);
    if_freenameindex(names);
    std::sort(adapters.begin(), adapters.end(), [](const AdapterEntry& a, const AdapterEntry& b) { return a.index < b.index; });

    ifaddrs* addresses = nullptr;
    if (getifaddrs(&addresses) == 0) {
        for (ifaddrs* a = addresses; a != nullptr; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
            for (auto& entry : adapters)
                if (entry.name == a->ifa_name && entry.ipv4.empty()) {
                    char text[INET_ADDRSTRLEN];
                    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
                    entry.ipv4 = text;
                }
        }
        freeifaddrs(addresses);
    }
    return adapters;
}

std::vector<AdapterEntry> ListedAdapters(const std::string& list) {
    std::vector<AdapterEntry> adapters;
    size_t start = 0;
    unsigned index = 1;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        size_t bar = item.find('|');
        AdapterEntry entry{index++, item.substr(0, bar), bar == std::string::npos ? item : item.substr(bar + 1), {}, MIB_IF_TYPE_ETHERNET, ""};
        adapters.push_back(entry);
    }
    return adapters;
}

std::vector<AdapterEntry> CurrentAdapters() {
    {
        std::lock_guard<std::mutex> guard(overrideLock);
        if (adaptersOverridden) return ListedAdapters(adaptersOverride);
    }
    if (const char* list = std::getenv("TAMSIL_ADAPTERS")) return ListedAdapters(list);
    return MachineAdapters();
}

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

}  // namespace

extern "C" DWORD WINAPI GetInterfaceInfo(PIP_INTERFACE_INFO pIfTable, PULONG dwOutBufLen) {
    if (dwOutBufLen == nullptr) return ERROR_INVALID_PARAMETER;
    ObserveCall("GetInterfaceInfo");
    DWORD error = 0;
    if (StandInCallFails("GetInterfaceInfo", &error)) return error;
    std::vector<AdapterEntry> adapters = CurrentAdapters();
    if (adapters.empty()) return ERROR_NO_DATA;
    ULONG needed = static_cast<ULONG>(offsetof(IP_INTERFACE_INFO, Adapter) + adapters.size() * sizeof(IP_ADAPTER_INDEX_MAP));
    if (pIfTable == nullptr || *dwOutBufLen < needed) {
        *dwOutBufLen = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memset(pIfTable, 0, needed);
    pIfTable->NumAdapters = static_cast<LONG>(adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        IP_ADAPTER_INDEX_MAP& map = pIfTable->Adapter[i];
        map.Index = adapters[i].index;
        std::u16string name = u"\\DEVICE\\TCPIP_" + Utf8ToUtf16(adapters[i].name);
        size_t n = std::min(name.size(), static_cast<size_t>(MAX_ADAPTER_NAME - 1));
        std::memcpy(map.Name, name.data(), n * sizeof(WCHAR));
    }
    return NO_ERROR;
}

extern "C" DWORD WINAPI GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer) {
    if (SizePointer == nullptr) return ERROR_INVALID_PARAMETER;
    ObserveCall("GetAdaptersInfo");
    DWORD error = 0;
    if (StandInCallFails("GetAdaptersInfo", &error)) return error;
    std::vector<AdapterEntry> adapters = CurrentAdapters();
    if (adapters.empty()) return ERROR_NO_DATA;
    ULONG needed = static_cast<ULONG>(adapters.size() * sizeof(IP_ADAPTER_INFO));
    if (AdapterInfo == nullptr || *SizePointer < needed) {
        *SizePointer = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(AdapterInfo, 0, needed);
    for (size_t i = 0; i < adapters.size(); ++i) {
        IP_ADAPTER_INFO& info = AdapterInfo[i];
        const AdapterEntry& entry = adapters[i];
        info.Next = i + 1 < adapters.size() ? &AdapterInfo[i + 1] : nullptr;
        info.ComboIndex = entry.index;
        info.Index = entry.index;
        info.Type = entry.type;
        CopyText(info.AdapterName, entry.name);
        CopyText(info.Description, Utf8ToAnsi(entry.description, sizeof info.Description - 1));
        info.AddressLength = static_cast<UINT>(std::min(entry.mac.size(), sizeof info.Address));
        if (info.AddressLength != 0) std::memcpy(info.Address, entry.mac.data(), info.AddressLength);
        CopyText(info.IpAddressList.IpAddress.String, entry.ipv4.empty() ? "0.0.0.0" : entry.ipv4);
        CopyText(info.IpAddressList.IpMask.String, "0.0.0.0");
        CopyText(info.GatewayList.IpAddress.String, "0.0.0.0");
    }
    return NO_ERROR;
}

void StandInSetAdapters(const char* adapters) {
    std::lock_guard<std::mutex> guard(overrideLock);
    adaptersOverridden = adapters != nullptr;
    adaptersOverride = adapters != nullptr ? adapters : "";
}

void StandInOnIpHelperCall(std::function<void(const std::string& call)> observer) {
    std::lock_guard<std::mutex> guard(overrideLock);
    callObserver = std::move(observer);
}
