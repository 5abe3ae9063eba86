// The Service Control Manager over the stand-in registry.
//
// The database is HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services: each subkey with a REG_DWORD "Type"
// value is a service, named by its key name (never its DisplayName). Values read and written:
//   Type           REG_DWORD  the service type (e.g. 0x10, own process), as on Windows
//   Start          REG_DWORD  the start type; 4 (disabled) makes StartService fail with 1058, as on Windows
//   DisplayName    REG_SZ     not used here, as on Windows for these calls
//   DeleteFlag     REG_DWORD  1 once DeleteService has marked the service, as Windows writes it
//   StandInState   REG_DWORD  stand-in only: the current state, 1 (stopped) .. 7 (paused); missing = stopped
// So a .reg fixture installs "Network Vorel" in any state, and the state persists across processes through
// the TAMSIL_REGISTRY file. A stand-in service has no program: a start makes it run at once, a stop stops it.
//
// Rights: the manager with more than connect, enumerate and lock-status rights, and a service with more than
// query, interrogate and user-defined-control rights, need the Administrators group in the caller's token
// (the platform's default security). A service marked for deletion disappears (its key and subkeys are
// removed) when it is stopped and the last handle of this process to it is closed, or when a manager is
// opened and finds it stopped with no handle open here (as the platform removes it at start-up).
#include <strings.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "identity.h"
#include "immortal.h"
#include "testing.h"
#include "win32_registry.h"
#include "win32_security.h"
#include "win32_services.h"

namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
const char kStateValue[] = "StandInState";
const char kDeleteFlagValue[] = "DeleteFlag";
constexpr size_t kMaxServiceNameLength = 256;

// Rights that any authenticated user is granted; everything else needs the Administrators group.
constexpr DWORD kManagerUserRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS |
                                     READ_CONTROL;
constexpr DWORD kServiceUserRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

struct ScObject {
    bool manager;
    DWORD access;
    std::string service;  // the key name, for a service handle
};

std::mutex scmLock;  // guards the handle table and orders the read-change-write of a service's values
std::map<SC_HANDLE, std::unique_ptr<ScObject>>& Objects() {
    static auto& objects = Immortal<std::map<SC_HANDLE, std::unique_ptr<ScObject>>>();
    return objects;
}

DWORD MapManagerRights(DWORD access) {
    if (access & GENERIC_READ) access |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE) access |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE) access |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & GENERIC_ALL) access |= SC_MANAGER_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

DWORD MapServiceRights(DWORD access) {
    if (access & GENERIC_READ)
        access |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE) access |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        access |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    if (access & GENERIC_ALL) access |= SERVICE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// Grants `wanted` (already mapped) when the caller may have it; MAXIMUM_ALLOWED asks for all it may have.
std::optional<DWORD> Grant(DWORD wanted, DWORD userRights, DWORD allRights) {
    DWORD allowed = StandInIsAdministrator() ? allRights : userRights;
    if (wanted & MAXIMUM_ALLOWED) return (wanted & ~MAXIMUM_ALLOWED & ~allowed) ? std::nullopt : std::optional<DWORD>(allowed);
    if (wanted & ~allowed) return std::nullopt;
    return wanted;
}

// ---- The database in the registry ----

struct ServiceRecord {
    DWORD type = 0;
    DWORD start = SERVICE_DEMAND_START;
    DWORD state = SERVICE_STOPPED;
    bool markedForDelete = false;
};

std::string KeyPath(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }

std::optional<DWORD> ReadDword(HKEY key, const char* value) {
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS) return std::nullopt;
    if (type != REG_DWORD || size != sizeof data) return std::nullopt;
    return data;
}

// The service's record, or nullopt when no service of that key name is installed.
std::optional<ServiceRecord> ReadService(const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(name).c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
    ServiceRecord record;
    std::optional<DWORD> type = ReadDword(key, "Type");
    if (type) {
        record.type = *type;
        record.start = ReadDword(key, "Start").value_or(SERVICE_DEMAND_START);
        DWORD state = ReadDword(key, kStateValue).value_or(SERVICE_STOPPED);
        record.state = state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? state : SERVICE_STOPPED;
        record.markedForDelete = ReadDword(key, kDeleteFlagValue).value_or(0) != 0;
    }
    RegCloseKey(key);
    if (!type) return std::nullopt;
    return record;
}

DWORD WriteDword(const std::string& name, const char* value, DWORD data) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, KeyPath(name).c_str(), 0, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    status = RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

