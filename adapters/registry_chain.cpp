#include "adapters/registry_chain.h"

#include <cstdio>

#include "adapters/print_error.h"

LONG OpenRegistryChain(const RegistryStep* steps, int count, HKEY* keys) {
    HKEY parent = HKEY_LOCAL_MACHINE;
    for (int i = 0; i < count; ++i) {
        LONG status = RegOpenKeyExW(parent, steps[i].subKey, 0, KEY_READ, &keys[i]);
        if (status != ERROR_SUCCESS) {
            PrintError(steps[i].errorText);
            if (steps[i].hint != nullptr) printf("%s", steps[i].hint);
            CloseRegistryChain(keys, i);
            return status;
        }
        parent = keys[i];
    }
    return ERROR_SUCCESS;
}

void CloseRegistryChain(HKEY* keys, int count) {
    for (int i = count - 1; i >= 0; --i) RegCloseKey(keys[i]);
}
