// Redirection of descriptor 1 around a call.
#include "mira/core/control_stdout.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>

namespace mira::control {

namespace {

void writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += w;
        n -= size_t(w);
    }
}

}  // namespace

std::string captureStdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    const int file = ::memfd_create("coil-stdout", MFD_CLOEXEC);
    const int saved = file >= 0 ? ::dup(STDOUT_FILENO) : -1;
    if (file < 0 || saved < 0 || ::dup2(file, STDOUT_FILENO) < 0) {
        if (saved >= 0) ::close(saved);
        if (file >= 0) ::close(file);
        fn();
        return {};
    }
    fn();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);

    std::string captured;
    char chunk[8192];
    ::lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file, chunk, sizeof chunk)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        writeAll(STDOUT_FILENO, chunk, size_t(n));
        if (captured.size() < kMaxCapturedStdout)
            captured.append(chunk, std::min(size_t(n), kMaxCapturedStdout - captured.size()));
    }
    ::close(file);
    return captured;
}

}  // namespace mira::control
