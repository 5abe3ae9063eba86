// ousterling in process, against the stand-in's COM objects: the calls made with their arguments, the
// reference-release order, the close paths, the progress flags, the lock holder's description freed, and the
// progress dots with the marks they stand before.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/testing.h"
#include "platform/win32.h"
#include "support/ousterling_transcript.h"
#include "uninstall/network_configuration.h"
#include "uninstall/progress_thread.h"
#include "uninstall/removal_state.h"

using namespace ousterlingtext;

namespace {

const char kRegistry[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}\\"
    "{6A1C2B3D-0E4F-4A5B-8C7D-9E0F1A2B3C4D}]\n"
    "\"ComponentId\"=\"Larkspire\"\n";

const char kNetTrans[] = "{4D36E975-E325-11CE-BFC1-08002BE10318}";

// The calls of a whole removal up to the look-up, then from the configuration's closing on.
const std::vector<std::string> kOpened = {
    "CoInitializeEx(NULL, 0x6) = S_OK",
    "CoCreateInstance(CLSID_CNetCfg, NULL, 0x1, IID_INetCfg) = S_OK",
    "INetCfg.QueryInterface(IID_INetCfgLock) = S_OK",
    "INetCfgLock.AcquireWriteLock(15000, \"Sample Netcfg Application (netcfg.exe)\", &holder) = S_OK",
    "INetCfg.Initialize(NULL) = S_OK",
    "INetCfg.AddRef() = 3",
    "INetCfgLock.Release() = 2",
    "INetCfg.Release() = 1",
};
// From the look-up to Apply, when everything answers S_OK.
const std::vector<std::string> kRemoved = {
    "INetCfg.FindComponent(\"Larkspire\") = S_OK",
    std::string("INetCfgComponent.GetClassGuid() = S_OK ") + kNetTrans,
    std::string("INetCfg.QueryNetCfgClass(") + kNetTrans + ", IID_INetCfgClass) = S_OK",
    "INetCfgClass.QueryInterface(IID_INetCfgClassSetup) = S_OK",
    "INetCfgClassSetup.DeInstall(\"Larkspire\", {Type 1, pncc NULL, pszwManufacturer NULL, pszwProduct NULL, "
    "pszwDisplayName NULL, fRegistered 0}, NULL) = S_OK",
    // the setup interface, then the class interface, then the component
    "INetCfgClassSetup.Release() = 1",
    "INetCfgClass.Release() = 0",
    "INetCfgComponent.Release() = 0",
    "INetCfg.Apply() = S_OK",
};
const std::vector<std::string> kClosed = {
    "INetCfg.Uninitialize() = S_OK",
    "INetCfg.QueryInterface(IID_INetCfgLock) = S_OK",
    "INetCfgLock.ReleaseWriteLock() = S_OK",
    "INetCfgLock.Release() = 1",
    "INetCfg.Release() = 0",
    "CoUninitialize()",
};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class Removal : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TAMSIL_TOKEN", "admin", 1);
        unsetenv("TAMSIL_REGISTRY");
        StandInClearNetCfg();
        ASSERT_TRUE(StandInLoadRegistryText(kRegistry));
        ProgressRunning = true;
        ProgressBusy = false;
    }
    void TearDown() override { StandInClearNetCfg(); }

    // RemovePacketDriver("Larkspire") with its console transcript.
    HRESULT Remove(std::string* transcript = nullptr) {
        ::testing::internal::CaptureStdout();
        HRESULT hr = RemovePacketDriver(PacketDriverComponentId);
        fflush(stdout);
        std::string out = ::testing::internal::GetCapturedStdout();
        if (transcript != nullptr) *transcript = out;
        return hr;
    }
};

TEST_F(Removal, RemovePacketDriver_Success_MakesTheCallsAndReleasesReferencesInReverseOrder) {
    std::string transcript;
    EXPECT_EQ(Remove(&transcript), S_OK);
    EXPECT_EQ(StandInNetCfgCalls(), Join({kOpened, kRemoved, kClosed}));
    EXPECT_EQ(transcript,
              "\nLooking for the Network Vorel Packet Driver... done.\nFound an installed version."
              "\nUninstalling Network Vorel Packet Driver... done.\nFinished uninstalling.\n");
    EXPECT_EQ(StandInRegistryText().find("Larkspire"), std::string::npos);
}

