// The network configuration objects behind CLSID_CNetCfg: INetCfg with INetCfgLock on one object,
// INetCfgComponent, and INetCfgClass with INetCfgClassSetup on one object, reference-counted as COM objects.
//
// The configuration is the stand-in registry, in the platform's layout:
//   HKLM\SYSTEM\CurrentControlSet\Control\Network\{class GUID}\{instance GUID}   "ComponentId"=REG_SZ
// FindComponent looks the ID up there (case-insensitively) in the four network classes; DeInstall marks the
// component for removal in this configuration object; Apply deletes the marked components' instance keys, and
// the service named by their Ndi\Service value under HKLM\SYSTEM\CurrentControlSet\Services; Uninitialize
// drops what was not applied.
//
// The write lock: one holder per process at a time, and when TAMSIL_REGISTRY names the registry file, one holder
// among all processes sharing it: flock(LOCK_EX) on "<file>.netcfg-lock", whose contents are the holder's client
// description (UTF-8). AcquireWriteLock retries every 20 ms until its time-out, then answers S_FALSE with the
// holder's description in CoTaskMemAlloc memory.
//
// Every call is logged, and can be given a chosen answer or delay (netcfg_control.h, testing.h).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "immortal.h"
#include "netcfg_control.h"
#include "unicode.h"
#include "win32_com.h"
#include "win32_registry.h"

namespace {

constexpr char16_t kNetworkKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Network";
constexpr char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";

const GUID* const kNetworkClasses[] = {&GUID_DEVCLASS_NET, &GUID_DEVCLASS_NETCLIENT, &GUID_DEVCLASS_NETSERVICE,
                                       &GUID_DEVCLASS_NETTRANS};

bool IsNetworkClass(const GUID& guid) {
    for (const GUID* known : kNetworkClasses)
        if (*known == guid) return true;
    return false;
}

// ---- Text ----

std::string Quoted(LPCWSTR text) {
    if (text == nullptr) return "NULL";
    return "\"" + Utf16ToUtf8(std::u16string(text)) + "\"";
}

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool SameId(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

LPWSTR TaskString(const std::u16string& text) {
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return copy;
}

// One call: its chosen answer and delay when it begins, its log line when it ends.
class Call {
public:
    Call(const char* name, std::string line) : line_(std::move(line)) { answered_ = NetCfgCallBegins(name, &answer_); }
    // The chosen answer is a failure: the call does nothing and answers it.
    bool Refused() const { return answered_ && FAILED(answer_); }
    HRESULT Answer() const { return answer_; }
    // Ends the call with its own result, or the chosen success code in place of its own success.
    HRESULT Return(HRESULT hr, const std::string& detail = std::string()) {
        if (answered_ && SUCCEEDED(hr)) hr = answer_;
        NetCfgLog(line_ + " = " + NetCfgResultName(hr) + detail);
        return hr;
    }

private:
    std::string line_;
    HRESULT answer_ = S_OK;
    bool answered_ = false;
};

// ---- The registry side ----

struct ComponentRecord {
    GUID classGuid{};
    GUID instanceGuid{};
    std::u16string id;
};

std::u16string InstancePath(const ComponentRecord& c) {
    return std::u16string(kNetworkKey) + u"\\" + Utf8ToUtf16(NetCfgGuidText(c.classGuid)) + u"\\" +
           Utf8ToUtf16(NetCfgGuidText(c.instanceGuid));
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

bool ReadString(HKEY key, LPCWSTR valueName, std::u16string& out) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::u16string data(size / sizeof(WCHAR) + 1, u'\0');
    if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &size) != ERROR_SUCCESS)
        return false;
    data.resize(size / sizeof(WCHAR));
    while (!data.empty() && data.back() == u'\0') data.pop_back();
    out = data;
    return true;
}

