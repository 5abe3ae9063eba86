// The capture session under concurrency (run under ThreadSanitizer in CI): stop, pause and release racing a
// delivery loop; several threads delivering from one capture; DriverStart racing FreeOnExit; switching cards
// while delivery calls wait; a release meeting a read as it is issued, or a holder of the delivery lock that
// does not let go; two natives' messages printed at once. Frames arrive once each and in order, and a release
// ends every call without touching freed memory.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_session.h"
#include "linux/testing.h"
#include "support/storage_blocks.h"
#include "support/wait_until.h"

namespace {

const char kDevice[] = "\\Device\\NetVorel_race0";
constexpr int kBlocks = 200;
constexpr int kFramesPerBlock = 8;

TEST(CaptureRace, StopPauseAndReleaseAgainstADeliveryLoop) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("race0|Race adapter");
    for (int round = 0; round < 5; ++round) {
        StandInResetDevices();
        StandInAddScriptedDevice(kDevice);
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(DriverStart(1), 0);
        for (int b = 0; b < kBlocks; ++b) StandInScriptBlock(kDevice, storageblocks::NumberedBlock(b * kFramesPerBlock, kFramesPerBlock));

        std::atomic<bool> released{false};
        std::vector<int> received;
        std::atomic<size_t> receivedCount{0};
        std::thread capture([&] {
            while (!released.load()) {
                int number = -1;
                LONG length = GetFrameFromDriver(4, 4, storageblocks::RememberFrameNumber, &number);
                if (length == 4) {
                    received.push_back(number);
                    ++receivedCount;
                }
                if (length == 0) std::this_thread::yield();
            }
        });
        std::thread control([&] {
            for (int i = 0; i < 50; ++i) {
                SetPausedOn(1);
                std::this_thread::yield();
                (void)IsPausedOn();
                SetPausedOn(0);
                DriverStop();
                std::this_thread::yield();
                DriverStart(1);
            }
        });
        control.join();
        for (int waited = 0; receivedCount.load() < static_cast<size_t>(kBlocks * kFramesPerBlock) / 2 && waited < 20000; ++waited)
            Sleep(1);
        released = true;
        FreeOnExit();
        capture.join();
        ::testing::internal::GetCapturedStdout();
        EXPECT_GE(received.size(), static_cast<size_t>(kBlocks * kFramesPerBlock) / 2);
        for (size_t i = 1; i < received.size(); ++i) ASSERT_EQ(received[i], received[i - 1] + 1) << "round " << round;
        EXPECT_EQ(received.front(), 0);
        EXPECT_EQ(StandInScriptedDevice(kDevice).openNow, 0u);
    }
    StandInSetAdapters(nullptr);
    StandInSetWindowsVersion(nullptr);
}

// ---- Several delivery threads, starts racing releases, switching cards ----

// The global order of deliveries: the sink runs while its caller holds the delivery lock, so one log, kept by
// the sink itself, shows the order in which frames left the storage.
struct DeliveryLog {
    std::vector<int> numbers;
};

void LogFrame(void* context, const BYTE* data, LONG count) {
    int number = -1;
    storageblocks::RememberFrameNumber(&number, data, count);
    static_cast<DeliveryLog*>(context)->numbers.push_back(number);
}

// Runs `threads` delivery loops until `stop`; each call that returns a frame is counted in `taken`.
std::vector<std::thread> DeliveryThreads(int threads, DeliveryLog* log, std::atomic<bool>* stop, std::atomic<int>* taken,
                                         std::atomic<int>* ended) {
    std::vector<std::thread> loops;
    for (int t = 0; t < threads; ++t)
        loops.emplace_back([=] {
            while (!stop->load()) {
                LONG length = GetFrameFromDriver(4, 4, LogFrame, log);
                if (length == 4) ++*taken;
                if (length == 0) std::this_thread::yield();
            }
            ++*ended;
        });
    return loops;
}

// One scripted card, started, with the library's lines captured.
bool StartRaceCard() {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("race0|Race adapter");
    StandInResetDevices();
    StandInAddScriptedDevice(kDevice);
    ::testing::internal::CaptureStdout();
    return DriverStart(1) == 0;
}

class SharedCapture : public ::testing::TestWithParam<int> {};

