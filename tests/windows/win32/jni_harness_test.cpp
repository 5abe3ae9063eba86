// tamsil.dll called as a JVM calls it (the harness: jni_harness.h), every export: the inventory, the
// administrator test, services, the Run key, the message box, and capture without a packet driver. Runs under
// wine64 and under 32-bit Wine.
//
// The library's state lives for the whole process, as in a JVM: the cases run in the order written, capture last.
#include <gtest/gtest.h>

#include <string>
#include <vector>

// The platform's include (winsock2.h before windows.h) first.
#include "windows/win32/test_driver_setup.h"
#include "windows/win32/jni_harness.h"
#include "windows/win32/message_box_answerer.h"

namespace {

// Wine's own DefineDosDevice cannot take a packet device's name (see test_driver_setup.h): under Wine,
// tamsil.dll's imports of it make the link as Windows does and record the call. No driver runs in this program,
// so CreateFile then fails and the open-failure path runs.
class JniHarness : public JniHarnessBase {
protected:
    static void SetUpTestSuite() {
        JniHarnessBase::SetUpTestSuite();
        testdriver::LinkDosDevicesOf(library_);
    }
};

std::string RunValue(DWORD* type, DWORD* bytes) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "<no Run key>";
    }
    char data[1024];
    *bytes = sizeof data;
    LONG status = RegQueryValueExA(key, "Network Vorel", nullptr, type, reinterpret_cast<BYTE*>(data), bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return "<status " + std::to_string(status) + ">";
    return std::string(data, *bytes);
}

TEST_F(JniHarness, EveryExportIsFoundByTheNameAJvmLooksUp) {
    std::vector<std::string> missing;
    for (const auto& e : kExports) {
        if (!Has(e.method)) {
            missing.push_back(ExportName(e.method, e.stackBytes));
        } else if (k32Bit) {
            // A 32-bit JVM falls back to the undecorated name: the same function.
            FARPROC plain = GetProcAddress(library_, (std::string(kClassPrefix) + e.method).c_str());
            EXPECT_EQ(reinterpret_cast<void*>(plain), reinterpret_cast<void*>(exports_[e.method])) << e.method;
        }
    }
    std::string list;
    for (const auto& m : missing) list += " " + m;
    if (RequireAll()) {
        EXPECT_TRUE(missing.empty()) << "not exported:" << list;
    } else if (!missing.empty()) {
        std::printf("not exported yet:%s\n", list.c_str());
    }
    EXPECT_GT(exports_.size(), 0u);
}

TEST_F(JniHarness, Inventory_AgreesWithTheIpHelperAndDescribesEachCard) {
    REQUIRE_EXPORTS("GetCardNumbers", "GetCardDescription", "GetCardNumber");
    std::vector<std::string> descriptions = IpHelperAdapters();
    std::string out;
    jint count = CallCaptured<jint>(&out, "GetCardNumbers");
    EXPECT_EQ(out, "");
    ASSERT_EQ(count, static_cast<jint>(descriptions.size()));
    for (jint i = 0; i < count; ++i) {
        jstring description = Call<jstring>("GetCardDescription", i);
        EXPECT_EQ(jvm_->Text(description), descriptions[static_cast<size_t>(i)]) << "index " << i;
    }
    // Beyond the list, and below it: an empty string (the choice made for the undefined case).
    EXPECT_EQ(jvm_->Text(Call<jstring>("GetCardDescription", count)), "");
    EXPECT_EQ(jvm_->Text(Call<jstring>("GetCardDescription", static_cast<jint>(-1))), "");
    EXPECT_EQ(Call<jint>("GetCardNumber"), 0) << "no DriverStart yet";
    EXPECT_EQ(jvm_->Calls("NewStringUTF") + jvm_->Calls("NewString"), count + 2);
}

TEST_F(JniHarness, Administrator_WineUserIsAnAdministrator) {
    REQUIRE_EXPORTS("isAdmin");
    std::string out;
    EXPECT_EQ(CallCaptured<jint>(&out, "isAdmin"), 1);
    EXPECT_EQ(out, "");
}

