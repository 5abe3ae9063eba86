// Failure injection: a test names a Win32 call, the error it should report, how many calls to let
// through first and how many to fail. The stand-in's calls consult it at entry.
#include "faults.h"

#include <cstdlib>
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

// TAMSIL_FAIL="<call>=<error>;...": the named calls fail with that error every time, for a whole process (a
// JVM test, say), like StandInFailCall(call, error, 0, -1).
std::map<std::string, PlannedFailure> FailuresFromEnvironment() {
    std::map<std::string, PlannedFailure> failures;
    const char* list = std::getenv("TAMSIL_FAIL");
    std::string text = list != nullptr ? list : "";
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(start, end - start);
        start = end + 1;
        size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        failures[entry.substr(0, equals)] =
            PlannedFailure{static_cast<DWORD>(std::strtoul(entry.c_str() + equals + 1, nullptr, 0)), 0, -1};
    }
    return failures;
}

std::map<std::string, PlannedFailure>& Failures() {
    static std::map<std::string, PlannedFailure> failures = FailuresFromEnvironment();
    return failures;
}

}  // namespace

bool StandInCallFails(const char* callName, DWORD* error) {
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
}
