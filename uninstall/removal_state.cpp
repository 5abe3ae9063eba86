#include "uninstall/removal_state.h"

static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free,
              "the progress flags are single lock-free bytes");

const WCHAR PacketDriverComponentId[] = WTEXT("Larkspire");

std::atomic<bool> ProgressRunning{true};
std::atomic<bool> ProgressBusy{false};
std::mutex ProgressDotLock;
std::atomic<unsigned> nProgressStepsEnded{0};

void EndProgressStep() {
    std::lock_guard<std::mutex> guard(ProgressDotLock);
    ProgressBusy = false;
    ++nProgressStepsEnded;
}
