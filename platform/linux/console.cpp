// Console control events. The first handler registration installs a SIGINT handler that only writes a byte
// to a pipe (all a signal handler may safely do); a dispatch thread turns each byte into CTRL_C_EVENT and
// calls the handlers, most recently added first, as the system does. When every handler declines, the
// previous SIGINT disposition (the JVM's own, say) takes over, as the system's default handler would.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "faults.h"
#include "immortal.h"
#include "testing.h"
#include "win32_console.h"

namespace {

std::mutex handlersLock;
std::vector<PHANDLER_ROUTINE>& Handlers() {
    static auto& handlers = Immortal<std::vector<PHANDLER_ROUTINE>>();
    return handlers;
}
bool dispatcherStarted = false;
int eventPipe[2] = {-1, -1};
struct sigaction previousAction {};

void OnSigint(int) {
    int saved = errno;
    char event = static_cast<char>(CTRL_C_EVENT);
    [[maybe_unused]] ssize_t n = write(eventPipe[1], &event, 1);
    errno = saved;
}

void Dispatch(DWORD type) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> guard(handlersLock);
        handlers = Handlers();
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        if ((*it)(type)) return;
    if (type == CTRL_C_EVENT) {
        // Nobody handled it: what SIGINT would have done without us.
        sigaction(SIGINT, &previousAction, nullptr);
        raise(SIGINT);
    }
}

void DispatchLoop() {
    for (;;) {
        char event;
        ssize_t n = read(eventPipe[0], &event, 1);
        if (n == 1) {
            Dispatch(static_cast<unsigned char>(event));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

// Called with handlersLock held.
bool StartDispatcher() {
    if (dispatcherStarted) return true;
    if (pipe2(eventPipe, O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnSigint;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, &previousAction) != 0) return false;
    std::thread(DispatchLoop).detach();
    dispatcherStarted = true;
    return true;
}

}  // namespace

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    DWORD error = 0;
    if (StandInCallFails("SetConsoleCtrlHandler", &error)) {
        SetLastError(error);
        return FALSE;
    }
    if (HandlerRoutine == nullptr) return TRUE;  // ignoring Ctrl+C altogether is not needed here
    std::lock_guard<std::mutex> guard(handlersLock);
    auto& handlers = Handlers();
    if (Add) {
        if (!StartDispatcher()) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    auto it = std::find(handlers.rbegin(), handlers.rend(), HandlerRoutine);
    if (it == handlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    handlers.erase(std::next(it).base());
    return TRUE;
}

bool StandInRaiseConsoleEvent(DWORD ctrlType) {
    std::lock_guard<std::mutex> guard(handlersLock);
    if (!dispatcherStarted) return false;
    char event = static_cast<char>(ctrlType);
    return write(eventPipe[1], &event, 1) == 1;
}

size_t StandInConsoleHandlerCount() {
    std::lock_guard<std::mutex> guard(handlersLock);
    return Handlers().size();
}
