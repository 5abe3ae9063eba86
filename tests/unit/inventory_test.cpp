// The adapter inventory on both paths, against the stand-in's registry and IP Helper.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapters/choice.h"
#include "adapters/inventory.h"
#include "capture/capture_session.h"
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
        StandInSetAnsiCodePage(0);
        StandInOnIpHelperCall(nullptr);
        StandInClearFailures();
        StandInResetRegistry();
        nRequestedCard = 0;
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
    size_t openBefore = StandInOpenRegistryHandles();
    LONG count = 0;
    std::string out = Output([&] { count = GetCardNumbers(); });
    EXPECT_EQ(count, -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(StandInOpenRegistryHandles(), openBefore) << "the five keys are closed after a failing query";
    // A card's subkey that cannot be opened: the chain above it is closed too.
    Load(LinkageExport(Devices(1)) + NetworkCards(Cards(2)));
    StandInFailCall("RegOpenKeyEx", ERROR_ACCESS_DENIED, 10);  // the five Linkage and five NetworkCards keys open
    EXPECT_EQ(Output([&] { count = GetCardNumbers(); }),
              "ERROR: Unable to open subkeys of \"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards in the Registry\n");
    EXPECT_EQ(StandInOpenRegistryHandles(), openBefore);
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
        size_t openBefore = StandInOpenRegistryHandles();
        LONG count = 0;
        std::string out = Output([&] { count = GetCardNumbers(); });
        EXPECT_EQ(count, -1) << "missing " << path[missing];
        EXPECT_EQ(out, expected[missing]);
        EXPECT_EQ(StandInOpenRegistryHandles(), openBefore) << "missing " << path[missing];
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
        size_t openBefore = StandInOpenRegistryHandles();
        LONG status = 0;
        std::string out = Output([&] { status = ReadNetworkCards(AdapterTable); });
        EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(out, expected[missing]);
        EXPECT_EQ(StandInOpenRegistryHandles(), openBefore) << "missing " << path[missing];
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

TEST_F(Inventory, NetworkCards_TextWithoutNulKeepsAllOfItsField) {
    // 150 units of 'a' stored without a NUL (300 bytes exactly) and a shorter value without a NUL.
    std::string full = "hex(1):";
    for (int i = 0; i < 150; ++i) full += std::string(i ? "," : "") + "61,00";
    Load("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\1]\n\"Description\"=" + full +
         "\n\"ServiceName\"=hex(1):53,00,56,00\n\n");
    for (auto& unit : AdapterTable[0].ServiceName) unit = u'z';
    ASSERT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    EXPECT_EQ(ConsoleText(AdapterTable[0].Description, kAdapterTextUnits), std::string(150, 'a'));
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

// Without iphlpapi.dll the adapters found are none, as the rules say; one line, once in the process, says why.
// The DLL is looked up once per process: in a child, whose standard output goes where the death test reads.
TEST_F(Inventory, IpHelperPath_AMissingDllIsNamedOnceBeforeTheStartEndsWithMinusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            StandInSetWindowsVersion("5.1");
            StandInSetAdapters("eth0|First");
            StandInFailCall("LoadLibrary", ERROR_MOD_NOT_FOUND);
            if (GetCardNumbers() != 0 || GetCardNumbers() != 0) _exit(3);
            DriverStart(1);
            _exit(4);
        },
        ::testing::ExitedWithCode(255),
        "(^|\n)ERROR: IP Helper \\(iphlpapi.dll\\) could not be loaded \\(error 126\\): the network adapters cannot be "
        "listed\n\nWARNING: Could not find any network adapters on this system\n");
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

// ---- Descriptions in the ANSI code page, on the IP Helper path ----

std::u16string Text(const AdapterText& text) { return std::u16string(text.begin(), text.end()); }

TEST_F(Inventory, IpHelperPath_DescriptionsAreDecodedFromTheAnsiCodePage) {
    StandInSetWindowsVersion("5.1");
    struct Case {
        UINT codePage;
        const char* given;      // as TAMSIL_ADAPTERS has it (UTF-8)
        std::string bytes;      // what GetAdaptersInfo answers
        std::u16string java;    // what Java receives
    } cases[] = {
        {1252, "Carte réseau Intel", "Carte r\xe9seau Intel", u"Carte réseau Intel"},
        {932, "ソフトウェア adapter", "\x83\x5c\x83\x74\x83\x67\x83\x45\x83\x46\x83\x41 adapter", u"ソフトウェア adapter"},
        {1251, "Сетевой адаптер", "\xd1\xe5\xf2\xe5\xe2\xee\xe9 \xe0\xe4\xe0\xef\xf2\xe5\xf0", u"Сетевой адаптер"},
        {1252, "ソフト", "???", u"???"},  // what the code page cannot hold is lost by the system, not by us
    };
    for (const auto& c : cases) {
        StandInSetAnsiCodePage(c.codePage);
        StandInSetAdapters((std::string("eth0|First;eth1|") + c.given).c_str());
        IP_ADAPTER_INFO* list = ReadAdapterList();
        ASSERT_NE(list, nullptr);
        ASSERT_NE(list->Next, nullptr);
        EXPECT_EQ(std::string(list->Next->Description), c.bytes) << c.codePage;
        free(list);
        EXPECT_EQ(Text(GetCardDescription(1)), c.java) << c.codePage;
        EXPECT_EQ(Text(GetCardDescription(0)), u"First");
    }
    EXPECT_EQ(Text(GetCardDescription(2)), u"") << "past the end of the list";
    EXPECT_EQ(Text(GetCardDescription(-1)), u"");
}

TEST_F(Inventory, IpHelperPath_DescriptionFillingItsFieldIsReadWithinIt) {
    IP_ADAPTER_INFO adapter{};
    std::memset(adapter.Description, 'x', sizeof adapter.Description);  // no NUL anywhere in the field
    adapter.Description[0] = '\xe9';
    AdapterText text = AdapterDescription(&adapter, 0);
    ASSERT_EQ(text.size(), sizeof adapter.Description);
    EXPECT_EQ(text[0], u'é');
    EXPECT_EQ(text.back(), u'x');
}

// ---- An adapter set that changes between the size query and the fill ----

// Adds "vpn0" as the given call's `nth` call begins (the fill, when a size query came first).
void AddAdapterAt(const char* call, int nth) {
    auto calls = std::make_shared<int>(0);
    std::string name = call;
    StandInOnIpHelperCall([calls, name, nth](const std::string& c) {
        if (c == name && ++*calls == nth) StandInSetAdapters("eth0|First;eth1|Second;vpn0|VPN adapter");
    });
}

TEST_F(Inventory, IpHelperPath_AnAdapterAppearingBeforeTheFillIsReadAgain) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("eth0|First;eth1|Second");
    AddAdapterAt("GetInterfaceInfo", 2);
    EXPECT_EQ(GetCardNumbers(), 3);

    StandInSetAdapters("eth0|First;eth1|Second");
    AddAdapterAt("GetAdaptersInfo", 2);
    IP_ADAPTER_INFO* list = ReadAdapterList();
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->Next, nullptr);
    ASSERT_NE(list->Next->Next, nullptr);
    EXPECT_STREQ(list->Next->Next->Description, "VPN adapter");
    free(list);

    // A set that grows at every call: a few rounds, then no adapters rather than a loop without end.
    auto grown = std::make_shared<std::string>("eth0|First");
    StandInOnIpHelperCall([grown](const std::string&) {
        *grown += ";eth" + std::to_string(grown->size()) + "|More";
        StandInSetAdapters(grown->c_str());
    });
    EXPECT_EQ(GetCardNumbers(), 0);
    EXPECT_EQ(ReadAdapterList(), nullptr);
}

