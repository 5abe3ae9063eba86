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
#include "windows/registry_seed.h"
#include "windows/win32/harness_child.h"

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

// A thread that cannot impersonate itself (ImpersonateSelf fails, which Wine cannot be made to do: given at
// tamsil.dll's import) asks with the process token, which AccessCheck refuses: not an administrator.
BOOL WINAPI FailImpersonateSelf(SECURITY_IMPERSONATION_LEVEL) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(JniHarness, Administrator_WithoutImpersonationTheAccessCheckFails) {
    REQUIRE_EXPORTS("isAdmin");
    ASSERT_TRUE(ReplaceImport(library_, "advapi32.dll", "ImpersonateSelf", reinterpret_cast<void*>(&FailImpersonateSelf)));
    std::string out;
    EXPECT_EQ(CallCaptured<jint>(&out, "isAdmin"), 0);
    EXPECT_TRUE(RestoreImport(library_, "advapi32.dll", "ImpersonateSelf"));
    EXPECT_EQ(out, "AccessCheck() failed with error 1309\n");
    EXPECT_EQ(CallCaptured<jint>(&out, "isAdmin"), 1);
}

TEST_F(JniHarness, Services_WithoutTheServiceEachOperationAnswersAsSpecified) {
    REQUIRE_EXPORTS("isServiceInstalled", "isServiceRunning", "startService", "stopService", "deleteService");
    EXPECT_EQ(Call<jint>("isServiceInstalled"), 0);
    EXPECT_EQ(Call<jint>("isServiceRunning"), 0);
    EXPECT_EQ(Call<jint>("startService"), 0);
    EXPECT_EQ(Call<jint>("stopService"), 1);
    EXPECT_EQ(Call<jint>("deleteService"), 0);
    // Installed (never started): found, and deleted.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = testdriver::RetryWhileLocked([&] {
        return CreateServiceA(manager, "Network Vorel", "Network Vorel", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, "C:\\vorel\\absent.exe", nullptr, nullptr,
                              nullptr, nullptr, nullptr);
    });
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    EXPECT_EQ(Call<jint>("isServiceInstalled"), 1);
    EXPECT_EQ(Call<jint>("deleteService"), 1);
    EXPECT_EQ(Call<jint>("isServiceInstalled"), 0);
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

// ---- The choice as a user meets it: the dialogue on standard input, and the starts that end the process ----
const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\NetVorel";
const char kLinkageKey[] = "SYSTEM\\CurrentControlSet\\Services\\NetVorel\\Linkage";
const char kCardsKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
const char kPrompt[] = "\nPlease enter the ID for the Adapter name you wish to use or enter 0 to quit: ";

std::string Dialogue(const std::vector<std::string>& rows) {
    std::string out = "These are the network adapters installed on your computer:\nID, Adapter name\n";
    char row[200];
    for (size_t k = 0; k < rows.size(); ++k) {
        std::snprintf(row, sizeof row, "%2u, %s\n", static_cast<unsigned>(k + 1), rows[k].c_str());
        out += row;
    }
    return out + kPrompt;
}

std::string NotOpened(const std::string& description) {
    return "\n*** ERROR: could not open the Adapter: " + description +
           " ***\n\nDid you remember to restart your computer after installing the Network Vorel Packet Driver?\n";
}

struct ChildCase {
    const char* name;
    std::string arguments;  // the card number
    std::string input;
    std::string output;
    DWORD exitCode;
    const char* ipHelper;  // see RunChild
};

void ExpectChildren(const std::vector<ChildCase>& cases) {
    for (const auto& c : cases) {
        ProgramRun run = RunChild(c.arguments, c.input, c.ipHelper);
        EXPECT_EQ(run.output, c.output) << c.name;
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name;
        EXPECT_TRUE(run.boxes.empty()) << c.name;
    }
}

