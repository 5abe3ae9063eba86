// The stand-in's security calls: SIDs, ACLs, descriptors, tokens, impersonation and a real AccessCheck.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "linux/testing.h"
#include "platform/win32.h"
#include "support/token_env.h"

namespace {

constexpr DWORD kUnknownRevision = 1305;
constexpr DWORD kAllottedSpaceExceeded = 1344;
constexpr DWORD kGenericNotMapped = 1360;

class SecurityStandIn : public ::testing::Test {
protected:
    void SetUp() override { StandInClearFailures(); }
    void TearDown() override {
        RevertToSelf();
        StandInClearFailures();
        for (PSID sid : sids_) FreeSid(sid);
        EXPECT_EQ(StandInLiveSidCount(), 0u);
        EXPECT_EQ(StandInOpenTokenCount(), 0u);
    }

    PSID Sid2(BYTE authority, DWORD a, DWORD b) {
        SID_IDENTIFIER_AUTHORITY auth = {{0, 0, 0, 0, 0, authority}};
        PSID sid = nullptr;
        EXPECT_TRUE(AllocateAndInitializeSid(&auth, 2, a, b, 0, 0, 0, 0, 0, 0, &sid));
        sids_.push_back(sid);
        return sid;
    }
    PSID Administrators() { return Sid2(5, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS); }
    PSID Everyone() {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID sid = nullptr;
        EXPECT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid));
        sids_.push_back(sid);
        return sid;
    }

    // Appends an ACE of the given type (the stand-in's AddAccessAllowedAce, retyped for a deny ACE).
    static void AddAce(ACL* acl, BYTE type, DWORD mask, PSID sid) {
        WORD before = acl->AceCount;
        ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION2, mask, sid));
        auto* at = reinterpret_cast<BYTE*>(acl) + sizeof(ACL);
        for (WORD i = 0; i < before; ++i) at += reinterpret_cast<ACE_HEADER*>(at)->AceSize;
        reinterpret_cast<ACE_HEADER*>(at)->AceType = type;
    }

    struct Ace {
        BYTE type;
        DWORD mask;
        PSID sid;
    };
    // A descriptor owned by Administrators with these ACEs; lives in the test's buffers.
    PSECURITY_DESCRIPTOR Descriptor(const std::vector<Ace>& aces, bool withOwner = true) {
        acl_.assign(1024, 0);
        auto* acl = reinterpret_cast<ACL*>(acl_.data());
        EXPECT_TRUE(InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION2));
        for (const Ace& ace : aces) AddAce(acl, ace.type, ace.mask, ace.sid);
        EXPECT_TRUE(InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&sd_, TRUE, acl, FALSE));
        if (withOwner) {
            PSID owner = Administrators();
            EXPECT_TRUE(SetSecurityDescriptorOwner(&sd_, owner, FALSE));
            EXPECT_TRUE(SetSecurityDescriptorGroup(&sd_, owner, FALSE));
        }
        return &sd_;
    }

    // ImpersonateSelf + OpenThreadToken, as the administrator test does.
    static HANDLE ImpersonationToken() {
        EXPECT_TRUE(ImpersonateSelf(SecurityImpersonation));
        HANDLE token = nullptr;
        EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
        return token;
    }

    struct Result {
        BOOL returned;
        DWORD error;
        DWORD granted;
        BOOL status;
    };
    static Result Check(PSECURITY_DESCRIPTOR sd, HANDLE token, DWORD desired, GENERIC_MAPPING mapping = {1, 2, 0, 3}) {
        PRIVILEGE_SET privileges;
        DWORD length = sizeof privileges;
        Result r{FALSE, 0, 0xFFFFFFFF, 0xFF};
        SetLastError(0);
        r.returned = AccessCheck(sd, token, desired, &mapping, &privileges, &length, &r.granted, &r.status);
        r.error = GetLastError();
        return r;
    }

    std::vector<PSID> sids_;
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR sd_{};
};

TEST_F(SecurityStandIn, AdministratorsSid_HasTheBytesAndLengthOfS_1_5_32_544) {
    PSID sid = Administrators();
    ASSERT_EQ(GetLengthSid(sid), 16u);
    const BYTE expected[16] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0};
    EXPECT_EQ(std::memcmp(sid, expected, 16), 0);
    EXPECT_TRUE(IsValidSid(sid));
}

TEST_F(SecurityStandIn, AllocateAndInitializeSid_MoreThanEightSubAuthorities_FailsWithInvalidParameter) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SecurityStandIn, FreeSid_ReturnsNullForItsOwnSidsAndTheArgumentForOthers) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_EQ(FreeSid(sid), nullptr);
    BYTE foreign[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_EQ(FreeSid(foreign), static_cast<PVOID>(foreign));
}

