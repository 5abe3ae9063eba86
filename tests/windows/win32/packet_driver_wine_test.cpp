// The capture path of tamsil.dll on a real Win32 I/O stack: a packet driver of our own (tests/windows/driver),
// installed in Wine's kernel-driver host as the service NetVorel, and tamsil.dll called as a JVM calls it (the
// JNI harness). Every Win32 call the library makes -- the DOS name, the overlapped open, the OID request, the
// block reads and their completion, the close that ends a pending read -- goes through Wine's I/O manager to
// the driver. The test scripts what the driver's reads deliver through the driver's control device.
//
// Not shown here: the exclusive open. Wine does not enforce it (a second open of an exclusive device succeeds),
// so that case stays for Windows itself.
//
// The library's state lives for the whole process, as in a JVM: the cases run in the order written, and
// FreeOnExit comes last.
#include "win32.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/storage_blocks.h"
#include "windows/registry_seed.h"
#include "windows/win32/jni_harness.h"
#include "windows/win32/test_driver_setup.h"
#include "windows/win32/harness_child.h"

namespace {

using namespace testdriver;
using storageblocks::Block;
using storageblocks::Bytes;
using storageblocks::Frame;

const char kTestCardKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards\\0";
const char kTestCardDevice[] = "\\Device\\NetVorel_TestCard0";
const char kTestCardDescription[] = "NetVorel test card";
constexpr ULONG kStatusUnsuccessful = 0xC0000001;

// The next read of a packet device delivers `block` (`repeats` reads; 0: every read), or fails with `status`.
void Queue(const Bytes& block, ULONG status = 0, ULONG repeats = 1) {
    ASSERT_TRUE(testdriver::Queue(block, status, repeats)) << GetLastError();
}

NETVOREL_TEST_STATE DriverState() {
    NETVOREL_TEST_STATE state{};
    EXPECT_TRUE(testdriver::QueryDriver(&state)) << GetLastError();
    return state;
}

// The one DOS name the start defined, and the one request the driver then saw: promiscuous reception, set on
// device `device` (1-based, in Export's order) as 12 bytes in and out.
void ExpectOpenedAndPromiscuous(const std::string& dosName, const std::string& target, ULONG device) {
    ASSERT_EQ(g_defined.size(), 1u);
    EXPECT_EQ(g_defined[0].flags, static_cast<DWORD>(DDD_RAW_TARGET_PATH));
    EXPECT_EQ(g_defined[0].device, dosName);
    EXPECT_EQ(g_defined[0].target, target);
    NETVOREL_TEST_STATE state = DriverState();
    EXPECT_EQ(state.oidRequests, 1u);
    EXPECT_EQ(state.oidDevice, device) << "the request reached the device of the name defined";
    EXPECT_EQ(state.controlCode, 0x80000000u);
    EXPECT_EQ(state.oid, 0x0001010Eu);
    EXPECT_EQ(state.length, 4u);
    EXPECT_EQ(state.data, 0x20u);
    EXPECT_EQ(state.inputBytes, 12u);
    EXPECT_EQ(state.outputBytes, 12u);
}

// Polls `condition` for up to 20 s (32-bit Wine under load is slow, never this slow).
bool WaitUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 4000; ++i) {
        if (condition()) return true;
        Sleep(5);
    }
    return condition();
}

bool ReadPending() {
    return WaitUntil([] { return DriverState().pendingReads == 1; });
}

