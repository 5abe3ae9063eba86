// ousterling as a real process: one run per outcome row and edge case, checking the exact
// console transcript (progress dots only where they belong), the dialogues shown (the stand-in writes them on
// standard error), the registry file afterwards, and exit code 0.
//
// Each run gets its own registry file (TAMSIL_REGISTRY), token (TAMSIL_TOKEN), dialogue answers
// (TAMSIL_DIALOG_ANSWERS), chosen netcfg answers and delays (TAMSIL_NETCFG_ANSWERS, TAMSIL_NETCFG_DELAYS) and a
// trace of the COM calls made (TAMSIL_NETCFG_TRACE); it runs in a new session, so no dialogue can reach a terminal.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/ousterling_transcript.h"
#include "support/process_runner.h"

using namespace ousterlingtext;

namespace {

// ---- The dialogues ousterling shows ----

std::string Box(const std::string& caption, const char* style, const std::string& text) {
    return "[MessageBox] " + caption + " (style " + style + ")\n" + text + "\n";
}
const std::string kNotAdministratorBox =
    Box("Remove Network Vorel Packet Driver", "0x30", "You need administrator rights to uninstall the packet driver.");
const std::string kConfirmBox =
    Box("Remove Network Vorel Packet Driver", "0x34",
        "Network Vorel will not work without the Packet Driver.\nAre you sure you want to uninstall it?");
const std::string kConfirmedYes = kConfirmBox + "[MessageBox] answered Yes\n";
const std::string kConfirmedNo = kConfirmBox + "[MessageBox] answered No\n";
const std::string kRemovedBox =
    Box("Driver uninstallation", "0x40", "Network Vorel Packet Driver successfully uninstalled.");
const std::string kNotRemovedBox =
    Box("Driver uninstallation", "0x30", "Network Vorel Packet Driver failed to uninstall.");

// ---- The network configuration in the registry, in the stand-in's own file form ----

const char kNetTrans[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}";
const std::string kTcpipSection =
    std::string("[") + kNetTrans + "\\{0B0C2E1A-3D4F-4E5A-9B6C-7D8E9FA0B1C2}]\n\"ComponentId\"=\"ms_tcpip\"\n\n";
const std::string kLarkspireSections =
    std::string("[") + kNetTrans + "\\{6A1C2B3D-0E4F-4A5B-8C7D-9E0F1A2B3C4D}]\n\"ComponentId\"=\"Larkspire\"\n\n[" +
    kNetTrans + "\\{6A1C2B3D-0E4F-4A5B-8C7D-9E0F1A2B3C4D}\\Ndi]\n\"Service\"=\"NetVorel\"\n\n";
const std::string kNetVorelServiceSections =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NetVorel]\n\"Start\"=dword:00000003\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage]\n"
    "\"Export\"=\"\\\\Device\\\\NetVorel_eth0\"\n\n";

std::string Registry(bool larkspireInstalled) {
    std::string text =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network]\n\n";
    text += std::string("[") + kNetTrans + "]\n\n" + kTcpipSection;
    if (larkspireInstalled) text += kLarkspireSections;
    text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]\n\n";
    if (larkspireInstalled) text += kNetVorelServiceSections;
    text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip]\n\"Start\"=dword:00000001\n\n";
    return text;
}

// ---- Processes ----

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The test's environment less every TAMSIL_ variable, plus `env`.
processrunner::Options OptionsFor(const std::map<std::string, std::string>& env) {
    processrunner::Options options;
    options.env = env;
    options.unsetPrefix = "TAMSIL_";
    options.timeoutMs = 60000;
    return options;
}

// Reads one line from `fd` (for the lock holder's "locked").
std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
    double seconds = 0;
};

