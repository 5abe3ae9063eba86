// Win32 security calls of the Linux stand-in.
#pragma once

#include "win32_base.h"
