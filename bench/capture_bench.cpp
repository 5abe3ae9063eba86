// Capture benchmark: the stand-in's live capture, read through the packet driver operations into the capture storage, against plain
// libpcap loops and `tcpdump -w /dev/null`, all on the same veth traffic in one run: in each round the four
// captures run at once on CPU 1 and take the same frames, 106-byte UDP frames sent from namespace B on vb (a
// packet socket, sendmmsg, CPU 0) as fast as one core sends them, to another host's MAC address, so that va's
// receiving side is little more than the capture taps.
//
//   capture_bench [--frames N] [--rounds R] [--output FILE] [--only NAME]   (root, or user namespaces)
//
// The plain loops use the stand-in's libpcap settings (snapshot 65,535, 16 MiB, 5 ms blocks). The one that
// copies each frame out, length first, into a 480 KiB buffer does what any consumer of the frames must do
// (libpcap lends a frame only for the callback) and is the baseline of the CPU ratio; the one that only
// counts, reading a frame's first byte, is shown as the floor.
// Reported per capture: frames captured, frames/s (captured / sending time), kernel drops (libpcap's count,
// tcpdump's "dropped by kernel"), and on-CPU nanoseconds of the capturing thread (tcpdump: process) per frame,
// from before the traffic until it has drained. Medians over the rounds, and the stand-in's ratios paired by
// round.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/packet_driver.h"
#include "platform/linux/testing.h"
#include "support/private_network.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 47124;
constexpr size_t kPayloadBytes = 64;  // 14 + 20 + 8 + 64 = 106-byte frames
constexpr auto kDrainTime = std::chrono::milliseconds(1500);  // tcpdump's libpcap hands blocks over after 1 s

struct Result {
    unsigned long long frames = 0;
    unsigned long long drops = 0;
    double cpuNs = 0;
    double sendSeconds = 0;
    unsigned long long sent = 0;
    bool ok = false;
    std::string note;
    double NsPerFrame() const { return frames ? cpuNs / static_cast<double>(frames) : 0; }
    double FramesPerSecond() const { return sendSeconds > 0 ? static_cast<double>(frames) / sendSeconds : 0; }
};

bool twoCpus = false;

void PinTo(int cpu) {
    if (!twoCpus) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

double ThreadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// On-CPU time of a (single-threaded) process, from the scheduler: nanoseconds.
double ProcessCpuNs(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns;
}

// Another host's address: va receives the frames (a veth takes every frame), its taps see them, and IP drops
// them at once as not addressed to this host, so the receiving side costs the sending core little.
const unsigned char kOtherHost[6] = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};

// One UDP datagram 10.77.0.2 -> 10.77.0.1:kPort as an Ethernet frame from vb to another host (no UDP checksum).
std::vector<unsigned char> DatagramFrame(const privnet::VethPair& net) {
    std::vector<unsigned char> f(14 + 20 + 8 + kPayloadBytes, 0);
    std::memcpy(&f[0], kOtherHost, 6);
    std::memcpy(&f[6], net.vbMac, 6);
    f[12] = 0x08;
    unsigned char* ip = &f[14];
    ip[0] = 0x45;
    unsigned total = 20 + 8 + kPayloadBytes;
    ip[2] = static_cast<unsigned char>(total >> 8), ip[3] = static_cast<unsigned char>(total);
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64, ip[9] = 17;
    const unsigned char addresses[8] = {10, 77, 0, 2, 10, 77, 0, 1};
    std::memcpy(ip + 12, addresses, 8);
    unsigned sum = 0;
    for (int i = 0; i < 20; i += 2) sum += ip[i] << 8 | ip[i + 1];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<unsigned char>(~sum >> 8), ip[11] = static_cast<unsigned char>(~sum);
    unsigned char* udp = ip + 20;
    udp[0] = udp[2] = kPort >> 8, udp[1] = udp[3] = kPort & 0xFF;
    udp[4] = 0, udp[5] = static_cast<unsigned char>(8 + kPayloadBytes);
    return f;
}

