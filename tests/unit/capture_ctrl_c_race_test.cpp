// Ctrl+C racing a delivery loop (run under ThreadSanitizer in CI). The console event reaches the handler on
// the stand-in's dispatch thread while another thread is taking frames, is held by a pause, waits on the
// driver, while yet another thread switches cards back and forth (and one more runs the administrator test), or
// calls FreeOnExit at the same moment: the
// handler releases the session and ends the process with 0; the delivery call ends with 0, each card's frames
// came once each and in order, and every device is closed. A caller that goes on calling without a pause after
// the release (as Java threads do until the process has ended) gets 0 at once, and nothing is printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "adapters/process_end.h"
#include "host/admin_test.h"
#include "capture/capture_session.h"
#include "linux/testing.h"
#include "support/storage_blocks.h"

namespace {

const char kDevice[] = "\\Device\\NetVorel_ctrlc0";
const char kSecondDevice[] = "\\Device\\NetVorel_ctrlc1";
constexpr int kFramesPerBlock = 8;
constexpr int kSecondDeviceFirst = 1000000;  // frames of the second card are numbered from here

// The child's end when something went wrong: a line on standard error (the death test shows it) and an
// exit code other than the handler's 0.
[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "%s\n", what);
    fflush(stderr);
    _exit(3);
}

enum class Moment { Delivering, Paused, WaitingOnTheDriver, Starting, Freeing, CallingOn };

std::atomic<int> delivered{0};
std::atomic<bool> outOfOrder{false};
std::atomic<bool> deliveryEnded{false};

std::atomic<bool> callingOn{false};
std::atomic<long> callsAfterRelease{0};
int capturedOutput = -1;  // standard output of the child, for the CallingOn case

// The calls that a caller with no pause makes after the release: every one answers at once, quietly.
void CheckQuietAfterRelease() {
    long start = callsAfterRelease.load();
    for (int waited = 0; waited < 10000 && callsAfterRelease.load() < start + 10000; ++waited) Sleep(1);
    fflush(stdout);
    std::string output(4096, '\0');
    output.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(capturedOutput, output.data(), output.size(), 0))));
    if (output.find("NULL") != std::string::npos) Fail(("a call after the release printed: " + output).c_str());
    if (callsAfterRelease.load() < start + 10000) Fail("calls after the release were held up");
    _exit(0);  // the caller is still calling: end here rather than tear the stand-in down under it
}

// Runs as the process ends (exit from the handler), before the stand-in's own state is torn down.
void CheckAtExit() {

    for (int waited = 0; !deliveryEnded.load(); ++waited) {
        if (waited == 10000) Fail("the delivery call did not end after the release");
        Sleep(1);
    }
    if (outOfOrder.load()) Fail("frames came out of order");
    if (StandInScriptedDevice(kDevice).openNow != 0 || StandInScriptedDevice(kSecondDevice).openNow != 0)
        Fail("a device was left open");
    if (callingOn.load()) CheckQuietAfterRelease();
    // The thread that switches cards may be anywhere in a start (the adapter choice runs without the lock the
    // handler keeps) while exit goes on: the stand-in's state must outlive it.
}

// The death test's child: a capture thread takes frames until the handler ends the process.
[[noreturn]] void CaptureUntilCtrlC(Moment moment) {
    if (moment == Moment::CallingOn) {
        FILE* file = tmpfile();
        if (file == nullptr) Fail("no file for standard output");
        capturedOutput = fileno(file);
        fflush(stdout);
        dup2(capturedOutput, 1);
        callingOn = true;
    }
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("ctrlc0|Ctrl C adapter;ctrlc1|Second Ctrl C adapter");
    StandInResetDevices();
    StandInAddScriptedDevice(kDevice);
    StandInAddScriptedDevice(kSecondDevice);
    if (DriverStart(1) != 0) Fail("the start failed");
    int blocks = moment == Moment::WaitingOnTheDriver ? 1 : 500;
    for (int b = 0; b < blocks; ++b) {
        StandInScriptBlock(kDevice, storageblocks::NumberedBlock(b * kFramesPerBlock, kFramesPerBlock));
        StandInScriptBlock(kSecondDevice, storageblocks::NumberedBlock(kSecondDeviceFirst + b * kFramesPerBlock, kFramesPerBlock));
    }
    std::atexit(CheckAtExit);

    std::thread([] {
        int next[2] = {0, kSecondDeviceFirst};
        for (;;) {
            int number = -1;
            if (GetFrameFromDriver(4, 4, storageblocks::RememberFrameNumber, &number) == 0) {  // no frame here is empty
                // A card switch leaves no adapter for a moment: 0 then, and delivery goes on once it is open.
                if (!CtrlCHasBegun()) {
                    Sleep(1);
                    continue;
                }
                if (!callingOn.load()) break;
                deliveryEnded = true;
                DriverStop();
                FreeOnExit();
                ++callsAfterRelease;
                continue;
            }
            int card = number >= kSecondDeviceFirst ? 1 : 0;
            if (number < next[card]) outOfOrder = true;
            next[card] = number + 1;
            ++delivered;
        }
        deliveryEnded = true;
    }).detach();
    if (moment == Moment::Starting) {
        std::thread([] {
            for (int i = 0;; ++i) {
                DriverStart(1 + i % 2);
                Sleep(1);
            }
        }).detach();
        std::thread([] {  // another native that uses the system (tokens, the security objects)
            for (;;) {
                AdministratorTest();
                Sleep(1);
            }
        }).detach();
    }

    // Far enough into the capture for the moment asked for; the last block is then in hand or used up.
    int enough = moment == Moment::Delivering ? 200 : kFramesPerBlock;
    for (int waited = 0; delivered.load() < enough; ++waited) {
        if (waited == 20000) Fail("no frames arrived");
        Sleep(1);
    }
    if (moment == Moment::Paused) SetPausedOn(1);
    if (moment == Moment::Freeing) std::thread([] { FreeOnExit(); }).detach();
    StandInRaiseConsoleEvent(CTRL_C_EVENT);
    for (int i = 0; i < 300; ++i) Sleep(100);
    Fail("the handler never ended the process");
}

