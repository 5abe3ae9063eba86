// Windows: the console's output code page, or the ANSI code page when there is no console.
#include "../win32.h"

std::string ConsoleText(const WCHAR* text, size_t limit) {
    if (text == nullptr) return std::string();
    int units = static_cast<int>(WideLength(text, limit));
    if (units == 0) return std::string();
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0) codePage = CP_ACP;
    int bytes = WideCharToMultiByte(codePage, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text, units, out.data(), bytes, nullptr, nullptr);
    return out;
}
