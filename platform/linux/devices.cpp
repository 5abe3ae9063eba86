// Device I/O: the DOS device namespace, CreateFile on devices with share modes, overlapped reads
// (ReadFile, GetOverlappedResult) and DeviceIoControl, over the device objects of device_objects.h.
//
// A pending read is driven by the thread that waits for it (GetOverlappedResult with bWait, or
// WaitForSingleObject on its event): that thread fills the buffer from the device object, so a block costs no
// thread hand-over. CloseHandle on the device wakes that thread, which then fails the read with
// ERROR_OPERATION_ABORTED; a read that nobody is waiting for is failed by CloseHandle itself.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "device_objects.h"
#include "faults.h"
#include "handles.h"
#include "immortal.h"
#include "testing.h"
#include "text.h"
#include "unicode.h"
#include "win32_devices.h"

namespace {

constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusFromWin32 = 0xC0070000u;  // NTSTATUS facility NTWIN32 carries a Win32 error
constexpr DWORD kSetOidCode = 0x80000000u;
constexpr DWORD kOidCurrentPacketFilter = 0x0001010Eu;
constexpr DWORD kOidHeaderBytes = 8;
constexpr size_t kCreateFileLogLength = 256;

ULONG_PTR StatusOf(DWORD error) { return error == 0 ? 0 : (kStatusFromWin32 | (error & 0xFFFFu)); }

DWORD ErrorOf(ULONG_PTR status) {
    if (status == 0) return 0;
    if ((status & 0xFFFF0000u) == kStatusFromWin32) return static_cast<DWORD>(status & 0xFFFFu);
    return ERROR_GEN_FAILURE;
}

// The OVERLAPPED block is written by the completing thread and read by the waiting one.
void StoreStatus(OVERLAPPED* ov, DWORD error, DWORD bytes) {
    __atomic_store_n(&ov->InternalHigh, static_cast<ULONG_PTR>(bytes), __ATOMIC_RELAXED);
    __atomic_store_n(&ov->Internal, StatusOf(error), __ATOMIC_RELEASE);
}
ULONG_PTR LoadStatus(OVERLAPPED* ov) { return __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE); }
DWORD LoadBytes(OVERLAPPED* ov) { return static_cast<DWORD>(__atomic_load_n(&ov->InternalHigh, __ATOMIC_RELAXED)); }

DWORD ReadLE32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

// ---- Open devices ----

class DeviceHandle : public HandleObject {
public:
    DeviceHandle(std::string objectKey, DWORD desiredAccess, DWORD shareMode, bool isOverlapped,
                 std::unique_ptr<DeviceSource> deviceSource, int closeFd)
        : key(std::move(objectKey)), access(desiredAccess), share(shareMode), overlapped(isOverlapped),
          source(std::move(deviceSource)), wakeFd(closeFd) {}
    ~DeviceHandle() override {
        source.reset();
        ::close(wakeFd);
    }
    void Close() override;

    struct Pending {
        bool active = false;
        BYTE* buffer = nullptr;
        DWORD length = 0;
        OVERLAPPED* ov = nullptr;
        std::shared_ptr<EventObject> event;
    };

    const std::string key;  // folded device object path
    const DWORD access;
    const DWORD share;
    const bool overlapped;
    std::unique_ptr<DeviceSource> source;
    const int wakeFd;
    std::atomic<bool> closed{false};
    std::mutex stateLock;  // guards pending and pumping
    std::condition_variable pumpFree;
    bool pumping = false;  // a thread is filling the pending read
    Pending pending;

    // Takes the right to fill the pending read, waiting for it until `deadline` (none: as long as it takes).
    bool TakePump(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
        std::unique_lock<std::mutex> guard(stateLock);
        if (!deadline)
            pumpFree.wait(guard, [this] { return !pumping; });
        else if (!pumpFree.wait_until(guard, *deadline, [this] { return !pumping; }))
            return false;
        pumping = true;
        return true;
    }
    bool TryTakePump() {
        std::lock_guard<std::mutex> guard(stateLock);
        if (pumping) return false;
        pumping = true;
        return true;
    }
    void GivePump() {
        {
            std::lock_guard<std::mutex> guard(stateLock);
            pumping = false;
        }
        pumpFree.notify_all();
    }
};

struct OpenRecord {
    const DeviceHandle* device;
    DWORD access;
    DWORD share;
};

