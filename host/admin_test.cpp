// The administrator test: does the caller's token hold the built-in Administrators alias as an
// enabled group? A private security descriptor grants access 1 to S-1-5-32-544 only; AccessCheck answers.
// Built into tamsil (isAdmin) and into ousterling; it uses the platform and nothing else.
#include "host/admin_test.h"

#include <cstdio>

#include "platform/win32.h"

namespace {

// Private access rights of the test, bits that no system object uses.
constexpr DWORD kRight1 = 1;
constexpr DWORD kRight2 = 2;
constexpr DWORD kDesiredAccess = kRight1;
constexpr DWORD kAllowedMask = kRight1 | kRight2;

// An 8-byte ACL header and a 12-byte access-allowed ACE, less the ACE's 4-byte SidStart that the SID overlays.
constexpr DWORD kDaclOverhead = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
static_assert(kDaclOverhead == 16, "the DACL is the SID's length + 16");
static_assert(sizeof(PRIVILEGE_SET) == 20, "room for one PRIVILEGE_SET of 20 bytes");
static_assert(sizeof(void*) != 4 || SECURITY_DESCRIPTOR_MIN_LENGTH == 20, "a 20-byte descriptor on 32-bit Windows");

}  // namespace

int AdministratorTest(void) {
    BOOL bAccessStatus = FALSE;  // the answer: set only by a successful AccessCheck
    BOOL bReverted = FALSE;
    HANDLE hToken = NULL;
    PSID pAdministratorsSid = NULL;
    PSECURITY_DESCRIPTOR pSecurityDescriptor = NULL;
    PACL pDacl = NULL;
    SID_IDENTIFIER_AUTHORITY NtAuthority = SECURITY_NT_AUTHORITY;
    GENERIC_MAPPING GenericMapping = {kRight1, kRight2, 0, kRight1 | kRight2};
    PRIVILEGE_SET PrivilegeSet;
    DWORD nPrivilegeSetLength = sizeof(PRIVILEGE_SET);
    DWORD nGrantedAccess = 0;
    DWORD nDaclLength = 0;

    // 1. The calling thread takes an impersonation copy of the process token; the result is not looked at.
    ImpersonateSelf(SecurityImpersonation);

    // 2. The thread's token, or the process token when the thread has none.
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &hToken)) {
        hToken = NULL;
        if (GetLastError() != ERROR_NO_TOKEN) goto CleanUp;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
            hToken = NULL;
            goto CleanUp;
        }
    }

    // 3. S-1-5-32-544.
    if (!AllocateAndInitializeSid(&NtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                  0, 0, 0, &pAdministratorsSid)) {
        pAdministratorsSid = NULL;
        goto CleanUp;
    }

    // 4. The security descriptor.
    pSecurityDescriptor = (PSECURITY_DESCRIPTOR)LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (pSecurityDescriptor == NULL) goto CleanUp;
    if (!InitializeSecurityDescriptor(pSecurityDescriptor, SECURITY_DESCRIPTOR_REVISION)) goto CleanUp;

    // 5. The DACL.
    nDaclLength = GetLengthSid(pAdministratorsSid) + kDaclOverhead;
    pDacl = (PACL)LocalAlloc(LPTR, nDaclLength);
    if (pDacl == NULL) goto CleanUp;
    if (!InitializeAcl(pDacl, nDaclLength, ACL_REVISION2)) goto CleanUp;

    // 6. Rights 1 and 2 for the Administrators alias, and nobody else.
    if (!AddAccessAllowedAce(pDacl, ACL_REVISION2, kAllowedMask, pAdministratorsSid)) goto CleanUp;

    // 7., 8. DACL, group and owner.
    if (!SetSecurityDescriptorDacl(pSecurityDescriptor, TRUE, pDacl, FALSE)) goto CleanUp;
    SetSecurityDescriptorGroup(pSecurityDescriptor, pAdministratorsSid, FALSE);
    SetSecurityDescriptorOwner(pSecurityDescriptor, pAdministratorsSid, FALSE);

    // 9.
    if (!IsValidSecurityDescriptor(pSecurityDescriptor)) goto CleanUp;

    // 10., 11. Would the token be granted access 1?
    if (!AccessCheck(pSecurityDescriptor, hToken, kDesiredAccess, &GenericMapping, &PrivilegeSet,
                     &nPrivilegeSetLength, &nGrantedAccess, &bAccessStatus)) {
        printf("AccessCheck() failed with error %lu\n", (unsigned long)GetLastError());
        fflush(stdout);
        bAccessStatus = FALSE;
    } else {
        RevertToSelf();
        bReverted = TRUE;
    }

CleanUp:
    // 12. In this order: the DACL, the descriptor, the SID. Then (the implementer's choice) the token is
    // closed and the impersonation is ended on every exit.
    if (pDacl != NULL) LocalFree((HLOCAL)pDacl);
    if (pSecurityDescriptor != NULL) LocalFree((HLOCAL)pSecurityDescriptor);
    if (pAdministratorsSid != NULL) FreeSid(pAdministratorsSid);
    if (hToken != NULL) CloseHandle(hToken);
    if (!bReverted) RevertToSelf();

    // 13.
    return bAccessStatus ? 1 : 0;
}
