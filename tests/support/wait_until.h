// Waits for what another thread brings about, instead of sleeping for a time that a loaded machine may exceed.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// True once `done` holds, polled every millisecond; false when it still does not after about `milliseconds`.
inline bool WaitUntil(const std::function<bool()>& done, int milliseconds) {
    for (int waited = 0; !done(); ++waited) {
        if (waited >= milliseconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
