// Network configuration access: removal of the packet driver's network component through the
// platform's network configuration objects (CLSID_CNetCfg), with its console transcript.
#pragma once

#include "platform/win32.h"

// The whole removal: S_OK when the component was removed and the change applied, S_FALSE when it was not found
// (or a later step answered S_FALSE), any other value as the platform answered it. The program calls it with
// PacketDriverComponentId.
HRESULT RemovePacketDriver(LPCWSTR componentId);

// Initialises COM on the calling thread, creates the configuration object, takes its write lock and initialises
// it. On success *ppConfig holds one reference and COM stays initialised; on failure all is undone.
HRESULT OpenNetworkConfiguration(INetCfg** ppConfig);

// Finds the component and removes it through its class's setup interface; writes the transcript and drives
// both progress flags (ProgressRunning is false afterwards, on every path).
HRESULT UninstallNetworkComponent(INetCfg* pConfig, LPCWSTR componentId);

// Uninitialises the configuration, gives back the write lock, releases the object and uninitialises COM.
HRESULT CloseNetworkConfiguration(INetCfg* pConfig);