// RegDeleteKey removes only leaves: remove the subkeys first.
LONG DeleteKeyTree(HKEY parent, const std::string& name) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return status;
    for (;;) {
        char child[256];
        DWORD length = sizeof child;
        if (RegEnumKeyExA(key, 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (DeleteKeyTree(key, child) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    return RegDeleteKeyA(parent, name.c_str());
}

bool HandleOpenTo(const std::string& name) {
    for (const auto& [handle, object] : Objects())
        if (!object->manager && strcasecmp(object->service.c_str(), name.c_str()) == 0) return true;
    return false;
}

// Removes the service when it is marked for deletion, stopped, and no handle of this process names it.
void RemoveIfDone(const std::string& name) {
    std::optional<ServiceRecord> record = ReadService(name);
    if (!record || !record->markedForDelete || record->state != SERVICE_STOPPED || HandleOpenTo(name)) return;
    HKEY services = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ENUMERATE_SUB_KEYS, &services) != ERROR_SUCCESS) return;
    DeleteKeyTree(services, name);
    RegCloseKey(services);
}

// What the manager does at its start: services left marked and stopped go.
void SweepMarkedServices() {
    HKEY services = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ENUMERATE_SUB_KEYS, &services) != ERROR_SUCCESS) return;
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(services, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    RegCloseKey(services);
    for (const std::string& name : names) RemoveIfDone(name);
}

SERVICE_STATUS StatusOf(const ServiceRecord& record) {
    SERVICE_STATUS status{};
    status.dwServiceType = record.type;
    status.dwCurrentState = record.state;
    if (record.state == SERVICE_RUNNING || record.state == SERVICE_PAUSED)
        status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    return status;
}

// The object behind a handle, when it is of the wanted kind; sets the error otherwise.
ScObject* Lookup(SC_HANDLE handle, bool manager) {
    auto it = Objects().find(handle);
    if (it == Objects().end() || it->second->manager != manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second.get();
}

SC_HANDLE NewHandle(ScObject object) {
    auto owned = std::make_unique<ScObject>(std::move(object));
    auto handle = reinterpret_cast<SC_HANDLE>(owned.get());
    Objects().emplace(handle, std::move(owned));
    return handle;
}

}  // namespace

extern "C" SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (StandInCallFailsWithLastError("OpenSCManager")) return nullptr;
    if (lpMachineName != nullptr && *lpMachineName != '\0') {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);  // the stand-in knows no other machine
        return nullptr;
    }
    if (lpDatabaseName != nullptr && strcasecmp(lpDatabaseName, SERVICES_ACTIVE_DATABASEA) != 0) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);
        return nullptr;
    }
    std::optional<DWORD> granted = Grant(MapManagerRights(dwDesiredAccess) | SC_MANAGER_CONNECT, kManagerUserRights,
                                         SC_MANAGER_ALL_ACCESS);
    if (!granted) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(scmLock);
    if (StandInIsAdministrator()) SweepMarkedServices();
    SetLastError(ERROR_SUCCESS);
    return NewHandle(ScObject{true, *granted, std::string()});
}

