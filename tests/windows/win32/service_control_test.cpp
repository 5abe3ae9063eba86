// Service control against a real Service Control Manager and a real service: vorel_test_service.exe,
// registered by the test under the key name "Network Vorel" and removed again. Windows-only (under Wine): the
// stand-in's Service Control Manager has no programs to start; tests/unit/host_services_test.cpp covers it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "host/service_control.h"
#include "windows/win32/program_files.h"

namespace {

DWORD CurrentState() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceA(manager, "Network Vorel", SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status = {};
    DWORD state = 0;
    if (service != nullptr && QueryServiceStatus(service, &status)) state = status.dwCurrentState;
    if (service != nullptr) CloseServiceHandle(service);
    if (manager != nullptr) CloseServiceHandle(manager);
    return state;
}

// Polls until the service reaches `state` (or is gone, 0), for at most TAMSIL_WINE_START_SECONDS (10 s when
// unset): starting the service program is what takes long, most of all under 32-bit Wine through qemu.
bool WaitForState(DWORD state) {
    const char* seconds = std::getenv("TAMSIL_WINE_START_SECONDS");
    long limit = seconds != nullptr ? std::strtol(seconds, nullptr, 10) : 0;
    if (limit < 10) limit = 10;
    for (long waited = 0; waited < limit * 1000; waited += 50) {
        if (CurrentState() == state) return true;
        Sleep(50);
    }
    return false;
}

// Removes a "Network Vorel" left by an earlier run, stopping it first.
void RemoveLeftover() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE service = OpenServiceA(manager, "Network Vorel", SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
        WaitForState(0);
    }
    CloseServiceHandle(manager);
}

class ServiceControl : public ::testing::Test {
protected:
    void SetUp() override { RemoveLeftover(); }
    void TearDown() override { RemoveLeftover(); }

    static void Install() {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr) << GetLastError();
        std::string command = Beside("vorel_test_service.exe");
        command.insert(command.begin(), '"');
        command += '"';
        SC_HANDLE service = CreateServiceA(manager, "Network Vorel", "Network Vorel (test service)", SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        EXPECT_NE(service, nullptr) << "CreateServiceA failed with " << GetLastError();
        if (service != nullptr) CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
};

TEST_F(ServiceControl, WithoutTheServiceAllAnswerZeroButStop) {
    EXPECT_EQ(IsVorelServiceInstalled(), 0);
    EXPECT_EQ(IsVorelServiceRunning(), 0);
    EXPECT_EQ(StartVorelService(), 0);
    EXPECT_EQ(StopVorelService(), 1);
    EXPECT_EQ(DeleteVorelService(), 0);
}

TEST_F(ServiceControl, InstallStartRunningStartAgainStopDelete) {
    Install();
    EXPECT_EQ(IsVorelServiceInstalled(), 1);
    EXPECT_EQ(IsVorelServiceRunning(), 0);

    EXPECT_EQ(StartVorelService(), 1);
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING)) << "state " << CurrentState();
    EXPECT_EQ(IsVorelServiceRunning(), 1);
    EXPECT_EQ(StartVorelService(), 0) << "a running service cannot be started again (1056)";

    EXPECT_EQ(StopVorelService(), 1);
    ASSERT_TRUE(WaitForState(SERVICE_STOPPED)) << "state " << CurrentState();
    EXPECT_EQ(IsVorelServiceRunning(), 0);
    EXPECT_EQ(StopVorelService(), 1) << "stopping a stopped service still answers 1";

    EXPECT_EQ(DeleteVorelService(), 1);
    EXPECT_TRUE(WaitForState(0));
    EXPECT_EQ(IsVorelServiceInstalled(), 0);
    EXPECT_EQ(DeleteVorelService(), 0);
}

TEST_F(ServiceControl, DeletingARunningServiceMarksItAndItGoesWhenStopped) {
    Install();
    ASSERT_EQ(StartVorelService(), 1);
    ASSERT_TRUE(WaitForState(SERVICE_RUNNING));
    EXPECT_EQ(DeleteVorelService(), 1);
    EXPECT_EQ(StopVorelService(), 1);
    EXPECT_TRUE(WaitForState(0)) << "state " << CurrentState();
    EXPECT_EQ(IsVorelServiceInstalled(), 0);
}

}  // namespace
