// Security calls: SIDs, absolute security descriptors, ACLs, access tokens, impersonation and AccessCheck.
// The records have the platform's binary layout and the calls check them as the platform does for the cases
// the system relies on. A token holds a user SID and groups; whether it holds the Administrators alias
// (S-1-5-32-544), enabled or for deny only, comes from identity.h (TAMSIL_TOKEN, else root or not).
// AccessCheck is a real evaluation of the DACL against the token's groups with the caller's generic mapping.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "faults.h"
#include "identity.h"
#include "immortal.h"
#include "security_tokens.h"
#include "testing.h"
#include "win32_security.h"

#define ERROR_UNKNOWN_REVISION 1305L
#define ERROR_REVISION_MISMATCH 1306L
#define ERROR_BAD_IMPERSONATION_LEVEL 1346L
#define ERROR_GENERIC_NOT_MAPPED 1360L
#define ERROR_ALLOTTED_SPACE_EXCEEDED 1344L

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

constexpr size_t kSidHeader = 8;  // revision, count, six authority bytes
constexpr DWORD kMaxSubAuthorities = 8;  // what AllocateAndInitializeSid accepts

// ---- SIDs as byte strings ----

using SidBytes = std::vector<BYTE>;

SidBytes MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    SidBytes sid(kSidHeader + 4 * subAuthorities.size(), 0);
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    sid[7] = authority;
    size_t at = kSidHeader;
    for (DWORD sub : subAuthorities) {
        std::memcpy(&sid[at], &sub, 4);
        at += 4;
    }
    return sid;
}

// A SID in memory is valid when its revision is 1 and it has at most 15 sub-authorities.
bool SidValid(const void* sid) {
    if (sid == nullptr) return false;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return bytes[0] == SID_REVISION && bytes[1] <= SID_MAX_SUB_AUTHORITIES;
}

size_t SidLength(const void* sid) { return kSidHeader + 4 * static_cast<const BYTE*>(sid)[1]; }

bool SidEquals(const void* sid, const SidBytes& other) {
    return SidValid(sid) && SidLength(sid) == other.size() && std::memcmp(sid, other.data(), other.size()) == 0;
}

// ---- Tokens ----

struct TokenGroup {
    SidBytes sid;
    DWORD attributes;
};

struct Token {
    bool impersonation;
    SECURITY_IMPERSONATION_LEVEL level;
    DWORD grantedAccess;  // the rights of the handle
    SidBytes user;
    std::vector<TokenGroup> groups;
};

// The token the process runs with, as identity.h describes it.
Token ProcessToken() {
    Token token{};
    StandInTokenKind kind = StandInProcessToken();
    constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    token.user = MakeSid(5, {21, 1004336348u, 1177238915u, 682003330u, kind == StandInTokenKind::User ? 1001u : 500u});
    token.groups.push_back({MakeSid(1, {SECURITY_WORLD_RID}), kEnabled});
    token.groups.push_back({MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}), kEnabled});
    token.groups.push_back({MakeSid(5, {11}), kEnabled});  // Authenticated Users
    SidBytes administrators = MakeSid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    if (kind == StandInTokenKind::Administrator)
        token.groups.push_back({administrators, kEnabled | SE_GROUP_OWNER});
    else if (kind == StandInTokenKind::DenyOnlyAdministrator)
        token.groups.push_back({administrators, SE_GROUP_USE_FOR_DENY_ONLY});
    return token;
}

struct Security {
    std::mutex lock;
    std::map<HANDLE, std::unique_ptr<Token>> tokens;
    std::unordered_set<const void*> sids;  // made by AllocateAndInitializeSid, not yet freed
};

Security& Sec() {
    static Security& security = Immortal<Security>();
    return security;
}

// The impersonation token of the calling thread, if any.
thread_local std::optional<Token> threadToken;

HANDLE NewTokenHandle(Token token) {
    auto owned = std::make_unique<Token>(std::move(token));
    HANDLE handle = owned.get();
    Security& s = Sec();
    std::lock_guard<std::mutex> guard(s.lock);
    s.tokens.emplace(handle, std::move(owned));
    return handle;
}

SECURITY_DESCRIPTOR* Descriptor(PSECURITY_DESCRIPTOR p) { return static_cast<SECURITY_DESCRIPTOR*>(p); }