extern "C" SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    if (StandInCallFailsWithLastError("OpenService")) return nullptr;
    std::lock_guard<std::mutex> guard(scmLock);
    if (Lookup(hSCManager, true) == nullptr) return nullptr;
    if (lpServiceName == nullptr) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return nullptr;
    }
    std::string name = lpServiceName;
    if (name.empty() || name.size() > kMaxServiceNameLength || name.find_first_of("\\/") != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!ReadService(name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    std::optional<DWORD> granted = Grant(MapServiceRights(dwDesiredAccess), kServiceUserRights, SERVICE_ALL_ACCESS);
    if (!granted) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return NewHandle(ScObject{false, *granted, name});
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    if (StandInCallFailsWithLastError("QueryServiceStatus")) return FALSE;
    std::lock_guard<std::mutex> guard(scmLock);
    ScObject* service = Lookup(hService, false);
    if (service == nullptr) return FALSE;
    if ((service->access & SERVICE_QUERY_STATUS) == 0) return StandInFailWith(ERROR_ACCESS_DENIED);
    if (lpServiceStatus == nullptr) return StandInFailWith(ERROR_INVALID_ADDRESS);
    std::optional<ServiceRecord> record = ReadService(service->service);
    if (!record) return StandInFailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    *lpServiceStatus = StatusOf(*record);
    return TRUE;
}

extern "C" BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    if (StandInCallFailsWithLastError("StartService")) return FALSE;
    std::lock_guard<std::mutex> guard(scmLock);
    ScObject* service = Lookup(hService, false);
    if (service == nullptr) return FALSE;
    if ((service->access & SERVICE_START) == 0) return StandInFailWith(ERROR_ACCESS_DENIED);
    if (dwNumServiceArgs != 0 && lpServiceArgVectors == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    std::optional<ServiceRecord> record = ReadService(service->service);
    if (!record) return StandInFailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    if (record->markedForDelete) return StandInFailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (record->start == SERVICE_DISABLED) return StandInFailWith(ERROR_SERVICE_DISABLED);
    if (record->state != SERVICE_STOPPED) return StandInFailWith(ERROR_SERVICE_ALREADY_RUNNING);
    DWORD status = WriteDword(service->service, kStateValue, SERVICE_RUNNING);
    if (status != ERROR_SUCCESS) return StandInFailWith(status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    if (StandInCallFailsWithLastError("ControlService")) return FALSE;
    std::lock_guard<std::mutex> guard(scmLock);
    ScObject* service = Lookup(hService, false);
    if (service == nullptr) return FALSE;
    DWORD needed = 0;
    switch (dwControl) {
        case SERVICE_CONTROL_STOP: needed = SERVICE_STOP; break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE: needed = SERVICE_PAUSE_CONTINUE; break;
        case SERVICE_CONTROL_INTERROGATE: needed = SERVICE_INTERROGATE; break;
        default:
            if (dwControl < 128 || dwControl > 255) return StandInFailWith(ERROR_INVALID_PARAMETER);
            needed = SERVICE_USER_DEFINED_CONTROL;
    }
    if ((service->access & needed) == 0) return StandInFailWith(ERROR_ACCESS_DENIED);
    if (lpServiceStatus == nullptr) return StandInFailWith(ERROR_INVALID_ADDRESS);
    std::optional<ServiceRecord> record = ReadService(service->service);
    if (!record) return StandInFailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    *lpServiceStatus = StatusOf(*record);
    if (record->state == SERVICE_STOPPED) return StandInFailWith(ERROR_SERVICE_NOT_ACTIVE);
    if (dwControl == SERVICE_CONTROL_INTERROGATE) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    // Pending states: the stand-in service accepts no control until it has settled.
    if (record->state != SERVICE_RUNNING && record->state != SERVICE_PAUSED) return StandInFailWith(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    DWORD newState = record->state;
    if (dwControl == SERVICE_CONTROL_STOP) newState = SERVICE_STOPPED;
    if (dwControl == SERVICE_CONTROL_PAUSE) newState = SERVICE_PAUSED;
    if (dwControl == SERVICE_CONTROL_CONTINUE) newState = SERVICE_RUNNING;
    if (newState != record->state) {
        DWORD status = WriteDword(service->service, kStateValue, newState);
        if (status != ERROR_SUCCESS) return StandInFailWith(status);
        record->state = newState;
    }
    *lpServiceStatus = StatusOf(*record);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE hService) {
    if (StandInCallFailsWithLastError("DeleteService")) return FALSE;
    std::lock_guard<std::mutex> guard(scmLock);
    ScObject* service = Lookup(hService, false);
    if (service == nullptr) return FALSE;
    if ((service->access & DELETE) == 0) return StandInFailWith(ERROR_ACCESS_DENIED);
    std::optional<ServiceRecord> record = ReadService(service->service);
    if (!record) return StandInFailWith(ERROR_SERVICE_DOES_NOT_EXIST);
    if (record->markedForDelete) return StandInFailWith(ERROR_SERVICE_MARKED_FOR_DELETE);
    DWORD status = WriteDword(service->service, kDeleteFlagValue, 1);
    if (status != ERROR_SUCCESS) return StandInFailWith(status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
    if (StandInCallFailsWithLastError("CloseServiceHandle")) return FALSE;
    std::lock_guard<std::mutex> guard(scmLock);
    auto it = Objects().find(hSCObject);
    if (it == Objects().end()) return StandInFailWith(ERROR_INVALID_HANDLE);
    std::string service = it->second->manager ? std::string() : it->second->service;
    Objects().erase(it);
    if (!service.empty()) RemoveIfDone(service);
    return TRUE;
}

size_t StandInOpenServiceHandleCount() {
    std::lock_guard<std::mutex> guard(scmLock);
    return Objects().size();
}

void StandInCloseAllServiceHandles() {
    std::lock_guard<std::mutex> guard(scmLock);
    std::vector<std::string> services;
    for (const auto& [handle, object] : Objects())
        if (!object->manager) services.push_back(object->service);
    Objects().clear();
    for (const std::string& service : services) RemoveIfDone(service);
}