Outcome RunToEnd(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
    auto start = std::chrono::steady_clock::now();
    processrunner::Result result = processrunner::Run(args, OptionsFor(env));
    Outcome run;
    run.exitCode = result.signal != 0 ? 128 + result.signal : result.exitCode;
    run.out = result.out;
    run.err = result.err;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

// ---- The fixture: a registry file, a trace file and an administrator by default ----

class Ousterling : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ousterling-test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        registry_ = dir_ / "registry.reg";
        trace_ = dir_ / "netcfg-trace.txt";
        InstallRegistry(true);
        env_ = {{"TAMSIL_REGISTRY", registry_.string()},
                {"TAMSIL_TOKEN", "admin"},
                {"TAMSIL_NETCFG_TRACE", trace_.string()}};
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void InstallRegistry(bool larkspireInstalled) {
        std::ofstream(registry_, std::ios::binary | std::ios::trunc) << Registry(larkspireInstalled);
    }
    Outcome RunOusterling(const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> args{OUSTERLING_PATH};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return RunToEnd(args, env_);
    }
    std::string Trace() const { return ReadFile(trace_); }
    std::vector<std::string> TraceLines() const {
        std::vector<std::string> lines;
        std::istringstream in(Trace());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // A call that begins so was made (e.g. "INetCfg.Apply", or a whole line).
    bool Called(const std::string& call) const {
        for (const std::string& line : TraceLines())
            if (line.rfind(call, 0) == 0) return true;
        return false;
    }

    std::filesystem::path dir_, registry_, trace_;
    std::map<std::string, std::string> env_;
};

// ---- The program's edge cases ----

TEST_F(Ousterling, NotAdministrator_ShowsOnlyTheNotAdministratorDialogue) {
    env_["TAMSIL_TOKEN"] = "user";
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kNotAdministratorBox);
    EXPECT_EQ(Trace(), "");  // no network configuration was touched
    EXPECT_EQ(ReadFile(registry_), Registry(true));
}

TEST_F(Ousterling, AdministratorOnlyForDeny_ShowsOnlyTheNotAdministratorDialogue) {
    env_["TAMSIL_TOKEN"] = "deny-only-admin";
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kNotAdministratorBox);
}

// The administrator test's own AccessCheck fails: its line is on standard output before the dialogue shows.
TEST_F(Ousterling, AccessCheckFails_ItsLineThenTheNotAdministratorDialogue) {
    env_["TAMSIL_FAIL_CALLS"] = "AccessCheck=1338";
    env_["TAMSIL_DIALOG_ANSWERS"] = "yes";
    // Both streams into one pipe, so that their order shows.
    Outcome run = RunToEnd({"/bin/sh", "-c", "exec \"$0\" 2>&1", OUSTERLING_PATH}, env_);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "AccessCheck() failed with error 1338\n" + kNotAdministratorBox);
    EXPECT_EQ(Trace(), "");
    EXPECT_EQ(ReadFile(registry_), Registry(true));
}

TEST_F(Ousterling, AnswerNo_WritesNothingAndShowsNoFurtherDialogue) {
    env_["TAMSIL_DIALOG_ANSWERS"] = "no";
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kConfirmedNo);
    EXPECT_EQ(Trace(), "");
    EXPECT_EQ(ReadFile(registry_), Registry(true));
}

TEST_F(Ousterling, NoAnswerAndNoTerminal_CountsAsNo) {
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, kConfirmedNo);
}

TEST_F(Ousterling, Success_WritesTheFinishedLineRemovesTheComponentAndShowsTheRemovedDialogue) {
    env_["TAMSIL_DIALOG_ANSWERS"] = "yes";
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(ProgressDotsAside(run.out, std::string(kLookUp) + kDone + kFound + kUninstall + kDone + kFinished));
    EXPECT_EQ(run.err, kConfirmedYes + kRemovedBox);
    // The component's key and its service are gone from the file; everything else is as it was.
    EXPECT_EQ(ReadFile(registry_), Registry(false));
}

