// The capture console in a real JVM (under -Xcheck:jni) on a replayed capture file: the frame lines, the
// frame limit, and Ctrl+C releasing the capture and ending the process with 0.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/process_runner.h"

namespace {

// A classic pcap file of `count` UDP/IPv4 frames from 10.0.0.1:4000 to 10.0.0.2:5000, numbered in the payload.
void WriteCapture(const std::string& path, int count) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    auto put32 = [&](unsigned v) {
        unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 24)};
        std::fwrite(b, 1, 4, f);
    };
    put32(0xa1b2c3d4);
    put32(0x00040002);
    put32(0);
    put32(0);
    put32(65535);
    put32(1);
    for (int n = 0; n < count; ++n) {
        std::vector<unsigned char> frame = {0x02, 0, 0, 0, 0, 2, 0x02, 0, 0, 0, 0, 1, 0x08, 0x00,
                                            0x45, 0, 0, 32, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2,
                                            0x0f, 0xa0, 0x13, 0x88, 0, 12, 0, 0, 'n', 'o', static_cast<unsigned char>(n), 0};
        put32(1700000000u + static_cast<unsigned>(n));
        put32(0);
        put32(static_cast<unsigned>(frame.size()));
        put32(static_cast<unsigned>(frame.size()));
        std::fwrite(frame.data(), 1, frame.size(), f);
    }
    std::fclose(f);
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

    processrunner::Result RunConsole(const std::vector<std::string>& args, processrunner::Options options) {
        std::vector<std::string> argv = {JAVA_EXECUTABLE, "-Xcheck:jni", "-Djava.library.path=" TAMSIL_LIBRARY_DIR, "-cp",
                                         TAMSIL_JAVA_CLASSES, "com.larkspire.vorel.console.CaptureConsole"};
        argv.insert(argv.end(), args.begin(), args.end());
        options.env["TAMSIL_WINDOWS_VERSION"] = "5.1";
        options.env["TAMSIL_ADAPTERS"] = "replay0|Replayed frames";
        options.env["TAMSIL_REPLAY"] = "NetVorel_replay0=" + capture;
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

}  // namespace
