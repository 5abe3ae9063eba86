// The whole capture path on real traffic: numbered UDP datagrams sent over a veth pair (or loopback) inside
// private network namespaces, read back through the packet driver operations from the stand-in's live libpcap device. Every
// datagram must be in the blocks exactly once, in order, byte for byte as a plain libpcap capture beside it
// saw it. Label netns; reports SKIPPED where namespaces cannot be had.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/packet_driver.h"
#include "platform/linux/testing.h"
#include "support/private_network.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 47123;
constexpr auto kTimeLimit = std::chrono::seconds(20);

// The datagram numbered `seq`: 4 bytes of its number, then a pattern of it, `length` bytes in all.
Bytes Payload(unsigned seq, size_t length) {
    Bytes payload(length);
    for (size_t i = 0; i < length; ++i) payload[i] = static_cast<unsigned char>(seq * 13 + i * 7);
    for (size_t i = 0; i < 4 && i < length; ++i) payload[i] = static_cast<unsigned char>(seq >> (8 * i));
    return payload;
}

// The UDP payload of a frame sent to kPort (Ethernet, IPv4), or false.
bool OurDatagram(const Bytes& frame, unsigned* seq, size_t* payloadOffset) {
    if (frame.size() < 14 + 20 + 8 + 4 || frame[12] != 0x08 || frame[13] != 0x00) return false;
    size_t ip = 14;
    size_t headerLength = (frame[ip] & 0x0F) * 4u;
    if (frame[ip + 9] != 17 || frame.size() < ip + headerLength + 8 + 4) return false;
    size_t udp = ip + headerLength;
    if ((frame[udp + 2] << 8 | frame[udp + 3]) != kPort) return false;
    *payloadOffset = udp + 8;
    const unsigned char* p = frame.data() + udp + 8;
    *seq = p[0] | p[1] << 8 | p[2] << 16 | static_cast<unsigned>(p[3]) << 24;
    return true;
}

std::vector<std::pair<unsigned, Bytes>> OurDatagrams(const std::vector<Bytes>& frames) {
    std::vector<std::pair<unsigned, Bytes>> ours;
    for (const Bytes& frame : frames) {
        unsigned seq;
        size_t offset;
        if (OurDatagram(frame, &seq, &offset)) ours.emplace_back(seq, frame);
    }
    return ours;
}

// A UDP socket bound to `address`:kPort that nobody reads: the datagrams find a port, so no ICMP answers.
int Sink(const char* address) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(kPort);
    inet_pton(AF_INET, address, &where.sin_addr);
    bind(sock, reinterpret_cast<sockaddr*>(&where), sizeof where);
    return sock;
}

// Sends the numbered datagrams to `address`:kPort from the calling thread's namespace.
void Send(const char* address, const std::vector<size_t>& lengths, unsigned firstSeq = 0) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int big = 4 << 20;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(kPort);
    inet_pton(AF_INET, address, &where.sin_addr);
    connect(sock, reinterpret_cast<sockaddr*>(&where), sizeof where);
    for (size_t i = 0; i < lengths.size(); ++i) {
        Bytes payload = Payload(firstSeq + static_cast<unsigned>(i), lengths[i]);
        while (send(sock, payload.data(), payload.size(), 0) < 0 && (errno == ENOBUFS || errno == EAGAIN))
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    close(sock);
}