TEST_F(Inventory, DriverStart_AnAdapterAppearingBeforeTheCountsFillStillStarts) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("eth0|First;eth1|Second");
    StandInResetDevices();
    StandInAddScriptedDevice("\\Device\\NetVorel_eth1");
    AddAdapterAt("GetInterfaceInfo", 2);  // before this was read again, the start ended the process
    LONG result = -1;
    std::string out = Output([&] { result = DriverStart(2); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "User selected Adapter: Second\nAdapter Second successfully opened\n\n");
    EXPECT_EQ(nAdapterCount, 3);
    Output([] { FreeOnExit(); });
    StandInResetDevices();
}

TEST_F(Inventory, IpHelperChoice_AListThatCannotServeTheCountSaysSo) {
    StandInSetWindowsVersion("5.1");
    struct Case {
        const char* name;
        LONG card;
        std::string adapters;
        bool listFails;
        std::string output;
    } cases[] = {
        {"one adapter, list unreadable", 1, "eth0|First", true, "ERROR: Could not get the list of network adapters\n"},
        {"three counted, list unreadable", 2, "eth0|A;eth1|B;eth2|C", true, "ERROR: Could not get the list of network adapters\n"},
        {"three counted, two listed", 3, "eth0|A;eth1|B;eth2|C", false,
         "ERROR: Network card 3 is not in the list of network adapters\n"},
    };
    for (const auto& c : cases) {
        StandInSetAdapters(c.adapters.c_str());
        StandInClearFailures();
        if (c.listFails) StandInFailCall("GetAdaptersInfo", ERROR_NOT_SUPPORTED, 0, -1);
        // The interface table counts three; the list read after it has lost one.
        StandInOnIpHelperCall(c.listFails ? std::function<void(const std::string&)>() : [](const std::string& call) {
            if (call == "GetAdaptersInfo") StandInSetAdapters("eth0|A;eth1|B");
            if (call == "GetInterfaceInfo") StandInSetAdapters("eth0|A;eth1|B;eth2|C");
        });
        static ChosenAdapter chosen;
        bool ok = true;
        std::string out = Output([&] { ok = ChooseAdapter(c.card, &chosen); });
        EXPECT_FALSE(ok) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
    }
}

