// Replay of a capture file (pcap or pcapng, read by libpcap) for a device listed in TAMSIL_REPLAY: the file's
// frames fill blocks as fast as they are read; after the last frame a read waits, like a quiet network,
// until the device is closed. A damaged end of file counts as the end (with a line on standard error).

#include <cstdio>

#include "capture_pcap.h"

namespace {

class Replay : public DeviceSource {
public:
    Replay(pcap_t* pcap, std::string fileName) : pcap_(pcap), file_(std::move(fileName)) {}
    ~Replay() override { pcap_close(pcap_); }

    ReadOutcome Read(BYTE* buffer, DWORD length, const ReadContext& context) override {
        if (context.Closed()) return ReadFailed(ERROR_OPERATION_ABORTED);
        BlockWriter block(buffer, length);
        if (!carried_.MoveInto(block)) {
            block.Finish();
            return ReadDone(block.Bytes());
        }
        if (!atEnd_) {
            PcapFill fill{&block, &carried_, pcap_, false};
            int taken;
            // A savefile read that was broken off after some frames leaves libpcap's break flag set: the next
            // dispatch answers PCAP_ERROR_BREAK at once and clears it.
            do {
                taken = pcap_dispatch(pcap_, -1, TakePcapFrame, reinterpret_cast<u_char*>(&fill));
            } while (taken == PCAP_ERROR_BREAK && !fill.full);
            if (taken == PCAP_ERROR)
                std::fprintf(stderr, "tamsil: replay of %s ends early: %s\n", file_.c_str(), pcap_geterr(pcap_));
            // Without a break, libpcap read the file to its end.
            if (!fill.full) atEnd_ = true;
        }
        if (block.Frames() != 0) {
            block.Finish();
            return ReadDone(block.Bytes());
        }
        switch (WaitForInput(-1, context)) {
            case WaitResult::TimedOut: return ReadTimedOut();
            default: return ReadFailed(ERROR_OPERATION_ABORTED);
        }
    }

    // Promiscuous reception means nothing for a file: accepted.
    DWORD SetPacketFilter(DWORD) override { return 0; }

private:
    pcap_t* const pcap_;
    const std::string file_;
    CarriedFrames carried_;
    bool atEnd_ = false;
};

}  // namespace

std::unique_ptr<DeviceSource> OpenReplay(const std::string& fileName, DWORD* error) {
    char message[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_open_offline(fileName.c_str(), message);
    if (pcap == nullptr) {
        std::fprintf(stderr, "tamsil: cannot replay %s: %s\n", fileName.c_str(), message);
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    try {
        return std::make_unique<Replay>(pcap, fileName);
    } catch (const std::bad_alloc&) {
        pcap_close(pcap);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
}