TEST_F(Ousterling, CommandLineArguments_ChangeNothing) {
    env_["TAMSIL_DIALOG_ANSWERS"] = "yes";
    Outcome run = RunOusterling({"/quiet", "--force", "Larkspire"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(ProgressDotsAside(run.out, std::string(kLookUp) + kDone + kFound + kUninstall + kDone + kFinished));
    EXPECT_EQ(run.err, kConfirmedYes + kRemovedBox);
    EXPECT_EQ(ReadFile(registry_), Registry(false));
}

TEST_F(Ousterling, NotInstalled_WritesTheNotFoundTranscriptAndShowsTheNotRemovedDialogue) {
    InstallRegistry(false);
    env_["TAMSIL_DIALOG_ANSWERS"] = "yes";
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(ProgressDotsAside(run.out, std::string(kLookUp) + kFailed + kNotFound));
    EXPECT_EQ(run.err, kConfirmedYes + kNotRemovedBox);
    EXPECT_NE(Trace().find("INetCfg.FindComponent(\"Larkspire\") = S_FALSE\n"), std::string::npos);
    EXPECT_FALSE(Called("INetCfg.Apply"));
    EXPECT_TRUE(Called("INetCfg.Uninitialize() = S_OK"));
    EXPECT_EQ(ReadFile(registry_), Registry(false));
}

// The write lock held by another program for longer than the 15000 ms time-out: the lock message with that
// program's client description, no look-up line, no final dialogue.
TEST_F(Ousterling, LockHeldByAnotherProgram_WritesTheLockMessageAfterTheTimeOut) {
    const std::string holderDescription = "Larkspire Installer (inductling.exe)";
    processrunner::Child holder = processrunner::Spawn({NETCFG_LOCK_HOLDER_PATH, holderDescription}, OptionsFor(env_));
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ(ReadLine(holder.out), "locked");
    env_["TAMSIL_DIALOG_ANSWERS"] = "yes";
    Outcome run = RunOusterling();
    close(holder.in);  // the holder gives the lock back and ends
    int status = 0;
    waitpid(holder.pid, &status, 0);
    close(holder.out);
    close(holder.err);

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Could not lock INetcfg, it is already locked by '" + holderDescription + "'");
    EXPECT_EQ(run.err, kConfirmedYes);
    EXPECT_GE(run.seconds, 14.9);
    EXPECT_LT(run.seconds, 40.0);
    EXPECT_TRUE(
        Called("INetCfgLock.AcquireWriteLock(15000, \"Sample Netcfg Application (netcfg.exe)\", &holder) = "
               "S_FALSE held by \"" +
               holderDescription + "\""));
    EXPECT_FALSE(Called("INetCfg.Initialize"));
    EXPECT_EQ(ReadFile(registry_), Registry(true));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A removal step that lasts several seconds shows a dot about every 300 ms, between its line and its mark.
TEST_F(Ousterling, LongSteps_ShowADotAbout300MsApart) {
    env_["TAMSIL_DIALOG_ANSWERS"] = "yes";
    env_["TAMSIL_NETCFG_DELAYS"] = "FindComponent=900;DeInstall=1800";
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    std::vector<int> dots;
    EXPECT_TRUE(
        ProgressDotsAside(run.out, std::string(kLookUp) + kDone + kFound + kUninstall + kDone + kFinished, &dots));
    ASSERT_EQ(dots.size(), 2u);
    int lookUpDots = dots[0];     // 900 ms: dots at 0, 300, 600 (and perhaps 900)
    int uninstallDots = dots[1];  // 1800 ms: dots at 0, 300, ..., 1500 (and perhaps 1800)
    EXPECT_GE(lookUpDots, 2);
    EXPECT_LE(lookUpDots, 5);
    EXPECT_GE(uninstallDots, 5);
    EXPECT_LE(uninstallDots, 8);
    EXPECT_EQ(run.err, kConfirmedYes + kRemovedBox);
}

// ---- The removal's outcomes, one run per row: chosen answers of the platform's calls ----

enum class Final { None, Removed, NotRemoved };

struct Row {
    const char* name;
    const char* answers;  // TAMSIL_NETCFG_ANSWERS
    std::string transcript;
    Final dialogue;
    bool applied;  // Apply was called
    bool removed;  // the component is gone from the registry file afterwards
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name << " (" << row.answers << ")"; }

const std::string kFoundPart = std::string(kLookUp) + kDone + kFound;

std::vector<Row> OutcomeRows() {
    return {
        {"CoInitializeExFails", "CoInitializeEx=E_OUTOFMEMORY", kError, Final::None, false, false},
        {"CoCreateInstanceFails", "CoCreateInstance=REGDB_E_CLASSNOTREG", kError, Final::None, false, false},
        {"LockInterfaceFails", "QueryInterface(INetCfgLock)=E_NOINTERFACE", kError, Final::None, false, false},
        {"AcquireWriteLockFails", "AcquireWriteLock=E_ACCESSDENIED", kError, Final::None, false, false},
        {"InitializeFails", "Initialize=E_FAIL", kError, Final::None, false, false},
        {"FindComponentFailsNegative", "FindComponent=E_FAIL", std::string(kLookUp) + kFailed + kNotFound + kError,
         Final::None, false, false},
        {"ClassGuidFails", "GetClassGuid=E_FAIL", kFoundPart + kError, Final::None, false, false},
        {"ClassGuidAnswersSFalse", "GetClassGuid=S_FALSE", kFoundPart, Final::NotRemoved, false, false},
        {"ClassFails", "QueryNetCfgClass=E_INVALIDARG", kFoundPart + kError, Final::None, false, false},
        {"SetupInterfaceFails", "QueryInterface(INetCfgClassSetup)=E_NOINTERFACE", kFoundPart + kError, Final::None,
         false, false},
        {"DeInstallAnswersReboot", "DeInstall=0x0004A020", kFoundPart + kUninstall + kFailed + kError, Final::None,
         false, false},
        {"DeInstallAnswersSFalse", "DeInstall=S_FALSE", kFoundPart + kUninstall + kFailed, Final::NotRemoved, false,
         false},
        {"DeInstallFails", "DeInstall=E_FAIL", kFoundPart + kUninstall + kFailed + kError, Final::None, false, false},
        // Apply: S_FALSE leads to the not-removed dialogue; a failure is reported as an error, a reboot code is not.
        {"ApplyFails", "Apply=E_FAIL", kFoundPart + kUninstall + kDone + kError, Final::None, true, false},
        {"ApplyAnswersSFalse", "Apply=S_FALSE", kFoundPart + kUninstall + kDone, Final::NotRemoved, true, true},
        {"ApplyAnswersReboot", "Apply=NETCFG_S_REBOOT", kFoundPart + kUninstall + kDone, Final::None, true, true},
        // COM already initialised on the thread counts as success (and CoUninitialize still runs).
        {"CoInitializeExAnswersSFalse", "CoInitializeEx=S_FALSE", kFoundPart + kUninstall + kDone + kFinished,
         Final::Removed, true, true},
    };
}

class OusterlingOutcome : public Ousterling, public ::testing::WithParamInterface<Row> {};

TEST_P(OusterlingOutcome, TranscriptDialoguesAndExitCode) {
    const Row& row = GetParam();
    env_["TAMSIL_DIALOG_ANSWERS"] = "yes";
    env_["TAMSIL_NETCFG_ANSWERS"] = row.answers;
    Outcome run = RunOusterling();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(ProgressDotsAside(run.out, row.transcript));
    std::string dialogues = kConfirmedYes;
    if (row.dialogue == Final::Removed) dialogues += kRemovedBox;
    if (row.dialogue == Final::NotRemoved) dialogues += kNotRemovedBox;
    EXPECT_EQ(run.err, dialogues);
    EXPECT_EQ(Called("INetCfg.Apply"), row.applied);
    // Whatever happened, COM ends uninitialised as often as it was initialised.
    int balance = 0;
    for (const std::string& line : TraceLines()) {
        if (line.rfind("CoInitializeEx(", 0) == 0 && line.find(" = S_") != std::string::npos) ++balance;
        if (line == "CoUninitialize()") --balance;
    }
    EXPECT_EQ(balance, 0) << Trace();
    EXPECT_EQ(ReadFile(registry_), Registry(!row.removed));
}

INSTANTIATE_TEST_SUITE_P(Rows, OusterlingOutcome, ::testing::ValuesIn(OutcomeRows()),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