// Sends `count` frames on vb from namespace B on CPU 0: a packet socket, sendmmsg in batches, no qdisc.
// Answers the seconds it took.
double SendTraffic(privnet::VethPair& net, unsigned long long count) {
    double seconds = 0;
    std::thread sender([&] {
        if (!net.EnterB()) return;
        PinTo(0);
        int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(sock, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(if_nametoindex("vb"));
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, kOtherHost, 6);
        constexpr unsigned kBatch = 64;
        std::vector<std::vector<unsigned char>> frames(kBatch, DatagramFrame(net));
        iovec iov[kBatch];
        mmsghdr messages[kBatch] = {};
        for (unsigned i = 0; i < kBatch; ++i) {
            iov[i] = {frames[i].data(), frames[i].size()};
            messages[i].msg_hdr.msg_name = &to;
            messages[i].msg_hdr.msg_namelen = sizeof to;
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        auto start = Clock::now();
        unsigned long long sent = 0;
        while (sent < count) {
            unsigned n = static_cast<unsigned>(std::min<unsigned long long>(kBatch, count - sent));
            int done = sendmmsg(sock, messages, n, 0);
            if (done > 0) sent += static_cast<unsigned>(done);
            else if (errno == ENOBUFS) std::this_thread::yield();
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        close(sock);
    });
    sender.join();
    return seconds;
}

struct Touch {
    unsigned long long frames = 0;
    unsigned long long bytes = 0;
    unsigned checksum = 0;
    std::vector<unsigned char>* copy = nullptr;  // copying loop: each frame is appended here, length first
    size_t used = 0;
};

// ---- The captures. Each starts ready to take frames, runs on CPU 1 beside the others, and stops after the
// traffic has drained. ----

class Capture {
public:
    virtual ~Capture() = default;
    virtual const char* Name() const = 0;
    virtual bool Start(std::string* why) = 0;
    virtual Result Stop() = 0;
};

// The stand-in's device, read through the packet driver operations as the capture session reads it.
class StandInCapture : public Capture {
public:
    const char* Name() const override { return "stand-in (ReadBlock)"; }
    bool Start(std::string* why) override {
        adapter_ = OpenAdapterDevice("\\Device\\NetVorel_va");
        if (adapter_ == nullptr) {
            *why = "OpenAdapterDevice failed: " + std::to_string(GetLastError());
            return false;
        }
        SetReceiveFilter(adapter_, NDIS_PACKET_TYPE_PROMISCUOUS);
        hStorage_ = GlobalAlloc(GMEM_MOVEABLE, MULTI_PACKET_STORAGE_SIZE);
        storage_ = static_cast<BYTE*>(GlobalLock(hStorage_));
        packet_ = CreateReadRequest();
        BindReadBuffer(packet_, storage_, MULTI_PACKET_STORAGE_SIZE);
        thread_ = std::thread([this] {
            PinTo(1);
            pthread_setname_np(pthread_self(), "standin");
            double start = ThreadCpuNs();
            ready_ = true;
            DWORD bytes = 0;
            while (ReadBlock(adapter_, packet_, &bytes)) {
                ++reads_;
                // The frames are in the storage now; walking them is the reader's work (frame delivery),
                // not the driver stand-in's, and is left out like any use of the frames by the plain loops.
                touch_.frames += ReadStorageFrameCount(storage_);
                touch_.bytes += bytes;
            }
            cpu_ = ThreadCpuNs() - start;
        });
        while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }
    Result Stop() override {
        Result result;
        unsigned received = 0, dropped = 0;
        StandInDeviceCaptureStats(adapter_->hDevice, &received, &dropped);
        AbortAdapterDevice(adapter_);
        thread_.join();
        CloseAdapterDevice(adapter_);
        DestroyReadRequest(packet_);
        GlobalUnlock(hStorage_);
        GlobalFree(hStorage_);
        result.frames = touch_.frames;
        result.drops = dropped;
        result.cpuNs = cpu_;
        result.ok = true;
        result.note = std::to_string(reads_ ? touch_.frames / reads_ : 0) + " frames per read";
        return result;
    }

private:
    unsigned long long reads_ = 0;
    Adapter* adapter_ = nullptr;
    Packet* packet_ = nullptr;
    HGLOBAL hStorage_ = nullptr;
    BYTE* storage_ = nullptr;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    Touch touch_;
    double cpu_ = 0;
};

// pcap_dispatch in a loop, with the stand-in's libpcap settings; copying each frame out, or only counting.
class PlainCapture : public Capture {
public:
    explicit PlainCapture(bool copying) : copying_(copying) {}
    const char* Name() const override {
        return copying_ ? "plain libpcap loop, copying frames" : "plain libpcap loop, counting only";
    }
    bool Start(std::string* why) override {
        char message[PCAP_ERRBUF_SIZE];
        pcap_ = pcap_create("va", message);
        pcap_set_snaplen(pcap_, 65535);
        pcap_set_buffer_size(pcap_, 16 << 20);
        pcap_set_timeout(pcap_, 5);
        pcap_set_promisc(pcap_, 1);
        if (pcap_activate(pcap_) < 0) {
            *why = std::string("pcap_activate: ") + pcap_geterr(pcap_);
            return false;
        }
        block_.resize(MULTI_PACKET_STORAGE_SIZE);
        if (copying_) touch_.copy = &block_;
        thread_ = std::thread([this] {
            PinTo(1);
            pthread_setname_np(pthread_self(), copying_ ? "copyloop" : "countloop");
            double start = ThreadCpuNs();
            ready_ = true;
            while (pcap_dispatch(pcap_, -1, [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
                       auto* t = reinterpret_cast<Touch*>(user);
                       t->frames++;
                       t->bytes += h->caplen;
                       if (t->copy != nullptr) {
                           if (t->used + 2 + h->caplen > t->copy->size()) t->used = 16;
                           unsigned char* out = t->copy->data() + t->used;
                           out[0] = static_cast<unsigned char>(h->caplen);
                           out[1] = static_cast<unsigned char>(h->caplen >> 8);
                           std::memcpy(out + 2, bytes, h->caplen);
                           t->used += 2 + h->caplen;
                       }
                       if (h->caplen) t->checksum += bytes[0];
                   }, reinterpret_cast<u_char*>(&touch_)) >= 0) {
            }
            cpu_ = ThreadCpuNs() - start;
        });
        while (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }
    Result Stop() override {
        Result result;
        pcap_stat stats{};
        pcap_stats(pcap_, &stats);
        pcap_breakloop(pcap_);
        thread_.join();
        pcap_close(pcap_);
        result.frames = touch_.frames;
        result.drops = stats.ps_drop;
        result.cpuNs = cpu_;
        result.ok = true;
        return result;
    }

private:
    const bool copying_;
    pcap_t* pcap_ = nullptr;
    std::vector<unsigned char> block_;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    Touch touch_;
    double cpu_ = 0;
};

unsigned long long NumberBefore(const std::string& text, const std::string& words) {
    size_t at = text.find(words);
    if (at == std::string::npos) return 0;
    size_t start = text.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return std::strtoull(text.c_str() + start, nullptr, 10);
}

// tcpdump -i va -w /dev/null on CPU 1 (-Z root: no change of user, which a user namespace would not allow).
class TcpdumpCapture : public Capture {
public:
    const char* Name() const override { return "tcpdump -w /dev/null"; }
    bool Start(std::string* why) override {
        int err[2];
        if (pipe(err) != 0) return false;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            PinTo(1);
            dup2(err[1], 2);
            close(err[0]);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            execlp("tcpdump", "tcpdump", "-i", "va", "-w", "/dev/null", "-Z", "root", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(err[1]);
        stderr_ = err[0];
        char chunk[256];
        while (text_.find("listening on") == std::string::npos) {
            ssize_t n = read(stderr_, chunk, sizeof chunk);
            if (n <= 0) break;
            text_.append(chunk, static_cast<size_t>(n));
        }
        if (text_.find("listening on") == std::string::npos) {
            *why = "tcpdump did not start: " + text_;
            waitpid(pid_, nullptr, 0);
            close(stderr_);
            return false;
        }
        cpuStart_ = ProcessCpuNs(pid_);
        return true;
    }
    Result Stop() override {
        Result result;
        double end = ProcessCpuNs(pid_);
        kill(pid_, SIGINT);
        char chunk[256];
        ssize_t n;
        while ((n = read(stderr_, chunk, sizeof chunk)) > 0) text_.append(chunk, static_cast<size_t>(n));
        close(stderr_);
        waitpid(pid_, nullptr, 0);
        result.frames = NumberBefore(text_, "packets captured");
        result.drops = NumberBefore(text_, "packets dropped by kernel");
        result.cpuNs = end - cpuStart_;
        result.ok = text_.find("packets captured") != std::string::npos;
        if (!result.ok) result.note = text_;
        return result;
    }

private:
    pid_t pid_ = -1;
    int stderr_ = -1;
    std::string text_;
    double cpuStart_ = 0;
};

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string CommandLine(const char* command) {
    std::string text;
    if (FILE* out = popen(command, "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, out)) text = line;
        pclose(out);
    }
    return Trim(text);
}

std::string Machine() {  // also the load the run shared the machine with
    std::string model;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) {
            model = Trim(line.substr(line.find(':') + 2));
            break;
        }
    utsname u{};
    uname(&u);
    std::ostringstream text;
    text << model << ", " << std::thread::hardware_concurrency() << " CPUs";
    std::string hypervisor = CommandLine("lscpu 2>/dev/null | sed -n 's/^Hypervisor vendor: *//p'");
    if (!hypervisor.empty()) text << " (" << hypervisor << " guest)";
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five;
    loadavg >> one >> five;
    text << "; load average " << one << " (1 min) / " << five << " (5 min) at the end of the run";
    text << "; Linux " << u.release << "; " << pcap_lib_version() << "; " << CommandLine("tcpdump --version 2>&1");
    return text.str();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long frames = 2000000;
    int rounds = 3;
    std::string output;
    std::string only;  // run only the captures whose name contains this (for profiling)
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc) frames = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else if (a == "--output" && i + 1 < argc) output = argv[++i];
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--frames N] [--rounds R] [--output FILE] [--only NAME]\n", argv[0]);
            return 2;
        }
    }
    twoCpus = std::thread::hardware_concurrency() >= 2;
    privnet::VethPair net;
    std::string why;
    if (net.Create(&why, 1500) != privnet::Setup::Ready) {
        std::fprintf(stderr, "capture_bench: no private network: %s\n", why.c_str());
        return 1;
    }
    struct Contender {
        std::string name;
        std::function<std::unique_ptr<Capture>()> make;
        std::vector<Result> results;
    };
    std::vector<Contender> contenders = {
        {"stand-in (ReadBlock)", [] { return std::make_unique<StandInCapture>(); }, {}},
        {"plain libpcap loop, copying frames", [] { return std::make_unique<PlainCapture>(true); }, {}},
        {"plain libpcap loop, counting only", [] { return std::make_unique<PlainCapture>(false); }, {}},
        {"tcpdump -w /dev/null", [] { return std::make_unique<TcpdumpCapture>(); }, {}}};
    std::ostringstream detail;
    detail << "| Round | Capture | Frames captured | Frames/s | Kernel drops | CPU ns/frame |\n|---|---|---:|---:|---:|---:|\n";
    for (int round = 0; round < rounds; ++round) {
        // All captures take the same frames at once; they start and stop in an order that rotates by round.
        std::vector<size_t> order;
        for (size_t k = 0; k < contenders.size(); ++k) {
            size_t index = (k + static_cast<size_t>(round)) % contenders.size();
            if (only.empty() || contenders[index].name.find(only) != std::string::npos) order.push_back(index);
        }
        std::vector<std::unique_ptr<Capture>> running(contenders.size());
        for (size_t index : order) {
            running[index] = contenders[index].make();
            std::string failure;
            if (!running[index]->Start(&failure)) {
                std::fprintf(stderr, "%s: %s\n", contenders[index].name.c_str(), failure.c_str());
                return 1;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        double seconds = SendTraffic(net, frames);
        std::this_thread::sleep_for(kDrainTime);
        for (size_t index : order) {
            Result r = running[index]->Stop();
            r.sent = frames;
            r.sendSeconds = seconds;
            if (!r.ok) std::fprintf(stderr, "%s: %s\n", contenders[index].name.c_str(), r.note.c_str());
            contenders[index].results.push_back(r);
        }
        for (Contender& c : contenders) {
            if (c.results.size() != static_cast<size_t>(round) + 1) continue;
            const Result& r = c.results.back();
            std::fprintf(stderr, "round %d  %-36s captured %llu/%llu  drops %llu  %.1f ns/frame  %.0f frames/s  %s\n",
                         round + 1, c.name.c_str(), r.frames, frames, r.drops, r.NsPerFrame(), r.FramesPerSecond(),
                         r.ok ? r.note.c_str() : "");
            char line[256];
            std::snprintf(line, sizeof line, "| %d | %s | %llu | %.0f | %llu | %.1f |\n", round + 1, c.name.c_str(),
                          r.frames, r.FramesPerSecond(), r.drops, r.NsPerFrame());
            detail << line;
        }
    }

    auto medianOf = [](const Contender& c, double (*field)(const Result&)) {
        std::vector<double> v;
        for (const Result& r : c.results) v.push_back(field(r));
        return Median(v);
    };
    // CPU ratios paired within each round, where the traffic and the machine's state were the same for all.
    auto pairedRatio = [&](size_t of, size_t to) {
        std::vector<double> ratios;
        for (size_t r = 0; r < contenders[of].results.size() && r < contenders[to].results.size(); ++r)
            if (contenders[to].results[r].NsPerFrame() > 0)
                ratios.push_back(contenders[of].results[r].NsPerFrame() / contenders[to].results[r].NsPerFrame());
        return Median(ratios);
    };
    std::ostringstream table;
    table << "## Capture benchmark\n\n"
          << "Measured with `bench/capture_bench`: " << frames << " frames of " << 14 + 20 + 8 + kPayloadBytes
          << " bytes (UDP/IPv4, to another host's MAC address) per round, sent as fast as one core sends them over a "
             "veth pair in private network namespaces, and taken by all four captures at once (sender on CPU 0, the "
             "captures on CPU 1); "
          << rounds << " rounds; medians shown. CPU is the on-CPU time of the capturing thread "
             "(tcpdump: its process) per frame captured. The stand-in is read through `ReadBlock` (into the "
             "491,520-byte storage, frames counted by the block's frameCount); the plain loops use the same libpcap "
             "settings, one copying each frame out (length first, as in a block), one only counting frames.\n\n"
          << "Machine: " << Machine() << ".\n\n"
          << "| Capture | Frames captured (of " << frames << ") | Frames/s | Kernel drops | CPU ns/frame | CPU vs. copying "
             "libpcap loop, same round |\n"
          << "|---|---:|---:|---:|---:|---:|\n";
    for (size_t i = 0; i < contenders.size(); ++i) {
        const Contender& c = contenders[i];
        char line[320];
        std::snprintf(line, sizeof line, "| %s | %.0f | %.0f | %.0f | %.1f | %.2f× |\n", c.name.c_str(),
                      medianOf(c, [](const Result& r) { return static_cast<double>(r.frames); }),
                      medianOf(c, [](const Result& r) { return r.FramesPerSecond(); }),
                      medianOf(c, [](const Result& r) { return static_cast<double>(r.drops); }),
                      medianOf(c, [](const Result& r) { return r.NsPerFrame(); }), pairedRatio(i, 1));
        table << line;
    }
    char paired[256];
    std::snprintf(paired, sizeof paired,
                  "\nRatios are medians over the rounds of each round's ratio. The stand-in against the counting-only loop: "
                  "%.2f×; against tcpdump: %.2f×. Target: at most 1.2× the plain libpcap loop.\n",
                  pairedRatio(0, 2), pairedRatio(0, 3));
    table << paired;
    table << "\nEvery round:\n\n" << detail.str();
    std::printf("%s", table.str().c_str());
    if (!output.empty()) std::ofstream(output) << table.str();
    return 0;
}