// The installed components of the network classes (of `onlyClass` when given).
std::vector<ComponentRecord> InstalledComponents(const GUID* onlyClass) {
    std::vector<ComponentRecord> found;
    HKEY network = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNetworkKey, 0, KEY_READ, &network) != ERROR_SUCCESS) return found;
    for (const std::u16string& className : SubkeyNames(network)) {
        GUID classGuid{};
        if (!NetCfgParseGuid(className, classGuid) || !IsNetworkClass(classGuid)) continue;
        if (onlyClass != nullptr && *onlyClass != classGuid) continue;
        HKEY classKey = nullptr;
        if (RegOpenKeyExW(network, className.c_str(), 0, KEY_READ, &classKey) != ERROR_SUCCESS) continue;
        for (const std::u16string& instanceName : SubkeyNames(classKey)) {
            ComponentRecord record;
            record.classGuid = classGuid;
            if (!NetCfgParseGuid(instanceName, record.instanceGuid)) continue;
            HKEY instanceKey = nullptr;
            if (RegOpenKeyExW(classKey, instanceName.c_str(), 0, KEY_READ, &instanceKey) != ERROR_SUCCESS) continue;
            if (ReadString(instanceKey, u"ComponentId", record.id)) found.push_back(record);
            RegCloseKey(instanceKey);
        }
        RegCloseKey(classKey);
    }
    RegCloseKey(network);
    return found;
}

// Deletes a key with everything under it; a key that is not there counts as deleted.
LONG DeleteTree(const std::u16string& path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::u16string> children = SubkeyNames(key);
    RegCloseKey(key);
    for (const std::u16string& child : children)
        if ((status = DeleteTree(path + u"\\" + child)) != ERROR_SUCCESS) return status;
    status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LONG RemoveComponent(const ComponentRecord& component) {
    std::u16string instance = InstancePath(component);
    std::u16string service;
    HKEY ndi = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, (instance + u"\\Ndi").c_str(), 0, KEY_READ, &ndi) == ERROR_SUCCESS) {
        ReadString(ndi, u"Service", service);
        RegCloseKey(ndi);
    }
    LONG status = DeleteTree(instance);
    if (status == ERROR_SUCCESS && !service.empty() && service.find(u'\\') == std::u16string::npos)
        status = DeleteTree(std::u16string(kServicesKey) + u"\\" + service);
    return status;
}

// ---- The write lock ----

std::mutex holderLock;
bool heldInProcess = false;
std::u16string& inProcessHolder = Immortal<std::u16string>();

std::string LockFilePath() {
    const char* registry = std::getenv("TAMSIL_REGISTRY");
    if (registry == nullptr || *registry == '\0') return std::string();
    return std::string(registry) + ".netcfg-lock";
}

std::u16string ReadHolder(int fd) {
    std::string text;
    char buf[512];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return Utf8ToUtf16(text);
}

class WriteLock {
public:
    WriteLock() = default;
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    ~WriteLock() { Give(); }

    bool Held() const { return held_; }

    // S_OK: taken. S_FALSE: another holder, described in `holder`. A failure: the lock file cannot be opened.
    HRESULT TryTake(const std::u16string& description, std::u16string& holder) {
        std::lock_guard<std::mutex> guard(holderLock);
        if (heldInProcess) {
            holder = inProcessHolder;
            return S_FALSE;
        }
        std::string file = LockFilePath();
        if (!file.empty()) {
            int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (fd < 0) return E_ACCESSDENIED;
            if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
                holder = ReadHolder(fd);
                close(fd);
                return S_FALSE;
            }
            std::string text = Utf16ToUtf8(description);
            if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
                close(fd);
                return E_FAIL;
            }
            fd_ = fd;
        }
        heldInProcess = true;
        inProcessHolder = description;
        held_ = true;
        return S_OK;
    }

    void Give() {
        if (!held_) return;
        std::lock_guard<std::mutex> guard(holderLock);
        if (fd_ >= 0) {
            if (ftruncate(fd_, 0) != 0) {
                // the description stays behind; the lock itself goes with the descriptor
            }
            close(fd_);
            fd_ = -1;
        }
        heldInProcess = false;
        inProcessHolder.clear();
        held_ = false;
    }

    // The current holder's description, when the lock is held by anyone.
    static bool Holder(std::u16string& holder) {
        std::lock_guard<std::mutex> guard(holderLock);
        if (heldInProcess) {
            holder = inProcessHolder;
            return true;
        }
        std::string file = LockFilePath();
        if (file.empty()) return false;
        int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return false;
        bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (held) holder = ReadHolder(fd);
        close(fd);
        return held;
    }

private:
    int fd_ = -1;
    bool held_ = false;
};

// What one configuration object knows, shared with the class objects it hands out.
struct ConfigState {
    bool initialized = false;
    WriteLock lock;
    std::vector<ComponentRecord> pendingRemovals;