TEST_P(SharedCapture, EveryFrameGoesToExactlyOneCallerInOrder) {
    const int threads = GetParam();
    constexpr int kSharedBlocks = 300;
    constexpr int kSharedFrames = 25;
    constexpr int kTotal = kSharedBlocks * kSharedFrames;
    ASSERT_TRUE(StartRaceCard());
    DeliveryLog log;
    std::atomic<bool> stop{false};
    std::atomic<int> taken{0}, ended{0};
    std::vector<std::thread> loops = DeliveryThreads(threads, &log, &stop, &taken, &ended);
    // Blocks arrive while the threads deliver, so calls also meet in the read and in its wait.
    for (int b = 0; b < kSharedBlocks; ++b) {
        StandInScriptBlock(kDevice, storageblocks::NumberedBlock(b * kSharedFrames, kSharedFrames));
        if (b % 50 == 0) Sleep(1);
    }
    EXPECT_TRUE(WaitUntil([&] { return taken.load() >= kTotal; }, 60000)) << taken.load() << " of " << kTotal;
    stop = true;
    FreeOnExit();  // the threads that wait on the quiet device end with 0
    for (std::thread& loop : loops) loop.join();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(taken.load(), kTotal) << "no frame doubled";
    ASSERT_EQ(log.numbers.size(), static_cast<size_t>(kTotal));
    for (int n = 0; n < kTotal; ++n) ASSERT_EQ(log.numbers[n], n) << "frame " << n << " once, in order";
    EXPECT_EQ(StandInScriptedDevice(kDevice).openNow, 0u);
    StandInSetAdapters(nullptr);
    StandInSetWindowsVersion(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Threads, SharedCapture, ::testing::Values(2, 4),
                         [](const ::testing::TestParamInfo<int>& param) { return std::to_string(param.param) + "Threads"; });

const char kSecondDevice[] = "\\Device\\NetVorel_race1";
constexpr int kSecondDeviceFirst = 1000000;  // frames of the second card are numbered from here

// Two cards and one that cannot open, switched while delivery calls wait on the read, in the refill or on the
// lock: frames of each card leave in order and never twice, and the release ends every call, also when the last
// switch failed and no adapter is open.
TEST(CaptureRace, SwitchingCardsWhileDeliveryWaits) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("race0|Race adapter;race1|Second race adapter;ghost|No device");
    StandInResetDevices();
    StandInAddScriptedDevice(kDevice);
    StandInAddScriptedDevice(kSecondDevice);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(DriverStart(1), 0);
    DeliveryLog log;
    std::atomic<bool> stop{false};
    std::atomic<int> taken{0}, ended{0};
    std::vector<std::thread> loops = DeliveryThreads(2, &log, &stop, &taken, &ended);
    int next[2] = {0, kSecondDeviceFirst};
    for (int round = 0; round < 40; ++round) {
        int card = round % 2;
        if (round % 7 == 6) {
            EXPECT_EQ(DriverStart(3), -1) << "the third card has no device";
            Sleep(2);
        }
        ASSERT_EQ(DriverStart(card + 1), 0);
        StandInScriptBlock(card == 0 ? kDevice : kSecondDevice, storageblocks::NumberedBlock(next[card], 4));
        next[card] += 4;
        int before = taken.load();
        WaitUntil([&] { return taken.load() > before; }, 2000);
    }
    EXPECT_EQ(DriverStart(3), -1);
    Sleep(20);  // the calls now wait for a device that will not come
    stop = true;
    FreeOnExit();
    EXPECT_TRUE(WaitUntil([&] { return ended.load() == 2; }, 10000)) << "the release ends the waiting calls";
    for (std::thread& loop : loops) loop.join();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("..pAdapter is NULL, implying the driver is NOT started."), std::string::npos) << out;
    EXPECT_GT(log.numbers.size(), 0u);
    int last[2] = {-1, kSecondDeviceFirst - 1};
    for (int number : log.numbers) {
        int card = number >= kSecondDeviceFirst ? 1 : 0;
        ASSERT_GT(number, last[card]) << "in order and never twice";
        ASSERT_LT(number, next[card]);
        last[card] = number;
    }
    EXPECT_EQ(StandInScriptedDevice(kDevice).openNow, 0u);
    EXPECT_EQ(StandInScriptedDevice(kSecondDevice).openNow, 0u);
    StandInSetAdapters(nullptr);
    StandInSetWindowsVersion(nullptr);
}

// DriverStart against FreeOnExit, with a delivery loop: whichever comes second wins. Never a start answering 0
// with its objects gone, never a half session, and nothing freed twice or left open.
TEST(CaptureRace, StartRacingTheRelease) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("race0|Race adapter;race1|Second race adapter");
    StandInResetDevices();
    StandInAddScriptedDevice(kDevice);
    StandInAddScriptedDevice(kSecondDevice);
    size_t handlesBefore = StandInOpenHandleCount();
    ::testing::internal::CaptureStdout();
    DeliveryLog log;
    std::atomic<bool> stop{false};
    std::atomic<int> taken{0}, ended{0};
    ASSERT_EQ(DriverStart(1), 0);
    std::vector<std::thread> loops = DeliveryThreads(2, &log, &stop, &taken, &ended);
    for (int round = 0; round < 60; ++round) {
        StandInScriptBlock(round % 2 == 0 ? kDevice : kSecondDevice, storageblocks::NumberedBlock(round, 1));
        std::atomic<LONG> started{-2};
        std::thread start([&] { started = DriverStart(1 + round % 2); });
        std::thread release([] { FreeOnExit(); });
        start.join();
        release.join();
        EXPECT_EQ(started.load(), 0) << "round " << round;
        if (pAdapter.load() != nullptr) {
            EXPECT_NE(pPacket.load(), nullptr) << "round " << round << ": a started session is complete";
            EXPECT_NE(pStorage.load(), nullptr) << "round " << round;
        } else {
            EXPECT_EQ(pPacket.load(), nullptr) << "round " << round << ": no read request without an adapter";
            ASSERT_EQ(DriverStart(1 + round % 2), 0);
        }
    }
    stop = true;
    FreeOnExit();
    EXPECT_TRUE(WaitUntil([&] { return ended.load() == 2; }, 10000));
    for (std::thread& loop : loops) loop.join();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(StandInScriptedDevice(kDevice).openNow, 0u);
    EXPECT_EQ(StandInScriptedDevice(kSecondDevice).openNow, 0u);
    EXPECT_EQ(StandInOpenHandleCount(), handlesBefore) << "every device and read request closed once";
    StandInSetAdapters(nullptr);
    StandInSetWindowsVersion(nullptr);
}

