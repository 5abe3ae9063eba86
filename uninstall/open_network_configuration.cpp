// OpenNetworkConfiguration: COM, the configuration object, its write lock and its initialisation.
#include <cstdio>

#include "uninstall/network_configuration.h"

namespace {

constexpr DWORD kLockTimeout = 15000;  // ms
// The text another program is shown as the lock's holder while this one holds it.
const WCHAR kClientDescription[] = WTEXT("Sample Netcfg Application (netcfg.exe)");

// "Could not lock INetcfg, it is already locked by '%s'", through the wide-character output, no line feed.
// The holder's text is another program's: its control characters become '?', so that it cannot move the
// cursor or write lines that look like this program's.
void WriteLockMessage(LPCWSTR pszLockHolder) {
    WCHAR szHolder[256];
    size_t n = 0;
    for (; pszLockHolder != NULL && pszLockHolder[n] != 0 && n < sizeof szHolder / sizeof szHolder[0] - 1; ++n) {
        WCHAR c = pszLockHolder[n];
        szHolder[n] = c < 0x20 || (c >= 0x7F && c < 0xA0) ? WCHAR('?') : c;
    }
    szHolder[n] = 0;
    WriteConsoleTextW(WTEXT("Could not lock INetcfg, it is already locked by '"));
    WriteConsoleTextW(szHolder);
    WriteConsoleTextW(WTEXT("'"));
}

}  // namespace

HRESULT OpenNetworkConfiguration(INetCfg** ppConfig) {
    INetCfg* pConfig = NULL;
    INetCfgLock* pLock = NULL;
    LPWSTR pszLockHolder = NULL;

    *ppConfig = NULL;
    HRESULT hr = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (FAILED(hr)) return hr;

    hr = CoCreateInstance(CLSID_CNetCfg, NULL, CLSCTX_INPROC_SERVER, IID_INetCfg, reinterpret_cast<void**>(&pConfig));
    if (FAILED(hr)) {
        CoUninitialize();
        return hr;
    }

    hr = pConfig->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&pLock));
    if (SUCCEEDED(hr)) {
        hr = pLock->AcquireWriteLock(kLockTimeout, kClientDescription, &pszLockHolder);
        if (hr == S_FALSE) {
            WriteLockMessage(pszLockHolder);
            hr = NETCFG_E_NO_WRITE_LOCK;
        }
        if (pszLockHolder != NULL) CoTaskMemFree(pszLockHolder);

        if (SUCCEEDED(hr)) {
            hr = pConfig->Initialize(NULL);
            if (SUCCEEDED(hr)) {
                *ppConfig = pConfig;
                pConfig->AddRef();
            } else {
                pLock->ReleaseWriteLock();
            }
        }
    }

    if (pLock != NULL) pLock->Release();
    pConfig->Release();
    if (FAILED(hr)) CoUninitialize();
    return hr;
}
