// The stand-in's ANSI code page and MultiByteToWideChar, through glibc's iconv.
#include <errno.h>
#include <iconv.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing.h"
#include "unicode.h"
#include "win32_nls.h"

namespace {

constexpr UINT kDefaultAnsiCodePage = 1252;

std::atomic<UINT> ansiOverride{0};

std::string IconvName(UINT codePage) { return codePage == CP_UTF8 ? "UTF-8" : "CP" + std::to_string(codePage); }

bool IconvKnows(UINT codePage) {
    iconv_t cd = iconv_open("UTF-16LE", IconvName(codePage).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    return true;
}

// TAMSIL_ANSI_CODEPAGE as a number iconv can convert from, else the default (once said on stderr).
UINT EnvironmentCodePage() {
    const char* text = std::getenv("TAMSIL_ANSI_CODEPAGE");
    if (text == nullptr || *text == '\0') return kDefaultAnsiCodePage;
    char* end = nullptr;
    unsigned long number = std::strtoul(text, &end, 10);
    if (*end == '\0' && number > 1 && number < 65536 && IconvKnows(static_cast<UINT>(number))) return static_cast<UINT>(number);
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        std::fprintf(stderr, "TAMSIL_ANSI_CODEPAGE=%s is not a code page this system can convert; using %u\n", text,
                     kDefaultAnsiCodePage);
    return kDefaultAnsiCodePage;
}

// Windows' tables give the holes of the 125x code pages (0x81 in 1252, 0x98 in 1251, ...) the C1 unit of the
// same value; other code pages answer U+FFFD for what is no character.
char16_t UndefinedByte(UINT codePage, unsigned char byte) {
    return codePage >= 1250 && codePage <= 1258 && byte >= 0x80 && byte < 0xA0 ? char16_t(byte) : u'\xFFFD';
}

// The UTF-16 text of `bytes`; *invalid tells whether any byte was no character of the code page.
bool Decode(UINT codePage, const char* bytes, size_t length, std::u16string* out, bool* invalid) {
    iconv_t cd = iconv_open("UTF-16LE", IconvName(codePage).c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    *invalid = false;
    out->clear();
    std::u16string chunk(length + 1, u'\0');
    char* in = const_cast<char*>(bytes);
    size_t inLeft = length;
    while (inLeft > 0) {
        char* outPtr = reinterpret_cast<char*>(chunk.data());
        size_t outLeft = chunk.size() * sizeof(char16_t);
        size_t done = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out->append(chunk.data(), (chunk.size() * sizeof(char16_t) - outLeft) / sizeof(char16_t));
        if (done != static_cast<size_t>(-1)) break;
        if (errno != EILSEQ && errno != EINVAL) {  // no room (E2BIG) cannot happen: a byte gives at most one unit
            iconv_close(cd);
            return false;
        }
        *invalid = true;
        *out += UndefinedByte(codePage, static_cast<unsigned char>(*in));
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return true;
}

}  // namespace

UINT StandInAnsiCodePage() {
    UINT chosen = ansiOverride.load();
    return chosen != 0 ? chosen : EnvironmentCodePage();
}

void StandInSetAnsiCodePage(UINT codePage) { ansiOverride = codePage; }

std::string Utf8ToAnsi(std::string_view text, size_t maxBytes) {
    std::u16string wide = Utf8ToUtf16(text);
    std::string out;
    iconv_t cd = iconv_open(IconvName(StandInAnsiCodePage()).c_str(), "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) return out;
    // One character at a time, so that the text is cut between characters and what the code page cannot
    // show becomes '?', as WideCharToMultiByte's default character.
    for (size_t i = 0; i < wide.size();) {
        size_t units = wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size() ? 2 : 1;
        char encoded[16];
        char* in = reinterpret_cast<char*>(&wide[i]);
        size_t inLeft = units * sizeof(char16_t);
        char* outPtr = encoded;
        size_t outLeft = sizeof encoded;
        std::string character = iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)
                                    ? std::string("?")
                                    : std::string(encoded, sizeof encoded - outLeft);
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (out.size() + character.size() > maxBytes) break;
        out += character;
        i += units;
    }
    iconv_close(cd);
    return out;
}

extern "C" UINT WINAPI GetACP(void) { return StandInAnsiCodePage(); }

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr) || (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    UINT codePage = CodePage == CP_ACP ? StandInAnsiCodePage() : CodePage;
    size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    std::u16string wide;
    bool invalid = false;
    if (!Decode(codePage, lpMultiByteStr, length, &wide, &invalid)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (invalid && (dwFlags & MB_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<size_t>(cchWideChar)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
    return static_cast<int>(wide.size());
}
