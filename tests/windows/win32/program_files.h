// The files the Windows tests take from beside the running program, where the build puts them.
#pragma once

#include <windows.h>

#include <string>

// The full path of the file `name` beside this program.
inline std::string Beside(const char* name) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n);
    return self.substr(0, self.find_last_of('\\') + 1) + name;
}
