// Threads: CreateThread on a detached std::thread that starts at once. Its handle is an object of the shared
// handle table (handles.h): WaitForSingleObject on it waits for the thread's end, CloseHandle closes the handle
// and leaves the thread running, as on Windows.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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

// The lock word is 0 when free and 1 when held; waiters sleep on it through C++20 atomic waiting.
namespace {

std::atomic_ref<uintptr_t> LockWord(PSRWLOCK lock) { return std::atomic_ref<uintptr_t>(*reinterpret_cast<uintptr_t*>(&lock->Ptr)); }

}  // namespace

extern "C" void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) { SRWLock->Ptr = nullptr; }

extern "C" void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) {
    std::atomic_ref<uintptr_t> word = LockWord(SRWLock);
    uintptr_t expected = 0;
    while (!word.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        if (expected != 0) word.wait(expected, std::memory_order_relaxed);
        expected = 0;
    }
}

extern "C" void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) {
    std::atomic_ref<uintptr_t> word = LockWord(SRWLock);
    word.store(0, std::memory_order_release);
    word.notify_all();
}
