// The regedit export format: header line, [key] sections, "name"=data lines with \\ and \" escapes,
// dword:, hex: and hex(n): data with line continuations, "name"=- and [-key] deletions, ; comments.
#include <cctype>
#include <cstdio>

#include "registry_tree.h"
#include "unicode.h"
#include "win32_registry.h"

namespace {

char16_t FoldCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
    return c;
}

const char* const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                            "HKEY_CURRENT_CONFIG"};
const char* const kRootShortNames[kRootCount] = {"HKCR", "HKCU", "HKLM", "HKU", "HKCC"};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool IEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// A key or value name from the text. The surrogate forms of modified UTF-8 decode to lone surrogates, which
// no written file can carry (they are written as U+FFFD): they are taken as U+FFFD at once, so that writing
// what was read and reading it again changes nothing, not even the order of the names.
std::u16string NameFromText(std::string_view text) { return Utf8ToUtf16(Utf16ToUtf8(Utf8ToUtf16(text))); }

std::vector<std::u16string> SplitPath(std::string_view path) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        parts.push_back(NameFromText(path.substr(start, end - start)));
        start = end + 1;
    }
    return parts;
}

// Reads a quoted string starting at s[pos] == '"'; leaves pos after the closing quote.
bool ReadQuoted(std::string_view s, size_t& pos, std::string& out, std::string& error) {
    ++pos;
    out.clear();
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') return true;
        if (c == '\\') {
            if (pos >= s.size()) break;
            char e = s[pos++];
            if (e != '\\' && e != '"') {
                error = std::string("unknown escape \\") + e + " in a quoted string";
                return false;
            }
            out += e;
        } else {
            out += c;
        }
    }
    error = "quoted string without its closing quote";
    return false;
}

bool ParseHexBytes(std::string_view s, std::vector<BYTE>& bytes, std::string& error) {
    bytes.clear();
    s = Trim(s);
    if (s.empty()) return true;
    size_t pos = 0;
    while (true) {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
        size_t start = pos;
        while (pos < s.size() && std::isxdigit(static_cast<unsigned char>(s[pos]))) ++pos;
        if (pos - start == 0 || pos - start > 2) {
            error = "hex data must be two-digit bytes separated by commas";
            return false;
        }
        bytes.push_back(static_cast<BYTE>(std::stoul(std::string(s.substr(start, pos - start)), nullptr, 16)));
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
        if (pos == s.size()) return true;
        if (s[pos] != ',') {
            error = "hex data must be two-digit bytes separated by commas";
            return false;
        }
        ++pos;
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
        if (pos == s.size()) return true;  // a trailing comma is what regedit leaves before a wrapped line
    }
}

bool ParseData(std::string_view s, RegValue& value, bool& remove, std::string& error) {
    remove = false;
    s = Trim(s);
    if (s == "-") {
        remove = true;
        return true;
    }
    if (!s.empty() && s.front() == '"') {
        size_t pos = 0;
        std::string text;
        if (!ReadQuoted(s, pos, text, error)) return false;
        if (!Trim(s.substr(pos)).empty()) {
            error = "unexpected text after a quoted value";
            return false;
        }
        std::u16string wide = Utf8ToUtf16(text);
        wide.push_back(0);
        value.type = REG_SZ;
        value.data.assign(reinterpret_cast<const BYTE*>(wide.data()), reinterpret_cast<const BYTE*>(wide.data() + wide.size()));
        return true;
    }
    if (s.size() >= 6 && IEquals(s.substr(0, 6), "dword:")) {
        std::string_view digits = Trim(s.substr(6));
        if (digits.empty() || digits.size() > 8) {
            error = "dword: needs 1 to 8 hex digits";
            return false;
        }
        for (char c : digits)
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                error = "dword: needs 1 to 8 hex digits";
                return false;
            }
        DWORD v = static_cast<DWORD>(std::stoul(std::string(digits), nullptr, 16));
        value.type = REG_DWORD;
        value.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
        return true;
    }
    if (s.size() >= 4 && IEquals(s.substr(0, 3), "hex")) {
        size_t colon = s.find(':');
        if (colon == std::string_view::npos) {
            error = "hex data without ':'";
            return false;
        }
        std::string_view kind = s.substr(3, colon - 3);
        DWORD type = REG_BINARY;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')') {
                error = "hex type must be written hex(n):";
                return false;
            }
            std::string_view n = kind.substr(1, kind.size() - 2);
            if (n.empty() || n.size() > 8) {
                error = "hex type must be written hex(n):";
                return false;
            }
            for (char c : n)
                if (!std::isxdigit(static_cast<unsigned char>(c))) {
                    error = "hex type must be written hex(n):";
                    return false;
                }
            type = static_cast<DWORD>(std::stoul(std::string(n), nullptr, 16));
        }
        value.type = type;
        return ParseHexBytes(s.substr(colon + 1), value.data, error);
    }
    error = "value data must be \"text\", dword:, hex:, hex(n): or -";
    return false;
}

