// The Linkage export split and the match of its entries to a card, on arbitrary export bytes and byte counts,
// on version 4 (15 units skipped) and 5 (17 units skipped); directly, and through the stand-in registry
// (ReadLinkageExport, ReadNetworkCards) with values over 1024 or 300 bytes and text without terminators.
// The buffers are allocated to the exact byte, so a read past the bytes the registry returned is caught.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapters/choice.h"
#include "adapters/inventory.h"
#include "fuzz/fuzz_check.h"
#include "linux/testing.h"

namespace {

using Bytes = std::vector<unsigned char>;
const LONG kChoices[] = {INT_MIN, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, INT_MAX};

std::u16string UnitsOf(const unsigned char* bytes, size_t units) {
    std::u16string text(units, u'\0');
    for (size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return text;
}

// The entries a split must find: strings from the start, each ended by a NUL inside the bytes returned,
// until an empty string, the 16th entry, or a string whose NUL is missing.
std::vector<size_t> ExpectedEntries(const std::u16string& units) {
    std::vector<size_t> starts;
    size_t at = 0;
    while (starts.size() < static_cast<size_t>(kMaxLinkageEntries) && at < units.size() && units[at] != 0) {
        size_t nul = units.find(u'\0', at);
        if (nul == std::u16string::npos) break;
        starts.push_back(at);
        at = nul + 1;
    }
    return starts;
}

// A 150-unit field's text: up to its NUL, or all of it.
std::u16string TextAt(const WCHAR* text) {
    std::u16string s;
    for (int i = 0; i < kAdapterTextUnits && text[i] != 0; ++i) s.push_back(static_cast<char16_t>(text[i]));
    return s;
}

void CheckSplitAndMatch(const unsigned char* buffer, DWORD byteCount, bool version4) {
    size_t units = std::min<size_t>(byteCount, kLinkageExportBytes) / sizeof(WCHAR);
    std::u16string text = UnitsOf(buffer, units);
    std::vector<size_t> starts = ExpectedEntries(text);
    const WCHAR* wide = reinterpret_cast<const WCHAR*>(buffer);

    LinkageEntryList list;
    std::memset(&list, 0xA5, sizeof list);
    SplitLinkageExport(wide, byteCount, &list);
    FUZZ_CHECK(list.count == static_cast<int>(starts.size()), "%d entries from %lu bytes, expected %zu", list.count,
               static_cast<unsigned long>(byteCount), starts.size());
    for (size_t i = 0; i < starts.size(); ++i)
        FUZZ_CHECK(list.entries[i] == wide + starts[i], "entry %zu at unit %td, expected %zu", i, list.entries[i] - wide,
                   starts[i]);

    const size_t skip = version4 ? 15 : 17;
    for (LONG choice : kChoices) {
        const WCHAR* expected = nullptr;
        if (choice >= 1 && choice <= kAdapterTableSize) {
            std::u16string serviceName = TextAt(AdapterTable[choice - 1].ServiceName);
            for (size_t start : starts) {
                std::u16string entry = text.substr(start, text.find(u'\0', start) - start);
                if (entry.size() >= skip && entry.substr(skip) == serviceName) {
                    expected = wide + start;
                    break;
                }
            }
        }
        const WCHAR* matched = MatchLinkageEntry(&list, choice);
        FUZZ_CHECK(matched == expected, "card %ld (version %d) matched unit %td, expected %td", static_cast<long>(choice),
                   version4 ? 4 : 5, matched == nullptr ? -1 : matched - wide, expected == nullptr ? -1 : expected - wide);
    }
}

// Direct: the export bytes and byte count as given; the cards' ServiceNames as given, or the tail of an
// export string after the skipped prefix (so that matches happen).
void Direct(FuzzInput& in, bool version4) {
    DWORD byteCount = in.Little(2);
    if (in.Byte() & 1) byteCount |= in.Little(2) << 16;
    struct Card {
        bool fromEntry;
        size_t entry;
        std::u16string units;
    };
    std::vector<Card> cards(in.Byte() % (kAdapterTableSize + 1));
    for (Card& card : cards) {
        uint8_t shape = in.Byte();
        card.fromEntry = shape & 0x80;
        if (card.fromEntry) {
            card.entry = shape % kMaxLinkageEntries;
        } else {
            for (size_t n = shape % kAdapterTextUnits; n > 0; --n) card.units.push_back(static_cast<char16_t>(in.Little(2)));
        }
    }
    // The registry returned byteCount bytes (at most the 1024 the buffer holds): those that the input does not
    // give are letters, so that a string can run to the end without its NUL.
    size_t available = std::min<size_t>(byteCount, kLinkageExportBytes);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[available]);
    size_t taken = 0;
    const uint8_t* bytes = in.Take(available, &taken);
    if (taken != 0) std::memcpy(buffer.get(), bytes, taken);
    for (size_t i = taken; i < available; ++i) buffer[i] = i % 2 == 0 ? 'A' : 0;

    std::u16string text = UnitsOf(buffer.get(), available / sizeof(WCHAR));
    std::vector<size_t> starts = ExpectedEntries(text);
    std::memset(AdapterTable, 0, sizeof AdapterTable);
    for (size_t c = 0; c < cards.size(); ++c) {
        std::u16string name = cards[c].units;
        if (cards[c].fromEntry && !starts.empty()) {
            size_t start = starts[cards[c].entry % starts.size()];
            std::u16string entry = text.substr(start, text.find(u'\0', start) - start);
            size_t skip = version4 ? 15 : 17;
            name = entry.size() >= skip ? entry.substr(skip) : u"";
        }
        name = name.substr(0, std::min(name.find(u'\0'), static_cast<size_t>(kAdapterTextUnits)));  // NUL-less when full
        std::copy(name.begin(), name.end(), AdapterTable[c].ServiceName);
    }
    CheckSplitAndMatch(buffer.get(), byteCount, version4);
}

std::string Hex(const char* type, const unsigned char* bytes, size_t count) {
    std::string line = std::string(type) + ":";
    char pair[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02x" : ",%02x", bytes[i]);
        line += pair;
    }
    return line + "\n";
}

// Through the registry: an Export value of any length, NetworkCards subkeys with names that fit the
// 5-unit enumeration buffer or do not, descriptions and service names of any length, or no service name.
void ThroughRegistry(FuzzInput& in, bool version4) {
    size_t exportLength = in.Little(2) % 2100;
    size_t taken = 0;
    const uint8_t* exportBytes = in.Take(exportLength, &taken);
    exportLength = taken;

    struct Card {
        std::string name;
        Bytes description;
        bool hasServiceName;
        Bytes serviceName;
    };
    std::vector<Card> cards(in.Byte() % 20);
    for (size_t c = 0; c < cards.size(); ++c) {
        Card& card = cards[c];
        uint8_t shape = in.Byte();
        card.name = std::to_string(c + 1);
        if (shape & 1) card.name = std::string(5 - std::min<size_t>(card.name.size(), 4), '0') + card.name;  // 5 units: too long
        card.hasServiceName = (shape & 2) == 0;
        for (Bytes* text : {&card.description, &card.serviceName}) {
            size_t length = in.Little(2) % 400;
            const uint8_t* bytes = in.Take(length, &taken);
            text->assign(bytes, bytes + taken);
        }
    }
    std::string reg = "Windows Registry Editor Version 5.00\n\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage]\n\"Export\"=" +
                      Hex("hex(7)", exportBytes, exportLength) +
                      "\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards]\n";
    for (const Card& card : cards) {
        reg += "\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\" + card.name + "]\n";
        reg += "\"Description\"=" + Hex("hex(1)", card.description.data(), card.description.size());
        if (card.hasServiceName) reg += "\"ServiceName\"=" + Hex("hex(1)", card.serviceName.data(), card.serviceName.size());
    }
    FUZZ_CHECK(StandInLoadRegistryText(reg), "the generated registry loads");

    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kLinkageExportBytes]);
    std::memset(buffer.get(), 0xA5, kLinkageExportBytes);
    DWORD byteCount = 12345;
    LONG status = ReadLinkageExport(reinterpret_cast<WCHAR*>(buffer.get()), &byteCount);
    if (exportLength > kLinkageExportBytes) {
        FUZZ_CHECK(status == ERROR_MORE_DATA, "an Export of %zu bytes answers %ld", exportLength, static_cast<long>(status));
        FUZZ_CHECK(byteCount == 0, "and no bytes count as read (%lu)", static_cast<unsigned long>(byteCount));
    } else {
        FUZZ_CHECK(status == ERROR_SUCCESS, "an Export of %zu bytes answers %ld", exportLength, static_cast<long>(status));
        FUZZ_CHECK(byteCount == exportLength, "%lu bytes read of %zu", static_cast<unsigned long>(byteCount), exportLength);
        FUZZ_CHECK(exportLength == 0 || std::memcmp(buffer.get(), exportBytes, exportLength) == 0, "the Export bytes");
    }

    // The cards in enumeration order: the registry's order of names, at most 16 taken.
    std::vector<const Card*> ordered;
    for (const Card& card : cards) ordered.push_back(&card);
    std::sort(ordered.begin(), ordered.end(), [](const Card* a, const Card* b) { return a->name < b->name; });
    LONG expectedStatus = ERROR_NO_MORE_ITEMS;
    size_t complete = 0;
    for (const Card* card : ordered) {
        if (complete == static_cast<size_t>(kAdapterTableSize)) break;
        if (card->name.size() >= 5) {
            expectedStatus = ERROR_MORE_DATA;
            break;
        }
        if (card->description.size() > 300) {
            expectedStatus = ERROR_MORE_DATA;
            break;
        }
        if (!card->hasServiceName) {
            expectedStatus = ERROR_FILE_NOT_FOUND;
            break;
        }
        if (card->serviceName.size() > 300) {
            expectedStatus = ERROR_MORE_DATA;
            break;
        }
        ++complete;
    }
    if (expectedStatus == ERROR_NO_MORE_ITEMS && complete > 0) expectedStatus = ERROR_SUCCESS;

    std::memset(AdapterTable, 0, sizeof AdapterTable);
    LONG cardsStatus = ReadNetworkCards(AdapterTable);
    FUZZ_CHECK(cardsStatus == expectedStatus, "ReadNetworkCards answers %ld, expected %ld", static_cast<long>(cardsStatus),
               static_cast<long>(expectedStatus));
    for (size_t r = 0; r < complete; ++r) {
        for (const auto& [field, bytes] : {std::pair{AdapterTable[r].Description, &ordered[r]->description},
                                           std::pair{AdapterTable[r].ServiceName, &ordered[r]->serviceName}}) {
            size_t units = std::min(bytes->size() / 2, static_cast<size_t>(kAdapterTextUnits));
            std::u16string text = UnitsOf(bytes->data(), units);
            text = text.substr(0, text.find(u'\0'));
            FUZZ_CHECK(TextAt(field) == text, "record %zu holds its text up to the first NUL, all of its field at most", r);
        }
    }
    if (status == ERROR_SUCCESS) CheckSplitAndMatch(buffer.get(), byteCount, version4);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers' error lines are not what is checked here.
    FUZZ_CHECK(std::freopen("/dev/null", "w", stdout) != nullptr, "standard output to /dev/null");
    return 0;
}

// Input: a flags byte (bit 0: version 4.0, else 5.1; bit 1: through the registry), then the mode's data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    uint8_t flags = in.Byte();
    bool version4 = flags & 1;
    StandInSetWindowsVersion(version4 ? "4.0" : "5.1");
    if (flags & 2)
        ThroughRegistry(in, version4);
    else
        Direct(in, version4);
    return 0;
}
