// The IP Helper path of the adapter inventory against the platform's own IP Helper: the Linux
// stand-in (the machine's interfaces) and Wine (the Linux host's interfaces as Windows adapters) from one
// source. Whatever the machine has, the two IP Helper calls and the inventory must agree with each other.
// Descriptions in other languages: the test builds the adapter records as GetAdaptersInfo gives them, in the
// ANSI code page in force, since neither machine has such adapters to list.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "adapters/inventory.h"

namespace {

class IpHelperInventory : public ::testing::Test {
protected:
    void SetUp() override { nRequestedCard = 0; }
    void TearDown() override { nRequestedCard = 0; }
};

std::vector<const IP_ADAPTER_INFO*> Elements(const IP_ADAPTER_INFO* list) {
    std::vector<const IP_ADAPTER_INFO*> out;
    for (; list != nullptr; list = list->Next) out.push_back(list);
    return out;
}

TEST_F(IpHelperInventory, CountAndListAgree) {
    LONG count = CountInterfaces();
    IP_ADAPTER_INFO* list = ReadAdapterList();
    auto elements = Elements(list);
    EXPECT_EQ(static_cast<size_t>(count), elements.size());
    for (const auto* adapter : elements) {
        EXPECT_GT(std::string(adapter->AdapterName).size(), 0u);
        EXPECT_GT(std::string(adapter->Description).size(), 0u) << adapter->AdapterName;
    }
    free(list);
}

TEST_F(IpHelperInventory, GetCardNumbersIsTheInterfaceCountWithoutStoringIt) {
    nAdapterCount = 77;
    std::string out;
    ::testing::internal::CaptureStdout();
    LONG cards = GetCardNumbers();
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(cards, CountInterfaces());
    EXPECT_EQ(nAdapterCount, 77) << "the IP Helper count is not stored";
    EXPECT_EQ(out, "");
}

TEST_F(IpHelperInventory, BothCallsListTheSameInterfaces) {
    ULONG size = 0;
    DWORD status = GetInterfaceInfo(nullptr, &size);
    if (status == ERROR_NO_DATA) {
        EXPECT_EQ(CountInterfaces(), 0);
        EXPECT_EQ(ReadAdapterList(), nullptr);
        GTEST_SKIP() << "no adapters on this machine";
    }
    ASSERT_EQ(status, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<unsigned char> block(size);
    auto* table = reinterpret_cast<IP_INTERFACE_INFO*>(block.data());
    ASSERT_EQ(GetInterfaceInfo(table, &size), static_cast<DWORD>(NO_ERROR));
    std::set<ULONG> interfaceIndexes;
    for (LONG i = 0; i < table->NumAdapters; ++i) interfaceIndexes.insert(table->Adapter[i].Index);

    ULONG listSize = 0;
    ASSERT_EQ(GetAdaptersInfo(nullptr, &listSize), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    ASSERT_GE(listSize, table->NumAdapters * sizeof(IP_ADAPTER_INFO));
    std::vector<unsigned char> listBlock(listSize);
    auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(listBlock.data());
    ASSERT_EQ(GetAdaptersInfo(list, &listSize), static_cast<DWORD>(NO_ERROR));
    auto elements = Elements(list);
    ASSERT_EQ(elements.size(), static_cast<size_t>(table->NumAdapters));
    for (const auto* adapter : elements) EXPECT_EQ(interfaceIndexes.count(adapter->Index), 1u) << adapter->AdapterName;
}

TEST_F(IpHelperInventory, ShortBuffersAnswerTheNeededSizeAndAreNotWritten) {
    ULONG needed = 0;
    if (GetAdaptersInfo(nullptr, &needed) == ERROR_NO_DATA) GTEST_SKIP() << "no adapters on this machine";
    ASSERT_GT(needed, 0u);
    std::vector<unsigned char> block(needed, 0xA5);
    ULONG size = needed - 1;
    EXPECT_EQ(GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(block.data()), &size),
              static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(block[0], 0xA5);

    ULONG interfaces = 0;
    ASSERT_EQ(GetInterfaceInfo(nullptr, &interfaces), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<unsigned char> table(interfaces, 0xA5);
    size = interfaces - 1;
    EXPECT_EQ(GetInterfaceInfo(reinterpret_cast<IP_INTERFACE_INFO*>(table.data()), &size),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, interfaces);
    EXPECT_EQ(table[0], 0xA5);
}

TEST_F(IpHelperInventory, DescriptionsAreDecodedFromTheAnsiCodePage) {
    struct Row {
        UINT codePage;
        const char* bytes;
        AdapterText text;
    };
    const Row rows[] = {
        {1252, "Carte r\xe9seau Intel \x80", WTEXT("Carte r\u00e9seau Intel \u20ac")},
        {1252, "\x81", WTEXT("\u0081")},
        {932, "\x83\x5c\x83\x74\x83\x67 adapter", WTEXT("\u30bd\u30d5\u30c8 adapter")},
        {1251, "\xd1\xe5\xf2\xfc", WTEXT("\u0421\u0435\u0442\u044c")},
    };
    int checked = 0;
    for (const auto& row : rows) {
        if (row.codePage != GetACP()) continue;
        IP_ADAPTER_INFO adapters[2] = {};
        adapters[0].Next = &adapters[1];
        std::strcpy(adapters[0].Description, "First");
        std::strcpy(adapters[1].Description, row.bytes);
        EXPECT_EQ(AdapterDescription(adapters, 1), row.text) << row.bytes;
        EXPECT_EQ(AdapterDescription(adapters, 0), AdapterText(WTEXT("First")));
        EXPECT_EQ(AdapterDescription(adapters, 2), AdapterText());
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no description in ANSI code page " << GetACP();
}

}  // namespace
