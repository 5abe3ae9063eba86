// How the library ends the process. Ctrl+C's handler ends it with 0 after the release; the adapter choice ends
// it on some answers (0 when the user quits or the driver's list cannot be read, -1 when no adapter is found).
// Whichever begins first is the only end: once Ctrl+C has begun, a start neither prints nor ends the process
// (it fails quietly while the handler finishes), and an end the choice has begun is not raced by the handler.
#pragma once

#include <atomic>

#include "platform/win32.h"

enum : LONG { kNotEnding = 0, kEndingOnCtrlC = 1, kEndingFromChoice = 2 };
extern std::atomic<LONG> nProcessEnding;

// Ctrl+C's handler, before anything else: true when it is the process's end; false when the choice, or an
// earlier Ctrl+C, is already ending the process, and the handler must then leave that to it.
bool BeginEndingOnCtrlC(void);

// Whether Ctrl+C's handler has begun; a start that finds it so returns -1 without a line.
bool CtrlCHasBegun(void);

// The adapter choice, before the lines and the exit of an end: false when Ctrl+C has begun, and the start must
// then fail quietly instead.
bool BeginEndingFromChoice(void);
