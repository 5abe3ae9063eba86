// The adapter choice as a real process: the console dialogue on a pipe, the exact transcript, the message
// box and the exit code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/process_runner.h"
#include "support/reg_fixture.h"

using processrunner::Options;
using processrunner::Result;
using namespace regfixture;

namespace {

const std::string kList3 =
    "These are the network adapters installed on your computer:\n"
    "ID, Adapter name\n"
    " 1, First\n"
    " 2, Second\n"
    " 3, Third\n"
    "\n"
    "Please enter the ID for the Adapter name you wish to use or enter 0 to quit: ";
const std::string kInvalid3 = "\nInvalid choice. Enter a digit between 1 and 3\n";
const std::string kThreeAdapters = "eth0|First;eth1|Second;eth2|Third";

Result Choose(const std::string& card, Options options) {
    options.env.emplace("TAMSIL_WINDOWS_VERSION", "5.1");
    options.timeoutMs = 20000;
    Result r = processrunner::Run({CHOOSE_ADAPTER_DRIVER, card}, options);
    EXPECT_FALSE(r.timedOut) << "the choice must never wait for ever";
    return r;
}

Options Adapters(const std::string& list, const std::string& input = "") {
    Options options;
    options.env["TAMSIL_ADAPTERS"] = list;
    options.input = input;
    return options;
}

struct DialogueCase {
    const char* name;
    std::string input;
    std::string output;
    int exitCode;
};

TEST(AdapterDialogue, ThreeAdapters_AnswersGiveTheExactTranscript) {
    const std::string chose2 = "User selected Adapter: Second\n-> device \\Device\\NetVorel_eth1 | Second | selected 2 | count 3\n";
    const DialogueCase cases[] = {
        {"5 then 2", "5\n2\n", kList3 + kInvalid3 + kList3 + chose2, 0},
        {"12abc then 2", "12abc\n2\n", kList3 + kInvalid3 + kList3 + chose2, 0},
        {"empty line then 2", "\n2\n", kList3 + kInvalid3 + kList3 + chose2, 0},
        {"minus sign then 2", "-1\n2\n", kList3 + kInvalid3 + kList3 + chose2, 0},
        {"2 followed by a letter", "2x\n", kList3 + chose2, 0},
        {"too large for an int, then 2", "99999999999999999999\n2\n", kList3 + kInvalid3 + kList3 + chose2, 0},
        {"0 quits", "0\n", kList3 + "User choose to quit instead of specifying an adapter.\n", 0},
        {"end of input", "", kList3 + "\nNo adapter chosen: standard input has ended.\n-> failed | selected 0 | count 3\n", 0},
        {"invalid, then end of input", "7",
         kList3 + kInvalid3 + kList3 + "\nNo adapter chosen: standard input has ended.\n-> failed | selected 0 | count 3\n", 0},
        {"2 then end of input without a line feed", "2",
         kList3 + chose2, 0},
    };
    for (const auto& c : cases) {
        Result r = Choose("-1", Adapters(kThreeAdapters, c.input));
        EXPECT_EQ(r.out, c.output) << c.name;
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name;
    }
}

TEST(AdapterDialogue, CharactersAfterTheAnswerStayForTheNextRead) {
    // "2 3\n": 2 is taken and " 3\n" is left unread; the driver then exits normally.
    Result r = Choose("-1", Adapters(kThreeAdapters, "2 3\n"));
    EXPECT_EQ(r.out, kList3 + "User selected Adapter: Second\n-> device \\Device\\NetVorel_eth1 | Second | selected 2 | count 3\n");
}

TEST(IpHelperChoice, CardNumbersWithoutDialogue) {
    struct Case {
        const char* name;
        std::string adapters;
        std::string card;
        std::string output;
        int exitCode;
    } cases[] = {
        {"one adapter, negative card", "eth0|Only", "-1", "-> device \\Device\\NetVorel_eth0 | Only | selected 1 | count 1\n", 0},
        {"one adapter, card 5", "eth0|Only", "5", "-> device \\Device\\NetVorel_eth0 | Only | selected 1 | count 1\n", 0},
        {"two adapters, card 2", "eth0|A;eth1|B", "2",
         "User selected Adapter: B\n-> device \\Device\\NetVorel_eth1 | B | selected 2 | count 2\n", 0},
        {"two adapters, card 0 takes the first", "eth0|A;eth1|B", "0",
         "User selected Adapter: A\n-> device \\Device\\NetVorel_eth0 | A | selected 0 | count 2\n", 0},
        {"two adapters, card 3", "eth0|A;eth1|B", "3", "Invalid network card choice.\n", 255},
        {"no adapters", "", "1",
         "\nWARNING: Could not find any network adapters on this system\n"
         "\nIf you're sure you have network adapters installed, contact support@larkspire.com for further instructions.\n",
         255},
    };
    for (const auto& c : cases) {
        Result r = Choose(c.card, Adapters(c.adapters));
        EXPECT_EQ(r.out, c.output) << c.name;
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name;
    }
}

TEST(AdapterDialogue, DescriptionsAreShownInTheSystemsOwnBytes) {
    Options options = Adapters("eth0|Carte réseau;eth1|Second", "1\n");
    options.env["TAMSIL_ANSI_CODEPAGE"] = "1252";
    Result r = Choose("-1", options);
    EXPECT_EQ(r.out,
              "These are the network adapters installed on your computer:\n"
              "ID, Adapter name\n"
              " 1, Carte r\xe9seau\n"
              " 2, Second\n"
              "\n"
              "Please enter the ID for the Adapter name you wish to use or enter 0 to quit: "
              "User selected Adapter: Carte r\xe9seau\n"
              "-> device \\Device\\NetVorel_eth0 | Carte r\xe9seau | selected 1 | count 2\n");
}

class RegistryChoice : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/tamsil-choiceXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
    }
    void TearDown() override { std::system(("rm -rf " + directory).c_str()); }

    Result ChooseWith(const std::string& body, const std::string& version, const std::string& card, const std::string& input = "") {
        std::string path = directory + "/registry.reg";
        std::ofstream(path, std::ios::trunc) << Header() << body;
        Options options;
        options.env["TAMSIL_REGISTRY"] = path;
        options.input = input;
        options.env["TAMSIL_WINDOWS_VERSION"] = version;
        options.timeoutMs = 20000;
        return processrunner::Run({CHOOSE_ADAPTER_DRIVER, card}, options);
    }
    std::string directory;
};

