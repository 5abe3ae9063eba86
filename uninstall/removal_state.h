// The process-wide state of the driver removal: the progress flags and the component ID.
#pragma once

#include <atomic>

#include "platform/win32.h"

// The packet driver's component ID in the network configuration: "Larkspire".
extern const WCHAR PacketDriverComponentId[];

// Written by the removal on the main thread, read by the progress thread without a lock: each read sees the
// current value. ProgressRunning: true from program start until UninstallNetworkComponent ends, never true
// again. ProgressBusy: true only while FindComponent or DeInstall runs.
extern std::atomic<bool> ProgressRunning;
extern std::atomic<bool> ProgressBusy;

// Held by the progress thread from its look at ProgressBusy until its dot is written, and by the removal while
// it clears ProgressBusy: a dot seen busy is on the console before the mark that closes the step, never later.
// A critical section, not std::mutex: the program runs on NT 4.0, and the C++ run-time's posix threads would
// import calls that came with later Windows. It exists before main runs.
extern CRITICAL_SECTION ProgressDotLock;
// Busy steps ended so far: the progress thread cuts its wait for the next dot short when a step ends.
extern std::atomic<unsigned> nProgressStepsEnded;

// Clears ProgressBusy at the end of a busy step; the step's mark may be written once this returns.
void EndProgressStep();