// The ACL's ACEs, checked against its size; nullopt when they do not fit.
struct AceView {
    const ACE_HEADER* header;
};
std::optional<std::vector<AceView>> AcesOf(const ACL* acl) {
    if (acl->AclRevision < ACL_REVISION2 || acl->AclRevision > ACL_REVISION_DS) return std::nullopt;
    if (acl->AclSize < sizeof(ACL)) return std::nullopt;
    std::vector<AceView> aces;
    const BYTE* base = reinterpret_cast<const BYTE*>(acl);
    size_t at = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) {
        if (at + sizeof(ACE_HEADER) > acl->AclSize) return std::nullopt;
        const auto* header = reinterpret_cast<const ACE_HEADER*>(base + at);
        if (header->AceSize < sizeof(ACE_HEADER) || at + header->AceSize > acl->AclSize) return std::nullopt;
        aces.push_back(AceView{header});
        at += header->AceSize;
    }
    return aces;
}

// Where the next ACE goes: after the last one.
std::optional<size_t> AcesEnd(const ACL* acl) {
    auto aces = AcesOf(acl);
    if (!aces) return std::nullopt;
    size_t end = sizeof(ACL);
    for (const AceView& ace : *aces) end += ace.header->AceSize;
    return end;
}

DWORD MapGeneric(DWORD mask, const GENERIC_MAPPING& mapping) {
    if (mask & GENERIC_READ) mask |= mapping.GenericRead;
    if (mask & GENERIC_WRITE) mask |= mapping.GenericWrite;
    if (mask & GENERIC_EXECUTE) mask |= mapping.GenericExecute;
    if (mask & GENERIC_ALL) mask |= mapping.GenericAll;
    return mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// Does the ACE's SID name this token? Allow ACEs match the user and enabled groups; deny ACEs also match
// groups that are present for deny only.
bool TokenMatches(const Token& token, const void* sid, bool forDeny) {
    if (SidEquals(sid, token.user)) return true;
    for (const TokenGroup& group : token.groups) {
        if (!SidEquals(sid, group.sid)) continue;
        if (group.attributes & SE_GROUP_USE_FOR_DENY_ONLY) return forDeny;
        if (group.attributes & SE_GROUP_ENABLED) return true;
    }
    return false;
}

}  // namespace

// ---- Pseudo-handles ----

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }
extern "C" HANDLE WINAPI GetCurrentThread(void) { return kCurrentThread; }

// ---- SIDs ----

extern "C" BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                                DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                                DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                                DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
    if (StandInCallFailsWithLastError("AllocateAndInitializeSid")) return FALSE;
    if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount > kMaxSubAuthorities)
        return StandInFailWith(ERROR_INVALID_PARAMETER);
    const DWORD subs[kMaxSubAuthorities] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                                            nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    size_t length = kSidHeader + 4 * static_cast<size_t>(nSubAuthorityCount);
    auto* sid = static_cast<BYTE*>(std::calloc(1, length));
    if (sid == nullptr) return StandInFailWith(ERROR_NOT_ENOUGH_MEMORY);
    sid[0] = SID_REVISION;
    sid[1] = nSubAuthorityCount;
    std::memcpy(sid + 2, pIdentifierAuthority->Value, 6);
    std::memcpy(sid + kSidHeader, subs, 4 * static_cast<size_t>(nSubAuthorityCount));
    {
        Security& s = Sec();
        std::lock_guard<std::mutex> guard(s.lock);
        s.sids.insert(sid);
    }
    *pSid = sid;
    return TRUE;
}

extern "C" PVOID WINAPI FreeSid(PSID pSid) {
    Security& s = Sec();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.sids.erase(pSid) == 0) return pSid;  // not a SID of AllocateAndInitializeSid: left alone
    std::free(pSid);
    return nullptr;
}

extern "C" DWORD WINAPI GetLengthSid(PSID pSid) {
    if (!SidValid(pSid)) return 0;
    return static_cast<DWORD>(SidLength(pSid));
}

extern "C" BOOL WINAPI IsValidSid(PSID pSid) { return SidValid(pSid) ? TRUE : StandInFailWith(ERROR_INVALID_SID); }

extern "C" BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
    if (!SidValid(pSid1) || !SidValid(pSid2)) return StandInFailWith(ERROR_INVALID_SID);
    SetLastError(ERROR_SUCCESS);
    return SidLength(pSid1) == SidLength(pSid2) && std::memcmp(pSid1, pSid2, SidLength(pSid1)) == 0;
}

// ---- Security descriptors and ACLs ----

