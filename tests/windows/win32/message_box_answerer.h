// Answers the message boxes of a process while it runs, and records what they showed: a thread that looks for
// the dialog windows (class "#32770") of that process every 20 ms, reads the caption, the text (control
// 0xFFFF, as Windows and Wine build message boxes) and which buttons exist, and presses the given button
// (IDYES when the box has it and `yes` is set, else IDOK, else IDNO). With Wine's null graphics driver (the
// tests' prefix) boxes are real windows without a display; so nothing an automated run shows ever blocks it.
#pragma once

#include <windows.h>

#include <atomic>
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
    int pressed;
};

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
                AnsweredBox record{caption, text, GetDlgItem(box, IDYES) != nullptr, GetDlgItem(box, IDNO) != nullptr,
                                   GetDlgItem(box, IDOK) != nullptr, 0};
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
