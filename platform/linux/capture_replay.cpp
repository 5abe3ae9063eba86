// Replay of a capture file (pcap or pcapng, read by libpcap) for a device listed in TAMSIL_REPLAY.
//
// Like the driver, which fills its own buffer while the application reads, a reader thread of the device reads
// the file ahead into chunks of frame records (the block's record layout: 16-bit length, then the bytes),
// and a read moves whole records from them into the caller's block. Two chunks fill a block, so a read of a
// whole block copies whole chunks and walks no record. The chunks are bounded (kChunks of kChunkBytes, sixteen
// blocks, so that a reader the scheduler holds up for some milliseconds does not hold up the reads): the reader
// waits when all are full, and is the first to write their memory. After the last frame a read waits, like a
// quiet network, until the device is closed. A damaged end of file counts as the end (with a line on standard
// error): every whole frame before it is delivered. Closing the device stops the reader; the device's
// destruction joins it.
// Only a regular file is replayed: anything else (a pipe) is refused with a line on standard error, and the
// device does not open.
//
// The reader takes the records of a plain pcap file of Ethernet frames straight from the file, in large reads:
// libpcap's two stdio reads per frame would cost the reader more than a frame costs the reading thread. At the
// first record that is not plainly whole (cut short, longer than the snapshot length) libpcap carries on from
// that record, so that a file ends as libpcap ends it.
#include <fcntl.h>
#include <stdio_ext.h>
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

constexpr size_t kBlockBytes = 0x78000;  // what the library asks of every read
constexpr size_t kChunkBytes = (kBlockBytes - kBlockHeaderBytes) / 2;
constexpr size_t kChunks = 32;
static_assert(kChunkBytes >= 2 + kLongestRecordedFrame);

// Frame records back to back, filled by the reader and then handed to the device's reads.
struct Chunk {
    std::unique_ptr<BYTE[]> bytes;  // kChunkBytes, left unwritten until the reader fills them
    size_t used = 0;    // bytes of records written
    size_t taken = 0;   // bytes of records already moved into blocks
    DWORD frames = 0;   // records written
};

// The records of a plain pcap file (version 2.4, microsecond or nanosecond time stamps, either byte order),
// read straight from the file.
struct PlainPcap {
    static constexpr size_t kFileHeaderBytes = 24;
    static constexpr size_t kRecordHeaderBytes = 16;
    static constexpr size_t kReadBytes = 256 * 1024;
    static constexpr int kLargestSnapshot = 256 * 1024;  // libpcap's largest for Ethernet

    int fd = -1;
    bool swapped = false;
    size_t snapshot = 0;
    off_t next = kFileHeaderBytes;  // file offset of the next read
    std::vector<BYTE> bytes;        // what has been read and not yet taken, from `at` to `have`
    size_t at = 0;
    size_t have = 0;

    // Whether libpcap took `pcap` for a file that these records can be read from.
    static bool Suits(pcap_t* pcap, int fd) {
        BYTE magic[4];
        if (pread(fd, magic, sizeof magic, 0) != sizeof magic) return false;
        DWORD value = magic[0] | magic[1] << 8 | magic[2] << 16 | static_cast<DWORD>(magic[3]) << 24;
        bool plain = value == 0xa1b2c3d4u || value == 0xd4c3b2a1u || value == 0xa1b23c4du || value == 0x4d3cb2a1u;
        return plain && pcap_major_version(pcap) == 2 && pcap_minor_version(pcap) == 4 && pcap_datalink(pcap) == DLT_EN10MB &&
               pcap_snapshot(pcap) > 0 && pcap_snapshot(pcap) <= kLargestSnapshot;
    }

    // The captured length in the record header at `at`.
    size_t CapturedLength() const {
        const BYTE* p = bytes.data() + at + 8;
        return swapped ? (static_cast<DWORD>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3])
                       : (p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24);
    }

    // Keeps what is left and reads on after it; false when nothing more came.
    bool ReadMore() {
        std::memmove(bytes.data(), bytes.data() + at, have - at);
        have -= at;
        at = 0;
        ssize_t got = pread(fd, bytes.data() + have, bytes.size() - have, next);
        if (got <= 0) return false;
        have += static_cast<size_t>(got);
        next += got;
        return true;
    }

    // The next record's frame: 1 with *data and *length set; 0 at the end of the file; -1 when the record is
    // not plainly whole, and libpcap must take over at *offset.
    int Next(const BYTE** data, size_t* length, off_t* offset) {
        for (;;) {
            if (have - at >= kRecordHeaderBytes) {
                size_t frame = CapturedLength();
                if (frame > snapshot) break;
                if (have - at >= kRecordHeaderBytes + frame) {
                    *data = bytes.data() + at + kRecordHeaderBytes;
                    *length = frame;
                    at += kRecordHeaderBytes + frame;
                    return 1;
                }
            }
            if (!ReadMore()) {
                if (have == at) return 0;
                break;
            }
        }
        *offset = next - static_cast<off_t>(have - at);
        return -1;
    }
};

