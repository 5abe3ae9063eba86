// Module loading: the stand-in's "system DLLs" are tables of its own functions.
#include <cstring>
#include <strings.h>

#include "faults.h"
#include "win32_base.h"
#include "win32_iphelper.h"
#include "win32_modules.h"

namespace {

struct ModuleExport {
    const char* name;
    FARPROC function;
};

// A function of any signature as the generic FARPROC, as the system's export table holds it.
template <typename Function>
FARPROC AsFarProc(Function* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

const ModuleExport kIpHelperExports[] = {
    {"GetAdaptersInfo", AsFarProc(&GetAdaptersInfo)},
    {"GetInterfaceInfo", AsFarProc(&GetInterfaceInfo)},
};

struct Module {
    const char* name;
    const ModuleExport* exports;
    size_t count;
};

const Module kModules[] = {
    {"iphlpapi", kIpHelperExports, sizeof kIpHelperExports / sizeof kIpHelperExports[0]},
};

const char kSystemDirectory[] = "C:\\WINDOWS\\system32";

// The name without the system directory and its separator; nullptr when it names another directory.
const char* InSystemDirectory(const char* asked) {
    const size_t length = sizeof kSystemDirectory - 1;
    if (strncasecmp(asked, kSystemDirectory, length) == 0 && asked[length] == '\\') return asked + length + 1;
    return strpbrk(asked, "\\/:") == nullptr ? asked : nullptr;
}

bool SameModuleName(const char* asked, const char* name) {
    size_t length = strlen(name);
    if (strncasecmp(asked, name, length) != 0) return false;
    return asked[length] == '\0' || strcasecmp(asked + length, ".dll") == 0;
}

}  // namespace

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (StandInCallFailsWithLastError("LoadLibrary")) return nullptr;
    const char* fileName = lpLibFileName != nullptr ? InSystemDirectory(lpLibFileName) : nullptr;
    if (fileName != nullptr) {
        for (const Module& module : kModules) {
            if (SameModuleName(fileName, module.name)) {
                return reinterpret_cast<HMODULE>(const_cast<Module*>(&module));
            }
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    if (StandInCallFailsWithLastError("GetSystemDirectory")) return 0;
    if (lpBuffer == nullptr || uSize < sizeof kSystemDirectory) return sizeof kSystemDirectory;
    std::memcpy(lpBuffer, kSystemDirectory, sizeof kSystemDirectory);
    return sizeof kSystemDirectory - 1;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    for (const Module& module : kModules) {
        if (reinterpret_cast<const Module*>(hModule) != &module || lpProcName == nullptr) continue;
        for (size_t i = 0; i < module.count; ++i) {
            if (strcmp(module.exports[i].name, lpProcName) == 0) return module.exports[i].function;
        }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
