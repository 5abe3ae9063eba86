// Sets TAMSIL_TOKEN for the life of the object (the stand-in reads it at every token it makes) and restores
// what was there before.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class ScopedToken {
public:
    explicit ScopedToken(const char* kind) {
        if (const char* old = std::getenv("TAMSIL_TOKEN")) old_ = old;
        if (kind != nullptr)
            setenv("TAMSIL_TOKEN", kind, 1);
        else
            unsetenv("TAMSIL_TOKEN");
    }
    ~ScopedToken() {
        if (old_)
            setenv("TAMSIL_TOKEN", old_->c_str(), 1);
        else
            unsetenv("TAMSIL_TOKEN");
    }
    ScopedToken(const ScopedToken&) = delete;
    ScopedToken& operator=(const ScopedToken&) = delete;

private:
    std::optional<std::string> old_;
};
