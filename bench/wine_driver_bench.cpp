// Delivery from a packet driver under Wine (a program, not a test): frames per second that GetFrameFromDriver
// delivers from the test packet driver (tests/windows/driver) in Wine's kernel-driver host, against the
// driver's own read rate measured in the same run: a plain loop of overlapped ReadFile + GetOverlappedResult on
// the same device, the same full blocks, without looking at the frames. Both take each block through Wine's
// I/O manager (about 0.29 ms a read); the ratio shows what the library adds: the walk of the block, one copy
// per frame into the Java array and the JNI call.
//
//   wine_driver_bench [--rounds R] [--reads N]     (in a Wine prefix; bench/wine_driver_bench.sh makes one)
//
// For 64- and 1514-byte frames in full 491,520-byte blocks; R rounds (default 7) of N blocks each (default
// 1000), the two alternating block by block; medians, and the median of the rounds' ratios.
#include "win32.h"

#include <jni.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/storage_blocks.h"
#include "windows/win32/test_driver_setup.h"
#include "windows/win32/wine_imports.h"

namespace {

using Clock = std::chrono::steady_clock;
using testdriver::Bytes;

const char kCardKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\0";
const char kDevice[] = "\\Device\\NetVorel_Bench0";
const char kDeviceFile[] = "\\\\.\\Packet_NetVorel_Bench0";
constexpr size_t kStorageBytes = 491520;

// ---- A lean JNIEnv: what the capture exports call, and nothing that costs more than a JVM's own ----
struct JavaArray {
    std::vector<jbyte> bytes;
};

jsize JNICALL GetArrayLength(JNIEnv*, jarray array) { return static_cast<jsize>(reinterpret_cast<JavaArray*>(array)->bytes.size()); }
void JNICALL SetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length, const jbyte* buffer) {
    std::memcpy(reinterpret_cast<JavaArray*>(array)->bytes.data() + start, buffer, static_cast<size_t>(length));
}
jboolean JNICALL ExceptionCheck(JNIEnv*) { return JNI_FALSE; }
void JNICALL ExceptionClear(JNIEnv*) {}

JNINativeInterface_ g_table;
JNIEnv g_env;

template <typename Function>
Function Export(HMODULE library, const char* method, int stackBytes) {
    std::string name = std::string("Java_com_larkspire_vorel_util_NativeCollection_") + method;
    FARPROC proc = sizeof(void*) == 4 ? GetProcAddress(library, ("_" + name + "@" + std::to_string(stackBytes)).c_str()) : nullptr;
    if (proc == nullptr) proc = GetProcAddress(library, name.c_str());
    if (proc == nullptr) {
        std::fprintf(stderr, "tamsil.dll does not export %s\n", name.c_str());
        std::exit(1);
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(proc));
}

using StartFn = jint(JNICALL*)(JNIEnv*, jobject, jint);
using VoidFn = void(JNICALL*)(JNIEnv*, jobject);
using FrameFn = jint(JNICALL*)(JNIEnv*, jobject, jbyteArray, jint);

// A block of as many `frameBytes`-byte frames as fit into the storage.
Bytes FullBlock(size_t frameBytes, size_t* frames) {
    *frames = (kStorageBytes - 16) / (frameBytes + 2);
    std::vector<storageblocks::Bytes> list(*frames, storageblocks::Frame(frameBytes, 1));
    return storageblocks::Block(list);
}

