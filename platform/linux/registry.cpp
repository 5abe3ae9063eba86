// Registry calls over the in-memory tree. Handles name keys by path, so a handle to a deleted key fails
// cleanly. When TAMSIL_REGISTRY names a file, the tree is loaded from it at first use, reloaded when another
// process has changed it, and every change is written back atomically under a lock file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "faults.h"
#include "identity.h"
#include "immortal.h"
#include "registry_tree.h"
#include "testing.h"
#include "unicode.h"
#include "win32_registry.h"

namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER |
                                GENERIC_WRITE | GENERIC_ALL;

struct OpenKey {
    int root;
    std::vector<std::u16string> path;
    REGSAM access;
};

struct Registry {
    std::mutex lock;
    bool loaded = false;
    std::string file;        // backing file; empty when none
    bool fileWritable = true;  // false after the file failed to parse: never overwrite what we could not read
    bool haveStamp = false;
    struct stat stamp {};
    RegTree tree;
    std::map<uintptr_t, OpenKey> handles;
    uintptr_t nextHandle = 0x1000;
};

Registry& Reg() {
    static Registry& registry = Immortal<Registry>();
    return registry;
}

bool SameStamp(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// regedit writes UTF-16LE with a BOM; accept that as well as UTF-8.
std::string DecodeFileText(const std::string& raw) {
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
        std::u16string wide((raw.size() - 2) / 2, u'\0');
        std::memcpy(wide.data(), raw.data() + 2, wide.size() * 2);
        return Utf16ToUtf8(wide);
    }
    return raw;
}

void LoadText(Registry& r, std::string_view text, const char* sourceName, bool& ok) {
    r.tree.Clear();
    std::string error;
    int line = 0;
    ok = ParseRegText(text, r.tree, error, line);
    if (!ok) {
        std::fprintf(stderr, "tamsil: registry file %s, line %d: %s; starting with an empty registry\n", sourceName, line,
                     error.c_str());
        r.tree.Clear();
    }
}

void LoadFile(Registry& r) {
    r.haveStamp = false;
    r.fileWritable = true;
    int fd = open(r.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        r.tree.Clear();  // a missing file is an empty registry; the first change creates it
        return;
    }
    struct stat st {};
    fstat(fd, &st);
    std::string raw;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) raw.append(buf, static_cast<size_t>(n));
    close(fd);
    bool ok = true;
    LoadText(r, DecodeFileText(raw), r.file.c_str(), ok);
    r.fileWritable = ok;
    r.stamp = st;
    r.haveStamp = true;
}

// Brings the tree up to date with its file. Called with the lock held.
void Sync(Registry& r) {
    if (!r.loaded) {
        r.loaded = true;
        const char* file = std::getenv("TAMSIL_REGISTRY");
        r.file = file != nullptr ? file : "";
        if (!r.file.empty()) LoadFile(r);
        return;
    }
    if (r.file.empty()) return;
    struct stat st {};
    bool exists = stat(r.file.c_str(), &st) == 0;
    if (exists != r.haveStamp || (exists && !SameStamp(st, r.stamp))) LoadFile(r);
}

void WriteBack(Registry& r) {
    if (r.file.empty() || !r.fileWritable) return;
    std::string text = FormatRegText(r.tree);
    std::string temp = r.file + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            std::fprintf(stderr, "tamsil: cannot write the registry file %s\n", r.file.c_str());
            return;
        }
    }
    if (rename(temp.c_str(), r.file.c_str()) != 0) {
        std::fprintf(stderr, "tamsil: cannot replace the registry file %s\n", r.file.c_str());
        unlink(temp.c_str());
        return;
    }
    r.haveStamp = stat(r.file.c_str(), &r.stamp) == 0;
}

