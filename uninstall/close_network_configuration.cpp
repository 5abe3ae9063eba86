// CloseNetworkConfiguration: uninitialise, give back the write lock, release, uninitialise COM.
#include "uninstall/network_configuration.h"

HRESULT CloseNetworkConfiguration(INetCfg* pConfig) {
    INetCfgLock* pLock = NULL;

    HRESULT hr = pConfig->Uninitialize();
    if (SUCCEEDED(hr)) {
        hr = pConfig->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&pLock));
        if (SUCCEEDED(hr)) {
            hr = pLock->ReleaseWriteLock();
            pLock->Release();
        }
    }
    pConfig->Release();
    CoUninitialize();
    return hr;
}
