// Failure injection: a test names a Win32 call, the error it should report, how many calls to let
// through first and how many to fail. The stand-in's calls consult it at entry. A whole process can be given
// failures too: TAMSIL_FAIL_CALLS="AccessCheck=1338;MessageBox=1400" fails every call of each name with that error.
#include "faults.h"
#include "immortal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "testing.h"

namespace {

struct PlannedFailure {
    DWORD error;
    int skip;
    int times;  // < 0: for ever
};

std::mutex failuresLock;

std::map<std::string, PlannedFailure> FailuresFromEnvironment() {
    std::map<std::string, PlannedFailure> failures;
    const char* text = std::getenv("TAMSIL_FAIL_CALLS");
    std::string all = text != nullptr ? text : "";
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find(';', start);
        if (end == std::string::npos) end = all.size();
        std::string item = all.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        char* rest = nullptr;
        unsigned long error = eq == std::string::npos ? 0 : std::strtoul(item.c_str() + eq + 1, &rest, 0);
        if (eq == std::string::npos || eq == 0 || rest == nullptr || *rest != '\0' || error == 0)
            std::fprintf(stderr, "tamsil: TAMSIL_FAIL_CALLS item \"%s\" is not <call>=<error>; ignored\n", item.c_str());
        else
            failures[item.substr(0, eq)] = PlannedFailure{static_cast<DWORD>(error), 0, -1};
    }
    return failures;
}

std::map<std::string, PlannedFailure>& Failures() {
    static auto& failures = Immortal<std::map<std::string, PlannedFailure>>(FailuresFromEnvironment());
    return failures;
}

// Actions for a call's next entry, kept under failuresLock and run outside it; the flag keeps the calls'
// entry check lock-free while there are none.
std::map<std::string, std::function<void()>> entryActions;
std::atomic<bool> anyEntryAction{false};

void RunEntryAction(const char* callName) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(failuresLock);
        auto it = entryActions.find(callName);
        if (it == entryActions.end()) return;
        action = std::move(it->second);
        entryActions.erase(it);
        anyEntryAction = !entryActions.empty();
    }
    action();
}

}  // namespace

bool StandInCallFails(const char* callName, DWORD* error) {
    if (anyEntryAction.load()) RunEntryAction(callName);
    std::lock_guard<std::mutex> guard(failuresLock);
    auto& failures = Failures();
    if (failures.empty()) return false;
    auto it = failures.find(callName);
    if (it == failures.end()) return false;
    PlannedFailure& plan = it->second;
    if (plan.skip > 0) {
        --plan.skip;
        return false;
    }
    *error = plan.error;
    if (plan.times > 0 && --plan.times == 0) failures.erase(it);
    return true;
}

bool StandInCallFailsWithLastError(const char* callName) {
    DWORD error = 0;
    if (!StandInCallFails(callName, &error)) return false;
    SetLastError(error);
    return true;
}

BOOL StandInFailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

void StandInFailCall(const char* callName, DWORD error, int skip, int times) {
    std::lock_guard<std::mutex> guard(failuresLock);
    if (times == 0) {
        Failures().erase(callName);
        return;
    }
    Failures()[callName] = PlannedFailure{error, skip, times};
}

void StandInClearFailures() {
    std::lock_guard<std::mutex> guard(failuresLock);
    Failures().clear();
    entryActions.clear();
    anyEntryAction = false;
}

void StandInOnNextCall(const char* callName, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(failuresLock);
    entryActions[callName] = std::move(action);
    anyEntryAction = true;
}