// A plain libpcap capture beside the device, drained on a thread of its own from the start, as the
// reference for the bytes of each frame.
class Reference {
public:
    explicit Reference(const char* interfaceName, bool incomingOnly) {
        char message[PCAP_ERRBUF_SIZE];
        pcap_ = pcap_create(interfaceName, message);
        pcap_set_snaplen(pcap_, 262144);
        pcap_set_buffer_size(pcap_, 32 << 20);
        pcap_set_timeout(pcap_, 5);
        status_ = pcap_activate(pcap_);
        if (status_ < 0) return;
        if (incomingOnly) pcap_setdirection(pcap_, PCAP_D_IN);
        pcap_setnonblock(pcap_, 1, message);
        drain_ = std::thread([this] {
            while (!stop_.load()) {
                pollfd fd{pcap_get_selectable_fd(pcap_), POLLIN, 0};
                poll(&fd, 1, 10);
                std::lock_guard<std::mutex> guard(lock_);
                pcap_dispatch(pcap_, -1, [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
                    reinterpret_cast<std::vector<Bytes>*>(user)->emplace_back(bytes, bytes + h->caplen);
                }, reinterpret_cast<u_char*>(&frames_));
            }
        });
    }
    ~Reference() {
        stop_ = true;
        if (drain_.joinable()) drain_.join();
        pcap_close(pcap_);
    }
    bool Ok() const { return status_ >= 0; }
    // The frames seen, once `count` of ours came or the time is up.
    std::vector<Bytes> Collect(size_t count) {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (OurDatagrams(frames_).size() >= count || Clock::now() > deadline) return frames_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // libpcap's counts, for a failure message.
    std::string Stats() {
        pcap_stat stats{};
        std::lock_guard<std::mutex> guard(lock_);
        pcap_stats(pcap_, &stats);
        return "reference capture: " + std::to_string(stats.ps_recv) + " received, " + std::to_string(stats.ps_drop) +
               " dropped";
    }

private:
    pcap_t* pcap_ = nullptr;
    int status_ = -1;
    std::mutex lock_;
    std::vector<Bytes> frames_;
    std::atomic<bool> stop_{false};
    std::thread drain_;
};

class CaptureNetns : public ::testing::Test {
protected:
    void Prepare(int mtu) {
        std::string why;
        switch (net_.Create(&why, mtu)) {
            case privnet::Setup::Unavailable: GTEST_SKIP() << "no private network namespaces here: " << why;
            case privnet::Setup::Failed: FAIL() << why;
            case privnet::Setup::Ready: break;
        }
        StandInResetDevices();
        ready_ = true;
    }

    void TearDown() override {
        if (packet_ != nullptr) DestroyReadRequest(packet_);
        if (adapter_ != nullptr) CloseAdapterDevice(adapter_);
        if (hStorage_ != nullptr) {
            GlobalUnlock(hStorage_);
            GlobalFree(hStorage_);
        }
    }

    // Opens the interface through the packet driver operations as the capture session does: promiscuous, one storage block.
    void OpenDevice(const char* devicePath, DWORD readLength = MULTI_PACKET_STORAGE_SIZE) {
        adapter_ = OpenAdapterDevice(devicePath);
        ASSERT_NE(adapter_, nullptr) << "open failed: " << GetLastError();
        ASSERT_TRUE(SetReceiveFilter(adapter_, NDIS_PACKET_TYPE_PROMISCUOUS));
        hStorage_ = GlobalAlloc(GMEM_MOVEABLE, MULTI_PACKET_STORAGE_SIZE);
        ASSERT_NE(hStorage_, nullptr);
        storage_ = static_cast<BYTE*>(GlobalLock(hStorage_));
        packet_ = CreateReadRequest();
        ASSERT_NE(packet_, nullptr);
        BindReadBuffer(packet_, storage_, readLength);
        readLength_ = readLength;
    }

