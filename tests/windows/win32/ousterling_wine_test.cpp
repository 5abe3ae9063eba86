// ousterling as a whole program under Wine: started with its standard output on a pipe,
// its dialogues answered by MessageBoxAnswerer (their icons named by message_box_icon_hook.dll), its transcript
// and exit code checked. Wine's network configuration objects answer CoCreateInstance, the lock, Initialize and
// Uninitialize with S_OK and FindComponent with E_NOTIMPL, so the removal takes the "FindComponent fails" road.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support/ousterling_transcript.h"
#include "windows/win32/message_box_answerer.h"

using namespace ousterlingtext;

namespace {

struct ProgramRun {
    std::string output;
    DWORD exitCode;
    std::vector<AnsweredBox> boxes;
};

// Starts ousterling.exe (beside this program), with `token` as its primary token when given, answers its
// boxes (`yes` for the confirmation) and collects its standard output until it ends.
ProgramRun RunOusterling(bool yes, HANDLE token = nullptr) {
    ProgramRun run{"", 0xFFFFFFFFu, {}};
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n);
    std::string program = self.substr(0, self.find_last_of('\\') + 1) + "ousterling.exe";

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
    {
        MessageBoxAnswerer answerer(process.dwProcessId, yes);
        // Until the program has ended and the pipe is drained: not until the pipe's end of file, which never comes
        // while some other process (one Wine started for the program, say) holds an inherited copy of its write end.
        char buffer[512];
        for (bool ended = false;;) {
            DWORD available = 0, got = 0;
            if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;  // every write end closed
            if (available > 0) {
                if (!ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
                run.output.append(buffer, got);
                continue;
            }
            if (ended) break;
            ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
        }
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        run.boxes = answerer.Boxes();
    }
    if (iconHook != nullptr) UnhookWindowsHookEx(iconHook);
    CloseHandle(readEnd);
    // The C library writes standard output in text mode: each "\n" of the program reaches the pipe as "\r\n".
    for (size_t at = run.output.find("\r\n"); at != std::string::npos; at = run.output.find("\r\n", at)) {
        run.output.erase(at, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

const char kRemoveCaption[] = "Remove Network Vorel Packet Driver";
const char kConfirmation[] = "Network Vorel will not work without the Packet Driver.\nAre you sure you want to uninstall it?";

// An ordinary modal box with the warning icon: not system-modal, so not kept on top.
void ExpectWarningBox(const AnsweredBox& box) {
    EXPECT_EQ(box.icon, "warning") << box.text;
    EXPECT_FALSE(box.topmost) << box.text;
}

TEST(OusterlingUnderWine, AnsweringNo_NoTranscriptNoFurtherDialogueExitZero) {
    ProgramRun run = RunOusterling(false);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.output, "");
    ASSERT_EQ(run.boxes.size(), 1u) << "the Wine user is an administrator: the confirmation alone";
    EXPECT_EQ(run.boxes[0].caption, kRemoveCaption);
    EXPECT_EQ(run.boxes[0].text, kConfirmation);
    EXPECT_TRUE(run.boxes[0].hasYes && run.boxes[0].hasNo && !run.boxes[0].hasOk);
    ExpectWarningBox(run.boxes[0]);
}

TEST(OusterlingUnderWine, AnsweringYes_FindComponentFailsWithTheNotFoundAndErrorLines) {
    ProgramRun run = RunOusterling(true);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(ProgressDotsAside(run.output, std::string(kLookUp) + kFailed + kNotFound + kError));
    ASSERT_EQ(run.boxes.size(), 1u) << "E_NOTIMPL is neither S_OK nor S_FALSE: no closing dialogue";
    EXPECT_EQ(run.boxes[0].text, kConfirmation);
    ExpectWarningBox(run.boxes[0]);
}

TEST(OusterlingUnderWine, WithoutAdministratorRights_OnlyTheNotAdministratorDialogue) {
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
    EXPECT_EQ(run.boxes[0].caption, kRemoveCaption);
    EXPECT_EQ(run.boxes[0].text, "You need administrator rights to uninstall the packet driver.");
    EXPECT_TRUE(run.boxes[0].hasOk && !run.boxes[0].hasYes && !run.boxes[0].hasNo);
    ExpectWarningBox(run.boxes[0]);
}

}  // namespace
