// The Linux console speaks UTF-8.
#include <cstdio>

#include "../win32.h"
#include "unicode.h"

std::string ConsoleText(const WCHAR* text, size_t limit) {
    if (text == nullptr) return std::string();
    return Utf16ToUtf8(text, WideLength(text, limit));
}

// stdout stays byte-oriented: switching it to wide orientation would break every later printf.
void WriteConsoleTextW(const WCHAR* text) { std::fputs(ConsoleText(text).c_str(), stdout); }
