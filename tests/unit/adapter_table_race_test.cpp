// AdapterTable rewritten by one Java thread's inventory while another chooses a card (run under
// ThreadSanitizer in CI): no description or service name is ever seen half old, half new.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "adapters/choice.h"
#include "adapters/inventory.h"
#include "linux/testing.h"
#include "support/reg_fixture.h"

using namespace regfixture;

namespace {

constexpr int kRounds = 500;

// Two versions of card 2 whose texts differ in every unit, so that a torn copy matches neither.
std::u16string Description(int version) { return std::u16string(149, version == 0 ? u'a' : u'b'); }
std::u16string ServiceName(int version) { return std::u16string(60, version == 0 ? u'S' : u'T'); }

void WriteCard2(int version) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\2", 0,
                            KEY_WRITE, &key),
              ERROR_SUCCESS);
    std::u16string description = Description(version), service = ServiceName(version);
    RegSetValueExW(key, u"Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(description.c_str()),
                   static_cast<DWORD>((description.size() + 1) * sizeof(WCHAR)));
    RegSetValueExW(key, u"ServiceName", 0, REG_SZ, reinterpret_cast<const BYTE*>(service.c_str()),
                   static_cast<DWORD>((service.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
}

bool IsWhole(const std::u16string& text) { return text == Description(0) || text == Description(1); }

TEST(AdapterTableRace, InventoryRewritesWhileACardIsChosen) {
    StandInSetWindowsVersion("4.0");
    // Version 4 skips 15 units: "\Device\Packet_" + the service name. Both versions of card 2 are exported.
    std::string s = std::string(60, 'S'), t = std::string(60, 'T');
    ASSERT_TRUE(StandInLoadRegistryText(Header() +
                                        LinkageExport({"\\Device\\Packet_E1000", "\\Device\\Packet_" + s, "\\Device\\Packet_" + t}) +
                                        NetworkCards({{"1", "Card 1", "E1000"}, {"2", "x", "x"}})));
    WriteCard2(0);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    ::testing::internal::CaptureStdout();
    std::thread writer([&] {
        for (int i = 0; !done; ++i) WriteCard2(i % 2);
    });
    std::thread inventory([&] {
        while (!done) {
            GetCardNumbers();
            AdapterText text = GetCardDescription(1);
            if (!IsWhole(std::u16string(text.begin(), text.end()))) ++torn;
        }
    });
    int failed = 0;
    for (int round = 0; round < kRounds; ++round) {
        static ChosenAdapter chosen;
        nRequestedCard = 2;
        if (!ChooseAdapter(2, &chosen)) {
            ++failed;  // a torn ServiceName matches no entry
            continue;
        }
        if (!IsWhole(chosen.descriptionW)) ++torn;
    }
    done = true;
    writer.join();
    inventory.join();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn.load(), 0);
    StandInResetRegistry();
    StandInSetWindowsVersion(nullptr);
    nRequestedCard = 0;
}

}  // namespace
