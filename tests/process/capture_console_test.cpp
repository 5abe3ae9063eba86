// The capture console in a real JVM (under -Xcheck:jni) on a replayed capture file: the frame lines, the
// frame limit, Ctrl+C releasing the capture and ending the process with 0, and the capture files it writes
// (read back with tshark and tcpdump) and replays from its command line; a disk that fills up, and pipes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_files.h"
#include "support/process_runner.h"

namespace {

using capturefiles::Bytes;

// `count` UDP/IPv4 frames of 46 bytes from 10.0.0.1:4000 to 10.0.0.2:5000.
void WriteCapture(const std::string& path, int count) {
    std::vector<Bytes> frames(static_cast<size_t>(count),
                              capturefiles::Ethernet(0x0800, capturefiles::Ipv4(17, capturefiles::Udp(4000, 5000, 4))));
    ASSERT_TRUE(capturefiles::WritePcap(path, frames));
}

class CaptureConsole : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/tamsil-consoleXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        capture = directory + "/frames.pcap";
        WriteCapture(capture, 5);
    }
    void TearDown() override { std::system(("rm -rf " + directory).c_str()); }

    // With `replayByEnvironment` the replay is set up through TAMSIL_REPLAY, as the Java application has it;
    // otherwise TAMSIL_REPLAY is unset and the command line says what to replay.
    processrunner::Result RunConsole(const std::vector<std::string>& args, processrunner::Options options,
                                     bool replayByEnvironment = true) {
        std::vector<std::string> argv = {JAVA_EXECUTABLE, "-Xcheck:jni", "-Djava.library.path=" TAMSIL_LIBRARY_DIR, "-cp",
                                         TAMSIL_JAVA_CLASSES, "com.larkspire.vorel.console.CaptureConsole"};
        argv.insert(argv.end(), args.begin(), args.end());
        options.env["TAMSIL_WINDOWS_VERSION"] = "5.1";
        options.env["TAMSIL_ADAPTERS"] = "replay0|Replayed frames;other1|Other adapter";
        if (replayByEnvironment)
            options.env["TAMSIL_REPLAY"] = "NetVorel_replay0=" + capture;
        else
            options.unset.push_back("TAMSIL_REPLAY");
        options.timeoutMs = 60000;
        processrunner::Result r = processrunner::Run(argv, options);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.out.find("WARNING in native method"), std::string::npos) << r.out;
        return r;
    }
    std::string directory, capture;
};

