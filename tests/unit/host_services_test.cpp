// The service operations against the stand-in's Service Control Manager.
#include <gtest/gtest.h>

#include <string>

#include "host/service_control.h"
#include "linux/testing.h"
#include "platform/win32.h"
#include "support/service_fixture.h"
#include "support/token_env.h"

using namespace servicefixture;

namespace {

struct Answers {
    int installed;
    int running;
    int start;
    int stop;
    int remove;
};

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override { StandInClearFailures(); }
    void TearDown() override {
        StandInClearFailures();
        StandInResetRegistry();
    }
    static void Load(const std::string& text) { ASSERT_TRUE(StandInLoadRegistryText(text)); }

    // Runs one operation with standard output captured: none of them prints, and none leaves a handle open.
    template <typename Operation>
    static int Call(Operation operation) {
        ::testing::internal::CaptureStdout();
        int answer = operation();
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(StandInOpenServiceHandleCount(), 0u) << "both handles are closed";
        return answer;
    }
    static int Installed() { return Call(IsVorelServiceInstalled); }
    static int Running() { return Call(IsVorelServiceRunning); }
    static int Start() { return Call(StartVorelService); }
    static int Stop() { return Call(StopVorelService); }
    static int Delete() { return Call(DeleteVorelService); }

    // The state as an administrator sees it; 0 when the service is gone.
    static DWORD StateNow() {
        ScopedToken kind("admin");
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceA(manager, "Network Vorel", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status{};
        if (service != nullptr) QueryServiceStatus(service, &status);
        if (service != nullptr) CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return status.dwCurrentState;
    }
};

TEST_F(ServiceControl, AdministratorAnswersByState) {
    ScopedToken kind("admin");
    struct Case {
        const char* name;
        DWORD state;
        int installed, running, start;
    } cases[] = {
        {"stopped", SERVICE_STOPPED, 1, 0, 1},
        {"running", SERVICE_RUNNING, 1, 1, 0},
        {"start pending", SERVICE_START_PENDING, 1, 0, 0},
        {"stop pending", SERVICE_STOP_PENDING, 1, 0, 0},
        {"continue pending", SERVICE_CONTINUE_PENDING, 1, 0, 0},
        {"pause pending", SERVICE_PAUSE_PENDING, 1, 0, 0},
        {"paused", SERVICE_PAUSED, 1, 0, 0},
    };
    for (const Case& c : cases) {
        Load(Header() + Service("Network Vorel", c.state));
        EXPECT_EQ(Installed(), c.installed) << c.name;
        EXPECT_EQ(Running(), c.running) << c.name;
        EXPECT_EQ(Start(), c.start) << c.name;
    }
}

TEST_F(ServiceControl, NonAdministrator_AllZeroButStop_AndNothingChanges) {
    for (const char* token : {"user", "deny-only-admin"}) {
        ScopedToken kind(token);
        Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
        std::string before = StandInRegistryText();
        Answers got{Installed(), Running(), Start(), Stop(), Delete()};
        EXPECT_EQ(got.installed, 0) << token;
        EXPECT_EQ(got.running, 0) << token;
        EXPECT_EQ(got.start, 0) << token;
        EXPECT_EQ(got.stop, 1) << token;
        EXPECT_EQ(got.remove, 0) << token;
        EXPECT_EQ(StandInRegistryText(), before) << token;
    }
}

TEST_F(ServiceControl, ServiceMissing_AllZeroButStop) {
    ScopedToken kind("admin");
    Load(Header() + LinkageOnly("NetVorel"));
    Answers got{Installed(), Running(), Start(), Stop(), Delete()};
    EXPECT_EQ(got.installed, 0);
    EXPECT_EQ(got.running, 0);
    EXPECT_EQ(got.start, 0);
    EXPECT_EQ(got.stop, 1);
    EXPECT_EQ(got.remove, 0);
}

TEST_F(ServiceControl, DisplayNameIsNotTheKeyName) {
    ScopedToken kind("admin");
    Load(Header() + Service("VorelService", SERVICE_RUNNING, "Network Vorel"));
    EXPECT_EQ(Installed(), 0);
    EXPECT_EQ(Running(), 0);
}

TEST_F(ServiceControl, StartThenStop_ThenStopAgainStillOne) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_STOPPED));
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(Running(), 1);
    EXPECT_EQ(Start(), 0) << "the platform refuses to start a running service";
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(StateNow(), SERVICE_STOPPED);
    EXPECT_EQ(Running(), 0);
    EXPECT_EQ(Stop(), 1) << "already stopped";
}

TEST_F(ServiceControl, StopOnAStartPendingService_AnswersOneAndChangesNothing) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_START_PENDING));
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(StateNow(), SERVICE_START_PENDING);
}

TEST_F(ServiceControl, DeleteRunningService_AnswersOne_GoneOnlyAfterStop) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
    EXPECT_EQ(Delete(), 1);
    EXPECT_EQ(Installed(), 1) << "marked for deletion, still in the database while it runs";
    EXPECT_EQ(Running(), 1);
    EXPECT_EQ(Delete(), 0) << "already marked";
    EXPECT_EQ(Stop(), 1);
    EXPECT_EQ(Installed(), 0);
    EXPECT_EQ(Running(), 0);
    EXPECT_EQ(Delete(), 0);
    EXPECT_EQ(StandInRegistryText().find("Network Vorel"), std::string::npos);
}

TEST_F(ServiceControl, DeleteStoppedService_GoneAtOnce) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_STOPPED));
    EXPECT_EQ(Delete(), 1);
    EXPECT_EQ(Installed(), 0);
}

TEST_F(ServiceControl, PlatformFailures_GiveTheFailureAnswers) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
    struct Case {
        const char* call;
        int (*operation)();
        int answer;
    } cases[] = {
        {"OpenSCManager", IsVorelServiceInstalled, 0}, {"OpenService", IsVorelServiceInstalled, 0},
        {"OpenSCManager", IsVorelServiceRunning, 0},   {"QueryServiceStatus", IsVorelServiceRunning, 0},
        {"OpenService", StartVorelService, 0},         {"StartService", StartVorelService, 0},
        {"OpenSCManager", StopVorelService, 1},        {"ControlService", StopVorelService, 1},
        {"OpenService", DeleteVorelService, 0},        {"DeleteService", DeleteVorelService, 0},
        {"CloseServiceHandle", IsVorelServiceInstalled, 1},
    };
    for (const Case& c : cases) {
        StandInFailCall(c.call, ERROR_NOT_ENOUGH_MEMORY);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(c.operation(), c.answer) << c.call;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
        StandInClearFailures();
        StandInCloseAllServiceHandles();  // a failed close leaves its handle behind
    }
    EXPECT_EQ(StateNow(), SERVICE_RUNNING) << "no failure changed the service";
}

TEST_F(ServiceControl, DeleteWhoseInterrogateFails_StillAnswersOne) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
    StandInFailCall("ControlService", ERROR_SERVICE_REQUEST_TIMEOUT);
    EXPECT_EQ(Delete(), 1);
}

}  // namespace