// Frame `n` of the stream: its number in the first 4 bytes, lengths varying from 1 to 1514.
Bytes NumberedFrame(unsigned n) {
    Bytes frame = Frame(1 + (n * 97) % 1514, static_cast<unsigned char>(n * 13));
    for (size_t i = 0; i < 4 && i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(n >> (8 * i));
    return frame;
}

class PacketDriver : public JniHarnessBase {
protected:
    static void SetUpTestSuite() {
        JniHarnessBase::SetUpTestSuite();
        if (library_ == nullptr || !RunningOnWine()) return;
        LinkDosDevicesOf(library_);
        // The registry path's card, and a device for each adapter that the IP Helper lists.
        std::vector<std::string> exports = {kTestCardDevice};
        for (const auto& name : IpHelperAdapters(true)) exports.push_back("\\Device\\NetVorel_" + name);
        setupError_ = InstallDriver(exports);
        if (!setupError_.empty()) return;
        setupError_ = OpenControlDevice();
    }
    static void TearDownTestSuite() {
        CloseControlDevice();
        if (RunningOnWine()) RemoveDriver();
        registryseed::DeleteTree(kTestCardKey);
    }
    void SetUp() override {
        JniHarnessBase::SetUp();
        if (!RunningOnWine()) GTEST_SKIP() << "the test driver is installed under Wine only";
        ASSERT_EQ(setupError_, "");
        ASSERT_TRUE(ResetDriver());
        g_defined.clear();
    }

    // One frame through GetFrameFromDriver into an array of `arrayLength` bytes (filled with 0x5A first).
    jint Deliver(Bytes* frame, jint maxLength = 1514, jint arrayLength = 1514) {
        jbyteArray array = jvm_->NewJavaArray(static_cast<size_t>(arrayLength), 0x5A);
        jint length = Call<jint>("GetFrameFromDriver", array, maxLength);
        const auto& bytes = jvm_->Bytes(array);
        frame->assign(bytes.begin(), bytes.end());
        return length;
    }
    // The bytes a delivery of `frame` leaves in an array of `arrayLength`: the frame cut to `maxLength`, then
    // the array's own bytes.
    static Bytes Delivered(const Bytes& frame, size_t maxLength = 1514, size_t arrayLength = 1514) {
        Bytes out(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(std::min(frame.size(), maxLength)));
        out.resize(arrayLength, 0x5A);
        return out;
    }

    // A delivery call on a thread of its own, with that thread's JNIEnv, as the application's capture thread.
    // The thread shares the record, so that a call that never ends is left behind rather than waited for.
    struct Background {
        std::thread thread;
        std::atomic<bool> done{false};
        jint length = -1;
        Bytes frame;
        std::vector<std::string> problems;
        ~Background() {
            if (thread.joinable()) thread.detach();
        }
        // Waits for the call's end; false if it has not ended within the wait.
        bool Finish() {
            if (!WaitUntil([this] { return done.load(); })) return false;
            thread.join();
            for (const auto& problem : problems) ADD_FAILURE() << "capture thread: " << problem;
            return true;
        }
    };
    static std::shared_ptr<Background> StartDelivery(std::function<void()> beforeCopy = {}) {
        auto call = std::make_shared<Background>();
        call->thread = std::thread([call, beforeCopy] {
            FakeJvm jvm;
            jvm.beforeCopy = beforeCopy;
            jbyteArray array = jvm.NewJavaArray(1514, 0x5A);
            call->length = CallWith<jint>(jvm, "GetFrameFromDriver", array, static_cast<jint>(1514));
            call->frame.assign(jvm.Bytes(array).begin(), jvm.Bytes(array).end());
            call->problems = jvm.Problems();
            call->done = true;
        });
        return call;
    }

    inline static std::string setupError_;
};

// ---- 1. Start ----
TEST_F(PacketDriver, Start_RegistryPathOpensTheExportedDeviceAndSetsPromiscuousMode) {
    // One card in the inventory: the Export the driver read at start, cut to the test card's device, which
    // NetworkCards describes. Wine rewrites NetworkCards\1..n as it starts; 0 enumerates first.
    ASSERT_EQ(registryseed::SetMultiString(kLinkage, "Export", {kTestCardDevice}), ERROR_SUCCESS);
    ASSERT_EQ(registryseed::SetString(kTestCardKey, "Description", kTestCardDescription), ERROR_SUCCESS);
    ASSERT_EQ(registryseed::SetString(kTestCardKey, "ServiceName", "TestCard0"), ERROR_SUCCESS);
    std::string out;
    ASSERT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), 0) << out;
    EXPECT_EQ(out, std::string("Adapter ") + kTestCardDescription + " successfully opened\n\n");
    ExpectOpenedAndPromiscuous("Packet_NetVorel_TestCard0", kTestCardDevice, 1);
    EXPECT_EQ(DriverState().readsServed, 0u) << "nothing is read before the first delivery call";
}