    bool Pending(const ComponentRecord& c) const {
        for (const ComponentRecord& p : pendingRemovals)
            if (p.classGuid == c.classGuid && p.instanceGuid == c.instanceGuid) return true;
        return false;
    }
};

// ---- COM plumbing: one reference count per object, each interface logging under its own name ----

template <typename Interface>
const char* InterfaceName();
template <>
const char* InterfaceName<INetCfg>() {
    return "INetCfg";
}
template <>
const char* InterfaceName<INetCfgLock>() {
    return "INetCfgLock";
}
template <>
const char* InterfaceName<INetCfgComponent>() {
    return "INetCfgComponent";
}
template <>
const char* InterfaceName<INetCfgClass>() {
    return "INetCfgClass";
}
template <>
const char* InterfaceName<INetCfgClassSetup>() {
    return "INetCfgClassSetup";
}

class ObjectBase {
public:
    virtual ~ObjectBase() = default;
    // The interface pointer for `riid`, or null.
    virtual void* Find(REFIID riid) = 0;

    HRESULT QueryInterfaceFrom(const char* from, REFIID riid, void** ppv) {
        std::string asked = NetCfgIidName(riid);
        std::string name = asked.rfind("IID_", 0) == 0 ? asked.substr(4) : asked;
        Call call(("QueryInterface(" + name + ")").c_str(), std::string(from) + ".QueryInterface(" + asked + ")");
        if (ppv == nullptr) return call.Return(E_POINTER);
        *ppv = nullptr;
        if (call.Refused()) return call.Return(call.Answer());
        void* found = Find(riid);
        if (found == nullptr) return call.Return(E_NOINTERFACE);
        ++references_;
        *ppv = found;
        return call.Return(S_OK);
    }
    ULONG AddRefFrom(const char* from) {
        ULONG count = ++references_;
        NetCfgLog(std::string(from) + ".AddRef() = " + std::to_string(count));
        return count;
    }
    ULONG ReleaseFrom(const char* from) {
        ULONG count = references_ > 0 ? --references_ : 0;
        NetCfgLog(std::string(from) + ".Release() = " + std::to_string(count));
        if (count == 0) delete this;
        return count;
    }

private:
    ULONG references_ = 1;  // the creator's
};

// The IUnknown of one interface of an object.
template <typename Interface, typename Object>
class Part : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return Self()->QueryInterfaceFrom(InterfaceName<Interface>(), riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Self()->AddRefFrom(InterfaceName<Interface>()); }
    ULONG STDMETHODCALLTYPE Release() override { return Self()->ReleaseFrom(InterfaceName<Interface>()); }

private:
    Object* Self() { return static_cast<Object*>(this); }
};

// ---- INetCfgComponent ----

class ComponentObject final : public ObjectBase, public Part<INetCfgComponent, ComponentObject> {
public:
    explicit ComponentObject(ComponentRecord record) : record_(std::move(record)) {}
    const ComponentRecord& Record() const { return record_; }

    void* Find(REFIID riid) override {
        if (riid == IID_IUnknown || riid == IID_INetCfgComponent) return static_cast<INetCfgComponent*>(this);
        return nullptr;
    }

    HRESULT STDMETHODCALLTYPE GetClassGuid(GUID* pGuid) override {
        return Guid("GetClassGuid", record_.classGuid, pGuid);
    }
    HRESULT STDMETHODCALLTYPE GetInstanceGuid(GUID* pGuid) override {
        return Guid("GetInstanceGuid", record_.instanceGuid, pGuid);
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* ppszwId) override {
        Call call("GetId", "INetCfgComponent.GetId()");
        if (ppszwId == nullptr) return call.Return(E_POINTER);
        *ppszwId = nullptr;
        if (call.Refused()) return call.Return(call.Answer());
        *ppszwId = TaskString(record_.id);
        if (*ppszwId == nullptr) return call.Return(E_OUTOFMEMORY);
        return call.Return(S_OK, " " + Quoted(*ppszwId));
    }
    HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR*) override { return NotImplemented("GetDisplayName"); }
    HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR) override { return NotImplemented("SetDisplayName"); }
    HRESULT STDMETHODCALLTYPE GetHelpText(LPWSTR*) override { return NotImplemented("GetHelpText"); }
    HRESULT STDMETHODCALLTYPE GetCharacteristics(LPDWORD) override { return NotImplemented("GetCharacteristics"); }
    HRESULT STDMETHODCALLTYPE GetPnpDevNodeId(LPWSTR*) override { return NotImplemented("GetPnpDevNodeId"); }
    HRESULT STDMETHODCALLTYPE GetBindName(LPWSTR*) override { return NotImplemented("GetBindName"); }
    HRESULT STDMETHODCALLTYPE GetDeviceStatus(ULONG*) override { return NotImplemented("GetDeviceStatus"); }
    HRESULT STDMETHODCALLTYPE OpenParamKey(HKEY*) override { return NotImplemented("OpenParamKey"); }
    HRESULT STDMETHODCALLTYPE RaisePropertyUi(HWND, DWORD, IUnknown*) override {
        return NotImplemented("RaisePropertyUi");
    }

