// Opening a registry path one key at a time, with the line that names each key that cannot be read.
#pragma once

#include "win32.h"

struct RegistryStep {
    const WCHAR* subKey;
    const char* errorText;  // printed through PrintError when the open fails
    const char* hint;       // printed after it, or nullptr
};

// Opens steps[0] under HKEY_LOCAL_MACHINE and each further step under the key before it, with KEY_READ.
// On a failure prints that step's lines, closes what it opened (innermost first) and returns the status;
// on success keys[0..count-1] are open.
LONG OpenRegistryChain(const RegistryStep* steps, int count, HKEY* keys);

// Closes keys[count-1] down to keys[0].
void CloseRegistryChain(HKEY* keys, int count);
