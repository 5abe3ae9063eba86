// The stand-in registry: the platform's semantics, the .reg format and the backing file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "linux/testing.h"
#include "win32.h"

namespace {

const char kFixture[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "; a comment\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorel]\n"
    "\"Text\"=\"a \\\"quoted\\\" C:\\\\path\"\n"
    "\"Count\"=dword:0000002a\n"
    "\"List\"=hex(7):41,00,00,00,42,00,43,00,\\\n"
    "  00,00,00,00\n"
    "@=\"default\"\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorel\\Beta]\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorel\\alpha]\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorel\\Gamma]\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Vorel\\Gamma]\n";

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        StandInResetRegistry();
        ASSERT_TRUE(StandInLoadRegistryText(kFixture));
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\VOREL", 0, KEY_READ, &key), ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key);
        StandInResetRegistry();
        StandInClearFailures();
        unsetenv("TAMSIL_REGISTRY");
        unsetenv("TAMSIL_TOKEN");
    }
    HKEY key = nullptr;
};

TEST_F(Registry, QueryValue_TypesSizesAndShortBuffers) {
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, u"text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    const char16_t expected[] = u"a \"quoted\" C:\\path";
    EXPECT_EQ(size, sizeof expected);

    WCHAR small[4] = {u'k', u'e', u'e', u'p'};
    DWORD smallSize = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"Text", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &smallSize), ERROR_MORE_DATA);
    EXPECT_EQ(smallSize, sizeof expected) << "the needed size comes back";
    EXPECT_EQ(small[0], u'k') << "the buffer is left alone";

    DWORD count = 0, countSize = sizeof count;
    ASSERT_EQ(RegQueryValueExW(key, u"Count", nullptr, &type, reinterpret_cast<BYTE*>(&count), &countSize), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(count, 42u);

    WCHAR list[8];
    DWORD listSize = sizeof list;
    ASSERT_EQ(RegQueryValueExW(key, u"List", nullptr, &type, reinterpret_cast<BYTE*>(list), &listSize), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(std::u16string(list, listSize / 2), std::u16string(u"A\0BC\0\0", 6));

    WCHAR def[16];
    DWORD defSize = sizeof def;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(def), &defSize), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(def), u"default");
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, OpenAndEnumerate_CaseInsensitiveSortedBounded) {
    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nothing", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(key, u"Gamma", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND) << "deleted by [-...]";

    const char16_t* names[] = {u"alpha", u"Beta"};
    for (DWORD i = 0; i < 2; ++i) {
        WCHAR name[6];
        DWORD units = 6;
        ASSERT_EQ(RegEnumKeyExW(key, i, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(name), names[i]);
        EXPECT_EQ(units, std::u16string(names[i]).size());
    }
    WCHAR name[5];
    DWORD units = 5;
    EXPECT_EQ(RegEnumKeyExW(key, 2, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    units = 5;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &units, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA)
        << "five units cannot hold \"alpha\" and its NUL";
}

TEST_F(Registry, Writes_NeedTheRightAccessAndAdministratorsUnderHklm) {
    const char data[] = "x";
    EXPECT_EQ(RegSetValueExA(key, "New", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), 2), ERROR_ACCESS_DENIED)
        << "a key opened for reading cannot be written";
    setenv("TAMSIL_TOKEN", "user", 1);
    HKEY run = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vorel\\Run", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &run, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vorel", 0, KEY_ALL_ACCESS, &run), ERROR_ACCESS_DENIED);
    setenv("TAMSIL_TOKEN", "admin", 1);
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vorel\\Run", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &run,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(RegSetValueExA(run, "Network Vorel", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), 2), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(run, "Network Vorel"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(run, "Network Vorel"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(run), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(run), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, AnsiCalls_PassUtf8ThroughUtf16Unchanged) {
    HKEY writable = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vorel", 0, KEY_ALL_ACCESS, &writable), ERROR_SUCCESS);
    const char text[] = "Gr\xc3\xbc\xc3\x9f \xed\xa0\xbd\xed\xb8\x80";  // "Grüß" and U+1F600 in modified UTF-8
    ASSERT_EQ(RegSetValueExA(writable, "Greeting", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
    WCHAR wide[16];
    DWORD size = sizeof wide;
    ASSERT_EQ(RegQueryValueExW(writable, u"Greeting", nullptr, nullptr, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"Grüß \U0001F600");
    RegCloseKey(writable);
}

TEST(RegistryText, MalformedInputNamesTheLineAndLeavesAnEmptyRegistry) {
    struct Case {
        const char* text;
        int line;
    } cases[] = {
        {"REGEDIT5\n", 1},
        {"Windows Registry Editor Version 5.00\n\"Orphan\"=\"value\"\n", 2},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_NOWHERE\\A]\n", 2},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(7):4g,00\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"bad \\q escape\"\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=qword:1\n", 3},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\\\A]\n", 2},
        {"", 1},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        bool ok = StandInLoadRegistryText(c.text, "fixture.reg");
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ok) << c.text;
        EXPECT_NE(err.find("fixture.reg, line " + std::to_string(c.line) + ":"), std::string::npos) << c.text << " -> " << err;
        EXPECT_EQ(StandInRegistryText(), "Windows Registry Editor Version 5.00\n\n");
    }
    StandInResetRegistry();
}