TEST_F(CaptureConsole, FrameLimit_PrintsEveryFrameAndTheTotals) {
    processrunner::Result r = RunConsole({"1", "--frames", "5"}, {});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Adapter Replayed frames successfully opened\n\n"), std::string::npos) << r.out;
    for (int n = 1; n <= 5; ++n)
        EXPECT_NE(r.out.find(std::to_string(n) + " "), std::string::npos);
    EXPECT_NE(r.out.find("IPv4 UDP 10.0.0.1:4000 -> 10.0.0.2:5000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("5 frames, 230 bytes"), std::string::npos) << r.out;
}

TEST_F(CaptureConsole, CtrlC_ReleasesTheCaptureAndExitsWithZero) {
    processrunner::Options options;
    options.interruptWhenOutputHas = "      5 ";  // the fifth frame line: the console now waits for more
    processrunner::Result r = RunConsole({"1"}, options);
    EXPECT_EQ(r.signal, 0) << "the process ended through the console handler, not the signal";
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("frames, "), std::string::npos) << "Ctrl+C ends the process without the console's totals";
}

// What tshark and tcpdump read from a capture file (each converts it to a pcap file, read here with libpcap).
// tcpdump's AppArmor profile, enforced on a standard Debian install, lets it open only files named *.pcap and the
// like: it reads the file through such a name (libpcap tells pcapng by its contents).
std::vector<capturefiles::Record> ReadWith(const std::string& tool, const std::string& file, const std::string& copy) {
    std::string pcapName = file + ".pcap";
    if (tool == "tcpdump") {
        unlink(pcapName.c_str());
        EXPECT_EQ(link(file.c_str(), pcapName.c_str()), 0) << pcapName;
    }
    std::vector<std::string> argv = tool == "tshark" ? std::vector<std::string>{"/usr/bin/tshark", "-r", file, "-F", "pcap", "-w", copy}
                                                     : std::vector<std::string>{"/usr/bin/tcpdump", "-Z", "root", "-r", pcapName, "-w", copy};
    processrunner::Result r = processrunner::Run(argv);
    EXPECT_EQ(r.exitCode, 0) << tool << ": " << r.err;
    EXPECT_EQ(r.err.find("cut short"), std::string::npos) << tool << ": " << r.err;
    EXPECT_EQ(r.err.find("truncated"), std::string::npos) << tool << ": " << r.err;
    std::string error;
    std::vector<capturefiles::Record> records = capturefiles::ReadCapture(copy, &error);
    EXPECT_EQ(error, "") << tool;
    return records;
}

uint64_t NowMicros() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

TEST_F(CaptureConsole, WriteAndReplay_TsharkAndTcpdumpReadBackEveryFrameByteForByte) {
    // Varied traffic, replayed from the command line as card 2 and saved; the frame over 65,535 bytes is cut to
    // what the driver's record holds, which is also what Java received.
    std::vector<Bytes> traffic = capturefiles::VariedTraffic(70000);
    std::string fixture = directory + "/varied.pcap", saved = directory + "/saved.pcapng";
    ASSERT_TRUE(capturefiles::WritePcap(fixture, traffic));
    uint64_t before = NowMicros();
    processrunner::Result r = RunConsole({"--replay", fixture, "--write", saved, "--frames", std::to_string(traffic.size()), "2"},
                                         {}, false);
    uint64_t after = NowMicros();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Capturing on card 2 (Other adapter)"), std::string::npos) << r.out;

    for (const char* tool : {"tshark", "tcpdump"}) {
        std::vector<capturefiles::Record> records = ReadWith(tool, saved, directory + "/" + tool + ".pcap");
        ASSERT_EQ(records.size(), traffic.size()) << tool;
        for (size_t i = 0; i < traffic.size(); ++i) {
            Bytes expected(traffic[i].begin(), traffic[i].begin() + std::min<ptrdiff_t>(65535, traffic[i].size()));
            EXPECT_EQ(records[i].bytes, expected) << tool << ", frame " << i;
            EXPECT_EQ(records[i].originalLength, expected.size()) << tool << ", frame " << i;
            EXPECT_GE(records[i].microseconds, before) << tool << ": the time Java received the frame";
            EXPECT_LE(records[i].microseconds, after) << tool;
        }
    }
    processrunner::Result fields = processrunner::Run(
        {"/usr/bin/tshark", "-r", saved, "-c", "1", "-T", "fields", "-e", "frame.interface_name", "-e", "frame.interface_description"});
    EXPECT_EQ(fields.out, "card 2\tOther adapter\n") << fields.err;
}

TEST_F(CaptureConsole, BadFiles_OneClearLineAndNothingOverwritten) {
    std::string notCapture = directory + "/notes.txt", existing = directory + "/existing.pcapng";
    FILE* f = std::fopen(notCapture.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a capture file\n", f);
    std::fclose(f);
    f = std::fopen(existing.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("keep me\n", f);
    std::fclose(f);
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::string error;
    };
    const Row rows[] = {
        {{"--replay", notCapture, "1"}, 1, "CaptureConsole: cannot replay " + notCapture + ": not a capture file (pcap or pcapng)\n"},
        {{"--replay", directory + "/none.pcap", "1"}, 1, "CaptureConsole: cannot replay " + directory + "/none.pcap: no such file\n"},
        {{"--write", existing, "1"}, 2, "CaptureConsole: " + existing + " exists; --force overwrites it\n"},
        {{"--write", directory + "/no/such/dir.pcapng", "1"}, 2,
         "CaptureConsole: cannot create " + directory + "/no/such/dir.pcapng: no such directory\n"},
        {{"--replay", capture, "--write", capture, "--force", "1"}, 2,
         "CaptureConsole: --write would overwrite the file being replayed, " + capture + "\n"},
    };
    for (const Row& row : rows) {
        processrunner::Result r = RunConsole(row.args, {}, false);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.args[1];
        EXPECT_EQ(r.err, row.error);
        EXPECT_EQ(r.out.find("successfully opened"), std::string::npos) << "refused before the capture starts";
    }
    std::string error;
    EXPECT_EQ(capturefiles::ReadCapture(capture, &error).size(), 5u) << "the replayed file is untouched";
    f = std::fopen(existing.c_str(), "r");
    char text[16] = "";
    ASSERT_NE(f, nullptr);
    EXPECT_NE(std::fgets(text, sizeof text, f), nullptr);
    std::fclose(f);
    EXPECT_STREQ(text, "keep me\n");

    processrunner::Result r = RunConsole({"--write", existing, "--force", "--frames", "5", "1"}, {});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(capturefiles::ReadCapture(existing, &error).size(), 5u) << "--force replaced it: " << error;

    // Quitting the adapter dialogue ends the process inside the library: no empty file may be left behind.
    processrunner::Options quit;
    quit.input = "0\n";
    r = RunConsole({"--write", directory + "/quit.pcapng", "-1"}, quit);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(access((directory + "/quit.pcapng").c_str(), F_OK), 0) << "the file is still there";
}

TEST_F(CaptureConsole, CtrlC_DuringWriteAndReplay_LeavesAReadableFileWithEveryFrame) {
    // Ctrl+C from a terminal reaches the console's process group, 1.5 s after the last frame: the file holds them all.
    std::string saved = directory + "/interrupted.pcapng";
    processrunner::Options options;
    options.interruptWhenOutputHas = "      5 ";
    options.interruptDelayMs = 1500;
    options.interruptGroup = true;
    processrunner::Result r = RunConsole({"--replay", capture, "--write", saved, "1"}, options, false);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const char* tool : {"tshark", "tcpdump"})
        EXPECT_EQ(ReadWith(tool, saved, directory + "/" + tool + ".pcap").size(), 5u) << tool;
}

std::vector<Bytes> FullSizeFrames(unsigned count) {
    std::vector<Bytes> frames;
    for (unsigned i = 0; i < count; ++i) frames.push_back(capturefiles::NumberedFrame(i, 1514));
    return frames;
}

TEST_F(CaptureConsole, DiskFullThenFreed_TheFileHoldsWholeFramesAndTheErrorIsSaidOnce) {
    // A 1 MiB file system with 900,000 bytes taken: the file fills it part-way through a block. The filler goes
    // 2.5 s after the file's first bytes (the capture has started then), before the 4 s limit; nothing may be written
    // after the error all the same.
    std::string disk = directory + "/disk", saved = disk + "/w.pcapng", filler = disk + "/filler";
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs (needs root): " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk};
    capturefiles::WriteBytes(filler, Bytes(900000));
    std::vector<Bytes> frames = FullSizeFrames(200);
    std::string fixture = directory + "/full.pcap";
    ASSERT_TRUE(capturefiles::WritePcap(fixture, frames));
    std::atomic<bool> ended{false};
    std::thread freeing([&] {
        // Its first bytes, not the empty trial file the console makes and removes before the start.
        struct stat st;
        while ((stat(saved.c_str(), &st) != 0 || st.st_size == 0) && !ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        unlink(filler.c_str());
    });
    // No card: with --replay the capture is on card 1, not in the dialogue (standard input is closed).
    processrunner::Result r = RunConsole({"--replay", fixture, "--seconds", "4", "--write", saved}, {}, false);
    ended = true;
    freeing.join();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Capturing on card 1 (Replayed frames)"), std::string::npos) << r.out;
    unsigned held = 0;
    EXPECT_EQ(std::sscanf(r.err.c_str(), ("CaptureConsole: cannot write " + saved + ": No space left on device; the file holds the first %u frames\n").c_str(), &held), 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
    // `file`, read back by tshark (into `copy`), holds exactly the first `count` frames, whole.
    auto expectHeld = [&](const std::string& file, const std::string& copy, unsigned count) {
        std::vector<capturefiles::Record> records = ReadWith("tshark", file, copy);
        EXPECT_GT(count, 0u);
        ASSERT_EQ(records.size(), count) << file;
        for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].bytes, frames[i]) << file << ": frame " << i;
    };
    expectHeld(saved, directory + "/tshark.pcap", held);

    // --write - with standard output appended to a file on the full disk: cut back as a file is, after what the
    // file held before.
    ASSERT_EQ(unlink(saved.c_str()), 0);
    std::string appended = disk + "/appended.pcapng";
    const Bytes before = {'k', 'e', 'e', 'p', '\n'};
    capturefiles::WriteBytes(appended, before);
    capturefiles::WriteBytes(filler, Bytes(900000));
    processrunner::Options toFile;
    toFile.appendOutputTo = appended;
    r = RunConsole({"--replay", fixture, "--seconds", "4", "--write", "-"}, toFile, false);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const std::string said = "CaptureConsole: cannot write standard output: No space left on device; the file holds the first ";
    size_t at = r.err.find(said);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(std::sscanf(r.err.c_str() + at + said.size(), "%u frames\n", &held), 1) << r.err;
    Bytes bytes = capturefiles::ReadBytes(appended);
    ASSERT_GE(bytes.size(), before.size());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + before.size()), before) << "what the file held stays";
    capturefiles::WriteBytes(directory + "/appended.pcapng", Bytes(bytes.begin() + before.size(), bytes.end()));
    expectHeld(directory + "/appended.pcapng", directory + "/tshark-appended.pcap", held);
}

