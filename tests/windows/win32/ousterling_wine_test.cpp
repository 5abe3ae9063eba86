// ousterling as a whole program under Wine: started with its standard output on a pipe,
// its dialogues answered by MessageBoxAnswerer (their icons named by message_box_icon_hook.dll), its transcript
// and exit code checked. The network configuration it reaches is netcfg_test_server.dll, registered for the
// suite as CLSID_CNetCfg in place of Wine's object and told per run what to answer; its record shows the calls
// that reached it through Wine's COM (class look-up in the registry, the apartment, the interface methods'
// calling convention), the objects released and the thread's CoUninitialize.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/ousterling_transcript.h"
#include "windows/win32/message_box_answerer.h"
#include "windows/win32/program_files.h"

using namespace ousterlingtext;

namespace {

// Starts ousterling.exe (beside this program), with `token` as its primary token when given, answers its
// boxes (`yes` for the confirmation) and collects its standard output until it ends.
ProgramRun RunOusterling(bool yes, HANDLE token = nullptr) {
    ProgramRun run;
    std::string program = Beside("ousterling.exe");

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return run;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    std::string commandLine = program;
    commandLine.insert(commandLine.begin(), '"');
    commandLine += '"';
    // Suspended until the icon hook is set on its main thread, which shows the boxes.
    BOOL started = token != nullptr
                       ? CreateProcessAsUserA(token, program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                              CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)
                       : CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        run.output = "<CreateProcess failed with " + std::to_string(GetLastError()) + ">";
        return run;
    }
    HHOOK iconHook = NameBoxIconsOfThread(process.dwThreadId);
    ResumeThread(process.hThread);
    run = WatchProgram(process, readEnd, yes);
    if (iconHook != nullptr) UnhookWindowsHookEx(iconHook);
    CloseHandle(readEnd);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

// ---- The test server, registered as CLSID_CNetCfg in place of Wine's object ----

const char kServerKey[] = "CLSID\\{5B035261-40F9-11D1-AAEC-00805FC1270E}\\InprocServer32";

// A REG_SZ value of kServerKey, or nullopt where there is none.
std::optional<std::string> ServerValue(const char* name) {
    char data[MAX_PATH] = "";
    DWORD size = sizeof data - 1;
    if (RegGetValueA(HKEY_CLASSES_ROOT, kServerKey, name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data);
}

void SetServerValue(const char* name, const std::optional<std::string>& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, kServerKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr), 0);
    if (value)
        EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                                 static_cast<DWORD>(value->size() + 1)), 0);
    else
        RegDeleteValueA(key, name);
    RegCloseKey(key);
}

const std::string kRecord = [] {
    char directory[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, directory);
    return std::string(directory, n) + "netcfg-test-record.txt";
}();

// What the server recorded in the last run, one line per event, the calls' answers left out.
std::string ServerRecord() {
    std::ifstream in(kRecord, std::ios::binary);
    std::string record;
    for (std::string line; std::getline(in, line);) record += line.substr(0, line.find(" = ")) + "\n";
    return record;
}

// The suite's runs reach the test server: registered in the view of this program's bitness, which is
// ousterling's (a 32-bit client in the 64-bit prefix reads the WOW6432Node view).
class OusterlingUnderWine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        winesServer_ = ServerValue(nullptr);
        winesModel_ = ServerValue("ThreadingModel");
        SetServerValue(nullptr, Beside("netcfg_test_server.dll"));
        SetServerValue("ThreadingModel", "Both");
        SetEnvironmentVariableA("NETCFG_TEST_RECORD", kRecord.c_str());
    }
    // Wine's object back, so that the prefix's other users see it as before.
    static void TearDownTestSuite() {
        SetServerValue(nullptr, winesServer_);
        SetServerValue("ThreadingModel", winesModel_);
        EXPECT_EQ(ServerValue(nullptr), winesServer_);
        EXPECT_EQ(ServerValue("ThreadingModel"), winesModel_);
        DeleteFileA(kRecord.c_str());
    }
    void SetUp() override { DeleteFileA(kRecord.c_str()); }
    // The next run's answers (NETCFG_TEST_ANSWERS of netcfg_test_server.cpp) and lock holder: ousterling inherits
    // them, and loads the server.
    static void Answer(const char* answers, const wchar_t* holder) {
        SetEnvironmentVariableA("NETCFG_TEST_ANSWERS", answers);
        SetEnvironmentVariableW(L"NETCFG_TEST_HOLDER", holder);
    }
    static inline std::optional<std::string> winesServer_, winesModel_;
};

