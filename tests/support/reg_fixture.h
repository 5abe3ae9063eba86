// Building .reg texts for tests: the packet driver's Linkage export and the NetworkCards list.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace regfixture {

// hex(7): bytes of a REG_MULTI_SZ holding `strings` (ASCII), with the closing empty string.
inline std::string MultiSzHex(const std::vector<std::string>& strings) {
    std::string out = "hex(7):";
    bool first = true;
    auto add = [&](unsigned char b) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", b);
        if (!first) out += ',';
        out += buf;
        first = false;
    };
    for (const auto& s : strings) {
        for (char c : s) {
            add(static_cast<unsigned char>(c));
            add(0);
        }
        add(0);
        add(0);
    }
    add(0);
    add(0);
    return out;
}

inline std::string Header() { return "Windows Registry Editor Version 5.00\n\n"; }

inline std::string LinkageExport(const std::vector<std::string>& devices) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage]\n\"Export\"=" + MultiSzHex(devices) +
           "\n\n";
}

struct Card {
    std::string subkey;
    std::string description;
    std::string serviceName;
};

inline std::string NetworkCards(const std::vector<Card>& cards) {
    std::string out = "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards]\n\n";
    for (const auto& card : cards) {
        out += "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\" + card.subkey + "]\n";
        if (!card.description.empty()) out += "\"Description\"=\"" + card.description + "\"\n";
        if (!card.serviceName.empty()) out += "\"ServiceName\"=\"" + card.serviceName + "\"\n";
        out += "\n";
    }
    return out;
}

}  // namespace regfixture
