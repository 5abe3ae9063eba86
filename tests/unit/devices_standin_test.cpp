// The Linux stand-in's devices, events and handles: the DOS namespace, CreateFile and share modes, the
// packet driver's control, overlapped reads, and replay of capture files (pcap and pcapng) written here.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/packet_driver.h"
#include "platform/linux/handles.h"
#include "platform/linux/testing.h"
#include "support/capture_files.h"
#include "support/wait_until.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kDevice[] = "\\Device\\NetVorel_test0";

class StandInDevices : public ::testing::Test {
protected:
    void SetUp() override {
        StandInClearFailures();
        StandInResetDevices();
        StandInAddScriptedDevice(kDevice);
        handlesBefore_ = StandInOpenHandleCount();
    }
    void TearDown() override {
        StandInClearFailures();
        EXPECT_EQ(StandInOpenHandleCount(), handlesBefore_);
        StandInResetDevices();
        unsetenv("TAMSIL_REPLAY");
    }
    HANDLE Open(const char* path, DWORD share = 0, DWORD flags = FILE_FLAG_OVERLAPPED) {
        return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, flags, nullptr);
    }
    size_t handlesBefore_ = 0;
};

// ---- The DOS device namespace ----

TEST_F(StandInDevices, DosNames_StackAndUnstack) {
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_x", "\\Device\\One"));
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"packet_X", u"\\Device\\Two"));
    char text[64];
    ASSERT_EQ(QueryDosDeviceA("PACKET_X", text, sizeof text), 25u);
    EXPECT_EQ(std::string(text, 24), std::string("\\Device\\Two\0\\Device\\One\0", 24));
    EXPECT_EQ(QueryDosDeviceA("Packet_x", text, 10), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    WCHAR wide[64];
    EXPECT_EQ(QueryDosDeviceW(u"Packet_x", wide, 64), 25u);
    EXPECT_EQ(wide[0], u'\\');

    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, "Packet_x",
                                 "\\Device\\One"));
    ASSERT_EQ(QueryDosDeviceA("Packet_x", text, sizeof text), 13u);
    EXPECT_STREQ(text, "\\Device\\Two");
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Packet_x", nullptr));
    EXPECT_EQ(QueryDosDeviceA("Packet_x", text, sizeof text), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "Packet_x", nullptr));
}

TEST_F(StandInDevices, DefineDosDevice_FailsAsPlanned) {
    StandInFailCall("DefineDosDevice", 1234);
    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_y", kDevice));
    EXPECT_EQ(GetLastError(), 1234u);
    char text[64];
    EXPECT_EQ(QueryDosDeviceA("Packet_y", text, sizeof text), 0u) << "a failed call defines nothing";
    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "", kDevice));
    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_y", nullptr));
}

// ---- CreateFile ----

TEST_F(StandInDevices, CreateFile_OnlyDeviceNamesThatResolve) {
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_test0", kDevice));
    ASSERT_TRUE(DefineDosDeviceA(0, "Packet_dos", "C:\\temp"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_none", "\\Device\\Nothing"));
    for (const char* path : {"C:\\temp\\file", "\\\\.\\Packet_unknown", "\\\\.\\Packet_dos", "\\\\.\\Packet_none",
                             "\\\\.\\", "Packet_test0"}) {
        EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
    }
    HANDLE device = Open("\\\\?\\packet_TEST0");
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << "\\\\?\\ and any case name the same device";
    EXPECT_TRUE(CloseHandle(device));
}

TEST_F(StandInDevices, CreateFile_AnInterfaceThatDoesNotExist) {
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_NetVorel_nosuch9", "\\Device\\NetVorel_nosuch9"));
    EXPECT_EQ(Open("\\\\.\\Packet_NetVorel_nosuch9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(StandInDevices, ShareModes_AreThePlatformsRule) {
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "A", kDevice));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "B", kDevice));
    HANDLE shared = Open("\\\\.\\A", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(shared, INVALID_HANDLE_VALUE);
    HANDLE second = Open("\\\\.\\B", FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE) << "another DOS name, the same device: shared";
    EXPECT_EQ(Open("\\\\.\\A", FILE_SHARE_READ), INVALID_HANDLE_VALUE) << "the others write";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(shared);
    CloseHandle(second);
    HANDLE exclusive = Open("\\\\.\\B");
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("\\\\.\\A", FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(exclusive);
}

// ---- DeviceIoControl ----

class Control : public StandInDevices {
protected:
    void SetUp() override {
        StandInDevices::SetUp();
        ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_test0", kDevice));
        device_ = Open("\\\\.\\Packet_test0");
        ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(device_);
        StandInDevices::TearDown();
    }
    // The device is open for overlapped I/O, so every control goes with an OVERLAPPED block (`overlapped`).
    BOOL Send(DWORD code, Bytes input, DWORD* returned, Bytes* output = nullptr, bool overlapped = true) {
        if (output == nullptr) output = &input;
        OVERLAPPED ov{};
        return DeviceIoControl(device_, code, input.data(), static_cast<DWORD>(input.size()), output->data(),
                               static_cast<DWORD>(output->size()), returned, overlapped ? &ov : nullptr);
    }
    HANDLE device_ = nullptr;
};

TEST_F(Control, PacketFilter_SwitchesPromiscuousReception) {
    DWORD returned = 0;
    Bytes output(16, 0xEE);
    EXPECT_TRUE(Send(0x80000000u, {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}, &returned, &output));
    EXPECT_EQ(returned, 12u);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 12), (Bytes{0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}));
    EXPECT_TRUE(StandInScriptedDevice(kDevice).promiscuous);
    EXPECT_TRUE(Send(0x80000000u, {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x0B, 0, 0, 0}, &returned));
    EXPECT_FALSE(StandInScriptedDevice(kDevice).promiscuous) << "directed|multicast|broadcast only";
    EXPECT_TRUE(Send(0x80000000u, {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}, &returned));
    CloseHandle(device_);
    EXPECT_FALSE(StandInScriptedDevice(kDevice).promiscuous) << "undone on close";
    device_ = Open("\\\\.\\Packet_test0");
}

