#include <cstdio>

#include "win32.h"

size_t WideLength(const WCHAR* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    return n;
}

void WriteConsoleTextW(const WCHAR* text) { std::fputs(ConsoleText(text).c_str(), stdout); }
