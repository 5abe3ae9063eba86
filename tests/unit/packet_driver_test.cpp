// Packet driver device access against scripted devices of the stand-in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture/packet_driver.h"
#include "platform/linux/testing.h"
#include "platform/linux/unicode.h"
#include "support/storage_blocks.h"
#include "support/wait_until.h"

namespace {

using storageblocks::Bytes;

const char kDevice[] = "\\Device\\NetVorel_test0";
const char kFileName[] = "\\\\.\\Packet_NetVorel_test0";

using storageblocks::Block;
using storageblocks::Frame;

// The targets QueryDosDevice lists for a DOS name, newest first.
std::vector<std::string> Targets(const char* dosName) {
    char text[1024];
    DWORD n = QueryDosDeviceA(dosName, text, sizeof text);
    std::vector<std::string> targets;
    for (DWORD i = 0; i + 1 < n; i += static_cast<DWORD>(std::strlen(text + i)) + 1) targets.emplace_back(text + i);
    return targets;
}

class PacketDriver : public ::testing::Test {
protected:
    void SetUp() override {
        StandInClearFailures();
        StandInResetDevices();
        StandInAddScriptedDevice(kDevice);
        handlesBefore_ = StandInOpenHandleCount();
    }
    void TearDown() override {
        StandInClearFailures();
        EXPECT_EQ(StandInOpenHandleCount(), handlesBefore_) << "every handle is closed again";
        StandInResetDevices();
    }
    size_t handlesBefore_ = 0;
};

// ---- Opening: the name derivation ----

struct NameCase {
    size_t idLength;
    bool fits;
};

class DeviceNames : public PacketDriver, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DeviceNames, NarrowForm_FormsThePacketNameOrRefusesIt) {
    std::string id(GetParam().idLength, 'a');
    for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<char>('a' + i % 26);
    std::string path = "\\Device\\NetVorel_" + id;
    std::string fileName = "\\\\.\\Packet_NetVorel_" + id;
    StandInAddScriptedDevice(path.c_str());

    Adapter* adapter = OpenAdapterDevice(path.c_str());
    if (!GetParam().fits) {
        EXPECT_EQ(adapter, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
        EXPECT_TRUE(StandInCreateFileCalls().empty()) << "a name that does not fit is never opened";
        EXPECT_TRUE(Targets(fileName.c_str() + 4).empty()) << "nor defined";
        return;
    }
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(std::string(adapter->deviceFileNameA), fileName);
    EXPECT_EQ(std::strlen(adapter->deviceFileNameA), 20 + GetParam().idLength);
    EXPECT_EQ(Targets(("Packet_NetVorel_" + id).c_str()), std::vector<std::string>{path});
    EXPECT_EQ(StandInCreateFileCalls(), std::vector<std::string>{fileName});
    EXPECT_EQ(StandInScriptedDevice(path.c_str()).openNow, 1u);
    CloseAdapterDevice(adapter);
    EXPECT_EQ(StandInScriptedDevice(path.c_str()).openNow, 0u);
    EXPECT_EQ(Targets(("Packet_NetVorel_" + id).c_str()), std::vector<std::string>{path}) << "the DOS name stays";
}

TEST_P(DeviceNames, WideForm_FormsThePacketNameOrRefusesIt) {
    std::string id(GetParam().idLength, 'Q');
    std::string path = "\\Device\\NetVorel_" + id;
    std::string fileName = "\\\\.\\Packet_NetVorel_" + id;
    StandInAddScriptedDevice(path.c_str());

    Adapter* adapter = OpenAdapterDevice(Utf8ToUtf16(path).c_str());
    if (!GetParam().fits) {
        EXPECT_EQ(adapter, nullptr);
        EXPECT_TRUE(StandInCreateFileCalls().empty());
        return;
    }
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(Utf16ToUtf8(adapter->deviceFileNameW, WideLength(adapter->deviceFileNameW)), fileName);
    EXPECT_EQ(Targets(("Packet_NetVorel_" + id).c_str()), std::vector<std::string>{path});
    EXPECT_EQ(StandInCreateFileCalls(), std::vector<std::string>{fileName});
    CloseAdapterDevice(adapter);
}

// 38 characters: a GUID in braces, 58-character file name; 43 is the longest that fits (63 + NUL).
INSTANTIATE_TEST_SUITE_P(IdLengths, DeviceNames,
                         ::testing::Values(NameCase{38, true}, NameCase{43, true}, NameCase{44, false},
                                           NameCase{200, false}),
                         [](const ::testing::TestParamInfo<NameCase>& nameCase) { return "Id" + std::to_string(nameCase.param.idLength); });

TEST_F(PacketDriver, Guid38_GivesThe58CharacterName) {
    const char path[] = "\\Device\\NetVorel_{4D36E972-E325-11CE-BFC1-08002BE10318}";
    StandInAddScriptedDevice(path);
    Adapter* adapter = OpenAdapterDevice(path);
    ASSERT_NE(adapter, nullptr);
    EXPECT_STREQ(adapter->deviceFileNameA, "\\\\.\\Packet_NetVorel_{4D36E972-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(std::strlen(adapter->deviceFileNameA), 58u);
    EXPECT_EQ(Targets("Packet_NetVorel_{4D36E972-E325-11CE-BFC1-08002BE10318}"), std::vector<std::string>{path});
    CloseAdapterDevice(adapter);
}

TEST_F(PacketDriver, Open_RecordIsAMovableGlobalBlock) {
    Adapter* adapter = OpenAdapterDevice(kDevice);
    ASSERT_NE(adapter, nullptr);
    HGLOBAL handle = GlobalHandle(adapter);
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(static_cast<void*>(handle), static_cast<void*>(adapter)) << "movable: the handle is not the pointer";
    EXPECT_GE(GlobalSize(handle), sizeof(Adapter));
    CloseAdapterDevice(adapter);
}

TEST_F(PacketDriver, EachOpen_DefinesTheDosNameAgain) {
    Adapter* first = OpenAdapterDevice(kDevice);
    ASSERT_NE(first, nullptr);
    CloseAdapterDevice(first);
    Adapter* second = OpenAdapterDevice(kDevice);
    ASSERT_NE(second, nullptr);
    CloseAdapterDevice(second);
    EXPECT_EQ(Targets("Packet_NetVorel_test0"), (std::vector<std::string>{kDevice, kDevice}));
}

TEST_F(PacketDriver, DefineDosDeviceInsufficientBuffer_StillOpens) {
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "Packet_NetVorel_test0", kDevice));
    StandInFailCall("DefineDosDevice", ERROR_INSUFFICIENT_BUFFER);
    Adapter* adapter = OpenAdapterDevice(kDevice);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(StandInCreateFileCalls(), std::vector<std::string>{kFileName});
    CloseAdapterDevice(adapter);
}

