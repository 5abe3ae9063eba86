// Live capture for \Device\NetVorel_<interface>, through libpcap.
//
// Settings: snapshot length 65,535 (a record's length is 16 bits), a kernel buffer of 16 MiB, TPACKET_V3 blocks
// handed over by the kernel when full or after kBlockTimeoutMs (so a read completes within a few milliseconds
// of a frame), non-blocking reads with our own poll() so that closing the device wakes the reader at once.
// On a loopback interface only incoming frames are taken: the kernel shows each frame there twice.
// Promiscuous reception is a PACKET_MR_PROMISC membership on libpcap's socket (what pcap_set_promisc uses,
// which only works before activation); it ends with the socket, and is dropped explicitly on close.
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "capture_pcap.h"

namespace {

constexpr int kSnapLength = 65535;
constexpr int kKernelBufferBytes = 16 * 1024 * 1024;
constexpr int kBlockTimeoutMs = 5;
constexpr DWORD kPromiscuousBit = 0x20;  // NDIS_PACKET_TYPE_PROMISCUOUS

class LiveCapture : public DeviceSource {
public:
    LiveCapture(pcap_t* pcap, std::string interfaceName, int interfaceIndex)
        : pcap_(pcap), interface_(std::move(interfaceName)), index_(interfaceIndex) {}
    ~LiveCapture() override { pcap_close(pcap_); }

    ReadOutcome Read(BYTE* buffer, DWORD length, const ReadContext& context) override {
        BlockWriter block(buffer, length);
        if (!carried_.MoveInto(block)) {
            block.Finish();
            return ReadDone(block.Bytes());
        }
        for (;;) {
            if (context.Closed()) return ReadFailed(ERROR_OPERATION_ABORTED);
            // Wait first unless frames are known to be waiting (a dispatch was broken off, or the carried frames
            // already opened this block): poll answers at once when the kernel has handed blocks over.
            if (!framesWaiting_ && block.Frames() == 0) {
                const timeval* required = pcap_get_required_select_timeout(pcap_);
                int slice = required != nullptr ? static_cast<int>(required->tv_sec * 1000 + required->tv_usec / 1000) : -1;
                switch (WaitForInput(pcap_get_selectable_fd(pcap_), context, slice)) {
                    case WaitResult::Closed: return ReadFailed(ERROR_OPERATION_ABORTED);
                    case WaitResult::TimedOut: return ReadTimedOut();
                    case WaitResult::Readable: break;
                }
            }
            PcapFill fill{&block, &carried_, pcap_, false};
            int taken = pcap_dispatch(pcap_, -1, TakePcapFrame, reinterpret_cast<u_char*>(&fill));
            framesWaiting_ = fill.full;
            if (taken == PCAP_ERROR_BREAK && !fill.full) {  // a break flag left from before
                framesWaiting_ = true;
                continue;
            }
            if (taken == PCAP_ERROR && block.Frames() == 0) {
                Report(pcap_geterr(pcap_));
                return ReadFailed(ERROR_GEN_FAILURE);
            }
            if (block.Frames() != 0) {
                block.Finish();
                return ReadDone(block.Bytes());
            }
        }
    }

    DWORD SetPacketFilter(DWORD filter) override {
        std::lock_guard<std::mutex> guard(filterLock_);
        bool wanted = (filter & kPromiscuousBit) != 0;
        if (wanted == promiscuous_) return 0;
        if (!Membership(wanted)) return errno == EPERM || errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
        promiscuous_ = wanted;
        return 0;
    }

    void Close() override {
        std::lock_guard<std::mutex> guard(filterLock_);
        if (promiscuous_) Membership(false);
        promiscuous_ = false;
    }

    bool Stats(unsigned* received, unsigned* dropped) override {
        pcap_stat stats{};
        if (pcap_stats(pcap_, &stats) != 0) return false;
        *received = stats.ps_recv;
        *dropped = stats.ps_drop;
        return true;
    }

private:
    bool Membership(bool add) {
        packet_mreq request{};
        request.mr_ifindex = index_;
        request.mr_type = PACKET_MR_PROMISC;
        return setsockopt(pcap_fileno(pcap_), SOL_PACKET, add ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP,
                          &request, sizeof request) == 0;
    }

    void Report(const char* message) {
        if (reported_) return;
        reported_ = true;
        std::fprintf(stderr, "tamsil: capture on %s failed: %s\n", interface_.c_str(), message);
    }

    pcap_t* const pcap_;
    const std::string interface_;
    const int index_;
    CarriedFrames carried_;
    std::mutex filterLock_;
    bool promiscuous_ = false;
    bool reported_ = false;
    bool framesWaiting_ = true;  // the last dispatch stopped with frames left in libpcap's hands
};

bool IsLoopback(int sock, const std::string& interfaceName) {
    ifreq request{};
    std::strncpy(request.ifr_name, interfaceName.c_str(), IFNAMSIZ - 1);
    return ioctl(sock, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK) != 0;
}

DWORD ActivationError(int status) {
    switch (status) {
        case PCAP_ERROR_NO_SUCH_DEVICE: return ERROR_FILE_NOT_FOUND;
        case PCAP_ERROR_PERM_DENIED:
        case PCAP_ERROR_PROMISC_PERM_DENIED: return ERROR_ACCESS_DENIED;
        default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace

std::unique_ptr<DeviceSource> OpenLiveCapture(const std::string& interfaceName, DWORD* error) {
    unsigned index = if_nametoindex(interfaceName.c_str());
    if (index == 0) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    char message[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_create(interfaceName.c_str(), message);
    if (pcap == nullptr) {
        std::fprintf(stderr, "tamsil: cannot capture on %s: %s\n", interfaceName.c_str(), message);
        *error = ERROR_GEN_FAILURE;
        return nullptr;
    }
    pcap_set_snaplen(pcap, kSnapLength);
    pcap_set_promisc(pcap, 0);
    pcap_set_buffer_size(pcap, kKernelBufferBytes);
    pcap_set_timeout(pcap, kBlockTimeoutMs);
    int status = pcap_activate(pcap);
    if (status < 0) {
        if (status != PCAP_ERROR_NO_SUCH_DEVICE)
            std::fprintf(stderr, "tamsil: cannot capture on %s: %s (%s)\n", interfaceName.c_str(),
                         pcap_statustostr(status), pcap_geterr(pcap));
        *error = ActivationError(status);
        pcap_close(pcap);
        return nullptr;
    }
    if ((IsLoopback(pcap_fileno(pcap), interfaceName) && pcap_setdirection(pcap, PCAP_D_IN) != 0) ||
        pcap_setnonblock(pcap, 1, message) != 0) {
        std::fprintf(stderr, "tamsil: cannot capture on %s: %s\n", interfaceName.c_str(), pcap_geterr(pcap));
        *error = ERROR_GEN_FAILURE;
        pcap_close(pcap);
        return nullptr;
    }
    try {
        return std::make_unique<LiveCapture>(pcap, interfaceName, static_cast<int>(index));
    } catch (const std::bad_alloc&) {
        pcap_close(pcap);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
}