// An ordinary modal box (not system-modal, so not kept on top) with these texts, icon and buttons.
void ExpectBox(const AnsweredBox& box, const char* caption, const char* text, const char* icon, bool yesNo) {
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.icon, icon) << box.text;
    EXPECT_EQ(box.hasYes && box.hasNo && !box.hasOk, yesNo) << box.text;
    EXPECT_EQ(!box.hasYes && !box.hasNo && box.hasOk, !yesNo) << box.text;
    EXPECT_FALSE(box.topmost) << box.text;
}

TEST_F(OusterlingUnderWine, AnsweringNo_NoTranscriptNoFurtherDialogueNoConfiguration) {
    ProgramRun run = RunOusterling(false);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, "");
    ASSERT_EQ(run.boxes.size(), 1u) << "the Wine user is an administrator: the confirmation alone";
    ExpectBox(run.boxes[0], kRemoveCaption, kConfirmationText, "warning", true);
    EXPECT_EQ(ServerRecord(), "");
}

TEST_F(OusterlingUnderWine, WithoutAdministratorRights_OnlyTheNotAdministratorDialogue) {
    // This process's token with the Administrators group for deny only: what a filtered (UAC) token holds.
    HANDLE own = nullptr, restricted = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &administrators));
    SID_AND_ATTRIBUTES denyOnly{administrators, 0};
    ASSERT_TRUE(CreateRestrictedToken(own, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted)) << GetLastError();
    ProgramRun run = RunOusterling(true, restricted);
    CloseHandle(restricted);
    CloseHandle(own);
    FreeSid(administrators);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, "");
    ASSERT_EQ(run.boxes.size(), 1u);
    ExpectBox(run.boxes[0], kRemoveCaption, kNotAdministratorText, "warning", false);
    EXPECT_EQ(ServerRecord(), "");
}

// ---- The removal's outcomes, one run per row, answered by the test server ----

enum class Final { None, Removed, NotRemoved };

struct Row {
    const char* name;
    const char* answers;  // NETCFG_TEST_ANSWERS
    std::string transcript;
    Final dialogue;
    std::string record;  // ServerRecord() until the server is unloaded
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name << " (" << row.answers << ")"; }

// With a character of the ANSI code pages and one beyond them: the holder's name is written whole, in the
// console's bytes (the test, like ousterling, has no console: the ANSI code page).
const wchar_t kHolder[] = L"Larkspire Installer r\u00E9seau \u0416 (inductling.exe)";
std::string ConsoleBytes(const wchar_t* text) {
    UINT codePage = GetConsoleOutputCP() != 0 ? GetConsoleOutputCP() : CP_ACP;
    char bytes[256] = "";
    int n = WideCharToMultiByte(codePage, 0, text, -1, bytes, sizeof bytes, nullptr, nullptr);
    return std::string(bytes, n > 0 ? n - 1 : 0);
}
const std::string kFoundPart = std::string(kLookUp) + kDone + kFound;
const std::string kRemovedPart = kFoundPart + kUninstall + kDone;

// The server's record, stage by stage: the arguments as they arrived, and no line marked as made on another
// thread than the one that created the object, in a single-threaded apartment.
const std::string kCreate = "CreateInstance(INetCfg, STA)\nreleased IClassFactory\n";
const std::string kLock =
    kCreate + "QueryInterface(INetCfgLock)\nAcquireWriteLock(15000, \"Sample Netcfg Application (netcfg.exe)\")\n";
