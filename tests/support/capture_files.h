// Capture files for tests: frames numbered in their first bytes, traffic of every common kind, and pcap / pcapng
// writers and a pcap reader (libpcap).
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace capturefiles {

using Bytes = std::vector<unsigned char>;

// Ethernet frames numbered in their first 4 bytes, the rest a pattern; sizes vary.
inline Bytes NumberedFrame(unsigned number, size_t length) {
    Bytes frame(length);
    for (size_t i = 0; i < length; ++i) frame[i] = static_cast<unsigned char>(number * 7 + i);
    for (size_t i = 0; i < 4 && i < length; ++i) frame[i] = static_cast<unsigned char>(number >> (8 * i));
    return frame;
}

// Writes a pcap file with libpcap. Frames longer than `snapshot` keep their length as the original length.
// False when libpcap cannot write it.
inline bool WritePcap(const std::string& path, const std::vector<Bytes>& frames, int snapshot = 262144) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, snapshot);
    if (dead == nullptr) return false;
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    if (dumper == nullptr) {
        pcap_close(dead);
        return false;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr header{};
        header.ts.tv_sec = 1700000000 + static_cast<long>(i);
        header.len = static_cast<bpf_u_int32>(frames[i].size());
        header.caplen = header.len < static_cast<bpf_u_int32>(snapshot) ? header.len : static_cast<bpf_u_int32>(snapshot);
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frames[i].data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

// The bytes of a minimal pcapng file (section header, one Ethernet interface, enhanced packet blocks).
inline Bytes PcapngBytes(const std::vector<Bytes>& frames) {
    Bytes file;
    auto u32 = [&file](uint32_t v) {
        for (int i = 0; i < 4; ++i) file.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    auto u16 = [&file](uint16_t v) {
        file.push_back(static_cast<unsigned char>(v));
        file.push_back(static_cast<unsigned char>(v >> 8));
    };
    u32(0x0A0D0D0A), u32(28), u32(0x1A2B3C4D), u16(1), u16(0), u32(0xFFFFFFFF), u32(0xFFFFFFFF), u32(28);
    u32(1), u32(20), u16(1), u16(0), u32(0), u32(20);
    for (const Bytes& frame : frames) {
        uint32_t padded = static_cast<uint32_t>((frame.size() + 3) & ~size_t(3));
        u32(6), u32(32 + padded), u32(0), u32(0), u32(0), u32(static_cast<uint32_t>(frame.size())),
            u32(static_cast<uint32_t>(frame.size()));
        file.insert(file.end(), frame.begin(), frame.end());
        file.resize(file.size() + (padded - frame.size()), 0);
        u32(32 + padded);
    }
    return file;
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WritePcapng(const std::string& path, const std::vector<Bytes>& frames) { WriteBytes(path, PcapngBytes(frames)); }

// A frame as a capture file holds it.
struct Record {
    Bytes bytes;
    uint32_t originalLength;
    uint64_t microseconds;
};

// Every frame of a pcap or pcapng file, through libpcap; *error says why reading stopped early, if it did.
inline std::vector<Record> ReadCapture(const std::string& path, std::string* error) {
    std::vector<Record> records;
    char message[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_open_offline(path.c_str(), message);
    if (pcap == nullptr) {
        *error = message;
        return records;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    int result;
    while ((result = pcap_next_ex(pcap, &header, &bytes)) == 1)
        records.push_back(Record{Bytes(bytes, bytes + header->caplen), header->len,
                                 static_cast<uint64_t>(header->ts.tv_sec) * 1000000u + static_cast<uint64_t>(header->ts.tv_usec)});
    if (result == PCAP_ERROR) *error = pcap_geterr(pcap);
    pcap_close(pcap);
    return records;
}

// ---- Traffic of every common kind: Ethernet frames built field by field ----

inline void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}

inline Bytes Ethernet(unsigned type, const Bytes& payload, int vlan = -1) {
    Bytes f = {0x02, 0, 0, 0, 0, 0x02, 0x02, 0, 0, 0, 0, 0x01};
    if (vlan >= 0) {
        Put16(f, 0x8100);
        Put16(f, static_cast<unsigned>(vlan));
    }
    Put16(f, type);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// IPv4 header (addresses 10.0.0.1 -> 10.0.0.2) with its checksum, then the payload.
inline Bytes Ipv4(unsigned protocol, const Bytes& payload) {
    Bytes h = {0x45, 0};
    Put16(h, static_cast<unsigned>(20 + payload.size()));
    h.insert(h.end(), {0x12, 0x34, 0x40, 0, 64, static_cast<unsigned char>(protocol), 0, 0, 10, 0, 0, 1, 10, 0, 0, 2});
    unsigned sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += static_cast<unsigned>(h[i] << 8 | h[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    h[10] = static_cast<unsigned char>(~sum >> 8);
    h[11] = static_cast<unsigned char>(~sum);
    h.insert(h.end(), payload.begin(), payload.end());
    return h;
}

// IPv6 header (fd00::1 -> fd00::2), then the payload.
inline Bytes Ipv6(unsigned next, const Bytes& payload) {
    Bytes h = {0x60, 0, 0, 0};
    Put16(h, static_cast<unsigned>(payload.size()));
    h.push_back(static_cast<unsigned char>(next));
    h.push_back(64);
    for (int address = 1; address <= 2; ++address) {
        Bytes a(16, 0);
        a[0] = 0xfd;
        a[15] = static_cast<unsigned char>(address);
        h.insert(h.end(), a.begin(), a.end());
    }
    h.insert(h.end(), payload.begin(), payload.end());
    return h;
}

inline Bytes Udp(unsigned from, unsigned to, size_t dataBytes) {
    Bytes u;
    Put16(u, from), Put16(u, to), Put16(u, static_cast<unsigned>(8 + dataBytes)), Put16(u, 0);
    for (size_t i = 0; i < dataBytes; ++i) u.push_back(static_cast<unsigned char>('a' + i % 26));
    return u;
}

inline Bytes Tcp(unsigned from, unsigned to, unsigned flags, size_t dataBytes) {
    Bytes t;
    Put16(t, from), Put16(t, to);
    t.insert(t.end(), {0, 0, 0x10, 0, 0, 0, 0, 0, 0x50, static_cast<unsigned char>(flags), 0xff, 0xff, 0, 0, 0, 0});
    for (size_t i = 0; i < dataBytes; ++i) t.push_back(static_cast<unsigned char>(i));
    return t;
}

// ARP, IPv4 and IPv6 over TCP, UDP and ICMP, a VLAN tag, a frame of the shortest Ethernet length and one of
// `longLength` bytes (longer than any array of 65,535 bytes when it is over that).
inline std::vector<Bytes> VariedTraffic(size_t longLength = 70000) {
    Bytes arp = {0, 1, 0x08, 0, 6, 4, 0, 1, 0x02, 0, 0, 0, 0, 1, 10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 10, 0, 0, 2};
    arp.resize(46, 0);
    Bytes echo = {8, 0, 0xf7, 0xfe, 0, 1, 0, 1};
    Bytes echo6 = {128, 0, 0, 0, 0, 1, 0, 1};
    return {
        Ethernet(0x0806, arp),
        Ethernet(0x0800, Ipv4(6, Tcp(40000, 80, 0x02, 0))),
        Ethernet(0x0800, Ipv4(6, Tcp(40000, 80, 0x18, 1400))),
        Ethernet(0x0800, Ipv4(17, Udp(5353, 53, 30))),
        Ethernet(0x0800, Ipv4(1, echo)),
        Ethernet(0x86DD, Ipv6(17, Udp(4000, 5000, 100))),
        Ethernet(0x86DD, Ipv6(6, Tcp(40001, 443, 0x12, 0))),
        Ethernet(0x86DD, Ipv6(58, echo6)),
        Ethernet(0x0800, Ipv4(17, Udp(1234, 5678, 64)), 42),
        Ethernet(0x0800, Ipv4(17, Udp(9, 9, longLength - 14 - 20 - 8))),
        Ethernet(0x0800, Ipv4(17, Udp(7, 7, 1472))),
    };
}

}  // namespace capturefiles