// One round: `reads` times, one block read on `device` alone, then one block's frames through GetFrameFromDriver
// (which reads the block itself) into a 1514-byte array. The two alternate block by block, so that both see the
// same machine; each one's time is summed apart. Frames per second of each into *driver and *library.
void Round(HANDLE device, FrameFn getFrame, int reads, size_t framesPerBlock, size_t frameBytes, double* driver, double* library) {
    std::vector<unsigned char> buffer(kStorageBytes);
    JavaArray array{std::vector<jbyte>(1514)};
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Clock::duration readTime{}, deliveryTime{};
    for (int i = 0; i < reads; ++i) {
        auto start = Clock::now();
        DWORD bytes = 0;
        overlapped.Offset = overlapped.OffsetHigh = 0;
        if (!ReadFile(device, buffer.data(), kStorageBytes, &bytes, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
            std::fprintf(stderr, "ReadFile failed with %lu\n", GetLastError());
            std::exit(1);
        }
        if (!GetOverlappedResult(device, &overlapped, &bytes, TRUE) || bytes == 0) {
            std::fprintf(stderr, "the read failed with %lu\n", GetLastError());
            std::exit(1);
        }
        auto read = Clock::now();
        for (size_t f = 0; f < framesPerBlock; ++f) {
            jint length = getFrame(&g_env, nullptr, reinterpret_cast<jbyteArray>(&array), 1514);
            if (length != static_cast<jint>(frameBytes)) {
                std::fprintf(stderr, "frame %zu: length %ld, not %zu\n", f, static_cast<long>(length), frameBytes);
                std::exit(1);
            }
        }
        auto delivered = Clock::now();
        readTime += read - start;
        deliveryTime += delivered - read;
    }
    CloseHandle(overlapped.hEvent);
    double frames = static_cast<double>(reads) * static_cast<double>(framesPerBlock);
    *driver = frames / std::chrono::duration<double>(readTime).count();
    *library = frames / std::chrono::duration<double>(deliveryTime).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7, reads = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--reads") == 0) reads = std::atoi(argv[i + 1]);
    }
    if (rounds < 1 || reads < 1) {
        std::fprintf(stderr, "usage: wine_driver_bench [--rounds R] [--reads N]\n");
        return 2;
    }
    if (!RunningOnWine()) {
        std::fprintf(stderr, "wine_driver_bench installs the test packet driver and runs under Wine only\n");
        return 2;
    }
    std::memset(&g_table, 0, sizeof g_table);
    g_table.GetArrayLength = &GetArrayLength;
    g_table.SetByteArrayRegion = &SetByteArrayRegion;
    g_table.ExceptionCheck = &ExceptionCheck;
    g_table.ExceptionClear = &ExceptionClear;
    g_env.functions = &g_table;

    // The registry path's one card: the driver's device and its NetworkCards description.
    registryseed::SetString(kCardKey, "Description", "Benchmark card");
    registryseed::SetString(kCardKey, "ServiceName", "Bench0");
    std::string error = testdriver::InstallDriver({kDevice});
    if (error.empty()) error = testdriver::OpenControlDevice();
    HMODULE library = LoadLibraryA("tamsil.dll");
    if (error.empty() && library == nullptr) error = "LoadLibrary(tamsil.dll) failed with " + std::to_string(GetLastError());
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    testdriver::LinkDosDevicesOf(library);
    auto start = Export<StartFn>(library, "DriverStart", 12);
    auto freeOnExit = Export<VoidFn>(library, "FreeOnExit", 8);
    auto getFrame = Export<FrameFn>(library, "GetFrameFromDriver", 16);
    if (start(&g_env, nullptr, -2) != 0) {
        std::fprintf(stderr, "DriverStart(-2) failed\n");
        return 1;
    }
    std::fflush(stdout);
    // The benchmark's own handle beside the library's: Wine does not enforce the exclusive open.
    HANDLE device = CreateFileA(kDeviceFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "opening %s failed with %lu\n", kDeviceFile, GetLastError());
        return 1;
    }

    std::printf("| frames | frames per block | driver reads alone, frames/s | GetFrameFromDriver, frames/s | ratio (median of rounds) | range |\n");
    std::printf("|---:|---:|---:|---:|---:|---|\n");
    for (size_t frameBytes : {size_t(64), size_t(1514)}) {
        size_t framesPerBlock = 0;
        Bytes block = FullBlock(frameBytes, &framesPerBlock);
        if (!testdriver::ResetDriver() || !testdriver::Queue(block, 0, 0)) {
            std::fprintf(stderr, "queueing a %zu-byte block failed with %lu\n", block.size(), GetLastError());
            return 1;
        }
        double driverRate = 0, libraryRate = 0;
        Round(device, getFrame, 10, framesPerBlock, frameBytes, &driverRate, &libraryRate);  // warm-up
        std::vector<double> driver, library_, ratios;
        for (int r = 0; r < rounds; ++r) {
            Round(device, getFrame, reads, framesPerBlock, frameBytes, &driverRate, &libraryRate);
            driver.push_back(driverRate);
            library_.push_back(libraryRate);
            ratios.push_back(libraryRate / driverRate);
        }
        std::printf("| %zu bytes | %zu | %.0f | %.0f | %.2f | %.2f-%.2f |\n", frameBytes, framesPerBlock, Median(driver),
                    Median(library_), Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()));
        std::fflush(stdout);
    }
    std::printf("\n%d rounds of %d blocks each way; %s build.\n", rounds, reads, sizeof(void*) == 4 ? "i686" : "x86_64");
    CloseHandle(device);
    freeOnExit(&g_env, nullptr);
    testdriver::CloseControlDevice();
    testdriver::RemoveDriver();
    registryseed::DeleteTree(kCardKey);
    return 0;
}