TEST_F(SecurityStandIn, Acl_SidLengthPlus16HoldsExactlyOneAllowedAce) {
    PSID sid = Administrators();
    DWORD length = GetLengthSid(sid) + 16;
    std::vector<BYTE> buffer(length, 0);
    auto* acl = reinterpret_cast<ACL*>(buffer.data());
    ASSERT_TRUE(InitializeAcl(acl, length, ACL_REVISION2));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION2, 3, sid));
    EXPECT_EQ(acl->AceCount, 1);
    EXPECT_EQ(acl->AclSize, 32);
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(buffer.data() + sizeof(ACL));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Header.AceSize, 24);
    EXPECT_EQ(ace->Mask, 3u);
    EXPECT_EQ(std::memcmp(&ace->SidStart, sid, 16), 0);
    EXPECT_FALSE(AddAccessAllowedAce(acl, ACL_REVISION2, 3, sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kAllottedSpaceExceeded));
}

TEST_F(SecurityStandIn, InitializeAcl_RefusesShortLengthsAndUnknownRevisions) {
    BYTE buffer[64] = {};
    auto* acl = reinterpret_cast<ACL*>(buffer);
    EXPECT_FALSE(InitializeAcl(acl, 7, ACL_REVISION2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(InitializeAcl(acl, sizeof buffer, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(InitializeAcl(acl, sizeof buffer, ACL_REVISION2));
}

TEST_F(SecurityStandIn, Descriptor_UninitialisedIsInvalidAndSetCallsRefuseIt) {
    SECURITY_DESCRIPTOR sd{};
    EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_FALSE(SetSecurityDescriptorOwner(&sd, Administrators(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kUnknownRevision));
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(kUnknownRevision));
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
}

TEST_F(SecurityStandIn, Descriptor_DaclPresentNotDefaultedIsRecorded) {
    PSECURITY_DESCRIPTOR sd = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, 3, Administrators()}});
    auto* record = static_cast<SECURITY_DESCRIPTOR*>(sd);
    EXPECT_EQ(record->Control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED), SE_DACL_PRESENT);
    EXPECT_EQ(record->Dacl, reinterpret_cast<ACL*>(acl_.data()));
    EXPECT_TRUE(IsValidSecurityDescriptor(sd));
}

TEST_F(SecurityStandIn, ThreadToken_OnlyWhileImpersonatingAndOnlyOnThatThread) {
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    EXPECT_TRUE(StandInThreadIsImpersonating());
    std::thread other([] {
        HANDLE t = nullptr;
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &t));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    });
    other.join();
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(StandInOpenTokenCount(), 1u);
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_EQ(StandInOpenTokenCount(), 0u);
    EXPECT_TRUE(RevertToSelf());
    EXPECT_FALSE(StandInThreadIsImpersonating());
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST_F(SecurityStandIn, AccessCheck_GrantsAccessOneExactlyWhenAdministratorsIsAnEnabledGroup) {
    struct Case {
        const char* token;
        BOOL status;
        DWORD granted;
        DWORD error;
    } cases[] = {
        {"admin", TRUE, 1, ERROR_SUCCESS},
        {"user", FALSE, 0, ERROR_ACCESS_DENIED},
        {"deny-only-admin", FALSE, 0, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        ScopedToken kind(c.token);
        PSECURITY_DESCRIPTOR sd = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, 3, Administrators()}});
        HANDLE token = ImpersonationToken();
        Result r = Check(sd, token, 1);
        EXPECT_TRUE(r.returned) << c.token;
        EXPECT_EQ(r.status, c.status) << c.token;
        EXPECT_EQ(r.granted, c.granted) << c.token;
        EXPECT_EQ(r.error, static_cast<DWORD>(c.error)) << c.token;
        CloseHandle(token);
        RevertToSelf();
    }
}

TEST_F(SecurityStandIn, AccessCheck_DenyAceForAdministratorsAlsoBindsADenyOnlyGroup) {
    struct Case {
        const char* token;
        BOOL status;
    } cases[] = {{"admin", FALSE}, {"deny-only-admin", FALSE}, {"user", TRUE}};
    for (const Case& c : cases) {
        ScopedToken kind(c.token);
        PSECURITY_DESCRIPTOR sd =
            Descriptor({{ACCESS_DENIED_ACE_TYPE, 1, Administrators()}, {ACCESS_ALLOWED_ACE_TYPE, 1, Everyone()}});
        HANDLE token = ImpersonationToken();
        Result r = Check(sd, token, 1);
        EXPECT_TRUE(r.returned) << c.token;
        EXPECT_EQ(r.status, c.status) << c.token;
        CloseHandle(token);
        RevertToSelf();
    }
}

