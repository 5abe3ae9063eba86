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
