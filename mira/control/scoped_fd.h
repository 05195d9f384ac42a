// A descriptor closed when it goes out of scope.
#pragma once
#include <unistd.h>

namespace mira::control {

struct ScopedFd {
    int fd = -1;
    ScopedFd() = default;
    explicit ScopedFd(int f) : fd(f) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace mira::control
