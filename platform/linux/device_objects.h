// Inside the device stand-in: the device objects behind \Device\ paths (live capture, capture-file replay,
// scripted test devices) and the MultiPacketStorage block they fill. devices.cpp does the Win32 side
// (namespace, handles, sharing, overlapped reads, DeviceIoControl) and asks a DeviceSource for blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "win32_base.h"

// MultiPacketStorage: bytes 0-3 and 8-15 zero, frame count (32-bit little-endian) at 4, then from 16 the
// frame records back to back, each a 16-bit little-endian length L and L bytes.
constexpr DWORD kBlockHeaderBytes = 16;
constexpr DWORD kSmallestRead = kBlockHeaderBytes + 2;  // room for one record; smaller reads fail
constexpr size_t kLongestRecordedFrame = 65535;

class BlockWriter {
public:
    BlockWriter(BYTE* buffer, DWORD capacity);
    // Appends a record when 2 + length bytes still fit (length at most 65,535); false (nothing written) otherwise.
    bool Append(const BYTE* data, size_t length) {
        if (length > kLongestRecordedFrame || 2 + length > capacity_ - used_) return false;
        BYTE* record = buffer_ + used_;
        record[0] = static_cast<BYTE>(length & 0xFF);
        record[1] = static_cast<BYTE>(length >> 8);
        if (length != 0) std::memcpy(record + 2, data, length);
        used_ += static_cast<DWORD>(2 + length);
        ++frames_;
        return true;
    }
    // Appends `count` records already in the record layout, `bytes` in all; the caller has checked they fit Room().
    void AppendRecords(const BYTE* records, size_t bytes, DWORD count) {
        if (bytes != 0) std::memcpy(buffer_ + used_, records, bytes);
        used_ += static_cast<DWORD>(bytes);
        frames_ += count;
    }
    size_t Room() const { return capacity_ - used_; }
    // Appends the frame cut to what is left of the block: for a frame that does not fit even an empty block.
    void AppendCut(const BYTE* data, size_t length);
    DWORD Frames() const { return frames_; }
    DWORD Bytes() const { return used_; }
    // Stores the frame count; the block is then complete.
    void Finish();

private:
    BYTE* buffer_;
    DWORD capacity_;
    DWORD used_;
    DWORD frames_;
};

// Frames that did not fit their block, oldest first: they open the next block, so no frame is ever dropped.
class CarriedFrames {
public:
    void Push(const BYTE* data, size_t length);
    // Moves frames into `block` while they fit (a frame that fits no block at all is cut); true when none is left.
    bool MoveInto(BlockWriter& block);
    bool Empty() const { return frames_.empty(); }

private:
    std::deque<std::vector<BYTE>> frames_;
};

// What a read may wait for.
struct ReadContext {
    int wakeFd;                           // readable once the device is closed
    const std::atomic<bool>* closed;      // set before wakeFd is written
    std::optional<std::chrono::steady_clock::time_point> deadline;  // none: wait as long as it takes
    bool Closed() const { return closed->load(std::memory_order_acquire); }
};

enum class WaitResult { Readable, Closed, TimedOut };
// Waits until `fd` (-1: none) is readable, the device is closed, the deadline passes, or `sliceMs` (-1: no
// limit) has gone by, which also answers Readable so that the caller looks again.
WaitResult WaitForInput(int fd, const ReadContext& context, int sliceMs = -1);

struct ReadOutcome {
    bool complete;  // false: the deadline passed first; the read stays pending
    DWORD error;    // Win32 error when complete; 0 for success
    DWORD bytes;    // bytes transferred when complete
};
inline ReadOutcome ReadDone(DWORD bytes) { return ReadOutcome{true, 0, bytes}; }
inline ReadOutcome ReadFailed(DWORD error) { return ReadOutcome{true, error, 0}; }
inline ReadOutcome ReadTimedOut() { return ReadOutcome{false, 0, 0}; }

class DeviceSource {
public:
    virtual ~DeviceSource() = default;
    // Fills buffer[0..length) (length >= kSmallestRead) with one block, waiting for frames as the context allows.
    // Only one thread reads at a time.
    virtual ReadOutcome Read(BYTE* buffer, DWORD length, const ReadContext& context) = 0;
    // OID_GEN_CURRENT_PACKET_FILTER set to `filter`; answers a Win32 error, 0 for success. May run while
    // another thread reads.
    virtual DWORD SetPacketFilter(DWORD filter) = 0;
    // The handle was closed (runs on the closing thread, possibly while another thread reads).
    virtual void Close() {}
    // A read was issued through ReadFile.
    virtual void ReadStarted() {}
    // Sees every DeviceIoControl as issued; a non-zero answer fails it with that error (scripted devices).
    virtual DWORD IoControl(DWORD code, const BYTE* input, DWORD inputSize, DWORD outputSize) {
        (void)code, (void)input, (void)inputSize, (void)outputSize;
        return 0;
    }
    // Frames received and dropped as libpcap counts them.
    virtual bool Stats(unsigned* received, unsigned* dropped) {
        (void)received, (void)dropped;
        return false;
    }
};

// The device objects. Each answers nullptr with *error set when it cannot open.
std::unique_ptr<DeviceSource> OpenScriptedDevice(const std::string& devicePath);  // nullptr: no such script
void ResetScriptedDevices();
std::unique_ptr<DeviceSource> OpenLiveCapture(const std::string& interfaceName, DWORD* error);
std::unique_ptr<DeviceSource> OpenReplay(const std::string& fileName, DWORD* error);

// ASCII case-insensitive comparison, as the object manager compares names.
bool SameObjectName(const std::string& a, const std::string& b);
std::string FoldObjectName(const std::string& name);
