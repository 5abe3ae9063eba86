// The replay device against libpcap: a capture file made of a file header chosen by the fuzzer's first bytes and
// its remaining bytes as the records, damaged or not. The device reads plain Ethernet files itself and hands
// over to libpcap at the first record that is not plainly whole, so what it delivers must be exactly what
// libpcap reads from the same file: the same frames in the same order (cut to 65,535 bytes), ending where
// libpcap ends. A file libpcap refuses must leave the device unopened.
//
// Input: an options byte (bit 0 big-endian, bit 1 nanosecond time stamps, bit 2 version 2.3, bit 3 a link type
// other than Ethernet), the 32-bit snapshot length, then the records. Inputs are kept small enough for the
// reader to hand every frame over in one chunk, so that one read takes them all.
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/packet_driver.h"
#include "fuzz/fuzz_check.h"
#include "linux/testing.h"
#include "win32.h"

namespace {

const char kDosName[] = "Packet_NetVorel_fuzzreplay";
const char kOpenName[] = "\\\\.\\Packet_NetVorel_fuzzreplay";
const char kDevicePath[] = "\\Device\\NetVorel_fuzzreplay";
constexpr size_t kMostRecordBytes = 200000;  // below the reader's chunk, with the records' 16-byte headers
constexpr size_t kLongestFrame = 65535;
constexpr DWORD kReadBytes = MULTI_PACKET_STORAGE_SIZE;
constexpr DWORD kReadWaitMs = 10000;
constexpr uint32_t kLinkTypeRawIp = 101;  // as capture files name it
std::string file;

using Bytes = std::vector<unsigned char>;

void Put32(Bytes& out, uint32_t value, bool big) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (big ? 24 - 8 * i : 8 * i)));
}
void Put16(Bytes& out, uint16_t value, bool big) {
    out.push_back(static_cast<unsigned char>(big ? value >> 8 : value));
    out.push_back(static_cast<unsigned char>(big ? value : value >> 8));
}

FUZZ_NO_COVERAGE std::vector<Bytes> LibpcapFrames(pcap_t* pcap) {
    std::vector<Bytes> frames;
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    while (pcap_next_ex(pcap, &header, &bytes) == 1)
        frames.emplace_back(bytes, bytes + std::min<size_t>(header->caplen, kLongestFrame));
    return frames;
}

FUZZ_NO_COVERAGE void CheckBlock(const Bytes& block, DWORD transferred, const std::vector<Bytes>& expected) {
    FUZZ_CHECK(transferred >= STORAGE_HEADER_BYTES && transferred <= block.size(), "the read transferred %lu bytes",
               static_cast<unsigned long>(transferred));
    uint32_t count = block[4] | block[5] << 8 | block[6] << 16 | static_cast<uint32_t>(block[7]) << 24;
    FUZZ_CHECK(count == expected.size(), "%u frames delivered, libpcap read %zu", count, expected.size());
    size_t at = STORAGE_HEADER_BYTES;
    for (const Bytes& frame : expected) {
        FUZZ_CHECK(transferred - at >= 2, "record %zu past the transferred bytes", static_cast<size_t>(&frame - expected.data()));
        size_t length = block[at] | block[at + 1] << 8;
        FUZZ_CHECK(length == frame.size() && transferred - at - 2 >= length &&
                       (length == 0 || std::memcmp(block.data() + at + 2, frame.data(), length) == 0),
                   "frame %zu: %zu bytes delivered, libpcap read %zu (or the bytes differ)",
                   static_cast<size_t>(&frame - expected.data()), length, frame.size());
        at += 2 + length;
    }
    FUZZ_CHECK(at == transferred, "%lu bytes transferred, the records fill %zu", static_cast<unsigned long>(transferred), at);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    file = (std::filesystem::temp_directory_path() / ("tamsil_pcap_replay_" + std::to_string(getpid()) + ".pcap")).string();
    setenv("TAMSIL_REPLAY", ("NetVorel_fuzzreplay=" + file).c_str(), 1);
    DefineDosDeviceA(DDD_RAW_TARGET_PATH, kDosName, kDevicePath);
    std::atexit([] { std::remove(file.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    uint8_t options = in.Byte();
    uint32_t snapshot = in.Little(4);
    size_t records = 0;
    const uint8_t* body = in.Rest(&records);
    if (records > kMostRecordBytes) return 0;
    bool big = (options & 1) != 0;
    Bytes contents;
    Put32(contents, (options & 2) != 0 ? 0xa1b23c4du : 0xa1b2c3d4u, big);
    Put16(contents, 2, big);
    Put16(contents, (options & 4) != 0 ? 3 : 4, big);
    Put32(contents, 0, big);  // time zone
    Put32(contents, 0, big);  // time stamp accuracy
    Put32(contents, snapshot, big);
    Put32(contents, (options & 8) != 0 ? kLinkTypeRawIp : DLT_EN10MB, big);
    contents.insert(contents.end(), body, body + records);
    FILE* out = std::fopen(file.c_str(), "wb");
    FUZZ_CHECK(out != nullptr && std::fwrite(contents.data(), 1, contents.size(), out) == contents.size() && std::fclose(out) == 0,
               "cannot write %s", file.c_str());

    char message[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_open_offline(file.c_str(), message);
    std::vector<Bytes> expected;
    if (pcap != nullptr) {
        expected = LibpcapFrames(pcap);
        pcap_close(pcap);
    }

    size_t handlesBefore = StandInOpenHandleCount();
    HANDLE device = CreateFileA(kOpenName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
    FUZZ_CHECK((device != INVALID_HANDLE_VALUE) == (pcap != nullptr), "the device %s a file that libpcap %s",
               device != INVALID_HANDLE_VALUE ? "opened" : "refused", pcap != nullptr ? "opened" : "refused");
    if (device == INVALID_HANDLE_VALUE) return 0;
    // No frames: the read would wait, as on a quiet network, until the close.
    if (!expected.empty()) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        Bytes block(kReadBytes);
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD transferred = 0;
        bool started = ReadFile(device, block.data(), kReadBytes, &transferred, &ov) || GetLastError() == ERROR_IO_PENDING;
        FUZZ_CHECK(started, "the read failed with %lu", static_cast<unsigned long>(GetLastError()));
        FUZZ_CHECK(WaitForSingleObject(event, kReadWaitMs) == WAIT_OBJECT_0, "no frames within %lu ms; libpcap read %zu",
                   static_cast<unsigned long>(kReadWaitMs), expected.size());
        FUZZ_CHECK(GetOverlappedResult(device, &ov, &transferred, FALSE), "the read failed with %lu",
                   static_cast<unsigned long>(GetLastError()));
        CheckBlock(block, transferred, expected);
        CloseHandle(event);
    }
    CloseHandle(device);
    FUZZ_CHECK(StandInOpenHandleCount() == handlesBefore, "a handle left open");
    return 0;
}