// Reads a FIFO as a live decoder would, from 0.5 s on (the console waits for it meanwhile), until `bytes` came,
// the stream ended or 30 s passed, resting `paceMs` after each read of at most 4 KiB; then goes away, leaving what
// came in `copy` if given.
void ReadFifoThenGo(const std::string& fifo, size_t bytes, size_t* received, int paceMs, const std::string& copy) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return;
    char chunk[4096];
    Bytes kept;  // what came, for `copy`
    for (long long deadline = processrunner::NowMs() + 30000; *received < bytes && processrunner::NowMs() < deadline;) {
        pollfd in{fd, POLLIN, 0};
        if (poll(&in, 1, 100) <= 0) continue;
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, bytes - *received));
        if (n == 0 && *received > 0) break;
        if (n > 0) *received += static_cast<size_t>(n);
        if (n > 0 && !copy.empty()) kept.insert(kept.end(), chunk, chunk + n);
        if (n > 0 && paceMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(paceMs));
    }
    close(fd);
    if (!copy.empty()) capturefiles::WriteBytes(copy, kept);
}

TEST_F(CaptureConsole, Pipes_StandardOutputCarriesOnlyTheCaptureAndAReaderThatGoesEndsIt) {
    // --write -: the pcapng stream alone on standard output; the library's lines and the frame lines on standard error.
    processrunner::Result r = RunConsole({"--replay", capture, "--frames", "5", "--write", "-"}, {}, false);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Adapter Replayed frames successfully opened"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("      5 "), std::string::npos) << r.err;
    std::string copy = directory + "/stdout.pcapng", error;
    capturefiles::WriteBytes(copy, Bytes(r.out.begin(), r.out.end()));
    EXPECT_EQ(capturefiles::ReadCapture(copy, &error).size(), 5u) << error;

    // A FIFO whose reader takes 64 KiB of 3 MB and goes: one line, exit 1, no hang.
    std::string fifo = directory + "/fifo", fixture = directory + "/many.pcap";
    ASSERT_TRUE(capturefiles::WritePcap(fixture, FullSizeFrames(2000)));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    size_t received = 0;
    std::thread reader(ReadFifoThenGo, fifo, 65536, &received, 0, "");
    r = RunConsole({"--replay", fixture, "--write", fifo}, {}, false);
    reader.join();
    EXPECT_EQ(received, 65536u);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err.find("CaptureConsole: " + fifo + " is a pipe: waiting for a reader to open it\nCaptureConsole: cannot write " + fifo +
                         ": the reader has gone (broken pipe); the first "), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;

    // A reader that keeps reading, at about 40 KB/s: slower than a whole chunk within the grace, yet each write
    // shows progress, so every frame is saved and the stream ends whole.
    std::string slow = directory + "/slow";
    ASSERT_EQ(mkfifo(slow.c_str(), 0600), 0);
    received = 0;
    std::thread slowReader(ReadFifoThenGo, slow, SIZE_MAX, &received, 100, "");
    r = RunConsole({"--replay", fixture, "--write", slow, "--frames", "150"}, {}, false);
    slowReader.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("not saved"), std::string::npos) << r.err;
    EXPECT_GT(received, 150u * 1514) << "the whole stream";
}

}  // namespace

