// Ownership of one descriptor inside our code: closed exactly once, at the end
// of the owner's scope, unless it was released to a new owner.
#pragma once

#include <unistd.h>

#include <utility>

namespace Velk::Utils {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : value(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd&& other) noexcept : value(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return value; }
    bool valid() const { return value >= 0; }
    // The caller owns the descriptor from now on.
    int release() { return std::exchange(value, -1); }
    void reset(int fd = -1) {
        if (value >= 0) {
            close(value);
        }
        value = fd;
    }

private:
    int value = -1;
};

}  // namespace Velk::Utils
