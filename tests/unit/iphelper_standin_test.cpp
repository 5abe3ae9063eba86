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
        StandInSetAnsiCodePage(0);
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

TEST_F(IpHelper, DescriptionsAreAnsiTextCutBetweenCharacters) {
    // 100 two-byte characters in code page 932: the 131 bytes the field holds take 65 of them, not half of a 66th.
    std::string katakana;
    for (int i = 0; i < 100; ++i) katakana += "ア";
    StandInSetAnsiCodePage(932);
    StandInSetAdapters(("eth0|" + katakana).c_str());
    IP_ADAPTER_INFO info{};
    ULONG size = sizeof info;
    ASSERT_EQ(GetAdaptersInfo(&info, &size), static_cast<DWORD>(NO_ERROR));
    std::string expected;
    for (int i = 0; i < 65; ++i) expected += "\x83\x41";
    EXPECT_EQ(std::string(info.Description), expected);
}

TEST_F(IpHelper, MultiByteToWideChar_AsWindowsAnswers) {
    struct Case {
        const char* name;
        UINT codePage;  // the ANSI code page in force
        std::string bytes;
        DWORD flags;
        std::u16string text;  // expected; empty with `error` for a failure
        DWORD error;
    } cases[] = {
        {"1252 letters", 1252, "r\xe9seau \x80", 0, u"réseau €", 0},
        {"1252 holes keep their C1 units", 1252, "\x81\x8d\x8f\x90\x9d", 0, u"\u0081\u008d\u008f\u0090\u009d", 0},
        {"1251", 1251, "\xd1\xe5\xf2\xfc", 0, u"Сеть", 0},
        {"932 trail byte 0x5c", 932, "\x83\x5c\x83\x74\x83\x67", 0, u"ソフト", 0},
        {"932 lead byte at the end", 932, "A\x83", 0, u"A\uFFFD", 0},
        {"932 lead byte at the end, strict", 932, "A\x83", MB_ERR_INVALID_CHARS, u"", ERROR_NO_UNICODE_TRANSLATION},
    };
    for (const auto& c : cases) {
        StandInSetAnsiCodePage(c.codePage);
        EXPECT_EQ(GetACP(), c.codePage);
        int length = static_cast<int>(c.bytes.size());
        SetLastError(0);
        int needed = MultiByteToWideChar(CP_ACP, c.flags, c.bytes.data(), length, nullptr, 0);
        EXPECT_EQ(needed, static_cast<int>(c.text.size())) << c.name;
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.name;
            continue;
        }
        std::u16string out(static_cast<size_t>(needed), u'\0');
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, c.flags, c.bytes.data(), length, out.data(), needed), needed) << c.name;
        EXPECT_EQ(out, c.text) << c.name;
        if (needed > 1) {
            EXPECT_EQ(MultiByteToWideChar(CP_ACP, c.flags, c.bytes.data(), length, out.data(), needed - 1), 0) << c.name;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << c.name;
        }
    }
    // -1: up to and including the NUL.
    WCHAR out[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "ab", -1, out, 8), 3);
    EXPECT_EQ(out[2], 0);
}

}  // namespace