struct BadControl {
    const char* name;
    DWORD code;
    Bytes input;
};

class BadControls : public Control, public ::testing::WithParamInterface<BadControl> {};

TEST_P(BadControls, FailWithInvalidParameter) {
    DWORD returned = 99;
    EXPECT_FALSE(Send(GetParam().code, GetParam().input, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(returned, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BadControls,
    ::testing::Values(BadControl{"QueryCode", 0x80000008u, {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}},
                      BadControl{"OtherCode", 0x00120000u, {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}},
                      BadControl{"OtherOid", 0x80000000u, {0x0F, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}},
                      BadControl{"LengthNotFour", 0x80000000u, {0x0E, 0x01, 0x01, 0x00, 2, 0, 0, 0, 0x20, 0}},
                      BadControl{"ShorterThanLength", 0x80000000u, {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20}},
                      BadControl{"NoHeader", 0x80000000u, {0x0E, 0x01, 0x01}}),
    [](const ::testing::TestParamInfo<BadControl>& control) { return std::string(control.param.name); });

TEST_F(Control, NoOverlappedBlockOnAnOverlappedHandle_InvalidParameter) {
    DWORD returned = 99;
    EXPECT_FALSE(Send(0x80000000u, {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}, &returned, nullptr, false));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(StandInScriptedDevice(kDevice).promiscuous);
}

TEST_F(Control, NotADevice_InvalidHandle) {
    DWORD returned = 0;
    BYTE request[12] = {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0};
    EXPECT_FALSE(DeviceIoControl(reinterpret_cast<HANDLE>(0x7000), 0x80000000u, request, 12, request, 12, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- Overlapped reads ----

TEST_F(Control, OverlappedRead_PendsUntilWaitedFor) {
    std::vector<BYTE> buffer(256);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    DWORD bytes = 77;
    EXPECT_FALSE(ReadFile(device_, buffer.data(), 256, &bytes, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT) << "ReadFile resets the event";
    EXPECT_FALSE(GetOverlappedResult(device_, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_FALSE(ReadFile(device_, buffer.data(), 256, &bytes, &ov)) << "one read at a time";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));

    StandInScriptBlock(kDevice, Bytes(40, 7));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0) << "waiting on the event drives the read";
    ASSERT_TRUE(GetOverlappedResult(device_, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, 40u);
    EXPECT_EQ(buffer[39], 7);
    CloseHandle(ov.hEvent);
}

TEST_F(Control, OverlappedRead_TooSmallForOneRecord) {
    std::vector<BYTE> buffer(17);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD bytes = 0;
    ReadFile(device_, buffer.data(), 17, &bytes, &ov);
    EXPECT_FALSE(GetOverlappedResult(device_, &ov, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    CloseHandle(ov.hEvent);
}

// As on Windows: the request is marked pending before the handle is looked at, so a read refused at once
// leaves it pending with its event unsignalled; nothing will ever complete it.
TEST_F(Control, ReadRefusedAtOnce_LeavesTheRequestPendingAndTheEventUnsignalled) {
    HANDLE stale = device_;
    CloseHandle(device_);
    device_ = Open("\\\\.\\Packet_test0");
    EXPECT_NE(stale, device_) << "handles are not reused";
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    struct Case {
        const char* name;
        HANDLE handle;
        DWORD error;
    } cases[] = {{"closed handle", stale, ERROR_INVALID_HANDLE},
                 {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE, ERROR_INVALID_HANDLE},
                 {"an event, not a file", event, ERROR_INVALID_HANDLE}};
    for (const Case& c : cases) {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::vector<BYTE> buffer(64);
        DWORD bytes = 0;
        EXPECT_FALSE(ReadFile(c.handle, buffer.data(), 64, &bytes, &ov)) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(ov.Internal, 0x103u) << c.name;
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, 50), WAIT_TIMEOUT) << c.name;
        EXPECT_FALSE(GetOverlappedResult(c.handle, &ov, &bytes, FALSE)) << c.name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE)) << c.name;
        CloseHandle(ov.hEvent);
    }
    CloseHandle(event);
}

TEST_F(StandInDevices, SynchronousHandle_ReadsAtOnce) {
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_test0", kDevice));
    HANDLE device = Open("\\\\.\\Packet_test0", 0, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    StandInScriptBlock(kDevice, Bytes(20, 1));
    std::vector<BYTE> buffer(64);
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(device, buffer.data(), 64, &bytes, nullptr));
    EXPECT_EQ(bytes, 20u);
    CloseHandle(device);
}

// ---- Handles and events ----

TEST_F(StandInDevices, CloseHandle_Twice) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
}

TEST_F(StandInDevices, ManualResetEvent_StaysSignalled) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    setter.join();
    CloseHandle(event);
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "Global\\named"), nullptr) << "named events are not offered";
}

HANDLE hookedHandle = reinterpret_cast<HANDLE>(0x7770000);
int hookedCloses = 0;
bool CloseHooked(HANDLE handle) {
    if (handle != hookedHandle) return false;
    ++hookedCloses;
    return true;
}

TEST_F(StandInDevices, HandleKinds_CloseThroughTheirHook) {
    static const bool registered = StandInRegisterHandleKind("test", CloseHooked);
    ASSERT_TRUE(registered);
    hookedCloses = 0;
    EXPECT_TRUE(CloseHandle(hookedHandle));
    EXPECT_EQ(hookedCloses, 1);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x7770004)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(StandInDevices, HandleObjects_CloseOnce) {
    struct Counted : HandleObject {
        int* closes;
        explicit Counted(int* counter) : closes(counter) {}
        void Close() override { ++*closes; }
    };
    int closes = 0;
    HANDLE handle = StandInCreateHandle(std::make_shared<Counted>(&closes));
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED) << "not waitable";
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(closes, 1);
}

