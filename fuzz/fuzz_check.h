// What every fuzz target shares: a check that reports and aborts (libFuzzer then saves the input as a
// crash; the corpus replay test fails), and a little reader that takes structure from the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                            \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                                \
            std::fprintf(stderr, "\n");                                                       \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// For the targets' own heavy loops (building inputs, checking thousands of frames): the fuzzer's guidance
// comes from the code under test, and tracing every comparison of these loops only slows it down.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif

// Takes bytes from the front of the input; once it is used up every read answers 0.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Left() const { return size_ - position_; }
    bool Empty() const { return position_ == size_; }
    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint32_t Little(int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(Byte()) << (8 * i);
        return value;
    }
    // Up to `count` bytes (fewer at the input's end).
    const uint8_t* Take(size_t count, size_t* taken) {
        *taken = count < Left() ? count : Left();
        const uint8_t* at = data_ + position_;
        position_ += *taken;
        return at;
    }
    const uint8_t* Rest(size_t* taken) { return Take(Left(), taken); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};
