// Threads and critical sections. CreateThread on a detached std::thread that starts at once. Its handle is an object of the shared
// handle table (handles.h): WaitForSingleObject on it waits for the thread's end, CloseHandle closes the handle
// and leaves the thread running, as on Windows.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
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
// As the system keeps them: a lock word, the owning thread and a recursion count. Uncontended, entering is one
// compare-and-swap and leaving one exchange; a thread that finds the section held sleeps on the word (futex).

namespace {

struct Section {
    std::atomic<int> word;         // 0 free, 1 held, 2 held with sleepers
    std::atomic<uintptr_t> owner;  // pthread_self() of the holder, 0 when free
    long recursion;                // touched only by the holder
};
static_assert(sizeof(Section) <= sizeof(CRITICAL_SECTION::Opaque), "the state fits a critical section");

Section* SectionOf(LPCRITICAL_SECTION section) { return reinterpret_cast<Section*>(section->Opaque); }
uintptr_t Self() { return static_cast<uintptr_t>(pthread_self()); }

void Futex(std::atomic<int>* word, int op, int value) {
    syscall(SYS_futex, reinterpret_cast<int*>(word), op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

bool TryTake(Section* s, uintptr_t self) {
    if (s->owner.load(std::memory_order_relaxed) == self) {
        ++s->recursion;
        return true;
    }
    int expected = 0;
    if (!s->word.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return false;
    s->owner.store(self, std::memory_order_relaxed);
    s->recursion = 1;
    return true;
}

}  // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    new (lpCriticalSection->Opaque) Section{{0}, {0}, 0};
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) { SectionOf(lpCriticalSection)->~Section(); }

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Section* s = SectionOf(lpCriticalSection);
    uintptr_t self = Self();
    if (TryTake(s, self)) return;
    while (s->word.exchange(2, std::memory_order_acquire) != 0) Futex(&s->word, FUTEX_WAIT, 2);
    s->owner.store(self, std::memory_order_relaxed);
    s->recursion = 1;
}

extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return TryTake(SectionOf(lpCriticalSection), Self()) ? TRUE : FALSE;
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Section* s = SectionOf(lpCriticalSection);
    if (--s->recursion > 0) return;
    s->owner.store(0, std::memory_order_relaxed);
    if (s->word.exchange(0, std::memory_order_release) == 2) Futex(&s->word, FUTEX_WAKE, 1);
}
