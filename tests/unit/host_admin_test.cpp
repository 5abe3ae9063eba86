// The administrator test against the stand-in's tokens and AccessCheck.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "host/admin_test.h"
#include "linux/testing.h"
#include "platform/win32.h"
#include "support/token_env.h"

namespace {

class AdministratorTestCase : public ::testing::Test {
protected:
    void SetUp() override { StandInClearFailures(); }
    void TearDown() override { StandInClearFailures(); }

    struct Run {
        int answer;
        std::string output;
    };
    // Runs the test with standard output captured, then checks that it left nothing behind.
    static Run RunTest() {
        ::testing::internal::CaptureStdout();
        int answer = AdministratorTest();
        std::string output = ::testing::internal::GetCapturedStdout();
        EXPECT_FALSE(StandInThreadIsImpersonating()) << "the impersonation is reverted on every exit";
        EXPECT_EQ(StandInOpenTokenCount(), 0u) << "the token is closed";
        EXPECT_EQ(StandInLiveSidCount(), 0u) << "the SID is freed";
        return Run{answer, output};
    }
};

TEST_F(AdministratorTestCase, AnswersOneExactlyForAnEnabledAdministratorsGroup) {
    struct Case {
        const char* token;
        int answer;
    } cases[] = {{"admin", 1}, {"user", 0}, {"deny-only-admin", 0}};
    for (const Case& c : cases) {
        ScopedToken kind(c.token);
        Run run = RunTest();
        EXPECT_EQ(run.answer, c.answer) << c.token;
        EXPECT_EQ(run.output, "") << c.token;
    }
}

TEST_F(AdministratorTestCase, NoThreadTokenAfterImpersonation_ExaminesTheProcessToken) {
    // ImpersonateSelf fails (its result is ignored): OpenThreadToken answers ERROR_NO_TOKEN and the test
    // opens the process token. That is a primary token, which AccessCheck refuses as the platform does.
    ScopedToken kind("admin");
    StandInFailCall("ImpersonateSelf", ERROR_NOT_ENOUGH_MEMORY);
    Run run = RunTest();
    EXPECT_EQ(run.answer, 0);
    EXPECT_EQ(run.output, "AccessCheck() failed with error 1309\n");
}

TEST_F(AdministratorTestCase, NoThreadTokenAndNoProcessToken_AnswersZeroSilently) {
    ScopedToken kind("admin");
    StandInFailCall("ImpersonateSelf", ERROR_NOT_ENOUGH_MEMORY);
    StandInFailCall("OpenProcessToken", ERROR_ACCESS_DENIED);
    Run run = RunTest();
    EXPECT_EQ(run.answer, 0);
    EXPECT_EQ(run.output, "");
}

TEST_F(AdministratorTestCase, ThreadTokenFailsWithAnotherError_AnswersZeroWithoutTheProcessToken) {
    ScopedToken kind("admin");
    StandInFailCall("OpenThreadToken", ERROR_ACCESS_DENIED);
    // Were the process token opened, this plan would be used up and the primary token refused with 1309.
    StandInFailCall("OpenProcessToken", ERROR_INVALID_HANDLE, 0, -1);
    Run run = RunTest();
    EXPECT_EQ(run.answer, 0);
    EXPECT_EQ(run.output, "");
}

TEST_F(AdministratorTestCase, AFailingStepEndsTheTestWithZeroAfterTheCleanUp) {
    ScopedToken kind("admin");
    struct Case {
        const char* call;
        int skip;
    } cases[] = {
        {"AllocateAndInitializeSid", 0},  {"LocalAlloc", 0} /* the descriptor */,
        {"InitializeSecurityDescriptor", 0}, {"LocalAlloc", 1} /* the DACL */,
        {"InitializeAcl", 0},             {"AddAccessAllowedAce", 0},
        {"SetSecurityDescriptorDacl", 0}, {"IsValidSecurityDescriptor", 0},
    };
    for (const Case& c : cases) {
        StandInClearFailures();
        StandInFailCall(c.call, ERROR_NOT_ENOUGH_MEMORY, c.skip);
        Run run = RunTest();
        EXPECT_EQ(run.answer, 0) << c.call << " after " << c.skip;
        EXPECT_EQ(run.output, "") << c.call;
    }
    StandInClearFailures();
    EXPECT_EQ(RunTest().answer, 1);
}

TEST_F(AdministratorTestCase, GroupAndOwnerResultsAreIgnored_AccessCheckThenRefusesTheDescriptor) {
    ScopedToken kind("admin");
    for (const char* call : {"SetSecurityDescriptorGroup", "SetSecurityDescriptorOwner"}) {
        StandInClearFailures();
        StandInFailCall(call, ERROR_INVALID_PARAMETER);
        Run run = RunTest();
        EXPECT_EQ(run.answer, 0) << call;
        EXPECT_EQ(run.output, "AccessCheck() failed with error 1338\n") << call;
    }
}

TEST_F(AdministratorTestCase, AccessCheckFails_PrintsItsErrorAndAnswersZero) {
    ScopedToken kind("admin");
    StandInFailCall("AccessCheck", ERROR_NOT_ENOUGH_MEMORY);
    Run run = RunTest();
    EXPECT_EQ(run.answer, 0);
    EXPECT_EQ(run.output, "AccessCheck() failed with error 8\n");
}

TEST_F(AdministratorTestCase, RevertFailsAfterASuccessfulCheck_AnswerStands) {
    ScopedToken kind("admin");
    StandInFailCall("RevertToSelf", ERROR_INVALID_HANDLE);  // the first revert, after AccessCheck
    ::testing::internal::CaptureStdout();
    int answer = AdministratorTest();
    std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(output, "");
    RevertToSelf();
}

TEST_F(AdministratorTestCase, ChangesOnlyTheCallingThreadsSecurityContext) {
    ScopedToken kind("admin");
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    int answer = -1;
    std::thread other([&] { answer = AdministratorTest(); });
    other.join();
    EXPECT_EQ(answer, 1);
    EXPECT_TRUE(StandInThreadIsImpersonating());
    RevertToSelf();
}

TEST_F(AdministratorTestCase, RepeatedCallsLeakNothing) {
    ScopedToken kind("user");
    for (int i = 0; i < 100; ++i) ASSERT_EQ(AdministratorTest(), 0);
    EXPECT_EQ(StandInOpenTokenCount(), 0u);
    EXPECT_EQ(StandInLiveSidCount(), 0u);
}

}  // namespace
