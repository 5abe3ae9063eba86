// Who the calling process is, as the stand-in's security checks see it.
#pragma once

enum class StandInTokenKind {
    Administrator,      // Administrators group present and enabled
    User,               // no Administrators group
    DenyOnlyAdministrator,  // filtered administrator token: the group is present for deny only
};

// TAMSIL_TOKEN = admin | user | deny-only-admin, else Administrator when running as root, User otherwise.
StandInTokenKind StandInProcessToken();

// True when the token holds S-1-5-32-544 as an enabled group.
bool StandInIsAdministrator();