TEST_F(PacketDriver, DefineDosDeviceInsufficientBuffer_TriesTheOpenEvenWithoutAName) {
    StandInFailCall("DefineDosDevice", ERROR_INSUFFICIENT_BUFFER, 0, 2);
    EXPECT_EQ(OpenAdapterDevice(kDevice), nullptr);
    EXPECT_EQ(OpenAdapterDevice(Utf8ToUtf16(kDevice).c_str()), nullptr);
    EXPECT_EQ(StandInCreateFileCalls(), (std::vector<std::string>{kFileName, kFileName}));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PacketDriver, DefineDosDeviceOtherError_NeverCallsCreateFile) {
    StandInFailCall("DefineDosDevice", ERROR_ACCESS_DENIED, 0, 2);
    EXPECT_EQ(OpenAdapterDevice(kDevice), nullptr);
    EXPECT_EQ(OpenAdapterDevice(Utf8ToUtf16(kDevice).c_str()), nullptr);
    EXPECT_TRUE(StandInCreateFileCalls().empty());
    EXPECT_EQ(StandInScriptedDevice(kDevice).opens, 0u);
}

TEST_F(PacketDriver, CreateFileFails_GivesNone) {
    EXPECT_EQ(OpenAdapterDevice("\\Device\\NetVorel_nothing_here"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    StandInFailCall("CreateFile", ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenAdapterDevice(Utf8ToUtf16(kDevice).c_str()), nullptr);
    EXPECT_EQ(StandInScriptedDevice(kDevice).opens, 0u);
}

TEST_F(PacketDriver, ShortDevicePath_IsNoDevice) {
    EXPECT_EQ(OpenAdapterDevice("\\Dev"), nullptr);
    EXPECT_EQ(StandInCreateFileCalls(), std::vector<std::string>{"\\\\.\\Packet_"});
}

TEST_F(PacketDriver, OpenIsExclusive_UntilTheFirstCloses) {
    Adapter* first = OpenAdapterDevice(kDevice);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(OpenAdapterDevice(Utf8ToUtf16(kDevice).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseAdapterDevice(first);
    Adapter* again = OpenAdapterDevice(kDevice);
    ASSERT_NE(again, nullptr);
    CloseAdapterDevice(again);
}

TEST_F(PacketDriver, OutOfGlobalMemory_EveryAllocationIsTested) {
    StandInFailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 0, 3);
    EXPECT_EQ(OpenAdapterDevice(kDevice), nullptr);
    EXPECT_EQ(OpenAdapterDevice(Utf8ToUtf16(kDevice).c_str()), nullptr);
    EXPECT_EQ(CreateReadRequest(), nullptr);
    EXPECT_TRUE(StandInCreateFileCalls().empty());
    EXPECT_TRUE(Targets("Packet_NetVorel_test0").empty());

    Adapter* adapter = OpenAdapterDevice(kDevice);
    ASSERT_NE(adapter, nullptr);
    StandInFailCall("GlobalLock", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(SetReceiveFilter(adapter, NDIS_PACKET_TYPE_PROMISCUOUS));
    EXPECT_TRUE(StandInScriptedDevice(kDevice).ioControls.empty()) << "nothing sent without a request record";
    CloseAdapterDevice(adapter);
}

// ---- Read requests ----

TEST_F(PacketDriver, ReadRequest_HasAnAutoResetEventNotSignalled) {
    Packet* packet = CreateReadRequest();
    ASSERT_NE(packet, nullptr);
    HANDLE event = packet->overlapped.hEvent;
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "auto-reset";
    EXPECT_EQ(packet->buffer, nullptr);
    EXPECT_EQ(packet->length, 0u);
    DestroyReadRequest(packet);
}

TEST_F(PacketDriver, ReadRequest_NoEventGivesNone) {
    StandInFailCall("CreateEvent", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateReadRequest(), nullptr);
}

TEST_F(PacketDriver, BindReadBuffer_StoresBufferAndLength) {
    Packet* packet = CreateReadRequest();
    ASSERT_NE(packet, nullptr);
    BYTE buffer[64];
    BindReadBuffer(packet, buffer, MULTI_PACKET_STORAGE_SIZE);
    EXPECT_EQ(packet->buffer, buffer);
    EXPECT_EQ(packet->length, 491520u);
    DestroyReadRequest(packet);
}

class Reading : public PacketDriver {
protected:
    void SetUp() override {
        PacketDriver::SetUp();
        adapter_ = OpenAdapterDevice(kDevice);
        ASSERT_NE(adapter_, nullptr);
        packet_ = CreateReadRequest();
        ASSERT_NE(packet_, nullptr);
        storage_.assign(MULTI_PACKET_STORAGE_SIZE, 0xCC);
        BindReadBuffer(packet_, storage_.data(), MULTI_PACKET_STORAGE_SIZE);
    }
    void TearDown() override {
        if (packet_ != nullptr) DestroyReadRequest(packet_);
        if (adapter_ != nullptr) CloseAdapterDevice(adapter_);
        PacketDriver::TearDown();
    }
    Adapter* adapter_ = nullptr;
    Packet* packet_ = nullptr;
    std::vector<BYTE> storage_;
};

TEST_F(Reading, ABlock_IsReadWhole) {
    Bytes block = Block({Frame(60, 1), Frame(0, 0), Frame(1514, 9)});
    StandInScriptBlock(kDevice, block);
    packet_->overlapped.Offset = 7;
    packet_->overlapped.OffsetHigh = 9;
    DWORD bytes = 12345;
    ASSERT_TRUE(ReadBlock(adapter_, packet_, &bytes));
    EXPECT_EQ(bytes, block.size());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), storage_.begin()));
    EXPECT_EQ(packet_->overlapped.Offset, 0u);
    EXPECT_EQ(packet_->overlapped.OffsetHigh, 0u);
    EXPECT_EQ(StandInScriptedDevice(kDevice).readsIssued, 1u);
}

TEST_F(Reading, ZeroBytes_IsASuccessfulRead) {
    StandInScriptEmptyRead(kDevice);
    DWORD bytes = 99;
    EXPECT_TRUE(ReadBlock(adapter_, packet_, &bytes));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(Reading, DriverFailsTheRead_ReadBlockFails) {
    StandInScriptFailedRead(kDevice, ERROR_GEN_FAILURE);
    DWORD bytes = 99;
    EXPECT_FALSE(ReadBlock(adapter_, packet_, &bytes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    StandInScriptBlock(kDevice, Block({Frame(3, 3)}));
    EXPECT_TRUE(ReadBlock(adapter_, packet_, &bytes)) << "the next read is a new one";
}

TEST_F(Reading, ResetEventFails_NoReadIsIssued) {
    StandInScriptBlock(kDevice, Block({Frame(3, 3)}));
    StandInFailCall("ResetEvent", ERROR_INVALID_HANDLE);
    DWORD bytes = 0;
    EXPECT_FALSE(ReadBlock(adapter_, packet_, &bytes));
    EXPECT_EQ(StandInScriptedDevice(kDevice).readsIssued, 0u);
    EXPECT_EQ(StandInScriptedDevice(kDevice).repliesLeft, 1u);
}

TEST_F(Reading, TheReadWaitsForTheDriver) {
    std::thread driver([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        StandInScriptBlock(kDevice, Block({Frame(10, 1)}));
    });
    auto start = std::chrono::steady_clock::now();
    DWORD bytes = 0;
    EXPECT_TRUE(ReadBlock(adapter_, packet_, &bytes));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(bytes, 16u + 2 + 10);
    driver.join();
}

TEST_F(Reading, CloseFromAnotherThread_EndsThePendingRead) {
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread reader([&] {
        DWORD bytes = 0;
        result = ReadBlock(adapter_, packet_, &bytes);
        error = GetLastError();
    });
    EXPECT_TRUE(WaitUntil([] { return StandInScriptedDevice(kDevice).readsIssued == 1; }, 10000)) << "the read is pending";
    auto start = std::chrono::steady_clock::now();
    CloseAdapterDevice(adapter_);
    adapter_ = nullptr;
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(StandInScriptedDevice(kDevice).openNow, 0u);
}

TEST_F(Reading, Abort_EndsThePendingReadAndKeepsTheRecord) {
    BOOL result = TRUE;
    std::thread reader([&] {
        DWORD bytes = 0;
        result = ReadBlock(adapter_, packet_, &bytes);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    AbortAdapterDevice(adapter_);
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(adapter_->hDevice, INVALID_HANDLE_VALUE);
    DWORD bytes = 0;
    EXPECT_FALSE(ReadBlock(adapter_, packet_, &bytes)) << "reads on an aborted device fail";
    EXPECT_FALSE(SetReceiveFilter(adapter_, NDIS_PACKET_TYPE_PROMISCUOUS));
    EXPECT_EQ(StandInScriptedDevice(kDevice).openNow, 0u);
    CloseAdapterDevice(adapter_);
    adapter_ = nullptr;
}

// ---- OID requests ----

TEST_F(Reading, ReceiveFilter_SendsExactlyTheTwelveByteRequest) {
    EXPECT_TRUE(SetReceiveFilter(adapter_, NDIS_PACKET_TYPE_PROMISCUOUS));
    StandInScriptedDeviceState state = StandInScriptedDevice(kDevice);
    ASSERT_EQ(state.ioControls.size(), 1u);
    EXPECT_EQ(state.ioControls[0].code, 0x80000000u);
    EXPECT_EQ(state.ioControls[0].input, (Bytes{0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}));
    EXPECT_EQ(state.ioControls[0].outputSize, 12u);
    EXPECT_TRUE(state.promiscuous);
}

TEST_F(Reading, ReceiveFilterRefused_IsFalse) {
    StandInScriptRefuseRequests(kDevice, ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(SetReceiveFilter(adapter_, NDIS_PACKET_TYPE_PROMISCUOUS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(StandInScriptedDevice(kDevice).promiscuous);
}

TEST_F(Reading, QueryRequest_UsesTheQueryCode) {
    BYTE record[12] = {0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(RequestOid(adapter_, FALSE, reinterpret_cast<OidRequest*>(record))) << "the driver only sets";
    StandInScriptedDeviceState state = StandInScriptedDevice(kDevice);
    ASSERT_EQ(state.ioControls.size(), 1u);
    EXPECT_EQ(state.ioControls[0].code, 0x80000008u);
    EXPECT_EQ(state.ioControls[0].input.size(), 12u);
}

// ---- The MultiPacketStorage layout ----

TEST(MultiPacketStorage, NoFrames_HoldsNoRecords) {
    Bytes block = Block({});
    EXPECT_EQ(ReadStorageFrameCount(block.data()), 0u);
    EXPECT_EQ(block.size(), 16u);
}

TEST(MultiPacketStorage, Records_FollowEachOtherWithoutGaps) {
    Bytes block = Block({Frame(3, 1), Frame(0, 0), Frame(5, 7)});
    ASSERT_EQ(ReadStorageFrameCount(block.data()), 3u);
    const BYTE* record = FirstFrameRecord(block.data());
    EXPECT_EQ(record - block.data(), 16);
    EXPECT_EQ(FrameRecordLength(record), 3u);
    EXPECT_EQ(FrameRecordData(record)[2], 3);
    record = NextFrameRecord(record);
    EXPECT_EQ(record - block.data(), 21);
    EXPECT_EQ(FrameRecordLength(record), 0u);
    record = NextFrameRecord(record);
    EXPECT_EQ(record - block.data(), 23) << "a 0-length record is its 2 length bytes";
    EXPECT_EQ(FrameRecordLength(record), 5u);
    EXPECT_EQ(FrameRecordData(record)[0], 7);
    EXPECT_EQ(NextFrameRecord(record) - block.data(), static_cast<ptrdiff_t>(block.size()));
}

TEST(MultiPacketStorage, FrameCount_IsLittleEndianAtOffsetFour) {
    BYTE block[16] = {};
    WriteStorageFrameCount(block, 0x01020304);
    EXPECT_EQ(block[4], 0x04);
    EXPECT_EQ(block[7], 0x01);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[8], 0);
    EXPECT_EQ(ReadStorageFrameCount(block), 0x01020304u);
}

}  // namespace
