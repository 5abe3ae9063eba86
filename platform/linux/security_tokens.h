// The stand-in's access tokens as kernel objects: the general handle table closes them through this.
#pragma once

#include "win32_base.h"

// True when `handle` is an open token handle of this process.
bool StandInIsTokenHandle(HANDLE handle);
// Closes a token handle; false (and nothing done) when `handle` is not one.
bool StandInCloseTokenHandle(HANDLE handle);