struct Definition {
    std::string target;
    bool raw;
};

struct DosName {
    std::string name;                 // as first defined
    std::vector<Definition> targets;  // newest last
};

struct Devices {
    std::mutex lock;
    std::map<std::string, DosName> names;                  // by folded name
    std::map<std::string, std::vector<OpenRecord>> opens;  // by folded device object path
    std::vector<std::string> createFileLog;  // the last kCreateFileLogLength paths given to CreateFile
};

Devices& Dev() {
    static Devices& devices = Immortal<Devices>();
    return devices;
}

// Reads waiting to complete, by their OVERLAPPED block (the key GetOverlappedResult has).
std::mutex pendingLock;
std::vector<std::pair<OVERLAPPED*, std::shared_ptr<DeviceHandle>>>& PendingReads() {
    static auto& reads = Immortal<std::vector<std::pair<OVERLAPPED*, std::shared_ptr<DeviceHandle>>>>();
    return reads;
}

std::shared_ptr<DeviceHandle> FindPending(OVERLAPPED* ov) {
    std::lock_guard<std::mutex> guard(pendingLock);
    for (auto& entry : PendingReads())
        if (entry.first == ov) return entry.second;
    return nullptr;
}

// Completes the pending read of `device`, if any: status into its OVERLAPPED block, then its event.
// All under stateLock, so that a new read on the same block and event cannot be confused with this one.
void Complete(DeviceHandle& device, DWORD error, DWORD bytes) {
    std::lock_guard<std::mutex> guard(device.stateLock);
    DeviceHandle::Pending& p = device.pending;
    if (!p.active) return;
    {
        std::lock_guard<std::mutex> pendingGuard(pendingLock);
        auto& reads = PendingReads();
        for (auto it = reads.begin(); it != reads.end(); ++it)
            if (it->first == p.ov && it->second.get() == &device) {
                reads.erase(it);
                break;
            }
    }
    if (p.event) StandInClearEventWaitHook(*p.event, &device);
    StoreStatus(p.ov, error, bytes);
    p.active = false;
    p.buffer = nullptr;
    p.ov = nullptr;
    if (p.event) StandInSignalEvent(*p.event);
    p.event.reset();
}

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// With the pump held: fills the pending read on `ov` from the device object, waiting until `deadline`. True
// once it is complete.
bool FillPending(const std::shared_ptr<DeviceHandle>& device, OVERLAPPED* ov, Deadline deadline) {
    BYTE* buffer;
    DWORD length;
    {
        std::lock_guard<std::mutex> guard(device->stateLock);
        if (!device->pending.active || device->pending.ov != ov) return true;
        buffer = device->pending.buffer;
        length = device->pending.length;
    }
    ReadOutcome outcome;
    if (device->closed.load())
        outcome = ReadFailed(ERROR_OPERATION_ABORTED);
    else if (length < kSmallestRead)
        outcome = ReadFailed(ERROR_INSUFFICIENT_BUFFER);
    else
        outcome = device->source->Read(buffer, length, ReadContext{device->wakeFd, &device->closed, deadline});
    if (!outcome.complete) return false;
    Complete(*device, outcome.error, outcome.bytes);
    return true;
}

// Fills the pending read on `ov`, waiting until `deadline`. True once it is complete.
bool Pump(const std::shared_ptr<DeviceHandle>& device, OVERLAPPED* ov, Deadline deadline) {
    if (!device->TakePump(deadline)) return LoadStatus(ov) != kStatusPending;
    bool complete;
    {
        struct Release {
            DeviceHandle& device;
            ~Release() { device.GivePump(); }
        } release{*device};
        complete = FillPending(device, ov, deadline);
    }
    // A close while this wait held the pump (its time running out) left the read to it: ended here, once the
    // pump is free, or it would stay pending for ever. Both sides take stateLock, so one of them ends it.
    if (!complete && device->closed.load() && device->TryTakePump()) {
        Complete(*device, ERROR_OPERATION_ABORTED, 0);
        device->GivePump();
        return true;
    }
    return complete;
}

Deadline DeadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) return std::nullopt;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

