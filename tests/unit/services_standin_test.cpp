// The stand-in's Service Control Manager over the registry: rights, states, controls, deletion, persistence.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "linux/testing.h"
#include "platform/win32.h"
#include "support/service_fixture.h"
#include "support/token_env.h"

using namespace servicefixture;

namespace {

class ScmStandIn : public ::testing::Test {
protected:
    void SetUp() override { StandInClearFailures(); }
    void TearDown() override {
        StandInClearFailures();
        StandInResetRegistry();
        EXPECT_EQ(StandInOpenServiceHandleCount(), 0u);
    }
    static void Load(const std::string& text) { ASSERT_TRUE(StandInLoadRegistryText(text)); }

    // Opens "Network Vorel" with full access as an administrator; closes both on destruction.
    struct Opened {
        SC_HANDLE manager = nullptr;
        SC_HANDLE service = nullptr;
        explicit Opened(const char* name = "Network Vorel", DWORD access = SERVICE_ALL_ACCESS) {
            manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
            if (manager != nullptr) service = OpenServiceA(manager, name, access);
        }
        ~Opened() {
            if (service != nullptr) CloseServiceHandle(service);
            if (manager != nullptr) CloseServiceHandle(manager);
        }
        DWORD State() const {
            SERVICE_STATUS status{};
            EXPECT_TRUE(QueryServiceStatus(service, &status));
            return status.dwCurrentState;
        }
    };
};

TEST_F(ScmStandIn, FullAccessManagerNeedsAnEnabledAdministratorsGroup) {
    Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
    struct Case {
        const char* token;
        bool full;
    } cases[] = {{"admin", true}, {"user", false}, {"deny-only-admin", false}};
    for (const Case& c : cases) {
        ScopedToken kind(c.token);
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        EXPECT_EQ(manager != nullptr, c.full) << c.token;
        if (manager == nullptr) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.token;
        }
        if (manager != nullptr) CloseServiceHandle(manager);
        // Connecting and querying is everyone's right.
        manager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
        ASSERT_NE(manager, nullptr) << c.token;
        SC_HANDLE service = OpenServiceA(manager, "Network Vorel", SERVICE_QUERY_STATUS);
        ASSERT_NE(service, nullptr) << c.token;
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
        EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        SC_HANDLE full = OpenServiceA(manager, "Network Vorel", SERVICE_ALL_ACCESS);
        EXPECT_EQ(full != nullptr, c.full) << c.token;
        if (full != nullptr) CloseServiceHandle(full);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
}

TEST_F(ScmStandIn, OpenSCManager_OnlyTheLocalActiveDatabase) {
    ScopedToken kind("admin");
    EXPECT_EQ(OpenSCManagerA("otherhost", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(OpenSCManagerA(nullptr, "NoSuchDatabase", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
}

TEST_F(ScmStandIn, OpenService_ByKeyNameOnly) {
    ScopedToken kind("admin");
    Load(Header() + Service("NetVorelSvc", SERVICE_STOPPED, "Network Vorel") + LinkageOnly("NetVorel"));
    {
        Opened byDisplayName("Network Vorel");
        EXPECT_EQ(byDisplayName.service, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    }
    {
        Opened byKeyName("netvorelsvc");  // key names compare case-insensitively
        EXPECT_NE(byKeyName.service, nullptr);
    }
    {
        Opened notAService("NetVorel");  // a key without a Type value is no service
        EXPECT_EQ(notAService.service, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_EQ(OpenServiceA(manager, "a\\b", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(OpenServiceA(nullptr, "NetVorelSvc", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseServiceHandle(manager);
}

TEST_F(ScmStandIn, AFixtureHoldsTheServiceInAnyState) {
    ScopedToken kind("admin");
    for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; ++state) {
        Load(Header() + Service("Network Vorel", state));
        Opened opened;
        ASSERT_NE(opened.service, nullptr);
        EXPECT_EQ(opened.State(), state);
    }
    Load(Header() + Service("Network Vorel", 0, "", /*withState=*/false));
    Opened opened;
    EXPECT_EQ(opened.State(), SERVICE_STOPPED) << "no StandInState value: stopped";
}

TEST_F(ScmStandIn, StartService_RunsAStoppedServiceAndRefusesEveryOtherState) {
    ScopedToken kind("admin");
    for (DWORD state = SERVICE_STOPPED; state <= SERVICE_PAUSED; ++state) {
        Load(Header() + Service("Network Vorel", state));
        Opened opened;
        BOOL started = StartServiceA(opened.service, 0, nullptr);
        if (state == SERVICE_STOPPED) {
            EXPECT_TRUE(started);
            EXPECT_EQ(opened.State(), SERVICE_RUNNING);
        } else {
            EXPECT_FALSE(started) << state;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING)) << state;
            EXPECT_EQ(opened.State(), state);
        }
    }
}

TEST_F(ScmStandIn, StartService_DisabledService_Fails1058) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_STOPPED, "", true, SERVICE_DISABLED));
    Opened opened;
    EXPECT_FALSE(StartServiceA(opened.service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
}

TEST_F(ScmStandIn, ControlService_StopPauseContinueInterrogate) {
    ScopedToken kind("admin");
    struct Case {
        DWORD state;
        DWORD control;
        BOOL ok;
        DWORD error;
        DWORD after;
    } cases[] = {
        {SERVICE_RUNNING, SERVICE_CONTROL_STOP, TRUE, 0, SERVICE_STOPPED},
        {SERVICE_PAUSED, SERVICE_CONTROL_STOP, TRUE, 0, SERVICE_STOPPED},
        {SERVICE_STOPPED, SERVICE_CONTROL_STOP, FALSE, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
        {SERVICE_START_PENDING, SERVICE_CONTROL_STOP, FALSE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_START_PENDING},
        {SERVICE_STOP_PENDING, SERVICE_CONTROL_STOP, FALSE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_STOP_PENDING},
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, TRUE, 0, SERVICE_PAUSED},
        {SERVICE_PAUSED, SERVICE_CONTROL_CONTINUE, TRUE, 0, SERVICE_RUNNING},
        {SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, TRUE, 0, SERVICE_RUNNING},
        {SERVICE_START_PENDING, SERVICE_CONTROL_INTERROGATE, TRUE, 0, SERVICE_START_PENDING},
        {SERVICE_STOPPED, SERVICE_CONTROL_INTERROGATE, FALSE, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED},
        {SERVICE_RUNNING, 99, FALSE, ERROR_INVALID_PARAMETER, SERVICE_RUNNING},
    };
    for (const Case& c : cases) {
        Load(Header() + Service("Network Vorel", c.state));
        Opened opened;
        SERVICE_STATUS status{};
        BOOL ok = ControlService(opened.service, c.control, &status);
        EXPECT_EQ(ok, c.ok) << c.state << "/" << c.control;
        if (!c.ok) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error)) << c.state << "/" << c.control;
        }
        if (c.ok) {
            EXPECT_EQ(status.dwCurrentState, c.after) << c.state << "/" << c.control;
        }
        EXPECT_EQ(opened.State(), c.after) << c.state << "/" << c.control;
    }
}

TEST_F(ScmStandIn, DeleteService_RunningService_StaysMarkedUntilStoppedAndClosed) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
    {
        Opened opened;
        ASSERT_TRUE(DeleteService(opened.service));
        EXPECT_FALSE(DeleteService(opened.service));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
        EXPECT_FALSE(StartServiceA(opened.service, 0, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    }
    EXPECT_NE(StandInRegistryText().find("\"DeleteFlag\"=dword:00000001"), std::string::npos);
    {
        Opened again;
        ASSERT_NE(again.service, nullptr) << "still in the database while it runs";
        EXPECT_EQ(again.State(), SERVICE_RUNNING);
        // Stopped while a second handle is open: it stays until that one is closed too.
        Opened second;
        SERVICE_STATUS status{};
        ASSERT_TRUE(ControlService(again.service, SERVICE_CONTROL_STOP, &status));
        CloseServiceHandle(again.service);
        again.service = nullptr;
        EXPECT_NE(StandInRegistryText().find("Services\\Network Vorel]"), std::string::npos);
    }
    Opened gone;
    EXPECT_EQ(gone.service, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(StandInRegistryText().find("Network Vorel"), std::string::npos) << "its subkeys went with it";
    EXPECT_NE(StandInRegistryText().find("Services\\Other]"), std::string::npos) << "other services stay";
}

TEST_F(ScmStandIn, DeleteService_StoppedService_GoesWhenTheHandleCloses) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_STOPPED));
    {
        Opened opened;
        ASSERT_TRUE(DeleteService(opened.service));
        EXPECT_EQ(opened.State(), SERVICE_STOPPED);
    }
    Opened gone;
    EXPECT_EQ(gone.service, nullptr);
}

TEST_F(ScmStandIn, MarkedAndStoppedInTheFixture_GoesWhenAManagerStarts) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_STOPPED, "", true, SERVICE_DEMAND_START, /*marked=*/true));
    Opened opened;
    EXPECT_EQ(opened.service, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ScmStandIn, HandlesAreCheckedByKind) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
    Opened opened;
    SERVICE_STATUS status{};
    EXPECT_FALSE(QueryServiceStatus(opened.manager, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseServiceHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(StandInOpenServiceHandleCount(), 2u);
}

TEST_F(ScmStandIn, StatePersistsThroughTheRegistryFile) {
    ScopedToken kind("admin");
    char path[] = "/tmp/tamsil-scm-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = Header() + Service("Network Vorel", SERVICE_STOPPED);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    const char* old = std::getenv("TAMSIL_REGISTRY");
    std::string saved = old ? old : "";
    setenv("TAMSIL_REGISTRY", path, 1);
    StandInResetRegistry();
    {
        Opened opened;
        ASSERT_TRUE(StartServiceA(opened.service, 0, nullptr));
    }
    std::ifstream in(path);
    std::stringstream file;
    file << in.rdbuf();
    EXPECT_NE(file.str().find("\"StandInState\"=dword:00000004"), std::string::npos) << file.str();
    StandInResetRegistry();  // as a new process would: read the file afresh
    {
        Opened opened;
        EXPECT_EQ(opened.State(), SERVICE_RUNNING);
    }
    if (old)
        setenv("TAMSIL_REGISTRY", saved.c_str(), 1);
    else
        unsetenv("TAMSIL_REGISTRY");
    std::remove(path);
    std::remove((std::string(path) + ".lock").c_str());
}

TEST_F(ScmStandIn, FailureInjection_NamesEachCall) {
    ScopedToken kind("admin");
    Load(Header() + Service("Network Vorel", SERVICE_RUNNING));
    StandInFailCall("OpenSCManager", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    StandInFailCall("QueryServiceStatus", ERROR_GEN_FAILURE);
    Opened opened;
    SERVICE_STATUS status{};
    EXPECT_FALSE(QueryServiceStatus(opened.service, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

}  // namespace
