// Thread error codes, the version query and waiting.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "immortal.h"
#include "testing.h"
#include "win32_base.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

std::mutex versionLock;
std::string& versionOverride = Immortal<std::string>();
bool versionOverridden = false;

// Build numbers of the releases the system knows, for a plausible high word.
DWORD BuildFor(unsigned major, unsigned minor) {
    if (major == 4) return 1381;
    if (major == 5 && minor == 0) return 2195;
    if (major == 5 && minor == 1) return 2600;
    if (major == 5) return 3790;
    if (major == 6 && minor == 0) return 6002;
    if (major == 6 && minor == 1) return 7601;
    return 0;
}

// "major.minor[.build]"; anything unreadable falls back to 5.1.
DWORD ParseVersion(const char* text) {
    unsigned major = 5, minor = 1, build = 0;
    if (text != nullptr && *text != '\0') {
        unsigned a = 0, b = 0, c = 0;
        int n = std::sscanf(text, "%u.%u.%u", &a, &b, &c);
        if (n >= 1 && a <= 255 && b <= 255) {
            major = a;
            minor = n >= 2 ? b : 0;
            build = n >= 3 ? c : 0;
        } else {
            std::fprintf(stderr, "tamsil: TAMSIL_WINDOWS_VERSION \"%s\" is not a version like 4.0; using 5.1\n", text);
        }
    }
    if (build == 0) build = BuildFor(major, minor);
    return (major & 0xFF) | ((minor & 0xFF) << 8) | ((build & 0x7FFF) << 16);
}

}  // namespace

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

extern "C" DWORD WINAPI GetVersion(void) {
    std::lock_guard<std::mutex> guard(versionLock);
    if (versionOverridden) return ParseVersion(versionOverride.c_str());
    return ParseVersion(std::getenv("TAMSIL_WINDOWS_VERSION"));
}

void StandInSetWindowsVersion(const char* version) {
    std::lock_guard<std::mutex> guard(versionLock);
    versionOverridden = version != nullptr;
    versionOverride = version != nullptr ? version : "";
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

extern "C" DWORD WINAPI GetTickCount(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(ts.tv_sec * 1000ull + static_cast<unsigned long long>(ts.tv_nsec) / 1000000ull);
}
