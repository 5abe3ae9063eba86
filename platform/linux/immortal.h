// The stand-in's process-wide objects are never destroyed: the console's Ctrl+C handler ends the process with
// exit, which runs the static destructors while other threads may still be in a Win32 call, and Windows' own
// state outlives those threads too.
#pragma once

#include <utility>

template <typename T, typename... Args>
T& Immortal(Args&&... args) {
    return *new T(std::forward<Args>(args)...);
}
