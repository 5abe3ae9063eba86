// Win32 module loading of the Linux stand-in: LoadLibraryA and GetProcAddress for the system DLLs that the
// system's code looks up at run time (iphlpapi.dll), answered with the stand-in's own functions.
#pragma once

#include "win32_base.h"

typedef LONG_PTR(WINAPI* FARPROC)();

// The module of that name (case-insensitive, ".dll" optional), bare or in the system directory, or NULL with
// ERROR_MOD_NOT_FOUND. Failure injection name: "LoadLibrary".
extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
// The system directory, "C:\WINDOWS\system32": its length when it fits `uSize` characters with the
// terminator, else the size needed (terminator included) and nothing written. Failure injection name:
// "GetSystemDirectory" (answers 0).
extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
// The function of that name in the module, or NULL with ERROR_PROC_NOT_FOUND.
extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