extern "C" BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (StandInCallFailsWithLastError("InitializeSecurityDescriptor")) return FALSE;
    if (pSecurityDescriptor == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return StandInFailWith(ERROR_UNKNOWN_REVISION);
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    Descriptor(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

extern "C" BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
    if (StandInCallFailsWithLastError("InitializeAcl")) return FALSE;
    if (pAcl == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    if (nAclLength < sizeof(ACL)) return StandInFailWith(ERROR_INSUFFICIENT_BUFFER);
    if (dwAclRevision < ACL_REVISION2 || dwAclRevision > ACL_REVISION_DS || nAclLength > 0xFFFF)
        return StandInFailWith(ERROR_INVALID_PARAMETER);
    std::memset(pAcl, 0, sizeof(ACL));
    pAcl->AclRevision = static_cast<BYTE>(dwAclRevision);
    pAcl->AclSize = static_cast<WORD>(nAclLength & ~3u);
    return TRUE;
}

extern "C" BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
    if (StandInCallFailsWithLastError("AddAccessAllowedAce")) return FALSE;
    if (pAcl == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    if (!SidValid(pSid)) return StandInFailWith(ERROR_INVALID_SID);
    if (dwAceRevision < ACL_REVISION2 || dwAceRevision > ACL_REVISION_DS) return StandInFailWith(ERROR_REVISION_MISMATCH);
    std::optional<size_t> end = AcesEnd(pAcl);
    if (!end) return StandInFailWith(ERROR_INVALID_ACL);
    size_t aceSize = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SidLength(pSid);
    if (*end + aceSize > pAcl->AclSize) return StandInFailWith(ERROR_ALLOTTED_SPACE_EXCEEDED);
    BYTE* at = reinterpret_cast<BYTE*>(pAcl) + *end;
    ACCESS_ALLOWED_ACE ace{};
    ace.Header.AceType = ACCESS_ALLOWED_ACE_TYPE;
    ace.Header.AceFlags = 0;
    ace.Header.AceSize = static_cast<WORD>(aceSize);
    ace.Mask = AccessMask;
    std::memcpy(at, &ace, offsetof(ACCESS_ALLOWED_ACE, SidStart));
    std::memcpy(at + offsetof(ACCESS_ALLOWED_ACE, SidStart), pSid, SidLength(pSid));
    ++pAcl->AceCount;
    if (dwAceRevision > pAcl->AclRevision) pAcl->AclRevision = static_cast<BYTE>(dwAceRevision);
    return TRUE;
}

namespace {

// The checks that every Set call makes on the descriptor it changes.
bool UsableAbsoluteDescriptor(PSECURITY_DESCRIPTOR p) {
    if (p == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    if (Descriptor(p)->Revision != SECURITY_DESCRIPTOR_REVISION) return StandInFailWith(ERROR_UNKNOWN_REVISION);
    if (Descriptor(p)->Control & SE_SELF_RELATIVE) return StandInFailWith(ERROR_INVALID_SECURITY_DESCR);
    return true;
}

}  // namespace

extern "C" BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                                 BOOL bDaclDefaulted) {
    if (StandInCallFailsWithLastError("SetSecurityDescriptorDacl")) return FALSE;
    if (!UsableAbsoluteDescriptor(pSecurityDescriptor)) return FALSE;
    SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
    sd->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (bDaclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
        sd->Dacl = pDacl;
    } else {
        sd->Dacl = nullptr;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup, BOOL bGroupDefaulted) {
    if (StandInCallFailsWithLastError("SetSecurityDescriptorGroup")) return FALSE;
    if (!UsableAbsoluteDescriptor(pSecurityDescriptor)) return FALSE;
    SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
    sd->Group = pGroup;
    sd->Control &= static_cast<WORD>(~SE_GROUP_DEFAULTED);
    if (bGroupDefaulted) sd->Control |= SE_GROUP_DEFAULTED;
    return TRUE;
}

extern "C" BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner, BOOL bOwnerDefaulted) {
    if (StandInCallFailsWithLastError("SetSecurityDescriptorOwner")) return FALSE;
    if (!UsableAbsoluteDescriptor(pSecurityDescriptor)) return FALSE;
    SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
    sd->Owner = pOwner;
    sd->Control &= static_cast<WORD>(~SE_OWNER_DEFAULTED);
    if (bOwnerDefaulted) sd->Control |= SE_OWNER_DEFAULTED;
    return TRUE;
}

extern "C" BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
    if (StandInCallFailsWithLastError("IsValidSecurityDescriptor")) return FALSE;
    if (pSecurityDescriptor == nullptr) return StandInFailWith(ERROR_INVALID_SECURITY_DESCR);
    const SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
    bool valid = sd->Revision == SECURITY_DESCRIPTOR_REVISION && (sd->Control & SE_SELF_RELATIVE) == 0 &&
                 (sd->Owner == nullptr || SidValid(sd->Owner)) && (sd->Group == nullptr || SidValid(sd->Group));
    if (valid && (sd->Control & SE_DACL_PRESENT) && sd->Dacl != nullptr) {
        auto aces = AcesOf(sd->Dacl);
        valid = aces.has_value();
        if (valid)
            for (const AceView& ace : *aces)
                if ((ace.header->AceType == ACCESS_ALLOWED_ACE_TYPE || ace.header->AceType == ACCESS_DENIED_ACE_TYPE) &&
                    (ace.header->AceSize < sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + kSidHeader ||
                     !SidValid(reinterpret_cast<const BYTE*>(ace.header) + offsetof(ACCESS_ALLOWED_ACE, SidStart)) ||
                     ace.header->AceSize < offsetof(ACCESS_ALLOWED_ACE, SidStart) +
                                               SidLength(reinterpret_cast<const BYTE*>(ace.header) +
                                                         offsetof(ACCESS_ALLOWED_ACE, SidStart))))
                    valid = false;
    }
    return valid ? TRUE : StandInFailWith(ERROR_INVALID_SECURITY_DESCR);
}

// ---- Tokens and impersonation ----

extern "C" BOOL WINAPI ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL ImpersonationLevel) {
    if (StandInCallFailsWithLastError("ImpersonateSelf")) return FALSE;
    if (ImpersonationLevel < SecurityAnonymous || ImpersonationLevel > SecurityDelegation)
        return StandInFailWith(ERROR_INVALID_PARAMETER);
    Token token = ProcessToken();
    token.impersonation = true;
    token.level = ImpersonationLevel;
    threadToken = std::move(token);
    return TRUE;
}