// The close after a removal that went well: its failures change neither the outcome nor the transcript, and
// whatever fails, the configuration is released and COM uninitialised.
TEST_F(Removal, CloseNetworkConfiguration_FailingSteps_StillReleaseAndUninitialiseCom) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> closed;
    } cases[] = {
        {"Uninitialize fails: the write lock is not given back",
         [] { StandInNetCfgAnswer("Uninitialize", E_FAIL); },
         {"INetCfg.Uninitialize() = E_FAIL", "INetCfg.Release() = 0", "CoUninitialize()"}},
        {"the lock interface cannot be had at close",
         [] {
             StandInNetCfgOnCall([](const std::string& call) {
                 if (call == "Uninitialize") StandInNetCfgAnswer("QueryInterface(INetCfgLock)", E_NOINTERFACE);
             });
         },
         {"INetCfg.Uninitialize() = S_OK", "INetCfg.QueryInterface(IID_INetCfgLock) = E_NOINTERFACE",
          "INetCfg.Release() = 0", "CoUninitialize()"}},
        {"ReleaseWriteLock fails: the lock interface is still released",
         [] { StandInNetCfgAnswer("ReleaseWriteLock", E_FAIL); },
         {"INetCfg.Uninitialize() = S_OK", "INetCfg.QueryInterface(IID_INetCfgLock) = S_OK",
          "INetCfgLock.ReleaseWriteLock() = E_FAIL", "INetCfgLock.Release() = 1", "INetCfg.Release() = 0",
          "CoUninitialize()"}},
    };
    for (const Case& c : cases) {
        StandInClearNetCfg();
        ASSERT_TRUE(StandInLoadRegistryText(kRegistry));
        c.arrange();
        std::string transcript;
        EXPECT_EQ(Remove(&transcript), S_OK) << c.name;
        EXPECT_EQ(transcript, std::string(kLookUp) + kDone + kFound + kUninstall + kDone + kFinished) << c.name;
        EXPECT_EQ(StandInNetCfgCalls(), Join({kOpened, kRemoved, c.closed})) << c.name;
    }
}

TEST_F(Removal, RemovePacketDriver_SetupInterfaceMissing_ReleasesClassThenComponent) {
    StandInNetCfgAnswer("QueryInterface(INetCfgClassSetup)", E_NOINTERFACE);
    EXPECT_EQ(Remove(), E_NOINTERFACE);
    std::vector<std::string> expected = Join({
        kOpened,
        {
            "INetCfg.FindComponent(\"Larkspire\") = S_OK",
            std::string("INetCfgComponent.GetClassGuid() = S_OK ") + kNetTrans,
            std::string("INetCfg.QueryNetCfgClass(") + kNetTrans + ", IID_INetCfgClass) = S_OK",
            "INetCfgClass.QueryInterface(IID_INetCfgClassSetup) = E_NOINTERFACE",
            "INetCfgClass.Release() = 0",
            "INetCfgComponent.Release() = 0",
        },
        kClosed,
    });
    EXPECT_EQ(StandInNetCfgCalls(), expected);
}

TEST_F(Removal, OpenNetworkConfiguration_InitializeFails_GivesBackTheLockAndUndoesItsSteps) {
    StandInNetCfgAnswer("Initialize", E_FAIL);
    EXPECT_EQ(Remove(), E_FAIL);
    std::vector<std::string> expected = {
        "CoInitializeEx(NULL, 0x6) = S_OK",
        "CoCreateInstance(CLSID_CNetCfg, NULL, 0x1, IID_INetCfg) = S_OK",
        "INetCfg.QueryInterface(IID_INetCfgLock) = S_OK",
        "INetCfgLock.AcquireWriteLock(15000, \"Sample Netcfg Application (netcfg.exe)\", &holder) = S_OK",
        "INetCfg.Initialize(NULL) = E_FAIL",
        "INetCfgLock.ReleaseWriteLock() = S_OK",
        "INetCfgLock.Release() = 1",
        "INetCfg.Release() = 0",
        "CoUninitialize()",
    };
    EXPECT_EQ(StandInNetCfgCalls(), expected);
    EXPECT_TRUE(ProgressRunning);  // UninstallNetworkComponent never ran
}