// Serialises changes between processes sharing one registry file.
class FileLock {
public:
    explicit FileLock(const std::string& file) {
        if (file.empty()) return;
        fd_ = open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0) close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

int PredefinedRoot(HKEY key) {
    switch (reinterpret_cast<uintptr_t>(key)) {
        case static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<LONG>(0x80000000))): return kClassesRoot;
        case static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<LONG>(0x80000001))): return kCurrentUser;
        case static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<LONG>(0x80000002))): return kLocalMachine;
        case static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<LONG>(0x80000003))): return kUsers;
        case static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<LONG>(0x80000005))): return kCurrentConfig;
        default: return -1;
    }
}

// Resolves a handle to its open-key record; predefined keys have every right.
bool Resolve(Registry& r, HKEY key, OpenKey& out) {
    int root = PredefinedRoot(key);
    if (root >= 0) {
        out = OpenKey{root, {}, KEY_ALL_ACCESS};
        return true;
    }
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(key));
    if (it == r.handles.end()) return false;
    out = it->second;
    return true;
}

LONG SplitSubKey(const std::u16string& subKey, std::vector<std::u16string>& parts) {
    parts.clear();
    if (subKey.empty()) return ERROR_SUCCESS;
    if (subKey.front() == u'\\') return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start <= subKey.size()) {
        size_t end = subKey.find(u'\\', start);
        if (end == std::u16string::npos) end = subKey.size();
        if (end > start) parts.push_back(subKey.substr(start, end - start));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// Writing under HKEY_LOCAL_MACHINE needs the Administrators group, as the default key security grants.
bool MayWrite(int root) { return root != kLocalMachine || StandInIsAdministrator(); }

HKEY NewHandle(Registry& r, OpenKey key) {
    uintptr_t value = r.nextHandle;
    r.nextHandle += 4;
    r.handles.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

std::u16string WideArg(LPCWSTR text) { return text != nullptr ? std::u16string(text) : std::u16string(); }
std::u16string NarrowArg(LPCSTR text) { return text != nullptr ? Utf8ToUtf16(text) : std::u16string(); }

LONG OpenKeyCommon(HKEY hKey, const std::u16string& subKey, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    if (StandInCallFails("RegOpenKeyEx", &error)) return static_cast<LONG>(error);
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Sync(r);
    OpenKey parent;
    if (!Resolve(r, hKey, parent)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> parts;
    if (LONG status = SplitSubKey(subKey, parts); status != ERROR_SUCCESS) return status;
    if (FindKey(r.tree.roots[parent.root], parent.path, false) == nullptr) return ERROR_KEY_DELETED;
    OpenKey child{parent.root, parent.path, samDesired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY)};
    child.path.insert(child.path.end(), parts.begin(), parts.end());
    RegKey* key = FindKey(r.tree.roots[child.root], child.path, false);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    if ((child.access & kWriteRights) != 0 && !MayWrite(child.root)) return ERROR_ACCESS_DENIED;
    // keep the names' stored spelling so that paths stay exact
    *phkResult = NewHandle(r, std::move(child));
    return ERROR_SUCCESS;
}

LONG CreateKeyCommon(HKEY hKey, const std::u16string& subKey, REGSAM samDesired, PHKEY phkResult, LPDWORD disposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    if (StandInCallFails("RegCreateKeyEx", &error)) return static_cast<LONG>(error);
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.loaded) Sync(r);
    FileLock fileLock(r.file);
    Sync(r);
    OpenKey parent;
    if (!Resolve(r, hKey, parent)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> parts;
    if (LONG status = SplitSubKey(subKey, parts); status != ERROR_SUCCESS) return status;
    if (FindKey(r.tree.roots[parent.root], parent.path, false) == nullptr) return ERROR_KEY_DELETED;
    OpenKey child{parent.root, parent.path, samDesired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY)};
    child.path.insert(child.path.end(), parts.begin(), parts.end());
    bool exists = FindKey(r.tree.roots[child.root], child.path, false) != nullptr;
    if (!MayWrite(child.root) && (!exists || (child.access & kWriteRights) != 0)) return ERROR_ACCESS_DENIED;
    if (!exists) {
        FindKey(r.tree.roots[child.root], child.path, true);
        WriteBack(r);
    }
    if (disposition != nullptr) *disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *phkResult = NewHandle(r, std::move(child));
    return ERROR_SUCCESS;
}

// Converts stored string data to the ANSI (UTF-8) form the A calls hand out.
std::vector<BYTE> ToNarrowData(const RegValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) return value.data;
    std::u16string wide(value.data.size() / 2, u'\0');
    std::memcpy(wide.data(), value.data.data(), wide.size() * 2);
    std::string narrow = Utf16ToUtf8(wide);
    return std::vector<BYTE>(narrow.begin(), narrow.end());
}