TEST_F(JniHarness, Choice_RegistryDialogueAndItsFailures) {
    using namespace registryseed;
    // Without the driver's key: its lines, the box, and the process ends with 0.
    ASSERT_EQ(DeleteTree(kServiceKey), ERROR_SUCCESS);
    ProgramRun none = RunChild("-2", "");
    EXPECT_EQ(none.output,
              "ERROR: Unable to read \"SYSTEM\\CurrentControlSet\\Services\\NetVorel\" key in registry\n"
              "This usually means Network Vorel Packet Driver is not installed\n"
              "ERROR: Could not get Adapter Names\n");
    EXPECT_EQ(none.exitCode, 0u);
    ASSERT_EQ(none.boxes.size(), 1u);
    EXPECT_EQ(none.boxes[0].caption, "Packet driver");
    EXPECT_EQ(none.boxes[0].text, "No cards were found. Run ousterling.exe from\nyour Network Vorel directory, then reboot your "
                                  "computer and\nrun inductling.exe (from a command shell)");
    EXPECT_TRUE(none.boxes[0].hasOk && none.boxes[0].topmost);

    // Two cards of our own, enumerated first ("0", "00"), each bound to an Export entry.
    ASSERT_EQ(SetMultiString(kLinkageKey, "Export", {"\\Device\\NetVorel_TestCard0", "\\Device\\NetVorel_TestCard1"}), ERROR_SUCCESS);
    for (const char* card : {"0", "00"}) {
        std::string key = std::string(kCardsKey) + "\\" + card;
        ASSERT_EQ(SetString(key, "Description", card[1] ? "Second card" : "First card"), ERROR_SUCCESS);
        ASSERT_EQ(SetString(key, "ServiceName", card[1] ? "TestCard1" : "TestCard0"), ERROR_SUCCESS);
    }
    std::string dialogue = Dialogue({"First card", "Second card"});
    std::string invalid = "\nInvalid choice. Enter a digit between 1 and 2\n";
    ExpectChildren({
        // Out of range, an empty line, digits then letters (the rest of the line dropped), then card 2.
        {"invalid answers, then 2", "-2", "5\n\n12abc\n2\n",
         dialogue + invalid + dialogue + invalid + dialogue + invalid + dialogue + "User selected Adapter: Second card\n" +
             NotOpened("Second card") + "DriverStart: -1\n",
         0, nullptr},
        {"0 quits", "-2", "0\n", dialogue + "User choose to quit instead of specifying an adapter.\n", 0, nullptr},
        {"end of input", "-2", "", dialogue + "\nNo adapter chosen: standard input has ended.\nDriverStart: -1\n", 0, nullptr},
    });

    // A card whose record is not bound to any Export entry: the start fails without a line.
    ASSERT_EQ(SetMultiString(kLinkageKey, "Export", {"\\Device\\NetVorel_TestCard0", "\\Device\\NetVorel_Other"}), ERROR_SUCCESS);
    ExpectChildren({{"card 2 unbound", "-2", "2\n", dialogue + "DriverStart: -1\n", 0, nullptr}});
    std::string out;
    // Cards the registry cannot describe: the start's error lines, and the inventory's count stands.
    ASSERT_EQ(SetString(std::string(kCardsKey) + "\\00", "Description", std::string(150, 'd')), ERROR_SUCCESS);
    EXPECT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), -1);
    EXPECT_EQ(out, "ERROR: The buffer specified is too small\n\n*** ERROR: could not get Adapter information from registry ***\n\n");
    ASSERT_EQ(SetString(std::string(kCardsKey) + "\\00", "Description", "Second card"), ERROR_SUCCESS);
    ASSERT_EQ(CreateKey(std::string(kCardsKey) + "\\000000"), ERROR_SUCCESS);  // a name longer than a record allows
    EXPECT_EQ(CallCaptured<jint>(&out, "GetCardNumbers"), 2);
    EXPECT_EQ(out, "ERROR: Unable to enumerate subkeys of \"Software\\Microsoft\\WindowsNT\\CurrentVersion\\NetworkCards in Registry\n");
    ASSERT_EQ(DeleteTree(std::string(kCardsKey) + "\\000000"), ERROR_SUCCESS);
    ASSERT_EQ(SetMultiString(kLinkageKey, "Export", {}), ERROR_SUCCESS);
    EXPECT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), -1);
    EXPECT_EQ(out, "\nWARNING: Could not find any network adapters on this system\n"
                   "Is the Network Vorel Packet Driver correctly installed on this machine?\n"
                   "See userguide.html in your network vorel\\doc directory for more information.\n");

    // One Export entry too long for a device file name: the open fails.
    ASSERT_EQ(SetMultiString(kLinkageKey, "Export", {"\\Device\\NetVorel_" + std::string(100, 'n')}), ERROR_SUCCESS);
    EXPECT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), -1);
    EXPECT_EQ(out, NotOpened("First card"));

    // The inventory (the registry path since the start with -2): a card without values, more cards than the
    // table's 16 records (the first 16 are read), no NetworkCards key; the count is Export's throughout.
    ASSERT_EQ(CreateKey(std::string(kCardsKey) + "\\001"), ERROR_SUCCESS);
    EXPECT_EQ(CallCaptured<jint>(&out, "GetCardNumbers"), 1);
    EXPECT_EQ(out, "ERROR: Unable to get the value of a parameter \"Description\"\n");
    ASSERT_EQ(DeleteTree(kCardsKey), ERROR_SUCCESS);
    for (int card = 10; card < 27; ++card) {
        std::string key = std::string(kCardsKey) + "\\" + std::to_string(card);
        ASSERT_EQ(SetString(key, "Description", "Card " + std::to_string(card)), ERROR_SUCCESS);
        ASSERT_EQ(SetString(key, "ServiceName", "S"), ERROR_SUCCESS);
    }
    EXPECT_EQ(CallCaptured<jint>(&out, "GetCardNumbers"), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(jvm_->Text(Call<jstring>("GetCardDescription", static_cast<jint>(15))), "Card 25");
    ASSERT_EQ(DeleteTree(kCardsKey), ERROR_SUCCESS);
    EXPECT_EQ(CallCaptured<jint>(&out, "GetCardNumbers"), 1);
    EXPECT_EQ(out, "ERROR: Unable to read \"Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\" key in registry\n");
    ASSERT_EQ(CreateKey(kCardsKey), ERROR_SUCCESS);
    ASSERT_EQ(DeleteTree(kServiceKey), ERROR_SUCCESS);
}