TEST(RegistryText, FormatThenParseGivesTheSameRegistry) {
    ASSERT_TRUE(StandInLoadRegistryText(kFixture));
    std::string once = StandInRegistryText();
    ASSERT_TRUE(StandInLoadRegistryText(once));
    EXPECT_EQ(StandInRegistryText(), once);
    EXPECT_NE(once.find("\"Text\"=\"a \\\"quoted\\\" C:\\\\path\"\n"), std::string::npos) << once;
    EXPECT_NE(once.find("\"Count\"=dword:0000002a\n"), std::string::npos);
    EXPECT_NE(once.find("\"List\"=hex(7):41,00,00,00,42,00,43,00,00,00,00,00\n"), std::string::npos);
    StandInResetRegistry();
}

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/tamsil-regXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        path = directory + "/machine.reg";
        setenv("TAMSIL_REGISTRY", path.c_str(), 1);
        StandInResetRegistry();
    }
    void TearDown() override {
        unsetenv("TAMSIL_REGISTRY");
        StandInResetRegistry();
        std::system(("rm -rf " + directory).c_str());
    }
    void Write(const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
    }
    std::string Read() {
        std::stringstream s;
        s << std::ifstream(path).rdbuf();
        return s.str();
    }
    std::string directory, path;
};

TEST_F(RegistryFile, ChangesAreWrittenBackAndOtherWritersAreSeen) {
    Write("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n");
    HKEY run = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &run, nullptr),
              ERROR_SUCCESS);
    const char line[] = "javaw -cp x";
    ASSERT_EQ(RegSetValueExA(run, "Network Vorel", 0, REG_SZ, reinterpret_cast<const BYTE*>(line), sizeof line), ERROR_SUCCESS);
    EXPECT_NE(Read().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\n\"Network Vorel\"=\"javaw -cp x\""),
              std::string::npos)
        << Read();

    // Another process rewrites the file: the next call sees its contents, and the open handle still works.
    Write(Read() + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n\"v\"=dword:00000007\n");
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", 0, KEY_READ, &other), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(run, "Network Vorel"), ERROR_SUCCESS);
    EXPECT_EQ(Read().find("Network Vorel"), std::string::npos);
    EXPECT_NE(Read().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]"), std::string::npos);
    RegCloseKey(other);
    RegCloseKey(run);
}

TEST_F(RegistryFile, MalformedFileIsReportedAndNeverOverwritten) {
    const std::string bad = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=oops\n";
    Write(bad);
    HKEY key = nullptr;
    ::testing::internal::CaptureStderr();
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path + ", line 3:"), std::string::npos) << err;
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(Read(), bad);
    RegCloseKey(key);
}

TEST_F(RegistryFile, MissingFileIsAnEmptyRegistryCreatedOnFirstChange) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(Read(), "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\n");
    RegCloseKey(key);
}

}  // namespace
