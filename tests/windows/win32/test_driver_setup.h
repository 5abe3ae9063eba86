// The test packet driver (tests/windows/driver) from a Windows program under Wine: installed as the kernel
// service NetVorel and removed again, scripted through its control device; and, because Wine 8.0's own
// DefineDosDevice cannot take the packet devices' names, what Windows does for DefineDosDevice with
// DDD_RAW_TARGET_PATH, for tamsil.dll's imports to be pointed at. Used by the Wine test and the benchmark.
#pragma once

#include "win32.h"

#include <winioctl.h>
#include <winternl.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "windows/driver/test_driver_control.h"
#include "windows/registry_seed.h"
#include "windows/win32/program_files.h"
#include "windows/win32/wine_imports.h"

namespace testdriver {

using Bytes = std::vector<unsigned char>;

const char kLinkage[] = "SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage";
const char kDriverFile[] = "netvorel_test.sys";

// ---- What Windows does for DefineDosDevice(DDD_RAW_TARGET_PATH): a symbolic link \??\<name> -> target ----
// Wine 8.0's own DefineDosDeviceW overruns a 15-character buffer with names like Packet_NetVorel_<id>, so under
// Wine tamsil.dll's imports of DefineDosDeviceA/W come here. A link lives while its handle is open; defining a
// name again replaces it.
struct DosDeviceCall {
    DWORD flags;
    std::string device;
    std::string target;
};
inline std::vector<DosDeviceCall> g_defined;
inline std::map<std::string, HANDLE> g_links;

using NtCreateSymbolicLinkObjectFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);

inline BOOL DefineLink(DWORD flags, const std::string& device, const std::string& target) {
    g_defined.push_back({flags, device, target});
    if (flags != DDD_RAW_TARGET_PATH) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto create = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateSymbolicLinkObject")));
    std::wstring name = L"\\??\\", to;
    for (char c : device) name += static_cast<wchar_t>(static_cast<unsigned char>(c));
    for (char c : target) to += static_cast<wchar_t>(static_cast<unsigned char>(c));
    UNICODE_STRING nameString{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    UNICODE_STRING targetString{static_cast<USHORT>(to.size() * 2), static_cast<USHORT>(to.size() * 2), to.data()};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &nameString;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    if (auto old = g_links.find(device); old != g_links.end()) {
        CloseHandle(old->second);
        g_links.erase(old);
    }
    HANDLE link = nullptr;
    NTSTATUS status = create(&link, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attributes, &targetString);
    if (status < 0) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    g_links[device] = link;
    return TRUE;
}

inline BOOL WINAPI DefineDosDeviceALinked(DWORD flags, LPCSTR device, LPCSTR target) {
    return DefineLink(flags, device != nullptr ? device : "", target != nullptr ? target : "");
}

inline BOOL WINAPI DefineDosDeviceWLinked(DWORD flags, LPCWSTR device, LPCWSTR target) {
    auto narrow = [](LPCWSTR text) {
        std::string out;
        for (; text != nullptr && *text != 0; ++text) out += static_cast<char>(*text);
        return out;
    };
    return DefineLink(flags, narrow(device), narrow(target));
}

inline void CloseLinks() {
    for (auto& link : g_links) CloseHandle(link.second);
    g_links.clear();
}

// Under Wine, points `library`'s imports of DefineDosDeviceA/W at the two above (elsewhere nothing changes).
inline void LinkDosDevicesOf(HMODULE library) {
    if (library == nullptr || !RunningOnWine()) return;
    ReplaceImport(library, "kernel32.dll", "DefineDosDeviceA", reinterpret_cast<void*>(&DefineDosDeviceALinked));
    ReplaceImport(library, "kernel32.dll", "DefineDosDeviceW", reinterpret_cast<void*>(&DefineDosDeviceWLinked));
}

// ---- The driver, installed and scripted ----
// Waits until `service` reports `wanted`; false after 10 s.
inline bool WaitForServiceState(SC_HANDLE service, DWORD wanted) {
    for (int i = 0; i < 1000; ++i) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status)) return false;
        if (status.dwCurrentState == wanted) return true;
        Sleep(10);
    }
    return false;
}

// The Service Control Manager may answer 1055 (database locked) right after the prefix is made: try again.
template <typename Call>
inline auto RetryWhileLocked(Call call) {
    for (int i = 0;; ++i) {
        auto result = call();
        if (result || GetLastError() != ERROR_SERVICE_DATABASE_LOCKED || i == 100) return result;
        Sleep(100);
    }
}