// Once Ctrl+C has begun, a start neither chooses, says nor ends anything. The handler here waits for a control
// operation that holds the session (the test holds csControl) while a start comes in: one that would end the
// process for want of adapters, or one that would ask on the console, whose input has ended. Each fails
// quietly, and the handler's 0 is the process's end.
[[noreturn]] void StartAfterCtrlCBegan(const char* adapters, LONG card) {
    FILE* file = tmpfile();
    if (file == nullptr) Fail("no file for standard output");
    capturedOutput = fileno(file);
    fflush(stdout);
    dup2(capturedOutput, 1);
    if (freopen("/dev/null", "r", stdin) == nullptr) Fail("no /dev/null for standard input");
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters(adapters);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);  // as an earlier start did
    EnterCriticalSection(&csControl);
    StandInRaiseConsoleEvent(CTRL_C_EVENT);
    for (int waited = 0; !CtrlCHasBegun(); ++waited) {
        if (waited == 10000) Fail("the handler did not begin");
        Sleep(1);
    }
    if (DriverStart(card) != -1) Fail("a start after Ctrl+C did not fail");
    fflush(stdout);
    std::string output(4096, '\0');
    output.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(capturedOutput, output.data(), output.size(), 0))));
    if (!output.empty()) Fail(("a start after Ctrl+C printed: " + output).c_str());
    LeaveCriticalSection(&csControl);
    for (int i = 0; i < 300; ++i) Sleep(100);
    Fail("the handler never ended the process");
}

TEST(CtrlCBegun, AStartThatWouldEndTheProcessFailsQuietlyAndTheHandlerEndsItWithZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StartAfterCtrlCBegan("", 1), ::testing::ExitedWithCode(0), "");
}

TEST(CtrlCBegun, AStartThatWouldAskOnTheConsoleFailsQuietly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(StartAfterCtrlCBegan("ctrlc0|First;ctrlc1|Second", -1), ::testing::ExitedWithCode(0), "");
}

struct CtrlCCase {
    const char* name;
    Moment moment;
};

void PrintTo(const CtrlCCase& c, std::ostream* os) { *os << c.name; }

class CtrlCRace : public ::testing::TestWithParam<CtrlCCase> {};

TEST_P(CtrlCRace, ReleasesEndsTheDeliveryAndExitsWithZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child needs the stand-in's dispatch thread
    EXPECT_EXIT(CaptureUntilCtrlC(GetParam().moment), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Moments, CtrlCRace,
                         ::testing::Values(CtrlCCase{"WhileDelivering", Moment::Delivering},
                                           CtrlCCase{"WhilePaused", Moment::Paused},
                                           CtrlCCase{"WhileWaitingOnTheDriver", Moment::WaitingOnTheDriver},
                                           CtrlCCase{"WhileAnotherThreadSwitchesCards", Moment::Starting},
                                           CtrlCCase{"WithFreeOnExitAtTheSameMoment", Moment::Freeing},
                                           CtrlCCase{"WithACallerThatDoesNotPause", Moment::CallingOn}),
                         [](const ::testing::TestParamInfo<CtrlCCase>& param) { return std::string(param.param.name); });

}  // namespace
