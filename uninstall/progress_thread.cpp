// ProgressThread: a dot, then one every 300 ms, for as long as ProgressBusy stays set.
#include "uninstall/progress_thread.h"

#include <cstdio>

#include "uninstall/removal_state.h"

namespace {

constexpr DWORD kDotInterval = 300;  // ms
constexpr DWORD kIdlePause = 10;     // ms between looks at the flags while not busy: no spinning

}  // namespace

DWORD WINAPI ProgressThread(LPVOID) {
    while (ProgressRunning) {
        while (ProgressBusy) {
            printf(".");
            fflush(stdout);  // the dot is seen now, not at the next line end
            Sleep(kDotInterval);
        }
        Sleep(kIdlePause);
    }
    return 0;
}
