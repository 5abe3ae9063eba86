// ousterling's progress flags (run under ThreadSanitizer in CI): the progress thread reads ProgressRunning
// and ProgressBusy while the removal on the main thread sets and clears them, and both write standard output.
// Whatever the interleaving, the transcript is whole with its dots only inside the busy steps, the flags end
// cleared, and the progress thread ends once ProgressRunning is.
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/testing.h"
#include "platform/win32.h"
#include "support/ousterling_transcript.h"
#include "uninstall/network_configuration.h"
#include "uninstall/progress_thread.h"
#include "uninstall/removal_state.h"

using namespace ousterlingtext;

namespace {

const char kInstalled[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}\\"
    "{6A1C2B3D-0E4F-4A5B-8C7D-9E0F1A2B3C4D}]\n"
    "\"ComponentId\"=\"Larkspire\"\n";
const char kNotInstalled[] = "Windows Registry Editor Version 5.00\n";

struct RemovalCase {
    const char* name;
    const char* registry;
    HRESULT outcome;
    std::string transcript;  // without the progress dots
};

const RemovalCase kCases[] = {
    {"Removed", kInstalled, S_OK, std::string(kLookUp) + kDone + kFound + kUninstall + kDone + kFinished},
    {"NotInstalled", kNotInstalled, S_FALSE, std::string(kLookUp) + kFailed + kNotFound},
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.name; }

class ProgressRace : public ::testing::TestWithParam<RemovalCase> {
protected:
    void SetUp() override {
        setenv("TAMSIL_TOKEN", "admin", 1);
        unsetenv("TAMSIL_REGISTRY");
    }
    void TearDown() override { StandInClearNetCfg(); }
};

TEST_P(ProgressRace, ProgressThreadAgainstTheRemoval) {
    const RemovalCase& c = GetParam();
    for (int round = 0; round < 4; ++round) {
        StandInClearNetCfg();
        ASSERT_TRUE(StandInLoadRegistryText(c.registry));
        // The busy steps last a little, so that the progress thread finds the flags changing under it.
        StandInNetCfgDelay("FindComponent", 15 * round);
        StandInNetCfgDelay("DeInstall", 15 * round);
        ProgressRunning = true;
        ProgressBusy = false;

        ::testing::internal::CaptureStdout();
        DWORD threadId = 0;
        HANDLE hThread = CreateThread(NULL, 0, ProgressThread, NULL, 0, &threadId);
        ASSERT_NE(hThread, nullptr);
        HRESULT hr = RemovePacketDriver(PacketDriverComponentId);
        DWORD waited = WaitForSingleObject(hThread, 10000);
        fflush(stdout);
        std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(CloseHandle(hThread));

        EXPECT_EQ(waited, WAIT_OBJECT_0) << "the progress thread ends once ProgressRunning is cleared (round " << round << ")";
        EXPECT_EQ(hr, c.outcome);
        EXPECT_TRUE(ProgressDotsAside(out, c.transcript)) << "round " << round;
        EXPECT_FALSE(ProgressBusy);
        EXPECT_FALSE(ProgressRunning);
    }
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ProgressRace, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RemovalCase>& param) { return std::string(param.param.name); });

}  // namespace