void AppendEscaped(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
}

// A REG_SZ that regedit can write as a quoted string: even length, one final NUL, no line breaks, and text
// that UTF-8 carries unchanged (a lone surrogate would come back as U+FFFD): anything else is written as hex.
bool IsPlainString(const RegValue& value, std::u16string& text) {
    if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) return false;
    text.assign(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
    if (text.back() != 0) return false;
    text.pop_back();
    for (char16_t c : text)
        if (c == 0 || c == u'\n' || c == u'\r') return false;
    return Utf8ToUtf16(Utf16ToUtf8(text)) == text;
}

void FormatValues(const RegKey& key, std::string& out) {
    for (const auto& [unused, value] : key.values) {
        (void)unused;
        if (value.name.empty()) {
            out += "@=";
        } else {
            out += '"';
            AppendEscaped(out, Utf16ToUtf8(value.name));
            out += "\"=";
        }
        std::u16string text;
        if (IsPlainString(value, text)) {
            out += '"';
            AppendEscaped(out, Utf16ToUtf8(text));
            out += "\"\n";
        } else if (value.type == REG_DWORD && value.data.size() == 4) {
            char buf[16];
            DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) | (static_cast<DWORD>(value.data[3]) << 24);
            std::snprintf(buf, sizeof buf, "dword:%08x\n", v);
            out += buf;
        } else {
            char buf[24];
            if (value.type == REG_BINARY)
                out += "hex:";
            else {
                std::snprintf(buf, sizeof buf, "hex(%x):", value.type);
                out += buf;
            }
            for (size_t i = 0; i < value.data.size(); ++i) {
                std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", value.data[i]);
                out += buf;
            }
            out += '\n';
        }
    }
}

void FormatKey(const RegKey& key, const std::string& path, std::string& out) {
    out += "[" + path + "]\n";
    FormatValues(key, out);
    out += '\n';
    for (const auto& [unused, sub] : key.subkeys) {
        (void)unused;
        FormatKey(*sub, path + "\\" + Utf16ToUtf8(sub->name), out);
    }
}

}  // namespace

