#include "adapters/print_error.h"

#include <cstdio>

void PrintError(const char* text) {
    printf("ERROR: %s\n", text);
    fflush(stdout);
}