// Registers a read; the caller then lets it pend or pumps it.
DWORD StartRead(const std::shared_ptr<DeviceHandle>& device, BYTE* buffer, DWORD length, OVERLAPPED* ov) {
    std::shared_ptr<EventObject> event;
    if (ov->hEvent != nullptr) {
        event = StandInFindEvent(ov->hEvent);
        if (!event) return ERROR_INVALID_HANDLE;
    }
    {
        std::lock_guard<std::mutex> guard(device->stateLock);
        if (device->closed.load()) return ERROR_INVALID_HANDLE;
        if (device->pending.active) return ERROR_BUSY;
        try {
            std::lock_guard<std::mutex> pendingGuard(pendingLock);
            PendingReads().emplace_back(ov, device);
        } catch (const std::bad_alloc&) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (event) StandInResetEvent(*event);
        __atomic_store_n(&ov->InternalHigh, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&ov->Internal, kStatusPending, __ATOMIC_RELEASE);
        device->pending = DeviceHandle::Pending{true, buffer, length, ov, event};
        if (event) {
            std::weak_ptr<DeviceHandle> weak = device;
            StandInSetEventWaitHook(*event, device.get(), [weak, ov](DWORD milliseconds) {
                if (std::shared_ptr<DeviceHandle> d = weak.lock()) Pump(d, ov, DeadlineAfter(milliseconds));
            });
        }
    }
    device->source->ReadStarted();
    return 0;
}

void DeviceHandle::Close() {
    closed.store(true, std::memory_order_release);
    uint64_t one = 1;
    ssize_t written = ::write(wakeFd, &one, sizeof one);
    (void)written;
    source->Close();
    {
        Devices& d = Dev();
        std::lock_guard<std::mutex> guard(d.lock);
        auto it = d.opens.find(key);
        if (it != d.opens.end()) {
            auto& records = it->second;
            records.erase(std::remove_if(records.begin(), records.end(),
                                         [this](const OpenRecord& r) { return r.device == this; }),
                          records.end());
            if (records.empty()) d.opens.erase(it);
        }
    }
    // Nobody is filling the pending read: end it here. Otherwise the filling thread wakes and ends it.
    if (TryTakePump()) {
        Complete(*this, ERROR_OPERATION_ABORTED, 0);
        GivePump();
    }
}

// ---- Names ----

std::string Narrow(LPCWSTR text) { return text == nullptr ? std::string() : Utf16ToUtf8(text, WideLength(text)); }

bool StartsWithFolded(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    return text.size() >= n && SameObjectName(text.substr(0, n), prefix);
}

// TAMSIL_REPLAY: "<name>=<file>;..." -> the file for device object \Device\<name>, if listed; the name "*"
// stands for every device object not listed by its own name.
std::optional<std::string> ReplayFileFor(const std::string& objectName) {
    const char* list = std::getenv("TAMSIL_REPLAY");
    if (list == nullptr) return std::nullopt;
    std::string text = list;
    std::optional<std::string> any;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(start, end - start);
        start = end + 1;
        size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        if (SameObjectName(entry.substr(0, equals), objectName)) return entry.substr(equals + 1);
        if (equals == 1 && entry[0] == '*' && !any) any = entry.substr(2);
    }
    return any;
}

std::unique_ptr<DeviceSource> OpenDeviceObject(const std::string& devicePath, DWORD* error) {
    if (std::unique_ptr<DeviceSource> scripted = OpenScriptedDevice(devicePath)) return scripted;
    *error = ERROR_FILE_NOT_FOUND;
    static const char kDevicePrefix[] = "\\Device\\";
    if (!StartsWithFolded(devicePath, kDevicePrefix)) return nullptr;
    std::string objectName = devicePath.substr(sizeof kDevicePrefix - 1);
    if (std::optional<std::string> file = ReplayFileFor(objectName)) return OpenReplay(*file, error);
    static const char kDriverPrefix[] = "NetVorel_";
    if (!StartsWithFolded(objectName, kDriverPrefix) || objectName.size() == sizeof kDriverPrefix - 1) return nullptr;
    return OpenLiveCapture(objectName.substr(sizeof kDriverPrefix - 1), error);
}

// Windows' share check: every open must allow what the other asks for.
bool SharingAllows(const OpenRecord& existing, DWORD access, DWORD share) {
    auto reads = [](DWORD a) { return (a & GENERIC_READ) != 0; };
    auto writes = [](DWORD a) { return (a & GENERIC_WRITE) != 0; };
    if (reads(access) && !(existing.share & FILE_SHARE_READ)) return false;
    if (writes(access) && !(existing.share & FILE_SHARE_WRITE)) return false;
    if (reads(existing.access) && !(share & FILE_SHARE_READ)) return false;
    if (writes(existing.access) && !(share & FILE_SHARE_WRITE)) return false;
    return true;
}

