// An in-process server for CLSID_CNetCfg that the ousterling test registers in the Wine prefix in place of
// Wine's own (which answers FindComponent with E_NOTIMPL for every ID). Each run is told what to answer:
//   NETCFG_TEST_ANSWERS  "<call>=<code>;..." with the calls named as recorded (e.g. "FindComponent=0x1"); S_OK
//                        otherwise. "CreateInstance=<code>" is the class factory's, so CoCreateInstance's answer
//   NETCFG_TEST_HOLDER   the other program's client description, handed back when AcquireWriteLock answers S_FALSE
//   NETCFG_TEST_RECORD   a file that gets a line per call with its arguments and answer, a line as each object goes
//                        and at each CoUninitialize of the client's thread, and last how the server was unloaded.
#include <windows.h>
#include <objbase.h>
#include <netcfgx.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const GUID kNetTransClass = {0x4D36E975, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
LONG gObjects = 0, gServerLocks = 0;
DWORD gClientThread = 0;  // the thread that asked for the class object: every call should come on it
INetCfgComponent* gFound = nullptr;  // what FindComponent handed out, for DeInstall's record

void Record(std::string line) {
    if (gClientThread != 0 && GetCurrentThreadId() != gClientThread) line += " [on another thread]";
    line += "\n";
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("NETCFG_TEST_RECORD", path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

std::string Quoted(LPCWSTR text) {
    char buffer[512] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
    return "\"" + std::string(buffer) + "\"";
}

// The answer this run gives to `call`, recorded with the call's arguments.
HRESULT Answer(const std::string& call, const std::string& arguments) {
    char answers[1024];
    DWORD n = GetEnvironmentVariableA("NETCFG_TEST_ANSWERS", answers, sizeof answers);
    std::string all = ";" + std::string(answers, n < sizeof answers ? n : 0) + ";";
    size_t at = all.find(";" + call + "=");
    HRESULT hr = at == std::string::npos ? S_OK
                                         : static_cast<HRESULT>(std::strtoul(&all[at + call.size() + 2], nullptr, 0));
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    Record(call + "(" + arguments + ") = " + code);
    return hr;
}

// IUnknown for an object of one or more interfaces; the last Release deletes it, and says so.
template <class... Interfaces>
class Object : public Interfaces... {
public:
    explicit Object(const char* name) : name_(name) { InterlockedIncrement(&gObjects); }
    virtual ~Object() {
        Record(std::string("released ") + name_);
        InterlockedDecrement(&gObjects);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

protected:
    // QueryInterface's answer: `found`, or E_NOINTERFACE for nullptr; recorded when `named`.
    HRESULT Give(IUnknown* found, const char* named, void** out) {
        HRESULT hr = found == nullptr ? E_NOINTERFACE : named != nullptr ? Answer("QueryInterface", named) : S_OK;
        *out = SUCCEEDED(hr) ? found : nullptr;
        if (*out != nullptr) found->AddRef();
        return hr;
    }

private:
    LONG refs_ = 1;
    const char* name_;
};

// The methods ousterling does not call.
#define NOT_CALLED(method, ...) \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { return E_NOTIMPL; }

class Component : public Object<INetCfgComponent> {
public:
    Component() : Object("INetCfgComponent") {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return Give(iid == IID_IUnknown || iid == IID_INetCfgComponent ? this : nullptr, nullptr, out);
    }
    HRESULT STDMETHODCALLTYPE GetClassGuid(GUID* guid) override {
        HRESULT hr = Answer("GetClassGuid", "");
        if (hr == S_OK) *guid = kNetTransClass;
        return hr;
    }
    NOT_CALLED(GetDisplayName, LPWSTR*) NOT_CALLED(SetDisplayName, LPCWSTR) NOT_CALLED(GetHelpText, LPWSTR*)
    NOT_CALLED(GetId, LPWSTR*) NOT_CALLED(GetCharacteristics, LPDWORD) NOT_CALLED(GetInstanceGuid, GUID*)
    NOT_CALLED(GetPnpDevNodeId, LPWSTR*) NOT_CALLED(GetBindName, LPWSTR*) NOT_CALLED(GetDeviceStatus, ULONG*)
    NOT_CALLED(OpenParamKey, HKEY*) NOT_CALLED(RaisePropertyUi, HWND, DWORD, IUnknown*)
};

class NetClass : public Object<INetCfgClass, INetCfgClassSetup> {
public:
    NetClass() : Object("INetCfgClass") {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_INetCfgClassSetup) return Give(static_cast<INetCfgClassSetup*>(this), "INetCfgClassSetup", out);
        bool own = iid == IID_IUnknown || iid == IID_INetCfgClass;
        return Give(own ? static_cast<INetCfgClass*>(this) : nullptr, nullptr, out);
    }
    HRESULT STDMETHODCALLTYPE DeInstall(INetCfgComponent* component, OBO_TOKEN* obo, LPWSTR* refs) override {
        Sleep(400);  // a removal that takes a while, as a real one does: long enough for ousterling's progress dots
        bool user = obo != nullptr && obo->Type == OBO_USER && obo->pncc == nullptr && !obo->pszwManufacturer &&
                    !obo->pszwProduct && !obo->pszwDisplayName && !obo->fRegistered;
        return Answer("DeInstall", std::string(component == gFound ? "the component found" : "another component") +
                                       (user ? ", OBO_USER" : ", another token") + (refs ? ", refs" : ", NULL"));
    }
    NOT_CALLED(FindComponent, LPCWSTR, INetCfgComponent**) NOT_CALLED(EnumComponents, IEnumNetCfgComponent**)
    NOT_CALLED(SelectAndInstall, HWND, OBO_TOKEN*, INetCfgComponent**)
    NOT_CALLED(Install, LPCWSTR, OBO_TOKEN*, DWORD, DWORD, LPCWSTR, LPCWSTR, INetCfgComponent**)
};

class Config : public Object<INetCfg, INetCfgLock> {
public:
    Config() : Object("INetCfg") {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_INetCfgLock) return Give(static_cast<INetCfgLock*>(this), "INetCfgLock", out);
        return Give(iid == IID_IUnknown || iid == IID_INetCfg ? static_cast<INetCfg*>(this) : nullptr, nullptr, out);
    }
    HRESULT STDMETHODCALLTYPE AcquireWriteLock(DWORD timeout, LPCWSTR client, LPWSTR* holder) override {
        HRESULT hr = Answer("AcquireWriteLock", std::to_string(timeout) + ", " + Quoted(client));
        WCHAR other[256] = L"";
        DWORD n = GetEnvironmentVariableW(L"NETCFG_TEST_HOLDER", other, 256);
        *holder = hr == S_FALSE && n < 256 ? static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(WCHAR))) : nullptr;
        if (*holder != nullptr) lstrcpyW(*holder, other);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE ReleaseWriteLock() override { return Answer("ReleaseWriteLock", ""); }
    HRESULT STDMETHODCALLTYPE Initialize(PVOID reserved) override {
        return Answer("Initialize", reserved ? "?" : "NULL");
    }
    HRESULT STDMETHODCALLTYPE Uninitialize() override { return Answer("Uninitialize", ""); }
    HRESULT STDMETHODCALLTYPE Apply() override { return Answer("Apply", ""); }
    HRESULT STDMETHODCALLTYPE FindComponent(LPCWSTR id, INetCfgComponent** component) override {
        HRESULT hr = Answer("FindComponent", Quoted(id));
        *component = hr == S_OK ? gFound = new Component : nullptr;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE QueryNetCfgClass(const GUID* guid, REFIID iid, void** out) override {
        WCHAR text[40] = L"";
        StringFromGUID2(*guid, text, 40);
        std::string klass = Quoted(text);
        HRESULT hr = Answer("QueryNetCfgClass", klass.substr(1, klass.size() - 2) +
                                                    (iid == IID_INetCfgClass ? ", INetCfgClass" : ", ?"));
        *out = hr == S_OK ? static_cast<INetCfgClass*>(new NetClass) : nullptr;
        return hr;
    }
    NOT_CALLED(IsWriteLocked, LPWSTR*) NOT_CALLED(Cancel)
    NOT_CALLED(EnumComponents, const GUID*, IEnumNetCfgComponent**)
};

class Factory : public Object<IClassFactory> {
public:
    Factory() : Object("IClassFactory") {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return Give(iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr, nullptr, out);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        APTTYPE apartment = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier;
        CoGetApartmentType(&apartment, &qualifier);
        std::string arguments = std::string(outer ? "outer, " : "") + (iid == IID_INetCfg ? "INetCfg" : "?");
        bool sta = apartment == APTTYPE_STA || apartment == APTTYPE_MAINSTA;
        HRESULT hr = Answer("CreateInstance", arguments + (sta ? ", STA" : ", not STA"));
        *out = nullptr;
        if (hr != S_OK) return hr;
        Config* config = new Config;
        hr = config->QueryInterface(iid, out);
        config->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        InterlockedAdd(&gServerLocks, lock ? 1 : -1);
        return S_OK;
    }
};

// Records CoUninitialize on the client's thread. It is revoked before the last one goes on: COM may then
// unload this DLL.
class UninitializeSpy : public IInitializeSpy {
public:
    ULARGE_INTEGER cookie{};
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IInitializeSpy ? this : nullptr;
        return *out != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE PreInitialize(DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD inits) override {
        Record("CoUninitialize(" + std::to_string(inits) + " -> " + std::to_string(inits - 1) + ")");
        if (inits == 1) CoRevokeInitializeSpy(cookie);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD) override { return S_OK; }
} gSpy;

}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    if (clsid != CLSID_CNetCfg) return CLASS_E_CLASSNOTAVAILABLE;
    if (gClientThread == 0 && SUCCEEDED(CoRegisterInitializeSpy(&gSpy, &gSpy.cookie)))
        gClientThread = GetCurrentThreadId();
    Factory* factory = new Factory;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    HRESULT hr = gObjects == 0 && gServerLocks == 0 ? S_OK : S_FALSE;
    Record(std::string("DllCanUnloadNow() answered ") + (hr == S_OK ? "S_OK" : "S_FALSE"));
    return hr;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID processEnding) {
    if (reason == DLL_PROCESS_DETACH)
        Record(std::string(processEnding ? "unloaded at process exit, " : "unloaded by FreeLibrary, ") +
               std::to_string(gObjects) + " objects alive, " + std::to_string(gServerLocks) + " server locks");
    return TRUE;
}
