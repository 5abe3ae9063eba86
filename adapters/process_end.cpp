#include "adapters/process_end.h"

std::atomic<LONG> nProcessEnding{kNotEnding};

namespace {

// The first claim only: a second Ctrl+C, like an end already under way, must leave the process's end to it.
bool Claim(LONG how) {
    LONG expected = kNotEnding;
    return nProcessEnding.compare_exchange_strong(expected, how);
}

}  // namespace

bool BeginEndingOnCtrlC(void) { return Claim(kEndingOnCtrlC); }

bool CtrlCHasBegun(void) { return nProcessEnding.load() == kEndingOnCtrlC; }

bool BeginEndingFromChoice(void) { return Claim(kEndingFromChoice); }