TEST_F(Removal, OpenNetworkConfiguration_LockHeldElsewhere_WritesTheHolderAndFreesItsDescription) {
    // Another holder on this thread: COM is then already initialised here, so the removal's CoInitializeEx
    // answers S_FALSE, which counts as success.
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_OK);
    INetCfg* pHolder = NULL;
    INetCfgLock* pHolderLock = NULL;
    LPWSTR pszIgnored = NULL;
    ASSERT_EQ(
        CoCreateInstance(CLSID_CNetCfg, NULL, CLSCTX_INPROC_SERVER, IID_INetCfg, reinterpret_cast<void**>(&pHolder)),
        S_OK);
    ASSERT_EQ(pHolder->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&pHolderLock)), S_OK);
    // Its text comes from another program: the control characters in it must not reach the console.
    ASSERT_EQ(pHolderLock->AcquireWriteLock(0, u"Larkspire Installer\r\n\x1b[2J(inductling.exe)", &pszIgnored), S_OK);
    StandInClearNetCfg();
    StandInNetCfgLimitLockWait(50);
    long blocksBefore = StandInCoTaskMemBlocks();

    std::string transcript;
    EXPECT_EQ(Remove(&transcript), NETCFG_E_NO_WRITE_LOCK);
    EXPECT_EQ(transcript, "Could not lock INetcfg, it is already locked by 'Larkspire Installer???[2J(inductling.exe)'");
    std::vector<std::string> expected = {
        "CoInitializeEx(NULL, 0x6) = S_FALSE",
        "CoCreateInstance(CLSID_CNetCfg, NULL, 0x1, IID_INetCfg) = S_OK",
        "INetCfg.QueryInterface(IID_INetCfgLock) = S_OK",
        "INetCfgLock.AcquireWriteLock(15000, \"Sample Netcfg Application (netcfg.exe)\", &holder) = S_FALSE held by "
        "\"Larkspire Installer\r\n\x1b[2J(inductling.exe)\"",
        "INetCfgLock.Release() = 1",
        "INetCfg.Release() = 0",
        "CoUninitialize()",
    };
    EXPECT_EQ(StandInNetCfgCalls(), expected);
    EXPECT_EQ(StandInCoTaskMemBlocks(), blocksBefore);  // the holder's description went back to the allocator
    EXPECT_TRUE(ProgressRunning);

    pHolderLock->ReleaseWriteLock();
    pHolderLock->Release();
    pHolder->Release();
    CoUninitialize();
}

// ProgressBusy is set only while FindComponent and DeInstall run; ProgressRunning ends with the uninstall step.
TEST_F(Removal, ProgressFlags_BusyOnlyDuringFindComponentAndDeInstall) {
    struct Seen {
        std::string call;
        bool busy;
        bool running;
    };
    std::vector<Seen> seen;
    StandInNetCfgOnCall([&](const std::string& call) { seen.push_back({call, ProgressBusy, ProgressRunning}); });
    EXPECT_EQ(Remove(), S_OK);
    StandInNetCfgOnCall(nullptr);

    std::vector<std::string> busyCalls, runningCalls;
    for (const Seen& s : seen) {
        if (s.busy) busyCalls.push_back(s.call);
        if (s.running) runningCalls.push_back(s.call);
    }
    EXPECT_EQ(busyCalls, (std::vector<std::string>{"FindComponent", "DeInstall"}));
    EXPECT_EQ(runningCalls,
              (std::vector<std::string>{"CoInitializeEx", "CoCreateInstance", "QueryInterface(INetCfgLock)",
                                        "AcquireWriteLock", "Initialize", "FindComponent", "GetClassGuid",
                                        "QueryNetCfgClass", "QueryInterface(INetCfgClassSetup)", "DeInstall"}));
    EXPECT_FALSE(ProgressBusy);
    EXPECT_FALSE(ProgressRunning);
}

TEST_F(Removal, ProgressFlags_NotInstalled_RunningClearedBusyNeverLeftSet) {
    ASSERT_TRUE(StandInLoadRegistryText("Windows Registry Editor Version 5.00\n"));
    std::string transcript;
    EXPECT_EQ(Remove(&transcript), S_FALSE);
    EXPECT_EQ(transcript,
              "\nLooking for the Network Vorel Packet Driver... failed.\nDid not find an existing Network Vorel "
              "Packet Driver.\n");
    EXPECT_FALSE(ProgressBusy);
    EXPECT_FALSE(ProgressRunning);
}

