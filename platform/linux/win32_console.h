// Win32 console calls of the Linux stand-in.
#pragma once

#include "win32_base.h"
