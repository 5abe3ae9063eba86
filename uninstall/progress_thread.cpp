// ProgressThread: a dot as soon as a busy step begins, then one every 300 ms for as long as it lasts.
#include "uninstall/progress_thread.h"

#include <cstdio>

#include "uninstall/removal_state.h"

namespace {

constexpr DWORD kDotInterval = 300;  // ms
constexpr DWORD kPollPause = 10;     // ms between looks at the flags: no spinning

// One dot if the removal is busy now; *pStep is then the number of steps ended so far. The look and the write
// are one step against EndProgressStep, so the dot cannot land after the mark that ends the step.
bool WriteDotWhileBusy(unsigned* pStep) {
    EnterCriticalSection(&ProgressDotLock);
    bool bBusy = ProgressBusy;
    if (bBusy) {
        printf(".");
        fflush(stdout);  // the dot is seen now, not at the next line end
        *pStep = nProgressStepsEnded;
    }
    LeaveCriticalSection(&ProgressDotLock);
    return bBusy;
}

}  // namespace

DWORD WINAPI ProgressThread(LPVOID) {
    while (ProgressRunning) {
        unsigned nStep = 0;
        if (!WriteDotWhileBusy(&nStep)) {
            Sleep(kPollPause);
            continue;
        }
        // The next dot 300 ms on; the wait ends early when the step does, so that the next step's first dot
        // is not held back by this one's interval.
        DWORD dwDotTime = GetTickCount();
        while (GetTickCount() - dwDotTime < kDotInterval && nProgressStepsEnded == nStep) Sleep(kPollPause);
    }
    return 0;
}
