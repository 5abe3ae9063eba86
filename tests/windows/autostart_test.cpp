// The autostart entry read back from the Run key through the registry calls themselves: the Linux
// stand-in (as an administrator, TAMSIL_TOKEN=admin) and Wine from one source. The JNI path of the same
// entry is in tests/windows/win32/jni_harness_test.cpp; the stand-in-only cases in tests/unit.
#include <gtest/gtest.h>

#include <string>

#include "host/autostart.h"
#include "win32.h"

namespace {

// The value's type, bytes and status, read with RegQueryValueExA.
struct StoredValue {
    LONG status;
    DWORD type;
    std::string data;
};

StoredValue ReadEntry() {
    StoredValue value{0, 0, ""};
    HKEY key = nullptr;
    value.status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key);
    if (value.status != ERROR_SUCCESS) return value;
    char data[600];
    DWORD bytes = sizeof data;
    value.status = RegQueryValueExA(key, kAutostartValueName, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &bytes);
    if (value.status == ERROR_SUCCESS) value.data.assign(data, bytes);
    RegCloseKey(key);
    return value;
}

class AutostartEntry : public ::testing::Test {
protected:
    void SetUp() override { RemoveAutostartEntry(); }
    void TearDown() override { RemoveAutostartEntry(); }
};

TEST_F(AutostartEntry, InstallWritesTheEightPiecesAndOneZeroByte) {
    struct Case {
        std::string home;
        std::string launch;
        std::string line;
    } cases[] = {
        {"C:\\Vorel\\", "-Xmx64m vorel.Main", "javaw -cp \"C:\\Vorel\\./Vorel.jar\" -Xmx64m vorel.Main -home \"C:\\Vorel\\\" -systray"},
        {"", "Main", "javaw -cp \"./Vorel.jar\" Main -home \"\" -systray"},
        {"C:\\\"q\"\\", "M", "javaw -cp \"C:\\\"q\"\\./Vorel.jar\" M -home \"C:\\\"q\"\\\" -systray"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(InstallAutostartEntry(c.home.c_str(), c.launch.c_str()), 1) << c.home;
        StoredValue value = ReadEntry();
        ASSERT_EQ(value.status, ERROR_SUCCESS) << c.home;
        EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(value.data, c.line + '\0') << c.home;
    }
}

TEST_F(AutostartEntry, At299BytesTheLineIsWritten_At300NothingIs) {
    // 42 fixed bytes + twice the home + the launch text.
    std::string home(100, 'h');
    std::string launch(299 - 42 - 200, 'l');
    ASSERT_EQ(InstallAutostartEntry(home.c_str(), launch.c_str()), 1);
    EXPECT_EQ(ReadEntry().data.size(), 300u);
    ASSERT_EQ(RemoveAutostartEntry(), 1);
    launch += 'l';
    EXPECT_EQ(InstallAutostartEntry(home.c_str(), launch.c_str()), 0);
    EXPECT_EQ(ReadEntry().status, ERROR_FILE_NOT_FOUND);
}

TEST_F(AutostartEntry, InstallTwiceKeepsTheSecondLine_RemoveDeletesIt_RemoveAgainStillAnswersOne) {
    ASSERT_EQ(InstallAutostartEntry("A", "First"), 1);
    ASSERT_EQ(InstallAutostartEntry("B", "Second"), 1);
    EXPECT_EQ(ReadEntry().data, std::string("javaw -cp \"B./Vorel.jar\" Second -home \"B\" -systray") + '\0');
    EXPECT_EQ(RemoveAutostartEntry(), 1);
    EXPECT_EQ(ReadEntry().status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RemoveAutostartEntry(), 1);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key), ERROR_SUCCESS) << "the Run key stays";
    if (key != nullptr) RegCloseKey(key);
}

}  // namespace
