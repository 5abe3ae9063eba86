// The autostart command line on arbitrary home directory and launch texts: never more than 299 bytes and
// never a byte written past the 300-byte buffer; a line that fits is exactly the eight pieces; one that does
// not is refused with the buffer untouched, and then nothing reaches the registry.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "host/autostart.h"
#include "linux/testing.h"
#include "platform/win32.h"

namespace {

constexpr unsigned char kUnwritten = 0xA5;

std::string Expected(const std::string& home, const std::string& launch) {
    return "javaw -cp \"" + home + "./Vorel.jar\" " + launch + " -home \"" + home + "\" -systray";
}

bool ReadEntry(std::string* text) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    char data[1024];
    DWORD size = sizeof data;
    LONG status = RegQueryValueExA(key, kAutostartValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return false;
    text->assign(data, size);
    return true;
}

bool Ascii(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TAMSIL_TOKEN", "admin", 1);  // the Run key is under HKEY_LOCAL_MACHINE
    unsetenv("TAMSIL_REGISTRY");
    return 0;
}

// Input: a flags byte (bit 0: also write the entry through the stand-in registry), then the home directory
// up to the first zero byte and the launch text up to the next one (or the input's end).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool throughRegistry = data[0] & 1;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t split = rest.find('\0');
    std::string home = rest.substr(0, split);
    std::string launch = split == std::string::npos ? "" : rest.substr(split + 1);
    launch = launch.substr(0, launch.find('\0'));

    std::unique_ptr<char[]> buffer(new char[kAutostartBufferSize]);  // exactly 300 bytes: a byte more is caught
    std::memset(buffer.get(), kUnwritten, kAutostartBufferSize);
    std::string expected = Expected(home, launch);
    bool fits = expected.size() <= kAutostartBufferSize - 1;
    int built = BuildAutostartCommandLine(home.c_str(), launch.c_str(), buffer.get());
    FUZZ_CHECK(built == (fits ? 1 : 0), "home %zu bytes, launch %zu bytes: line of %zu bytes answered %d", home.size(),
               launch.size(), expected.size(), built);
    if (fits) {
        FUZZ_CHECK(std::memcmp(buffer.get(), expected.c_str(), expected.size() + 1) == 0, "the line is the eight pieces: %s",
                   expected.c_str());
        for (size_t i = expected.size() + 1; i < kAutostartBufferSize; ++i)
            FUZZ_CHECK(static_cast<unsigned char>(buffer[i]) == kUnwritten, "byte %zu after the line is untouched", i);
    } else {
        for (size_t i = 0; i < kAutostartBufferSize; ++i)
            FUZZ_CHECK(static_cast<unsigned char>(buffer[i]) == kUnwritten, "a refused line leaves byte %zu untouched", i);
    }

    if (throughRegistry) {
        FUZZ_CHECK(StandInLoadRegistryText("Windows Registry Editor Version 5.00\n"), "an empty registry");
        int installed = InstallAutostartEntry(home.c_str(), launch.c_str());
        FUZZ_CHECK(installed == (fits ? 1 : 0), "InstallAutostartEntry answered %d for a line of %zu bytes", installed,
                   expected.size());
        std::string entry;
        bool present = ReadEntry(&entry);
        FUZZ_CHECK(present == fits, "the entry is written exactly when the line fits");
        // The ANSI registry calls carry text through UTF-16: only ASCII comes back byte for byte.
        if (present && Ascii(expected))
            FUZZ_CHECK(entry == expected + '\0', "the entry's data is the line and its zero byte");
    }
    return 0;
}
