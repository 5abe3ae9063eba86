// Message boxes as console dialogues. Each box is written to standard error as
//   [MessageBox] <caption> (style 0x<style>)
//   <text>
// and answered from TAMSIL_DIALOG_ANSWERS (comma-separated yes/no/ok, one per box, in order), else from
// the terminal for a Yes/No box (y/n), else OK for an OK box and No for a Yes/No box.
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "faults.h"
#include "immortal.h"
#include "testing.h"
#include "unicode.h"
#include "win32_dialogs.h"

namespace {

std::mutex dialogsLock;
std::vector<StandInDialog>& Shown() {
    static auto& shown = Immortal<std::vector<StandInDialog>>();
    return shown;
}
size_t scriptPosition = 0;

// The next scripted answer, or empty when the script is used up.
std::string NextScriptedAnswer() {
    const char* script = std::getenv("TAMSIL_DIALOG_ANSWERS");
    if (script == nullptr) return std::string();
    std::string all = script;
    size_t index = 0, start = 0;
    while (start <= all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        if (index == scriptPosition) {
            ++scriptPosition;
            std::string answer = all.substr(start, end - start);
            for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return answer;
        }
        ++index;
        start = end + 1;
    }
    return std::string();
}

// Asks on the terminal; no terminal (or end of input there) means No.
bool AskTerminalYes() {
    FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr) return false;
    bool yes = false;
    for (;;) {
        std::fputs("(y/n)? ", tty);
        std::fflush(tty);
        char line[64];
        if (std::fgets(line, sizeof line, tty) == nullptr) break;
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
        if (c == 'y' || c == 'n') {
            yes = c == 'y';
            break;
        }
    }
    std::fclose(tty);
    return yes;
}

int Show(const std::string& caption, const std::string& text, UINT style) {
    std::lock_guard<std::mutex> guard(dialogsLock);
    Shown().push_back(StandInDialog{caption, text, style});
    std::fflush(stdout);  // what the program wrote before the box comes before it on a shared terminal
    std::fprintf(stderr, "[MessageBox] %s (style 0x%x)\n%s\n", caption.c_str(), style, text.c_str());
    std::fflush(stderr);
    UINT buttons = style & 0xF;
    std::string answer = NextScriptedAnswer();
    if (buttons == MB_YESNO) {
        bool yes = answer.empty() ? AskTerminalYes() : answer == "yes";
        std::fprintf(stderr, "[MessageBox] answered %s\n", yes ? "Yes" : "No");
        return yes ? IDYES : IDNO;
    }
    if (buttons == MB_OKCANCEL) return answer.empty() || answer == "ok" ? IDOK : IDCANCEL;
    return IDOK;
}

}  // namespace

extern "C" int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    DWORD error = 0;
    if (StandInCallFails("MessageBox", &error)) {
        SetLastError(error);
        return 0;
    }
    return Show(lpCaption != nullptr ? lpCaption : "Error", lpText != nullptr ? lpText : "", uType);
}

extern "C" int WINAPI MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    DWORD error = 0;
    if (StandInCallFails("MessageBox", &error)) {
        SetLastError(error);
        return 0;
    }
    std::string caption = lpCaption != nullptr ? Utf16ToUtf8(std::u16string(lpCaption)) : "Error";
    std::string text = lpText != nullptr ? Utf16ToUtf8(std::u16string(lpText)) : "";
    return Show(caption, text, uType);
}

extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    constexpr size_t kWsprintfLimit = 1024;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, kWsprintfLimit, format, args);
    va_end(args);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return n < static_cast<int>(kWsprintfLimit) ? n : static_cast<int>(kWsprintfLimit) - 1;
}

std::vector<StandInDialog> StandInDialogsShown() {
    std::lock_guard<std::mutex> guard(dialogsLock);
    return Shown();
}

void StandInClearDialogs() {
    std::lock_guard<std::mutex> guard(dialogsLock);
    Shown().clear();
    scriptPosition = 0;
}