TEST_F(PacketDriver, Start_ARefusedPromiscuousRequestOnlyWarns) {
    ASSERT_TRUE(RefuseOid());
    std::string out;
    // -2 is not the card selected (1): the device is opened afresh.
    ASSERT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), 0) << out;
    EXPECT_EQ(out, std::string("Adapter ") + kTestCardDescription + " successfully opened\n\nWARNING:\nCould not set adapter " +
                       kTestCardDescription + " in promiscuous mode\nNetwork Vorel will only monitor traffic on your own host.\n");
    EXPECT_EQ(DriverState().oidRequests, 1u);
}

TEST_F(PacketDriver, Start_ADriverThatCompletesThePromiscuousRequestLaterIsWaitedFor) {
    // A delivery call waits in a read. A start for the card (-2 always opens afresh) closes that device, and the
    // call's next read goes to the new device while the driver holds the promiscuous request back. That read
    // completing must not end the start's wait for its request, nor may the request's answer come too late.
    auto call = StartDelivery();
    ASSERT_TRUE(ReadPending());
    ASSERT_TRUE(PendOid());
    ::testing::internal::CaptureStdout();
    std::atomic<jint> started{-9};
    std::thread start([&] {
        FakeJvm jvm;
        started = CallWith<jint>(jvm, "DriverStart", static_cast<jint>(-2));
    });
    EXPECT_TRUE(WaitUntil([] {
        NETVOREL_TEST_STATE now = DriverState();
        return now.oidPending == 1 && now.openFiles == 1 && now.pendingReads == 1;
    })) << "the request held back, and the waiting call reading from the new device";
    Bytes f = Frame(70, 8);
    Queue(Block({f}));
    EXPECT_TRUE(call->Finish());
    EXPECT_EQ(call->length, 70);
    Sleep(200);
    EXPECT_EQ(started.load(), -9) << "the start returned before the driver completed its request";
    bool completed = CompleteOid();
    EXPECT_TRUE(completed);
    completed ? start.join() : start.detach();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(started.load(), 0);
    EXPECT_EQ(out, std::string("Adapter ") + kTestCardDescription + " successfully opened\n\n") << "no warning";
}

// ---- 2. Delivery through real blocks ----
TEST_F(PacketDriver, Delivery_EveryFrameIntactAndInOrderOverManyBlocks) {
    // 24 blocks of 1 to 400 frames, one block of none among them (it leads straight to the next read).
    unsigned next = 0;
    std::vector<Bytes> stream;
    for (int b = 0; b < 24; ++b) {
        std::vector<Bytes> frames;
        size_t count = b == 5 ? 0 : 1 + static_cast<size_t>(b * 173) % 400;
        for (size_t i = 0; i < count; ++i) frames.push_back(NumberedFrame(next++));
        stream.insert(stream.end(), frames.begin(), frames.end());
        Queue(Block(frames));
    }
    Bytes frame;
    for (size_t n = 0; n < stream.size(); ++n) {
        jint length = Deliver(&frame);
        ASSERT_EQ(length, static_cast<jint>(stream[n].size())) << "frame " << n;
        ASSERT_EQ(frame, Delivered(stream[n])) << "frame " << n;
    }
    NETVOREL_TEST_STATE state = DriverState();
    EXPECT_EQ(state.readsServed, 24u);
    EXPECT_EQ(state.queued, 0u);
}

TEST_F(PacketDriver, Delivery_LongFramesAreCutToTheArray_EmptyAndLongestFramesPass) {
    Bytes longest = Frame(65535, 3), cut = Frame(100, 7), small = Frame(3, 9);
    Queue(Block({cut, Bytes(), longest, small}));
    Bytes frame;
    EXPECT_EQ(Deliver(&frame, 64, 80), 100) << "the full length, though only 64 bytes were copied";
    EXPECT_EQ(frame, Delivered(cut, 64, 80));
    EXPECT_EQ(Deliver(&frame, 64, 80), 0) << "the empty frame";
    EXPECT_EQ(frame, Bytes(80, 0x5A));
    EXPECT_EQ(Deliver(&frame, 65535, 65535), 65535);
    EXPECT_EQ(frame, longest);
    EXPECT_EQ(Deliver(&frame, 0, 16), 3) << "a maximum of 0 copies nothing and uses the frame up";
    EXPECT_EQ(frame, Bytes(16, 0x5A));
    EXPECT_EQ(DriverState().readsServed, 1u);
}

