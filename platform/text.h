// UTF-16 text helpers shared by the system's code. WCHAR is UTF-16 on every platform; WTEXT makes a
// UTF-16 literal, and ConsoleText turns UTF-16 into the bytes the console shows (UTF-8 on Linux, the
// console's code page on Windows), which is how every %ls message is printed.
#pragma once

#include <cstddef>
#include <string>

#if defined(_WIN32)
#define WTEXT(s) L##s
#else
#define WTEXT(s) u##s
#endif

// Number of UTF-16 units before the terminating NUL, looking at no more than `limit` units.
size_t WideLength(const WCHAR* text, size_t limit = static_cast<size_t>(-1));

// The console's bytes for a UTF-16 string (NUL-terminated, or at most `limit` units).
std::string ConsoleText(const WCHAR* text, size_t limit = static_cast<size_t>(-1));

// Writes UTF-16 text to standard output as the console's bytes, through the same stdio stream as printf,
// whose orientation it keeps. (msvcrt's wprintf "%ls" would write Latin-1 bytes whatever the code page, and
// stop at the first character beyond them.)
void WriteConsoleTextW(const WCHAR* text);
