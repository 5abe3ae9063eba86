// The stand-in's handle space: how an area's kernel objects become HANDLEs that CloseHandle and
// WaitForSingleObject accept. Internal to platform/linux; the system's code only sees the Win32 calls.
//
// Two ways to hook a kind of object in:
//  1. Derive from HandleObject and get a handle from StandInCreateHandle (events and devices do this). Handles
//     are small numbers (multiples of 4 from 0x100, never reused), so a stale handle fails with
//     ERROR_INVALID_HANDLE instead of reaching a new object. CloseHandle removes the handle first and then runs
//     the object's Close(); a thread that still holds the object (one waiting on it, say) keeps it alive and
//     sees it closed.
//  2. Keep your own handles and register their close (and optionally wait) function with
//     StandInRegisterHandleKind; CloseHandle offers each handle that is not in the table to every registered
//     kind in turn (access tokens are closed this way, through security_tokens.h).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "win32_base.h"
#include "win32_devices.h"

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // Runs once, on the thread that called CloseHandle, after the handle was removed from the table.
    virtual void Close() {}
    // WaitForSingleObject: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
    virtual DWORD Wait(DWORD milliseconds);
};

// A new handle for the object; nullptr (ERROR_NOT_ENOUGH_MEMORY) only when memory runs out.
HANDLE StandInCreateHandle(std::shared_ptr<HandleObject> object);
// The object behind an open handle of the table, or nullptr.
std::shared_ptr<HandleObject> StandInFindHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> StandInFindHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(StandInFindHandle(handle));
}

// Closes `handle` and answers true when it is one of this kind; answers false and does nothing otherwise.
typedef bool (*StandInCloseFunction)(HANDLE handle);
// Waits on `handle` of this kind; answers false (and does nothing) when it is not one of this kind.
typedef bool (*StandInWaitFunction)(HANDLE handle, DWORD milliseconds, DWORD* result);
// Answers true, so that it can initialise a static in the file that defines the kind.
bool StandInRegisterHandleKind(const char* kindName, StandInCloseFunction close, StandInWaitFunction wait = nullptr);

// Events, for the areas that complete work by signalling one (SetEvent's object form: a closed event handle
// does not stop a pending completion from signalling the object). A wait hook runs, with the wait's time-out,
// when a thread is about to wait on the event with WaitForSingleObject: the device layer uses it to drive the
// pending read whose OVERLAPPED names the event. `owner` tells hooks apart; clearing another owner's hook
// does nothing.
class EventObject;
std::shared_ptr<EventObject> StandInFindEvent(HANDLE handle);
void StandInSignalEvent(EventObject& event);
void StandInResetEvent(EventObject& event);
void StandInSetEventWaitHook(EventObject& event, const void* owner, std::function<void(DWORD milliseconds)> hook);
void StandInClearEventWaitHook(EventObject& event, const void* owner);