TEST_F(PacketDriver, Delivery_PauseHoldsFramesBackAndStopEndsDeliveryAfterThePendingRead) {
    Bytes a = Frame(60, 1), b = Frame(61, 2), c = Frame(62, 3), d = Frame(63, 4);
    // Paused: the call reads the next block (the one in hand is used up) but delivers nothing.
    Call<void>("SetPausedOn", static_cast<jboolean>(JNI_TRUE));
    auto paused = StartDelivery();
    Queue(Block({a, b}));
    ASSERT_TRUE(WaitUntil([] { return DriverState().readsServed == 1; }));
    Sleep(100);
    EXPECT_FALSE(paused->done) << "delivered while paused";
    Call<void>("SetPausedOn", static_cast<jboolean>(JNI_FALSE));
    ASSERT_TRUE(paused->Finish());
    EXPECT_EQ(paused->length, 60);
    EXPECT_EQ(paused->frame, Delivered(a));
    Bytes frame;
    EXPECT_EQ(Deliver(&frame), 61);

    // Stopped while a read pends: the read's frame still comes, and the next call gets 0 at once. A start with
    // -2 (a negative card number always runs the whole start) opens the card afresh; the block in hand stays.
    auto stopped = StartDelivery();
    ASSERT_TRUE(ReadPending());
    Call<void>("DriverStop");
    Queue(Block({c, d}));
    ASSERT_TRUE(stopped->Finish());
    EXPECT_EQ(stopped->frame, Delivered(c));
    EXPECT_EQ(Deliver(&frame), 0) << "stopped";
    std::string out;
    EXPECT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), 0);
    EXPECT_EQ(out, std::string("Adapter ") + kTestCardDescription + " successfully opened\n\n");
    EXPECT_EQ(Deliver(&frame), 63);
    EXPECT_EQ(frame, Delivered(d));
    NETVOREL_TEST_STATE state = DriverState();
    EXPECT_EQ(state.oidRequests, 1u);
    EXPECT_EQ(g_defined.size(), 1u);
    EXPECT_EQ(state.readsServed, 2u);
}

// ---- 3. Reads that fail, blocks that over-promise ----
TEST_F(PacketDriver, Delivery_FailedAndEmptyReadsAreRetriedEvery10msAndFramesFlowAfter) {
    // Every read fails for a while: the call keeps reading, pausing 10 ms between reads (never spinning).
    Queue(Bytes(), kStatusUnsuccessful, 0);
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    auto call = StartDelivery();
    Sleep(200);
    ULONG failedReads = DriverState().readsServed;
    QueryPerformanceCounter(&end);
    LONGLONG elapsedMs = (end.QuadPart - begin.QuadPart) * 1000 / frequency.QuadPart;
    EXPECT_GE(failedReads, 2u);
    EXPECT_LE(failedReads, static_cast<ULONG>(elapsedMs / 8 + 2)) << "reads in " << elapsedMs << " ms";
    EXPECT_FALSE(call->done);
    // Then a read of 0 bytes, also retried, then a block.
    ASSERT_TRUE(ResetDriver());
    Bytes e = Frame(42, 5);
    Queue(Bytes());
    Queue(Block({e}));
    ASSERT_TRUE(call->Finish());
    EXPECT_EQ(call->length, 42);
    EXPECT_EQ(call->frame, Delivered(e));
    EXPECT_EQ(DriverState().readsServed, 2u);
}

TEST_F(PacketDriver, Delivery_ABlockPromisingMoreFramesThanItsBytesHoldEndsWhereTheyEnd) {
    // Five 4-byte frames, then a shorter block of one 4-byte frame that claims five: what lies in the storage
    // after its bytes are the earlier block's records, which must not be delivered again.
    std::vector<Bytes> earlier;
    for (unsigned char n = 1; n <= 5; ++n) earlier.push_back({n, n, n, n});
    Bytes h = {0xAA, 0xBB, 0xCC, 0xDD}, j = Frame(30, 6);
    Queue(Block(earlier));
    Queue(Block({h}, 5));
    Queue(Block({j}));
    Bytes frame;
    for (const Bytes& f : earlier) {
        EXPECT_EQ(Deliver(&frame), 4);
        EXPECT_EQ(frame, Delivered(f));
    }
    EXPECT_EQ(Deliver(&frame), 4);
    EXPECT_EQ(frame, Delivered(h));
    EXPECT_EQ(Deliver(&frame), 30) << "the next block, not the stale records after the short one";
    EXPECT_EQ(frame, Delivered(j));
    EXPECT_EQ(DriverState().readsServed, 3u);
}