TEST_F(JniHarness, Services_WithoutTheServiceEachOperationAnswersAsSpecified) {
    REQUIRE_EXPORTS("isServiceInstalled", "isServiceRunning", "startService", "stopService", "deleteService");
    EXPECT_EQ(Call<jint>("isServiceInstalled"), 0);
    EXPECT_EQ(Call<jint>("isServiceRunning"), 0);
    EXPECT_EQ(Call<jint>("startService"), 0);
    EXPECT_EQ(Call<jint>("stopService"), 1);
    EXPECT_EQ(Call<jint>("deleteService"), 0);
}

TEST_F(JniHarness, Autostart_WritesTheExactCommandLineAndRemovesIt) {
    REQUIRE_EXPORTS("installSystray", "removeSystray");
    struct Case {
        std::string home;
        std::string launch;
        std::string expected;
    } cases[] = {
        {"C:\\Program Files\\Vorel\\", "-Xmx64m com.larkspire.vorel.Main",
         "javaw -cp \"C:\\Program Files\\Vorel\\./Vorel.jar\" -Xmx64m com.larkspire.vorel.Main "
         "-home \"C:\\Program Files\\Vorel\\\" -systray"},
        {"", "Main", "javaw -cp \"./Vorel.jar\" Main -home \"\" -systray"},
        // Modified UTF-8 bytes reach the registry unconverted, through the ANSI calls.
        {"C:\\V\xC3\xA9rel\\", "M", "javaw -cp \"C:\\V\xC3\xA9rel\\./Vorel.jar\" M -home \"C:\\V\xC3\xA9rel\\\" -systray"},
    };
    for (const auto& c : cases) {
        jstring home = jvm_->NewJavaString(c.home);
        jstring launch = jvm_->NewJavaString(c.launch);
        std::string out;
        EXPECT_EQ(CallCaptured<jboolean>(&out, "installSystray", home, launch), JNI_TRUE) << c.home;
        EXPECT_EQ(out, "");
        DWORD type = 0, bytes = 0;
        std::string data = RunValue(&type, &bytes);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(data, c.expected + '\0') << c.home;
        EXPECT_EQ(bytes, c.expected.size() + 1);
    }
    EXPECT_EQ(jvm_->Calls("GetStringUTFChars"), 6);
    EXPECT_EQ(Call<jboolean>("removeSystray"), JNI_TRUE);
    DWORD type = 0, bytes = 0;
    EXPECT_EQ(RunValue(&type, &bytes), "<status 2>");
    EXPECT_EQ(Call<jboolean>("removeSystray"), JNI_TRUE) << "no entry to remove";
}

TEST_F(JniHarness, MessageBox_ShowsTheTextUnderTheCaptionWithOneButton) {
    REQUIRE_EXPORTS("messageBox");
    jstring text = jvm_->NewJavaString("Capture stopped");
    jboolean shown = JNI_FALSE;
    std::vector<AnsweredBox> boxes;
    {
        MessageBoxAnswerer answerer;
        shown = Call<jboolean>("messageBox", text);
        boxes = answerer.Boxes();
    }
    ASSERT_EQ(boxes.size(), 1u) << "the prefix uses Wine's null graphics driver: boxes are real windows";
    EXPECT_EQ(boxes[0].caption, "Network Vorel");
    EXPECT_EQ(boxes[0].text, "Capture stopped");
    EXPECT_TRUE(boxes[0].hasOk);
    EXPECT_FALSE(boxes[0].hasYes || boxes[0].hasNo);
    EXPECT_EQ(boxes[0].icon, "warning");
    EXPECT_TRUE(boxes[0].topmost) << "system-modal";
    EXPECT_TRUE(boxes[0].foreground);
    EXPECT_EQ(shown, JNI_TRUE) << "a button was pressed";
    EXPECT_EQ(jvm_->Calls("GetStringUTFChars"), 1);
}