private:
    HRESULT Guid(const char* method, const GUID& value, GUID* pGuid) {
        Call call(method, std::string("INetCfgComponent.") + method + "()");
        if (pGuid == nullptr) return call.Return(E_POINTER);
        if (call.Refused()) return call.Return(call.Answer());
        *pGuid = value;
        return call.Return(S_OK, " " + NetCfgGuidText(value));
    }
    static HRESULT NotImplemented(const char* method) {
        NetCfgLog(std::string("INetCfgComponent.") + method + "() = E_NOTIMPL");
        return E_NOTIMPL;
    }

    ComponentRecord record_;
};

// FindComponent of INetCfg and INetCfgClass: S_OK with a new component, S_FALSE when not installed.
HRESULT FindComponentIn(const ConfigState& state, const GUID* onlyClass, LPCWSTR id, INetCfgComponent** ppComponent,
                        const char* from) {
    Call call("FindComponent", std::string(from) + ".FindComponent(" + Quoted(id) + ")");
    if (ppComponent == nullptr) return call.Return(E_POINTER);
    *ppComponent = nullptr;
    if (call.Refused()) return call.Return(call.Answer());
    if (id == nullptr) return call.Return(E_INVALIDARG);
    if (!state.initialized) return call.Return(NETCFG_E_NOT_INITIALIZED);
    for (const ComponentRecord& record : InstalledComponents(onlyClass)) {
        if (!SameId(record.id, id) || state.Pending(record)) continue;
        auto* component = new ComponentObject(record);
        *ppComponent = component;
        return call.Return(S_OK);
    }
    return call.Return(S_FALSE);
}

// ---- INetCfgClass and INetCfgClassSetup ----

