// Writing and removing the registry keys a test needs, through the registry calls themselves, so that the
// same test runs against the Linux stand-in and against Windows (Wine). Paths are under HKEY_LOCAL_MACHINE.
#pragma once

#include <string>
#include <vector>

#include "win32.h"

namespace registryseed {

using WString = std::basic_string<WCHAR>;

// ASCII text as UTF-16 units.
inline WString Wide(const std::string& text) {
    WString out;
    for (char c : text) out += static_cast<WCHAR>(static_cast<unsigned char>(c));
    return out;
}

// Creates the key (and its parents) and stores `bytes` bytes of `data` as value `name` of type `type`.
inline LONG SetValue(const std::string& path, const std::string& name, DWORD type, const void* data, DWORD bytes) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, Wide(name).c_str(), 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
    return status;
}

// A REG_SZ with its terminating NUL.
inline LONG SetString(const std::string& path, const std::string& name, const std::string& text) {
    WString wide = Wide(text);
    return SetValue(path, name, REG_SZ, wide.c_str(), static_cast<DWORD>((wide.size() + 1) * sizeof(WCHAR)));
}

// A REG_MULTI_SZ: each string with its NUL, then the closing empty string.
inline LONG SetMultiString(const std::string& path, const std::string& name, const std::vector<std::string>& strings) {
    WString data;
    for (const auto& s : strings) {
        data += Wide(s);
        data += WCHAR(0);
    }
    data += WCHAR(0);
    return SetValue(path, name, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(WCHAR)));
}

// Creates the key (and its parents) without values.
inline LONG CreateKey(const std::string& path) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status;
}

inline bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Removes the key and everything under it (RegDeleteKey removes only keys without subkeys).
// A key that does not exist counts as removed.
inline LONG DeleteTree(const std::string& path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::string> children;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD units = 256;
        if (RegEnumKeyExW(key, index, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::string narrow;
        for (DWORD i = 0; i < units; ++i) narrow += static_cast<char>(name[i]);
        children.push_back(narrow);
    }
    RegCloseKey(key);
    for (const auto& child : children) {
        if ((status = DeleteTree(path + "\\" + child)) != ERROR_SUCCESS) return status;
    }
    return RegDeleteKeyW(HKEY_LOCAL_MACHINE, Wide(path).c_str());
}

}  // namespace registryseed