TEST_F(JniHarness, Capture_BeforeAnyStartEachCallPrintsItsLinesOnly) {
    REQUIRE_EXPORTS("GetFrameFromDriver", "DriverStop", "FreeOnExit", "SetPausedOn", "IsPausedOn");
    jbyteArray frame = jvm_->NewJavaArray(64, 0x55);
    std::string out;
    EXPECT_EQ(CallCaptured<jint>(&out, "GetFrameFromDriver", frame, static_cast<jint>(64)), 0);
    EXPECT_EQ(out,
              "ERROR on line 802 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_ReadFrameFromDriver()\n"
              "..pAdapter is NULL\n");
    EXPECT_EQ(jvm_->Bytes(frame), std::vector<jbyte>(64, 0x55));
    CallCaptured<void>(&out, "DriverStop");
    EXPECT_EQ(out,
              "WARNING on line 755 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_Stop():\n"
              "..pAdapter is NULL, implying the driver is NOT started.\n");
    CallCaptured<void>(&out, "FreeOnExit");
    EXPECT_EQ(out,
              "WARNING on line 776 of file tamsil: Java_com_larkspire_vorel_util_NativeCollection_Stop():\n"
              "..pAdapter is NULL, implying the driver is NOT started.\n");

    Call<void>("SetPausedOn", static_cast<jboolean>(JNI_TRUE));
    EXPECT_EQ(Call<jboolean>("IsPausedOn"), JNI_TRUE);
    Call<void>("SetPausedOn", static_cast<jboolean>(JNI_FALSE));
    EXPECT_EQ(Call<jboolean>("IsPausedOn"), JNI_FALSE);
}

TEST_F(JniHarness, Capture_DriverStartOnWineFailsToOpenTheDeviceWithItsMessages) {
    REQUIRE_EXPORTS("DriverStart", "GetCardNumbers", "GetCardNumber", "GetFrameFromDriver");
    std::vector<std::string> descriptions = IpHelperAdapters();
    // Card 1 of an empty list would end the process: only with an adapter.
    if (descriptions.empty()) GTEST_SKIP() << "Wine lists no adapter on this machine";
    std::string out;
    // Wine has no packet driver device: the DOS name is defined (see testdriver::DefineLink), CreateFile fails.
    testdriver::g_defined.clear();
    EXPECT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(1)), -1);
    if (RunningOnWine()) {
        std::string name = IpHelperAdapters(true)[0];
        ASSERT_EQ(testdriver::g_defined.size(), 1u);
        EXPECT_EQ(testdriver::g_defined[0].flags, static_cast<DWORD>(DDD_RAW_TARGET_PATH));
        EXPECT_EQ(testdriver::g_defined[0].device, "Packet_NetVorel_" + name);
        EXPECT_EQ(testdriver::g_defined[0].target, "\\Device\\NetVorel_" + name);
    }
    EXPECT_NE(out.find("\n*** ERROR: could not open the Adapter: " + descriptions[0] + " ***\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nDid you remember to restart your computer after installing the Network Vorel Packet Driver?\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Call<jint>("GetCardNumber"), 1);
    jbyteArray frame = jvm_->NewJavaArray(16, 0);
    EXPECT_EQ(CallCaptured<jint>(&out, "GetFrameFromDriver", frame, static_cast<jint>(16)), 0);
    EXPECT_NE(out.find("..pAdapter is NULL\n"), std::string::npos) << out;
}

// Defined last, so it runs after every case above: each export went through the checked caller at least once.
TEST_F(JniHarness, StackCheck_EveryExportWasCalledAsA32BitJvmCallsIt) {
    if (!k32Bit) GTEST_SKIP() << "the x86_64 calling convention leaves the stack to the caller";
    for (const auto& e : kExports) {
        if (Has(e.method) || RequireAll()) {
            EXPECT_GT(stackChecked_[e.method], 0) << e.method << " was never called";
        }
    }
}

}  // namespace
