// Answers the message boxes of a process while it runs, and records what they showed: a thread that looks for
// the dialog windows (class "#32770") of that process every 20 ms, reads the caption, the text (control
// 0xFFFF, as Windows and Wine build message boxes), which buttons exist, the icon, whether the box stays on top
// (what MB_SYSTEMMODAL makes of it) and whether it is the foreground window, and presses the given button
// (IDYES when the box has it and `yes` is set, else IDOK, else IDNO). With Wine's null graphics driver (the
// tests' prefix) boxes are real windows without a display; so nothing an automated run shows ever blocks it.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AnsweredBox {
    std::string caption;
    std::string text;
    bool hasYes;
    bool hasNo;
    bool hasOk;
    bool topmost;
    bool foreground;
    std::string icon;  // "none", "warning", "information", "error", "question", or "unknown"
    int pressed;
};

// An icon handle is only meaningful in its own process: for the boxes of another process, a thread hook from
// message_box_icon_hook.dll, loaded into that process, names the icon in this window property.
inline const char kBoxIconProperty[] = "VorelTestBoxIcon";

// The system icon that a box of this process shows: its IDI_ number, 0 for none, 1 for another icon.
inline WORD BoxIconId(HWND box) {
    HICON icon = nullptr;
    for (int control : {0x0440, 0x0014})  // the icon control: Wine's, Windows'
        if (icon == nullptr) icon = reinterpret_cast<HICON>(SendDlgItemMessageA(box, control, STM_GETICON, 0, 0));
    if (icon == nullptr) return 0;
    for (LPCSTR id : {IDI_HAND, IDI_QUESTION, IDI_EXCLAMATION, IDI_ASTERISK})
        if (icon == LoadIconA(nullptr, id)) return static_cast<WORD>(reinterpret_cast<ULONG_PTR>(id));
    return 1;
}

inline std::string BoxIconName(WORD id) {
    switch (id) {
        case 0: return "none";
        case 32513: return "error";        // IDI_HAND
        case 32514: return "question";     // IDI_QUESTION
        case 32515: return "warning";      // IDI_EXCLAMATION, MB_ICONWARNING's
        case 32516: return "information";  // IDI_ASTERISK
        default: return "unknown";
    }
}

// Has message_box_icon_hook.dll (beside this program) name the icons of the boxes that thread `threadId` of
// another process shows; start that process suspended and resume it after this. nullptr when it cannot.
inline HHOOK NameBoxIconsOfThread(DWORD threadId) {
    HMODULE hook = LoadLibraryA("message_box_icon_hook.dll");
    FARPROC proc = hook != nullptr ? GetProcAddress(hook, "NameBoxIcon") : nullptr;
    if (proc == nullptr) return nullptr;
    HOOKPROC hookProc = nullptr;
    static_assert(sizeof hookProc == sizeof proc);
    std::memcpy(&hookProc, &proc, sizeof proc);  // the export's real type
    return SetWindowsHookExA(WH_CBT, hookProc, hook, threadId);
}

class MessageBoxAnswerer {
public:
    explicit MessageBoxAnswerer(DWORD processId = GetCurrentProcessId(), bool yes = true)
        : processId_(processId), yes_(yes), thread_([this] { Run(); }) {}
    ~MessageBoxAnswerer() {
        stop_ = true;
        thread_.join();
    }
    MessageBoxAnswerer(const MessageBoxAnswerer&) = delete;
    MessageBoxAnswerer& operator=(const MessageBoxAnswerer&) = delete;

    std::vector<AnsweredBox> Boxes() {
        std::lock_guard<std::mutex> guard(lock_);
        return boxes_;
    }

private:
    struct Search {
        DWORD processId;
        std::vector<HWND> found;
    };
    static BOOL CALLBACK Visit(HWND window, LPARAM context) {
        auto* search = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        char className[16] = "";
        GetClassNameA(window, className, sizeof className);
        if (owner == search->processId && std::string(className) == "#32770") search->found.push_back(window);
        return TRUE;
    }
    std::string IconOf(HWND box) const {
        if (processId_ == GetCurrentProcessId()) return BoxIconName(BoxIconId(box));
        // The hook names the icon as the box is activated, just after it shows.
        for (int tries = 0; tries < 50; ++tries) {
            if (HANDLE named = GetPropA(box, kBoxIconProperty)) return BoxIconName(LOWORD(reinterpret_cast<ULONG_PTR>(named)));
            Sleep(20);
        }
        return "unknown";
    }
    void Run() {
        std::vector<HWND> answered;
        while (!stop_) {
            Search search{processId_, {}};
            EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
            for (HWND box : search.found) {
                bool seen = false;
                for (HWND done : answered) seen = seen || done == box;
                if (seen || !IsWindowVisible(box)) continue;
                char caption[256] = "", text[2048] = "";
                GetWindowTextA(box, caption, sizeof caption);
                GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                AnsweredBox record{caption,
                                   text,
                                   GetDlgItem(box, IDYES) != nullptr,
                                   GetDlgItem(box, IDNO) != nullptr,
                                   GetDlgItem(box, IDOK) != nullptr,
                                   (GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0,
                                   GetForegroundWindow() == box,
                                   IconOf(box),
                                   0};
                record.pressed = record.hasYes ? (yes_ ? IDYES : IDNO) : record.hasOk ? IDOK : IDNO;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    boxes_.push_back(record);
                }
                answered.push_back(box);
                PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(record.pressed), 0);
            }
            Sleep(20);
        }
    }

    DWORD processId_;
    bool yes_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<AnsweredBox> boxes_;
    std::thread thread_;
};

// What a program started with its standard output on a pipe did: its output (CR LF as LF: the C library writes
// in text mode), its exit code and the boxes it showed.
struct ProgramRun {
    std::string output;
    DWORD exitCode = 0xFFFFFFFFu;
    std::vector<AnsweredBox> boxes;
};

// Answers the boxes of `process` (`yes`: as MessageBoxAnswerer) and collects what it writes to `readEnd` until it
// has ended and the pipe is drained: not until the pipe's end of file, which never comes while another process
// (one Wine started for it, say) holds an inherited copy of the write end. `whileRunning` is called first.
inline ProgramRun WatchProgram(const PROCESS_INFORMATION& process, HANDLE readEnd, bool yes,
                               const std::function<void()>& whileRunning = {}) {
    ProgramRun run;
    MessageBoxAnswerer answerer(process.dwProcessId, yes);
    if (whileRunning) whileRunning();
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
    for (size_t at = run.output.find("\r\n"); at != std::string::npos; at = run.output.find("\r\n", at)) run.output.erase(at, 1);
    return run;
}