// ---- 4. Switching cards and the release, with a read pending in the driver ----
TEST_F(PacketDriver, Start_IpHelperPathWhileAReadPendsOnTheRegistryCard) {
    std::vector<std::string> names = IpHelperAdapters(true), descriptions = IpHelperAdapters();
    if (names.empty()) GTEST_SKIP() << "Wine lists no adapter on this machine";
    auto call = StartDelivery();
    ASSERT_TRUE(ReadPending());
    // The IP Helper path with card 0, which differs from the card selected (1; card 1 would merely resume), and
    // picks the first adapter: the registry card's device is closed (which ends its read) and the adapter's
    // own device opened; the waiting call reads from there.
    std::string out;
    ASSERT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(0)), 0) << out;
    EXPECT_NE(out.find("Adapter " + descriptions[0] + " successfully opened\n\n"), std::string::npos) << out;
    ExpectOpenedAndPromiscuous("Packet_NetVorel_" + names[0], "\\Device\\NetVorel_" + names[0], 2);
    ASSERT_TRUE(WaitUntil([] {
        NETVOREL_TEST_STATE now = DriverState();
        return now.pendingReads == 1 && now.readDevice == 2;
    })) << "the old device's read ended, and the waiting call reads from the new device";
    EXPECT_FALSE(call->done);
    Bytes f = Frame(70, 8);
    Queue(Block({f}));
    ASSERT_TRUE(call->Finish());
    EXPECT_EQ(call->length, 70);
    EXPECT_EQ(call->frame, Delivered(f));

    // Stopped, then started again with the same card: delivery resumes without opening anything.
    Call<void>("DriverStop");
    Bytes frame;
    EXPECT_EQ(Deliver(&frame), 0);
    EXPECT_EQ(CallCaptured<jint>(&out, "DriverStart", Call<jint>("GetCardNumber")), 0);
    EXPECT_EQ(out, "");
    Bytes g = Frame(71, 9);
    Queue(Block({g}));
    EXPECT_EQ(Deliver(&frame), 71);
    EXPECT_EQ(frame, Delivered(g));
    EXPECT_EQ(DriverState().oidRequests, 1u) << "no second open";
    EXPECT_EQ(g_defined.size(), 1u);
}

// A delivery call held up in the JVM's copy while the session is released: the release waits for it only so
// long, then leaves the storage to that call, which completes intact; the next start takes a block of its own.
TEST_F(PacketDriver, Release_ADeliveryHeldUpInItsCopyKeepsItsStorage) {
    HANDLE inCopy = CreateEventA(nullptr, TRUE, FALSE, nullptr), goOn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Bytes f = Frame(80, 10), g = Frame(81, 11);
    Queue(Block({f}));
    auto held = StartDelivery([&] {
        SetEvent(inCopy);
        WaitForSingleObject(goOn, 30000);
    });
    ASSERT_EQ(WaitForSingleObject(inCopy, 20000), WAIT_OBJECT_0);
    std::string out;
    CallCaptured<void>(&out, "FreeOnExit");  // returns after its 5 s wait
    EXPECT_EQ(out, "");
    SetEvent(goOn);
    ASSERT_TRUE(held->Finish());
    EXPECT_EQ(held->length, 80);
    EXPECT_EQ(held->frame, Delivered(f));
    ASSERT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), 0);
    EXPECT_EQ(out, std::string("Adapter ") + kTestCardDescription + " successfully opened\n\n");
    Queue(Block({g}));
    Bytes frame;
    EXPECT_EQ(Deliver(&frame), 81);
    EXPECT_EQ(frame, Delivered(g));
    CloseHandle(inCopy);
    CloseHandle(goOn);
}

