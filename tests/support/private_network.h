// Private network namespaces for the capture test and the capture benchmark. The calling thread moves into
// a fresh namespace A; a second namespace B is made beside it; a veth pair joins them: va (10.77.0.1/24, in A)
// and vb (10.77.0.2/24, in B), with static neighbour entries and no IPv6, so the wire carries only what the
// test sends. Without root the process first becomes root of its own user namespace (what `unshare -rn`
// does); that needs a single-threaded process. Nothing outside the process is touched, and everything
// vanishes when the process ends.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace privnet {

enum class Setup { Ready, Unavailable, Failed };

inline const char* IpCommand() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(path, X_OK) == 0) return path;
    return nullptr;
}

// Runs argv (argv[0] "ip" is found in the usual places) in network namespace `nsFd` (-1: the caller's);
// true when it exits with 0. Its output goes to standard error.
inline bool Run(int nsFd, std::vector<std::string> argv, std::string* why) {
    if (argv[0] == "ip" && IpCommand() != nullptr) argv[0] = IpCommand();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        *why = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
        dup2(2, 1);
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    std::string line;
    for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
    *why = line + " failed (status " + std::to_string(status) + ")";
    return false;
}

inline bool WriteFile(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// The hardware address of an interface of the calling thread's namespace, as "aa:bb:..", and its 6 bytes.
inline std::string MacOf(const char* interfaceName, unsigned char bytes[6]) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
    bool ok = sock >= 0 && ioctl(sock, SIOCGIFHWADDR, &request) == 0;
    if (sock >= 0) close(sock);
    if (!ok) return "";
    char text[32];
    auto* mac = reinterpret_cast<unsigned char*>(request.ifr_hwaddr.sa_data);
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    std::memcpy(bytes, mac, 6);
    return text;
}

// The interface flags (IFF_*) in the calling thread's namespace; 0 when unknown.
inline unsigned FlagsOf(const char* interfaceName) {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
    bool ok = sock >= 0 && ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    if (sock >= 0) close(sock);
    return ok ? static_cast<unsigned short>(request.ifr_flags) : 0;
}

// How many takers hold the interface promiscuous (packet sockets count here; SIOCGIFFLAGS shows only the
// administrator's flag): `ip -d link show` in the calling thread's namespace. -1 when unknown.
inline int PromiscuityOf(const char* interfaceName) {
    if (IpCommand() == nullptr) return -1;
    std::string command = std::string(IpCommand()) + " -d link show " + interfaceName;
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return -1;
    std::string text;
    char chunk[512];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, out)) text.append(chunk, n);
    pclose(out);
    size_t at = text.find("promiscuity ");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 12);
}

class VethPair {
public:
    VethPair() = default;
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;
    ~VethPair() {
        if (original_ >= 0) {
            if (setns(original_, CLONE_NEWNET) != 0) {
            }
            close(original_);
        }
        if (nsA >= 0) close(nsA);
        if (nsB >= 0) close(nsB);
    }

    // Unavailable: namespaces cannot be had here (the caller skips); Failed: they could, but the setup broke.
    Setup Create(std::string* why, int mtu = 1500) {
        if (IpCommand() == nullptr) {
            *why = "the ip command (iproute2) is not installed";
            return Setup::Unavailable;
        }
        // Root (with CAP_SYS_ADMIN) takes a network namespace directly; anyone else, or root in a container
        // without that capability, first becomes root of a user namespace of its own.
        bool entered = false;
        if (geteuid() == 0) {
            original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            entered = unshare(CLONE_NEWNET) == 0;
        }
        if (!entered) {
            uid_t uid = getuid();
            gid_t gid = getgid();
            if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
                return Unavailable(why, "unshare(CLONE_NEWNET), and with CLONE_NEWUSER (a container needs "
                                        "--privileged or --cap-add SYS_ADMIN,NET_ADMIN,NET_RAW)");
            WriteFile("/proc/self/setgroups", "deny");
            if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
                return Unavailable(why, "writing the user namespace's id maps");
        }
        nsA = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        WriteFile("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
        WriteFile("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");
        if (unshare(CLONE_NEWNET) != 0) return Unavailable(why, "a second unshare(CLONE_NEWNET)");
        nsB = open("/proc/thread-self/ns/net", O_RDONLY);  // inherited by ip, which finds it by /proc/self/fd
        WriteFile("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
        WriteFile("/proc/sys/net/ipv6/conf/default/disable_ipv6", "1");
        if (nsA < 0 || nsB < 0 || setns(nsA, CLONE_NEWNET) != 0) return Failed(why, "opening the namespaces");

        std::string m = std::to_string(mtu);
        std::string peerNs = "/proc/self/fd/" + std::to_string(nsB);
        if (!Run(-1, {"ip", "link", "add", "va", "mtu", m, "type", "veth", "peer", "name", "vb", "mtu", m, "netns", peerNs}, why) ||
            !Run(-1, {"ip", "addr", "add", "10.77.0.1/24", "dev", "va"}, why) ||
            !Run(-1, {"ip", "link", "set", "va", "up"}, why) || !Run(-1, {"ip", "link", "set", "lo", "up"}, why) ||
            !Run(nsB, {"ip", "addr", "add", "10.77.0.2/24", "dev", "vb"}, why) ||
            !Run(nsB, {"ip", "link", "set", "vb", "up"}, why) || !Run(nsB, {"ip", "link", "set", "lo", "up"}, why))
            return Setup::Failed;
        std::string vaText = MacOf("va", vaMac);
        std::string vbText;
        std::thread([&] {
            if (setns(nsB, CLONE_NEWNET) == 0) vbText = MacOf("vb", vbMac);
        }).join();
        if (vaText.empty() || vbText.empty()) return Failed(why, "reading the veth addresses");
        if (!Run(nsB, {"ip", "neigh", "replace", "10.77.0.1", "lladdr", vaText, "dev", "vb", "nud", "permanent"}, why) ||
            !Run(-1, {"ip", "neigh", "replace", "10.77.0.2", "lladdr", vbText, "dev", "va", "nud", "permanent"}, why))
            return Setup::Failed;
        return Setup::Ready;
    }

    // Moves the calling thread into namespace B (for a sender thread).
    bool EnterB() const { return setns(nsB, CLONE_NEWNET) == 0; }

    int nsA = -1;
    int nsB = -1;
    unsigned char vaMac[6] = {};
    unsigned char vbMac[6] = {};

private:
    Setup Unavailable(std::string* why, const char* step) {
        *why = std::string(step) + ": " + std::strerror(errno);
        return Setup::Unavailable;
    }
    Setup Failed(std::string* why, const char* step) {
        *why = std::string(step) + ": " + std::strerror(errno);
        return Setup::Failed;
    }
    int original_ = -1;
};

}  // namespace privnet
