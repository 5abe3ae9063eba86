// The stand-in's IP Helper: the platform's size protocol, the adapter list and the machine's interfaces.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "linux/testing.h"
#include "win32.h"

namespace {

class IpHelper : public ::testing::Test {
protected:
    void TearDown() override {
        StandInSetAdapters(nullptr);
        StandInClearFailures();
    }
};

TEST_F(IpHelper, SizeProtocol_QueryThenCall) {
    StandInSetAdapters("eth0|First;eth1|Second");
    ULONG size = 0;
    EXPECT_EQ(GetInterfaceInfo(nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_EQ(GetInterfaceInfo(nullptr, &size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, offsetof(IP_INTERFACE_INFO, Adapter) + 2 * sizeof(IP_ADAPTER_INDEX_MAP));
    std::vector<unsigned char> small(size - 1);
    ULONG smallSize = size - 1;
    EXPECT_EQ(GetInterfaceInfo(reinterpret_cast<IP_INTERFACE_INFO*>(small.data()), &smallSize),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(smallSize, size);
    std::vector<unsigned char> block(size);
    ASSERT_EQ(GetInterfaceInfo(reinterpret_cast<IP_INTERFACE_INFO*>(block.data()), &size), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(reinterpret_cast<IP_INTERFACE_INFO*>(block.data())->NumAdapters, 2);

    size = 0;
    ASSERT_EQ(GetAdaptersInfo(nullptr, &size), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, 2 * sizeof(IP_ADAPTER_INFO));
    std::vector<IP_ADAPTER_INFO> infos(2);
    ASSERT_EQ(GetAdaptersInfo(infos.data(), &size), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(infos[0].Next, &infos[1]);
    EXPECT_STREQ(infos[1].Description, "Second");
}

TEST_F(IpHelper, ListSyntax_EmptyMeansNoAdaptersAndLongTextIsCut) {
    ULONG size = 0;
    StandInSetAdapters("");
    EXPECT_EQ(GetInterfaceInfo(nullptr, &size), static_cast<DWORD>(ERROR_NO_DATA));
    EXPECT_EQ(GetAdaptersInfo(nullptr, &size), static_cast<DWORD>(ERROR_NO_DATA));

    std::string longDescription(300, 'd');
    StandInSetAdapters((";eth0;;eth1|" + longDescription + ";").c_str());
    size = 0;
    ASSERT_EQ(GetAdaptersInfo(nullptr, &size), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    std::vector<IP_ADAPTER_INFO> infos(size / sizeof(IP_ADAPTER_INFO));
    ASSERT_EQ(infos.size(), 2u);
    ASSERT_EQ(GetAdaptersInfo(infos.data(), &size), static_cast<DWORD>(NO_ERROR));
    EXPECT_STREQ(infos[0].Description, "eth0") << "a name alone describes itself";
    EXPECT_EQ(std::string(infos[1].Description), std::string(MAX_ADAPTER_DESCRIPTION_LENGTH + 3, 'd'));
}

TEST_F(IpHelper, MachineInterfaces_ListLoopbackWithAReadableDescription) {
    unsetenv("TAMSIL_ADAPTERS");
    ULONG size = 0;
    ASSERT_EQ(GetAdaptersInfo(nullptr, &size), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    std::vector<IP_ADAPTER_INFO> infos(size / sizeof(IP_ADAPTER_INFO));
    ASSERT_EQ(GetAdaptersInfo(infos.data(), &size), static_cast<DWORD>(NO_ERROR));
    bool sawLoopback = false;
    for (const auto& info : infos)
        if (std::string(info.AdapterName) == "lo") {
            sawLoopback = true;
            EXPECT_EQ(std::string(info.Description), "lo: Loopback adapter (00:00:00:00:00:00)");
            EXPECT_EQ(info.Type, static_cast<UINT>(MIB_IF_TYPE_LOOPBACK));
        }
    EXPECT_TRUE(sawLoopback);
    for (size_t i = 1; i < infos.size(); ++i) EXPECT_LT(infos[i - 1].Index, infos[i].Index);
}

}  // namespace
