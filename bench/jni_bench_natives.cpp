// Natives of the delivery benchmarks: the baselines measured beside GetFrameFromDriver in the same run, a
// feeder that queues pre-built blocks on the stand-in's scripted device, and a plain libpcap read of a file.
#include <jni.h>
#include <malloc.h>
#include <pcap/pcap.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "linux/testing.h"
#include "win32.h"

namespace {

const char kDevice[] = "\\Device\\NetVorel_bench0";
// A second scripted device, read directly: what the stand-in's block reads cost without the library.
const char kReadDevice[] = "\\Device\\NetVorel_bench1";
const char kReadDosName[] = "Packet_NetVorel_bench1";
const char kReadFileName[] = "\\\\.\\Packet_NetVorel_bench1";
constexpr size_t kStorageBytes = 0x78000;
unsigned char source[65536];
pcap_t* file = nullptr;  // the replay benchmark's plain read of the capture file
HANDLE readDevice = INVALID_HANDLE_VALUE;
HANDLE readEvent = nullptr;
std::vector<unsigned char> readBuffer(kStorageBytes);

// One full block of frames of `frameLength` bytes; *frames is how many it holds.
std::vector<unsigned char> FullBlock(jint frameLength, jint* frames) {
    const size_t perBlock = (kStorageBytes - 16) / (2 + static_cast<size_t>(frameLength));
    std::vector<unsigned char> block(16 + perBlock * (2 + static_cast<size_t>(frameLength)));
    block[4] = static_cast<unsigned char>(perBlock);
    block[5] = static_cast<unsigned char>(perBlock >> 8);
    for (size_t i = 0; i < perBlock; ++i) {
        unsigned char* record = block.data() + 16 + i * (2 + static_cast<size_t>(frameLength));
        record[0] = static_cast<unsigned char>(frameLength);
        record[1] = static_cast<unsigned char>(frameLength >> 8);
        std::memset(record + 2, static_cast<int>(i), static_cast<size_t>(frameLength));
    }
    *frames = static_cast<jint>(perBlock);
    return block;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_vorel_bench_Baselines_prepareDevice(JNIEnv*, jclass) {
    // Keep the feeder's half-megabyte blocks in the heap: otherwise every queued block is a fresh mapping
    // whose page faults and unmapping would be measured as delivery time.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    StandInSetAdapters("bench0|Benchmark device");
    StandInAddScriptedDevice(kDevice);
    StandInAddScriptedDevice(kReadDevice);
    DefineDosDeviceA(DDD_RAW_TARGET_PATH, kReadDosName, kReadDevice);
    readDevice = CreateFileA(kReadFileName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
    readEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

// Queues `blocks` full blocks of frames of `frameLength` bytes; returns the frames queued.
JNIEXPORT jint JNICALL Java_vorel_bench_Baselines_feed(JNIEnv*, jclass, jint frameLength, jint blocks) {
    jint frames = 0;
    std::vector<unsigned char> block = FullBlock(frameLength, &frames);
    for (jint b = 0; b < blocks; ++b) StandInScriptBlock(kDevice, block);
    return frames * blocks;
}

// Queues `blocks` blocks as feed does, on the second device, and reads them there with ReadFile and
// GetOverlappedResult, as the library reads; returns the nanoseconds of the reads per frame read, -1 on failure.
JNIEXPORT jdouble JNICALL Java_vorel_bench_Baselines_blockReads(JNIEnv*, jclass, jint frameLength, jint blocks) {
    jint frames = 0;
    std::vector<unsigned char> block = FullBlock(frameLength, &frames);
    for (jint b = 0; b < blocks; ++b) StandInScriptBlock(kReadDevice, block);
    auto start = std::chrono::steady_clock::now();
    for (jint b = 0; b < blocks; ++b) {
        OVERLAPPED ov{};
        ov.hEvent = readEvent;
        DWORD bytes = 0;
        if ((!ReadFile(readDevice, readBuffer.data(), kStorageBytes, &bytes, &ov) && GetLastError() != ERROR_IO_PENDING) ||
            !GetOverlappedResult(readDevice, &ov, &bytes, TRUE) || bytes != block.size())
            return -1;
    }
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / (static_cast<double>(frames) * blocks);
}

JNIEXPORT jint JNICALL Java_vorel_bench_Baselines_emptyCall(JNIEnv*, jclass) { return 0; }

JNIEXPORT jint JNICALL Java_vorel_bench_Baselines_regionCopy(JNIEnv* env, jclass, jbyteArray array, jint length) {
    env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(source));
    return length;
}

// The same copy as a JNI copy that trusts no length from Java makes it: bounded by the array's length.
JNIEXPORT jint JNICALL Java_vorel_bench_Baselines_boundedCopy(JNIEnv* env, jclass, jbyteArray array, jint length) {
    jint room = env->GetArrayLength(array);
    env->SetByteArrayRegion(array, 0, length < room ? length : room, reinterpret_cast<const jbyte*>(source));
    return length;
}

// The floor's copy, of the frames where they lie in a block: walks one pre-built block of frames of `length`
// bytes round and round, copying each frame whole.
JNIEXPORT jint JNICALL Java_vorel_bench_Baselines_blockFrameCopy(JNIEnv* env, jclass, jbyteArray array, jint length) {
    static std::vector<unsigned char> block;
    static jint blockLength = -1;
    static size_t at = 16;
    if (blockLength != length) {
        jint frames = 0;
        block = FullBlock(length, &frames);
        blockLength = length;
        at = 16;
    }
    env->SetByteArrayRegion(array, 0, length, reinterpret_cast<const jbyte*>(block.data() + at + 2));
    at += 2 + static_cast<size_t>(length);
    if (at == block.size()) at = 16;
    return length;
}

JNIEXPORT jint JNICALL Java_vorel_bench_Baselines_elementsCopy(JNIEnv* env, jclass, jbyteArray array, jint length) {
    jbyte* elements = env->GetByteArrayElements(array, nullptr);
    if (elements == nullptr) return 0;
    std::memcpy(elements, source, static_cast<size_t>(length));
    env->ReleaseByteArrayElements(array, elements, 0);
    return length;
}

// The replay benchmark's serial floor: libpcap reads the file, and each frame is copied into the Java array.
JNIEXPORT jboolean JNICALL Java_vorel_bench_Baselines_pcapOpen(JNIEnv* env, jclass, jstring path) {
    const char* name = env->GetStringUTFChars(path, nullptr);
    if (name == nullptr) return JNI_FALSE;
    char message[PCAP_ERRBUF_SIZE] = "";
    file = pcap_open_offline(name, message);
    env->ReleaseStringUTFChars(path, name);
    return file != nullptr ? JNI_TRUE : JNI_FALSE;
}

// The next frame's length, its bytes (cut to `room`, the array's length) in the array; 0 at the end of the file.
JNIEXPORT jint JNICALL Java_vorel_bench_Baselines_pcapNext(JNIEnv* env, jclass, jbyteArray array, jint room) {
    pcap_pkthdr* header;
    const u_char* bytes;
    if (file == nullptr || pcap_next_ex(file, &header, &bytes) != 1) return 0;
    jint length = static_cast<jint>(header->caplen);
    env->SetByteArrayRegion(array, 0, length < room ? length : room, reinterpret_cast<const jbyte*>(bytes));
    return length;
}

JNIEXPORT void JNICALL Java_vorel_bench_Baselines_pcapClose(JNIEnv*, jclass) {
    if (file != nullptr) pcap_close(file);
    file = nullptr;
}

}  // extern "C"