// Failures of allocations that Wine cannot be made to produce, given to tamsil.dll at its imports: each start
// fails with its line after the device opened, delivery says the read request is missing, and a start with the
// import restored works again.
// The storage block's size: the small records of the device and the read request still get their memory.
constexpr SIZE_T kStorageBytes = 491520;
HGLOBAL WINAPI FailGlobalAlloc(UINT flags, SIZE_T bytes) { return bytes == kStorageBytes ? nullptr : GlobalAlloc(flags, bytes); }
LPVOID WINAPI FailGlobalLock(HGLOBAL memory) { return GlobalSize(memory) == kStorageBytes ? nullptr : GlobalLock(memory); }
HANDLE WINAPI FailCreateEventW(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) { return nullptr; }

TEST_F(PacketDriver, Start_AllocationsThatFailEndTheStartWithTheirLine) {
    const struct {
        const char* function;
        void* failure;
        const char* line;
    } failures[] = {
        {"GlobalAlloc", reinterpret_cast<void*>(&FailGlobalAlloc), "ERROR: Can't allocate memory for MultiPacketStorage\n"},
        {"GlobalLock", reinterpret_cast<void*>(&FailGlobalLock), "ERROR: Can't lock memory for MultiPacketStorage\n"},
        {"CreateEventW", reinterpret_cast<void*>(&FailCreateEventW), "ERROR: Can't allocate a packet\n"},
    };
    std::string out, opened = std::string("Adapter ") + kTestCardDescription + " successfully opened\n\n";
    CallCaptured<void>(&out, "FreeOnExit");  // the storage goes: the next start allocates it
    for (const auto& f : failures) {
        ASSERT_TRUE(ReplaceImport(library_, "kernel32.dll", f.function, f.failure));
        EXPECT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), -1) << f.function;
        EXPECT_TRUE(RestoreImport(library_, "kernel32.dll", f.function));
        EXPECT_EQ(out, opened + f.line);
        Bytes frame;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(Deliver(&frame), 0) << f.function;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  "ERROR on line 808 of file tamsil: Java_com_larkspire_vorel_utils_NativeCollection_ReadFrameFromDriver()\n"
                  "..pPacket is NULL\n");
    }
    ASSERT_EQ(CallCaptured<jint>(&out, "DriverStart", static_cast<jint>(-2)), 0);
    EXPECT_EQ(out, opened);
}

// The console's Ctrl+C runs the same release from its handler: the last case.
TEST_F(PacketDriver, Release_FreeOnExitEndsADeliveryWaitingInAPendingRead) {
    auto call = StartDelivery();
    ASSERT_TRUE(ReadPending());
    std::string out;
    CallCaptured<void>(&out, "FreeOnExit");
    EXPECT_EQ(out, "");
    ASSERT_TRUE(call->Finish()) << "the delivery call still waits after the release";
    EXPECT_EQ(call->length, 0);
    EXPECT_EQ(call->frame, Bytes(1514, 0x5A));
    EXPECT_TRUE(WaitUntil([] { return DriverState().pendingReads == 0; }));
    CallCaptured<void>(&out, "DriverStop");
    EXPECT_NE(out.find("..pAdapter is NULL, implying the driver is NOT started.\n"), std::string::npos) << "released";
}

// Ctrl+C (SIGINT to the process, as from a terminal) while a delivery call waits in a pending read: the
// handler releases the session, which ends the read and closes the device, and ends the process with 0; the
// delivery call ends quietly with 0 before that. The child says at exit what the driver still holds.
TEST_F(PacketDriver, CtrlC_WhileAReadPendsClosesTheDeviceAndEndsTheProcessWithZero) {
    CloseLinks();  // the child defines the same DOS name
    ProgramRun run = RunChild("-2 deliver", "", nullptr, [](const std::string& token) {
        ASSERT_TRUE(ReadPending()) << "the child's delivery call never reached the driver";
        ASSERT_TRUE(InterruptChild(token));
    });
    std::string opened = std::string("Adapter ") + kTestCardDescription + " successfully opened\n\nDriverStart: 0\n";
    std::string atExit = "at exit: 0 read(s) pending, 0 packet file(s) open\n";
    EXPECT_EQ(run.output, opened + "GetFrameFromDriver: 0\n" + atExit);
    EXPECT_EQ(run.exitCode, 0u);
}

}  // namespace
