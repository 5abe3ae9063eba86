#include "identity.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

StandInTokenKind StandInProcessToken() {
    const char* token = std::getenv("TAMSIL_TOKEN");
    if (token != nullptr && *token != '\0') {
        if (std::strcmp(token, "admin") == 0) return StandInTokenKind::Administrator;
        if (std::strcmp(token, "user") == 0) return StandInTokenKind::User;
        if (std::strcmp(token, "deny-only-admin") == 0) return StandInTokenKind::DenyOnlyAdministrator;
        std::fprintf(stderr, "tamsil: TAMSIL_TOKEN \"%s\" is not admin, user or deny-only-admin; using user\n", token);
        return StandInTokenKind::User;
    }
    return geteuid() == 0 ? StandInTokenKind::Administrator : StandInTokenKind::User;
}

bool StandInIsAdministrator() { return StandInProcessToken() == StandInTokenKind::Administrator; }
