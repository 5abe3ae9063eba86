// The administrator test against the platform's own tokens and AccessCheck: the Linux stand-in
// with an administrator token (TAMSIL_TOKEN=admin, set by the test definition) and Wine, whose user is an
// administrator, from one source.
#include <gtest/gtest.h>

#include <string>

#include "host/admin_test.h"
#include "win32.h"

namespace {

std::string Output(int* result) {
    ::testing::internal::CaptureStdout();
    *result = AdministratorTest();
    return ::testing::internal::GetCapturedStdout();
}

TEST(Administrator, AnAdministratorsProcessTokenAnswersOneSilently) {
    int result = -1;
    EXPECT_EQ(Output(&result), "");
    EXPECT_EQ(result, 1);
}

TEST(Administrator, AfterASuccessfulCheckTheThreadNoLongerImpersonates) {
    // The test impersonates itself and reverts after a successful AccessCheck:
    // a thread that was impersonating before the call is not impersonating after it.
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    CloseHandle(token);
    int result = -1;
    EXPECT_EQ(Output(&result), "");
    EXPECT_EQ(result, 1);
    token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    if (token != nullptr) CloseHandle(token);

    // And a second call, now with the process token only, answers the same.
    EXPECT_EQ(Output(&result), "");
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
}

}  // namespace
