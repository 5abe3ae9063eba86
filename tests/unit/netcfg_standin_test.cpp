// The stand-in's COM library and network configuration objects: apartments, CoCreateInstance, the registry
// layout, the write lock, DeInstall/Apply/Uninitialize, reference counts and chosen answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/testing.h"
#include "platform/win32.h"

namespace {

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";
const char kLarkspire[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}\\"
    "{6A1C2B3D-0E4F-4A5B-8C7D-9E0F1A2B3C4D}]\n\"ComponentId\"=\"Larkspire\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}\\"
    "{6A1C2B3D-0E4F-4A5B-8C7D-9E0F1A2B3C4D}\\Ndi]\n\"Service\"=\"NetVorel\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage]\n\"Export\"=\"x\"\n\n";
const char kTcpip[] =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E975-E325-11CE-BFC1-08002BE10318}\\"
    "{0B0C2E1A-3D4F-4E5A-9B6C-7D8E9FA0B1C2}]\n\"ComponentId\"=\"ms_tcpip\"\n\n";

class NetCfgStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TAMSIL_TOKEN", "admin", 1);
        unsetenv("TAMSIL_REGISTRY");
        StandInClearNetCfg();
        ASSERT_TRUE(StandInLoadRegistryText(std::string(kHeader) + kLarkspire + kTcpip));
        ASSERT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
    }
    void TearDown() override {
        CoUninitialize();
        StandInClearNetCfg();
    }

    // A configuration object, its lock interface, locked and initialised when asked.
    struct Config {
        INetCfg* pConfig = NULL;
        INetCfgLock* pLock = NULL;
    };
    Config Open(bool lock, bool initialize, const char16_t* description = u"test") {
        Config c;
        EXPECT_EQ(CoCreateInstance(CLSID_CNetCfg, NULL, CLSCTX_INPROC_SERVER, IID_INetCfg,
                                   reinterpret_cast<void**>(&c.pConfig)),
                  S_OK);
        EXPECT_EQ(c.pConfig->QueryInterface(IID_INetCfgLock, reinterpret_cast<void**>(&c.pLock)), S_OK);
        LPWSTR holder = NULL;
        if (lock) {
            EXPECT_EQ(c.pLock->AcquireWriteLock(0, description, &holder), S_OK);
        }
        if (initialize) {
            EXPECT_EQ(c.pConfig->Initialize(NULL), S_OK);
        }
        return c;
    }
    void Close(Config& c) {
        c.pLock->Release();
        EXPECT_EQ(c.pConfig->Release(), 0u);
    }
    // Finds "Larkspire" and DeInstalls it through its class's setup interface.
    HRESULT DeInstallLarkspire(INetCfg* pConfig) {
        INetCfgComponent* pComponent = NULL;
        INetCfgClassSetup* pSetup = NULL;
        GUID classGuid;
        EXPECT_EQ(pConfig->FindComponent(u"Larkspire", &pComponent), S_OK);
        EXPECT_EQ(pComponent->GetClassGuid(&classGuid), S_OK);
        EXPECT_TRUE(classGuid == GUID_DEVCLASS_NETTRANS);
        EXPECT_EQ(pConfig->QueryNetCfgClass(&classGuid, IID_INetCfgClassSetup, reinterpret_cast<void**>(&pSetup)),
                  S_OK);
        OBO_TOKEN token = {};
        token.Type = OBO_USER;
        HRESULT hr = pSetup->DeInstall(pComponent, &token, NULL);
        pSetup->Release();
        pComponent->Release();
        return hr;
    }
};

TEST_F(NetCfgStandIn, CoInitializeEx_AgainOnTheThread_AnswersSFalseAndOtherModelIsRefused) {
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(NULL, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
}

TEST_F(NetCfgStandIn, CoCreateInstance_WithoutComOrForAnotherClass_Fails) {
    void* pObject = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(IID_INetCfg, NULL, CLSCTX_INPROC_SERVER, IID_INetCfg, &pObject), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(pObject, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_CNetCfg, NULL, CLSCTX_INPROC_SERVER, IID_INetCfgComponent, &pObject),
              E_NOINTERFACE);
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(CLSID_CNetCfg, NULL, CLSCTX_INPROC_SERVER, IID_INetCfg, &pObject), CO_E_NOTINITIALIZED);
    ASSERT_EQ(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED), S_OK);
}

TEST_F(NetCfgStandIn, FindComponent_NotInstalled_AnswersSFalseWithNoComponent) {
    Config c = Open(false, true);
    INetCfgComponent* pComponent = reinterpret_cast<INetCfgComponent*>(1);
    EXPECT_EQ(c.pConfig->FindComponent(u"ms_server", &pComponent), S_FALSE);
    EXPECT_EQ(pComponent, nullptr);
    c.pConfig->Uninitialize();
    Close(c);
}

TEST_F(NetCfgStandIn, FindComponent_IdInOtherCase_FindsItWithItsIds) {
    Config c = Open(false, true);
    INetCfgComponent* pComponent = NULL;
    ASSERT_EQ(c.pConfig->FindComponent(u"LARKSPIRE", &pComponent), S_OK);
    LPWSTR id = NULL;
    ASSERT_EQ(pComponent->GetId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), u"Larkspire");
    CoTaskMemFree(id);
    GUID instance;
    ASSERT_EQ(pComponent->GetInstanceGuid(&instance), S_OK);
    EXPECT_EQ(instance.Data1, 0x6A1C2B3Du);
    EXPECT_EQ(pComponent->Release(), 0u);
    c.pConfig->Uninitialize();
    Close(c);
}