namespace {

// The frame numbers (the first 4 bytes of each NumberedFrame) that a capture file holds, read back with tshark.
std::vector<unsigned> FrameNumbers(const std::vector<capturefiles::Record>& records) {
    std::vector<unsigned> numbers;
    for (const auto& record : records)
        numbers.push_back(record.bytes.size() < 4 ? ~0u : record.bytes[0] | record.bytes[1] << 8 | record.bytes[2] << 16 |
                                                              static_cast<unsigned>(record.bytes[3]) << 24);
    return numbers;
}

// The frame lines of the console's output: "      1 14:02:11.318     42   ...".
size_t FrameLines(const std::string& out) {
    size_t lines = 0;
    for (size_t at = 0; (at = out.find('\n', at)) != std::string::npos; ++at) {
        unsigned count = 0;
        char time[16];
        if (std::sscanf(out.c_str() + at + 1, "%7u %12s", &count, time) == 2 && std::strlen(time) == 12 && time[2] == ':') ++lines;
    }
    return lines;
}

}  // namespace

TEST_F(CaptureConsole, EndedBySignal_EveryFramePrintedIsInAWholeFileAndTheSecondJvmEndsToo) {
    // A replay runs in a second JVM. Whatever ends the run, and however the signal reaches it (Ctrl+C on a terminal
    // reaches the group; a script, a service manager or `timeout` signal the one process they started), the file
    // holds exactly the frames printed, in order, in whole blocks; the second JVM ends with the first.
    std::vector<Bytes> frames;
    for (unsigned i = 0; i < 200000; ++i) frames.push_back(capturefiles::NumberedFrame(i, 60));
    std::string fixture = directory + "/long.pcap";
    ASSERT_TRUE(capturefiles::WritePcap(fixture, frames));
    struct Row {
        const char* name;
        int signal;
        bool group;
    } rows[] = {{"Ctrl+C on a terminal", SIGINT, true}, {"SIGINT to the console", SIGINT, false},
                {"SIGTERM to the console", SIGTERM, false}, {"SIGHUP to the console", SIGHUP, false},
                {"SIGKILL to the console", SIGKILL, false}};
    for (const Row& row : rows) {
        std::string saved = directory + "/signalled.pcapng";
        unlink(saved.c_str());
        processrunner::Options options;
        options.interruptWhenOutputHas = "\n   2000 ";
        options.interruptSignal = row.signal;
        options.interruptGroup = row.group;
        processrunner::Result r = RunConsole({"--replay", fixture, "--write", saved, "1"}, options, false);
        EXPECT_FALSE(r.timedOut) << row.name << ": the second JVM outlived the first";
        EXPECT_EQ(r.signal, row.signal == SIGKILL ? SIGKILL : 0) << row.name;
        if (row.signal != SIGKILL) {
            EXPECT_EQ(r.exitCode, 0) << row.name << r.err;
        }
        size_t printed = FrameLines(r.out);
        std::vector<unsigned> numbers = FrameNumbers(ReadWith("tshark", saved, directory + "/tshark.pcap"));
        EXPECT_GE(printed, 2000u) << row.name;
        EXPECT_EQ(numbers.size(), printed) << row.name << ": the frames printed, no more and no fewer";
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (numbers[i] != i) {
                ADD_FAILURE() << row.name << ": frame " << i << " holds " << numbers[i];
                break;
            }
        }
    }
}

