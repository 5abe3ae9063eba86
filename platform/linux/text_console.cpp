// The Linux console speaks UTF-8.
#include "../win32.h"
#include "unicode.h"

std::string ConsoleText(const WCHAR* text, size_t limit) {
    if (text == nullptr) return std::string();
    return Utf16ToUtf8(text, WideLength(text, limit));
}
