// The capture session: start, stop, pause, release and frame delivery, as plain functions that the JNI
// exports wrap and tests call directly.
#pragma once

#include "capture/capture_state.h"

LONG DriverStart(LONG cardNumber);
void DriverStop(void);
void FreeOnExit(void);
void SetPausedOn(BYTE paused);
BYTE IsPausedOn(void);

BOOL WINAPI OnConsoleControl(DWORD controlType);

// Receives the bytes of one delivered frame (at most the count the delivery worked out).
typedef void (*FrameSink)(void* context, const BYTE* data, LONG count);

// One frame: copies min(length, maxLength, bufferLength) bytes through `sink` and returns the frame's full
// length, or 0 when delivery is stopped, released or not started. A negative bufferLength (no array) takes no
// frame and answers 0.
LONG GetFrameFromDriver(LONG maxLength, LONG bufferLength, FrameSink sink, void* context);
