// The replay device's reader thread against the reads and the close (run under ThreadSanitizer in CI): closing
// while it reads ahead, the end of the file and a damaged end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "linux/testing.h"
#include "win32.h"
#include "support/capture_files.h"

namespace {

using capturefiles::Bytes;

const char kDosName[] = "Packet_NetVorel_replay0";
const char kOpenName[] = "\\\\.\\Packet_NetVorel_replay0";
const char kDevicePath[] = "\\Device\\NetVorel_replay0";

class ReplayRace : public ::testing::Test {
protected:
    void SetUp() override {
        StandInResetDevices();
        ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, kDosName, kDevicePath));
        file_ = testing::TempDir() + "tamsil_replay_race_" + std::to_string(getpid()) + ".pcap";
        setenv("TAMSIL_REPLAY", ("NetVorel_replay0=" + file_).c_str(), 1);
        handlesBefore_ = StandInOpenHandleCount();
    }
    void TearDown() override {
        unsetenv("TAMSIL_REPLAY");
        std::remove(file_.c_str());
        StandInResetDevices();
        EXPECT_EQ(StandInOpenHandleCount(), handlesBefore_) << "every handle closed";
    }

    HANDLE Open() {
        return CreateFileA(kOpenName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
    }

    // One overlapped read of `length` bytes, waited for. False when the read failed.
    static bool Read(HANDLE device, HANDLE event, std::vector<BYTE>& block, DWORD* bytes) {
        OVERLAPPED ov{};
        ov.hEvent = event;
        // A read refused at once (the device already closed) leaves the request pending for ever, as on Windows.
        if (!ReadFile(device, block.data(), static_cast<DWORD>(block.size()), bytes, &ov) && GetLastError() != ERROR_IO_PENDING)
            return false;
        return GetOverlappedResult(device, &ov, bytes, TRUE) != FALSE;
    }

    // Reads blocks of `length` bytes until `count` frames came.
    static std::vector<Bytes> ReadFrames(HANDLE device, HANDLE event, size_t count, DWORD length) {
        std::vector<Bytes> frames;
        std::vector<BYTE> block(length);
        while (frames.size() < count) {
            DWORD bytes = 0;
            if (!Read(device, event, block, &bytes)) {
                ADD_FAILURE() << "read failed with " << GetLastError() << " after " << frames.size() << " frames";
                break;
            }
            const BYTE* record = block.data() + 16;
            DWORD n = block[4] | block[5] << 8 | block[6] << 16 | static_cast<DWORD>(block[7]) << 24;
            for (; n > 0; --n) {
                size_t frame = record[0] | record[1] << 8;
                frames.emplace_back(record + 2, record + 2 + frame);
                record += 2 + frame;
            }
            EXPECT_EQ(record - block.data(), static_cast<ptrdiff_t>(bytes)) << "the records fill what was read";
        }
        return frames;
    }

    // A read that must wait (a quiet network) until another thread closes the device; then it fails.
    static void ExpectReadWaitsUntilClosed(HANDLE device, HANDLE event) {
        std::atomic<bool> returned{false};
        bool result = true;
        std::thread reader([&] {
            std::vector<BYTE> block(4096);
            DWORD bytes = 0;
            result = Read(device, event, block, &bytes);
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_FALSE(returned.load()) << "after the last frame a read waits";
        EXPECT_TRUE(CloseHandle(device));
        reader.join();
        EXPECT_FALSE(result) << "the close fails the waiting read";
    }

    std::string file_;
    size_t handlesBefore_ = 0;
};

std::vector<Bytes> Frames(unsigned count, size_t length) {
    std::vector<Bytes> frames;
    for (unsigned i = 0; i < count; ++i) frames.push_back(capturefiles::NumberedFrame(i, length + i % 7));
    return frames;
}

TEST_F(ReplayRace, CloseWhileTheReaderFillsOrWaitsForRoom) {
    // Far more than the read-ahead holds: the reader is filling, or waiting for room, at every close.
    ASSERT_TRUE(capturefiles::WritePcap(file_, Frames(30000, 1000)));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    for (int round = 0; round < 12; ++round) {
        HANDLE device = Open();
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
        std::vector<BYTE> block(0x78000);
        DWORD bytes = 0;
        // Close at once, after some reads, or while a read is in progress on another thread.
        for (int n = 0; n < round % 4; ++n) ASSERT_TRUE(Read(device, event, block, &bytes));
        if (round % 3 == 2) {
            std::atomic<bool> stop{false};
            std::thread reader([&] {
                std::vector<BYTE> own(0x78000);
                DWORD got = 0;
                while (!stop.load() && Read(device, event, own, &got)) {
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(round));
            EXPECT_TRUE(CloseHandle(device));
            stop = true;
            reader.join();
        } else {
            EXPECT_TRUE(CloseHandle(device));
        }
    }
    CloseHandle(event);
}

TEST_F(ReplayRace, EndOfFile_EveryFrameInOrderThenTheReadWaits) {
    // Several chunks of read-ahead, taken in blocks smaller than a chunk, so that reads and the reader interleave.
    std::vector<Bytes> written = Frames(9000, 100);
    written.push_back(capturefiles::NumberedFrame(9000, 70000));
    written.push_back(Bytes());
    ASSERT_TRUE(capturefiles::WritePcap(file_, written));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();

    std::vector<Bytes> frames = ReadFrames(device, event, written.size(), 70000);
    ASSERT_EQ(frames.size(), written.size());
    for (size_t i = 0; i < 9000; ++i) ASSERT_EQ(frames[i], written[i]) << "frame " << i;
    EXPECT_EQ(frames[9000], Bytes(written[9000].begin(), written[9000].begin() + 65535)) << "cut to 65,535";
    EXPECT_TRUE(frames[9001].empty());

    ExpectReadWaitsUntilClosed(device, event);
    CloseHandle(event);
}

TEST_F(ReplayRace, DamagedEnd_EveryWholeFrameBeforeItThenTheReadWaits) {
    std::vector<Bytes> written = Frames(5000, 200);
    Bytes pcapng = capturefiles::PcapngBytes(written);
    ASSERT_TRUE(capturefiles::WritePcap(file_, written));
    std::ifstream in(file_, std::ios::binary);
    Bytes pcap((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Cut inside the last frame, through it into the one before it, or inside its pcap record header.
    struct Cut {
        const Bytes& file;
        size_t bytesLess;
        size_t wholeFrames;
    };
    size_t last = written.back().size();
    for (Cut cut : {Cut{pcapng, 10, 4999}, Cut{pcapng, last + 3 + 32 + 20, 4998}, Cut{pcap, 10, 4999}, Cut{pcap, last + 16 - 5, 4999}}) {
        Bytes damaged(cut.file.begin(), cut.file.end() - static_cast<ptrdiff_t>(cut.bytesLess));
        capturefiles::WriteBytes(file_, damaged);
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        testing::internal::CaptureStderr();
        HANDLE device = Open();
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
        std::vector<Bytes> frames = ReadFrames(device, event, cut.wholeFrames, 0x78000);
        // The reader says the damaged end before it hands over the last whole frames.
        std::string said = testing::internal::GetCapturedStderr();
        ASSERT_EQ(frames.size(), cut.wholeFrames);
        for (size_t i = 0; i < cut.wholeFrames; ++i) ASSERT_EQ(frames[i], written[i]) << "frame " << i;
        EXPECT_EQ(said.rfind("tamsil: replay of " + file_ + " ends early: truncated", 0), 0u) << said;
        ExpectReadWaitsUntilClosed(device, event);
        CloseHandle(event);
    }
}

}  // namespace