// ---- Replay of capture files ----

using capturefiles::NumberedFrame;
using capturefiles::WritePcapng;

std::string TempPath(const char* suffix) {
    return (testing::TempDir() + "tamsil_replay_" + std::to_string(getpid()) + suffix);
}

void WritePcap(const std::string& path, const std::vector<Bytes>& frames) { ASSERT_TRUE(capturefiles::WritePcap(path, frames)); }

class Replay : public StandInDevices {
protected:
    void TearDown() override {
        if (packet_ != nullptr) DestroyReadRequest(packet_);
        if (adapter_ != nullptr) CloseAdapterDevice(adapter_);
        if (!file_.empty()) std::remove(file_.c_str());
        StandInDevices::TearDown();
    }
    // Opens the replay device through the packet driver operations and reads blocks of `length` bytes until `count` frames came.
    std::vector<Bytes> ReadFrames(size_t count, DWORD length, std::vector<DWORD>* blockBytes = nullptr) {
        std::vector<Bytes> frames;
        adapter_ = OpenAdapterDevice("\\Device\\NetVorel_replay0");
        if (adapter_ == nullptr) {
            ADD_FAILURE() << "the replay device does not open: " << GetLastError();
            return frames;
        }
        EXPECT_TRUE(SetReceiveFilter(adapter_, NDIS_PACKET_TYPE_PROMISCUOUS));
        packet_ = CreateReadRequest();
        storage_.assign(length, 0xCC);
        BindReadBuffer(packet_, storage_.data(), length);
        while (frames.size() < count) {
            DWORD bytes = 0;
            if (!ReadBlock(adapter_, packet_, &bytes)) {
                ADD_FAILURE() << "read failed with " << GetLastError();
                break;
            }
            if (blockBytes != nullptr) blockBytes->push_back(bytes);
            EXPECT_GT(bytes, 16u);
            EXPECT_LE(bytes, length);
            const BYTE* record = FirstFrameRecord(storage_.data());
            for (DWORD n = ReadStorageFrameCount(storage_.data()); n > 0; --n) {
                frames.emplace_back(FrameRecordData(record), FrameRecordData(record) + FrameRecordLength(record));
                record = NextFrameRecord(record);
            }
            EXPECT_EQ(record - storage_.data(), static_cast<ptrdiff_t>(bytes)) << "the records fill what was read";
        }
        return frames;
    }
    Adapter* adapter_ = nullptr;
    Packet* packet_ = nullptr;
    std::vector<BYTE> storage_;
    std::string file_;
};

