// The progress thread of ousterling: dots on standard output while the removal is busy.
#pragma once

#include "platform/win32.h"

// Started by CreateThread with no parameter; ends once ProgressRunning is false.
DWORD WINAPI ProgressThread(LPVOID lpParameter);
