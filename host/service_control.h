// Control of the Windows service "Network Vorel". Each call opens the local Service Control
// Manager with full access and the service by its key name with full access, does one thing, closes both
// handles and answers 1 or 0.
#pragma once

// The service's key name, not its display name.
extern const char kVorelServiceName[];

int IsVorelServiceInstalled(void);  // 1 when the service can be opened with full access
int IsVorelServiceRunning(void);    // 1 when its current state is SERVICE_RUNNING
int StartVorelService(void);        // 1 when StartServiceA succeeded (it does not wait for the start)
int StopVorelService(void);         // sends SERVICE_CONTROL_STOP; always 1
int DeleteVorelService(void);       // 1 when DeleteService marked the service for deletion