bool RegNameLess::operator()(const std::u16string& a, const std::u16string& b) const {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = FoldCase(a[i]), y = FoldCase(b[i]);
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

void RegTree::Clear() {
    for (auto& root : roots) {
        root.subkeys.clear();
        root.values.clear();
    }
}

const char* RegRootName(int root) { return root >= 0 && root < kRootCount ? kRootNames[root] : "?"; }

RegKey* FindKey(RegKey& from, const std::vector<std::u16string>& path, bool create) {
    RegKey* key = &from;
    for (const auto& name : path) {
        auto it = key->subkeys.find(name);
        if (it == key->subkeys.end()) {
            if (!create) return nullptr;
            auto sub = std::make_unique<RegKey>();
            sub->name = name;
            it = key->subkeys.emplace(name, std::move(sub)).first;
        }
        key = it->second.get();
    }
    return key;
}

bool ParseRegText(std::string_view text, RegTree& tree, std::string& error, int& line) {
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF && static_cast<unsigned char>(text[1]) == 0xBB &&
        static_cast<unsigned char>(text[2]) == 0xBF)
        text.remove_prefix(3);
    bool sawHeader = false;
    RegKey* current = nullptr;
    size_t pos = 0;
    int lineNumber = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string logical(Trim(text.substr(pos, end - pos)));
        pos = end + 1;
        line = ++lineNumber;
        // hex data may continue on the next lines after a trailing backslash
        while (!logical.empty() && logical.back() == '\\' && logical.find("=hex") != std::string::npos && pos < text.size()) {
            logical.pop_back();
            end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            logical += Trim(text.substr(pos, end - pos));
            pos = end + 1;
            ++lineNumber;
        }
        std::string_view l = logical;
        if (l.empty() || l.front() == ';') continue;
        if (!sawHeader) {
            if (l != "Windows Registry Editor Version 5.00" && l != "REGEDIT4") {
                error = "the first line must be \"Windows Registry Editor Version 5.00\"";
                return false;
            }
            sawHeader = true;
            continue;
        }
        if (l.front() == '[') {
            if (l.back() != ']') {
                error = "key line without its closing ']'";
                return false;
            }
            std::string_view inner = l.substr(1, l.size() - 2);
            bool remove = !inner.empty() && inner.front() == '-';
            if (remove) inner.remove_prefix(1);
            std::vector<std::u16string> parts = SplitPath(inner);
            int root = -1;
            std::string rootName = Utf16ToUtf8(parts.front());
            for (int r = 0; r < kRootCount; ++r)
                if (IEquals(rootName, kRootNames[r]) || IEquals(rootName, kRootShortNames[r])) root = r;
            if (root < 0) {
                error = "unknown root key \"" + rootName + "\"";
                return false;
            }
            parts.erase(parts.begin());
            for (const auto& part : parts)
                if (part.empty()) {
                    error = "empty key name in \"" + std::string(inner) + "\"";
                    return false;
                }
            if (remove) {
                current = nullptr;
                if (parts.empty()) {
                    error = "a root key cannot be deleted";
                    return false;
                }
                std::u16string last = parts.back();
                parts.pop_back();
                if (RegKey* parent = FindKey(tree.roots[root], parts, false)) parent->subkeys.erase(last);
            } else {
                current = FindKey(tree.roots[root], parts, true);
            }
            continue;
        }
        if (current == nullptr) {
            error = "a value line must follow a [key] line";
            return false;
        }
        RegValue value;
        size_t cursor = 0;
        std::string name;
        if (l.front() == '@') {
            cursor = 1;
        } else if (l.front() == '"') {
            if (!ReadQuoted(l, cursor, name, error)) return false;
        } else {
            error = "expected [key], \"name\"=data or @=data";
            return false;
        }
        std::string_view rest = Trim(l.substr(cursor));
        if (rest.empty() || rest.front() != '=') {
            error = "expected '=' after the value name";
            return false;
        }
        bool remove = false;
        if (!ParseData(rest.substr(1), value, remove, error)) return false;
        value.name = NameFromText(name);
        if (remove)
            current->values.erase(value.name);
        else
            current->values[value.name] = std::move(value);
    }
    if (!sawHeader) {
        line = lineNumber > 0 ? lineNumber : 1;
        error = "the first line must be \"Windows Registry Editor Version 5.00\"";
        return false;
    }
    return true;
}

std::string FormatRegText(const RegTree& tree) {
    std::string out = "Windows Registry Editor Version 5.00\n\n";
    for (int r = 0; r < kRootCount; ++r) {
        // Values right under a root key have a section of their own, so that they survive the write-back.
        if (!tree.roots[r].values.empty()) {
            out += std::string("[") + kRootNames[r] + "]\n";
            FormatValues(tree.roots[r], out);
            out += '\n';
        }
        for (const auto& [unused, sub] : tree.roots[r].subkeys) {
            (void)unused;
            FormatKey(*sub, std::string(kRootNames[r]) + "\\" + Utf16ToUtf8(sub->name), out);
        }
    }
    return out;
}
