// Failure injection at the stand-in's Win32 boundary (controlled from testing.h).
#pragma once

#include "win32_base.h"

// True when a test asked the named call to fail now; *error then holds the code it should report.
bool StandInCallFails(const char* callName, DWORD* error);
