// The stand-in's .reg parser and writer: any text either parses or is refused with a message and a line
// number inside the text; a parsed registry written out parses again to the same registry (names, types and
// data), and writing that gives the same text (the file the stand-in writes back is stable and loses nothing).
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "linux/registry_tree.h"
#include "linux/unicode.h"

namespace {

std::string Shown(const std::u16string& name) { return Utf16ToUtf8(name); }

void CheckSameKey(const RegKey& read, const RegKey& reread, const std::string& path) {
    FUZZ_CHECK(read.values.size() == reread.values.size(), "[%s]: %zu values, %zu after writing and reading again", path.c_str(),
               read.values.size(), reread.values.size());
    auto v = reread.values.begin();
    for (const auto& [unused, value] : read.values) {
        (void)unused;
        const RegValue& again = v->second;
        FUZZ_CHECK(value.name == again.name, "[%s]: value \"%s\" came back as \"%s\"", path.c_str(),
                   Shown(value.name).c_str(), Shown(again.name).c_str());
        FUZZ_CHECK(value.type == again.type, "[%s] \"%s\": type %u came back as %u", path.c_str(), Shown(value.name).c_str(),
                   static_cast<unsigned>(value.type), static_cast<unsigned>(again.type));
        FUZZ_CHECK(value.data == again.data, "[%s] \"%s\": %zu data bytes came back as %zu different ones", path.c_str(),
                   Shown(value.name).c_str(), value.data.size(), again.data.size());
        ++v;
    }
    FUZZ_CHECK(read.subkeys.size() == reread.subkeys.size(), "[%s]: %zu subkeys, %zu after writing and reading again",
               path.c_str(), read.subkeys.size(), reread.subkeys.size());
    auto k = reread.subkeys.begin();
    for (const auto& [unused, sub] : read.subkeys) {
        (void)unused;
        FUZZ_CHECK(sub->name == k->second->name, "[%s]: subkey \"%s\" came back as \"%s\"", path.c_str(),
                   Shown(sub->name).c_str(), Shown(k->second->name).c_str());
        CheckSameKey(*sub, *k->second, path + "\\" + Shown(sub->name));
        ++k;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    RegTree read;
    std::string error;
    int line = 0;
    if (!ParseRegText(text, read, error, line)) {
        size_t lines = 1;
        for (char c : text) lines += c == '\n';
        FUZZ_CHECK(!error.empty(), "a refused text has a message");
        FUZZ_CHECK(line >= 1 && static_cast<size_t>(line) <= lines, "line %d of a %zu-line text", line, lines);
        return 0;
    }
    std::string written = FormatRegText(read);
    RegTree reread;
    FUZZ_CHECK(ParseRegText(written, reread, error, line), "the written text parses again: line %d: %s\n%s", line, error.c_str(),
               written.c_str());
    for (int root = 0; root < kRootCount; ++root) CheckSameKey(read.roots[root], reread.roots[root], RegRootName(root));
    std::string rewritten = FormatRegText(reread);
    size_t same = 0;
    while (same < written.size() && same < rewritten.size() && written[same] == rewritten[same]) ++same;
    FUZZ_CHECK(rewritten == written, "writing again gives the same text: they differ from byte %zu on:\n%s\n-- then --\n%s", same,
               written.substr(same).c_str(), rewritten.substr(same).c_str());
    return 0;
}