HANDLE OpenFile(const std::string& path, DWORD access, DWORD share, DWORD flags) {
    Devices& d = Dev();
    std::unique_lock<std::mutex> guard(d.lock);
    // For the tests; the oldest go, so that a long-running process does not keep every name it ever opened.
    if (d.createFileLog.size() >= kCreateFileLogLength) d.createFileLog.erase(d.createFileLog.begin());
    d.createFileLog.push_back(path);
    guard.unlock();
    if (StandInCallFailsWithLastError("CreateFile")) return INVALID_HANDLE_VALUE;
    if (path.size() < 5 || !(path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "\\\\?\\") == 0)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string dosName = path.substr(4);
    guard.lock();
    auto named = d.names.find(FoldObjectName(dosName));
    if (named == d.names.end() || !named->second.targets.back().raw) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string devicePath = named->second.targets.back().target;
    std::string key = FoldObjectName(devicePath);
    auto open = d.opens.find(key);
    if (open != d.opens.end())
        for (const OpenRecord& r : open->second)
            if (!SharingAllows(r, access, share)) {
                SetLastError(ERROR_SHARING_VIOLATION);
                return INVALID_HANDLE_VALUE;
            }
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::unique_ptr<DeviceSource> source = OpenDeviceObject(devicePath, &error);
    if (!source) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<DeviceHandle> device;
    try {
        device = std::make_shared<DeviceHandle>(key, access, share, (flags & FILE_FLAG_OVERLAPPED) != 0,
                                                std::move(source), wakeFd);
        d.opens[key].push_back(OpenRecord{device.get(), access, share});
    } catch (const std::bad_alloc&) {
        if (!device) ::close(wakeFd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    guard.unlock();
    HANDLE handle = StandInCreateHandle(device);
    if (handle == nullptr) {
        device->Close();
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL DefineName(DWORD flags, const std::string& name, const std::string* target) {
    if (StandInCallFailsWithLastError("DefineDosDevice")) return FALSE;
    if (name.empty()) return StandInFailWith(ERROR_INVALID_PARAMETER);
    Devices& d = Dev();
    std::lock_guard<std::mutex> guard(d.lock);
    std::string key = FoldObjectName(name);
    if (flags & DDD_REMOVE_DEFINITION) {
        auto it = d.names.find(key);
        if (it == d.names.end()) return StandInFailWith(ERROR_FILE_NOT_FOUND);
        auto& targets = it->second.targets;
        if (flags & DDD_EXACT_MATCH_ON_REMOVE) {
            if (target == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
            auto match = std::find_if(targets.rbegin(), targets.rend(),
                                      [target](const Definition& def) { return SameObjectName(def.target, *target); });
            if (match == targets.rend()) return StandInFailWith(ERROR_FILE_NOT_FOUND);
            targets.erase(std::next(match).base());
        } else {
            targets.pop_back();
        }
        if (targets.empty()) d.names.erase(it);
        return TRUE;
    }
    if (target == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    try {
        DosName& entry = d.names[key];
        if (entry.name.empty()) entry.name = name;
        entry.targets.push_back(Definition{*target, (flags & DDD_RAW_TARGET_PATH) != 0});
    } catch (const std::bad_alloc&) {
        return StandInFailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

// QueryDosDevice's list: the targets of one name (newest first) or all names, each NUL-terminated.
bool QueryNames(const std::string* name, std::vector<std::string>* items) {
    Devices& d = Dev();
    std::lock_guard<std::mutex> guard(d.lock);
    if (name == nullptr) {
        for (const auto& entry : d.names) items->push_back(entry.second.name);
        return true;
    }
    auto it = d.names.find(FoldObjectName(*name));
    if (it == d.names.end()) return false;
    for (auto def = it->second.targets.rbegin(); def != it->second.targets.rend(); ++def) items->push_back(def->target);
    return true;
}

template <class Char, class Convert>
DWORD QueryInto(const std::string* name, Char* out, DWORD capacity, Convert convert) {
    if (StandInCallFailsWithLastError("QueryDosDevice")) return 0;
    std::vector<std::string> items;
    if (!QueryNames(name, &items)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::basic_string<Char> text;
    for (const std::string& item : items) {
        text += convert(item);
        text.push_back(Char(0));
    }
    text.push_back(Char(0));
    if (out == nullptr || text.size() > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(text.begin(), text.end(), out);
    return static_cast<DWORD>(text.size());
}

}  // namespace

// ---- Shared with the device objects ----

std::string FoldObjectName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool SameObjectName(const std::string& a, const std::string& b) { return FoldObjectName(a) == FoldObjectName(b); }

WaitResult WaitForInput(int fd, const ReadContext& context, int sliceMs) {
    for (;;) {
        if (context.Closed()) return WaitResult::Closed;
        int timeout = -1;
        bool expired = false;
        if (context.deadline) {
            // A deadline that has passed (a poll that does not wait) still looks once at what has arrived.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*context.deadline - std::chrono::steady_clock::now());
            expired = left.count() <= 0;
            timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
        }
        bool sliced = false;
        if (sliceMs >= 0 && (timeout < 0 || sliceMs < timeout)) {
            timeout = sliceMs;
            sliced = true;
        }
        pollfd fds[2] = {{context.wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
        int count = ::poll(fds, fd >= 0 ? 2 : 1, timeout);
        if (count < 0) {
            if (errno == EINTR) continue;
            return WaitResult::Readable;  // let the caller look again
        }
        if (fds[0].revents != 0 && context.Closed()) return WaitResult::Closed;
        if (fd >= 0 && fds[1].revents != 0) return WaitResult::Readable;
        if (count == 0 && sliced) return WaitResult::Readable;
        if (expired) return WaitResult::TimedOut;
    }
}

// ---- Win32 ----

extern "C" BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath) {
    std::string target = lpTargetPath != nullptr ? lpTargetPath : "";
    return DefineName(dwFlags, lpDeviceName != nullptr ? lpDeviceName : "", lpTargetPath != nullptr ? &target : nullptr);
}

extern "C" BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath) {
    std::string target = Narrow(lpTargetPath);
    return DefineName(dwFlags, Narrow(lpDeviceName), lpTargetPath != nullptr ? &target : nullptr);
}

extern "C" DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    std::string name = lpDeviceName != nullptr ? lpDeviceName : "";
    return QueryInto<CHAR>(lpDeviceName != nullptr ? &name : nullptr, lpTargetPath, ucchMax,
                           [](const std::string& s) { return s; });
}

extern "C" DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax) {
    std::string name = Narrow(lpDeviceName);
    return QueryInto<WCHAR>(lpDeviceName != nullptr ? &name : nullptr, lpTargetPath, ucchMax,
                            [](const std::string& s) { return Utf8ToUtf16(s); });
}

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                                     DWORD, DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return OpenFile(lpFileName, dwDesiredAccess, dwShareMode, dwFlagsAndAttributes);
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                                     DWORD, DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return OpenFile(Narrow(lpFileName), dwDesiredAccess, dwShareMode, dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    // As on Windows, the request is marked pending before anything is asked of the device. A read that then
    // fails at once leaves it so, with its event untouched: only ERROR_IO_PENDING means the read is under way.
    if (lpOverlapped != nullptr) __atomic_store_n(&lpOverlapped->Internal, kStatusPending, __ATOMIC_RELEASE);
    DWORD error = 0;
    std::shared_ptr<DeviceHandle> device;
    if (StandInCallFails("ReadFile", &error)) {
        if (error == 0) error = ERROR_GEN_FAILURE;
    } else if (!(device = StandInFindHandleAs<DeviceHandle>(hFile))) {
        error = ERROR_INVALID_HANDLE;
    } else if (!(device->access & GENERIC_READ)) {
        error = ERROR_ACCESS_DENIED;
    } else if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
        error = ERROR_INVALID_PARAMETER;
    } else if (device->overlapped && lpOverlapped == nullptr) {
        error = ERROR_INVALID_PARAMETER;
    }
    if (error != 0) return StandInFailWith(error);
    OVERLAPPED local{};
    OVERLAPPED* ov = lpOverlapped != nullptr ? lpOverlapped : &local;
    error = StartRead(device, static_cast<BYTE*>(lpBuffer), nNumberOfBytesToRead, ov);
    if (error != 0) return StandInFailWith(error);
    if (device->overlapped) return StandInFailWith(ERROR_IO_PENDING);
    Pump(device, ov, std::nullopt);
    error = ErrorOf(LoadStatus(ov));
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = LoadBytes(ov);
    if (error != 0) return StandInFailWith(error);
    return TRUE;
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                           BOOL bWait) {
    if (StandInCallFailsWithLastError("GetOverlappedResult")) return FALSE;
    if (lpOverlapped == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    ULONG_PTR status = LoadStatus(lpOverlapped);
    if (status == kStatusPending) {
        if (std::shared_ptr<DeviceHandle> device = FindPending(lpOverlapped))
            Pump(device, lpOverlapped, bWait ? Deadline() : Deadline(std::chrono::steady_clock::now()));
        status = LoadStatus(lpOverlapped);
        if (status == kStatusPending && !bWait) return StandInFailWith(ERROR_IO_INCOMPLETE);
        // Windows waits on the event (auto-reset: the wait takes the signal).
        std::shared_ptr<HandleObject> event =
            lpOverlapped->hEvent != nullptr ? StandInFindHandle(lpOverlapped->hEvent) : nullptr;
        if (event) event->Wait(status == kStatusPending ? INFINITE : 0);
        status = LoadStatus(lpOverlapped);
        if (status == kStatusPending) return StandInFailWith(ERROR_INVALID_PARAMETER);
    }
    if (lpNumberOfBytesTransferred != nullptr) *lpNumberOfBytesTransferred = LoadBytes(lpOverlapped);
    DWORD error = ErrorOf(status);
    if (error != 0) return StandInFailWith(error);
    return TRUE;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    if (StandInCallFailsWithLastError("DeviceIoControl")) return FALSE;
    std::shared_ptr<DeviceHandle> device = StandInFindHandleAs<DeviceHandle>(hDevice);
    if (!device) return StandInFailWith(ERROR_INVALID_HANDLE);
    // Windows documents the call as failing unpredictably then; here it fails plainly, as ReadFile does.
    if (device->overlapped && lpOverlapped == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    const BYTE* input = static_cast<const BYTE*>(lpInBuffer);
    DWORD error = device->source->IoControl(dwIoControlCode, input, input != nullptr ? nInBufferSize : 0, nOutBufferSize);
    DWORD requestBytes = 0;
    if (error == 0) {
        // The driver's one control: an OID set request, OID_GEN_CURRENT_PACKET_FILTER with a 4-byte value.
        if (dwIoControlCode != kSetOidCode || input == nullptr || nInBufferSize < kOidHeaderBytes) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            DWORD oid = ReadLE32(input);
            DWORD length = ReadLE32(input + 4);
            requestBytes = kOidHeaderBytes + 4;
            if (oid != kOidCurrentPacketFilter || length != 4 || nInBufferSize < requestBytes)
                error = ERROR_INVALID_PARAMETER;
            else
                error = device->source->SetPacketFilter(ReadLE32(input + kOidHeaderBytes));
        }
    }
    DWORD returned = 0;
    if (error == 0 && lpOutBuffer != nullptr) {
        returned = std::min(nOutBufferSize, requestBytes);
        if (lpOutBuffer != lpInBuffer) std::memmove(lpOutBuffer, lpInBuffer, returned);
    }
    if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
    if (lpOverlapped != nullptr) {
        StoreStatus(lpOverlapped, error, returned);
        if (lpOverlapped->hEvent != nullptr)
            if (std::shared_ptr<EventObject> event = StandInFindEvent(lpOverlapped->hEvent)) StandInSignalEvent(*event);
    }
    if (error != 0) return StandInFailWith(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// ---- Test controls ----

std::vector<std::string> StandInCreateFileCalls() {
    Devices& d = Dev();
    std::lock_guard<std::mutex> guard(d.lock);
    return d.createFileLog;
}

void StandInResetDevices() {
    {
        Devices& d = Dev();
        std::lock_guard<std::mutex> guard(d.lock);
        d.names.clear();
        d.createFileLog.clear();
    }
    ResetScriptedDevices();
}

bool StandInDeviceCaptureStats(HANDLE hDevice, unsigned* received, unsigned* dropped) {
    std::shared_ptr<DeviceHandle> device = StandInFindHandleAs<DeviceHandle>(hDevice);
    return device && device->source->Stats(received, dropped);
}