extern "C" BOOL WINAPI RevertToSelf(void) {
    if (StandInCallFailsWithLastError("RevertToSelf")) return FALSE;
    threadToken.reset();
    return TRUE;
}

extern "C" BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL, PHANDLE TokenHandle) {
    if (StandInCallFailsWithLastError("OpenThreadToken")) return FALSE;
    if (TokenHandle == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);  // the platform faults; we refuse
    if (ThreadHandle != kCurrentThread) return StandInFailWith(ERROR_INVALID_HANDLE);
    if (!threadToken) return StandInFailWith(ERROR_NO_TOKEN);
    // An identification-level or anonymous token cannot be opened by the thread it impersonates on.
    if (threadToken->level < SecurityIdentification) return StandInFailWith(ERROR_BAD_IMPERSONATION_LEVEL);
    Token token = *threadToken;
    token.grantedAccess = DesiredAccess & TOKEN_ALL_ACCESS;
    *TokenHandle = NewTokenHandle(std::move(token));
    return TRUE;
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (StandInCallFailsWithLastError("OpenProcessToken")) return FALSE;
    if (TokenHandle == nullptr) return StandInFailWith(ERROR_INVALID_PARAMETER);
    if (ProcessHandle != kCurrentProcess) return StandInFailWith(ERROR_INVALID_HANDLE);
    Token token = ProcessToken();
    token.impersonation = false;
    token.level = SecurityAnonymous;
    token.grantedAccess = DesiredAccess & TOKEN_ALL_ACCESS;
    *TokenHandle = NewTokenHandle(std::move(token));
    return TRUE;
}

bool StandInIsTokenHandle(HANDLE handle) {
    Security& s = Sec();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.tokens.count(handle) != 0;
}

bool StandInCloseTokenHandle(HANDLE handle) {
    Security& s = Sec();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.tokens.erase(handle) != 0;
}

size_t StandInOpenTokenCount() {
    Security& s = Sec();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.tokens.size();
}

size_t StandInLiveSidCount() {
    Security& s = Sec();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.sids.size();
}

bool StandInThreadIsImpersonating() { return threadToken.has_value(); }

// ---- The access check ----

extern "C" void WINAPI MapGenericMask(PDWORD AccessMask, PGENERIC_MAPPING GenericMapping) {
    if (AccessMask != nullptr && GenericMapping != nullptr) *AccessMask = MapGeneric(*AccessMask, *GenericMapping);
}

