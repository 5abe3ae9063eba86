// Capture benchmark: the stand-in's live capture (read through Part 1.1, every record walked) against a plain
// libpcap loop and `tcpdump -w /dev/null`, each on the same veth traffic in one run: UDP datagrams of
// 106-byte frames sent from namespace B over vb -> va as fast as one core sends them, captured on va.
// Sender on CPU 0, capture on CPU 1 (when there are two). Rounds rotate the order of the three captures.
//
//   capture_bench [--frames N] [--rounds R] [--output FILE]     (root, or unprivileged user namespaces)
//
// Reported per capture: frames captured, frames/s (captured / sending time), kernel drops (libpcap's count,
// tcpdump's "dropped by kernel"), and on-CPU nanoseconds of the capturing thread (tcpdump: process) per frame,
// from just before the traffic to after it has drained.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
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

// Sends `count` datagrams from namespace B on CPU 0 with sendmmsg; answers the seconds it took.
double SendTraffic(privnet::VethPair& net, unsigned long long count) {
    double seconds = 0;
    std::thread sender([&] {
        if (!net.EnterB()) return;
        PinTo(0);
        int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 8 << 20;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(kPort);
        inet_pton(AF_INET, "10.77.0.1", &where.sin_addr);
        connect(sock, reinterpret_cast<sockaddr*>(&where), sizeof where);
        constexpr unsigned kBatch = 64;
        unsigned char payloads[kBatch][kPayloadBytes] = {};
        iovec iov[kBatch];
        mmsghdr messages[kBatch] = {};
        for (unsigned i = 0; i < kBatch; ++i) {
            iov[i] = {payloads[i], kPayloadBytes};
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        auto start = Clock::now();
        unsigned long long sent = 0;
        while (sent < count) {
            unsigned n = static_cast<unsigned>(std::min<unsigned long long>(kBatch, count - sent));
            int done = sendmmsg(sock, messages, n, 0);
            if (done > 0) sent += static_cast<unsigned>(done);
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
};

// ---- The three captures ----

Result RunStandIn(privnet::VethPair& net, unsigned long long count) {
    Result result;
    Adapter* adapter = OpenAdapterDevice("\\Device\\NetVorel_va");
    if (adapter == nullptr) {
        result.note = "open failed: " + std::to_string(GetLastError());
        return result;
    }
    SetReceiveFilter(adapter, NDIS_PACKET_TYPE_PROMISCUOUS);
    HGLOBAL hStorage = GlobalAlloc(GMEM_MOVEABLE, MULTI_PACKET_STORAGE_SIZE);
    auto* storage = static_cast<BYTE*>(GlobalLock(hStorage));
    Packet* packet = CreateReadRequest();
    BindReadBuffer(packet, storage, MULTI_PACKET_STORAGE_SIZE);

    std::atomic<bool> ready{false};
    Touch touch;
    double cpu = 0;
    std::thread capture([&] {
        PinTo(1);
        double start = ThreadCpuNs();
        ready = true;
        DWORD bytes = 0;
        while (ReadBlock(adapter, packet, &bytes)) {
            const BYTE* record = FirstFrameRecord(storage);
            for (DWORD n = ReadStorageFrameCount(storage); n > 0; --n) {
                WORD length = FrameRecordLength(record);
                touch.frames++;
                touch.bytes += length;
                if (length) touch.checksum += FrameRecordData(record)[0];
                record = NextFrameRecord(record);
            }
        }
        cpu = ThreadCpuNs() - start;
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result.sendSeconds = SendTraffic(net, count);
    std::this_thread::sleep_for(kDrainTime);
    unsigned received = 0, dropped = 0;
    StandInDeviceCaptureStats(adapter->hDevice, &received, &dropped);
    AbortAdapterDevice(adapter);
    capture.join();
    CloseAdapterDevice(adapter);
    DestroyReadRequest(packet);
    GlobalUnlock(hStorage);
    GlobalFree(hStorage);
    result.frames = touch.frames;
    result.drops = dropped;
    result.cpuNs = cpu;
    result.ok = true;
    return result;
}

Result RunPlainLoop(privnet::VethPair& net, unsigned long long count) {
    Result result;
    char message[PCAP_ERRBUF_SIZE];
    pcap_t* pcap = pcap_create("va", message);
    pcap_set_snaplen(pcap, 65535);
    pcap_set_buffer_size(pcap, 16 << 20);
    pcap_set_timeout(pcap, 5);
    pcap_set_promisc(pcap, 1);
    if (pcap_activate(pcap) < 0) {
        result.note = std::string("pcap_activate: ") + pcap_geterr(pcap);
        pcap_close(pcap);
        return result;
    }
    std::atomic<bool> ready{false};
    Touch touch;
    double cpu = 0;
    std::thread capture([&] {
        PinTo(1);
        double start = ThreadCpuNs();
        ready = true;
        while (pcap_dispatch(pcap, -1, [](u_char* user, const pcap_pkthdr* h, const u_char* bytes) {
                   auto* t = reinterpret_cast<Touch*>(user);
                   t->frames++;
                   t->bytes += h->caplen;
                   if (h->caplen) t->checksum += bytes[0];
               }, reinterpret_cast<u_char*>(&touch)) >= 0) {
        }
        cpu = ThreadCpuNs() - start;
    });
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result.sendSeconds = SendTraffic(net, count);
    std::this_thread::sleep_for(kDrainTime);
    pcap_stat stats{};
    pcap_stats(pcap, &stats);
    pcap_breakloop(pcap);
    capture.join();
    pcap_close(pcap);
    result.frames = touch.frames;
    result.drops = stats.ps_drop;
    result.cpuNs = cpu;
    result.ok = true;
    return result;
}

unsigned long long NumberBefore(const std::string& text, const std::string& words) {
    size_t at = text.find(words);
    if (at == std::string::npos) return 0;
    size_t start = text.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return std::strtoull(text.c_str() + start, nullptr, 10);
}

Result RunTcpdump(privnet::VethPair& net, unsigned long long count) {
    Result result;
    int err[2];
    if (pipe(err) != 0) return result;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        PinTo(1);
        dup2(err[1], 2);
        close(err[0]);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execlp("tcpdump", "tcpdump", "-i", "va", "-w", "/dev/null", "-Z", "root", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    std::string text;
    char chunk[256];
    while (text.find("listening on") == std::string::npos) {
        ssize_t n = read(err[0], chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    if (text.find("listening on") == std::string::npos) {
        result.note = "tcpdump did not start: " + text;
        waitpid(pid, nullptr, 0);
        close(err[0]);
        return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double start = ProcessCpuNs(pid);
    result.sendSeconds = SendTraffic(net, count);
    std::this_thread::sleep_for(kDrainTime);
    double end = ProcessCpuNs(pid);
    kill(pid, SIGINT);
    ssize_t n;
    while ((n = read(err[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    close(err[0]);
    waitpid(pid, nullptr, 0);
    result.frames = NumberBefore(text, "packets captured");
    result.drops = NumberBefore(text, "packets dropped by kernel");
    result.cpuNs = end - start;
    result.ok = text.find("packets captured") != std::string::npos;
    if (!result.ok) result.note = text;
    return result;
}

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

std::string Machine() {
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
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc) frames = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else if (a == "--output" && i + 1 < argc) output = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--frames N] [--rounds R] [--output FILE]\n", argv[0]);
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
    // A socket bound to the port, never read: the datagrams find a port, so no ICMP answers come back.
    int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(kPort);
    inet_pton(AF_INET, "10.77.0.1", &where.sin_addr);
    bind(sink, reinterpret_cast<sockaddr*>(&where), sizeof where);
    int small = 4096;
    setsockopt(sink, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    struct Contender {
        const char* name;
        std::function<Result(privnet::VethPair&, unsigned long long)> run;
        std::vector<Result> results;
    };
    std::vector<Contender> contenders = {{"stand-in (Part 1.1 ReadBlock)", RunStandIn, {}},
                                         {"plain libpcap loop", RunPlainLoop, {}},
                                         {"tcpdump -w /dev/null", RunTcpdump, {}}};
    std::ostringstream detail;
    detail << "| Round | Capture | Frames captured | Frames/s | Kernel drops | CPU ns/frame |\n|---|---|---:|---:|---:|---:|\n";
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            Contender& c = contenders[(k + static_cast<size_t>(round)) % contenders.size()];
            Result r = c.run(net, frames);
            r.sent = frames;
            if (!r.ok) std::fprintf(stderr, "%s: %s\n", c.name, r.note.c_str());
            std::fprintf(stderr, "round %d  %-30s captured %llu/%llu  drops %llu  %.1f ns/frame  %.0f frames/s\n",
                         round + 1, c.name, r.frames, frames, r.drops, r.NsPerFrame(), r.FramesPerSecond());
            char line[256];
            std::snprintf(line, sizeof line, "| %d | %s | %llu | %.0f | %llu | %.1f |\n", round + 1, c.name, r.frames,
                          r.FramesPerSecond(), r.drops, r.NsPerFrame());
            detail << line;
            c.results.push_back(r);
        }
    }

    auto medianOf = [](const Contender& c, double (*field)(const Result&)) {
        std::vector<double> v;
        for (const Result& r : c.results) v.push_back(field(r));
        return Median(v);
    };
    double plainNs = medianOf(contenders[1], [](const Result& r) { return r.NsPerFrame(); });
    std::ostringstream table;
    table << "## Capture benchmark\n\n"
          << "Measured with `bench/capture_bench` (" << frames << " UDP datagrams of " << 14 + 20 + 8 + kPayloadBytes
          << "-byte frames per capture, sent as fast as one core can over a veth pair in private network namespaces; "
          << rounds << " rounds, order rotated; medians shown). Sender on CPU 0, capture on CPU 1.\n\n"
          << "Machine: " << Machine() << ".\n\n"
          << "| Capture | Frames captured (of " << frames << ") | Frames/s | Kernel drops | CPU ns/frame | CPU vs. plain libpcap |\n"
          << "|---|---:|---:|---:|---:|---:|\n";
    for (const Contender& c : contenders) {
        double ns = medianOf(c, [](const Result& r) { return r.NsPerFrame(); });
        char line[320];
        std::snprintf(line, sizeof line, "| %s | %.0f | %.0f | %.0f | %.1f | %.2f× |\n", c.name,
                      medianOf(c, [](const Result& r) { return static_cast<double>(r.frames); }),
                      medianOf(c, [](const Result& r) { return r.FramesPerSecond(); }),
                      medianOf(c, [](const Result& r) { return static_cast<double>(r.drops); }), ns,
                      plainNs > 0 ? ns / plainNs : 0);
        table << line;
    }
    table << "\nEvery round:\n\n" << detail.str();
    std::printf("%s", table.str().c_str());
    if (!output.empty()) std::ofstream(output) << table.str();
    close(sink);
    return 0;
}
