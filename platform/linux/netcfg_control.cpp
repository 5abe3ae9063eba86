// The stand-in's COM test controls: chosen answers and delays per call name, the call log with its optional
// trace file, and the call observer. The environment gives the process-wide settings, testing.h the in-process
// ones:
//   TAMSIL_NETCFG_ANSWERS="DeInstall=0x0004A020;Apply=E_FAIL"  every call of that name answers that code
//   TAMSIL_NETCFG_DELAYS="DeInstall=1500"                       every call of that name first waits so long (ms)
//   TAMSIL_NETCFG_TRACE=<file>                                  every finished call is appended to the file
#include "immortal.h"
#include "netcfg_control.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "testing.h"
#include "unicode.h"
#include "win32_com.h"

namespace {

struct NamedCode {
    const char* name;
    HRESULT code;
};

const NamedCode kCodes[] = {
    {"S_OK", S_OK},
    {"S_FALSE", S_FALSE},
    {"E_UNEXPECTED", E_UNEXPECTED},
    {"E_NOTIMPL", E_NOTIMPL},
    {"E_NOINTERFACE", E_NOINTERFACE},
    {"E_POINTER", E_POINTER},
    {"E_ABORT", E_ABORT},
    {"E_FAIL", E_FAIL},
    {"E_ACCESSDENIED", E_ACCESSDENIED},
    {"E_HANDLE", E_HANDLE},
    {"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {"E_INVALIDARG", E_INVALIDARG},
    {"CLASS_E_NOAGGREGATION", CLASS_E_NOAGGREGATION},
    {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG},
    {"CO_E_NOTINITIALIZED", CO_E_NOTINITIALIZED},
    {"RPC_E_CHANGED_MODE", RPC_E_CHANGED_MODE},
    {"NETCFG_E_ALREADY_INITIALIZED", NETCFG_E_ALREADY_INITIALIZED},
    {"NETCFG_E_NOT_INITIALIZED", NETCFG_E_NOT_INITIALIZED},
    {"NETCFG_E_IN_USE", NETCFG_E_IN_USE},
    {"NETCFG_E_NO_WRITE_LOCK", NETCFG_E_NO_WRITE_LOCK},
    {"NETCFG_E_NEED_REBOOT", NETCFG_E_NEED_REBOOT},
    {"NETCFG_S_REBOOT", NETCFG_S_REBOOT},
    {"NETCFG_S_DISABLE_QUERY", NETCFG_S_DISABLE_QUERY},
    {"NETCFG_S_STILL_REFERENCED", NETCFG_S_STILL_REFERENCED},
    {"NETCFG_S_CAUSED_SETUP_CHANGE", NETCFG_S_CAUSED_SETUP_CHANGE},
    {"NETCFG_S_COMMIT_NOW", NETCFG_S_COMMIT_NOW},
};

// The call names the stand-in knows; a setting for any other name is reported, since it would never apply.
const char* const kCallNames[] = {
    "CoInitializeEx",
    "CoCreateInstance",
    "QueryInterface(IUnknown)",
    "QueryInterface(INetCfg)",
    "QueryInterface(INetCfgLock)",
    "QueryInterface(INetCfgClass)",
    "QueryInterface(INetCfgClassSetup)",
    "QueryInterface(INetCfgComponent)",
    "AcquireWriteLock",
    "ReleaseWriteLock",
    "IsWriteLocked",
    "Initialize",
    "Uninitialize",
    "Apply",
    "Cancel",
    "FindComponent",
    "QueryNetCfgClass",
    "GetClassGuid",
    "GetInstanceGuid",
    "GetId",
    "DeInstall",
};

struct Controls {
    std::mutex lock;
    bool environmentRead = false;
    std::map<std::string, HRESULT> answers;
    std::map<std::string, DWORD> delays;
    std::string traceFile;
    std::vector<std::string> log;
    std::function<void(const std::string&)> observer;
    DWORD lockWaitLimit = INFINITE;
};

Controls& Ctl() {
    static Controls& controls = Immortal<Controls>();
    return controls;
}

bool KnownCall(const std::string& name) {
    for (const char* known : kCallNames)
        if (name == known) return true;
    return false;
}

bool ParseCode(const std::string& text, HRESULT& code) {
    for (const NamedCode& named : kCodes) {
        if (text == named.name) {
            code = named.code;
            return true;
        }
    }
    if (text.empty()) return false;
    char* end = nullptr;
    long long value = text[0] == '-' ? std::strtoll(text.c_str(), &end, 0)
                                     : static_cast<long long>(std::strtoull(text.c_str(), &end, 0));
    if (end == nullptr || *end != '\0' || value < INT32_MIN || value > UINT32_MAX) return false;
    code = static_cast<HRESULT>(static_cast<uint32_t>(value));
    return true;
}

std::string Trimmed(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.erase(s.begin());
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

// "name=value;name=value": each pair handed to `take`, which answers false for a value it cannot read.
template <typename Take>
void ParseSettings(const char* variable, Take take) {
    const char* text = std::getenv(variable);
    if (text == nullptr) return;
    std::string all = text;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find_first_of(";,", start);
        if (end == std::string::npos) end = all.size();
        std::string item = Trimmed(all.substr(start, end - start));
        start = end + 1;
        if (item.empty()) continue;
        size_t equals = item.find('=');
        std::string name = Trimmed(item.substr(0, equals));
        std::string value = equals == std::string::npos ? std::string() : Trimmed(item.substr(equals + 1));
        if (!KnownCall(name)) {
            std::fprintf(stderr, "tamsil: %s: \"%s\" is not a call of the network configuration stand-in\n", variable,
                         name.c_str());
        } else if (!take(name, value)) {
            std::fprintf(stderr, "tamsil: %s: \"%s\" is not a value for %s\n", variable, value.c_str(), name.c_str());
        }
    }
}

void ReadEnvironment(Controls& c) {
    if (c.environmentRead) return;
    c.environmentRead = true;
    ParseSettings("TAMSIL_NETCFG_ANSWERS", [&](const std::string& name, const std::string& value) {
        HRESULT code = 0;
        if (!ParseCode(value, code)) return false;
        c.answers[name] = code;
        return true;
    });
    ParseSettings("TAMSIL_NETCFG_DELAYS", [&](const std::string& name, const std::string& value) {
        char* end = nullptr;
        unsigned long ms = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || ms > 600000) return false;
        c.delays[name] = static_cast<DWORD>(ms);
        return true;
    });
    const char* trace = std::getenv("TAMSIL_NETCFG_TRACE");
    c.traceFile = trace != nullptr ? trace : "";
}

}  // namespace

