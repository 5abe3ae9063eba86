// Failure injection at the stand-in's Win32 boundary (controlled from testing.h).
#pragma once

#include "win32_base.h"

// True when a test asked the named call to fail now; *error then holds the code it should report.
bool StandInCallFails(const char* callName, DWORD* error);

// The entry check of a stand-in call that reports failure through the thread's last error: true, with the
// planned error set as the last error, when a test asked the call to fail now.
bool StandInCallFailsWithLastError(const char* callName);

// Sets the thread's last error and answers FALSE, the usual failure of a BOOL call.
BOOL StandInFailWith(DWORD error);
