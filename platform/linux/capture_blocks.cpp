// Filling MultiPacketStorage blocks: the record layout, and the frames carried over to the next block.
#include <algorithm>
#include <cstring>

#include "capture_pcap.h"
#include "device_objects.h"

BlockWriter::BlockWriter(BYTE* buffer, DWORD capacity)
    : buffer_(buffer), capacity_(capacity), used_(kBlockHeaderBytes), frames_(0) {
    std::memset(buffer_, 0, kBlockHeaderBytes);
}

void BlockWriter::AppendCut(const BYTE* data, size_t length) {
    if (capacity_ - used_ < 2) return;
    Append(data, std::min<size_t>({length, kLongestRecordedFrame, capacity_ - used_ - 2}));
}

void BlockWriter::Finish() {
    buffer_[4] = static_cast<BYTE>(frames_ & 0xFF);
    buffer_[5] = static_cast<BYTE>((frames_ >> 8) & 0xFF);
    buffer_[6] = static_cast<BYTE>((frames_ >> 16) & 0xFF);
    buffer_[7] = static_cast<BYTE>((frames_ >> 24) & 0xFF);
}

void CarriedFrames::Push(const BYTE* data, size_t length) { frames_.emplace_back(data, data + length); }

bool CarriedFrames::MoveInto(BlockWriter& block) {
    while (!frames_.empty()) {
        const std::vector<BYTE>& frame = frames_.front();
        if (!block.Append(frame.data(), frame.size())) {
            if (block.Frames() != 0) return false;
            block.AppendCut(frame.data(), frame.size());
        }
        frames_.pop_front();
    }
    return true;
}

void TakePcapFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    PcapFill& fill = *reinterpret_cast<PcapFill*>(user);
    size_t length = std::min<size_t>(header->caplen, kLongestRecordedFrame);
    if (!fill.full) {
        if (fill.block->Append(bytes, length)) return;
        if (fill.block->Frames() == 0) {
            fill.block->AppendCut(bytes, length);
            return;
        }
        fill.full = true;
        pcap_breakloop(fill.pcap);
    }
    fill.carried->Push(bytes, length);
}
