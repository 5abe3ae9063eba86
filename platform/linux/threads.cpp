// Threads and critical sections. CreateThread on a detached std::thread that starts at once. Its handle is an object of the shared
// handle table (handles.h): WaitForSingleObject on it waits for the thread's end, CloseHandle closes the handle
// and leaves the thread running, as on Windows.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "faults.h"
#include "handles.h"
#include "win32_threads.h"

namespace {

class ThreadObject : public HandleObject {
public:
    void Finish() {
        std::lock_guard<std::mutex> guard(lock_);
        finished_ = true;
        ended_.notify_all();
    }
    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> guard(lock_);
        if (milliseconds == INFINITE) {
            ended_.wait(guard, [this] { return finished_; });
            return WAIT_OBJECT_0;
        }
        return ended_.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return finished_; })
                   ? WAIT_OBJECT_0
                   : WAIT_TIMEOUT;
    }

private:
    std::mutex lock_;
    std::condition_variable ended_;
    bool finished_ = false;
};

}  // namespace

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    DWORD error = 0;
    if (StandInCallFails("CreateThread", &error)) {
        SetLastError(error);
        return nullptr;
    }
    if (lpStartAddress == nullptr || (dwCreationFlags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        auto object = std::make_shared<ThreadObject>();
        HANDLE handle = StandInCreateHandle(object);
        if (handle == nullptr) return nullptr;
        auto threadId = std::make_shared<std::atomic<DWORD>>(0);
        std::thread thread([lpStartAddress, lpParameter, threadId, object] {
            threadId->store(GetCurrentThreadId());
            threadId->notify_all();
            lpStartAddress(lpParameter);
            object->Finish();
        });
        thread.detach();
        threadId->wait(0);
        if (lpThreadId != nullptr) *lpThreadId = threadId->load();
        return handle;
    } catch (const std::exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// ---- Critical sections ----

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::Opaque), "a mutex fits a critical section");

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION section) { return reinterpret_cast<pthread_mutex_t*>(section->Opaque); }

}  // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(lpCriticalSection), &attributes);
    pthread_mutexattr_destroy(&attributes);
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return pthread_mutex_trylock(MutexOf(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
}
