// ousterling's console and dialogue texts, and the check of a transcript against them with its progress dots: dots
// may stand only right after a busy step's line (the look-up and the uninstall line), before the mark that closes it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ousterlingtext {

inline const char kLookUp[] = "\nLooking for the Network Vorel Packet Driver...";
inline const char kDone[] = " done.";
inline const char kFailed[] = " failed.";
inline const char kFound[] = "\nFound an installed version.";
inline const char kNotFound[] = "\nDid not find an existing Network Vorel Packet Driver.\n";
inline const char kUninstall[] = "\nUninstalling Network Vorel Packet Driver...";
inline const char kFinished[] = "\nFinished uninstalling.\n";
inline const char kError[] = "\nAn error occured.";
// Followed by the holder's client description and "'", with no line end.
inline const char kLockedBy[] = "Could not lock INetcfg, it is already locked by '";

inline const char kRemoveCaption[] = "Remove Network Vorel Packet Driver";
inline const char kNotAdministratorText[] = "You need administrator rights to uninstall the packet driver.";
inline const char kConfirmationText[] =
    "Network Vorel will not work without the Packet Driver.\nAre you sure you want to uninstall it?";
inline const char kResultCaption[] = "Driver uninstallation";
inline const char kRemovedText[] = "Network Vorel Packet Driver successfully uninstalled.";
inline const char kNotRemovedText[] = "Network Vorel Packet Driver failed to uninstall.";

inline std::string Visible(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
    return "\"" + out + "\"";
}

// `actual` is `expected` with progress dots added only where they belong; `dotsPerStep`, when given, receives
// the number of dots after each busy line of `expected`, in order.
inline ::testing::AssertionResult ProgressDotsAside(const std::string& actual, const std::string& expected,
                                                    std::vector<int>* dotsPerStep = nullptr) {
    auto endsWithBusyLine = [&](size_t matched) {
        for (const std::string line : {kLookUp, kUninstall})
            if (matched >= line.size() && expected.compare(matched - line.size(), line.size(), line) == 0) return true;
        return false;
    };
    std::vector<int> dots;
    size_t i = 0;
    for (size_t j = 0;; ++j) {
        if (endsWithBusyLine(j)) {
            int n = 0;
            while (i < actual.size() && actual[i] == '.') ++i, ++n;
            dots.push_back(n);
        }
        if (j == expected.size() || i == actual.size() || actual[i] != expected[j]) {
            if (j == expected.size() && i == actual.size()) break;
            return ::testing::AssertionFailure() << "transcript " << Visible(actual) << "\n  differs at "
                                                 << Visible(actual.substr(i, 24)) << " from "
                                                 << Visible(expected) << " with dots only after its busy lines";
        }
        ++i;
    }
    if (dotsPerStep != nullptr) *dotsPerStep = dots;
    return ::testing::AssertionSuccess();
}

}  // namespace ousterlingtext
