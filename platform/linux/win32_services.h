// Win32 services calls of the Linux stand-in.
#pragma once

#include "win32_base.h"
