// The handle table, CloseHandle, WaitForSingleObject and events.
#include "handles.h"
#include "immortal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "faults.h"
#include "security_tokens.h"
#include "testing.h"

namespace {

constexpr uintptr_t kFirstHandle = 0x100;

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    uintptr_t next = kFirstHandle;
};

HandleTable& Table() {
    static HandleTable& table = Immortal<HandleTable>();
    return table;
}

struct HandleKind {
    const char* name;
    StandInCloseFunction close;
    StandInWaitFunction wait;
};

std::mutex kindsLock;
std::vector<HandleKind>& Kinds() {
    // Access tokens (security.cpp) keep their own handles.
    static auto& kinds =
        Immortal<std::vector<HandleKind>>(std::vector<HandleKind>{{"token", StandInCloseTokenHandle, nullptr}});
    return kinds;
}

}  // namespace

// ---- Events ----

class EventObject : public HandleObject {
public:
    EventObject(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

    void Signal() {
        std::lock_guard<std::mutex> guard(lock_);
        signalled_ = true;
        if (manualReset_)
            changed_.notify_all();
        else
            changed_.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> guard(lock_);
        signalled_ = false;
    }

    void SetHook(const void* owner, std::function<void(DWORD)> hook) {
        std::lock_guard<std::mutex> guard(lock_);
        hookOwner_ = owner;
        hook_ = std::move(hook);
    }

    void ClearHook(const void* owner) {
        std::lock_guard<std::mutex> guard(lock_);
        if (hookOwner_ != owner) return;
        hookOwner_ = nullptr;
        hook_ = nullptr;
    }

    DWORD Wait(DWORD milliseconds) override {
        auto start = std::chrono::steady_clock::now();
        std::function<void(DWORD)> hook;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!signalled_) hook = hook_;
        }
        if (hook) hook(milliseconds);
        std::unique_lock<std::mutex> guard(lock_);
        if (milliseconds == INFINITE) {
            changed_.wait(guard, [this] { return signalled_; });
        } else {
            auto deadline = start + std::chrono::milliseconds(milliseconds);
            if (!changed_.wait_until(guard, deadline, [this] { return signalled_; })) return WAIT_TIMEOUT;
        }
        if (!manualReset_) signalled_ = false;
        return WAIT_OBJECT_0;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
    const void* hookOwner_ = nullptr;
    std::function<void(DWORD)> hook_;
};

DWORD HandleObject::Wait(DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

HANDLE StandInCreateHandle(std::shared_ptr<HandleObject> object) {
    HandleTable& t = Table();
    try {
        std::lock_guard<std::mutex> guard(t.lock);
        uintptr_t value = t.next;
        t.objects.emplace(value, std::move(object));
        t.next += 4;
        return reinterpret_cast<HANDLE>(value);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<HandleObject> StandInFindHandle(HANDLE handle) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

bool StandInRegisterHandleKind(const char* kindName, StandInCloseFunction close, StandInWaitFunction wait) {
    std::lock_guard<std::mutex> guard(kindsLock);
    Kinds().push_back(HandleKind{kindName, close, wait});
    return true;
}

std::shared_ptr<EventObject> StandInFindEvent(HANDLE handle) { return StandInFindHandleAs<EventObject>(handle); }
void StandInSignalEvent(EventObject& event) { event.Signal(); }
void StandInResetEvent(EventObject& event) { event.Reset(); }
void StandInSetEventWaitHook(EventObject& event, const void* owner, std::function<void(DWORD)> hook) {
    event.SetHook(owner, std::move(hook));
}
void StandInClearEventWaitHook(EventObject& event, const void* owner) { event.ClearHook(owner); }

size_t StandInOpenHandleCount() {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.objects.size();
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (StandInCallFailsWithLastError("CloseHandle")) return FALSE;
    std::shared_ptr<HandleObject> object;
    {
        HandleTable& t = Table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(hObject));
        if (it != t.objects.end()) {
            object = std::move(it->second);
            t.objects.erase(it);
        }
    }
    if (object) {
        object->Close();
        return TRUE;
    }
    std::vector<HandleKind> kinds;
    {
        std::lock_guard<std::mutex> guard(kindsLock);
        kinds = Kinds();
    }
    for (const HandleKind& kind : kinds)
        if (kind.close != nullptr && kind.close(hObject)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    DWORD error = 0;
    if (StandInCallFails("WaitForSingleObject", &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    if (std::shared_ptr<HandleObject> object = StandInFindHandle(hHandle)) return object->Wait(dwMilliseconds);
    std::vector<HandleKind> kinds;
    {
        std::lock_guard<std::mutex> guard(kindsLock);
        kinds = Kinds();
    }
    DWORD result = WAIT_FAILED;
    for (const HandleKind& kind : kinds)
        if (kind.wait != nullptr && kind.wait(hHandle, dwMilliseconds, &result)) return result;
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

namespace {

HANDLE NewEvent(const char* callName, LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, bool named) {
    if (StandInCallFailsWithLastError(callName)) return nullptr;
    if (named) {
        // Named events are shared between processes on Windows; nothing in the system uses one.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    std::shared_ptr<EventObject> event;
    try {
        event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = StandInCreateHandle(std::move(event));
    if (handle != nullptr) SetLastError(ERROR_SUCCESS);
    return handle;
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                      LPCSTR lpName) {
    return NewEvent("CreateEvent", lpEventAttributes, bManualReset, bInitialState, lpName != nullptr && *lpName != 0);
}

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                      LPCWSTR lpName) {
    return NewEvent("CreateEvent", lpEventAttributes, bManualReset, bInitialState, lpName != nullptr && *lpName != 0);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    if (StandInCallFailsWithLastError("SetEvent")) return FALSE;
    std::shared_ptr<EventObject> event = StandInFindEvent(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Signal();
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    if (StandInCallFailsWithLastError("ResetEvent")) return FALSE;
    std::shared_ptr<EventObject> event = StandInFindEvent(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}