TEST_F(Replay, PcapFile_EveryFrameOnceInOrderLongOnesCut) {
    std::vector<Bytes> written;
    for (unsigned i = 0; i < 200; ++i) written.push_back(NumberedFrame(i, 14 + (i * 37) % 1500));
    written.push_back(Bytes());
    written.push_back(NumberedFrame(9000, 70000));
    written.push_back(NumberedFrame(9001, 65535));
    file_ = TempPath(".pcap");
    WritePcap(file_, written);
    std::string replay = "NetVorel_other=/nonexistent;;NetVorel_REPLAY0=" + file_;
    setenv("TAMSIL_REPLAY", replay.c_str(), 1);

    std::vector<Bytes> frames = ReadFrames(written.size(), MULTI_PACKET_STORAGE_SIZE);
    ASSERT_EQ(frames.size(), written.size());
    for (size_t i = 0; i + 2 < written.size(); ++i) EXPECT_EQ(frames[i], written[i]) << "frame " << i;
    EXPECT_EQ(frames[201], Bytes(written[201].begin(), written[201].begin() + 65535)) << "cut to 65,535";
    EXPECT_EQ(frames[202], written[202]);
}

TEST_F(Replay, SmallBlocks_CarryTheFrameThatDoesNotFit) {
    std::vector<Bytes> written;
    for (unsigned i = 0; i < 300; ++i) written.push_back(NumberedFrame(i, 60 + (i * 53) % 900));
    file_ = TempPath(".pcap");
    WritePcap(file_, written);
    setenv("TAMSIL_REPLAY", ("NetVorel_replay0=" + file_).c_str(), 1);

    std::vector<DWORD> blockBytes;
    std::vector<Bytes> frames = ReadFrames(written.size(), 3000, &blockBytes);
    EXPECT_EQ(frames, written);
    EXPECT_GE(blockBytes.size(), 50u) << "many blocks, none over 3,000 bytes";
}

TEST_F(Replay, PcapngFile_AndTheEndWaitsUntilClosed) {
    std::vector<Bytes> written;
    for (unsigned i = 0; i < 20; ++i) written.push_back(NumberedFrame(i, 42 + i));
    file_ = TempPath(".pcapng");
    WritePcapng(file_, written);
    setenv("TAMSIL_REPLAY", ("NetVorel_replay0=" + file_).c_str(), 1);

    EXPECT_EQ(ReadFrames(written.size(), MULTI_PACKET_STORAGE_SIZE), written);

    BOOL result = TRUE;
    std::atomic<bool> returned{false};
    std::thread reader([&] {
        DWORD bytes = 0;
        result = ReadBlock(adapter_, packet_, &bytes);
        returned = true;
    });
    // The read is pending (STATUS_PENDING in its OVERLAPPED block); then it has 200 ms to end on its own.
    EXPECT_TRUE(WaitUntil([&] { return __atomic_load_n(&packet_->overlapped.Internal, __ATOMIC_ACQUIRE) == 0x103; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned.load()) << "at the end of the file the read waits like a quiet network";
    CloseAdapterDevice(adapter_);
    adapter_ = nullptr;
    reader.join();
    EXPECT_FALSE(result);
}

TEST_F(Replay, MissingFileOrAPipe_DoesNotOpen) {
    setenv("TAMSIL_REPLAY", "NetVorel_replay0=/nonexistent/file.pcap", 1);
    EXPECT_EQ(OpenAdapterDevice("\\Device\\NetVorel_replay0"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // A pipe without a writer is refused at once, rather than waited on by the open and then by the release.
    file_ = TempPath(".fifo");
    ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
    setenv("TAMSIL_REPLAY", ("NetVorel_replay0=" + file_).c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(OpenAdapterDevice("\\Device\\NetVorel_replay0"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tamsil: cannot replay " + file_ + ": not a regular file\n");
}

}  // namespace
