#include "uninstall/removal_state.h"

static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free,
              "the progress flags are single lock-free bytes");

const WCHAR PacketDriverComponentId[] = WTEXT("Larkspire");

std::atomic<bool> ProgressRunning{true};
std::atomic<bool> ProgressBusy{false};
CRITICAL_SECTION ProgressDotLock;
namespace {
struct ProgressDotLockAtLoad {
    ProgressDotLockAtLoad() { InitializeCriticalSection(&ProgressDotLock); }
} progressDotLockAtLoad;
}  // namespace
std::atomic<unsigned> nProgressStepsEnded{0};

void EndProgressStep() {
    EnterCriticalSection(&ProgressDotLock);
    ProgressBusy = false;
    ++nProgressStepsEnded;
    LeaveCriticalSection(&ProgressDotLock);
}