TEST_F(SecurityStandIn, AccessCheck_MapsGenericRightsInAcesThroughTheCallersMapping) {
    ScopedToken kind("admin");
    struct Case {
        DWORD aceMask;
        DWORD desired;
        BOOL status;
    } cases[] = {
        {GENERIC_ALL, 1, TRUE},      // GenericAll -> 3
        {GENERIC_READ, 1, TRUE},     // GenericRead -> 1
        {GENERIC_WRITE, 1, FALSE},   // GenericWrite -> 2
        {GENERIC_EXECUTE, 1, FALSE}, // GenericExecute -> 0
        {GENERIC_WRITE, 2, TRUE},
        {2, 3, FALSE},               // all asked rights must be granted
    };
    for (const Case& c : cases) {
        PSECURITY_DESCRIPTOR sd = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, c.aceMask, Administrators()}});
        HANDLE token = ImpersonationToken();
        Result r = Check(sd, token, c.desired);
        EXPECT_TRUE(r.returned);
        EXPECT_EQ(r.status, c.status) << std::hex << c.aceMask << " desired " << c.desired;
        CloseHandle(token);
        RevertToSelf();
    }
}

TEST_F(SecurityStandIn, AccessCheck_FailsAsThePlatformDoes) {
    ScopedToken kind("admin");
    PSID admins = Administrators();

    // A primary token (the process token) is not an impersonation token.
    {
        PSECURITY_DESCRIPTOR sd = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, 3, admins}});
        HANDLE token = nullptr;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        Result r = Check(sd, token, 1);
        EXPECT_FALSE(r.returned);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_IMPERSONATION_TOKEN));
        CloseHandle(token);
    }
    // A descriptor without owner and group (as Wine answers).
    {
        PSECURITY_DESCRIPTOR sd = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, 3, admins}}, false);
        HANDLE token = ImpersonationToken();
        Result r = Check(sd, token, 1);
        EXPECT_FALSE(r.returned);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
        // Generic rights in the desired access must have been mapped.
        sd = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, 3, admins}});
        r = Check(sd, token, GENERIC_READ);
        EXPECT_FALSE(r.returned);
        EXPECT_EQ(r.error, static_cast<DWORD>(kGenericNotMapped));
        // A token handle without query access.
        HANDLE weak = nullptr;
        ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, FALSE, &weak));
        r = Check(sd, weak, 1);
        EXPECT_FALSE(r.returned);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        // No token at all.
        r = Check(sd, nullptr, 1);
        EXPECT_FALSE(r.returned);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
        // Too small a privilege set: the needed length comes back.
        GENERIC_MAPPING mapping = {1, 2, 0, 3};
        PRIVILEGE_SET privileges;
        DWORD length = sizeof privileges - 1, granted = 0;
        BOOL status = FALSE;
        EXPECT_FALSE(AccessCheck(sd, token, 1, &mapping, &privileges, &length, &granted, &status));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(length, 20u);
        CloseHandle(weak);
        CloseHandle(token);
    }
}

TEST_F(SecurityStandIn, AccessCheck_NoDaclGrantsWhatIsAsked) {
    ScopedToken kind("user");
    PSECURITY_DESCRIPTOR sd = Descriptor({});
    ASSERT_TRUE(SetSecurityDescriptorDacl(sd, FALSE, nullptr, FALSE));
    HANDLE token = ImpersonationToken();
    Result r = Check(sd, token, 1);
    EXPECT_TRUE(r.returned);
    EXPECT_TRUE(r.status);
    EXPECT_EQ(r.granted, 1u);
    CloseHandle(token);
}

TEST_F(SecurityStandIn, TokenKind_FollowsTheEnvironmentAtEachToken) {
    PSECURITY_DESCRIPTOR sd = Descriptor({{ACCESS_ALLOWED_ACE_TYPE, 3, Administrators()}});
    for (const char* kind : {"admin", "user", "admin"}) {
        ScopedToken scoped(kind);
        HANDLE token = ImpersonationToken();
        EXPECT_EQ(Check(sd, token, 1).status, std::string(kind) == "admin" ? TRUE : FALSE) << kind;
        CloseHandle(token);
        RevertToSelf();
    }
}

}  // namespace