    // Reads blocks until `count` of our datagrams came; a watchdog aborts the device at the time limit.
    std::vector<Bytes> ReadOurs(size_t count) {
        std::vector<Bytes> frames;
        std::mutex lock;
        std::condition_variable finished;
        bool done = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> guard(lock);
            if (!finished.wait_for(guard, kTimeLimit, [&] { return done; })) AbortAdapterDevice(adapter_);
        });
        size_t ours = 0;
        while (ours < count) {
            DWORD bytes = 0;
            if (!ReadBlock(adapter_, packet_, &bytes)) {
                ADD_FAILURE() << "read failed (" << GetLastError() << ") with " << ours << " of " << count << " datagrams";
                break;
            }
            ++blocks_;
            EXPECT_LE(bytes, readLength_);
            if (bytes == 0) continue;
            const BYTE* record = FirstFrameRecord(storage_);
            for (DWORD n = ReadStorageFrameCount(storage_); n > 0; --n) {
                frames.emplace_back(FrameRecordData(record), FrameRecordData(record) + FrameRecordLength(record));
                unsigned seq;
                size_t offset;
                if (OurDatagram(frames.back(), &seq, &offset)) ++ours;
                record = NextFrameRecord(record);
            }
            EXPECT_EQ(record - storage_, static_cast<ptrdiff_t>(bytes)) << "the records end where the block ends";
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            done = true;
        }
        finished.notify_all();
        watchdog.join();
        return frames;
    }

    // Each datagram once, in order, byte for byte as the reference saw it (cut to 65,535 where longer).
    void ExpectSameDatagrams(const std::vector<Bytes>& captured, const std::vector<Bytes>& reference,
                             const std::vector<size_t>& lengths) {
        auto ours = OurDatagrams(captured);
        auto theirs = OurDatagrams(reference);
        ASSERT_EQ(ours.size(), lengths.size());
        ASSERT_EQ(theirs.size(), lengths.size()) << "the reference capture missed datagrams";
        for (size_t i = 0; i < lengths.size(); ++i) {
            ASSERT_EQ(ours[i].first, i) << "datagram " << i << " out of order or missing";
            const Bytes& full = theirs[i].second;
            Bytes expected(full.begin(), full.begin() + static_cast<ptrdiff_t>(std::min<size_t>(full.size(), 65535)));
            ASSERT_EQ(ours[i].second, expected) << "datagram " << i << " differs";
            size_t offset = 0;
            unsigned seq;
            OurDatagram(full, &seq, &offset);
            ASSERT_EQ(Bytes(full.begin() + static_cast<ptrdiff_t>(offset), full.end()), Payload(seq, lengths[i]));
        }
    }

    privnet::VethPair net_;
    bool ready_ = false;
    Adapter* adapter_ = nullptr;
    Packet* packet_ = nullptr;
    HGLOBAL hStorage_ = nullptr;
    BYTE* storage_ = nullptr;
    DWORD readLength_ = 0;
    size_t blocks_ = 0;
};

TEST_F(CaptureNetns, Veth_EveryDatagramOnceInOrderByteForByte) {
    Prepare(9000);
    if (!ready_) return;
    Reference reference("va", false);
    ASSERT_TRUE(reference.Ok());
    OpenDevice("\\Device\\NetVorel_va");
    EXPECT_EQ(privnet::PromiscuityOf("va"), 1) << "the filter request made va promiscuous";
    int sink = Sink("10.77.0.1");

    std::vector<size_t> lengths;
    for (size_t i = 0; i < 3000; ++i) lengths.push_back(4 + (i * 389) % 8968);  // frames of 46 .. 9014 bytes
    std::thread sender([&] {
        if (net_.EnterB()) Send("10.77.0.1", lengths);
    });
    std::vector<Bytes> captured = ReadOurs(lengths.size());
    sender.join();
    ExpectSameDatagrams(captured, reference.Collect(lengths.size()), lengths);
    EXPECT_FALSE(HasFailure()) << reference.Stats();
    for (const auto& datagram : OurDatagrams(captured)) {
        const Bytes& frame = datagram.second;
        ASSERT_TRUE(std::equal(frame.begin(), frame.begin() + 6, net_.vaMac)) << "to va";
        ASSERT_TRUE(std::equal(frame.begin() + 6, frame.begin() + 12, net_.vbMac)) << "from vb";
    }
    RecordProperty("blocks", static_cast<int>(blocks_));

    // One datagram at a time on a quiet wire: each read completes within milliseconds of its frame.
    std::vector<double> delays;
    for (unsigned probe = 0; probe < 5; ++probe) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Clock::time_point sent;
        std::thread one([&] {
            if (!net_.EnterB()) return;
            sent = Clock::now();
            Send("10.77.0.1", {64}, 100000 + probe);
        });
        DWORD bytes = 0;
        ASSERT_TRUE(ReadBlock(adapter_, packet_, &bytes));
        auto arrived = Clock::now();
        one.join();
        delays.push_back(std::chrono::duration<double, std::milli>(arrived - sent).count());
    }
    std::sort(delays.begin(), delays.end());
    std::printf("read completion after a lone frame: median %.1f ms, worst %.1f ms\n", delays[2], delays[4]);
    EXPECT_LT(delays[2], 100.0) << "a read completes soon after its frame arrives";

    CloseAdapterDevice(adapter_);
    adapter_ = nullptr;
    EXPECT_EQ(privnet::PromiscuityOf("va"), 0) << "promiscuous reception ends with the device";
    close(sink);
}

