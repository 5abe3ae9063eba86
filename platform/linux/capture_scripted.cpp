// Scripted device objects for tests (controlled through testing.h): queued read replies, refused requests,
// and a record of what the device was asked.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "device_objects.h"
#include "immortal.h"
#include "testing.h"

namespace {

constexpr DWORD kPromiscuousBit = 0x20;  // NDIS_PACKET_TYPE_PROMISCUOUS

struct Reply {
    enum Kind { Block, Empty, Failure } kind;
    std::vector<BYTE> bytes;
    DWORD error;
};

struct Script {
    Script() : notifyFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Script() {
        if (notifyFd >= 0) ::close(notifyFd);
    }
    std::mutex lock;
    std::deque<Reply> replies;
    DWORD refusal = 0;
    StandInScriptedDeviceState state;
    const int notifyFd;  // readable when a reply was queued
};

std::mutex scriptsLock;
std::map<std::string, std::shared_ptr<Script>>& Scripts() {
    static auto& scripts = Immortal<std::map<std::string, std::shared_ptr<Script>>>();
    return scripts;
}

std::shared_ptr<Script> FindScript(const std::string& devicePath) {
    std::lock_guard<std::mutex> guard(scriptsLock);
    auto it = Scripts().find(FoldObjectName(devicePath));
    return it == Scripts().end() ? nullptr : it->second;
}

void Queue(const char* devicePath, Reply reply) {
    std::shared_ptr<Script> script = FindScript(devicePath);
    if (!script) return;
    {
        std::lock_guard<std::mutex> guard(script->lock);
        script->replies.push_back(std::move(reply));
    }
    uint64_t one = 1;
    ssize_t written = ::write(script->notifyFd, &one, sizeof one);
    (void)written;
}

class ScriptedDevice : public DeviceSource {
public:
    explicit ScriptedDevice(std::shared_ptr<Script> script) : script_(std::move(script)) {}

    ReadOutcome Read(BYTE* buffer, DWORD length, const ReadContext& context) override {
        for (;;) {
            if (context.Closed()) return ReadFailed(ERROR_OPERATION_ABORTED);
            std::unique_lock<std::mutex> guard(script_->lock);
            if (!script_->replies.empty()) {
                Reply reply = std::move(script_->replies.front());
                script_->replies.pop_front();
                guard.unlock();
                switch (reply.kind) {
                    case Reply::Block: {
                        DWORD bytes = static_cast<DWORD>(std::min<size_t>(reply.bytes.size(), length));
                        if (bytes != 0) std::memcpy(buffer, reply.bytes.data(), bytes);
                        return ReadDone(bytes);
                    }
                    case Reply::Empty: return ReadDone(0);
                    case Reply::Failure: return ReadFailed(reply.error);
                }
            }
            guard.unlock();
            switch (WaitForInput(script_->notifyFd, context)) {
                case WaitResult::Closed: return ReadFailed(ERROR_OPERATION_ABORTED);
                case WaitResult::TimedOut: return ReadTimedOut();
                case WaitResult::Readable: {
                    uint64_t count;
                    ssize_t drained = ::read(script_->notifyFd, &count, sizeof count);
                    (void)drained;
                    break;
                }
            }
        }
    }

    DWORD SetPacketFilter(DWORD filter) override {
        std::lock_guard<std::mutex> guard(script_->lock);
        script_->state.promiscuous = (filter & kPromiscuousBit) != 0;
        return 0;
    }

    void Close() override {
        std::lock_guard<std::mutex> guard(script_->lock);
        --script_->state.openNow;
        script_->state.promiscuous = false;
    }

    void ReadStarted() override {
        std::lock_guard<std::mutex> guard(script_->lock);
        ++script_->state.readsIssued;
    }

    DWORD IoControl(DWORD code, const BYTE* input, DWORD inputSize, DWORD outputSize) override {
        std::lock_guard<std::mutex> guard(script_->lock);
        StandInIoControl call{code, {}, outputSize};
        if (input != nullptr) call.input.assign(input, input + inputSize);
        script_->state.ioControls.push_back(std::move(call));
        return script_->refusal;
    }

private:
    std::shared_ptr<Script> script_;
};

}  // namespace

std::unique_ptr<DeviceSource> OpenScriptedDevice(const std::string& devicePath) {
    std::shared_ptr<Script> script = FindScript(devicePath);
    if (!script) return nullptr;
    {
        std::lock_guard<std::mutex> guard(script->lock);
        ++script->state.opens;
        ++script->state.openNow;
    }
    return std::make_unique<ScriptedDevice>(std::move(script));
}

void ResetScriptedDevices() {
    std::lock_guard<std::mutex> guard(scriptsLock);
    Scripts().clear();
}

void StandInAddScriptedDevice(const char* devicePath) {
    auto script = std::make_shared<Script>();
    std::lock_guard<std::mutex> guard(scriptsLock);
    Scripts()[FoldObjectName(devicePath)] = std::move(script);
}

void StandInScriptBlock(const char* devicePath, std::vector<unsigned char> block) {
    Queue(devicePath, Reply{Reply::Block, std::move(block), 0});
}

void StandInScriptEmptyRead(const char* devicePath) { Queue(devicePath, Reply{Reply::Empty, {}, 0}); }

void StandInScriptFailedRead(const char* devicePath, DWORD error) { Queue(devicePath, Reply{Reply::Failure, {}, error}); }

void StandInScriptRefuseRequests(const char* devicePath, DWORD error) {
    if (std::shared_ptr<Script> script = FindScript(devicePath)) {
        std::lock_guard<std::mutex> guard(script->lock);
        script->refusal = error;
    }
}

StandInScriptedDeviceState StandInScriptedDevice(const char* devicePath) {
    std::shared_ptr<Script> script = FindScript(devicePath);
    if (!script) return StandInScriptedDeviceState{};
    std::lock_guard<std::mutex> guard(script->lock);
    StandInScriptedDeviceState state = script->state;
    state.repliesLeft = script->replies.size();
    return state;
}