const std::vector<Card> kTwoCards = {{"1", "Intel PRO/1000", "E1000"}, {"2", "3Com EtherLink", "EL90X"}};

TEST_F(RegistryChoice, MinusTwoOnVersion5TakesTheRegistryWithTheLongSkip) {
    Result r = ChooseWith(LinkageExport({"\\Device\\NetVorel_E1000", "\\Device\\NetVorel_EL90X"}) + NetworkCards(kTwoCards), "5.1",
                          "-2", "2\n");
    EXPECT_EQ(r.out,
              "These are the network adapters installed on your computer:\n"
              "ID, Adapter name\n"
              " 1, Intel PRO/1000\n"
              " 2, 3Com EtherLink\n"
              "\n"
              "Please enter the ID for the Adapter name you wish to use or enter 0 to quit: "
              "User selected Adapter: 3Com EtherLink\n"
              "-> device \\Device\\NetVorel_EL90X | 3Com EtherLink | selected 2 | count 2\n");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(RegistryChoice, Version4SkipsFifteenUnitsAndComparesExactly) {
    const std::string exported = LinkageExport({"\\Device\\Packet_e1000", "\\Device\\Packet_E1000", "\\Device\\Packet_EL90X"});
    Result r = ChooseWith(exported + NetworkCards(kTwoCards), "4.0", "1");
    EXPECT_EQ(r.out, "User selected Adapter: Intel PRO/1000\n-> device \\Device\\Packet_E1000 | Intel PRO/1000 | selected 1 | count 3\n")
        << "the comparison is case-sensitive";
    // The 17-unit skip on version 5 does not find "E1000" in "\Device\Packet_E1000".
    r = ChooseWith(exported + NetworkCards(kTwoCards), "5.1", "-2", "1\n");
    EXPECT_NE(r.out.find("-> failed | selected 1 | count 3\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("User selected"), std::string::npos);
}

TEST_F(RegistryChoice, FailureRows) {
    struct Case {
        const char* name;
        std::string body;
        std::string card;
        std::string output;
        int exitCode;
    } cases[] = {
        {"a card the driver is not bound to", LinkageExport({"\\Device\\Packet_E1000", "\\Device\\Packet_OTHER"}) + NetworkCards(kTwoCards),
         "2", "-> failed | selected 2 | count 2\n", 0},
        {"card 17 has no record", LinkageExport({"\\Device\\Packet_E1000", "\\Device\\Packet_EL90X"}) + NetworkCards(kTwoCards), "17",
         "-> failed | selected 17 | count 2\n", 0},
        {"card 0 has no record", LinkageExport({"\\Device\\Packet_E1000", "\\Device\\Packet_EL90X"}) + NetworkCards(kTwoCards), "0",
         "-> failed | selected 0 | count 2\n", 0},
        {"NetworkCards unreadable", LinkageExport({"\\Device\\Packet_E1000"}), "1",
         "ERROR: Unable to read Software key in registry\n\n*** ERROR: could not get Adapter information from registry ***\n\n"
         "-> failed | selected 0 | count 1\n",
         0},
        {"NetworkCards unreadable and no entries", LinkageExport({}), "1",
         "ERROR: Unable to read Software key in registry\n\n*** ERROR: could not get Adapter information from registry ***\n\n"
         "-> failed | selected 0 | count 0\n",
         0},
        {"no entries", LinkageExport({}) + NetworkCards(kTwoCards), "1",
         "\nWARNING: Could not find any network adapters on this system\n"
         "Is the Network Vorel Packet Driver correctly installed on this machine?\n"
         "See userguide.html in your network vorel\\doc directory for more information.\n"
         "-> failed | selected 0 | count 0\n",
         0},
        {"one entry, no match needed", LinkageExport({"\\Device\\Packet_ANY"}) + NetworkCards(kTwoCards), "-1",
         "-> device \\Device\\Packet_ANY | Intel PRO/1000 | selected 1 | count 1\n", 0},
    };
    for (const auto& c : cases) {
        Result r = ChooseWith(c.body, "4.0", c.card);
        EXPECT_EQ(r.out, c.output) << c.name;
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name;
    }
}

TEST_F(RegistryChoice, EntriesWithoutACardShowEmptyRows) {
    Result r = ChooseWith(LinkageExport({"\\Device\\Packet_E1000", "\\Device\\Packet_EL90X", "\\Device\\Packet_THIRD"}) +
                              NetworkCards(kTwoCards),
                          "4.0", "-1", "3\n");
    EXPECT_EQ(r.out,
              "These are the network adapters installed on your computer:\n"
              "ID, Adapter name\n"
              " 1, Intel PRO/1000\n"
              " 2, 3Com EtherLink\n"
              " 3, \n"
              "\n"
              "Please enter the ID for the Adapter name you wish to use or enter 0 to quit: "
              "-> failed | selected 3 | count 3\n");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(RegistryChoice, ExportOver1024Bytes_ErrorLineMessageBoxAndExitZero) {
    std::vector<std::string> many;
    for (int i = 0; i < 40; ++i) many.push_back("\\Device\\Packet_CARD" + std::to_string(i));
    Result r = ChooseWith(LinkageExport(many) + NetworkCards(kTwoCards), "4.0", "1");
    EXPECT_EQ(r.out, "ERROR: Could not get Adapter Names\n");
    EXPECT_EQ(r.err,
              "[MessageBox] Packet driver (style 0x11030)\n"
              "No cards were found. Run ousterling.exe from\nyour Network Vorel directory, then reboot your computer and\n"
              "run inductling.exe (from a command shell)\n");
    EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