TEST_F(JniHarness, Choice_IpHelperDialogueAndTheStartsThatEndTheProcess) {
    std::vector<std::string> adapters = IpHelperAdapters();
    if (adapters.size() != 2) GTEST_SKIP() << "Wine lists " << adapters.size() << " adapters, not the test prefix's two";
    std::string dialogue = Dialogue(adapters);
    const DWORD kExitMinusOne = 0xFFFFFFFFu;
    ExpectChildren({
        {"a letter, then 2", "-1", "x\n2\n",
         dialogue + "\nInvalid choice. Enter a digit between 1 and 2\n" + dialogue + "User selected Adapter: " + adapters[1] +
             "\n" + NotOpened(adapters[1]) + "DriverStart: -1\n",
         0, nullptr},
        {"0 quits", "-1", "0\n", dialogue + "User choose to quit instead of specifying an adapter.\n", 0, nullptr},
        {"card 3 of 2", "3", "", "Invalid network card choice.\n", kExitMinusOne, nullptr},
        {"no iphlpapi.dll", "1", "",
         "ERROR: IP Helper (iphlpapi.dll) could not be loaded (error 126): the network adapters cannot be listed\n"
         "\nWARNING: Could not find any network adapters on this system\n"
         "\nIf you're sure you have network adapters installed, contact support@larkspire.com for further instructions.\n",
         kExitMinusOne, ""},
    });
}

TEST_F(JniHarness, Choice_AnIpHelperWhoseTablesDisagree) {
    std::string notListed = "ERROR: Could not get the list of network adapters\nDriverStart: -1\n";
    ExpectChildren({
        // One adapter: no dialogue and no range check, whatever the card number.
        {"one adapter", "5", "", NotOpened("Fake adapter 0") + "DriverStart: -1\n", 0, "1 1 0"},
        {"one interface, no list", "1", "", notListed, 0, "1 0 0"},
        {"two interfaces, no list", "1", "", notListed, 0, "2 0 0"},
        // Three interfaces but two adapters, the list read again after a fill answered too small.
        {"a list still growing after four fills", "1", "", "User selected Adapter: Fake adapter 0\n" + NotOpened("Fake adapter 0") +
         "DriverStart: -1\n", 0, "2 2 4"},
        {"card 3 of a list of 2", "3", "", "ERROR: Network card 3 is not in the list of network adapters\nDriverStart: -1\n", 0,
         "3 2 1"},
    });
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
