// Stop, pause and release racing a delivery loop (run under ThreadSanitizer in CI): frames still arrive
// once each and in order, and the release always ends the loop without touching freed memory.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_session.h"
#include "linux/testing.h"
#include "support/storage_blocks.h"

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

}  // namespace
