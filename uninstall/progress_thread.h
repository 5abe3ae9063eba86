// The progress thread of ousterling (Part 4.1): dots on standard output while Part 4.2 is busy.
#pragma once

#include "platform/win32.h"

// Started by CreateThread with no parameter; ends once ProgressRunning is false.
DWORD WINAPI ProgressThread(LPVOID lpParameter);