TEST_F(NetCfgStandIn, FindComponent_BeforeInitialize_AnswersNotInitialized) {
    Config c = Open(false, false);
    INetCfgComponent* pComponent = NULL;
    EXPECT_EQ(c.pConfig->FindComponent(u"Larkspire", &pComponent), NETCFG_E_NOT_INITIALIZED);
    Close(c);
}

TEST_F(NetCfgStandIn, DeInstall_WithoutWriteLock_AnswersNoWriteLock) {
    Config c = Open(false, true);
    EXPECT_EQ(DeInstallLarkspire(c.pConfig), NETCFG_E_NO_WRITE_LOCK);
    c.pConfig->Uninitialize();
    Close(c);
}

TEST_F(NetCfgStandIn, Apply_AfterDeInstall_RemovesTheComponentKeyAndItsService) {
    Config c = Open(true, true);
    EXPECT_EQ(DeInstallLarkspire(c.pConfig), S_OK);
    INetCfgComponent* pComponent = NULL;
    EXPECT_EQ(c.pConfig->FindComponent(u"Larkspire", &pComponent), S_FALSE);  // removed from the pending configuration
    EXPECT_NE(StandInRegistryText().find("Larkspire"), std::string::npos);    // not yet applied
    EXPECT_EQ(c.pConfig->Apply(), S_OK);
    std::string registry = StandInRegistryText();
    EXPECT_EQ(registry.find("Larkspire"), std::string::npos);
    EXPECT_EQ(registry.find("NetVorel"), std::string::npos);
    EXPECT_NE(registry.find("ms_tcpip"), std::string::npos);
    EXPECT_EQ(c.pConfig->Uninitialize(), S_OK);
    EXPECT_EQ(c.pLock->ReleaseWriteLock(), S_OK);
    Close(c);
}

TEST_F(NetCfgStandIn, Uninitialize_WithoutApply_DropsTheRemoval) {
    Config c = Open(true, true);
    EXPECT_EQ(DeInstallLarkspire(c.pConfig), S_OK);
    EXPECT_EQ(c.pConfig->Uninitialize(), S_OK);
    EXPECT_EQ(c.pLock->ReleaseWriteLock(), S_OK);
    Close(c);
    EXPECT_NE(StandInRegistryText().find("Larkspire"), std::string::npos);
}

TEST_F(NetCfgStandIn, AcquireWriteLock_HeldByAnother_AnswersSFalseWithTheHolderAfterTheTimeOut) {
    long blocksBefore = StandInCoTaskMemBlocks();
    Config holder = Open(true, false, u"Larkspire Installer (inductling.exe)");
    Config second = Open(false, false);
    LPWSTR pszHolder = NULL;
    DWORD start = GetTickCount();
    EXPECT_EQ(second.pLock->AcquireWriteLock(200, u"second", &pszHolder), S_FALSE);
    EXPECT_GE(GetTickCount() - start, 190u);
    ASSERT_NE(pszHolder, nullptr);
    EXPECT_EQ(std::u16string(pszHolder), u"Larkspire Installer (inductling.exe)");
    CoTaskMemFree(pszHolder);
    LPWSTR pszLocked = NULL;
    EXPECT_EQ(second.pLock->IsWriteLocked(&pszLocked), S_OK);
    CoTaskMemFree(pszLocked);

    // The holder's last reference gives the lock back.
    Close(holder);
    EXPECT_EQ(second.pLock->AcquireWriteLock(0, u"second", &pszHolder), S_OK);
    EXPECT_EQ(second.pLock->ReleaseWriteLock(), S_OK);
    Close(second);
    EXPECT_EQ(StandInCoTaskMemBlocks(), blocksBefore);
}

TEST_F(NetCfgStandIn, References_SharedByTheInterfacesOfOneObject) {
    Config c = Open(false, false);
    EXPECT_EQ(c.pConfig->AddRef(), 3u);
    EXPECT_EQ(c.pLock->Release(), 2u);
    EXPECT_EQ(c.pConfig->Release(), 1u);
    EXPECT_EQ(c.pConfig->Release(), 0u);
    std::vector<std::string> calls = StandInNetCfgCalls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 4, calls.end()),
              (std::vector<std::string>{"INetCfg.AddRef() = 3", "INetCfgLock.Release() = 2", "INetCfg.Release() = 1",
                                        "INetCfg.Release() = 0"}));
}

TEST_F(NetCfgStandIn, ChosenAnswers_FailureDoesNothingSuccessReplacesTheResult) {
    Config c = Open(true, true);
    StandInNetCfgAnswer("DeInstall", NETCFG_S_REBOOT);
    EXPECT_EQ(DeInstallLarkspire(c.pConfig), NETCFG_S_REBOOT);  // done, and answered the reboot code
    StandInNetCfgAnswer("Apply", E_FAIL);
    EXPECT_EQ(c.pConfig->Apply(), E_FAIL);  // nothing applied
    EXPECT_NE(StandInRegistryText().find("Larkspire"), std::string::npos);
    StandInNetCfgAnswer("FindComponent", E_OUTOFMEMORY);
    INetCfgComponent* pComponent = reinterpret_cast<INetCfgComponent*>(1);
    EXPECT_EQ(c.pConfig->FindComponent(u"ms_tcpip", &pComponent), E_OUTOFMEMORY);
    EXPECT_EQ(pComponent, nullptr);
    c.pConfig->Uninitialize();
    c.pLock->ReleaseWriteLock();
    Close(c);
}

}  // namespace
