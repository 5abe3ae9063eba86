// Win32 console control handling of the Linux stand-in: SIGINT becomes CTRL_C_EVENT, delivered to the
// registered handlers on a thread of the stand-in, as the system starts one for a console event.
#pragma once

#include "win32_base.h"

#define CTRL_C_EVENT 0u
#define CTRL_BREAK_EVENT 1u
#define CTRL_CLOSE_EVENT 2u
#define CTRL_LOGOFF_EVENT 5u
#define CTRL_SHUTDOWN_EVENT 6u

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD CtrlType);

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