const std::string kFind = kLock + "Initialize(NULL)\nFindComponent(\"Larkspire\")\n";
const std::string kDeInstall =
    kFind + "GetClassGuid()\nQueryNetCfgClass({4D36E975-E325-11CE-BFC1-08002BE10318}, INetCfgClass)\n"
            "QueryInterface(INetCfgClassSetup)\nDeInstall(the component found, OBO_USER, NULL)\n"
            "released INetCfgClass\nreleased INetCfgComponent\n";
const std::string kEnd = "released INetCfg\nCoUninitialize(1 -> 0)\n";
const std::string kClose = "Uninitialize()\nQueryInterface(INetCfgLock)\nReleaseWriteLock()\n" + kEnd;

std::vector<Row> OutcomeRows() {
    return {
        {"NotInstalled", "FindComponent=0x1", std::string(kLookUp) + kFailed + kNotFound, Final::NotRemoved,
         kFind + kClose},
        // E_NOTIMPL: what Wine's own object answers.
        {"FindComponentFails", "FindComponent=0x80004001", std::string(kLookUp) + kFailed + kNotFound + kError,
         Final::None, kFind + kClose},
        {"Removed", "", kRemovedPart + kFinished, Final::Removed, kDeInstall + "Apply()\n" + kClose},
        {"DeInstallAnswersReboot", "DeInstall=0x0004A020", kFoundPart + kUninstall + kFailed + kError, Final::None,
         kDeInstall + kClose},
        {"ApplyFails", "Apply=0x80004005", kRemovedPart + kError, Final::None, kDeInstall + "Apply()\n" + kClose},
        {"LockHeldByAnotherProgram", "AcquireWriteLock=0x1", kLockedBy + ConsoleBytes(kHolder) + "'", Final::None,
         kLock + kEnd},
        {"InitializeFails", "Initialize=0x80004005", kError, Final::None,
         kLock + "Initialize(NULL)\nReleaseWriteLock()\n" + kEnd},
        {"CoCreateInstanceFails", "CreateInstance=0x8007000E", kError, Final::None, kCreate + "CoUninitialize(1 -> 0)\n"},
    };
}

class OusterlingOutcome : public OusterlingUnderWine, public ::testing::WithParamInterface<Row> {};

TEST_P(OusterlingOutcome, TranscriptDialoguesCallsAndReleases) {
    const Row& row = GetParam();
    Answer(row.answers, kHolder);
    ProgramRun run = RunOusterling(true);
    EXPECT_EQ(run.exitCode, 0u);
    std::vector<int> dots;
    EXPECT_TRUE(ProgressDotsAside(run.output, row.transcript, &dots));
    if (row.transcript.find(kUninstall) != std::string::npos) {
        EXPECT_GE(dots.back(), 1) << "dots while DeInstall works";
    }
    ASSERT_EQ(run.boxes.size(), row.dialogue == Final::None ? 1u : 2u);
    ExpectBox(run.boxes[0], kRemoveCaption, kConfirmationText, "warning", true);
    if (row.dialogue == Final::Removed) ExpectBox(run.boxes[1], kResultCaption, kRemovedText, "information", false);
    if (row.dialogue == Final::NotRemoved) ExpectBox(run.boxes[1], kResultCaption, kNotRemovedText, "warning", false);
    // Wine's COM asks the server in the thread's last CoUninitialize whether it may go, and unloads it at once:
    // every reference released, no lock on the server. (One left would keep it loaded until the process ends.)
    EXPECT_EQ(ServerRecord(), row.record +
                                  "DllCanUnloadNow() answered S_OK\n"
                                  "unloaded by FreeLibrary, 0 objects alive, 0 server locks\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, OusterlingOutcome, ::testing::ValuesIn(OutcomeRows()),
                         [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

}  // namespace