// The progress thread: a dot as soon as it sees ProgressBusy, then one every 300 ms; it ends once
// ProgressRunning is cleared.
TEST(ProgressThreadTest, DotsEvery300MsWhileBusy_EndsWhenNoLongerRunning) {
    ProgressRunning = true;
    ProgressBusy = false;
    ::testing::internal::CaptureStdout();
    DWORD threadId = 0;
    HANDLE hThread = CreateThread(NULL, 0, ProgressThread, NULL, 0, &threadId);
    ASSERT_NE(hThread, nullptr);
    EXPECT_NE(threadId, 0u);
    Sleep(100);  // not busy: no dot
    auto busySince = std::chrono::steady_clock::now();
    ProgressBusy = true;
    Sleep(1000);  // dots at about 0, 300, 600, 900 ms
    ProgressBusy = false;
    // A loaded machine may sleep longer: a dot each 300 ms of it, and one that was on its way.
    auto busyMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - busySince).count();
    Sleep(400);
    EXPECT_EQ(WaitForSingleObject(hThread, 0), WAIT_TIMEOUT);  // still running
    ProgressRunning = false;
    EXPECT_EQ(WaitForSingleObject(hThread, 2000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(hThread));
    fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_GE(out.size(), 3u) << out;
    EXPECT_LE(out.size(), 2u + static_cast<size_t>(busyMs / 300)) << out << " in " << busyMs << " ms";
    EXPECT_EQ(out.find_first_not_of('.'), std::string::npos) << out;
}

// Standard output as a stream that records each write with the thread that made it and ProgressBusy as it was.
struct ConsoleWrite {
    std::string text;
    bool busy;
    bool fromMainThread;
};
std::mutex recordedLock;
std::vector<ConsoleWrite> recorded;
std::thread::id mainThread;

ssize_t RecordWrite(void*, const char* data, size_t size) {
    ConsoleWrite write{std::string(data, size), ProgressBusy, std::this_thread::get_id() == mainThread};
    std::lock_guard<std::mutex> guard(recordedLock);
    recorded.push_back(write);
    return static_cast<ssize_t>(size);
}

// The marks and the dots of whole removals with the progress thread running: a dot at once when a step begins,
// dots only between a busy line and its mark, and every text of the removal written while ProgressBusy is clear.
TEST_F(Removal, ProgressMarks_DotsOnlyWithinBusyStepsAndMarksAfterBusyCleared) {
    struct Case {
        const char* name;
        bool installed;
        DWORD stepMs;              // FindComponent and DeInstall each last so long
        std::vector<int> dots;     // per busy step; empty: any number
        std::string transcript;
    } cases[] = {
        {"quick steps", true, 0, {}, std::string(kLookUp) + kDone + kFound + kUninstall + kDone + kFinished},
        // Under 300 ms: the first dot comes at once, the second would be due only after the step has ended.
        {"150 ms steps", true, 150, {1, 1}, std::string(kLookUp) + kDone + kFound + kUninstall + kDone + kFinished},
        {"not installed, 150 ms look-up", false, 150, {1}, std::string(kLookUp) + kFailed + kNotFound},
    };
    FILE* recorder = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, RecordWrite, nullptr, nullptr});
    ASSERT_NE(recorder, nullptr);
    setvbuf(recorder, nullptr, _IONBF, 0);
    mainThread = std::this_thread::get_id();
    FILE* console = stdout;
    for (const Case& c : cases) {
        StandInClearNetCfg();
        ASSERT_TRUE(StandInLoadRegistryText(c.installed ? kRegistry : "Windows Registry Editor Version 5.00\n"));
        StandInNetCfgDelay("FindComponent", c.stepMs);
        StandInNetCfgDelay("DeInstall", c.stepMs);
        ProgressRunning = true;
        recorded.clear();

        stdout = recorder;
        HANDLE hThread = CreateThread(NULL, 0, ProgressThread, NULL, 0, NULL);
        HRESULT hr = RemovePacketDriver(PacketDriverComponentId);
        DWORD waited = hThread != NULL ? WaitForSingleObject(hThread, 5000) : WAIT_FAILED;
        stdout = console;
        if (hThread != NULL) CloseHandle(hThread);

        EXPECT_EQ(hr, c.installed ? S_OK : S_FALSE) << c.name;
        EXPECT_EQ(waited, WAIT_OBJECT_0) << c.name << ": the progress thread ends with the removal";
        std::string transcript;
        for (const ConsoleWrite& write : recorded) {
            transcript += write.text;
            if (write.fromMainThread) {
                EXPECT_FALSE(write.busy) << c.name << ": " << Visible(write.text) << " written while busy";
            } else {
                EXPECT_EQ(write.text, ".") << c.name << ": the progress thread writes dots only";
            }
        }
        std::vector<int> dots;
        EXPECT_TRUE(ProgressDotsAside(transcript, c.transcript, &dots)) << c.name;
        if (!c.dots.empty()) {
            EXPECT_EQ(dots, c.dots) << c.name << ": " << Visible(transcript);
        }
    }
    fclose(recorder);
}

}  // namespace