extern "C" BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR pSecurityDescriptor, HANDLE ClientToken, DWORD DesiredAccess,
                                   PGENERIC_MAPPING GenericMapping, PPRIVILEGE_SET PrivilegeSet,
                                   LPDWORD PrivilegeSetLength, LPDWORD GrantedAccess, LPBOOL AccessStatus) {
    if (StandInCallFailsWithLastError("AccessCheck")) return FALSE;
    if (pSecurityDescriptor == nullptr || GenericMapping == nullptr || PrivilegeSetLength == nullptr ||
        GrantedAccess == nullptr || AccessStatus == nullptr)
        return StandInFailWith(ERROR_INVALID_PARAMETER);

    // The token: an open handle with query access to an impersonation token of identification level or above.
    Token token;
    {
        Security& s = Sec();
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.tokens.find(ClientToken);
        if (it == s.tokens.end()) return StandInFailWith(ERROR_INVALID_HANDLE);
        token = *it->second;
    }
    if ((token.grantedAccess & TOKEN_QUERY) == 0) return StandInFailWith(ERROR_ACCESS_DENIED);
    if (!token.impersonation) return StandInFailWith(ERROR_NO_IMPERSONATION_TOKEN);
    if (token.level < SecurityIdentification) return StandInFailWith(ERROR_BAD_IMPERSONATION_LEVEL);

    // The desired access must already be mapped.
    if (DesiredAccess & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL)) return StandInFailWith(ERROR_GENERIC_NOT_MAPPED);

    // The descriptor: valid, absolute or not, with an owner and a group.
    const SECURITY_DESCRIPTOR* sd = Descriptor(pSecurityDescriptor);
    if (!IsValidSecurityDescriptor(pSecurityDescriptor) || sd->Owner == nullptr || sd->Group == nullptr)
        return StandInFailWith(ERROR_INVALID_SECURITY_DESCR);

    // Room for the privileges used: none, but the set's header and one entry must fit.
    if (*PrivilegeSetLength < sizeof(PRIVILEGE_SET)) {
        *PrivilegeSetLength = sizeof(PRIVILEGE_SET);
        return StandInFailWith(ERROR_INSUFFICIENT_BUFFER);
    }
    if (PrivilegeSet != nullptr) {
        PrivilegeSet->PrivilegeCount = 0;
        PrivilegeSet->Control = 0;
    }

    // Evaluation. A missing (or NULL) DACL grants everything asked for; otherwise the ACEs are taken in order:
    // a deny ACE that names the token removes its rights that are not granted yet, an allow ACE grants.
    // The owner is implicitly granted READ_CONTROL and WRITE_DAC.
    bool wantsMaximum = (DesiredAccess & MAXIMUM_ALLOWED) != 0;
    DWORD desired = DesiredAccess & ~MAXIMUM_ALLOWED;
    DWORD granted = 0;
    DWORD denied = 0;
    if ((sd->Control & SE_DACL_PRESENT) == 0 || sd->Dacl == nullptr) {
        granted = wantsMaximum ? (MapGeneric(GENERIC_ALL, *GenericMapping) | STANDARD_RIGHTS_ALL) : desired;
    } else {
        if (TokenMatches(token, sd->Owner, false)) granted |= READ_CONTROL | WRITE_DAC;
        auto aces = AcesOf(sd->Dacl);
        for (const AceView& ace : *aces) {
            const auto* body = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace.header);
            const void* sid = reinterpret_cast<const BYTE*>(ace.header) + offsetof(ACCESS_ALLOWED_ACE, SidStart);
            DWORD mask = MapGeneric(body->Mask, *GenericMapping);
            if (ace.header->AceType == ACCESS_DENIED_ACE_TYPE && TokenMatches(token, sid, true))
                denied |= mask & ~granted;
            else if (ace.header->AceType == ACCESS_ALLOWED_ACE_TYPE && TokenMatches(token, sid, false))
                granted |= mask & ~denied;
            if (!wantsMaximum && (granted & desired) == desired) break;
        }
    }
    bool status = wantsMaximum ? granted != 0 && (granted & desired) == desired : desired != 0 && (granted & desired) == desired;
    *GrantedAccess = status ? (wantsMaximum ? granted : desired) : 0;
    *AccessStatus = status ? TRUE : FALSE;
    SetLastError(status ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    return TRUE;
}
