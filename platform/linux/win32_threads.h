// Win32 threads of the Linux stand-in.
#pragma once

#include "win32_base.h"

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004u
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000u

// Slim reader/writer lock: a zeroed word, so a process-wide lock needs no initialisation call.
typedef struct _RTL_SRWLOCK {
    PVOID Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT {nullptr}

extern "C" {
// Exclusive mode only: waits (without spinning) until no other thread holds the lock. Not recursive.
void WINAPI InitializeSRWLock(PSRWLOCK SRWLock);
void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock);
void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock);
// Starts lpStartAddress(lpParameter) on a new thread that runs at once; stores the thread's identifier in
// *lpThreadId when given. The handle is signalled when the thread ends (WaitForSingleObject) and closed with
// CloseHandle (which leaves the thread running). The stand-in has no suspended start: CREATE_SUSPENDED fails
// with ERROR_INVALID_PARAMETER.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId);
DWORD WINAPI GetCurrentThreadId(void);
}
