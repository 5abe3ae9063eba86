// Test controls of the stand-in's COM network configuration, shared by com.cpp and netcfg.cpp: chosen answers,
// chosen delays, the call log and the call observer (set through testing.h or the environment:
// TAMSIL_NETCFG_ANSWERS, TAMSIL_NETCFG_DELAYS, TAMSIL_NETCFG_TRACE).
#pragma once

#include <string>

#include "win32_base.h"

// Called as a COM call begins, with its name (e.g. "FindComponent", "QueryInterface(INetCfgLock)"): tells the
// observer, then waits out the call's chosen delay. True with *answer set when the call has a chosen answer.
bool NetCfgCallBegins(const std::string& call, HRESULT* answer);

// Records a finished call in the log (and the trace file), e.g. `INetCfg.FindComponent("Larkspire") = S_OK`.
void NetCfgLog(const std::string& line);

// "S_OK", "NETCFG_E_NO_WRITE_LOCK", ... or "0x8000FFFF".
std::string NetCfgResultName(HRESULT hr);

// "{4D36E975-E325-11CE-BFC1-08002BE10318}" and back (false when `text` is not one).
std::string NetCfgGuidText(const GUID& guid);
bool NetCfgParseGuid(const std::u16string& text, GUID& guid);

// The longest wait AcquireWriteLock may do, given the caller's time-out (tests may cap it).
DWORD NetCfgLockWait(DWORD requested);

// "IID_INetCfgLock", "CLSID_CNetCfg", ... or the GUID's text.
std::string NetCfgIidName(const GUID& iid);

// The class object behind CLSID_CNetCfg (netcfg.cpp): a new configuration object, asked for `riid`.
HRESULT NetCfgCreateObject(REFIID riid, void** ppv);