size_t RecordBytes(const BYTE* record) { return 2 + (static_cast<size_t>(record[0]) | static_cast<size_t>(record[1]) << 8); }

class Replay : public DeviceSource {
public:
    Replay(pcap_t* pcap, std::string fileName) : pcap_(pcap), file_(std::move(fileName)) {
        // Only the reader thread reads the file: stdio need not lock it for each of libpcap's calls.
        __fsetlocking(pcap_file(pcap_), FSETLOCKING_BYCALLER);
        int fd = fileno(pcap_file(pcap_));
        if (PlainPcap::Suits(pcap_, fd)) {
            direct_ = true;
            plain_.fd = fd;
            plain_.swapped = pcap_is_swapped(pcap_) != 0;
            plain_.snapshot = static_cast<size_t>(pcap_snapshot(pcap_));
            plain_.bytes.resize(PlainPcap::kReadBytes + PlainPcap::kRecordHeaderBytes + plain_.snapshot);
        }
        for (size_t i = 0; i < kChunks; ++i) {
            free_.emplace_back();
            free_.back().bytes.reset(new BYTE[kChunkBytes]);
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
        if (chunk.taken == 0 && chunk.used <= block.Room()) {
            block.AppendRecords(chunk.bytes.get(), chunk.used, chunk.frames);
            chunk.taken = chunk.used;
            return true;
        }
        const BYTE* start = chunk.bytes.get() + chunk.taken;
        const BYTE* end = chunk.bytes.get() + chunk.used;
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
        chunk.taken = static_cast<size_t>(record - chunk.bytes.get());
        return record == end;
    }

    // The chunk in hand is used up: back to the reader.
    void Recycle() {
        inHand_->used = inHand_->taken = 0;
        inHand_->frames = 0;
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
            const BYTE* bytes = nullptr;
            size_t frame = 0;
            if (!NextFrame(&bytes, &frame)) break;
            frame = std::min(frame, kLongestRecordedFrame);
            if (chunk.bytes && kChunkBytes - chunk.used < 2 + frame) {
                if (!Hand(chunk)) return;
                chunk = Chunk();
            }
            if (!chunk.bytes) {
                std::unique_lock<std::mutex> guard(lock_);
                room_.wait(guard, [this] { return !free_.empty() || stopping_; });
                if (stopping_) return;
                chunk = std::move(free_.back());
                free_.pop_back();
            }
            BYTE* record = chunk.bytes.get() + chunk.used;
            record[0] = static_cast<BYTE>(frame & 0xFF);
            record[1] = static_cast<BYTE>(frame >> 8);
            if (frame != 0) std::memcpy(record + 2, bytes, frame);
            chunk.used += 2 + frame;
            ++chunk.frames;
        }
        if (chunk.used != 0) Hand(chunk);
    }

    // The file's next frame, taken directly or by libpcap; false at the end of the file. A damaged end is said.
    bool NextFrame(const BYTE** data, size_t* length) {
        if (direct_) {
            off_t offset = 0;
            int taken = plain_.Next(data, length, &offset);
            if (taken >= 0) return taken == 1;
            direct_ = false;
            if (fseeko(pcap_file(pcap_), offset, SEEK_SET) != 0) {
                std::fprintf(stderr, "tamsil: replay of %s ends early: %s\n", file_.c_str(), std::strerror(errno));
                return false;
            }
        }
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        int result = pcap_next_ex(pcap_, &header, &bytes);
        if (result != 1) {
            if (result == PCAP_ERROR)
                std::fprintf(stderr, "tamsil: replay of %s ends early: %s\n", file_.c_str(), pcap_geterr(pcap_));
            return false;
        }
        *data = bytes;
        *length = header->caplen;
        return true;
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
    bool direct_ = false;           // the reader's own, as is plain_: the records are taken from the file directly
    PlainPcap plain_;
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
