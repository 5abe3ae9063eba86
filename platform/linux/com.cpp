// The COM library: per-thread initialisation, CoCreateInstance for the one class the stand-in serves
// (CLSID_CNetCfg, netcfg.cpp), and the task allocator.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "netcfg_control.h"
#include "testing.h"
#include "win32_com.h"

namespace {

// Each thread's apartment: how often CoInitializeEx succeeded on it, and the model it joined.
struct Apartment {
    unsigned initialisations = 0;
    bool singleThreaded = false;
};
thread_local Apartment apartment;

std::atomic<long> taskBlocks{0};  // CoTaskMemAlloc blocks not yet freed

std::string Pointer(const void* p) {
    if (p == nullptr) return "NULL";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

HRESULT Logged(const std::string& line, HRESULT hr) {
    NetCfgLog(line + " = " + NetCfgResultName(hr));
    return hr;
}

}  // namespace

extern "C" HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    char args[64];
    std::snprintf(args, sizeof args, "CoInitializeEx(%s, 0x%X)", Pointer(pvReserved).c_str(), dwCoInit);
    HRESULT answer = S_OK;
    bool answered = NetCfgCallBegins("CoInitializeEx", &answer);
    if (answered && FAILED(answer)) return Logged(args, answer);
    HRESULT hr;
    bool singleThreaded = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
    if (pvReserved != nullptr) {
        hr = E_INVALIDARG;
    } else if (apartment.initialisations == 0) {
        apartment.singleThreaded = singleThreaded;
        apartment.initialisations = 1;
        hr = S_OK;
    } else if (apartment.singleThreaded != singleThreaded) {
        hr = RPC_E_CHANGED_MODE;
    } else {
        ++apartment.initialisations;
        hr = S_FALSE;
    }
    if (answered && SUCCEEDED(hr)) hr = answer;
    return Logged(args, hr);
}

extern "C" void WINAPI CoUninitialize(void) {
    HRESULT ignored = S_OK;
    NetCfgCallBegins("CoUninitialize", &ignored);
    if (apartment.initialisations > 0) --apartment.initialisations;
    NetCfgLog("CoUninitialize()");
}

extern "C" HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           LPVOID* ppv) {
    std::string line = "CoCreateInstance(" + NetCfgIidName(rclsid) + ", " + Pointer(pUnkOuter) + ", ";
    char context[16];
    std::snprintf(context, sizeof context, "0x%X", dwClsContext);
    line += std::string(context) + ", " + NetCfgIidName(riid) + ")";
    if (ppv == nullptr) return Logged(line, E_POINTER);
    *ppv = nullptr;
    HRESULT answer = S_OK;
    bool answered = NetCfgCallBegins("CoCreateInstance", &answer);
    if (answered && FAILED(answer)) return Logged(line, answer);
    HRESULT hr;
    if (apartment.initialisations == 0)
        hr = CO_E_NOTINITIALIZED;
    else if (pUnkOuter != nullptr)
        hr = CLASS_E_NOAGGREGATION;
    else if (rclsid != CLSID_CNetCfg || (dwClsContext & CLSCTX_INPROC_SERVER) == 0)
        hr = REGDB_E_CLASSNOTREG;
    else
        hr = NetCfgCreateObject(riid, ppv);
    if (answered && SUCCEEDED(hr)) hr = answer;
    return Logged(line, hr);
}

extern "C" LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb) {
    void* block = std::malloc(cb != 0 ? cb : 1);
    if (block != nullptr) ++taskBlocks;
    return block;
}

extern "C" void WINAPI CoTaskMemFree(LPVOID pv) {
    if (pv == nullptr) return;
    --taskBlocks;
    std::free(pv);
}

long StandInCoTaskMemBlocks() { return taskBlocks.load(); }
