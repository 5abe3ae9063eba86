// Controls of the Linux stand-in that only tests use. The system's own code never includes this.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "win32_base.h"

// ---- Failure injection (every area) ----
// The named Win32 call (e.g. "RegOpenKeyEx", "GlobalAlloc"; registry and other A/W pairs are named
// without their A/W suffix and share one plan) lets `skip` calls through, then fails
// `times` calls (< 0: every call) with `error` as its result or last error. times == 0 cancels the plan.
// For a whole process, TAMSIL_FAIL_CALLS="AccessCheck=1338;..." plans every call of each name to fail.
void StandInFailCall(const char* callName, DWORD error, int skip = 0, int times = 1);
void StandInClearFailures();
// Runs `action` once, on the calling thread, when the named call (a name as above) is next entered, before the
// call does anything: a test can hold a thread at that point while others go on. StandInClearFailures drops it.
void StandInOnNextCall(const char* callName, std::function<void()> action);

// ---- Version ----
// Overrides TAMSIL_WINDOWS_VERSION for this process ("4.0", "5.1", ...); nullptr restores the default.
void StandInSetWindowsVersion(const char* version);

// ---- Registry ----
// Replaces the whole registry with the contents of a .reg text (regedit export format). Returns false and
// leaves an empty registry when the text is malformed (the message names `sourceName` and the line).
bool StandInLoadRegistryText(std::string_view regText, const char* sourceName = "<test>");
// Empties the registry and forgets the backing file; the next use loads TAMSIL_REGISTRY afresh.
void StandInResetRegistry();
// The registry as .reg text, exactly as it would be written back to its file.
std::string StandInRegistryText();
// Registry handles open now (for leak checks).
size_t StandInOpenRegistryHandles();

// ---- IP Helper ----
// Replaces the adapter list as TAMSIL_ADAPTERS would ("name|description;..."); nullptr restores the
// machine's own interfaces (or the environment's list).
void StandInSetAdapters(const char* adapters);
// Descriptions reach the caller in the ANSI code page (TAMSIL_ANSI_CODEPAGE, 1252 by default); this picks
// another for this process (0 restores the environment's), for GetACP and MultiByteToWideChar(CP_ACP) too.
void StandInSetAnsiCodePage(UINT codePage);
// Called as each GetInterfaceInfo / GetAdaptersInfo call begins, with the call's name, before it looks at the
// list: e.g. to add an adapter between a caller's size query and its fill. nullptr removes the observer.
void StandInOnIpHelperCall(std::function<void(const std::string& call)> observer);

// ---- Dialogs ----
// Every message box shown in this process, in order (caption and text as UTF-8).
struct StandInDialog {
    std::string caption;
    std::string text;
    UINT style;
};
std::vector<StandInDialog> StandInDialogsShown();
// Forgets the boxes shown and restarts TAMSIL_DIALOG_ANSWERS from its first answer.
void StandInClearDialogs();

// ---- Security ----
// The process token comes from TAMSIL_TOKEN (admin, user, deny-only-admin), else root or not: set the
// variable to choose. These count what the security calls hold now, to find leaks.
size_t StandInOpenTokenCount();   // token handles not yet closed
size_t StandInLiveSidCount();     // SIDs of AllocateAndInitializeSid not yet freed
bool StandInThreadIsImpersonating();  // the calling thread carries an impersonation token

// ---- Service Control Manager ----
// Services are keys under HKLM\SYSTEM\CurrentControlSet\Services with a REG_DWORD Type; their state is the
// stand-in's REG_DWORD StandInState (1 stopped .. 7 paused), DeleteFlag marks one for deletion: load a .reg
// text with StandInLoadRegistryText to install one. This counts the manager and service handles open now.
size_t StandInOpenServiceHandleCount();
// Closes every manager and service handle still open, as the end of the process would.
void StandInCloseAllServiceHandles();

// ---- COM network configuration (netcfg) ----
// The configuration is the registry's HKLM\SYSTEM\CurrentControlSet\Control\Network\{class GUID}\{instance GUID}
// keys with a REG_SZ ComponentId: load a .reg text to install a component; a successful Apply deletes the
// DeInstalled component's key (and HKLM\SYSTEM\CurrentControlSet\Services\<its Ndi\Service>). The write lock is
// process-wide, and with TAMSIL_REGISTRY set also held across processes: flock on "<TAMSIL_REGISTRY>.netcfg-lock",
// whose contents are the holder's client description (UTF-8).
// Calls are named by their method ("CoInitializeEx", "CoCreateInstance", "AcquireWriteLock", "Initialize",
// "FindComponent", "GetClassGuid", "QueryNetCfgClass", "DeInstall", "Apply", "Uninitialize", "ReleaseWriteLock", ...),
// QueryInterface by the interface asked for ("QueryInterface(INetCfgLock)", "QueryInterface(INetCfgClassSetup)").
// The environment sets the same for a whole process: TAMSIL_NETCFG_ANSWERS="DeInstall=0x0004A020;Apply=E_FAIL",
// TAMSIL_NETCFG_DELAYS="DeInstall=1500", TAMSIL_NETCFG_TRACE=<file> (the call log, appended line by line).
//
// Every later call of that name answers `answer`: a failure code makes the call do nothing (outputs null); a
// success code lets the call do its work and answers that code instead of its own success.
void StandInNetCfgAnswer(const char* call, HRESULT answer);
// Every later call of that name first waits `milliseconds` (0 cancels), e.g. to watch the progress dots.
void StandInNetCfgDelay(const char* call, DWORD milliseconds);
// Caps AcquireWriteLock's wait (the call is still logged with the time-out it was given).
void StandInNetCfgLimitLockWait(DWORD milliseconds);
// Called as each call begins, with its name, before its delay: e.g. to look at state the caller keeps.
void StandInNetCfgOnCall(std::function<void(const std::string& call)> observer);
// The calls made so far, one line each, as `INetCfg.FindComponent("Larkspire") = S_OK`,
// `INetCfgClassSetup.Release() = 1` (the count left), `CoInitializeEx(NULL, 0x6) = S_OK`.
std::vector<std::string> StandInNetCfgCalls();
// Forgets answers, delays (the environment's too), the log, the observer and the wait cap.
void StandInClearNetCfg();
// Blocks from CoTaskMemAlloc not yet given back with CoTaskMemFree.
long StandInCoTaskMemBlocks();

// ---- Console ----
// Delivers a console control event to the registered handlers on the stand-in's dispatch thread, as a
// Ctrl+C (SIGINT) would; false when no handler was ever registered.
bool StandInRaiseConsoleEvent(DWORD ctrlType);
// Handlers registered now (SetConsoleCtrlHandler adds one per call, as the system does).
size_t StandInConsoleHandlerCount();

// ---- Handles and packet driver devices ----
// Handles of the stand-in's handle table (events, devices) not yet closed, to find leaks.
size_t StandInOpenHandleCount();
// Device calls answer to StandInFailCall as "DefineDosDevice", "QueryDosDevice", "CreateFile", "ReadFile",
// "GetOverlappedResult", "DeviceIoControl", "CreateEvent", "SetEvent", "ResetEvent", "WaitForSingleObject" and
// "CloseHandle" (a failed DefineDosDevice defines nothing).
//
// A scripted device object at `devicePath` (e.g. "\\Device\\NetVorel_test0"); it comes before live and
// replay devices of the same path. Adding it again starts its script afresh. Each queued reply completes one
// read, in order; a read with nothing queued waits until something is queued or the device is closed.
void StandInAddScriptedDevice(const char* devicePath);
// The read succeeds with these bytes (cut to the read's length) as its block.
void StandInScriptBlock(const char* devicePath, std::vector<unsigned char> block);
// The read succeeds with 0 bytes transferred.
void StandInScriptEmptyRead(const char* devicePath);
// The read fails with `error`.
void StandInScriptFailedRead(const char* devicePath, DWORD error);
// From now on every DeviceIoControl fails with `error` (0: answered as the driver would again).
void StandInScriptRefuseRequests(const char* devicePath, DWORD error);
// One DeviceIoControl as the device received it.
struct StandInIoControl {
    DWORD code;
    std::vector<unsigned char> input;  // the input buffer's bytes
    DWORD outputSize;
};
struct StandInScriptedDeviceState {
    unsigned opens = 0;        // successful CreateFile calls so far
    unsigned openNow = 0;      // handles open now
    unsigned readsIssued = 0;  // ReadFile calls that reached the device
    size_t repliesLeft = 0;    // queued replies not yet used
    bool promiscuous = false;  // as the last accepted packet filter left it (cleared on close)
    std::vector<StandInIoControl> ioControls;
};
StandInScriptedDeviceState StandInScriptedDevice(const char* devicePath);
// The paths CreateFileA/W were asked to open, in order (UTF-8).
std::vector<std::string> StandInCreateFileCalls();
// Forgets DOS names, scripted devices and the CreateFile log; open handles stay usable.
void StandInResetDevices();
// Live capture devices: frames received and dropped as libpcap counts them; false for other handles.
bool StandInDeviceCaptureStats(HANDLE hDevice, unsigned* received, unsigned* dropped);
