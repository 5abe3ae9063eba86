// The adapter inventory on both paths, against the stand-in's registry and IP Helper.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapters/inventory.h"
#include "linux/testing.h"
#include "support/reg_fixture.h"

using namespace regfixture;

namespace {

class Inventory : public ::testing::Test {
protected:
    void SetUp() override {
        StandInSetWindowsVersion("4.0");
        StandInSetAdapters(nullptr);
        StandInClearFailures();
        nRequestedCard = 0;
        nSelectedCard = 0;
        nAdapterCount = 0;
        std::memset(AdapterTable, 0, sizeof AdapterTable);
    }
    void TearDown() override {
        StandInSetWindowsVersion(nullptr);
        StandInSetAdapters(nullptr);
        StandInClearFailures();
        StandInResetRegistry();
    }
    static void Load(const std::string& body) { ASSERT_TRUE(StandInLoadRegistryText(Header() + body)); }

    // Runs `call` with standard output captured.
    template <typename Call>
    static std::string Output(Call call) {
        ::testing::internal::CaptureStdout();
        call();
        return ::testing::internal::GetCapturedStdout();
    }
};

std::vector<std::string> Devices(int n) {
    std::vector<std::string> devices;
    for (int i = 0; i < n; ++i) devices.push_back("\\Device\\NetVorel_E100B" + std::to_string(i));
    return devices;
}

std::vector<Card> Cards(int n) {
    std::vector<Card> cards;
    for (int i = 0; i < n; ++i) cards.push_back({std::to_string(i + 1), "Card " + std::to_string(i + 1), "E100B" + std::to_string(i)});
    return cards;
}

std::string Narrow(const WCHAR* text) { return ConsoleText(text, kAdapterTextUnits); }

TEST_F(Inventory, RegistryPath_CountIsTheDriversExportsNotTheCards) {
    struct Case {
        int devices;
        int cards;
        LONG expected;
    } cases[] = {{3, 2, 3}, {3, 5, 3}, {20, 2, 16}, {0, 2, 0}, {1, 0, 1}};
    for (const auto& c : cases) {
        Load(LinkageExport(Devices(c.devices)) + NetworkCards(Cards(c.cards)));
        LONG count = 0;
        Output([&] { count = GetCardNumbers(); });
        EXPECT_EQ(count, c.expected) << c.devices << " devices, " << c.cards << " cards";
        EXPECT_EQ(nAdapterCount, c.expected);
    }
}

TEST_F(Inventory, RegistryPath_ExportOver1024Bytes_ReturnsMinusOneWithoutALine) {
    Load(LinkageExport(Devices(40)) + NetworkCards(Cards(1)));  // 40 names of 24 units: well over 1024 bytes
    LONG count = 0;
    std::string out = Output([&] { count = GetCardNumbers(); });
    EXPECT_EQ(count, -1);
    EXPECT_EQ(out, "");
}

TEST_F(Inventory, RegistryPath_EachMissingLinkageKeyPrintsItsLines) {
    const std::string path[] = {"SYSTEM", "CurrentControlSet", "Services", "NetVorel", "Linkage"};
    const std::string expected[] = {
        "ERROR: Unable to read SYSTEM key in the Registry\n",
        "ERROR: Unable to read \"SYSTEM\\CurrentControlSet\" key in the Registry\n",
        "ERROR: Unable to read \"SYSTEM\\CurrentControlSet\\Services\" key in the Registry\n",
        "ERROR: Unable to read \"SYSTEM\\CurrentControlSet\\Services\\NetVorel\" key in registry\n"
        "This usually means Network Vorel Packet Driver is not installed\n",
        "ERROR: Unable to read \"SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage\" key in the Registry\n"
        "This usually means our Packet Driver was installed BEFORE the NIC driver\n",
    };
    for (int missing = 0; missing < 5; ++missing) {
        std::string key = "HKEY_LOCAL_MACHINE";
        for (int i = 0; i < missing; ++i) key += "\\" + path[i];
        Load(missing > 0 ? "[" + key + "]\n\n" : "");
        LONG count = 0;
        std::string out = Output([&] { count = GetCardNumbers(); });
        EXPECT_EQ(count, -1) << "missing " << path[missing];
        EXPECT_EQ(out, expected[missing]);
    }
}

TEST_F(Inventory, RegistryPath_OpensKeysCaseInsensitivelyAndClosesThemAll) {
    Load("[HKEY_LOCAL_MACHINE\\system\\currentcontrolset\\services\\netvorel\\linkage]\n\"Export\"=" +
         MultiSzHex({"\\Device\\NetVorel_A"}) + "\n\n" + NetworkCards(Cards(1)));
    size_t openBefore = StandInOpenRegistryHandles();
    EXPECT_EQ(GetCardNumbers(), 1);
    EXPECT_EQ(StandInOpenRegistryHandles(), openBefore);
    Load(NetworkCards({{"1", "Card", ""}}));  // a read that ends inside a card's subkey closes it too
    ReadNetworkCards(AdapterTable);
    EXPECT_EQ(StandInOpenRegistryHandles(), openBefore);
}

TEST_F(Inventory, LinkageSplit_NeverReadsPastTheBytesReturned) {
    WCHAR buffer[kLinkageExportBytes / sizeof(WCHAR)];
    LinkageEntryList list;
    // A value that fills all 1024 bytes without its closing empty string (or without any NUL).
    for (auto& unit : buffer) unit = u'x';
    SplitLinkageExport(buffer, sizeof buffer, &list);
    EXPECT_EQ(list.count, 0);
    buffer[10] = 0;
    SplitLinkageExport(buffer, sizeof buffer, &list);
    ASSERT_EQ(list.count, 1);
    EXPECT_EQ(WideLength(list.entries[0]), 10u);
    // "AB\0CD\0" read as 9 bytes: the odd byte and the unterminated "CD" are not entries.
    const WCHAR text[] = u"AB\0CD\0\0";
    std::memcpy(buffer, text, sizeof text);
    SplitLinkageExport(buffer, 9, &list);
    ASSERT_EQ(list.count, 1);
    SplitLinkageExport(buffer, 12, &list);
    EXPECT_EQ(list.count, 2);
    SplitLinkageExport(buffer, 0, &list);
    EXPECT_EQ(list.count, 0);
}

TEST_F(Inventory, NetworkCards_FailuresPrintTheirLineAndEndTheRead) {
    struct Case {
        const char* name;
        std::string body;
        LONG status;
        std::string output;
    } cases[] = {
        {"no subkeys", NetworkCards({}), ERROR_NO_MORE_ITEMS, ""},
        {"five-character subkey name", NetworkCards({{"10000", "Card", "S"}}), ERROR_MORE_DATA,
         "ERROR: Unable to enumerate subkeys of \"Software\\Microsoft\\WindowsNT\\CurrentVersion\\NetworkCards in Registry\n"},
        {"description of 150 units", NetworkCards({{"1", std::string(150, 'd'), "S"}}), ERROR_MORE_DATA,
         "ERROR: The buffer specified is too small\n"},
        {"no description", NetworkCards({{"1", "", "S"}}), ERROR_FILE_NOT_FOUND,
         "ERROR: Unable to get the value of a parameter \"Description\"\n"},
        {"no service name", NetworkCards({{"1", "Card", ""}}), ERROR_FILE_NOT_FOUND,
         "ERROR: Unable to get the value of a parameter \"ServiceName\"\n"},
        {"service name of 150 units", NetworkCards({{"1", "Card", std::string(150, 's')}}), ERROR_MORE_DATA,
         "ERROR: The buffer specified is too small\n"},
        {"two cards", NetworkCards(Cards(2)), ERROR_SUCCESS, ""},
        {"description of 149 units", NetworkCards({{"1", std::string(149, 'd'), "S"}}), ERROR_SUCCESS, ""},
    };
    for (const auto& c : cases) {
        Load(c.body);
        LONG status = 0;
        std::string out = Output([&] { status = ReadNetworkCards(AdapterTable); });
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
    }
    EXPECT_EQ(Narrow(AdapterTable[0].Description), std::string(149, 'd'));
}

TEST_F(Inventory, NetworkCards_EachMissingKeyPrintsItsLine) {
    const std::string path[] = {"Software", "Microsoft", "Windows NT", "CurrentVersion", "NetworkCards"};
    const std::string expected[] = {
        "ERROR: Unable to read Software key in registry\n",
        "ERROR: Unable to read \"Software\\Microsoft\" key in registry\n",
        "ERROR: Unable to read \"Software\\Microsoft\\Windows NT\" key in registry\n",
        "ERROR: Unable to read \"Software\\Microsoft\\Windows NT\\CurrentVersion\" key in registry\n",
        "ERROR: Unable to read \"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\" key in registry\n",
    };
    for (int missing = 0; missing < 5; ++missing) {
        std::string key = "HKEY_LOCAL_MACHINE";
        for (int i = 0; i < missing; ++i) key += "\\" + path[i];
        Load(missing > 0 ? "[" + key + "]\n\n" : "");
        LONG status = 0;
        std::string out = Output([&] { status = ReadNetworkCards(AdapterTable); });
        EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(out, expected[missing]);
    }
}

TEST_F(Inventory, NetworkCards_ShorterReadKeepsEarlierRecordsAndTableNeverOverflows) {
    Load(NetworkCards(Cards(3)));
    ASSERT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    Load(NetworkCards({{"1", "Replacement", "X"}}));
    ASSERT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    EXPECT_EQ(Narrow(AdapterTable[0].Description), "Replacement");
    EXPECT_EQ(Narrow(AdapterTable[1].Description), "Card 2");
    EXPECT_EQ(Narrow(AdapterTable[2].ServiceName), "E100B2");

    // 20 cards: the first 16 fill the table and the read stops there (ASan guards the bound).
    std::vector<Card> many;
    for (int i = 0; i < 20; ++i) many.push_back({std::to_string(100 + i), "Many " + std::to_string(i), "M" + std::to_string(i)});
    Load(NetworkCards(many));
    EXPECT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    EXPECT_EQ(Narrow(AdapterTable[15].Description), "Many 15");
}

TEST_F(Inventory, NetworkCards_TextWithoutNulIsCutInsideItsField) {
    // 150 units of 'a' stored without a NUL (300 bytes exactly) and a shorter value without a NUL.
    std::string full = "hex(1):";
    for (int i = 0; i < 150; ++i) full += std::string(i ? "," : "") + "61,00";
    Load("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\1]\n\"Description\"=" + full +
         "\n\"ServiceName\"=hex(1):53,00,56,00\n\n");
    for (auto& unit : AdapterTable[0].ServiceName) unit = u'z';
    ASSERT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    EXPECT_EQ(WideLength(AdapterTable[0].Description, kAdapterTextUnits), 149u);
    EXPECT_EQ(Narrow(AdapterTable[0].ServiceName), "SV");
}

TEST_F(Inventory, PathRule_VersionAndCardMinusTwoChooseTheSource) {
    Load(LinkageExport(Devices(3)) + NetworkCards(Cards(3)));
    StandInSetAdapters("eth0|First;eth1|Second");
    struct Case {
        const char* version;
        LONG requested;
        LONG expected;
    } cases[] = {{"4.0", 0, 3}, {"4.0", 1, 3}, {"5.0", 0, 2}, {"5.1", 3, 2}, {"6.1", 0, 2}, {"5.1", -2, 3}, {"5.1", -1, 2}};
    for (const auto& c : cases) {
        StandInSetWindowsVersion(c.version);
        nRequestedCard = c.requested;
        EXPECT_EQ(GetCardNumbers(), c.expected) << c.version << " card " << c.requested;
    }
}

TEST_F(Inventory, IpHelperPath_CountsInterfacesAndFailuresGiveZero) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("eth0|First;eth1|Second;eth2|Third");
    EXPECT_EQ(GetCardNumbers(), 3);
    EXPECT_EQ(nAdapterCount, 0) << "the IP Helper count is not stored";
    StandInSetAdapters("");
    EXPECT_EQ(GetCardNumbers(), 0);
    StandInSetAdapters("eth0|First");
    StandInFailCall("GetInterfaceInfo", ERROR_NOT_SUPPORTED);
    EXPECT_EQ(GetCardNumbers(), 0);
    StandInFailCall("GetAdaptersInfo", ERROR_NOT_SUPPORTED);
    EXPECT_EQ(ReadAdapterList(), nullptr);
}

TEST_F(Inventory, IpHelperPath_AdapterListFollowsTheGivenOrder) {
    StandInSetAdapters("eth0|First;wlan0|Second");
    IP_ADAPTER_INFO* list = ReadAdapterList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->AdapterName, "eth0");
    EXPECT_STREQ(list->Description, "First");
    ASSERT_NE(list->Next, nullptr);
    EXPECT_STREQ(list->Next->AdapterName, "wlan0");
    EXPECT_EQ(list->Next->Next, nullptr);
    free(list);
}

}  // namespace