// ---- The registry path chosen by card -2 on version 5 ----

TEST_F(Inventory, AfterDriverStartMinusTwoOnVersion5DescriptionsComeFromTheRegistry) {
    StandInSetWindowsVersion("5.1");
    StandInSetAdapters("eth0|IP Helper adapter;eth1|Other");
    Load(LinkageExport({"\\Device\\NetVorel_E100B0"}) + NetworkCards({{"1", "Carte réseau du registre", "E100B0"}}));
    StandInResetDevices();
    StandInAddScriptedDevice("\\Device\\NetVorel_E100B0");
    LONG result = -1;
    Output([&] { result = DriverStart(-2); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Text(GetCardDescription(0)), u"Carte réseau du registre");
    EXPECT_EQ(GetCardNumbers(), 1);
    Output([] { FreeOnExit(); });
    StandInResetDevices();
}

TEST_F(Inventory, ServiceNameFillingItsFieldMatchesOnlyTheWholeName) {
    StandInSetWindowsVersion("5.1");
    std::u16string name(kAdapterTextUnits, u'S');
    std::memcpy(AdapterTable[0].ServiceName, name.data(), sizeof AdapterTable[0].ServiceName);  // no NUL
    std::u16string exact = u"\\Device\\NetVorel_" + name;
    std::u16string longer = exact + u"S";
    std::u16string buffer = longer + u'\0' + exact + u'\0';
    LinkageEntryList list{{buffer.data(), buffer.data() + longer.size() + 1}, 2};
    EXPECT_EQ(MatchLinkageEntry(&list, 1), list.entries[1]);
}

}  // namespace
