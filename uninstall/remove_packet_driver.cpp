// RemovePacketDriver: open the configuration, remove the component, apply, close.
#include <cstdio>

#include "uninstall/network_configuration.h"

HRESULT RemovePacketDriver(LPCWSTR componentId) {
    INetCfg* pConfig = NULL;

    HRESULT hr = OpenNetworkConfiguration(&pConfig);
    if (FAILED(hr)) {
        // The user has confirmed and gets no dialogue now: say that it failed (a lock held elsewhere was said).
        if (hr != NETCFG_E_NO_WRITE_LOCK) printf("\nAn error occured.");
        return hr;  // ProgressRunning stays true
    }

    // S_FALSE (not installed, or a step declined) is reported by the program's dialogue. Any other answer of
    // the removal means the driver is still there: the user is told so here. So is a failed Apply; a success
    // code from Apply (NETCFG_S_REBOOT: applied, in force after a restart) is no error.
    hr = UninstallNetworkComponent(pConfig, componentId);
    if (hr == S_OK) {
        hr = pConfig->Apply();  // only a removed component is applied
        if (hr == S_OK)
            printf("\nFinished uninstalling.\n");
        else if (FAILED(hr))
            printf("\nAn error occured.");
    } else if (hr != S_FALSE) {
        printf("\nAn error occured.");
    }

    CloseNetworkConfiguration(pConfig);
    return hr;
}