TEST_F(CaptureConsole, Pipes_AnOutputThatIsNotReadDoesNotHoldUpTheCapture) {
    // 70,000 frame lines: more than the pipe and the console's queue of lines hold, and nobody reads them.
    std::string fixture = directory + "/many.pcap", lines = directory + "/lines", saved = directory + "/all.pcapng";
    WriteCapture(fixture, 70000);
    ASSERT_EQ(mkfifo(lines.c_str(), 0600), 0);
    int reader = open(lines.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    processrunner::Options stuck;
    stuck.appendOutputTo = lines;
    processrunner::Result r = RunConsole({"--replay", fixture, "--frames", "70000", "--write", saved}, stuck, false);
    close(reader);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string error;
    EXPECT_EQ(capturefiles::ReadCapture(saved, &error).size(), 70000u) << error;
}

TEST_F(CaptureConsole, EndedBySignal_AReaderSlowerThanTheEndLimitStillGetsEveryFramePrinted) {
    // 600 KB waiting for a FIFO read at about 200 KB/s when SIGTERM comes: the close takes some 3 s, three times the
    // end limit (1 s here), yet it makes progress, so neither JVM cuts it off.
    std::string fifo = directory + "/slow", fixture = directory + "/400.pcap";
    ASSERT_TRUE(capturefiles::WritePcap(fixture, FullSizeFrames(400)));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string copy = directory + "/received.pcapng";
    size_t received = 0;
    std::thread reader([&] { ReadFifoThenGo(fifo, SIZE_MAX, &received, 20, copy); });
    processrunner::Options options;
    options.env["JAVA_TOOL_OPTIONS"] = "-Dcom.larkspire.vorel.console.endLimitMs=1000";
    options.interruptWhenOutputHas = "\n    400 ";
    options.interruptSignal = SIGTERM;
    processrunner::Result r = RunConsole({"--replay", fixture, "--write", fifo, "1"}, options, false);
    reader.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<unsigned> numbers = FrameNumbers(ReadWith("tshark", copy, directory + "/tshark.pcap"));
    EXPECT_EQ(numbers.size(), FrameLines(r.out)) << "the frames printed, whole";
    EXPECT_EQ(numbers.size(), 400u);
}

TEST_F(CaptureConsole, WriteToStandardOutput_ClosedIsRefusedAndNothingIsWritten) {
    // With standard output closed, descriptor 1 is whatever the JVM opens next (its own lib/modules, measured).
    char* java = realpath(JAVA_EXECUTABLE, nullptr);
    ASSERT_NE(java, nullptr);
    std::string modules = std::string(java).substr(0, std::string(java).rfind("/bin/")) + "/lib/modules";
    free(java);
    struct stat before {}, after {};
    ASSERT_EQ(stat(modules.c_str(), &before), 0) << modules;
    processrunner::Options options;
    options.closeOutput = true;
    processrunner::Result r = RunConsole({"--replay", capture, "--frames", "5", "--write", "-"}, options, false);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("CaptureConsole: --write - writes the capture to standard output, but standard output is closed", 0), 0u)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    ASSERT_EQ(stat(modules.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size) << modules << " was written to";
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(CaptureConsole, Pipes_AReaderThatStopsReadingOrLeavesAQuietNetworkEndsTheRunWithExit1) {
    std::string fifo = directory + "/fifo", fixture = directory + "/many.pcap";
    ASSERT_TRUE(capturefiles::WritePcap(fixture, FullSizeFrames(2000)));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A reader that opens the FIFO and never reads: the run still ends at its limit, then after the grace.
    int idle = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(idle, 0);
    long long start = processrunner::NowMs();
    processrunner::Result r = RunConsole({"--replay", fixture, "--write", fifo, "--seconds", "2"}, {}, false);
    long long took = processrunner::NowMs() - start;
    close(idle);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_LT(took, 20000) << "a stalled reader held the run";
    unsigned lost = 0, out = 0;
    EXPECT_EQ(std::sscanf(r.err.c_str(), ("CaptureConsole: " + fifo + " is a pipe: waiting for a reader to open it\nCaptureConsole: " + fifo +
                                          " did not take the frames as fast as they came: %u frames were not saved; the first %u frames went out whole\n").c_str(),
                          &lost, &out), 2) << r.err;
    EXPECT_EQ(lost + out, 2000u) << r.err;

    // A reader that takes the five frames and goes while the network is quiet (half a second without data): said
    // at the end, when the statistics block meets the closed pipe.
    std::thread reader([&fifo] {
        int fd = -1;
        for (long long deadline = processrunner::NowMs() + 10000; fd < 0 && processrunner::NowMs() < deadline;
             std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // the console must not inherit it
        char chunk[4096];
        for (bool any = false;;) {
            pollfd in{fd, POLLIN, 0};
            if (poll(&in, 1, 500) <= 0 && any) break;
            ssize_t n = read(fd, chunk, sizeof chunk);
            any = any || n > 0;
        }
        close(fd);
    });
    r = RunConsole({"--replay", capture, "--write", fifo, "--seconds", "2.5"}, {}, false);
    reader.join();
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("CaptureConsole: cannot write " + fifo + ": the reader has gone (broken pipe); the first 5 frames went out whole\n"),
              std::string::npos) << r.err;
}
