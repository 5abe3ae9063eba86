// Replay of a capture file (pcap or pcapng, read by libpcap) for a device listed in TAMSIL_REPLAY.
//
// Like the driver, which fills its own buffer while the application reads, a reader thread of the device reads
// the file ahead into a few chunks of frame records (the block's record layout: 16-bit length, then the bytes),
// and a read moves whole records from them into the caller's block. The chunks are bounded (kChunks of
// kChunkBytes): the reader waits when all are full. After the last frame a read waits, like a quiet network,
// until the device is closed. A damaged end of file counts as the end (with a line on standard error): every
// whole frame before it is delivered. Closing the device stops the reader; the device's destruction joins it.
// Only a regular file is replayed: anything else (a pipe) is refused with a line on standard error, and the
// device does not open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "capture_pcap.h"

namespace {

constexpr size_t kChunkBytes = 256 * 1024;  // at least one record of the longest frame
constexpr size_t kChunks = 4;
static_assert(kChunkBytes >= 2 + kLongestRecordedFrame);

// Frame records back to back, filled by the reader and then handed to the device's reads.
struct Chunk {
    std::vector<BYTE> bytes;
    size_t used = 0;   // bytes of records written
    size_t taken = 0;  // bytes of records already moved into blocks
};

size_t RecordBytes(const BYTE* record) { return 2 + (static_cast<size_t>(record[0]) | static_cast<size_t>(record[1]) << 8); }

class Replay : public DeviceSource {
public:
    Replay(pcap_t* pcap, std::string fileName) : pcap_(pcap), file_(std::move(fileName)) {
        for (size_t i = 0; i < kChunks; ++i) {
            free_.emplace_back();
            free_.back().bytes.resize(kChunkBytes);
        }
        reader_ = std::thread([this] { ReadAhead(); });
    }
    ~Replay() override {
        Stop();
        reader_.join();
        pcap_close(pcap_);
    }

    ReadOutcome Read(BYTE* buffer, DWORD length, const ReadContext& context) override {
        if (context.Closed()) return ReadFailed(ERROR_OPERATION_ABORTED);
        BlockWriter block(buffer, length);
        for (;;) {
            if (!inHand_) {
                std::unique_lock<std::mutex> guard(lock_);
                // With frames in the block already, take what is ready and go; otherwise wait for a chunk.
                auto ready = [&] { return !ready_.empty() || stopping_ || context.Closed(); };
                if (block.Frames() == 0) {
                    if (!context.deadline)
                        wake_.wait(guard, ready);
                    else if (!wake_.wait_until(guard, *context.deadline, ready))
                        return ReadTimedOut();
                }
                if (stopping_ || context.Closed()) return ReadFailed(ERROR_OPERATION_ABORTED);
                if (ready_.empty()) break;
                inHand_ = std::move(ready_.front());
                ready_.pop_front();
            }
            if (!MoveRecords(*inHand_, block)) break;  // the block is full
            Recycle();
        }
        block.Finish();
        return ReadDone(block.Bytes());
    }

    // Promiscuous reception means nothing for a file: accepted.
    DWORD SetPacketFilter(DWORD) override { return 0; }

    void Close() override { Stop(); }

private:
    void Stop() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        room_.notify_all();
    }

    // Moves the records of `chunk` that fit into `block`, the run of them in one copy. A record that does not fit
    // even an empty block is cut to fit it. True when the chunk is used up.
    static bool MoveRecords(Chunk& chunk, BlockWriter& block) {
        const BYTE* start = chunk.bytes.data() + chunk.taken;
        const BYTE* end = chunk.bytes.data() + chunk.used;
        size_t room = block.Room();
        const BYTE* record = start;
        DWORD count = 0;
        while (record != end && RecordBytes(record) <= room) {
            room -= RecordBytes(record);
            record += RecordBytes(record);
            ++count;
        }
        block.AppendRecords(start, static_cast<size_t>(record - start), count);
        if (record != end && block.Frames() == 0) {
            block.AppendCut(record + 2, RecordBytes(record) - 2);
            record += RecordBytes(record);
        }
        chunk.taken = static_cast<size_t>(record - chunk.bytes.data());
        return record == end;
    }

    // The chunk in hand is used up: back to the reader.
    void Recycle() {
        inHand_->used = inHand_->taken = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            free_.push_back(std::move(*inHand_));
        }
        inHand_.reset();
        room_.notify_one();
    }

    // The reader thread: fills free chunks with the file's frames until the end of the file or the stop.
    void ReadAhead() {
        // The chunk being filled; without bytes until a free one is taken. A plain value rather than an optional,
        // whose fields GCC's flow analysis (under ThreadSanitizer) takes for uninitialised.
        Chunk chunk;
        for (;;) {
            pcap_pkthdr* header = nullptr;
            const u_char* bytes = nullptr;
            int result = pcap_next_ex(pcap_, &header, &bytes);
            if (result != 1) {
                if (result == PCAP_ERROR)
                    std::fprintf(stderr, "tamsil: replay of %s ends early: %s\n", file_.c_str(), pcap_geterr(pcap_));
                break;
            }
            size_t frame = std::min<size_t>(header->caplen, kLongestRecordedFrame);
            if (!chunk.bytes.empty() && kChunkBytes - chunk.used < 2 + frame) {
                if (!Hand(chunk)) return;
                chunk = Chunk();
            }
            if (chunk.bytes.empty()) {
                std::unique_lock<std::mutex> guard(lock_);
                room_.wait(guard, [this] { return !free_.empty() || stopping_; });
                if (stopping_) return;
                chunk = std::move(free_.back());
                free_.pop_back();
            }
            BYTE* record = chunk.bytes.data() + chunk.used;
            record[0] = static_cast<BYTE>(frame & 0xFF);
            record[1] = static_cast<BYTE>(frame >> 8);
            if (frame != 0) std::memcpy(record + 2, bytes, frame);
            chunk.used += 2 + frame;
        }
        if (chunk.used != 0) Hand(chunk);
    }

    // Queues a filled chunk for the reads; false once the device is stopping.
    bool Hand(Chunk& chunk) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) return false;
            ready_.push_back(std::move(chunk));
        }
        wake_.notify_one();
        return true;
    }

    pcap_t* const pcap_;
    const std::string file_;
    std::mutex lock_;
    std::condition_variable wake_;  // a chunk is ready, or the device stops
    std::condition_variable room_;  // a chunk is free, or the device stops
    std::deque<Chunk> ready_;       // filled chunks, oldest first
    std::vector<Chunk> free_;
    bool stopping_ = false;
    std::optional<Chunk> inHand_;   // the reads' own: the chunk being moved into blocks
    std::thread reader_;
};

}  // namespace

std::unique_ptr<DeviceSource> OpenReplay(const std::string& fileName, DWORD* error) {
    // Only a regular file: the open of a pipe without a writer, and every read of one, would wait for ever, and
    // the release, which joins the reader, with them. Opened without waiting, the file is then checked itself,
    // not its name.
    int fd = open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        int cause = errno;
        std::fprintf(stderr, "tamsil: cannot replay %s: %s\n", fileName.c_str(),
                     fd >= 0 ? "not a regular file" : std::strerror(cause));
        if (fd >= 0) close(fd);
        *error = fd < 0 && cause == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        return nullptr;
    }
    FILE* file = fcntl(fd, F_SETFL, O_RDONLY) == 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        close(fd);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    char message[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_fopen_offline(file, message);
    if (pcap == nullptr) {
        std::fclose(file);
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
    } catch (const std::system_error&) {  // no thread for the reader
        pcap_close(pcap);
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
}
