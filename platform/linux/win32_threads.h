// Win32 threads of the Linux stand-in.
#pragma once

#include "win32_base.h"

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

extern "C" {
// Starts lpStartAddress(lpParameter) on a new thread that runs at once; stores the thread's identifier in
// *lpThreadId when given. The handle is signalled when the thread ends (WaitForSingleObject) and closed with
// CloseHandle (which leaves the thread running). The stand-in has no suspended start: CREATE_SUSPENDED fails
// with ERROR_INVALID_PARAMETER.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId);
DWORD WINAPI GetCurrentThreadId(void);
}

// Critical sections: recursive locks of one process. The platform's fields are private to the system, and so
// is what the stand-in keeps in their place. A waiting thread sleeps; it does not spin.
typedef struct _RTL_CRITICAL_SECTION {
    alignas(8) BYTE Opaque[64];
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

extern "C" {
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
// TRUE when the calling thread now holds it (also when it already did), FALSE at once when another one does.
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
}
