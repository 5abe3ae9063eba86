// The autostart entry under the Run key, and the warning message box.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/autostart.h"
#include "host/message_box.h"
#include "linux/testing.h"
#include "platform/win32.h"
#include "support/token_env.h"

namespace {

const char kEmptyRegistry[] = "Windows Registry Editor Version 5.00\n\n";
const char kRunKeyOnly[] =
    "Windows Registry Editor Version 5.00\n\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run]\n"
    "\"Other\"=\"other.exe\"\n\n";

// Where the entry must be, spelled out here so that every test below checks the place as well.
const char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kValueName[] = "Network Vorel";

class Autostart : public ::testing::Test {
protected:
    void SetUp() override {
        StandInClearFailures();
        ASSERT_TRUE(StandInLoadRegistryText(kEmptyRegistry));
    }
    void TearDown() override {
        StandInClearFailures();
        StandInResetRegistry();
    }

    struct Entry {
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    // The value as the ANSI registry calls give it back.
    static Entry ReadEntry() {
        Entry entry;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return entry;
        DWORD size = 0;
        if (RegQueryValueExA(key, kValueName, nullptr, &entry.type, nullptr, &size) == ERROR_SUCCESS) {
            entry.present = true;
            entry.data.resize(size);
            RegQueryValueExA(key, kValueName, nullptr, &entry.type, entry.data.data(), &size);
        }
        RegCloseKey(key);
        return entry;
    }
    static bool RunKeyExists() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static std::vector<BYTE> Bytes(const std::string& text) {
        std::vector<BYTE> bytes(text.begin(), text.end());
        bytes.push_back(0);
        return bytes;
    }
};

TEST_F(Autostart, Install_WritesTheEightPiecesAsRegSzWithOneZeroByte) {
    ScopedToken kind("admin");
    ASSERT_EQ(InstallAutostartEntry("C:\\Program Files\\Vorel\\", "com.larkspire.vorel.Main"), 1);
    Entry entry = ReadEntry();
    ASSERT_TRUE(entry.present);
    EXPECT_EQ(entry.type, REG_SZ);
    const std::string line =
        "javaw -cp \"C:\\Program Files\\Vorel\\./Vorel.jar\" com.larkspire.vorel.Main -home \"C:\\Program Files\\Vorel\\\" -systray";
    EXPECT_EQ(entry.data, Bytes(line));
    EXPECT_EQ(entry.data.size(), line.size() + 1);
}

TEST_F(Autostart, Install_HomeAndLaunchTextPassUnchanged) {
    ScopedToken kind("admin");
    struct Case {
        const char* name;
        std::string home;
        std::string launch;
        std::string line;
    } cases[] = {
        {"empty home", "", "-Xmx64m vorel.Main", "javaw -cp \"./Vorel.jar\" -Xmx64m vorel.Main -home \"\" -systray"},
        {"quote in home", "C:\\a\"b\\", "Main", "javaw -cp \"C:\\a\"b\\./Vorel.jar\" Main -home \"C:\\a\"b\\\" -systray"},
        {"trailing backslash", "C:\\Vorel\\", "Main", "javaw -cp \"C:\\Vorel\\./Vorel.jar\" Main -home \"C:\\Vorel\\\" -systray"},
        {"empty launch text", "D:\\", "", "javaw -cp \"D:\\./Vorel.jar\"  -home \"D:\\\" -systray"},
        {"non-ASCII bytes", "C:\\Vorel-\xC3\xA9\xE6\x97\xA5\\", "Ma\xC3\xAFn",
         "javaw -cp \"C:\\Vorel-\xC3\xA9\xE6\x97\xA5\\./Vorel.jar\" Ma\xC3\xAFn -home \"C:\\Vorel-\xC3\xA9\xE6\x97\xA5\\\" -systray"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(InstallAutostartEntry(c.home.c_str(), c.launch.c_str()), 1) << c.name;
        EXPECT_EQ(ReadEntry().data, Bytes(c.line)) << c.name;
    }
}

TEST_F(Autostart, CommandLine_At299BytesIsWritten_At300IsRefusedWithNothingWritten) {
    ScopedToken kind("admin");
    struct Case {
        size_t home;
        size_t launch;
        int answer;
    } cases[] = {
        {0, 257, 1}, {0, 258, 0}, {128, 1, 1}, {128, 2, 0}, {129, 0, 0}, {100, 57, 1}, {100, 58, 0}, {5000, 5000, 0},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(StandInLoadRegistryText(kEmptyRegistry));
        const std::string before = StandInRegistryText();
        std::string home(c.home, 'h'), launch(c.launch, 'l');
        EXPECT_EQ(InstallAutostartEntry(home.c_str(), launch.c_str()), c.answer) << c.home << "+" << c.launch;
        if (c.answer) {
            // The fixed pieces take 42 bytes; the home directory comes twice; then the zero byte.
            Entry entry = ReadEntry();
            EXPECT_EQ(entry.data.size(), 42 + 2 * c.home + c.launch + 1) << c.home << "+" << c.launch;
            EXPECT_LE(entry.data.size(), 300u);
        } else {
            EXPECT_EQ(StandInRegistryText(), before);
            EXPECT_FALSE(RunKeyExists()) << "nothing written, not even the key: " << c.home << "+" << c.launch;
        }
    }
}

TEST_F(Autostart, BuildCommandLine_TooLongLeavesTheBufferUntouched) {
    char buffer[kAutostartBufferSize + 16];
    std::memset(buffer, 'x', sizeof buffer);
    std::string home(129, 'h');
    EXPECT_EQ(BuildAutostartCommandLine(home.c_str(), "", buffer), 0);
    for (char c : buffer) ASSERT_EQ(c, 'x');
    std::string exact(257, 'l');
    ASSERT_EQ(BuildAutostartCommandLine("", exact.c_str(), buffer), 1);
    EXPECT_EQ(std::strlen(buffer), 299u);
    EXPECT_EQ(buffer[299], '\0');
    for (size_t i = kAutostartBufferSize; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 'x') << i;
}

TEST_F(Autostart, InstallTwice_LeavesOneValueWithTheSecondLine) {
    ScopedToken kind("admin");
    ASSERT_EQ(InstallAutostartEntry("C:\\A\\", "First"), 1);
    ASSERT_EQ(InstallAutostartEntry("C:\\B\\", "Second"), 1);
    EXPECT_EQ(ReadEntry().data, Bytes("javaw -cp \"C:\\B\\./Vorel.jar\" Second -home \"C:\\B\\\" -systray"));
    std::string text = StandInRegistryText();
    size_t first = text.find("\"Network Vorel\"=");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("\"Network Vorel\"=", first + 1), std::string::npos);
}

TEST_F(Autostart, Remove_NoEntry_AnswersTrueAndCreatesTheRunKey) {
    ScopedToken kind("admin");
    ASSERT_FALSE(RunKeyExists());
    EXPECT_EQ(RemoveAutostartEntry(), 1);
    EXPECT_TRUE(RunKeyExists());
    EXPECT_EQ(RemoveAutostartEntry(), 1) << "the key is there now, the entry still is not";
}

TEST_F(Autostart, Remove_DeletesOnlyTheEntry) {
    ScopedToken kind("admin");
    ASSERT_TRUE(StandInLoadRegistryText(kRunKeyOnly));
    ASSERT_EQ(InstallAutostartEntry("C:\\", "Main"), 1);
    EXPECT_EQ(RemoveAutostartEntry(), 1);
    EXPECT_FALSE(ReadEntry().present);
    EXPECT_NE(StandInRegistryText().find("\"Other\"=\"other.exe\""), std::string::npos);
}

TEST_F(Autostart, NonAdministrator_BothOperationsFalseAndNothingWritten) {
    for (const char* token : {"user", "deny-only-admin"}) {
        for (const char* start : {kEmptyRegistry, kRunKeyOnly}) {
            ScopedToken kind(token);
            ASSERT_TRUE(StandInLoadRegistryText(start));
            std::string before = StandInRegistryText();
            EXPECT_EQ(InstallAutostartEntry("C:\\", "Main"), 0) << token;
            EXPECT_EQ(RemoveAutostartEntry(), 0) << token;
            EXPECT_EQ(StandInRegistryText(), before) << token;
        }
    }
}

TEST_F(Autostart, Answers_FalseWhenTheChangeFailsWhateverTheClose) {
    ScopedToken kind("admin");
    struct Case {
        const char* change;  // the call that writes or deletes
        DWORD changeFails;   // with this error; 0: it succeeds
        bool closeFails;
        int answer;
    } cases[] = {
        {"RegSetValueEx", 0, false, 1}, {"RegSetValueEx", ERROR_ACCESS_DENIED, false, 0},
        {"RegSetValueEx", 0, true, 1},  {"RegSetValueEx", ERROR_ACCESS_DENIED, true, 0},
        {"RegDeleteValue", 0, false, 1}, {"RegDeleteValue", ERROR_ACCESS_DENIED, false, 0},
        {"RegDeleteValue", 0, true, 1},  {"RegDeleteValue", ERROR_ACCESS_DENIED, true, 0},
        {"RegDeleteValue", ERROR_FILE_NOT_FOUND, true, 1},  // no entry to delete: none is left
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(StandInLoadRegistryText(kEmptyRegistry));
        bool install = std::string(c.change) == "RegSetValueEx";
        if (!install) {
            ASSERT_EQ(InstallAutostartEntry("C:\\", "Main"), 1);
        }
        StandInClearFailures();
        if (c.changeFails != 0) StandInFailCall(c.change, c.changeFails);
        if (c.closeFails) StandInFailCall("RegCloseKey", ERROR_INVALID_HANDLE);
        int answer = install ? InstallAutostartEntry("C:\\", "Main") : RemoveAutostartEntry();
        EXPECT_EQ(answer, c.answer) << c.change << " fails " << c.changeFails << ", close fails " << c.closeFails;
        StandInClearFailures();
    }
    // A Run key that cannot be opened or created: false at once.
    StandInFailCall("RegCreateKeyEx", ERROR_ACCESS_DENIED, 0, 2);
    EXPECT_EQ(InstallAutostartEntry("C:\\", "Main"), 0);
    EXPECT_EQ(RemoveAutostartEntry(), 0);
}

class WarningBox : public ::testing::Test {
protected:
    void SetUp() override {
        StandInClearFailures();
        StandInClearDialogs();
    }
    void TearDown() override {
        StandInClearFailures();
        StandInClearDialogs();
    }
};

TEST_F(WarningBox, ShowsTheTextCaptionedNetworkVorelWithStyle0x11030) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ShowWarningBox("The driver is not installed.\nInstall it first."), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "nothing on standard output";
    std::vector<StandInDialog> shown = StandInDialogsShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Network Vorel");
    EXPECT_EQ(shown[0].text, "The driver is not installed.\nInstall it first.");
    EXPECT_EQ(shown[0].style, 0x11030u);
}

TEST_F(WarningBox, NonAsciiBytesReachTheBoxUnchanged) {
    EXPECT_EQ(ShowWarningBox("Gr\xC3\xBC\xC3\x9F \xE6\x97\xA5"), 1);
    ASSERT_EQ(StandInDialogsShown().size(), 1u);
    EXPECT_EQ(StandInDialogsShown()[0].text, "Gr\xC3\xBC\xC3\x9F \xE6\x97\xA5");
}

TEST_F(WarningBox, NoBoxShown_AnswersZero) {
    StandInFailCall("MessageBox", 1400);
    EXPECT_EQ(ShowWarningBox("text"), 0);
}

}  // namespace
