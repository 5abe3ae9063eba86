// The capture session against the stand-in's scripted packet driver devices: start, delivery, truncation,
// malformed blocks, stop, pause, release from another thread, switching cards and Ctrl+C.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adapters/inventory.h"
#include "capture/capture_session.h"
#include "linux/testing.h"
#include "support/storage_blocks.h"
#include "support/wait_until.h"

namespace {

const char kDevice0[] = "\\Device\\NetVorel_test0";
const char kDevice1[] = "\\Device\\NetVorel_test1";
const char kNotStarted755[] =
    "WARNING on line 755 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_Stop():\n"
    "..pAdapter is NULL, implying the driver is NOT started.\n";
const char kNotStarted776[] =
    "WARNING on line 776 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_Stop():\n"
    "..pAdapter is NULL, implying the driver is NOT started.\n";
const char kNoAdapter802[] =
    "ERROR on line 802 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_ReadFrameFromDriver()\n"
    "..pAdapter is NULL\n";

using storageblocks::Bytes;

using storageblocks::Block;
using storageblocks::Frame;

struct Delivered {
    LONG length = -1;
    Bytes bytes;
};

void Collect(void* context, const BYTE* data, LONG count) {
    static_cast<Delivered*>(context)->bytes.assign(data, data + count);
}

Delivered Next(LONG maxLength = 65535, LONG bufferLength = 65535) {
    Delivered d;
    d.length = GetFrameFromDriver(maxLength, bufferLength, Collect, &d);
    return d;
}

template <typename Call>
std::string Output(Call call) {
    ::testing::internal::CaptureStdout();
    call();
    return ::testing::internal::GetCapturedStdout();
}

// Each test starts from a released (not started) library with fresh scripted devices.
class CaptureSession : public ::testing::Test {
protected:
    void SetUp() override {
        StandInSetWindowsVersion("5.1");
        StandInSetAdapters("test0|Test adapter;test1|Second adapter");
        StandInResetDevices();
        StandInAddScriptedDevice(kDevice0);
        StandInAddScriptedDevice(kDevice1);
        SetPausedOn(0);
        nSelectedCard = 0;
    }
    void TearDown() override {
        if (pAdapter.load() != nullptr) Output([] { FreeOnExit(); });
        StandInClearFailures();
        StandInResetDevices();
        StandInSetAdapters(nullptr);
        StandInSetWindowsVersion(nullptr);
    }
    static void Start(LONG card) {
        LONG result = 0;
        Output([&] { result = DriverStart(card); });
        ASSERT_EQ(result, 0);
    }
};

TEST_F(CaptureSession, NotStarted_EachCallPrintsItsLinesAndDoesNothing) {
    EXPECT_EQ(Output([] { EXPECT_EQ(Next().length, 0); }), kNoAdapter802);
    EXPECT_EQ(Output([] { DriverStop(); }), kNotStarted755);
    EXPECT_EQ(Output([] { FreeOnExit(); }), kNotStarted776);
    SetPausedOn(1);
    EXPECT_EQ(IsPausedOn(), 1) << "the pause flag needs no adapter";
}

TEST_F(CaptureSession, Start_OpensTheChosenAdapterAndAsksForPromiscuousReception) {
    LONG result = -1;
    EXPECT_EQ(Output([&] { result = DriverStart(2); }),
              "User selected Adapter: Second adapter\nAdapter Second adapter successfully opened\n\n");
    EXPECT_EQ(result, 0);
    StandInScriptedDeviceState state = StandInScriptedDevice(kDevice1);
    EXPECT_EQ(state.opens, 1u);
    ASSERT_EQ(state.ioControls.size(), 1u);
    EXPECT_EQ(state.ioControls[0].code, 0x80000000u);
    EXPECT_EQ(state.ioControls[0].input, (Bytes{0x0E, 0x01, 0x01, 0x00, 4, 0, 0, 0, 0x20, 0, 0, 0}));
    EXPECT_EQ(state.ioControls[0].outputSize, 12u);
    EXPECT_TRUE(state.promiscuous);

    // The same card again: nothing opened, nothing printed.
    EXPECT_EQ(Output([&] { result = DriverStart(2); }), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(StandInScriptedDevice(kDevice1).opens, 1u);
    EXPECT_EQ(GetCardNumber(), 2);
}

TEST_F(CaptureSession, Start_FailuresPrintTheirLinesAndReturnMinusOne) {
    StandInSetAdapters("nodevice|Ghost;test0|Test adapter");
    LONG result = 0;
    EXPECT_EQ(Output([&] { result = DriverStart(1); }),
              "User selected Adapter: Ghost\n"
              "\n*** ERROR: could not open the Adapter: Ghost ***\n"
              "\nDid you remember to restart your computer after installing the Network Vorel Packet Driver?\n");
    EXPECT_EQ(result, -1);

    StandInScriptRefuseRequests(kDevice0, ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Output([&] { result = DriverStart(2); }),
              "User selected Adapter: Test adapter\nAdapter Test adapter successfully opened\n\n"
              "WARNING:\nCould not set adapter Test adapter in promiscuous mode\n"
              "Network Vorel will only monitor traffic on your own host.\n");
    EXPECT_EQ(result, 0) << "a refused promiscuous mode is only a warning";
}

TEST_F(CaptureSession, Delivery_FramesInOrderWithTruncationAndEmptyFrames) {
    Start(1);
    EXPECT_EQ(StandInScriptedDevice(kDevice0).readsIssued, 0u) << "nothing is read before the first delivery";
    StandInScriptBlock(kDevice0, Block({Frame(5, 1), Frame(0, 0), Frame(300, 7), Frame(20, 9), Frame(20, 10), Frame(20, 11),
                                        Frame(20, 12)}));
    Delivered d = Next();
    EXPECT_EQ(d.length, 5);
    EXPECT_EQ(d.bytes, Frame(5, 1));
    EXPECT_EQ(Next().length, 0) << "a frame of length 0";
    d = Next(100);
    EXPECT_EQ(d.length, 300) << "the full length comes back when fewer bytes are copied";
    Bytes firstHundred = Frame(300, 7);
    firstHundred.resize(100);
    EXPECT_EQ(d.bytes, firstHundred);
    EXPECT_EQ(Next(65535, -1).length, 0) << "no array: no frame is taken";
    d = Next(0);
    EXPECT_EQ(d.length, 20);
    EXPECT_TRUE(d.bytes.empty()) << "a maximum of 0 copies nothing";
    d = Next(65535, 8);
    EXPECT_EQ(d.length, 20);
    Bytes firstEight = Frame(20, 10);
    firstEight.resize(8);
    EXPECT_EQ(d.bytes, firstEight) << "never more than the buffer holds";
    d = Next(-5);
    EXPECT_EQ(d.length, 20);
    EXPECT_TRUE(d.bytes.empty()) << "a negative maximum copies nothing";
    EXPECT_EQ(StandInScriptedDevice(kDevice0).readsIssued, 1u) << "one read for the whole block";
}

TEST_F(CaptureSession, Delivery_EmptyFailedAndMalformedBlocksAreSkipped) {
    Start(1);
    StandInScriptEmptyRead(kDevice0);
    StandInScriptFailedRead(kDevice0, ERROR_GEN_FAILURE);
    StandInScriptBlock(kDevice0, Block({}));                         // no frames: read again at once
    StandInScriptBlock(kDevice0, Bytes(10, 0xEE));                   // shorter than the header
    StandInScriptBlock(kDevice0, Block({Frame(4, 1)}, 1000));        // claims more records than it holds
    Bytes overrun = Block({Frame(8, 2)});
    overrun[16] = 0xFF;                                              // a length running past the bytes read
    StandInScriptBlock(kDevice0, overrun);
    StandInScriptBlock(kDevice0, Block({Frame(6, 3)}));
    EXPECT_EQ(Next().bytes, Frame(4, 1));
    Delivered d = Next();
    EXPECT_EQ(d.length, 6) << "the overrunning record is not delivered and the block after it is read";
    EXPECT_EQ(d.bytes, Frame(6, 3));
    EXPECT_EQ(StandInScriptedDevice(kDevice0).repliesLeft, 0u);
}

TEST_F(CaptureSession, StopAndStart_DeliveryEndsAtOnceAndResumesWithoutReopening) {
    Start(1);
    StandInScriptBlock(kDevice0, Block({Frame(3, 1), Frame(3, 2)}));
    EXPECT_EQ(Next().bytes, Frame(3, 1));
    DriverStop();
    EXPECT_EQ(Next().length, 0);
    EXPECT_EQ(Output([] { EXPECT_EQ(DriverStart(1), 0); }), "");
    EXPECT_EQ(Next().bytes, Frame(3, 2)) << "the block in hand continues";
    EXPECT_EQ(StandInScriptedDevice(kDevice0).opens, 1u);
}

TEST_F(CaptureSession, Pause_HoldsDeliveryUntilResumed) {
    Start(1);
    StandInScriptBlock(kDevice0, Block({Frame(3, 1), Frame(3, 2)}));
    EXPECT_EQ(Next().bytes, Frame(3, 1));
    SetPausedOn(1);
    std::atomic<LONG> result{-1};
    std::thread capture([&] { result = Next().length; });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(result.load(), -1) << "nothing is delivered while paused";
    SetPausedOn(0);
    capture.join();
    EXPECT_EQ(result.load(), 3);
}

TEST_F(CaptureSession, Release_EndsADeliveryWaitingForTheDriverOrPaused) {
    for (bool paused : {false, true}) {
        Start(1);
        StandInScriptBlock(kDevice0, Block({Frame(3, 1), Frame(3, 2)}));
        EXPECT_EQ(Next().length, 3);
        if (!paused) {
            EXPECT_EQ(Next().length, 3);  // the block is used up: the next call waits on the driver
        }
        SetPausedOn(paused ? 1 : 0);
        std::atomic<LONG> result{-1};
        std::thread capture([&] { result = Next().length; });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(result.load(), -1);
        Output([] { FreeOnExit(); });
        capture.join();
        EXPECT_EQ(result.load(), 0) << (paused ? "paused" : "waiting on the driver");
        EXPECT_EQ(StandInScriptedDevice(kDevice0).openNow, 0u) << "the device is closed";
        EXPECT_EQ(pAdapter.load(), nullptr);
        EXPECT_EQ(Output([] { Next(); }), kNoAdapter802) << "after the release the library is not started";
        SetPausedOn(0);
        StandInAddScriptedDevice(kDevice0);
    }
}

TEST_F(CaptureSession, SwitchingCards_ClosesThePreviousDeviceFirst) {
    Start(1);
    size_t handlesWithOne = StandInOpenHandleCount();
    std::string out = Output([] { EXPECT_EQ(DriverStart(2), 0); });
    EXPECT_EQ(out, "User selected Adapter: Second adapter\nAdapter Second adapter successfully opened\n\n");
    EXPECT_EQ(StandInScriptedDevice(kDevice0).openNow, 0u);
    EXPECT_EQ(StandInScriptedDevice(kDevice1).openNow, 1u);
    EXPECT_EQ(StandInOpenHandleCount(), handlesWithOne) << "the old device and read request are gone";
    StandInScriptBlock(kDevice1, Block({Frame(7, 4)}));
    EXPECT_EQ(Next().bytes, Frame(7, 4));
}

// A delivery call whose read does not end when the release closes the device (here: the close fails) keeps
// the release from freeing anything; after its bounded wait the release leaves the objects allocated. The next
// start then works fully, with a storage block of its own, and the stuck call ends with 0 once its read does.
TEST_F(CaptureSession, ReleaseThatGaveUpWaiting_NextStartWorksWithItsOwnStorage) {
    Start(1);
    BYTE* firstStorage = pStorage.load();
    Adapter* firstAdapter = pAdapter.load();
    Packet* firstPacket = pPacket.load();
    HGLOBAL firstStorageHandle = hStorage;
    HANDLE firstDevice = firstAdapter->hDevice;
    std::atomic<LONG> stuck{-1};
    std::thread capture([&] { stuck = Next().length; });
    EXPECT_TRUE(WaitUntil([] { return StandInScriptedDevice(kDevice0).readsIssued == 1; }, 10000)) << "the read is pending";
    StandInFailCall("CloseHandle", ERROR_INVALID_HANDLE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Output([] { FreeOnExit(); }), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900)) << "the wait is bounded in time";
    EXPECT_EQ(stuck.load(), -1);
    EXPECT_EQ(pAdapter.load(), nullptr);

    LONG result = -1;
    EXPECT_EQ(Output([&] { result = DriverStart(2); }),
              "User selected Adapter: Second adapter\nAdapter Second adapter successfully opened\n\n");
    EXPECT_EQ(result, 0);
    ASSERT_NE(pStorage.load(), nullptr);
    EXPECT_NE(pStorage.load(), firstStorage) << "the storage the stuck read may still fill is not reused";
    StandInScriptBlock(kDevice0, Block({Frame(3, 1)}));
    capture.join();
    EXPECT_EQ(stuck.load(), 0) << "the release ended the stuck call once its read came back";
    StandInScriptBlock(kDevice1, Block({Frame(5, 2)}));
    EXPECT_EQ(Next().bytes, Frame(5, 2));
    // What the release had to leave is still allocated, and still whole: give it back.
    EXPECT_TRUE(CloseHandle(firstDevice)) << "the handle whose close failed is still open";
    CloseAdapterDevice(firstAdapter);
    DestroyReadRequest(firstPacket);
    GlobalUnlock(firstStorageHandle);
    EXPECT_EQ(GlobalFree(firstStorageHandle), nullptr);
}

TEST_F(CaptureSession, StorageFailures_PrintTheirErrors) {
    // The device record is the first global allocation of a start; the storage block the second.
    StandInFailCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    LONG result = 0;
    EXPECT_EQ(Output([&] { result = DriverStart(1); }),
              "User selected Adapter: Test adapter\nAdapter Test adapter successfully opened\n\n"
              "ERROR: Can't allocate memory for MultiPacketStorage\n");
    EXPECT_EQ(result, -1);
    StandInFailCall("GlobalLock", ERROR_INVALID_HANDLE, 1, 1);
    EXPECT_EQ(Output([&] { result = DriverStart(2); }),
              "User selected Adapter: Second adapter\nAdapter Second adapter successfully opened\n\n"
              "ERROR: Can't lock memory for MultiPacketStorage\n");
    EXPECT_EQ(result, -1);
    StandInFailCall("CreateEvent", ERROR_NOT_ENOUGH_MEMORY, 0, 1);
    EXPECT_EQ(Output([&] { result = DriverStart(1); }),
              "User selected Adapter: Test adapter\nAdapter Test adapter successfully opened\n\nERROR: Can't allocate a packet\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Output([] { EXPECT_EQ(Next().length, 0); }),
              "ERROR on line 808 of file tamsil: Java_com_larkspire_vorel_utils_NativeCollection_ReadFrameFromDriver()\n"
              "..pPacket is NULL\n");
    // Starting the same card again completes the start instead of reporting the half-open device as started.
    EXPECT_EQ(Output([&] { result = DriverStart(1); }),
              "User selected Adapter: Test adapter\nAdapter Test adapter successfully opened\n\n");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(StandInScriptedDevice(kDevice0).openNow, 1u);
    StandInScriptBlock(kDevice0, Block({Frame(2, 5)}));
    EXPECT_EQ(Next().bytes, Frame(2, 5));
}

TEST_F(CaptureSession, ConsoleControl_CtrlCReleasesAndExitsOthersPassOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child needs the stand-in's dispatch thread
    EXPECT_EQ(OnConsoleControl(CTRL_BREAK_EVENT), FALSE);
    EXPECT_EQ(OnConsoleControl(CTRL_CLOSE_EVENT), FALSE);
    Start(1);
    EXPECT_GE(StandInConsoleHandlerCount(), 1u);
    EXPECT_EXIT(
        {
            StandInRaiseConsoleEvent(CTRL_C_EVENT);
            for (int i = 0; i < 100; ++i) Sleep(100);
            exit(3);  // the handler never ran
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
