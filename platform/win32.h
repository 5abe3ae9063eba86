// The only operating-system include of the system's own code.
// Windows: the platform's headers and DLLs. Linux: the stand-in in platform/linux.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netcfgx.h>
#include <objbase.h>
#else
#include "linux/win32_base.h"
#include "linux/win32_memory.h"
#include "linux/win32_nls.h"
#include "linux/win32_registry.h"
#include "linux/win32_iphelper.h"
#include "linux/win32_devices.h"
#include "linux/win32_console.h"
#include "linux/win32_dialogs.h"
#include "linux/win32_security.h"
#include "linux/win32_services.h"
#include "linux/win32_threads.h"
#include "linux/win32_modules.h"
#include "linux/win32_com.h"
#endif

#include "text.h"
