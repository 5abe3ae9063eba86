// A block read that the system refuses at once (closed handle, a handle that is no file, the handle an aborted
// device leaves behind) must fail at once: ReadFile marks the request pending before it looks at the handle, so
// waiting for that request would never end. The same source runs on the Linux stand-in and under Wine, which
// shows what Windows does.
#include <gtest/gtest.h>

#include <vector>

#include "capture/packet_driver.h"
#include "win32.h"

namespace {

struct ReadAttempt {
    Adapter* adapter;
    Packet* packet;
    BOOL result;
    DWORD error;
    DWORD transferred;
};

DWORD WINAPI AttemptRead(LPVOID parameter) {
    auto* attempt = static_cast<ReadAttempt*>(parameter);
    attempt->result = ReadBlock(attempt->adapter, attempt->packet, &attempt->transferred);
    attempt->error = GetLastError();
    return 0;
}

TEST(ReadFailure, ARefusedReadEndsAtOnceAndLeavesTheRequestPending) {
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(closed, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    struct Case {
        const char* name;
        HANDLE hDevice;
    } cases[] = {
        {"a closed handle", closed},
        {"INVALID_HANDLE_VALUE, as an aborted device leaves it", INVALID_HANDLE_VALUE},
        {"an event handle, not a file", event},
    };
    std::vector<BYTE> storage(MULTI_PACKET_STORAGE_SIZE);
    for (const Case& c : cases) {
        Packet* packet = CreateReadRequest();
        ASSERT_NE(packet, nullptr);
        BindReadBuffer(packet, storage.data(), MULTI_PACKET_STORAGE_SIZE);
        Adapter adapter{};
        adapter.hDevice = c.hDevice;
        ReadAttempt attempt{&adapter, packet, TRUE, 0, 99};
        HANDLE thread = CreateThread(nullptr, 0, AttemptRead, &attempt, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        // A hung read would keep the thread for ever; the process ends it when the test program ends.
        ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0) << c.name << ": the read did not end";
        CloseHandle(thread);
        EXPECT_FALSE(attempt.result) << c.name;
        EXPECT_EQ(attempt.error, static_cast<DWORD>(ERROR_INVALID_HANDLE)) << c.name;
        EXPECT_EQ(attempt.transferred, 0u) << c.name;
        EXPECT_EQ(packet->overlapped.Internal, static_cast<ULONG_PTR>(0x103)) << c.name << ": still marked pending";
        EXPECT_EQ(WaitForSingleObject(packet->overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << c.name << ": nobody signals the event";
        DestroyReadRequest(packet);
    }
    CloseHandle(event);
}

}  // namespace