bool NetCfgCallBegins(const std::string& call, HRESULT* answer) {
    Controls& c = Ctl();
    std::function<void(const std::string&)> observer;
    DWORD delay = 0;
    bool answered = false;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        ReadEnvironment(c);
        observer = c.observer;
        if (auto it = c.delays.find(call); it != c.delays.end()) delay = it->second;
        if (auto it = c.answers.find(call); it != c.answers.end()) {
            *answer = it->second;
            answered = true;
        }
    }
    if (observer) observer(call);
    if (delay != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return answered;
}

void NetCfgLog(const std::string& line) {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    ReadEnvironment(c);
    c.log.push_back(line);
    if (!c.traceFile.empty()) {
        std::ofstream out(c.traceFile, std::ios::app);
        out << line << '\n';
    }
}

std::string NetCfgResultName(HRESULT hr) {
    for (const NamedCode& named : kCodes)
        if (named.code == hr) return named.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<uint32_t>(hr));
    return buf;
}

std::string NetCfgGuidText(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool NetCfgParseGuid(const std::u16string& text, GUID& guid) {
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return false;
    std::string narrow;
    for (char16_t c : text) {
        if (c > 0x7F) return false;
        narrow += static_cast<char>(c);
    }
    for (size_t i = 1; i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? narrow[i] != '-' : !std::isxdigit(static_cast<unsigned char>(narrow[i]))) return false;
    }
    auto hex = [&](size_t at, size_t digits) { return std::strtoull(narrow.substr(at, digits).c_str(), nullptr, 16); };
    guid.Data1 = static_cast<uint32_t>(hex(1, 8));
    guid.Data2 = static_cast<uint16_t>(hex(10, 4));
    guid.Data3 = static_cast<uint16_t>(hex(15, 4));
    guid.Data4[0] = static_cast<uint8_t>(hex(20, 2));
    guid.Data4[1] = static_cast<uint8_t>(hex(22, 2));
    for (size_t i = 0; i < 6; ++i) guid.Data4[2 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
    return true;
}

DWORD NetCfgLockWait(DWORD requested) {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    return requested < c.lockWaitLimit ? requested : c.lockWaitLimit;
}

// ---- testing.h ----

void StandInNetCfgAnswer(const char* call, HRESULT answer) {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    ReadEnvironment(c);
    c.answers[call] = answer;
}

void StandInNetCfgDelay(const char* call, DWORD milliseconds) {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    ReadEnvironment(c);
    if (milliseconds == 0)
        c.delays.erase(call);
    else
        c.delays[call] = milliseconds;
}

void StandInNetCfgLimitLockWait(DWORD milliseconds) {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    c.lockWaitLimit = milliseconds;
}

void StandInNetCfgOnCall(std::function<void(const std::string& call)> observer) {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    c.observer = std::move(observer);
}

std::vector<std::string> StandInNetCfgCalls() {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.log;
}

void StandInClearNetCfg() {
    Controls& c = Ctl();
    std::lock_guard<std::mutex> guard(c.lock);
    c.environmentRead = true;  // the environment's settings are dropped too
    c.answers.clear();
    c.delays.clear();
    c.log.clear();
    c.observer = nullptr;
    c.lockWaitLimit = INFINITE;
}

std::string NetCfgIidName(const GUID& iid) {
    struct NamedGuid {
        const char* name;
        const GUID* guid;
    };
    static const NamedGuid kGuids[] = {
        {"IID_IUnknown", &IID_IUnknown},
        {"CLSID_CNetCfg", &CLSID_CNetCfg},
        {"IID_INetCfg", &IID_INetCfg},
        {"IID_INetCfgLock", &IID_INetCfgLock},
        {"IID_INetCfgComponent", &IID_INetCfgComponent},
        {"IID_INetCfgClass", &IID_INetCfgClass},
        {"IID_INetCfgClassSetup", &IID_INetCfgClassSetup},
    };
    for (const NamedGuid& named : kGuids)
        if (*named.guid == iid) return named.name;
    return NetCfgGuidText(iid);
}