LONG QueryValueCommon(HKEY hKey, const std::u16string& name, bool narrow, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    if (StandInCallFails("RegQueryValueEx", &error)) return static_cast<LONG>(error);
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Sync(r);
    OpenKey open;
    if (!Resolve(r, hKey, open)) return ERROR_INVALID_HANDLE;
    if ((open.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    RegKey* key = FindKey(r.tree.roots[open.root], open.path, false);
    if (key == nullptr) return ERROR_KEY_DELETED;
    auto it = key->values.find(name);
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
    std::vector<BYTE> data = narrow ? ToNarrowData(it->second) : it->second.data;
    if (lpType != nullptr) *lpType = it->second.type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(data.size());
    if (lpData != nullptr && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData != nullptr && size != 0) std::memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

template <typename Change>
LONG Mutate(HKEY hKey, REGSAM needed, Change change) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.loaded) Sync(r);
    FileLock fileLock(r.file);
    Sync(r);
    OpenKey open;
    if (!Resolve(r, hKey, open)) return ERROR_INVALID_HANDLE;
    if ((open.access & needed) != needed) return ERROR_ACCESS_DENIED;
    RegKey* key = FindKey(r.tree.roots[open.root], open.path, false);
    if (key == nullptr) return ERROR_KEY_DELETED;
    LONG status = change(*key, open);
    if (status == ERROR_SUCCESS) WriteBack(r);
    return status;
}

LONG SetValueCommon(HKEY hKey, const std::u16string& name, DWORD type, const BYTE* lpData, DWORD cbData, bool narrow) {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    DWORD error = 0;
    if (StandInCallFails("RegSetValueEx", &error)) return static_cast<LONG>(error);
    RegValue value;
    value.name = name;
    value.type = type;
    if (narrow && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
        std::u16string wide = Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
        value.data.assign(reinterpret_cast<const BYTE*>(wide.data()), reinterpret_cast<const BYTE*>(wide.data() + wide.size()));
    } else if (cbData != 0) {
        value.data.assign(lpData, lpData + cbData);
    }
    return Mutate(hKey, KEY_SET_VALUE, [&](RegKey& key, const OpenKey&) {
        key.values[name] = std::move(value);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG DeleteValueCommon(HKEY hKey, const std::u16string& name) {
    DWORD error = 0;
    if (StandInCallFails("RegDeleteValue", &error)) return static_cast<LONG>(error);
    return Mutate(hKey, KEY_SET_VALUE, [&](RegKey& key, const OpenKey&) {
        return static_cast<LONG>(key.values.erase(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    });
}

// Deletes a subkey that has no subkeys of its own, as RegDeleteKey does.
LONG DeleteKeyCommon(HKEY hKey, const std::u16string& subKey) {
    std::vector<std::u16string> parts;
    if (LONG status = SplitSubKey(subKey, parts); status != ERROR_SUCCESS) return status;
    if (parts.empty()) return ERROR_ACCESS_DENIED;
    return Mutate(hKey, 0, [&](RegKey& key, const OpenKey& open) {
        if (!MayWrite(open.root)) return static_cast<LONG>(ERROR_ACCESS_DENIED);
        std::vector<std::u16string> parentPath(parts.begin(), parts.end() - 1);
        RegKey* parent = FindKey(key, parentPath, false);
        if (parent == nullptr) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        auto it = parent->subkeys.find(parts.back());
        if (it == parent->subkeys.end()) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        if (!it->second->subkeys.empty()) return static_cast<LONG>(ERROR_ACCESS_DENIED);
        parent->subkeys.erase(it);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

// Finds the name of subkey `index` in enumeration order (sorted, case-insensitive).
LONG EnumKeyName(HKEY hKey, DWORD index, std::u16string& name) {
    DWORD error = 0;
    if (StandInCallFails("RegEnumKeyEx", &error)) return static_cast<LONG>(error);
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Sync(r);
    OpenKey open;
    if (!Resolve(r, hKey, open)) return ERROR_INVALID_HANDLE;
    if ((open.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    RegKey* key = FindKey(r.tree.roots[open.root], open.path, false);
    if (key == nullptr) return ERROR_KEY_DELETED;
    if (index >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    auto it = key->subkeys.begin();
    std::advance(it, index);
    name = it->second->name;
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return OpenKeyCommon(hKey, WideArg(lpSubKey), samDesired, phkResult);
}

extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return OpenKeyCommon(hKey, NarrowArg(lpSubKey), samDesired, phkResult);
}

extern "C" LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                                       const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return CreateKeyCommon(hKey, WideArg(lpSubKey), samDesired, phkResult, lpdwDisposition);
}

extern "C" LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                                       const SECURITY_ATTRIBUTES*, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return CreateKeyCommon(hKey, NarrowArg(lpSubKey), samDesired, phkResult, lpdwDisposition);
}

extern "C" LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                        LPDWORD lpcbData) {
    return QueryValueCommon(hKey, WideArg(lpValueName), false, lpReserved, lpType, lpData, lpcbData);
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                        LPDWORD lpcbData) {
    return QueryValueCommon(hKey, NarrowArg(lpValueName), true, lpReserved, lpType, lpData, lpcbData);
}

extern "C" LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return SetValueCommon(hKey, WideArg(lpValueName), dwType, lpData, cbData, false);
}

extern "C" LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    return SetValueCommon(hKey, NarrowArg(lpValueName), dwType, lpData, cbData, true);
}

extern "C" LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) { return DeleteValueCommon(hKey, WideArg(lpValueName)); }
extern "C" LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) { return DeleteValueCommon(hKey, NarrowArg(lpValueName)); }
extern "C" LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) { return DeleteKeyCommon(hKey, WideArg(lpSubKey)); }
extern "C" LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return DeleteKeyCommon(hKey, NarrowArg(lpSubKey)); }

extern "C" LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR,
                                     LPDWORD, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::u16string name;
    if (LONG status = EnumKeyName(hKey, dwIndex, name); status != ERROR_SUCCESS) return status;
    if (name.size() >= *lpcchName) return ERROR_MORE_DATA;  // the name and its NUL must fit
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR,
                                     LPDWORD, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::u16string wide;
    if (LONG status = EnumKeyName(hKey, dwIndex, wide); status != ERROR_SUCCESS) return status;
    std::string name = Utf16ToUtf8(wide);
    if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey) {
    DWORD error = 0;
    if (StandInCallFails("RegCloseKey", &error)) return static_cast<LONG>(error);
    if (PredefinedRoot(hKey) >= 0) return ERROR_SUCCESS;
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

bool StandInLoadRegistryText(std::string_view regText, const char* sourceName) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    r.loaded = true;
    r.file.clear();
    r.haveStamp = false;
    bool ok = true;
    LoadText(r, regText, sourceName, ok);
    return ok;
}

void StandInResetRegistry() {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    r.loaded = false;
    r.file.clear();
    r.haveStamp = false;
    r.tree.Clear();
}

std::string StandInRegistryText() {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    Sync(r);
    return FormatRegText(r.tree);
}

size_t StandInOpenRegistryHandles() {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.handles.size();
}
