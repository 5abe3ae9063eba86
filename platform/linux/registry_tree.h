// The stand-in registry's tree and its .reg text form.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "win32_base.h"

// Key and value names compare case-insensitively, as the registry does.
struct RegNameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};

struct RegValue {
    std::u16string name;  // empty: the key's default value
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct RegKey {
    std::u16string name;
    std::map<std::u16string, std::unique_ptr<RegKey>, RegNameLess> subkeys;
    std::map<std::u16string, RegValue, RegNameLess> values;
};

enum RegRoot { kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig, kRootCount };

struct RegTree {
    RegKey roots[kRootCount];
    void Clear();
};

const char* RegRootName(int root);

// Parses regedit export text into `tree` (applying deletions as it goes). On failure returns false with a
// message and the 1-based line number; the tree then holds whatever was read before the fault.
bool ParseRegText(std::string_view text, RegTree& tree, std::string& error, int& line);

// The whole tree as regedit export text (UTF-8, "Windows Registry Editor Version 5.00").
std::string FormatRegText(const RegTree& tree);

// Walks a path of names from a key, creating the missing ones when `create` is set.
RegKey* FindKey(RegKey& from, const std::vector<std::u16string>& path, bool create);