// Creates the kernel service NetVorel; nullptr with the error set when that fails. A service that a 32-bit
// program creates is marked WOW64, and Wine then starts it in its 32-bit driver host, which cannot load a 64-bit
// driver (1114): a 32-bit program has the 64-bit sc.exe (through sysnative) create it.
inline SC_HANDLE CreateDriverService(SC_HANDLE manager) {
    std::string image = std::string("\\SystemRoot\\system32\\drivers\\") + kDriverFile;
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) {
        return CreateServiceA(manager, NETVOREL_TEST_SERVICE, NETVOREL_TEST_SERVICE, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                              SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, image.c_str(), nullptr, nullptr, nullptr, nullptr,
                              nullptr);
    }
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string command = std::string(windows) + "\\sysnative\\sc.exe create " NETVOREL_TEST_SERVICE
                          " type= kernel start= demand error= ignore binPath= " + image;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return nullptr;
    DWORD code = ERROR_TIMEOUT;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != ERROR_SUCCESS) {
        SetLastError(code);  // sc.exe's exit code is the error, 1073 when the service exists
        return nullptr;
    }
    return OpenServiceA(manager, NETVOREL_TEST_SERVICE, SERVICE_ALL_ACCESS);
}

// Copies the driver into system32\drivers (the 64-bit one: a 32-bit program's view is redirected), registers
// it as the kernel service NetVorel, writes its Linkage Export and starts it. An empty string when it runs.
inline std::string InstallDriver(const std::vector<std::string>& exports) {
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    PVOID redirection = nullptr;
    BOOL redirected = Wow64DisableWow64FsRedirection(&redirection);
    BOOL copied = CopyFileA(Beside(kDriverFile).c_str(),
                            (std::string(windows) + "\\system32\\drivers\\" + kDriverFile).c_str(), FALSE);
    DWORD copyError = GetLastError();
    if (redirected) Wow64RevertWow64FsRedirection(redirection);
    if (!copied) return "copying the driver failed with " + std::to_string(copyError);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return "OpenSCManager failed with " + std::to_string(GetLastError());
    SC_HANDLE service = RetryWhileLocked([&] { return CreateDriverService(manager); });
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS)
        service = OpenServiceA(manager, NETVOREL_TEST_SERVICE, SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    // Left running by an earlier run in this prefix: stopped, so that it reads the new Export as it starts.
    if (service != nullptr && ControlService(service, SERVICE_CONTROL_STOP, &status)) WaitForServiceState(service, SERVICE_STOPPED);
    std::string error;
    if (service == nullptr) {
        error = "CreateService failed with " + std::to_string(GetLastError());
    } else if (registryseed::SetMultiString(kLinkage, "Export", exports) != ERROR_SUCCESS) {
        error = "writing Linkage Export failed";
    } else if (!RetryWhileLocked([&] { return StartServiceA(service, 0, nullptr); })) {
        error = "StartService failed with " + std::to_string(GetLastError());
    }
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}

inline void RemoveDriver() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    if (SC_HANDLE service = OpenServiceA(manager, NETVOREL_TEST_SERVICE, SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status{};
        if (ControlService(service, SERVICE_CONTROL_STOP, &status)) WaitForServiceState(service, SERVICE_STOPPED);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    registryseed::DeleteTree(kLinkage);
}

inline HANDLE g_control = INVALID_HANDLE_VALUE;

inline bool Control(DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes) {
    DWORD returned = 0;
    return DeviceIoControl(g_control, code, const_cast<void*>(in), inBytes, out, outBytes, &returned, nullptr) != FALSE;
}

// The next read of a packet device delivers `block` (`repeats` reads; 0: every read until a reset), or fails
// with `status`. False when the driver refused it.
inline bool Queue(const Bytes& block, ULONG status = 0, ULONG repeats = 1) {
    Bytes in(sizeof(NETVOREL_TEST_READ));
    NETVOREL_TEST_READ read{status, repeats};
    std::memcpy(in.data(), &read, sizeof read);
    in.insert(in.end(), block.begin(), block.end());
    return Control(IOCTL_NETVOREL_TEST_QUEUE, in.data(), static_cast<DWORD>(in.size()), nullptr, 0);
}

inline bool QueryDriver(NETVOREL_TEST_STATE* state) { return Control(IOCTL_NETVOREL_TEST_STATE, nullptr, 0, state, sizeof *state); }

inline bool ResetDriver() { return Control(IOCTL_NETVOREL_TEST_RESET, nullptr, 0, nullptr, 0); }

inline bool RefuseOid() { return Control(IOCTL_NETVOREL_TEST_REFUSE_OID, nullptr, 0, nullptr, 0); }

inline bool PendOid() { return Control(IOCTL_NETVOREL_TEST_PEND_OID, nullptr, 0, nullptr, 0); }

inline bool CompleteOid() { return Control(IOCTL_NETVOREL_TEST_COMPLETE_OID, nullptr, 0, nullptr, 0); }

// Opens the control device into g_control; an empty string when it is open.
inline std::string OpenControlDevice() {
    g_control = CreateFileA(NETVOREL_TEST_CONTROL_FILE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_control == INVALID_HANDLE_VALUE) return "opening the control device failed with " + std::to_string(GetLastError());
    return "";
}

inline void CloseControlDevice() {
    if (g_control != INVALID_HANDLE_VALUE) CloseHandle(g_control);
    g_control = INVALID_HANDLE_VALUE;
}

}  // namespace testdriver