class ClassObject final : public ObjectBase,
                          public Part<INetCfgClass, ClassObject>,
                          public Part<INetCfgClassSetup, ClassObject> {
public:
    ClassObject(std::shared_ptr<ConfigState> state, const GUID& classGuid)
        : state_(std::move(state)), class_(classGuid) {}

    void* Find(REFIID riid) override {
        if (riid == IID_IUnknown || riid == IID_INetCfgClass) return static_cast<INetCfgClass*>(this);
        if (riid == IID_INetCfgClassSetup) return static_cast<INetCfgClassSetup*>(this);
        return nullptr;
    }

    HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR pszwInfId, INetCfgComponent** ppnccItem) override {
        return FindComponentIn(*state_, &class_, pszwInfId, ppnccItem, "INetCfgClass");
    }
    HRESULT STDMETHODCALLTYPE EnumComponents(IEnumNetCfgComponent**) override {
        NetCfgLog("INetCfgClass.EnumComponents() = E_NOTIMPL");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SelectAndInstall(HWND, OBO_TOKEN*, INetCfgComponent**) override {
        NetCfgLog("INetCfgClassSetup.SelectAndInstall() = E_NOTIMPL");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Install(LPCWSTR, OBO_TOKEN*, DWORD, DWORD, LPCWSTR, LPCWSTR,
                                      INetCfgComponent**) override {
        NetCfgLog("INetCfgClassSetup.Install() = E_NOTIMPL");
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE DeInstall(INetCfgComponent* pComponent, OBO_TOKEN* pOboToken,
                                        LPWSTR* pmszwRefs) override {
        auto* component = dynamic_cast<ComponentObject*>(pComponent);
        std::string line = "INetCfgClassSetup.DeInstall(";
        line += component != nullptr ? Quoted(component->Record().id.c_str()) : (pComponent == nullptr ? "NULL" : "?");
        line += ", " + Token(pOboToken) + ", " + (pmszwRefs == nullptr ? "NULL" : "&refs") + ")";
        Call call("DeInstall", line);
        if (pmszwRefs != nullptr) *pmszwRefs = nullptr;
        if (call.Refused()) return call.Return(call.Answer());
        if (component == nullptr || pOboToken == nullptr || pOboToken->Type < OBO_USER ||
            pOboToken->Type > OBO_SOFTWARE)
            return call.Return(E_INVALIDARG);
        if (!state_->initialized) return call.Return(NETCFG_E_NOT_INITIALIZED);
        if (!state_->lock.Held()) return call.Return(NETCFG_E_NO_WRITE_LOCK);
        const ComponentRecord& record = component->Record();
        if (record.classGuid != class_ || state_->Pending(record)) return call.Return(E_INVALIDARG);
        state_->pendingRemovals.push_back(record);
        return call.Return(S_OK);
    }

private:
    static std::string Token(const OBO_TOKEN* token) {
        if (token == nullptr) return "NULL";
        auto pointer = [](const void* p) { return std::string(p == nullptr ? "NULL" : "set"); };
        return "{Type " + std::to_string(static_cast<int>(token->Type)) + ", pncc " + pointer(token->pncc) +
               ", pszwManufacturer " + pointer(token->pszwManufacturer) + ", pszwProduct " +
               pointer(token->pszwProduct) + ", pszwDisplayName " + pointer(token->pszwDisplayName) + ", fRegistered " +
               std::to_string(token->fRegistered) + "}";
    }

    std::shared_ptr<ConfigState> state_;
    GUID class_;
};

// ---- INetCfg and INetCfgLock ----

class NetCfgObject final : public ObjectBase,
                           public Part<INetCfg, NetCfgObject>,
                           public Part<INetCfgLock, NetCfgObject> {
public:
    NetCfgObject() : state_(std::make_shared<ConfigState>()) {}
    ~NetCfgObject() override {
        // The last reference went without Uninitialize or ReleaseWriteLock: both happen now.
        state_->initialized = false;
        state_->pendingRemovals.clear();
        state_->lock.Give();
    }

    void* Find(REFIID riid) override {
        if (riid == IID_IUnknown || riid == IID_INetCfg) return static_cast<INetCfg*>(this);
        if (riid == IID_INetCfgLock) return static_cast<INetCfgLock*>(this);
        return nullptr;
    }

    // INetCfg
    HRESULT STDMETHODCALLTYPE Initialize(PVOID pvReserved) override {
        Call call("Initialize", std::string("INetCfg.Initialize(") + (pvReserved == nullptr ? "NULL" : "set") + ")");
        if (call.Refused()) return call.Return(call.Answer());
        if (state_->initialized) return call.Return(NETCFG_E_ALREADY_INITIALIZED);
        state_->initialized = true;
        return call.Return(S_OK);
    }
    HRESULT STDMETHODCALLTYPE Uninitialize() override {
        Call call("Uninitialize", "INetCfg.Uninitialize()");
        if (call.Refused()) return call.Return(call.Answer());
        if (!state_->initialized) return call.Return(NETCFG_E_NOT_INITIALIZED);
        state_->initialized = false;
        state_->pendingRemovals.clear();
        return call.Return(S_OK);
    }
    HRESULT STDMETHODCALLTYPE Apply() override {
        Call call("Apply", "INetCfg.Apply()");
        if (call.Refused()) return call.Return(call.Answer());
        if (!state_->initialized) return call.Return(NETCFG_E_NOT_INITIALIZED);
        if (!state_->lock.Held()) return call.Return(NETCFG_E_NO_WRITE_LOCK);
        while (!state_->pendingRemovals.empty()) {
            LONG status = RemoveComponent(state_->pendingRemovals.front());
            if (status != ERROR_SUCCESS) return call.Return(HRESULT_FROM_WIN32(status));
            state_->pendingRemovals.erase(state_->pendingRemovals.begin());
        }
        return call.Return(S_OK);
    }
    HRESULT STDMETHODCALLTYPE Cancel() override {
        Call call("Cancel", "INetCfg.Cancel()");
        if (call.Refused()) return call.Return(call.Answer());
        if (!state_->initialized) return call.Return(NETCFG_E_NOT_INITIALIZED);
        state_->pendingRemovals.clear();
        return call.Return(S_OK);
    }
    HRESULT STDMETHODCALLTYPE EnumComponents(const GUID*, IEnumNetCfgComponent**) override {
        NetCfgLog("INetCfg.EnumComponents() = E_NOTIMPL");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR pszwInfId, INetCfgComponent** pComponent) override {
        return FindComponentIn(*state_, nullptr, pszwInfId, pComponent, "INetCfg");
    }
    HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID* pguidClass, REFIID riid, void** ppvObject) override {
        Call call("QueryNetCfgClass", "INetCfg.QueryNetCfgClass(" +
                                          (pguidClass != nullptr ? NetCfgGuidText(*pguidClass) : std::string("NULL")) +
                                          ", " + NetCfgIidName(riid) + ")");
        if (ppvObject == nullptr) return call.Return(E_POINTER);
        *ppvObject = nullptr;
        if (call.Refused()) return call.Return(call.Answer());
        if (!state_->initialized) return call.Return(NETCFG_E_NOT_INITIALIZED);
        if (pguidClass == nullptr || !IsNetworkClass(*pguidClass)) return call.Return(E_INVALIDARG);
        auto* object = new ClassObject(state_, *pguidClass);
        void* found = object->Find(riid);
        if (found == nullptr) {
            delete object;
            return call.Return(E_NOINTERFACE);
        }
        *ppvObject = found;
        return call.Return(S_OK);
    }

    // INetCfgLock
    HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD cmsTimeout, LPCWSTR pszwClientDescription,
                                               LPWSTR* ppszwClientDescription) override {
        Call call("AcquireWriteLock", "INetCfgLock.AcquireWriteLock(" + std::to_string(cmsTimeout) + ", " +
                                          Quoted(pszwClientDescription) + ", " +
                                          (ppszwClientDescription == nullptr ? "NULL" : "&holder") + ")");
        if (ppszwClientDescription != nullptr) *ppszwClientDescription = nullptr;
        if (call.Refused()) return call.Return(call.Answer());
        if (pszwClientDescription == nullptr) return call.Return(E_INVALIDARG);
        if (state_->initialized) return call.Return(NETCFG_E_ALREADY_INITIALIZED);
        if (state_->lock.Held()) return call.Return(S_OK);
        std::u16string description = pszwClientDescription;
        std::u16string holder;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(NetCfgLockWait(cmsTimeout));
        for (;;) {
            HRESULT hr = state_->lock.TryTake(description, holder);
            if (hr != S_FALSE) return call.Return(hr);
            auto now = std::chrono::steady_clock::now();
            if (now >= deadline) break;
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(20)));
        }
        if (ppszwClientDescription != nullptr) *ppszwClientDescription = TaskString(holder);
        return call.Return(S_FALSE, " held by " + Quoted(holder.c_str()));
    }
    HRESULT STDMETHODCALLTYPE ReleaseWriteLock() override {
        Call call("ReleaseWriteLock", "INetCfgLock.ReleaseWriteLock()");
        if (call.Refused()) return call.Return(call.Answer());
        if (state_->initialized) return call.Return(NETCFG_E_ALREADY_INITIALIZED);
        if (!state_->lock.Held()) return call.Return(S_FALSE);
        state_->lock.Give();
        return call.Return(S_OK);
    }
    HRESULT STDMETHODCALLTYPE IsWriteLocked(LPWSTR* ppszwClientDescription) override {
        Call call("IsWriteLocked", "INetCfgLock.IsWriteLocked()");
        if (ppszwClientDescription == nullptr) return call.Return(E_POINTER);
        *ppszwClientDescription = nullptr;
        if (call.Refused()) return call.Return(call.Answer());
        std::u16string holder;
        if (!WriteLock::Holder(holder)) return call.Return(S_FALSE);
        *ppszwClientDescription = TaskString(holder);
        return call.Return(S_OK, " held by " + Quoted(holder.c_str()));
    }

private:
    std::shared_ptr<ConfigState> state_;
};

}  // namespace

HRESULT NetCfgCreateObject(REFIID riid, void** ppv) {
    auto* object = new NetCfgObject;
    void* found = object->Find(riid);
    if (found == nullptr) {
        delete object;
        return E_NOINTERFACE;
    }
    *ppv = found;
    return S_OK;
}
