// UninstallNetworkComponent: find the component, remove it through its class's setup interface.
#include <cstdio>
#include <cstring>

#include "uninstall/network_configuration.h"
#include "uninstall/removal_state.h"

HRESULT UninstallNetworkComponent(INetCfg* pConfig, LPCWSTR componentId) {
    OBO_TOKEN oboToken;
    INetCfgComponent* pComponent = NULL;
    INetCfgClass* pClass = NULL;
    INetCfgClassSetup* pSetup = NULL;
    GUID classGuid;

    // Removed on behalf of the user, not of another component.
    std::memset(&oboToken, 0, sizeof oboToken);
    oboToken.Type = OBO_USER;

    printf("\nLooking for the Network Vorel Packet Driver...");
    ProgressBusy = true;
    HRESULT hr = pConfig->FindComponent(componentId, &pComponent);
    EndProgressStep();

    if (hr != S_OK) {
        // S_FALSE: not installed.
        printf(" failed.");
        printf("\nDid not find an existing Network Vorel Packet Driver.\n");
    } else {
        printf(" done.");
        printf("\nFound an installed version.");

        hr = pComponent->GetClassGuid(&classGuid);
        if (hr == S_OK) {
            hr = pConfig->QueryNetCfgClass(&classGuid, IID_INetCfgClass, reinterpret_cast<void**>(&pClass));
            if (SUCCEEDED(hr)) {
                hr = pClass->QueryInterface(IID_INetCfgClassSetup, reinterpret_cast<void**>(&pSetup));
                if (SUCCEEDED(hr)) {
                    printf("\nUninstalling Network Vorel Packet Driver...");
                    ProgressBusy = true;
                    hr = pSetup->DeInstall(pComponent, &oboToken, NULL);
                    EndProgressStep();
                    if (hr == S_OK)
                        printf(" done.");
                    else
                        printf(" failed.");
                    pSetup->Release();
                }
                pClass->Release();
            }
        }
        pComponent->Release();
    }

    ProgressRunning = false;
    return hr;
}
