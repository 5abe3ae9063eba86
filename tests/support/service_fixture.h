// .reg texts that install services in the stand-in's Service Control Manager (see platform/linux/services.cpp).
#pragma once

#include <cstdio>
#include <string>

#include "platform/win32.h"

namespace servicefixture {

inline std::string Header() { return "Windows Registry Editor Version 5.00\n\n"; }

inline std::string Dword(const char* name, DWORD value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "\"%s\"=dword:%08x\n", name, value);
    return buffer;
}

// A service under HKLM\SYSTEM\CurrentControlSet\Services\<keyName> in `state`, with a Parameters subkey, and
// beside it another service "Other" that must survive whatever happens to this one.
inline std::string Service(const std::string& keyName, DWORD state, const std::string& displayName = "",
                           bool withState = true, DWORD start = SERVICE_DEMAND_START, bool marked = false) {
    std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + keyName + "]\n";
    std::string text = key + Dword("Type", SERVICE_WIN32_OWN_PROCESS) + Dword("Start", start) +
                       Dword("ErrorControl", 1) + "\"ImagePath\"=\"C:\\\\Vorel\\\\vorelsvc.exe\"\n" + "\"DisplayName\"=\"" +
                       (displayName.empty() ? keyName : displayName) + "\"\n";
    if (withState) text += Dword("StandInState", state);
    if (marked) text += Dword("DeleteFlag", 1);
    text += "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + keyName + "\\Parameters]\n\"Home\"=\"C:\\\\Vorel\"\n\n";
    text += "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Other]\n" + Dword("Type", SERVICE_WIN32_OWN_PROCESS) +
            Dword("StandInState", SERVICE_RUNNING) + "\n";
    return text;
}

// A key under Services without a Type value: not a service (the packet driver's Linkage key, say).
inline std::string LinkageOnly(const std::string& keyName) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + keyName + "\\Linkage]\n\"Export\"=\"x\"\n\n";
}

}  // namespace servicefixture
