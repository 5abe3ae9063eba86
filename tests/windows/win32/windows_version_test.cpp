// tamsil.dll on the oldest Windows versions it is meant for. Built twice, as windows_version_nt40_test and
// windows_version_win2k_test: Wine reports NT 4.0 (without iphlpapi.dll, as NT 4.0 has none) to the first and
// Windows 2000 to the second (their AppDefaults, set by the test's fixture). TAMSIL_EXPECTED_WINDOWS names the
// major version the program must see, so that a run Wine did not set up as wanted fails instead of passing.
// The platform's include (winsock2.h before windows.h) first.
#include "windows/win32/test_driver_setup.h"
#include "windows/win32/jni_harness.h"

namespace {

const char kLinkage[] = "SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage";
const char kNetworkCards[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
// Wine rewrites NetworkCards\1..n from the host's interfaces as it starts: a subkey name of its own.
const char kCardKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\0";
const char kDevice[] = "\\Device\\NetVorel_VersionTestCard";
const char kDescription[] = "Version test card";

class WindowsVersion : public JniHarnessBase {
protected:
    static void SetUpTestSuite() {
        JniHarnessBase::SetUpTestSuite();
        // Wine's own DefineDosDevice cannot take a packet device's name. No driver runs here: the open fails.
        testdriver::LinkDosDevicesOf(library_);
        // Two packet driver devices, the first with its card. Before Windows 2000 a card's service name is what
        // follows the first 15 units of its device.
        using namespace registryseed;
        ASSERT_EQ(SetMultiString(kLinkage, "Export", {"\\Device\\NetVorel_Unbound", kDevice}), ERROR_SUCCESS);
        ASSERT_EQ(SetString(kCardKey, "Description", kDescription), ERROR_SUCCESS);
        ASSERT_EQ(SetString(kCardKey, "ServiceName", std::string(kDevice).substr(LOBYTE(GetVersion()) < 5 ? 15 : 17)),
                  ERROR_SUCCESS);
    }
    static void TearDownTestSuite() {
        registryseed::DeleteTree("SYSTEM\\CurrentControlSet\\Services\\NetVorel");
        registryseed::DeleteTree(kCardKey);
    }
    static int ExpectedMajor() {
        const char* expected = std::getenv("TAMSIL_EXPECTED_WINDOWS");
        return expected != nullptr ? std::atoi(expected) : 0;
    }
};

TEST_F(WindowsVersion, LoadsAndFindsAdaptersThroughThePathOfThisVersion) {
    REQUIRE_EXPORTS("GetCardNumbers", "GetCardDescription", "DriverStart", "FreeOnExit");
    int major = LOBYTE(GetVersion());
    ASSERT_NE(ExpectedMajor(), 0) << "TAMSIL_EXPECTED_WINDOWS is not set";
    ASSERT_EQ(major, ExpectedMajor()) << "Wine reports another Windows version than this run is for";
    bool registryPath = major < 5;
    if (registryPath) {
        HMODULE ipHelper = LoadLibraryA("iphlpapi.dll");
        ASSERT_EQ(ipHelper, nullptr) << "iphlpapi.dll can be loaded, as NT 4.0 could not";
    }

    std::vector<std::string> ipHelper = IpHelperAdapters();
    std::string expectedFirst = registryPath ? kDescription : (ipHelper.empty() ? "" : ipHelper[0]);
    std::string out;
    jint count = CallCaptured<jint>(&out, "GetCardNumbers");
    EXPECT_EQ(out, "");
    EXPECT_EQ(count, registryPath ? 2 : static_cast<jint>(ipHelper.size()));
    EXPECT_EQ(jvm_->Text(Call<jstring>("GetCardDescription", static_cast<jint>(0))), expectedFirst);

    // Card 1 of an empty IP Helper list would end the process.
    if (expectedFirst.empty()) GTEST_SKIP() << "Wine lists no adapter on this machine";
    testdriver::g_defined.clear();
    jint started = CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(1));
    std::string opened = "Adapter " + expectedFirst + " successfully opened\n";
    std::string failed = "\n*** ERROR: could not open the Adapter: " + expectedFirst + " ***\n";
    EXPECT_TRUE(out.find(started == 0 ? opened : failed) != std::string::npos) << out;
    EXPECT_EQ(out.rfind("User selected Adapter: " + expectedFirst + "\n", 0), 0u) << "card 1 of two" << out;
    if (RunningOnWine() && registryPath) {
        // The registry's device path, from its UTF-16 form.
        ASSERT_EQ(testdriver::g_defined.size(), 1u);
        EXPECT_EQ(testdriver::g_defined[0].target, kDevice);
    }
    CallCaptured<void>(&out, "FreeOnExit");
}

}  // namespace