TEST_F(CaptureNetns, SmallReadBuffer_FramesCarriedToTheNextBlock) {
    Prepare(1500);
    if (!ready_) return;
    Reference reference("va", false);
    ASSERT_TRUE(reference.Ok());
    OpenDevice("\\Device\\NetVorel_va", 4096);
    int sink = Sink("10.77.0.1");
    std::vector<size_t> lengths;
    for (size_t i = 0; i < 2000; ++i) lengths.push_back(4 + (i * 97) % 1468);
    std::thread sender([&] {
        if (net_.EnterB()) Send("10.77.0.1", lengths);
    });
    std::vector<Bytes> captured = ReadOurs(lengths.size());
    sender.join();
    ExpectSameDatagrams(captured, reference.Collect(lengths.size()), lengths);
    EXPECT_GE(blocks_, 2000u * 700 / 4096) << "blocks of at most 4,096 bytes";
    close(sink);
}

TEST_F(CaptureNetns, Loopback_EachFrameOnceLongFramesCut) {
    Prepare(1500);
    if (!ready_) return;
    Reference reference("lo", true);
    ASSERT_TRUE(reference.Ok());
    OpenDevice("\\Device\\NetVorel_lo");
    int sink = Sink("127.0.0.1");
    std::vector<size_t> lengths;
    for (size_t i = 0; i < 300; ++i) lengths.push_back(i % 50 == 7 ? 65507 : 4 + (i * 211) % 3000);
    std::thread sender([&] { Send("127.0.0.1", lengths); });
    std::vector<Bytes> captured = ReadOurs(lengths.size());
    sender.join();
    std::vector<Bytes> seen = reference.Collect(lengths.size());
    ExpectSameDatagrams(captured, seen, lengths);
    auto ours = OurDatagrams(captured);
    ASSERT_GT(ours.size(), 7u);
    EXPECT_EQ(ours[7].second.size(), 65535u) << "a 65,549-byte frame is cut to 65,535";
    EXPECT_EQ(OurDatagrams(seen)[7].second.size(), 65549u);
    close(sink);
}

TEST_F(CaptureNetns, CloseFromAnotherThread_EndsTheLiveRead) {
    Prepare(1500);
    if (!ready_) return;
    OpenDevice("\\Device\\NetVorel_va");
    std::atomic<bool> returned{false};
    BOOL result = TRUE;
    std::thread reader([&] {
        DWORD bytes = 0;
        result = ReadBlock(adapter_, packet_, &bytes);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load()) << "nothing on the wire: the read waits";
    auto start = Clock::now();
    AbortAdapterDevice(adapter_);
    reader.join();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(result);
}

// A read polled without waiting (GetOverlappedResult with bWait FALSE, as Win32 code may poll) completes once a
// frame has arrived: a poll whose time is up still looks at the capture.
TEST_F(CaptureNetns, PolledRead_CompletesOnceAFrameCame) {
    Prepare(1500);
    if (!ready_) return;
    OpenDevice("\\Device\\NetVorel_va");
    int sink = Sink("10.77.0.1");
    HANDLE device = adapter_->hDevice;
    OVERLAPPED& ov = packet_->overlapped;
    DWORD bytes = 0;
    ASSERT_FALSE(ReadFile(device, storage_, readLength_, &bytes, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(GetOverlappedResult(device, &ov, &bytes, FALSE)) << "nothing on the wire yet";
    std::thread sender([&] {
        if (net_.EnterB()) Send("10.77.0.1", {100});
    });
    sender.join();
    bool done = false;
    for (auto until = Clock::now() + std::chrono::seconds(5); !done && Clock::now() < until;
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        done = GetOverlappedResult(device, &ov, &bytes, FALSE) != FALSE;
    EXPECT_TRUE(done) << "the polls never saw the frame";
    EXPECT_GT(bytes, 0u);
    close(sink);
}

TEST_F(CaptureNetns, WideDevicePath_OpensTheSameInterface) {
    Prepare(1500);
    if (!ready_) return;
    adapter_ = OpenAdapterDevice(u"\\Device\\NetVorel_va");
    ASSERT_NE(adapter_, nullptr);
    EXPECT_EQ(OpenAdapterDevice("\\Device\\NetVorel_va"), nullptr) << "exclusive";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenAdapterDevice("\\Device\\NetVorel_nosuch0"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
