// What a JVM sees only from outside, in a child process: the adapter dialogue on standard input, a process that
// the library ends with exit, Ctrl+C. The program starts itself again as
//     <program> --tamsil-child <card number> [deliver] <token>
// and the child, before any test case, loads tamsil.dll as the harness does, calls DriverStart(card number) and
// prints "DriverStart: <result>". With "deliver" it then waits in a GetFrameFromDriver call on another thread
// and, where the test driver runs, says at exit what the driver still holds: how a Ctrl+C left it. The token
// names the child's process for the signal. Included after jni_harness.h and test_driver_setup.h.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "windows/win32/message_box_answerer.h"
#include "windows/win32/program_files.h"

namespace {

struct HarnessChild : JniHarnessBase {
    void TestBody() override {}

    inline static std::atomic<bool> delivered_{false};

    // Waits up to 5 s for the delivery call to have ended and said so (after that, nothing of this program runs
    // beside the exit), and for the reads and files to go: a close reaches the driver a little after CloseHandle.
    static void ReportDriverAtExit() {
        for (int i = 0; i < 500 && !delivered_; ++i) Sleep(10);
        NETVOREL_TEST_STATE state{};
        for (int i = 0; i < 500 && testdriver::QueryDriver(&state) && (state.pendingReads != 0 || state.openFiles != 0); ++i)
            Sleep(10);
        std::printf("at exit: %lu read(s) pending, %lu packet file(s) open\n", state.pendingReads, state.openFiles);
    }
    static void ReportProblems(FakeJvm& jvm) {
        for (const auto& problem : jvm.Problems()) std::printf("JNI problem: %s\n", problem.c_str());
    }

    // tamsil.dll's LoadLibraryA: the test's IP Helper in place of Wine's, when asked for by its full path in the
    // system directory (by a bare name, it could come from the current directory).
    static HMODULE WINAPI LoadIpHelperStandIn(LPCSTR name) {
        char system[MAX_PATH];
        UINT n = GetSystemDirectoryA(system, MAX_PATH);
        if (name != nullptr && n != 0 && n < MAX_PATH && _stricmp(name, (std::string(system) + "\\iphlpapi.dll").c_str()) == 0)
            return LoadLibraryA(Beside("ip_helper_stand_in.dll").c_str());
        return LoadLibraryA(name);
    }

    static int Run(jint card, bool deliver) {
        SetUpTestSuite();
        if (library_ == nullptr) return 2;
        testdriver::LinkDosDevicesOf(library_);
        char script[64];
        if (GetEnvironmentVariableA("TAMSIL_FAKE_IP_HELPER", script, sizeof script) > 0 &&
            !ReplaceImport(library_, "kernel32.dll", "LoadLibraryA", reinterpret_cast<void*>(&LoadIpHelperStandIn)))
            return 4;
        if (deliver && testdriver::OpenControlDevice().empty()) std::atexit(ReportDriverAtExit);
        FakeJvm jvm;
        jint started = CallWith<jint>(jvm, "DriverStart", card);
        std::printf("DriverStart: %d\n", static_cast<int>(started));
        ReportProblems(jvm);
        std::fflush(stdout);
        if (!deliver || started != 0) return 0;
        std::thread([] {
            FakeJvm own;
            jint length = CallWith<jint>(own, "GetFrameFromDriver", own.NewJavaArray(1514, 0), static_cast<jint>(1514));
            std::printf("GetFrameFromDriver: %d\n", static_cast<int>(length));
            ReportProblems(own);
            std::fflush(stdout);
            delivered_ = true;
        }).detach();
        Sleep(60000);
        return 3;  // nothing ended the process
    }
};

int RunAsChildWhenAsked() {
    const char* at = std::strstr(GetCommandLineA(), " --tamsil-child ");
    if (at == nullptr) return 0;
    at += std::strlen(" --tamsil-child ");
    std::exit(HarnessChild::Run(static_cast<jint>(std::atoi(at)), std::strstr(at, " deliver ") != nullptr));
}

// Before main: the child never reaches the test cases.
const int kRunAsChild = RunAsChildWhenAsked();

// Runs this program as a child with `arguments` and `input` on its standard input (then its end), answers its
// message boxes, and collects its output until it ends. `whileRunning` is called with the child's token once
// it has started. `ipHelper`: the child's IP Helper, Wine's (nullptr), none ("": Wine is told not to load it for
// this program while the child starts), or ip_helper_stand_in.cpp's with that script.
ProgramRun RunChild(const std::string& arguments, const std::string& input, const char* ipHelper = nullptr,
                  const std::function<void(const std::string&)>& whileRunning = {}) {
    static int children = 0;
    std::string token = "vorel-child-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++children);
    ProgramRun run;
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string commandLine = "\"" + std::string(self, n) + "\" --tamsil-child " + arguments + " " + token;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&inRead, &inWrite, &inherit, 0)) return run;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::string program(self, n), key = "Software\\Wine\\AppDefaults\\" + program.substr(program.find_last_of('\\') + 1);
    bool withoutDll = ipHelper != nullptr && *ipHelper == 0;
    if (withoutDll) RegSetKeyValueA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str(), "iphlpapi", REG_SZ, "", 1);
    if (ipHelper != nullptr && *ipHelper != 0) SetEnvironmentVariableA("TAMSIL_FAKE_IP_HELPER", ipHelper);
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableA("TAMSIL_FAKE_IP_HELPER", nullptr);
    CloseHandle(outWrite);
    CloseHandle(inRead);
    DWORD written = 0;
    if (started && !input.empty()) WriteFile(inWrite, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    CloseHandle(inWrite);
    if (!started) {
        if (withoutDll) RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
        CloseHandle(outRead);
        run.output = "<CreateProcess failed with " + std::to_string(GetLastError()) + ">";
        return run;
    }
    run = WatchProgram(process, outRead, true, [&] {
        if (whileRunning) whileRunning(token);
    });
    if (withoutDll) RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());  // read as the child started: not before it ends
    CloseHandle(outRead);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

// Sends SIGINT to the Unix process of the child named by `token`, as a terminal's Ctrl+C does: Wine hands it to
// the child's console control handlers as CTRL_C_EVENT. Wine shows a process's command line as its Unix one, and
// runs a Unix program detached (its end and exit code are not seen here): the child's own end tells.
[[maybe_unused]] bool InterruptChild(const std::string& token) {
    std::string command = "/bin/sh -c \"for p in /proc/[0-9]*; do p=${p#/proc/}; [ $p != $$ ] && grep -qs " + token +
                          " /proc/$p/cmdline && kill -INT $p; done\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace
