// Control of the Windows service "Network Vorel" through the Service Control Manager.
// No operation prints anything; every failure shows only as the answer 0 (none at all for the stop).
#include "host/service_control.h"

#include "platform/win32.h"

const char kVorelServiceName[] = "Network Vorel";

namespace {

// The first two steps of every operation: the manager of the local machine's active database, then the
// service, both with full access. When either fails the service handle is NULL and so is the manager's
// when that failed; the caller closes what it got with CloseVorelService.
SC_HANDLE OpenVorelService(SC_HANDLE* phManager) {
    *phManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (*phManager == NULL) return NULL;
    return OpenServiceA(*phManager, kVorelServiceName, SERVICE_ALL_ACCESS);
}

// Closes the service handle, then (the implementer's choice: no handle is left open) the manager's.
void CloseVorelService(SC_HANDLE hService, SC_HANDLE hManager) {
    if (hService != NULL) CloseServiceHandle(hService);
    if (hManager != NULL) CloseServiceHandle(hManager);
}

}  // namespace

int IsVorelServiceInstalled(void) {
    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = OpenVorelService(&hManager);
    int nAnswer = hService != NULL ? 1 : 0;
    CloseVorelService(hService, hManager);
    return nAnswer;
}

int IsVorelServiceRunning(void) {
    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = OpenVorelService(&hManager);
    SERVICE_STATUS Status = {};
    BOOL bQueried = hService != NULL && QueryServiceStatus(hService, &Status);
    CloseVorelService(hService, hManager);
    return bQueried && Status.dwCurrentState == SERVICE_RUNNING ? 1 : 0;
}

int StartVorelService(void) {
    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = OpenVorelService(&hManager);
    BOOL bStarted = hService != NULL && StartServiceA(hService, 0, NULL) > 0;
    CloseVorelService(hService, hManager);
    return bStarted ? 1 : 0;
}

int StopVorelService(void) {
    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = OpenVorelService(&hManager);
    SERVICE_STATUS Status = {};
    if (hService != NULL) ControlService(hService, SERVICE_CONTROL_STOP, &Status);  // result not looked at
    CloseVorelService(hService, hManager);
    return 1;
}

int DeleteVorelService(void) {
    SC_HANDLE hManager = NULL;
    SC_HANDLE hService = OpenVorelService(&hManager);
    if (hService == NULL || !DeleteService(hService)) {
        CloseVorelService(hService, hManager);
        return 0;
    }
    SERVICE_STATUS Status = {};
    ControlService(hService, SERVICE_CONTROL_INTERROGATE, &Status);  // result not looked at
    // DeleteService only marks the service; the manager removes it once it is stopped and every handle to
    // it is closed.
    CloseVorelService(hService, hManager);
    return 1;
}