// The release closes the device while a delivery call is between taking the handle and issuing its read. The
// close waits for the read to go out (on Windows a closed handle's value may already name another object, and
// a read that reaches the driver after its clean-up never ends); the close then ends the read.
TEST(CaptureRace, ReleaseMeetingAReadAsItIsIssued) {
    ASSERT_TRUE(StartRaceCard());
    std::thread release;
    bool closedMeanwhile = false;
    StandInOnNextCall("ReadFile", [&] {
        release = std::thread([] { FreeOnExit(); });
        Sleep(200);  // time enough for the close, were it not held back
        closedMeanwhile = StandInScriptedDevice(kDevice).openNow == 0;
    });
    DeliveryLog log;
    EXPECT_EQ(GetFrameFromDriver(4, 4, LogFrame, &log), 0);
    release.join();
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(closedMeanwhile) << "the device closed under a read being issued";
    EXPECT_EQ(StandInScriptedDevice(kDevice).readsIssued, 1u) << "the read went out on the open device";
    EXPECT_EQ(StandInScriptedDevice(kDevice).openNow, 0u);
    StandInClearFailures();
    StandInSetAdapters(nullptr);
    StandInSetWindowsVersion(nullptr);
}

// A delivery call that holds the lock and does not let go (here its copy blocks; on Windows, a read the driver
// never ends): the release still ends the calls that wait for the lock, and FreeOnExit gives up on the holder.
TEST(CaptureRace, ReleaseEndsTheCallsWaitingForAStuckHolder) {
    ASSERT_TRUE(StartRaceCard());
    StandInScriptBlock(kDevice, storageblocks::NumberedBlock(0, 2));
    struct Stuck {
        std::atomic<bool> holding{false}, letGo{false};
    } stuck;
    auto holdOn = [](void* context, const BYTE*, LONG) {
        auto* s = static_cast<Stuck*>(context);
        s->holding = true;
        while (!s->letGo.load()) Sleep(1);
    };
    std::thread holder([&] { GetFrameFromDriver(4, 4, holdOn, &stuck); });
    ASSERT_TRUE(WaitUntil([&] { return stuck.holding.load(); }, 10000));
    auto waiter = std::async(std::launch::async, [] {
        DeliveryLog log;
        return GetFrameFromDriver(4, 4, LogFrame, &log);
    });
    Sleep(50);
    std::thread release([] { FreeOnExit(); });
    bool ended = waiter.wait_for(std::chrono::seconds(4)) == std::future_status::ready;
    stuck.letGo = true;
    EXPECT_TRUE(ended) << "the waiter ends before the holder lets go";
    EXPECT_EQ(waiter.get(), 0);
    holder.join();
    release.join();
    ::testing::internal::GetCapturedStdout();
    StandInSetAdapters(nullptr);
    StandInSetWindowsVersion(nullptr);
}

TEST(CaptureRace, TwoLineMessagesOfNativesAtOnceStayWhole) {
    ::testing::internal::CaptureStdout();
    std::thread stops([] {
        for (int i = 0; i < 2000; ++i) DriverStop();
    });
    for (int i = 0; i < 2000; ++i) GetFrameFromDriver(4, 4, LogFrame, nullptr);
    stops.join();
    std::string output = ::testing::internal::GetCapturedStdout();
    const std::string stop = "WARNING on line 755 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_Stop():\n"
                             "..pAdapter is NULL, implying the driver is NOT started.\n";
    const std::string delivery =
        "ERROR on line 802 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_ReadFrameFromDriver()\n"
        "..pAdapter is NULL\n";
    size_t stopsSeen = 0, deliveriesSeen = 0;
    for (size_t at = 0; at < output.size();) {
        if (output.compare(at, stop.size(), stop) == 0) {
            at += stop.size(), ++stopsSeen;
        } else if (output.compare(at, delivery.size(), delivery) == 0) {
            at += delivery.size(), ++deliveriesSeen;
        } else {
            FAIL() << "a message was split at byte " << at << ":\n" << output.substr(at, 200);
        }
    }
    EXPECT_EQ(stopsSeen, 2000u);
    EXPECT_EQ(deliveriesSeen, 2000u);
}

}  // namespace
