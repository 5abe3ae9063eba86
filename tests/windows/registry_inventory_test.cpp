// The registry path of the adapter inventory against a registry that the test writes through the
// registry calls themselves: runs on the Linux stand-in and under Wine from this one source. The registry path
// is forced with card number -2 (the path rule), so the platform's version does not matter.
// Stand-in-only cases (the missing SYSTEM, CurrentControlSet and Services keys, injected failures, handle
// counts) are in tests/unit/inventory_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapters/inventory.h"
#include "windows/registry_seed.h"

using namespace registryseed;

namespace {

const char kNetVorel[] = "SYSTEM\\CurrentControlSet\\Services\\NetVorel";
const char kLinkage[] = "SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage";
const char kNetworkCards[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";

struct Card {
    std::string subkey;
    std::string description;  // empty: no value
    std::string serviceName;  // empty: no value
};

class RegistryInventory : public ::testing::Test {
protected:
    void SetUp() override {
        ClearKeys();
        nRequestedCard = -2;
        nSelectedCard = 0;
        nAdapterCount = 0;
        std::memset(AdapterTable, 0, sizeof AdapterTable);
    }
    void TearDown() override {
        ClearKeys();
        nRequestedCard = 0;
    }
    // No driver service; the Services key and an empty NetworkCards key, as a fresh Windows (and Wine) has
    // them (the stand-in starts with an empty registry).
    static void ClearKeys() {
        ASSERT_EQ(CreateKey("SYSTEM\\CurrentControlSet\\Services"), ERROR_SUCCESS);
        ASSERT_EQ(DeleteTree(kNetVorel), ERROR_SUCCESS);
        ASSERT_EQ(DeleteTree(kNetworkCards), ERROR_SUCCESS);
        ASSERT_EQ(CreateKey(kNetworkCards), ERROR_SUCCESS);
    }
    static void WriteExport(const std::vector<std::string>& devices) {
        ASSERT_EQ(SetMultiString(kLinkage, "Export", devices), ERROR_SUCCESS);
    }
    static void WriteCards(const std::vector<Card>& cards) {
        ASSERT_EQ(DeleteTree(kNetworkCards), ERROR_SUCCESS);
        ASSERT_EQ(CreateKey(kNetworkCards), ERROR_SUCCESS);
        for (const auto& card : cards) {
            std::string path = std::string(kNetworkCards) + "\\" + card.subkey;
            ASSERT_EQ(CreateKey(path), ERROR_SUCCESS);
            if (!card.description.empty()) {
                ASSERT_EQ(SetString(path, "Description", card.description), ERROR_SUCCESS);
            }
            if (!card.serviceName.empty()) {
                ASSERT_EQ(SetString(path, "ServiceName", card.serviceName), ERROR_SUCCESS);
            }
        }
    }
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
    for (int i = 0; i < n; ++i) devices.push_back(std::string("\\Device\\NetVorel_E100B") + std::to_string(i));
    return devices;
}

std::vector<Card> Cards(int n) {
    std::vector<Card> cards;
    for (int i = 0; i < n; ++i) cards.push_back({std::to_string(i + 1), std::string("Card ") + std::to_string(i + 1), std::string("E100B") + std::to_string(i)});
    return cards;
}

std::string Narrow(const WCHAR* text) { return ConsoleText(text, kAdapterTextUnits); }

TEST_F(RegistryInventory, CountIsTheDriversExportsNotTheCards) {
    struct Case {
        int devices;
        int cards;
        LONG expected;
    } cases[] = {{3, 2, 3}, {3, 5, 3}, {20, 2, 16}, {0, 2, 0}, {1, 0, 1}};
    for (const auto& c : cases) {
        WriteExport(Devices(c.devices));
        WriteCards(Cards(c.cards));
        LONG count = 0;
        std::string out = Output([&] { count = GetCardNumbers(); });
        EXPECT_EQ(count, c.expected) << c.devices << " devices, " << c.cards << " cards";
        EXPECT_EQ(nAdapterCount, c.expected) << c.devices << " devices, " << c.cards << " cards";
        EXPECT_EQ(out, "") << c.devices << " devices, " << c.cards << " cards";
        if (c.cards > 0) {
            EXPECT_EQ(Narrow(AdapterTable[c.cards - 1].Description), "Card " + std::to_string(c.cards));
        }
    }
}

TEST_F(RegistryInventory, ExportOver1024Bytes_ReturnsMinusOneWithoutALine) {
    WriteExport(Devices(40));  // 40 names of 24 units: well over 1024 bytes
    WriteCards(Cards(1));
    LONG count = 0;
    std::string out = Output([&] { count = GetCardNumbers(); });
    EXPECT_EQ(count, -1);
    EXPECT_EQ(out, "");
}

TEST_F(RegistryInventory, MissingServiceOrLinkageKey_PrintsItsLinesAndReturnsMinusOne) {
    WriteCards(Cards(1));
    LONG count = 0;
    std::string out = Output([&] { count = GetCardNumbers(); });
    EXPECT_EQ(count, -1);
    EXPECT_EQ(out,
              "ERROR: Unable to read \"SYSTEM\\CurrentControlSet\\Services\\NetVorel\" key in registry\n"
              "This usually means Network Vorel Packet Driver is not installed\n");

    ASSERT_EQ(CreateKey(kNetVorel), ERROR_SUCCESS);
    out = Output([&] { count = GetCardNumbers(); });
    EXPECT_EQ(count, -1);
    EXPECT_EQ(out,
              "ERROR: Unable to read \"SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage\" key in the Registry\n"
              "This usually means our Packet Driver was installed BEFORE the NIC driver\n");

    ASSERT_EQ(CreateKey(kLinkage), ERROR_SUCCESS);  // the key without its Export value: no line, -1
    out = Output([&] { count = GetCardNumbers(); });
    EXPECT_EQ(count, -1);
    EXPECT_EQ(out, "");
}

TEST_F(RegistryInventory, LinkageExport_IsReadAsStoredAndSplitInOrder) {
    const std::string first = "\\Device\\NetVorel_A", second = "\\Device\\NetVorel_{12345678-ABCD}";
    WriteExport({first, second});
    WCHAR buffer[kLinkageExportBytes / sizeof(WCHAR)];
    DWORD bytes = 0;
    ASSERT_EQ(ReadLinkageExport(buffer, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, (first.size() + 1 + second.size() + 1 + 1) * sizeof(WCHAR));
    LinkageEntryList list;
    SplitLinkageExport(buffer, bytes, &list);
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(ConsoleText(list.entries[0]), first);
    EXPECT_EQ(ConsoleText(list.entries[1]), second);
}

TEST_F(RegistryInventory, NetworkCards_FailuresPrintTheirLineAndEndTheRead) {
    struct Case {
        const char* name;
        std::vector<Card> cards;
        LONG status;
        std::string output;
    } cases[] = {
        {"no subkeys", {}, ERROR_NO_MORE_ITEMS, ""},
        {"five-character subkey name", {{"10000", "Card", "S"}}, ERROR_MORE_DATA,
         "ERROR: Unable to enumerate subkeys of \"Software\\Microsoft\\WindowsNT\\CurrentVersion\\NetworkCards in Registry\n"},
        {"description of 150 units", {{"1", std::string(150, 'd'), "S"}}, ERROR_MORE_DATA,
         "ERROR: The buffer specified is too small\n"},
        {"no description", {{"1", "", "S"}}, ERROR_FILE_NOT_FOUND,
         "ERROR: Unable to get the value of a parameter \"Description\"\n"},
        {"no service name", {{"1", "Card", ""}}, ERROR_FILE_NOT_FOUND,
         "ERROR: Unable to get the value of a parameter \"ServiceName\"\n"},
        {"service name of 150 units", {{"1", "Card", std::string(150, 's')}}, ERROR_MORE_DATA,
         "ERROR: The buffer specified is too small\n"},
        {"second card fails", {{"1", "Card", "S"}, {"2", "Card", ""}}, ERROR_FILE_NOT_FOUND,
         "ERROR: Unable to get the value of a parameter \"ServiceName\"\n"},
        {"two cards", Cards(2), ERROR_SUCCESS, ""},
        {"four-character names", {{"0001", "Card", "S"}}, ERROR_SUCCESS, ""},
        {"description of 149 units", {{"1", std::string(149, 'd'), "S"}}, ERROR_SUCCESS, ""},
    };
    for (const auto& c : cases) {
        WriteCards(c.cards);
        LONG status = 0;
        std::string out = Output([&] { status = ReadNetworkCards(AdapterTable); });
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
    }
    EXPECT_EQ(Narrow(AdapterTable[0].Description), std::string(149, 'd'));
}

TEST_F(RegistryInventory, NetworkCards_MissingKeyPrintsItsLine) {
    ASSERT_EQ(DeleteTree(kNetworkCards), ERROR_SUCCESS);
    LONG status = 0;
    std::string out = Output([&] { status = ReadNetworkCards(AdapterTable); });
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, "ERROR: Unable to read \"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\" key in registry\n");
}

TEST_F(RegistryInventory, NetworkCards_RecordsFollowTheEnumerationOrder) {
    // Created out of order: both platforms enumerate subkeys sorted by name.
    WriteCards({{"2", "Second", "S2"}, {"10", "Tenth", "S10"}, {"1", "First", "S1"}});
    ASSERT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    EXPECT_EQ(Narrow(AdapterTable[0].Description), "First");
    EXPECT_EQ(Narrow(AdapterTable[1].Description), "Tenth");
    EXPECT_EQ(Narrow(AdapterTable[2].Description), "Second");
    EXPECT_EQ(Narrow(AdapterTable[2].ServiceName), "S2");
}

TEST_F(RegistryInventory, NetworkCards_ShorterReadKeepsEarlierRecordsAndTableNeverOverflows) {
    WriteCards(Cards(3));
    ASSERT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    WriteCards({{"1", "Replacement", "X"}});
    ASSERT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS);
    EXPECT_EQ(Narrow(AdapterTable[0].Description), "Replacement");
    EXPECT_EQ(Narrow(AdapterTable[1].Description), "Card 2");
    EXPECT_EQ(Narrow(AdapterTable[2].ServiceName), "E100B2");

    // 20 cards: the first 16 fill the table and the read stops there.
    std::vector<Card> many;
    for (int i = 0; i < 20; ++i) many.push_back({std::to_string(100 + i), std::string("Many ") + std::to_string(i), std::string("M") + std::to_string(i)});
    WriteCards(many);
    std::string out = Output([&] { EXPECT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(Narrow(AdapterTable[0].Description), "Many 0");
    EXPECT_EQ(Narrow(AdapterTable[15].Description), "Many 15");
    EXPECT_EQ(Narrow(AdapterTable[15].ServiceName), "M15");
}

TEST_F(RegistryInventory, NetworkCards_TextWithoutNulKeepsAllOfItsField) {
    // 150 units stored without a NUL (300 bytes exactly), and a shorter value without a NUL. The unit after
    // the bytes given is not NUL: Windows would otherwise count it in ("if user forgot to count terminating
    // null, add it"), and the value would have its NUL after all.
    std::string path = std::string(kNetworkCards) + "\\1";
    WString full(151, WCHAR('a'));
    WString sv = Wide("SVx");
    ASSERT_EQ(SetValue(path, "Description", REG_SZ, full.data(), 300), ERROR_SUCCESS);
    ASSERT_EQ(SetValue(path, "ServiceName", REG_SZ, sv.data(), 4), ERROR_SUCCESS);
    for (auto& unit : AdapterTable[0].ServiceName) unit = WCHAR('z');
    std::string out = Output([&] { EXPECT_EQ(ReadNetworkCards(AdapterTable), ERROR_SUCCESS); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(Narrow(AdapterTable[0].Description), std::string(150, 'a'));
    EXPECT_EQ(Narrow(AdapterTable[0].ServiceName), "SV");
}

TEST_F(RegistryInventory, CardDescriptionsComeFromTheTableAfterGetCardNumbers) {
    WriteExport(Devices(2));
    WriteCards({{"1", "Intel(R) PRO/100", "E100B1"}, {"2", "3Com EtherLink", "EL90X1"}});
    ASSERT_EQ(GetCardNumbers(), 2);
    EXPECT_EQ(Narrow(AdapterTable[0].Description), "Intel(R) PRO/100");
    EXPECT_EQ(Narrow(AdapterTable[1].Description), "3Com EtherLink");
    EXPECT_EQ(Narrow(AdapterTable[1].ServiceName), "EL90X1");
}

}  // namespace
